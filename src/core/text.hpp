// Text normalisation and the token-sort ratio.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace refsieve {

// Lowercases text by the Unicode rules (with Final_Sigma) and collapses
// every run of White_Space into one space, trimming both ends.
std::string normalize(std::string_view text);

// The whitespace-separated tokens of text, as views into it, sorted by
// their UTF-8 bytes (which is code point order). Text is not changed.
std::vector<std::string_view> tokenize_and_sort(std::string_view text);

// Jaro–Winkler similarity of the sorted normalised tokens of s1 and s2,
// times 100. Zero when either argument is empty.
double token_sort_ratio_f64(std::string_view s1, std::string_view s2);

}  // namespace refsieve
