// Shared pieces of the fuzz targets: turning raw fuzzer bytes into the
// valid UTF-8 texts the matching core is made for, and reporting a
// broken invariant.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/record.hpp"

namespace fuzz {

// 0xFF never occurs in UTF-8, so it separates the texts of one input
// without taking any character away from them.
inline constexpr unsigned char kSeparator = 0xFF;

// Length of the well-formed UTF-8 sequence at s[i] (no overlong forms, no
// surrogates, nothing above U+10FFFF), or 0 if there is none.
inline std::size_t valid_sequence_length(std::string_view s, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b0 = at(i);
    if (b0 < 0x80) return 1;
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;  // U+D800..U+DFFF are not scalar values
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    if (at(i + 1) < lo || at(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < len; ++k) {
        if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
    }
    return len;
}

inline bool is_valid_utf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t len = valid_sequence_length(s, i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

// Raw bytes made valid: every byte that does not start a well-formed
// sequence becomes U+FFFD, as a decoder with replacement would do.
inline std::string repair_utf8(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size();) {
        const std::size_t len = valid_sequence_length(raw, i);
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            i += 1;
        } else {
            out.append(raw.substr(i, len));
            i += len;
        }
    }
    return out;
}

// The fuzzer input cut at every separator byte, as raw pieces.
inline std::vector<std::string_view> split_raw(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string_view> pieces;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = input.find(static_cast<char>(kSeparator), start);
        if (end == std::string_view::npos) {
            pieces.push_back(input.substr(start));
            return pieces;
        }
        pieces.push_back(input.substr(start, end - start));
        start = end + 1;
    }
}

// The fuzzer input cut at every separator byte, each piece repaired.
inline std::vector<std::string> split_texts(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> texts;
    for (std::string_view piece : split_raw(data, size)) texts.push_back(repair_utf8(piece));
    return texts;
}

// A text of the input, or the empty text when the input has fewer.
inline const std::string& text_at(const std::vector<std::string>& texts, std::size_t i) {
    static const std::string empty;
    return i < texts.size() ? texts[i] : empty;
}

// Two doubles with the same bit pattern (so NaN == NaN and -0.0 != 0.0).
inline bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

inline bool same_result(const refsieve::MatchResult& a, const refsieve::MatchResult& b) {
    return a.candidate_index == b.candidate_index && same_bits(a.total_score, b.total_score) &&
           same_bits(a.title_score, b.title_score) && same_bits(a.author_score, b.author_score) &&
           same_bits(a.date_score, b.date_score) && same_bits(a.bonus_score, b.bonus_score);
}

// Prints what broke and aborts, so that libFuzzer saves the input.
[[noreturn]] inline void fail(const char* what, std::string_view a = {}, std::string_view b = {}) {
    std::fprintf(stderr, "invariant broken: %s\n  a = \"%.*s\"\n  b = \"%.*s\"\n", what, static_cast<int>(a.size()),
                 a.data(), static_cast<int>(b.size()), b.data());
    std::abort();
}

}  // namespace fuzz
