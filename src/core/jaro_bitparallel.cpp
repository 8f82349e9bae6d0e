#include "core/jaro_bitparallel.hpp"

#include <algorithm>
#include <bit>
#include <optional>

namespace refsieve {

using jaro_detail::kWordBits;

template <class C>
void KeyPattern::assign(std::span<const C> text) {
    words_ = (text.size() + kWordBits - 1) / kWordBits;
    ascii_row_.fill(0);
    others_.clear();
    if constexpr (sizeof(C) == 1) {
        assign_ascii(text);
        return;
    }
    std::size_t ascii_rows = 0;
    for (const char32_t c : text) {
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

// All code points ASCII: rows are numbered as code points first occur, and
// each position's bit is set in the same pass (rows start zeroed, one for
// each distinct code point at most).
void KeyPattern::assign_ascii(std::span<const unsigned char> text) {
    masks_.assign((1 + std::min<std::size_t>(text.size(), kAsciiSize)) * words_, 0);
    std::size_t ascii_rows = 0;
    for (std::size_t j = 0; j < text.size(); ++j) {
        std::size_t row = ascii_row_[text[j]];
        if (row == 0) {
            row = ++ascii_rows;
            ascii_row_[text[j]] = static_cast<std::uint8_t>(row);
        }
        masks_[row * words_ + j / kWordBits] |= std::uint64_t{1} << (j % kWordBits);
    }
    first_other_row_ = 1 + ascii_rows;
    masks_.resize(first_other_row_ * words_);
}

template void KeyPattern::assign<char32_t>(std::span<const char32_t>);
template void KeyPattern::assign<unsigned char>(std::span<const unsigned char>);

std::size_t KeyPattern::other_row(char32_t c) const noexcept {
    const auto it = std::lower_bound(others_.begin(), others_.end(), c);
    if (it == others_.end() || *it != c) return 0;
    return first_other_row_ + static_cast<std::size_t>(it - others_.begin());
}

}  // namespace refsieve
