#include "core/jaro_bitparallel.hpp"

#include <algorithm>
#include <bit>
#include <optional>

namespace refsieve {

using jaro_detail::kWordBits;

template <class C>
void KeyPattern::assign(std::span<const C> text) {
    words_ = (text.size() + kWordBits - 1) / kWordBits;
    others_.clear();
    if constexpr (sizeof(C) > 1) {
        for (const char32_t c : text) {
            if (c >= kAsciiSize) others_.push_back(c);
        }
        std::sort(others_.begin(), others_.end());
        others_.erase(std::unique(others_.begin(), others_.end()), others_.end());
    }
    masks_.assign((kFirstOtherRow + others_.size()) * words_, 0);
    for (std::size_t j = 0; j < text.size(); ++j) {
        masks_[row(text[j]) * words_ + j / kWordBits] |= std::uint64_t{1} << (j % kWordBits);
    }
}

template void KeyPattern::assign<char32_t>(std::span<const char32_t>);
template void KeyPattern::assign<unsigned char>(std::span<const unsigned char>);

std::size_t KeyPattern::other_row(char32_t c) const noexcept {
    const auto it = std::lower_bound(others_.begin(), others_.end(), c);
    if (it == others_.end() || *it != c) return 0;
    return kFirstOtherRow + static_cast<std::size_t>(it - others_.begin());
}

}  // namespace refsieve
