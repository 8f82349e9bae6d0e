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
template <class T>
double winkler_adjust(double sim, std::span<const T> a, std::span<const T> b) {
    if (!(sim > 0.7)) return sim;
    std::size_t prefix = 0;
    const std::size_t limit = std::min({a.size(), b.size(), std::size_t{4}});
    while (prefix < limit && a[prefix] == b[prefix]) ++prefix;
    const double weight = 0.1 * static_cast<double>(prefix);
    return sim + weight * (1.0 - sim);
}

}  // namespace refsieve
