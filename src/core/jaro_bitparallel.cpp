#include "core/jaro_bitparallel.hpp"

#include <algorithm>
#include <bit>
#include <optional>

#include "core/jaro.hpp"

namespace refsieve {
namespace {

constexpr std::size_t kWordBits = 64;
constexpr std::uint64_t kAllBits = ~std::uint64_t{0};

std::size_t row_of(const KeyPattern& pattern, char32_t c) noexcept {
    return c < KeyPattern::kAsciiSize ? pattern.ascii_rows()[c] : pattern.row(c);
}

// The matching of the textbook Jaro: each a[i] in turn takes the leftmost
// unflagged b[j] equal to it within its window [lo, hi), which is the
// lowest set bit of mask(a[i]) & window & ~flagged. Then the k-th matched
// a[i] is paired with the k-th flagged b[j] (both in position order), and
// the pair is unequal unless bit j of a[i]'s mask is set. The loops are
// branch-free per element: whether an element matches is close to random.

// One register of mask bits: 64, or 128 as two words (low word first).
template <class Block>
struct BlockBits {
    static constexpr std::size_t kBits = sizeof(Block) * 8;
    static constexpr Block kAll = ~Block{0};

    static Block load(const std::uint64_t* words) noexcept {
        if constexpr (kBits == kWordBits) {
            return words[0];
        } else {
            return (Block{words[1]} << kWordBits) | Block{words[0]};
        }
    }
    // Bits lo to hi - 1, for lo < kBits and 0 < hi <= kBits.
    static Block range(std::size_t lo, std::size_t hi) noexcept { return (kAll >> (kBits - hi)) & (kAll << lo); }
    static Block lowest(Block bits) noexcept { return bits & (~bits + 1); }
    static int lowest_index(Block bits) noexcept {
        if constexpr (kBits == kWordBits) {
            return std::countr_zero(bits);
        } else {
            const auto low = static_cast<std::uint64_t>(bits);
            return low != 0 ? std::countr_zero(low) : 64 + std::countr_zero(static_cast<std::uint64_t>(bits >> 64));
        }
    }
};

// Jaro for b that fits one Block: b's flags stay in a register and the
// masks of the matched a[i] in a fixed array.
template <class Block>
double jaro_one_block(std::span<const char32_t> a, std::size_t len_b, const KeyPattern& pattern_b) {
    using Bits = BlockBits<Block>;
    const std::size_t radius = jaro_search_radius(a.size(), len_b);
    const std::size_t end = std::min(a.size(), len_b + radius);  // later windows start past b
    constexpr std::size_t kWords = Bits::kBits / kWordBits;      // == pattern_b.words()
    const std::uint64_t* const rows = pattern_b.rows();
    const std::uint8_t* const ascii_rows = pattern_b.ascii_rows();
    Block matched[Bits::kBits + 1];  // + 1: written before it is counted
    Block flagged = 0;
    std::size_t matches = 0;
    for (std::size_t i = 0; i < end; ++i) {
        const std::size_t lo = i < radius ? 0 : i - radius;
        const std::size_t hi = std::min(len_b, i + radius + 1);
        const char32_t c = a[i];
        const std::size_t row = c < KeyPattern::kAsciiSize ? ascii_rows[c] : pattern_b.row(c);
        const Block mask = Bits::load(rows + row * kWords);
        const Block free = mask & ~flagged & Bits::range(lo, hi);
        flagged |= Bits::lowest(free);
        matched[matches] = mask;
        matches += free != 0;
    }
    std::size_t unequal = 0;
    for (std::size_t k = 0; k < matches; ++k) {
        unequal += static_cast<std::size_t>(((matched[k] >> Bits::lowest_index(flagged)) & 1) ^ 1);
        flagged &= flagged - 1;
    }
    return jaro_from_counts(a.size(), len_b, matches, unequal);
}

// Bits lo to hi - 1 of one word, for lo < 64 and 0 < hi <= 64.
std::uint64_t bit_range(std::size_t lo, std::size_t hi) noexcept {
    return (kAllBits >> (kWordBits - hi)) & (kAllBits << lo);
}

std::uint64_t lowest_bit(std::uint64_t bits) noexcept { return bits & (~bits + 1); }

// Jaro for b of any length, with masks of several words.
double jaro_multi_word(std::span<const char32_t> a, std::size_t len_b, const KeyPattern& pattern_b,
                       JaroScratch& scratch) {
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
        const std::size_t row = row_of(pattern_b, a[i]);
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

}  // namespace

void KeyPattern::assign(std::span<const char32_t> text) {
    words_ = (text.size() + kWordBits - 1) / kWordBits;
    ascii_row_.assign(kAsciiSize, 0);
    others_.clear();
    std::size_t ascii_rows = 0;
    for (char32_t c : text) {
        if (c >= kAsciiSize) {
            others_.push_back(c);
        } else if (ascii_row_[c] == 0) {
            ascii_row_[c] = static_cast<std::uint8_t>(++ascii_rows);  // at most 128 rows
        }
    }
    std::sort(others_.begin(), others_.end());
    others_.erase(std::unique(others_.begin(), others_.end()), others_.end());
    first_other_row_ = 1 + ascii_rows;

    masks_.assign((first_other_row_ + others_.size()) * words_, 0);
    for (std::size_t j = 0; j < text.size(); ++j) {
        const char32_t c = text[j];
        const std::size_t row = c < kAsciiSize ? ascii_row_[c] : other_row(c);
        masks_[row * words_ + j / kWordBits] |= std::uint64_t{1} << (j % kWordBits);
    }
}

std::size_t KeyPattern::other_row(char32_t c) const noexcept {
    const auto it = std::lower_bound(others_.begin(), others_.end(), c);
    if (it == others_.end() || *it != c) return 0;
    return first_other_row_ + static_cast<std::size_t>(it - others_.begin());
}

double generic_jaro(std::span<const char32_t> a, std::span<const char32_t> b, const KeyPattern& pattern_b,
                    JaroScratch& scratch) {
    const std::size_t len_a = a.size();
    const std::size_t len_b = b.size();
    if (const std::optional<double> empty = jaro_if_empty(len_a, len_b)) return *empty;
    // Equal sequences: a[i] takes b[i] for every i (all earlier b are taken
    // by then), so m = A, no pair is unequal, and the value is exactly 1.0.
    if (len_a == len_b && std::equal(a.begin(), a.end(), b.begin())) return 1.0;

    switch (pattern_b.words()) {
        case 1: return jaro_one_block<std::uint64_t>(a, len_b, pattern_b);
        case 2: return jaro_one_block<unsigned __int128>(a, len_b, pattern_b);
        default: return jaro_multi_word(a, len_b, pattern_b, scratch);
    }
}

double jaro_winkler(std::span<const char32_t> a, std::span<const char32_t> b, const KeyPattern& pattern_b,
                    JaroScratch& scratch) {
    return winkler_adjust(generic_jaro(a, b, pattern_b, scratch), a, b);
}

}  // namespace refsieve
