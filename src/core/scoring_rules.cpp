#include "core/scoring_rules.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "core/simd.hpp"

namespace refsieve::scoring {

namespace {

// Whether needle, of two bytes or more, occurs in text. Sixteen places are
// tried at a time by their first two bytes; only where both agree is the
// rest compared. Inlined, so that the containment test of the scoring loop
// costs it one call.
[[gnu::always_inline]] inline bool contains_by_first_two_bytes(std::string_view text,
                                                               std::string_view needle) noexcept {
    if (text.size() < needle.size()) return false;
    const std::size_t last = text.size() - needle.size();  // the last place needle can start
    const auto at_place = [&](std::size_t at) {
        return std::memcmp(text.data() + at, needle.data(), needle.size()) == 0;
    };
    std::size_t at = 0;
    // Places at to at + 15, whose second bytes end at or before text's end.
    for (; at + 15 <= last; at += 16) {
        for (unsigned both = simd::pair_starts(text.data() + at, needle[0], needle[1]); both != 0; both &= both - 1) {
            if (at_place(at + static_cast<std::size_t>(std::countr_zero(both)))) return true;
        }
    }
    for (; at <= last; ++at) {
        if (text[at] == needle[0] && at_place(at)) return true;
    }
    return false;
}

}  // namespace

unsigned keyword_set(std::string_view normalised_title) {
    static_assert(
        std::all_of(TITLE_KEYWORDS.begin(), TITLE_KEYWORDS.end(), [](std::string_view k) { return k.size() >= 2; }));
    unsigned set = 0;
    for (std::size_t k = 0; k < TITLE_KEYWORDS.size(); ++k) {
        if (contains_by_first_two_bytes(normalised_title, TITLE_KEYWORDS[k])) set |= 1u << k;
    }
    return set;
}

// A text never contains a longer one, and of two texts of one length each
// contains the other exactly when they are equal, so only the longer one
// needs searching.
bool one_contains_other(std::string_view x, std::string_view y) noexcept {
    if (x.size() < y.size()) std::swap(x, y);
    if (y.size() < 2) return x.find(y) != std::string_view::npos;
    return contains_by_first_two_bytes(x, y);
}

bool same_journal(const std::optional<std::string_view>& subject_normalised,
                  const std::optional<std::string_view>& candidate_normalised) {
    return subject_normalised && candidate_normalised && !subject_normalised->empty() &&
           *subject_normalised == *candidate_normalised;
}

}  // namespace refsieve::scoring
