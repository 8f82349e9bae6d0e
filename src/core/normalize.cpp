#include "core/normalize.hpp"

#include <cstdint>

#include "core/simd.hpp"
#include "core/unicode.hpp"
#include "core/utf8.hpp"

namespace refsieve {
namespace {

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kFinalSigma = 0x03C2;

// Final_Sigma's forward condition: after skipping case-ignorable code points
// from byte i on, the text ends or the next code point is not cased.
bool no_cased_letter_follows(std::string_view text, std::size_t i) {
    while (i < text.size()) {
        const auto flags = unicode::char_info(utf8::next(text, i)).flags;
        if (flags & unicode::kCaseIgnorable) continue;
        return (flags & unicode::kCased) == 0;
    }
    return true;
}

// normalize(text) code point by code point, written into out; returns
// whether out is all ASCII.
bool normalize_code_points_into(std::string_view text, std::string& out) {
    // Room for what one code point can add: a space and two code points.
    constexpr std::size_t kMostPerCodePoint = 1 + 2 * 4;
    out.resize(text.size() + kMostPerCodePoint);
    std::size_t used = 0;
    bool ascii = true;
    // Whether the last code point that was not case-ignorable was cased:
    // Final_Sigma's backward condition, carried along instead of rescanned.
    bool cased_before = false;
    bool in_token = false;
    for (std::size_t i = 0; i < text.size();) {
        const char32_t c = utf8::next(text, i);
        const unicode::CharInfo info = unicode::char_info(c);
        if (info.flags & unicode::kWhiteSpace) {
            in_token = false;
            cased_before = false;  // whitespace is neither cased nor ignorable
            continue;
        }
        if (out.size() - used < kMostPerCodePoint) out.resize(2 * out.size());
        char* next = out.data() + used;
        if (!in_token && used != 0) *next++ = ' ';
        in_token = true;
        if (c == kCapitalSigma) {
            const bool final_form = cased_before && no_cased_letter_follows(text, i);
            next = utf8::write(next, final_form ? kFinalSigma : kSmallSigma);
            ascii = false;
        } else if (c == unicode::kCapitalIWithDot) {
            for (char32_t lower : unicode::kCapitalIWithDotLower) next = utf8::write(next, lower);
            ascii = false;
        } else {
            const auto lower = static_cast<char32_t>(static_cast<std::int32_t>(c) + info.lower_delta);
            next = utf8::write(next, lower);
            ascii = ascii && lower < 0x80;
        }
        used = static_cast<std::size_t>(next - out.data());
        if (!(info.flags & unicode::kCaseIgnorable)) cased_before = (info.flags & unicode::kCased) != 0;
    }
    out.resize(used);
    return ascii;
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

// Most titles and names are already spaced as normalisation leaves them:
// words separated by single spaces, none leading or trailing. Such ASCII
// text normalises to its lowercase, computed sixteen bytes at a time. This
// holds while the ASCII part of the tables lowercases A-Z alone and has
// 9-13 and 32 as its whitespace, which kAsciiFold is checked against once.
bool ascii_rules_are_plain() noexcept {
    for (unsigned c = 0; c < 128; ++c) {
        const bool space = (c >= 9 && c <= 13) || c == ' ';
        const unsigned expected = space ? kAsciiWhiteSpace : (c >= 'A' && c <= 'Z') ? c + 32 : c;
        if (kAsciiFold.to[c] != expected) return false;
    }
    return true;
}

const bool kPlainAsciiRules = ascii_rules_are_plain();

enum class Spacing { kLowercased, kOther, kNotAscii };

// lowercase_spaced_ascii for texts of sixteen bytes or more, whose ends
// are not spaces. The last block may overlap the one before it, which has
// then checked the pair of bytes across its start.
Spacing lowercase_spaced_blocks(const char* in, std::size_t size, char* to) noexcept {
    constexpr std::size_t kBlock = simd::kBlockBytes;
    unsigned space_before = 0;  // bit 0: the byte before the block is a space
    for (std::size_t at = 0;;) {
        const simd::Block bytes = simd::load(in + at);
        if (simd::high_bytes(bytes) != 0) return Spacing::kNotAscii;
        const unsigned spaces = simd::bytes_equal_to(bytes, ' ');
        const unsigned controls = simd::bytes_in_range(bytes, 9, 13);
        if ((controls | (spaces & ((spaces << 1) | space_before))) != 0) return Spacing::kOther;
        simd::store(to + at, simd::ascii_lowercase(bytes));
        if (at + kBlock == size) return Spacing::kLowercased;
        space_before = spaces >> (kBlock - 1);
        at += kBlock;
        if (at + kBlock > size) {
            at = size - kBlock;
            space_before = 0;
        }
    }
}

// Writes the lowercase of text into out when it is ASCII and spaced as
// above. Otherwise says why not (out is then unspecified); kOther does not
// tell whether the text is ASCII.
Spacing lowercase_spaced_ascii(std::string_view text, std::string& out) {
    const std::size_t size = text.size();
    if (size != 0 && (text.front() == ' ' || text.back() == ' ')) return Spacing::kOther;
    out.resize(size);
    const char* const in = text.data();
    char* const to = out.data();
    if (size >= simd::kBlockBytes) return lowercase_spaced_blocks(in, size, to);
    bool after_space = false;
    for (std::size_t i = 0; i < size; ++i) {
        const auto byte = static_cast<unsigned char>(in[i]);
        if (byte >= 0x80) return Spacing::kNotAscii;
        const unsigned char folded = kAsciiFold.to[byte];
        const bool space = byte == ' ';
        if ((folded == kAsciiWhiteSpace && !space) || (space && after_space)) return Spacing::kOther;
        to[i] = space ? ' ' : static_cast<char>(folded);
        after_space = space;
    }
    return Spacing::kLowercased;
}

}  // namespace

std::string normalize(std::string_view text) {
    std::string out;
    normalize_code_points_into(text, out);
    return out;
}

bool normalize_into(std::string_view text, std::string& out) {
    if (kPlainAsciiRules) {
        switch (lowercase_spaced_ascii(text, out)) {
            case Spacing::kLowercased: return true;
            case Spacing::kNotAscii: return normalize_code_points_into(text, out);
            case Spacing::kOther: break;
        }
    }
    if (utf8::is_ascii(text)) {
        normalize_ascii_into(text, out);
        return true;
    }
    return normalize_code_points_into(text, out);
}

}  // namespace refsieve
