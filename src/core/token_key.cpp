#include "core/token_key.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/text.hpp"
#include "core/utf8.hpp"

namespace refsieve {

namespace {

constexpr std::uint64_t kEveryByte = 0x0101010101010101u;

std::uint64_t load_big_endian(const char* bytes) noexcept {
    std::uint64_t word;
    std::memcpy(&word, bytes, 8);
    return std::endian::native == std::endian::little ? __builtin_bswap64(word) : word;
}

// The end of the token that starts at text[start]: the next space, or size.
// Eight bytes at a time while eight remain (a byte is a space when it is
// zero after xor with spaces), then byte by byte.
std::size_t token_end(const char* text, std::size_t start, std::size_t size) noexcept {
    std::size_t end = start;
    for (; end + 8 <= size; end += 8) {
        std::uint64_t word;
        std::memcpy(&word, text + end, 8);
        const std::uint64_t x = word ^ (kEveryByte * ' ');
        const std::uint64_t zero = (x - kEveryByte) & ~x & (kEveryByte * 0x80);
        if (zero != 0) {
            // The lowest flagged byte is the first space (bytes in memory order).
            const int byte =
                std::endian::native == std::endian::little ? std::countr_zero(zero) / 8 : std::countl_zero(zero) / 8;
            return end + static_cast<std::size_t>(byte);
        }
    }
    while (end < size && text[end] != ' ') ++end;
    return end;
}

}  // namespace

TokenKeyBuilder::SortToken::SortToken(std::string_view token, std::size_t readable) : prefix(0), text(token) {
    if (readable >= 8) {
        // Eight bytes from the token on, those past its end cleared.
        prefix = load_big_endian(token.data());
        if (token.size() < 8) prefix &= ~std::uint64_t{0} << (8 * (8 - token.size()));
        return;
    }
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
    const char* const text = normalized.data();
    const std::size_t size = normalized.size();
    for (std::size_t start = 0; start < size;) {
        const std::size_t end = token_end(text, start, size);
        tokens_.emplace_back(normalized.substr(start, end - start), size - start);
        start = end + 1;
    }
    std::sort(tokens_.begin(), tokens_.end());
}

void TokenKeyBuilder::append_utf8_normalized(std::string_view normalized, std::string& out) {
    sort_tokens(normalized);
    const std::size_t start = out.size();
    // The tokens and the spaces between them, plus room for copying eight
    // bytes at a time: tokens are short, and a call per token costs more
    // than the copy.
    out.resize(start + normalized.size() + 8);
    char* next = out.data() + start;
    const char* const text_end = normalized.data() + normalized.size();
    for (std::size_t t = 0; t < tokens_.size(); ++t) {
        if (t > 0) *next++ = ' ';
        const std::string_view token = tokens_[t].text;
        if (token.size() <= 8 && text_end - token.data() >= 8) {
            std::memcpy(next, token.data(), 8);
        } else {
            std::memcpy(next, token.data(), token.size());
        }
        next += token.size();
    }
    out.resize(start + normalized.size());
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
