// The straightforward token-sort ratio: normalise both texts, split and
// sort their tokens, join them again and compare the joined texts with the
// textbook Jaro–Winkler. Only tests, fuzzers and benchmarks use it, as the
// value that the shipped token_sort_ratio_f64 (core/token_sort.hpp) must equal.
#pragma once

#include <string_view>
#include <vector>

namespace refsieve::reference {

// The whitespace-separated tokens of text, as views into it, sorted by
// their UTF-8 bytes (which is code point order). Text is not changed.
std::vector<std::string_view> tokenize_and_sort(std::string_view text);

// Jaro–Winkler similarity of the sorted normalised tokens of s1 and s2,
// times 100. Zero when either argument is empty.
double token_sort_ratio_f64(std::string_view s1, std::string_view s2);

}  // namespace refsieve::reference
