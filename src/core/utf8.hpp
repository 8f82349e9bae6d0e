// Minimal UTF-8 decoding and encoding for text known to be valid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace refsieve::utf8 {

// Whether every byte of s is below 0x80, looked at eight bytes at a time.
inline bool is_ascii(std::string_view s) noexcept {
    std::uint64_t high = 0;
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, s.data() + i, 8);
        high |= word;
    }
    for (; i < s.size(); ++i) high |= static_cast<unsigned char>(s[i]);
    return (high & 0x8080808080808080u) == 0;
}

// Decodes the code point starting at s[i] and advances i past it.
// The input must be valid UTF-8.
inline char32_t next(std::string_view s, std::size_t& i) noexcept {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b0 = byte(i);
    if (b0 < 0x80) {
        i += 1;
        return b0;
    }
    if (b0 < 0xE0) {
        const char32_t c = (char32_t(b0 & 0x1F) << 6) | (byte(i + 1) & 0x3F);
        i += 2;
        return c;
    }
    if (b0 < 0xF0) {
        const char32_t c = (char32_t(b0 & 0x0F) << 12) | (char32_t(byte(i + 1) & 0x3F) << 6) | (byte(i + 2) & 0x3F);
        i += 3;
        return c;
    }
    const char32_t c = (char32_t(b0 & 0x07) << 18) | (char32_t(byte(i + 1) & 0x3F) << 12) |
                       (char32_t(byte(i + 2) & 0x3F) << 6) | (byte(i + 3) & 0x3F);
    i += 4;
    return c;
}

// Writes the UTF-8 encoding of c at to (room for four bytes) and returns
// the end of what it wrote.
inline char* write(char* to, char32_t c) noexcept {
    if (c < 0x80) {
        *to = static_cast<char>(c);
        return to + 1;
    }
    if (c < 0x800) {
        to[0] = static_cast<char>(0xC0 | (c >> 6));
        to[1] = static_cast<char>(0x80 | (c & 0x3F));
        return to + 2;
    }
    if (c < 0x10000) {
        to[0] = static_cast<char>(0xE0 | (c >> 12));
        to[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        to[2] = static_cast<char>(0x80 | (c & 0x3F));
        return to + 3;
    }
    to[0] = static_cast<char>(0xF0 | (c >> 18));
    to[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    to[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    to[3] = static_cast<char>(0x80 | (c & 0x3F));
    return to + 4;
}

// Appends the UTF-8 encoding of c to out.
inline void append(std::string& out, char32_t c) {
    char bytes[4];
    out.append(bytes, static_cast<std::size_t>(write(bytes, c) - bytes));
}

// All code points of s, in order.
inline std::vector<char32_t> decode(std::string_view s) {
    std::vector<char32_t> out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) out.push_back(next(s, i));
    return out;
}

}  // namespace refsieve::utf8
