#include "reference/text.hpp"

#include <algorithm>
#include <string>

#include "core/normalize.hpp"
#include "core/token_sort.hpp"
#include "core/unicode.hpp"
#include "core/utf8.hpp"
#include "reference/jaro.hpp"

namespace refsieve::reference {
namespace {

void append_joined(std::string& out, std::string_view token) {
    if (!out.empty()) out.push_back(' ');
    out.append(token);
}

}  // namespace

std::vector<std::string_view> tokenize_and_sort(std::string_view text) {
    std::vector<std::string_view> tokens;
    std::size_t start = 0;
    bool in_token = false;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t here = i;
        const char32_t c = utf8::next(text, i);
        if (unicode::is_white_space(c)) {
            if (in_token) tokens.push_back(text.substr(start, here - start));
            in_token = false;
        } else if (!in_token) {
            start = here;
            in_token = true;
        }
    }
    if (in_token) tokens.push_back(text.substr(start));
    // std::string_view compares bytes as unsigned char, shorter prefix first.
    std::sort(tokens.begin(), tokens.end());
    return tokens;
}

double token_sort_ratio_f64(std::string_view s1, std::string_view s2) {
    if (s1.empty() || s2.empty()) return 0.0;
    const std::string norm1 = normalize(s1);
    const std::string norm2 = normalize(s2);
    std::string key1;
    std::string key2;
    for (std::string_view token : tokenize_and_sort(norm1)) append_joined(key1, token);
    for (std::string_view token : tokenize_and_sort(norm2)) append_joined(key2, token);
    return ratio_from_similarity(jaro_winkler(key1, key2));
}

}  // namespace refsieve::reference
