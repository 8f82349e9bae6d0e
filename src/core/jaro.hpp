// Jaro and Jaro–Winkler similarity.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

namespace refsieve {

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

// Jaro similarity of two sequences whose elements compare with ==.
// Each element of a, in order, takes the leftmost free equal element of b
// within the search window; the result is ((m/A + m/B) + (m-t)/m) / 3.
template <class T>
double generic_jaro(std::span<const T> a, std::span<const T> b) {
    const std::size_t len_a = a.size();
    const std::size_t len_b = b.size();
    if (len_a == 0 && len_b == 0) return 1.0;
    if (len_a == 0 || len_b == 0) return 0.0;

    const std::size_t radius = jaro_search_radius(len_a, len_b);

    // One zero-filled block of flags: a's first, then b's.
    std::vector<unsigned char> flags(len_a + len_b, 0);
    unsigned char* flags_a = flags.data();
    unsigned char* flags_b = flags.data() + len_a;

    std::size_t matches = 0;
    for (std::size_t i = 0; i < len_a; ++i) {
        const std::size_t lo = i < radius ? 0 : i - radius;
        const std::size_t hi = std::min(len_b, i + radius + 1);
        for (std::size_t j = lo; j < hi; ++j) {
            if (!flags_b[j] && b[j] == a[i]) {
                flags_a[i] = 1;
                flags_b[j] = 1;
                ++matches;
                break;
            }
        }
    }
    if (matches == 0) return 0.0;  // nothing to pair

    std::size_t unequal = 0;
    std::size_t k = 0;
    for (std::size_t i = 0; i < len_a; ++i) {
        if (!flags_a[i]) continue;
        while (!flags_b[k]) ++k;
        if (a[i] != b[k]) ++unequal;
        ++k;
    }
    return jaro_from_counts(len_a, len_b, matches, unequal);
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

// Jaro–Winkler similarity of two UTF-8 texts, compared by scalar value.
double jaro_winkler(std::string_view a, std::string_view b);

}  // namespace refsieve
