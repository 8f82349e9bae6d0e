#include "core/jaro_bitparallel.hpp"

#include <algorithm>
#include <bit>

#include "core/jaro.hpp"

namespace refsieve {
namespace {

constexpr std::size_t kWordBits = 64;
constexpr std::uint64_t kAllBits = ~std::uint64_t{0};

// Bits lo to hi - 1 of one word, for lo < hi <= 64.
std::uint64_t bit_range(std::size_t lo, std::size_t hi) noexcept {
    const std::uint64_t below_hi = hi == kWordBits ? kAllBits : (std::uint64_t{1} << hi) - 1;
    return below_hi & (kAllBits << lo);
}

std::uint64_t lowest_bit(std::uint64_t bits) noexcept { return bits & (~bits + 1); }

// floor(max(A, B) / 2) - 1, saturating at zero, as in generic_jaro.
std::size_t search_radius(std::size_t len_a, std::size_t len_b) noexcept {
    const std::size_t half = std::max(len_a, len_b) / 2;
    return half > 0 ? half - 1 : 0;
}

// The greedy matching of generic_jaro. Each a[i] in turn takes the leftmost
// unflagged b[j] equal to it within its window: the lowest set bit of
// mask(a[i]) & window & ~flagged. Leaves b's matched positions in
// scratch.flagged and the mask of every matched a[i], in a's order, in
// scratch.matched; returns the number of matches.
std::size_t match_greedily(std::span<const char32_t> a, std::size_t len_b, const KeyPattern& pattern_b,
                           JaroScratch& scratch) {
    const std::size_t words = pattern_b.words();
    const std::size_t radius = search_radius(a.size(), len_b);
    scratch.flagged.assign(words, 0);
    scratch.matched.resize(std::min(a.size(), len_b));
    std::size_t matches = 0;

    if (words == 1) {  // b fits one word: keep its flags in a register
        std::uint64_t flagged = 0;
        for (std::size_t i = 0; i < a.size(); ++i) {
            const std::size_t lo = i < radius ? 0 : i - radius;
            if (lo >= len_b) break;  // windows only move right
            const std::size_t hi = std::min(len_b, i + radius + 1);
            const std::uint64_t* mask = pattern_b.mask(a[i]);
            const std::uint64_t free = mask[0] & ~flagged & bit_range(lo, hi);
            if (free != 0) {
                flagged |= lowest_bit(free);
                scratch.matched[matches++] = mask;
            }
        }
        scratch.flagged[0] = flagged;
        return matches;
    }

    std::uint64_t* flagged = scratch.flagged.data();
    for (std::size_t i = 0; i < a.size(); ++i) {
        const std::size_t lo = i < radius ? 0 : i - radius;
        if (lo >= len_b) break;
        const std::size_t hi = std::min(len_b, i + radius + 1);
        const std::uint64_t* mask = pattern_b.mask(a[i]);
        const std::size_t first = lo / kWordBits;
        const std::size_t last = (hi - 1) / kWordBits;
        for (std::size_t w = first; w <= last; ++w) {
            const std::size_t from = w == first ? lo % kWordBits : 0;
            const std::size_t to = w == last ? hi - w * kWordBits : kWordBits;
            const std::uint64_t free = mask[w] & ~flagged[w] & bit_range(from, to);
            if (free != 0) {
                flagged[w] |= lowest_bit(free);
                scratch.matched[matches++] = mask;
                break;
            }
        }
    }
    return matches;
}

// Pairs the k-th matched a[i] with the k-th matched b[j] (both in position
// order) and counts the pairs whose code points differ: b[j] equals a[i]
// exactly when bit j of a[i]'s mask is set.
std::size_t count_unequal_pairs(std::size_t matches, const JaroScratch& scratch) {
    std::size_t unequal = 0;
    std::size_t w = 0;
    std::uint64_t rest = scratch.flagged[0];
    for (std::size_t k = 0; k < matches; ++k) {
        while (rest == 0) rest = scratch.flagged[++w];
        const int bit = std::countr_zero(rest);
        if (((scratch.matched[k][w] >> bit) & 1) == 0) ++unequal;
        rest &= rest - 1;
    }
    return unequal;
}

} // namespace

void KeyPattern::assign(std::span<const char32_t> text) {
    words_ = (text.size() + kWordBits - 1) / kWordBits;
    ascii_slot_.assign(kAsciiSize, 0);
    others_.clear();
    std::size_t ascii_rows = 0;
    for (char32_t c : text) {
        if (c >= kAsciiSize) {
            others_.push_back(c);
        } else if (ascii_slot_[c] == 0) {
            ascii_slot_[c] = static_cast<std::uint8_t>(++ascii_rows);  // at most 128 rows
        }
    }
    std::sort(others_.begin(), others_.end());
    others_.erase(std::unique(others_.begin(), others_.end()), others_.end());
    first_other_slot_ = 1 + ascii_rows;

    masks_.assign((first_other_slot_ + others_.size()) * words_, 0);
    for (std::size_t j = 0; j < text.size(); ++j) {
        const char32_t c = text[j];
        const std::size_t row = c < kAsciiSize ? ascii_slot_[c] : other_slot(c);
        masks_[row * words_ + j / kWordBits] |= std::uint64_t{1} << (j % kWordBits);
    }
}

std::size_t KeyPattern::other_slot(char32_t c) const noexcept {
    const auto it = std::lower_bound(others_.begin(), others_.end(), c);
    if (it == others_.end() || *it != c) return 0;
    return first_other_slot_ + static_cast<std::size_t>(it - others_.begin());
}

double jaro_bitparallel(std::span<const char32_t> a, std::span<const char32_t> b, const KeyPattern& pattern_b,
                        JaroScratch& scratch) {
    const std::size_t len_a = a.size();
    const std::size_t len_b = b.size();
    if (len_a == 0 && len_b == 0) return 1.0;
    if (len_a == 0 || len_b == 0) return 0.0;
    // Equal sequences: a[i] takes b[i] for every i (all earlier b are taken
    // by then), so m = A, no pair is unequal, and the value is exactly 1.0.
    if (len_a == len_b && std::equal(a.begin(), a.end(), b.begin())) return 1.0;

    const std::size_t matches = match_greedily(a, len_b, pattern_b, scratch);
    if (matches == 0) return 0.0;
    const std::size_t transpositions = count_unequal_pairs(matches, scratch) / 2;

    // The same operations in the same grouping as generic_jaro.
    const double m = static_cast<double>(matches);
    return ((m / static_cast<double>(len_a) + m / static_cast<double>(len_b)) +
            static_cast<double>(matches - transpositions) / m) /
           3.0;
}

double jaro_winkler_bitparallel(std::span<const char32_t> a, std::span<const char32_t> b,
                                const KeyPattern& pattern_b, JaroScratch& scratch) {
    return winkler_adjust(jaro_bitparallel(a, b, pattern_b, scratch), a, b);
}

} // namespace refsieve
