#include "core/scoring.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>

#include "core/text.hpp"

namespace refsieve {
namespace scoring {
namespace {

bool contains(std::string_view haystack, std::string_view needle) {
    return haystack.find(needle) != std::string_view::npos;
}

double title_score(std::string_view subject_title, std::string_view candidate_title) {
    if (subject_title.empty() || candidate_title.empty()) return 0.0;
    const std::string ns = normalize(subject_title);
    const std::string nc = normalize(candidate_title);
    const double ratio = token_sort_ratio_f64(ns, nc);
    const bool containment = contains(ns, nc) || contains(nc, ns);
    return title_score_from(ratio, containment, keyword_set(ns), keyword_set(nc));
}

double author_score(std::string_view subject_author, std::string_view candidate_author) {
    if (subject_author.empty() || candidate_author.empty()) return 0.0;
    return author_score_from(token_sort_ratio_f64(subject_author, candidate_author));
}

double bonus_score(const BibItemData& subject, const BibItemData& candidate) {
    double points = 0.0;
    if (equal_and_present(subject.doi, candidate.doi)) points = kDoiPoints;
    if (subject.journal && candidate.journal) {
        const std::string js = normalize(*subject.journal);
        const std::string jc = normalize(*candidate.journal);
        if (!js.empty() && js == jc && equal_and_present(subject.volume, candidate.volume) &&
            equal_and_present(subject.number, candidate.number)) {
            points = points + kJournalVolumeNumberPoints;
        }
    }
    if (equal_and_present(subject.pages, candidate.pages)) points = points + kPagesPoints;
    if (both_present(subject.publisher, candidate.publisher) &&
        token_sort_ratio_f64(*subject.publisher, *candidate.publisher) > kSimilarityThreshold) {
        points = points + kPublisherPoints;
    }
    return points * kBonusWeight;
}

}  // namespace

unsigned keyword_set(std::string_view normalised_title) {
    unsigned set = 0;
    for (std::size_t k = 0; k < TITLE_KEYWORDS.size(); ++k) {
        if (contains(normalised_title, TITLE_KEYWORDS[k])) set |= 1u << k;
    }
    return set;
}

double title_score_from(double ratio, bool containment, unsigned subject_keywords, unsigned candidate_keywords) {
    double unclamped;
    if (subject_keywords == candidate_keywords) {
        unclamped = (ratio > kSimilarityThreshold || containment) ? kBoost + ratio : ratio;
    } else {
        const int difference = std::abs(std::popcount(subject_keywords) - std::popcount(candidate_keywords));
        unclamped = ratio - static_cast<double>(kKeywordPenalty * difference);
    }
    return std::max(unclamped, 0.0) * kTitleWeight;
}

double author_score_from(double ratio) {
    return ratio > kSimilarityThreshold ? (kBoost + ratio) * kAuthorWeight : ratio * kAuthorWeight;
}

double date_score(const std::optional<std::int32_t>& subject_year, const std::optional<std::int32_t>& candidate_year) {
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

}  // namespace scoring

MatchResult score_candidate(const BibItemData& subject, const BibItemData& candidate) {
    MatchResult result;
    result.candidate_index = candidate.index;
    result.title_score = scoring::title_score(subject.title, candidate.title);
    result.author_score = scoring::author_score(subject.author, candidate.author);
    result.date_score = scoring::date_score(subject.year, candidate.year);
    result.bonus_score = scoring::bonus_score(subject, candidate);
    result.total_score = ((result.title_score + result.author_score) + result.date_score) + result.bonus_score;
    return result;
}

}  // namespace refsieve
