#include "core/scoring_rules.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "core/simd.hpp"

namespace refsieve::scoring {

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
        for (std::size_t k = 0; k < kCount; ++k) {
            const std::string_view keyword = TITLE_KEYWORDS[k];
            for (unsigned found = simd::pair_starts(text.data() + start, keyword[0], keyword[1]); found != 0;
                 found &= found - 1) {
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

// A text never contains a longer one, and of two texts of one length each
// contains the other exactly when they are equal, so only the longer one
// needs searching. Sixteen places are tried at a time, by their first two
// bytes; only where both agree is the rest compared.
bool one_contains_other(std::string_view x, std::string_view y) noexcept {
    if (x.size() < y.size()) std::swap(x, y);
    if (y.size() < 2) return x.find(y) != std::string_view::npos;
    const std::size_t last = x.size() - y.size();  // the last place y can start
    const auto at_place = [&](std::size_t at) { return std::memcmp(x.data() + at, y.data(), y.size()) == 0; };
    std::size_t at = 0;
    // Places at to at + 15, whose second bytes end at or before x's end.
    for (; at + 15 <= last; at += 16) {
        for (unsigned both = simd::pair_starts(x.data() + at, y[0], y[1]); both != 0; both &= both - 1) {
            if (at_place(at + static_cast<std::size_t>(std::countr_zero(both)))) return true;
        }
    }
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
