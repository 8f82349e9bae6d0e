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

// Which rule raises a title ratio by the boost: none when the keyword sets
// differ, else a high ratio, else containment.
enum class TitleBoost : std::uint8_t { none, by_ratio, by_containment };

inline TitleBoost title_boost(double ratio, bool containment, unsigned subject_keywords, unsigned candidate_keywords) {
    if (subject_keywords != candidate_keywords) return TitleBoost::none;
    if (is_high(ratio)) return TitleBoost::by_ratio;
    return containment ? TitleBoost::by_containment : TitleBoost::none;
}

// The points taken from the title ratio for keyword sets of different
// sizes: kKeywordPenalty per keyword of difference (none when the sets
// differ only in which keyword they hold, or are equal).
inline int keyword_penalty(unsigned subject_keywords, unsigned candidate_keywords) {
    if (subject_keywords == candidate_keywords) return 0;
    return kKeywordPenalty * std::abs(std::popcount(subject_keywords) - std::popcount(candidate_keywords));
}

// Title score from the title ratio, containment and the two keyword sets.
inline double title_score_from(double ratio, bool containment, unsigned subject_keywords, unsigned candidate_keywords) {
    double unclamped;
    if (subject_keywords == candidate_keywords) {
        const bool boosted = title_boost(ratio, containment, subject_keywords, candidate_keywords) != TitleBoost::none;
        unclamped = boosted ? kBoost + ratio : ratio;
    } else {
        unclamped = ratio - static_cast<double>(keyword_penalty(subject_keywords, candidate_keywords));
    }
    return std::max(unclamped, 0.0) * kTitleWeight;
}

// ---- Author ----

inline double author_score_from(double ratio) {
    return is_high(ratio) ? (kBoost + ratio) * kAuthorWeight : ratio * kAuthorWeight;
}

// ---- Date ----

// How two years compare, in the order the date score tests them.
enum class DateRule : std::uint8_t { missing, same_year, near_years, same_decade, different_decades };

// The exact |ys - yc| for any two 32-bit years, computed without overflow.
inline std::uint32_t year_gap(std::int32_t ys, std::int32_t yc) {
    return ys >= yc ? static_cast<std::uint32_t>(ys) - static_cast<std::uint32_t>(yc)
                    : static_cast<std::uint32_t>(yc) - static_cast<std::uint32_t>(ys);
}

// Differences of up to this many years score as near years.
inline constexpr std::uint32_t kNearYears = 3;

inline DateRule date_rule(const std::optional<std::int32_t>& subject_year,
                          const std::optional<std::int32_t>& candidate_year) {
    if (!subject_year || !candidate_year) return DateRule::missing;
    const std::uint32_t d = year_gap(*subject_year, *candidate_year);
    if (d == 0) return DateRule::same_year;
    if (d <= kNearYears) return DateRule::near_years;
    // The decade is tested only for differences beyond the near years.
    return *subject_year / 10 == *candidate_year / 10 ? DateRule::same_decade : DateRule::different_decades;
}

inline double date_score(const std::optional<std::int32_t>& subject_year,
                         const std::optional<std::int32_t>& candidate_year) {
    switch (date_rule(subject_year, candidate_year)) {
        case DateRule::same_year: return kSameYear;
        case DateRule::near_years:
            return (100.0 - static_cast<double>(10 * year_gap(*subject_year, *candidate_year))) * 0.1;
        case DateRule::same_decade: return kSameDecade;
        case DateRule::missing:
        case DateRule::different_decades: break;
    }
    return 0.0;
}

// ---- Bonus ----

// The journals earn points (with the volumes and numbers): both normalised
// journals present, non-empty and equal.
bool same_journal(const std::optional<std::string_view>& subject_normalised,
                  const std::optional<std::string_view>& candidate_normalised);

// Which identifying fields agree, compared as bytes: the DOIs, the journal
// with volume and number (when same_journal() holds), the pages.
// same_journal is called only when the volumes and the numbers are equal,
// so that journals are normalised only for the few pairs where they count.
struct IdentifierAgreement {
    bool doi = false;
    bool journal_volume_number = false;
    bool pages = false;
};

template <class SameJournal>
IdentifierAgreement identifier_agreement(const RecordView& subject, const RecordView& candidate,
                                         SameJournal&& same_journal) {
    IdentifierAgreement agreed;
    agreed.doi = equal_and_present(subject.doi, candidate.doi);
    agreed.journal_volume_number = equal_and_present(subject.volume, candidate.volume) &&
                                   equal_and_present(subject.number, candidate.number) && same_journal();
    agreed.pages = equal_and_present(subject.pages, candidate.pages);
    return agreed;
}

// The raw bonus points of the identifying fields that agree.
inline double identifier_points(const IdentifierAgreement& agreed) {
    double points = 0.0;
    if (agreed.doi) points = kDoiPoints;
    if (agreed.journal_volume_number) points = points + kJournalVolumeNumberPoints;
    if (agreed.pages) points = points + kPagesPoints;
    return points;
}

template <class SameJournal>
double identifier_points(const RecordView& subject, const RecordView& candidate, SameJournal&& same_journal) {
    return identifier_points(identifier_agreement(subject, candidate, same_journal));
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
