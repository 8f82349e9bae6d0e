// Normalisation and token splitting on arbitrary valid UTF-8.
//
// Invariants: the result is valid UTF-8 whose only whitespace is single
// spaces between tokens; normalising it again changes nothing; lowercasing
// neither creates nor removes tokens; tokens come out sorted by bytes.
#include <algorithm>
#include <cstdint>
#include <string>

#include "core/normalize.hpp"
#include "core/unicode.hpp"
#include "core/utf8.hpp"
#include "fuzz_input.hpp"
#include "reference/text.hpp"

namespace {

void check_normal_form(const std::string& text, const std::string& normal) {
    if (!fuzz::is_valid_utf8(normal)) fuzz::fail("normalised text is not valid UTF-8", text, normal);
    if (!normal.empty() && (normal.front() == ' ' || normal.back() == ' ')) {
        fuzz::fail("space at an edge of the normalised text", text, normal);
    }
    if (normal.find("  ") != std::string::npos) fuzz::fail("two spaces in a row", text, normal);
    for (std::size_t i = 0; i < normal.size();) {
        const char32_t c = refsieve::utf8::next(normal, i);
        if (c != U' ' && refsieve::unicode::is_white_space(c)) {
            fuzz::fail("whitespace other than U+0020 survived", text, normal);
        }
    }
}

void check_tokens(const std::string& text, const std::string& normal) {
    const auto raw_tokens = refsieve::reference::tokenize_and_sort(text);
    const auto tokens = refsieve::reference::tokenize_and_sort(normal);
    if (raw_tokens.size() != tokens.size()) fuzz::fail("lowercasing changed the token count", text, normal);
    if (normal.empty() != tokens.empty()) fuzz::fail("empty normal form with tokens, or the reverse", text, normal);
    if (!std::is_sorted(tokens.begin(), tokens.end())) fuzz::fail("tokens are not sorted", text, normal);
    std::size_t token_bytes = 0;
    for (std::string_view token : tokens) {
        if (token.empty() || token.find(' ') != std::string_view::npos) fuzz::fail("bad token", text, normal);
        token_bytes += token.size();
    }
    // Tokens plus one space between neighbours account for every byte.
    if (!tokens.empty() && token_bytes + tokens.size() - 1 != normal.size()) {
        fuzz::fail("tokens do not cover the normalised text", text, normal);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::repair_utf8({reinterpret_cast<const char*>(data), size});
    const std::string normal = refsieve::normalize(text);
    check_normal_form(text, normal);
    std::string into = "left over";
    if (refsieve::normalize_into(text, into) != refsieve::utf8::is_ascii(normal) || into != normal) {
        fuzz::fail("normalize_into differs from normalize", text, into);
    }
    if (refsieve::normalize(normal) != normal) fuzz::fail("normalisation is not idempotent", text, normal);
    check_tokens(text, normal);
    return 0;
}
