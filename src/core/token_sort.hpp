// The token-sort ratio as the module computes it: the Jaro–Winkler
// similarity of the sorted token keys (token_key.hpp) of two texts.
#pragma once

#include <string_view>

namespace refsieve {

// The token-sort ratio from the Jaro–Winkler similarity of the two sorted
// token keys: one multiplication by 100.0, neither rounded nor clamped.
inline double ratio_from_similarity(double similarity) noexcept { return similarity * 100.0; }

// Jaro–Winkler similarity of the sorted normalised tokens of s1 and s2,
// times 100. Zero when either argument is empty. Once the calling thread's
// working storage has grown, a call allocates nothing (for texts of up to
// 4 KiB together).
double token_sort_ratio_f64(std::string_view s1, std::string_view s2);

}  // namespace refsieve
