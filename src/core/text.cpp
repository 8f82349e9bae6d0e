#include "core/text.hpp"

#include <algorithm>

#include "core/jaro.hpp"
#include "core/unicode.hpp"
#include "core/utf8.hpp"

namespace refsieve {
namespace {

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kFinalSigma = 0x03C2;

// Final_Sigma's forward condition: after skipping case-ignorable code points
// from position i on, the text ends or the next code point is not cased.
bool no_cased_letter_follows(const std::vector<char32_t>& cps, std::size_t i) {
    for (; i < cps.size(); ++i) {
        const auto flags = unicode::char_info(cps[i]).flags;
        if (flags & unicode::kCaseIgnorable) continue;
        return (flags & unicode::kCased) == 0;
    }
    return true;
}

void append_joined(std::string& out, std::string_view token) {
    if (!out.empty()) out.push_back(' ');
    out.append(token);
}

}  // namespace

std::string normalize(std::string_view text) {
    const std::vector<char32_t> cps = utf8::decode(text);
    std::string out;
    out.reserve(text.size());
    // Whether the last code point that was not case-ignorable was cased:
    // Final_Sigma's backward condition, carried along instead of rescanned.
    bool cased_before = false;
    bool in_token = false;
    for (std::size_t i = 0; i < cps.size(); ++i) {
        const char32_t c = cps[i];
        const unicode::CharInfo info = unicode::char_info(c);
        if (info.flags & unicode::kWhiteSpace) {
            in_token = false;
            cased_before = false;  // whitespace is neither cased nor ignorable
            continue;
        }
        if (!in_token && !out.empty()) out.push_back(' ');
        in_token = true;
        if (c == kCapitalSigma) {
            const bool final_form = cased_before && no_cased_letter_follows(cps, i + 1);
            utf8::append(out, final_form ? kFinalSigma : kSmallSigma);
        } else if (c == unicode::kCapitalIWithDot) {
            for (char32_t lower : unicode::kCapitalIWithDotLower) utf8::append(out, lower);
        } else {
            utf8::append(out, static_cast<char32_t>(static_cast<std::int32_t>(c) + info.lower_delta));
        }
        if (!(info.flags & unicode::kCaseIgnorable)) cased_before = (info.flags & unicode::kCased) != 0;
    }
    return out;
}

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
    return jaro_winkler(key1, key2) * 100.0;
}

}  // namespace refsieve
