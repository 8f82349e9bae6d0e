// The rules of the Jaro and Jaro–Winkler similarity that every way of
// computing them shares: the search radius, the Jaro value from its counts,
// and the Winkler adjustment for a common prefix. The shipped computation is
// in jaro_bitparallel.hpp, the textbook one in reference/jaro.hpp.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <span>

namespace refsieve {

// The Jaro value when a or b is empty: 1.0 for two empty sequences, 0.0
// for one; nothing when neither is empty.
inline std::optional<double> jaro_if_empty(std::size_t len_a, std::size_t len_b) noexcept {
    if (len_a == 0 && len_b == 0) return 1.0;
    if (len_a == 0 || len_b == 0) return 0.0;
    return std::nullopt;
}

// The search radius: floor(max(A, B) / 2) - 1, saturating at zero.
inline std::size_t jaro_search_radius(std::size_t len_a, std::size_t len_b) noexcept {
    const std::size_t half = std::max(len_a, len_b) / 2;
    return half > 0 ? half - 1 : 0;
}

// The Jaro value is symmetric, bit for bit: Jaro(a, b) == Jaro(b, a). The
// matching pairs equal elements only, so it splits by element value; for
// one value at positions p1 < p2 < ... of a and q1 < q2 < ... of b, "each
// p in turn takes the leftmost free q with |p - q| <= radius" pairs exactly
// as this two-pointer walk does: while both remain, drop q if
// q < p - radius, drop p if q > p + radius, else pair them; and that walk
// reads the same with a and b exchanged. So the matched positions of both
// texts, their pairing in position order, m and the unequal pairs are the
// same either way, and m/A + m/B only swaps the operands of one addition.
// The module therefore builds bit masks for whichever text it compares
// more often.

// The Jaro value from m matches and the count of unequal matched pairs:
// ((m/A + m/B) + (m - t)/m) / 3 with t = unequal / 2, in exactly this grouping.
inline double jaro_from_counts(std::size_t len_a, std::size_t len_b, std::size_t matches, std::size_t unequal) {
    if (matches == 0) return 0.0;
    const std::size_t transpositions = unequal / 2;
    const double m = static_cast<double>(matches);
    return ((m / static_cast<double>(len_a) + m / static_cast<double>(len_b)) +
            static_cast<double>(matches - transpositions) / m) /
           3.0;
}

// Raises a Jaro value above 0.7 for a common prefix of up to four elements.
template <class A, class B>
double winkler_adjust(double sim, std::span<const A> a, std::span<const B> b) {
    if (!(sim > 0.7)) return sim;
    std::size_t prefix = 0;
    const std::size_t limit = std::min({a.size(), b.size(), std::size_t{4}});
    while (prefix < limit && static_cast<char32_t>(a[prefix]) == static_cast<char32_t>(b[prefix])) ++prefix;
    const double weight = 0.1 * static_cast<double>(prefix);
    return sim + weight * (1.0 - sim);
}

}  // namespace refsieve
