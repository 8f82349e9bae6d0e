// The Jaro and Jaro–Winkler similarity as the module computes them:
// bit-parallel, with per-code-point position masks of the second text. The
// values equal the textbook computation (reference/jaro.hpp) bit for bit;
// the rules both share are in jaro.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace refsieve {

// The pattern-match vectors of one text: for each code point that occurs in
// it, a mask of words() 64-bit words with bit j (of word j / 64) set where
// the text holds that code point at position j. Built once per text, read
// by any number of threads.
class KeyPattern {
public:
    KeyPattern() = default;
    explicit KeyPattern(std::span<const char32_t> text) { assign(text); }

    // Rebuilds the masks for text, reusing the storage already held.
    // text holds code points, as char32_t or (all ASCII) one byte each.
    template <class C>
    void assign(std::span<const C> text);
    void assign(std::span<const char32_t> text) { assign<char32_t>(text); }

    std::size_t words() const noexcept { return words_; }

    // The masks, as rows of words() words: c's mask is row(c), and a code
    // point that does not occur has an all-zero row. Every ASCII code point
    // has its own row, so that finding it costs no lookup.
    const std::uint64_t* rows() const noexcept { return masks_.data(); }
    std::size_t row(char32_t c) const noexcept { return c < kAsciiSize ? ascii_row(c) : other_row(c); }
    static std::size_t ascii_row(char32_t c) noexcept { return std::size_t{c} + 1; }  // for c < kAsciiSize

    static constexpr char32_t kAsciiSize = 128;

private:
    // Row 0 is all zero, the rows of the ASCII code points follow it, then
    // those of the distinct non-ASCII code points of the text.
    static constexpr std::size_t kFirstOtherRow = 1 + kAsciiSize;

    // Kept out of line: once the compiler may inline it (as it may with
    // hidden visibility), its search swells the matching loops, which then
    // run about a quarter more instructions per comparison.
    [[gnu::noinline]] std::size_t other_row(char32_t c) const noexcept;

    std::size_t words_ = 0;
    // The distinct non-ASCII code points, ascending; the k-th has row
    // kFirstOtherRow + k.
    std::vector<char32_t> others_;
    // Row-major: masks_[row * words_ + w].
    std::vector<std::uint64_t> masks_;
};

// Working storage of the bit-parallel matching, kept by a caller across
// calls so that the comparisons allocate nothing once it has grown.
struct JaroScratch {
    std::vector<std::uint64_t> flagged;  // matched positions of b
    std::vector<std::size_t> matched;    // mask row of each matched a[i], in a's order
};

// The Jaro similarity of sequences a and b, with pattern_b the KeyPattern
// of b; each holds code points, as char32_t or, all ASCII, one byte each.
template <class A, class B>
double generic_jaro(std::span<const A> a, std::span<const B> b, const KeyPattern& pattern_b, JaroScratch& scratch);

// The Jaro–Winkler similarity: winkler_adjust of the Jaro similarity.
template <class A, class B>
double jaro_winkler(std::span<const A> a, std::span<const B> b, const KeyPattern& pattern_b, JaroScratch& scratch);

}  // namespace refsieve

#include "core/jaro_bitparallel_impl.hpp"
