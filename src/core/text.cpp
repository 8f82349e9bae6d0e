#include "core/text.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/jaro_bitparallel.hpp"
#include "core/token_key.hpp"
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

// Each ASCII byte lowercased, or kAsciiWhiteSpace for White_Space: the same
// per-code-point table as every other code point, read once into a form
// that the byte loop takes in one load.
constexpr unsigned char kAsciiWhiteSpace = 0x80;

struct AsciiFold {
    unsigned char to[128];
    AsciiFold() noexcept {
        for (unsigned c = 0; c < 128; ++c) {
            const unicode::CharInfo info = unicode::char_info(c);
            to[c] = (info.flags & unicode::kWhiteSpace)
                        ? kAsciiWhiteSpace
                        : static_cast<unsigned char>(static_cast<int>(c) + info.lower_delta);
        }
    }
};

const AsciiFold kAsciiFold;

// normalize() of ASCII text, written into out: the same per-code-point
// table, without the rules that only non-ASCII code points reach (final
// sigma, the two-code-point lowercase of U+0130).
void normalize_ascii_into(std::string_view text, std::string& out) {
    out.resize(text.size());  // normalising never lengthens ASCII text
    char* const begin = out.data();
    char* next = begin;
    const auto* byte = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = byte + text.size();
    for (;;) {
        while (byte != end && kAsciiFold.to[*byte] == kAsciiWhiteSpace) ++byte;
        if (byte == end) break;
        if (next != begin) *next++ = ' ';  // one space between tokens
        for (unsigned char folded; byte != end && (folded = kAsciiFold.to[*byte]) != kAsciiWhiteSpace; ++byte) {
            *next++ = static_cast<char>(folded);
        }
    }
    out.resize(static_cast<std::size_t>(next - begin));
}

// What one token_sort_ratio_f64 call works in. Jaro is symmetric (see
// jaro.hpp), so the masks are built for the shorter key: more often one
// word of them, and fewer to build.
struct TokenSortWork {
    TokenKeyBuilder builder;
    std::string normalized;
    std::string utf8_key1;
    std::string utf8_key2;
    std::vector<char32_t> key1;
    std::vector<char32_t> key2;
    KeyPattern pattern;
    JaroScratch jaro;

    template <class C>
    double similarity(std::span<const C> a, std::span<const C> b) {
        if (b.size() > a.size()) std::swap(a, b);
        pattern.assign(b);
        return jaro_winkler(a, b, pattern, jaro);
    }

    double ratio(std::string_view s1, std::string_view s2) {
        utf8_key(s1, utf8_key1);
        utf8_key(s2, utf8_key2);
        if (utf8::is_ascii(utf8_key1) && utf8::is_ascii(utf8_key2)) {
            return ratio_from_similarity(similarity(bytes(utf8_key1), bytes(utf8_key2)));
        }
        decode_into(utf8_key1, key1);
        decode_into(utf8_key2, key2);
        return ratio_from_similarity(similarity(std::span<const char32_t>(key1), std::span<const char32_t>(key2)));
    }

    void utf8_key(std::string_view text, std::string& key) {
        normalize_into(text, normalized);
        key.clear();
        builder.append_utf8_normalized(normalized, key);
    }
    static std::span<const unsigned char> bytes(const std::string& text) {
        return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
    }
    static void decode_into(std::string_view text, std::vector<char32_t>& out) {
        out.clear();
        for (std::size_t i = 0; i < text.size();) out.push_back(utf8::next(text, i));
    }
};

// Texts up to this many bytes together use the calling thread's kept
// working storage; longer ones get their own, so nothing large is kept.
constexpr std::size_t kKeptWorkBytes = 4096;

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

void normalize_into(std::string_view text, std::string& out) {
    if (utf8::is_ascii(text)) {
        normalize_ascii_into(text, out);
    } else {
        out = normalize(text);
    }
}

double token_sort_ratio_f64(std::string_view s1, std::string_view s2) {
    if (s1.empty() || s2.empty()) return 0.0;
    if (s1.size() + s2.size() <= kKeptWorkBytes) {
        thread_local TokenSortWork work;
        return work.ratio(s1, s2);
    }
    TokenSortWork work;
    return work.ratio(s1, s2);
}

}  // namespace refsieve
