// Text normalisation as the module computes it: Unicode lowercasing and
// whitespace collapsed into single spaces.
#pragma once

#include <string>
#include <string_view>

namespace refsieve {

// Lowercases text by the Unicode rules (with Final_Sigma) and collapses
// every run of White_Space into one space, trimming both ends.
std::string normalize(std::string_view text);

// normalize(text), written into out and reusing its storage. Returns
// whether out is all ASCII (always so when text is).
bool normalize_into(std::string_view text, std::string& out);

}  // namespace refsieve
