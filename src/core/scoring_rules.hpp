// The rules of candidate scoring, each in one place: the constants, the
// title, author, date and bonus rules and the total. The shipped scoring
// (scoring.hpp) and the straightforward one (reference/scoring.hpp) both
// apply these functions and differ only in how they obtain the similarities.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
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

// A ratio counts as high only when strictly above the threshold.
inline bool is_high(double ratio) noexcept { return ratio > kSimilarityThreshold; }

// Both optional texts present and non-empty: only then can they earn points.
inline bool both_present(const std::optional<std::string_view>& a, const std::optional<std::string_view>& b) {
    return a && b && !a->empty() && !b->empty();
}
// Both present, non-empty and byte-equal.
inline bool equal_and_present(const std::optional<std::string_view>& a, const std::optional<std::string_view>& b) {
    return both_present(a, b) && *a == *b;
}

// ---- Title ----

// The set of TITLE_KEYWORDS found in a normalised title, as a bit mask
// (bit k set when keyword k occurs as a substring).
unsigned keyword_set(std::string_view normalised_title);

// Containment of two normalised titles: either contains the other (the
// empty text is contained in every text).
bool one_contains_other(std::string_view x, std::string_view y) noexcept;

// Title score from the title ratio, containment and the two keyword sets.
inline double title_score_from(double ratio, bool containment, unsigned subject_keywords, unsigned candidate_keywords) {
    double unclamped;
    if (subject_keywords == candidate_keywords) {
        unclamped = (is_high(ratio) || containment) ? kBoost + ratio : ratio;
    } else {
        const int difference = std::abs(std::popcount(subject_keywords) - std::popcount(candidate_keywords));
        unclamped = ratio - static_cast<double>(kKeywordPenalty * difference);
    }
    return std::max(unclamped, 0.0) * kTitleWeight;
}

// ---- Author ----

inline double author_score_from(double ratio) {
    return is_high(ratio) ? (kBoost + ratio) * kAuthorWeight : ratio * kAuthorWeight;
}

// ---- Date ----

inline double date_score(const std::optional<std::int32_t>& subject_year,
                         const std::optional<std::int32_t>& candidate_year) {
    if (!subject_year || !candidate_year) return 0.0;
    const std::int32_t ys = *subject_year;
    const std::int32_t yc = *candidate_year;
    // Exact |ys - yc| for any two 32-bit years, computed without overflow.
    const std::uint32_t d = ys >= yc ? static_cast<std::uint32_t>(ys) - static_cast<std::uint32_t>(yc)
                                     : static_cast<std::uint32_t>(yc) - static_cast<std::uint32_t>(ys);
    if (d == 0) return kSameYear;
    if (d <= 3) return (100.0 - static_cast<double>(10 * d)) * 0.1;
    return ys / 10 == yc / 10 ? kSameDecade : 0.0;
}

// ---- Bonus ----

// The journals earn points (with the volumes and numbers): both normalised
// journals present, non-empty and equal.
bool same_journal(const std::optional<std::string_view>& subject_normalised,
                  const std::optional<std::string_view>& candidate_normalised);

// The raw bonus points of the identifying fields compared as bytes: DOI,
// journal with volume and number (when same_journal() holds), and pages.
// same_journal is called only when the volumes and the numbers are equal,
// so that journals are normalised only for the few pairs where they count.
template <class SameJournal>
double identifier_points(const RecordView& subject, const RecordView& candidate, SameJournal&& same_journal) {
    double points = 0.0;
    if (equal_and_present(subject.doi, candidate.doi)) points = kDoiPoints;
    if (equal_and_present(subject.volume, candidate.volume) && equal_and_present(subject.number, candidate.number) &&
        same_journal()) {
        points = points + kJournalVolumeNumberPoints;
    }
    if (equal_and_present(subject.pages, candidate.pages)) points = points + kPagesPoints;
    return points;
}

// The bonus score from the identifier points and whether the publishers'
// ratio is high: the publisher's points added, then weighted.
inline double bonus_score_from(double identifier_points, bool similar_publishers) {
    return (similar_publishers ? identifier_points + kPublisherPoints : identifier_points) * kBonusWeight;
}

// ---- Total ----

// ((title + author) + date) + bonus, in this order.
inline double total_score(double title, double author, double date, double bonus) {
    return ((title + author) + date) + bonus;
}

// ---- Threshold ----

// A result is kept when its total reaches min_score, compared as doubles: a
// NaN on either side keeps nothing.
inline bool reaches(double total, double min_score) { return total >= min_score; }

}  // namespace scoring
}  // namespace refsieve
