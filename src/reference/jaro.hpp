// The textbook Jaro and Jaro–Winkler similarity: one flag per element,
// each element of the first sequence searching its window of the second.
// Only tests, fuzzers and benchmarks use it, as the value that the shipped
// bit-parallel computation (core/jaro_bitparallel.hpp) must equal bit for bit.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/jaro.hpp"

namespace refsieve::reference {

// Jaro similarity of two sequences whose elements compare with ==.
// Each element of a, in order, takes the leftmost free equal element of b
// within the search window; the result is ((m/A + m/B) + (m-t)/m) / 3.
template <class T>
double generic_jaro(std::span<const T> a, std::span<const T> b) {
    const std::size_t len_a = a.size();
    const std::size_t len_b = b.size();
    if (const std::optional<double> empty = jaro_if_empty(len_a, len_b)) return *empty;

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

// Jaro–Winkler similarity of two UTF-8 texts, compared by scalar value.
double jaro_winkler(std::string_view a, std::string_view b);

}  // namespace refsieve::reference
