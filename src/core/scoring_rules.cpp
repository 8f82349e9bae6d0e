#include "core/scoring_rules.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace refsieve::scoring {

#if defined(__SSE2__)
// Sixteen starting positions are looked at a time, for every keyword at
// once: only where a keyword's first two bytes occur is the rest compared.
unsigned keyword_set(std::string_view normalised_title) {
    const std::string_view text = normalised_title;
    constexpr std::size_t kCount = TITLE_KEYWORDS.size();
    static_assert(
        std::all_of(TITLE_KEYWORDS.begin(), TITLE_KEYWORDS.end(), [](std::string_view k) { return k.size() >= 2; }));
    unsigned set = 0;
    std::size_t start = 0;
    // Starts start..start+15 while the sixteen second bytes can be read.
    for (; start + 17 <= text.size(); start += 16) {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + start));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + start + 1));
        for (std::size_t k = 0; k < kCount; ++k) {
            const std::string_view keyword = TITLE_KEYWORDS[k];
            const __m128i both = _mm_and_si128(_mm_cmpeq_epi8(here, _mm_set1_epi8(keyword[0])),
                                               _mm_cmpeq_epi8(next, _mm_set1_epi8(keyword[1])));
            for (auto found = static_cast<unsigned>(_mm_movemask_epi8(both)); found != 0; found &= found - 1) {
                if (text.substr(start + static_cast<std::size_t>(std::countr_zero(found)), keyword.size()) == keyword) {
                    set |= 1u << k;
                    break;
                }
            }
        }
    }
    for (std::size_t k = 0; k < kCount; ++k) {
        if (text.find(TITLE_KEYWORDS[k], start) != std::string_view::npos) set |= 1u << k;
    }
    return set;
}
#else
unsigned keyword_set(std::string_view normalised_title) {
    unsigned set = 0;
    for (std::size_t k = 0; k < TITLE_KEYWORDS.size(); ++k) {
        if (normalised_title.find(TITLE_KEYWORDS[k]) != std::string_view::npos) set |= 1u << k;
    }
    return set;
}
#endif

// A text never contains a longer one, and of two texts of one length each
// contains the other exactly when they are equal, so only the longer one
// needs searching.
bool one_contains_other(std::string_view x, std::string_view y) noexcept {
    if (x.size() < y.size()) std::swap(x, y);
    return x.find(y) != std::string_view::npos;
}

double title_score_from(double ratio, bool containment, unsigned subject_keywords, unsigned candidate_keywords) {
    double unclamped;
    if (subject_keywords == candidate_keywords) {
        unclamped = (is_high(ratio) || containment) ? kBoost + ratio : ratio;
    } else {
        const int difference = std::abs(std::popcount(subject_keywords) - std::popcount(candidate_keywords));
        unclamped = ratio - static_cast<double>(kKeywordPenalty * difference);
    }
    return std::max(unclamped, 0.0) * kTitleWeight;
}

double author_score_from(double ratio) {
    return is_high(ratio) ? (kBoost + ratio) * kAuthorWeight : ratio * kAuthorWeight;
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

bool same_journal(const std::optional<std::string_view>& subject_normalised,
                  const std::optional<std::string_view>& candidate_normalised) {
    return subject_normalised && candidate_normalised && !subject_normalised->empty() &&
           *subject_normalised == *candidate_normalised;
}

double bonus_score_from(double identifier_points, bool similar_publishers) {
    return (similar_publishers ? identifier_points + kPublisherPoints : identifier_points) * kBonusWeight;
}

}  // namespace refsieve::scoring
