// Scoring of one candidate record against one subject record.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "core/record.hpp"

namespace refsieve {

// Substrings of a normalised title that mark it as a different kind of
// publication from the work it names.
inline constexpr std::array<std::string_view, 2> TITLE_KEYWORDS = {"errata", "review"};

namespace scoring {
inline constexpr double kSimilarityThreshold = 85.0;
inline constexpr double kBoost = 100.0;
inline constexpr double kTitleWeight = 0.5;
inline constexpr double kAuthorWeight = 0.3;
inline constexpr int kKeywordPenalty = 50;
inline constexpr double kSameYear = 10.0;
inline constexpr double kSameDecade = 3.0;
inline constexpr double kDoiPoints = 100.0;
inline constexpr double kJournalVolumeNumberPoints = 50.0;
inline constexpr double kPagesPoints = 20.0;
inline constexpr double kPublisherPoints = 10.0;
inline constexpr double kBonusWeight = 0.1;
}  // namespace scoring

// Title, author, date and bonus scores of candidate against subject, and
// their total. Pure; every combination of fields yields a result.
MatchResult score_candidate(const BibItemData& subject, const BibItemData& candidate);

// The pieces of score_candidate, each a pure function of its inputs.
namespace scoring {
// Both optional texts present and non-empty: only then can they earn points.
inline bool both_present(const std::optional<std::string>& a, const std::optional<std::string>& b) {
    return a && b && !a->empty() && !b->empty();
}
// Both present, non-empty and byte-equal.
inline bool equal_and_present(const std::optional<std::string>& a, const std::optional<std::string>& b) {
    return both_present(a, b) && *a == *b;
}

// The set of TITLE_KEYWORDS found in a normalised title, as a bit mask
// (bit k set when keyword k occurs as a substring).
unsigned keyword_set(std::string_view normalised_title);
// Title score from the title ratio, containment and the two keyword sets.
double title_score_from(double ratio, bool containment, unsigned subject_keywords, unsigned candidate_keywords);
double author_score_from(double ratio);
double date_score(const std::optional<std::int32_t>& subject_year, const std::optional<std::int32_t>& candidate_year);
}  // namespace scoring

}  // namespace refsieve
