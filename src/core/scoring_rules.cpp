#include "core/scoring_rules.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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
// needs searching. Sixteen places are tried at a time, by their first two
// bytes, where the CPU has the instructions; only where both agree is the
// rest compared.
bool one_contains_other(std::string_view x, std::string_view y) noexcept {
    if (x.size() < y.size()) std::swap(x, y);
    if (y.size() < 2) return x.find(y) != std::string_view::npos;
    const std::size_t last = x.size() - y.size();  // the last place y can start
    const auto at_place = [&](std::size_t at) { return std::memcmp(x.data() + at, y.data(), y.size()) == 0; };
    std::size_t at = 0;
#if defined(__SSE2__)
    const __m128i first = _mm_set1_epi8(y[0]);
    const __m128i second = _mm_set1_epi8(y[1]);
    // Places at to at + 15, whose second bytes end at or before x's end.
    for (; at + 15 <= last; at += 16) {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x.data() + at));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x.data() + at + 1));
        auto both = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(here, first), _mm_cmpeq_epi8(next, second))));
        for (; both != 0; both &= both - 1) {
            if (at_place(at + static_cast<std::size_t>(std::countr_zero(both)))) return true;
        }
    }
#endif
    for (; at <= last; ++at) {
        if (x[at] == y[0] && at_place(at)) return true;
    }
    return false;
}

bool same_journal(const std::optional<std::string_view>& subject_normalised,
                  const std::optional<std::string_view>& candidate_normalised) {
    return subject_normalised && candidate_normalised && !subject_normalised->empty() &&
           *subject_normalised == *candidate_normalised;
}

}  // namespace refsieve::scoring
