// The bit-parallel Jaro matching, as inline templates: every CPU path of
// the scoring (cpu_dispatch.hpp) compiles its own copy. Included by
// jaro_bitparallel.hpp only.
#pragma once

#include <algorithm>
#include <bit>
#include <optional>

#include "core/jaro.hpp"

namespace refsieve {
namespace jaro_detail {

inline constexpr std::size_t kWordBits = 64;
inline constexpr std::uint64_t kAllBits = ~std::uint64_t{0};

// The matching of the textbook Jaro: each a[i] in turn takes the leftmost
// unflagged b[j] equal to it within its window [lo, hi), which is the
// lowest set bit of mask(a[i]) & window & ~flagged. Then the k-th matched
// a[i] is paired with the k-th flagged b[j] (both in position order), and
// the pair is unequal unless bit j of a[i]'s mask is set. The loops are
// branch-free per element: whether an element matches is close to random.

// The pattern row of one element of a text; a narrow text holds ASCII code points only.
template <class A>
inline std::size_t row_of_element(const KeyPattern& pattern, A element) noexcept {
    if constexpr (sizeof(A) == 1) {
        return KeyPattern::ascii_row(element);
    } else {
        return pattern.row(element);
    }
}

// The bits of `value`, which the compiler must take as they are: the
// matching loops compute mask & window before `flagged` is known, so that
// only one operation waits for it, and a compiler left free to regroup
// the three operands would put flagged first.
inline std::uint64_t computed(std::uint64_t value) noexcept {
    asm("" : "+r"(value));
    return value;
}

// Bits lo to hi - 1 of one word, for lo < 64 and 0 < hi <= 64.
inline std::uint64_t bit_range(std::size_t lo, std::size_t hi) noexcept {
    return (kAllBits >> (kWordBits - hi)) & (kAllBits << lo);
}

inline std::uint64_t lowest_bit(std::uint64_t bits) noexcept { return bits & (~bits + 1); }

// Jaro for b of up to 64 elements: b's flags stay in a register and the
// masks of the matched a[i] in a fixed array.
template <class A>
double jaro_one_word(std::span<const A> a, std::size_t len_b, const KeyPattern& pattern_b) {
    const std::size_t radius = jaro_search_radius(a.size(), len_b);
    const std::size_t end = std::min(a.size(), len_b + radius);  // later windows start past b
    const std::uint64_t* const rows = pattern_b.rows();
    std::uint64_t matched[kWordBits + 1];  // + 1: written before it is counted
    std::uint64_t flagged = 0;
    std::size_t matches = 0;
    // a[i]'s window, bits i - radius to i + radius (from 0 at least): moved
    // up by one bit per element, and widened by one while its low end stays
    // at 0 (the first `radius` elements). Bits at len_b and beyond need no
    // clearing: no mask has them set.
    std::uint64_t window = radius + 1 >= kWordBits ? kAllBits : bit_range(0, radius + 1);
    const auto take = [&](std::size_t i) {
        const std::uint64_t mask = rows[row_of_element(pattern_b, a[i])];
        const std::uint64_t free = computed(mask & window) & ~flagged;
        flagged |= lowest_bit(free);
        matched[matches] = mask;
        matches += free != 0;
    };
    const std::size_t widening = std::min(end, radius);
    std::size_t i = 0;
#pragma GCC unroll 4
    for (; i < widening; ++i) {
        take(i);
        window = (window << 1) | 1;
    }
#pragma GCC unroll 4
    for (; i < end; ++i) {
        take(i);
        window <<= 1;
    }
    std::size_t unequal = 0;
#pragma GCC unroll 4
    for (std::size_t k = 0; k < matches; ++k) {
        const std::uint64_t position = lowest_bit(flagged);  // the k-th flagged b[j]
        unequal += (matched[k] & position) == 0;
        flagged &= flagged - 1;  // not ^= position: the next flagged waits for one operation
    }
    return jaro_from_counts(a.size(), len_b, matches, unequal);
}

// Jaro for b of 65 to 128 elements: jaro_one_word on two words kept
// apart, so that each step is plain word arithmetic (a 128-bit integer
// costs carries and register spills). The lowest free bit of the window
// is the low word's when it has one, else the high word's.
template <class A>
double jaro_two_words(std::span<const A> a, std::size_t len_b, const KeyPattern& pattern_b) {
    const std::size_t radius = jaro_search_radius(a.size(), len_b);
    const std::size_t end = std::min(a.size(), len_b + radius);
    const std::uint64_t* const rows = pattern_b.rows();
    std::uint64_t matched_low[2 * kWordBits + 1];  // + 1: written before it is counted
    std::uint64_t matched_high[2 * kWordBits + 1];
    std::uint64_t flagged_low = 0;
    std::uint64_t flagged_high = 0;
    std::size_t matches = 0;
    // The window of jaro_one_word, as two words.
    std::uint64_t window_low = kAllBits;
    std::uint64_t window_high = kAllBits;
    if (radius + 1 < kWordBits) {
        window_low = (std::uint64_t{1} << (radius + 1)) - 1;
        window_high = 0;
    } else if (radius + 1 < 2 * kWordBits) {
        window_high = (std::uint64_t{1} << (radius + 1 - kWordBits)) - 1;
    }
    const auto take = [&](std::size_t i) {
        const std::size_t row = row_of_element(pattern_b, a[i]);
        const std::uint64_t mask_low = rows[2 * row];
        const std::uint64_t mask_high = rows[2 * row + 1];
        const std::uint64_t free_low = computed(mask_low & window_low) & ~flagged_low;
        const std::uint64_t free_high = computed(mask_high & window_high) & ~flagged_high;
        const std::uint64_t high_counts = free_low != 0 ? 0 : kAllBits;
        flagged_low |= lowest_bit(free_low);
        flagged_high |= lowest_bit(free_high) & high_counts;
        matched_low[matches] = mask_low;
        matched_high[matches] = mask_high;
        matches += (free_low | free_high) != 0;
        window_high = (window_high << 1) | (window_low >> (kWordBits - 1));
        window_low <<= 1;
    };
    const std::size_t widening = std::min(end, radius);
    std::size_t i = 0;
#pragma GCC unroll 4
    for (; i < widening; ++i) {
        take(i);
        window_low |= 1;
    }
#pragma GCC unroll 4
    for (; i < end; ++i) take(i);
    std::size_t unequal = 0;
    std::size_t k = 0;
#pragma GCC unroll 4
    for (; flagged_low != 0; ++k) {
        const std::uint64_t position = lowest_bit(flagged_low);
        unequal += (matched_low[k] & position) == 0;
        flagged_low &= flagged_low - 1;
    }
    for (; k < matches; ++k) {
        const std::uint64_t position = lowest_bit(flagged_high);
        unequal += (matched_high[k] & position) == 0;
        flagged_high &= flagged_high - 1;
    }
    return jaro_from_counts(a.size(), len_b, matches, unequal);
}

// Jaro for b of any length, with masks of several words.
template <class A>
double jaro_multi_word(std::span<const A> a, std::size_t len_b, const KeyPattern& pattern_b, JaroScratch& scratch) {
    const std::size_t words = pattern_b.words();
    const std::size_t radius = jaro_search_radius(a.size(), len_b);
    const std::size_t end = std::min(a.size(), len_b + radius);
    const std::uint64_t* rows = pattern_b.rows();
    scratch.flagged.assign(words, 0);
    scratch.matched.resize(std::min(a.size(), len_b) + 1);
    std::uint64_t* flagged = scratch.flagged.data();
    std::size_t* matched = scratch.matched.data();  // mask rows
    std::size_t matches = 0;
    for (std::size_t i = 0; i < end; ++i) {
        const std::size_t lo = i < radius ? 0 : i - radius;
        const std::size_t hi = std::min(len_b, i + radius + 1);
        const std::size_t row = pattern_b.row(a[i]);
        const std::uint64_t* mask = rows + row * words;
        std::uint64_t searching = kAllBits;  // until a word of the window has a free equal element
        for (std::size_t w = lo / kWordBits, base = w * kWordBits; base < hi; ++w, base += kWordBits) {
            const std::size_t from = lo > base ? lo - base : 0;
            const std::size_t to = std::min(hi - base, kWordBits);
            const std::uint64_t free = mask[w] & ~flagged[w] & bit_range(from, to);
            flagged[w] |= lowest_bit(free) & searching;
            searching &= free != 0 ? 0 : kAllBits;
        }
        matched[matches] = row;
        matches += searching == 0;
    }
    std::size_t unequal = 0;
    std::size_t w = 0;
    std::uint64_t rest = flagged[0];
    for (std::size_t k = 0; k < matches; ++k) {
        while (rest == 0) rest = flagged[++w];
        unequal += ((rows[matched[k] * words + w] >> std::countr_zero(rest)) & 1) ^ 1;
        rest &= rest - 1;
    }
    return jaro_from_counts(a.size(), len_b, matches, unequal);
}

}  // namespace jaro_detail

template <class A, class B>
double generic_jaro(std::span<const A> a, std::span<const B> b, const KeyPattern& pattern_b, JaroScratch& scratch) {
    using namespace jaro_detail;
    const std::size_t len_a = a.size();
    const std::size_t len_b = b.size();
    if (const std::optional<double> empty = jaro_if_empty(len_a, len_b)) return *empty;
    // Equal sequences: a[i] takes b[i] for every i (all earlier b are taken
    // by then), so m = A, no pair is unequal, and the value is exactly 1.0.
    if (len_a == len_b &&
        std::equal(a.begin(), a.end(), b.begin(), [](A x, char32_t y) { return static_cast<char32_t>(x) == y; })) {
        return 1.0;
    }

    switch (pattern_b.words()) {
        case 1: return jaro_one_word(a, len_b, pattern_b);
        case 2: return jaro_two_words(a, len_b, pattern_b);
        default: return jaro_multi_word(a, len_b, pattern_b, scratch);
    }
}

template <class A, class B>
double jaro_winkler(std::span<const A> a, std::span<const B> b, const KeyPattern& pattern_b, JaroScratch& scratch) {
    return winkler_adjust(generic_jaro(a, b, pattern_b, scratch), a, b);
}

inline double generic_jaro(std::span<const char32_t> a, std::span<const char32_t> b, const KeyPattern& pattern_b,
                           JaroScratch& scratch) {
    return generic_jaro<char32_t, char32_t>(a, b, pattern_b, scratch);
}

inline double jaro_winkler(std::span<const char32_t> a, std::span<const char32_t> b, const KeyPattern& pattern_b,
                           JaroScratch& scratch) {
    return jaro_winkler<char32_t, char32_t>(a, b, pattern_b, scratch);
}

}  // namespace refsieve
