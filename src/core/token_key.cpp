#include "core/token_key.hpp"

#include <algorithm>

#include "core/text.hpp"
#include "core/utf8.hpp"

namespace refsieve {

TokenKeyBuilder::SortToken::SortToken(std::string_view token) : prefix(0), text(token) {
    for (std::size_t i = 0; i < 8; ++i) {
        prefix = (prefix << 8) | (i < token.size() ? static_cast<unsigned char>(token[i]) : 0u);
    }
}

void TokenKeyBuilder::build(std::string_view text, std::vector<char32_t>& key) {
    normalize_into(text, normalized_);
    build_normalized(normalized_, key);
}

// The tokens of a normalised text are separated by single U+0020 spaces,
// the only whitespace it holds.
void TokenKeyBuilder::sort_tokens(std::string_view normalized) {
    tokens_.clear();
    for (std::size_t start = 0; start < normalized.size();) {
        std::size_t end = normalized.find(' ', start);
        if (end == std::string_view::npos) end = normalized.size();
        tokens_.emplace_back(normalized.substr(start, end - start));
        start = end + 1;
    }
    std::sort(tokens_.begin(), tokens_.end());
}

void TokenKeyBuilder::build_utf8(std::string_view text, std::string& key) {
    normalize_into(text, normalized_);
    build_utf8_normalized(normalized_, key);
}

void TokenKeyBuilder::build_utf8_normalized(std::string_view normalized, std::string& key) {
    sort_tokens(normalized);
    key.resize(normalized.size());  // the tokens and the spaces between them
    char* next = key.data();
    for (std::size_t t = 0; t < tokens_.size(); ++t) {
        if (t > 0) *next++ = ' ';
        const std::string_view token = tokens_[t].text;
        next = std::copy(token.begin(), token.end(), next);
    }
}

void TokenKeyBuilder::build_normalized(std::string_view normalized, std::vector<char32_t>& key) {
    sort_tokens(normalized);

    key.resize(normalized.size());  // at least the code point count
    char32_t* next = key.data();
    for (std::size_t t = 0; t < tokens_.size(); ++t) {
        if (t > 0) *next++ = U' ';
        const std::string_view token = tokens_[t].text;
        for (std::size_t i = 0; i < token.size();) *next++ = utf8::next(token, i);
    }
    key.resize(static_cast<std::size_t>(next - key.data()));
}

}  // namespace refsieve
