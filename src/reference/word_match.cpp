#include "reference/word_match.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "core/utf8.hpp"

namespace refsieve::reference {
namespace {

std::size_t letters(std::string_view word) noexcept {
    return static_cast<std::size_t>(
        std::count_if(word.begin(), word.end(), [](char byte) { return (byte & 0xC0) != 0x80; }));
}

bool fuzzy_equal(std::string_view a, std::string_view b, std::size_t fuzzy_letters) {
    return fuzzy_letters > 0 && letters(a) >= fuzzy_letters && letters(b) >= fuzzy_letters && one_edit_apart(a, b);
}

}  // namespace

bool one_edit_apart(std::string_view first, std::string_view second) {
    std::vector<char32_t> a = utf8::decode(first);
    std::vector<char32_t> b = utf8::decode(second);
    if (a.size() > b.size()) std::swap(a, b);
    if (b.size() - a.size() > 1) return false;
    std::size_t i = 0;
    while (i < a.size() && a[i] == b[i]) ++i;
    if (a.size() == b.size()) {
        if (i == a.size() || std::equal(a.begin() + static_cast<std::ptrdiff_t>(i) + 1, a.end(),
                                        b.begin() + static_cast<std::ptrdiff_t>(i) + 1)) {
            return true;
        }
        return i + 1 < a.size() && a[i] == b[i + 1] && a[i + 1] == b[i] &&
               std::equal(a.begin() + static_cast<std::ptrdiff_t>(i) + 2, a.end(),
                          b.begin() + static_cast<std::ptrdiff_t>(i) + 2);
    }
    return std::equal(a.begin() + static_cast<std::ptrdiff_t>(i), a.end(),
                      b.begin() + static_cast<std::ptrdiff_t>(i) + 1);
}

std::size_t match_names(std::span<const std::uint32_t> xs, std::span<const std::uint32_t> ys,
                        const same_work::Words& words, std::size_t fuzzy_letters) {
    std::vector<bool> used(ys.size(), false);
    std::vector<std::uint32_t> left;
    std::size_t n = 0;
    for (const std::uint32_t x : xs) {
        bool found = false;
        for (std::size_t k = 0; k < ys.size(); ++k) {
            if (!used[k] && ys[k] == x) {
                used[k] = true;
                found = true;
                ++n;
                break;
            }
        }
        if (!found) left.push_back(x);
    }
    for (const std::uint32_t x : left) {
        if (fuzzy_letters == 0 || letters(words.text(x)) < fuzzy_letters) continue;
        for (std::size_t k = 0; k < ys.size(); ++k) {
            if (!used[k] && fuzzy_equal(words.text(x), words.text(ys[k]), fuzzy_letters)) {
                used[k] = true;
                ++n;
                break;
            }
        }
    }
    return n;
}

same_work::TitleMatch match_titles(std::span<const std::uint32_t> xs, std::span<const std::uint32_t> ys,
                                   const same_work::Words& words, std::size_t fuzzy_letters) {
    std::vector<bool> used_x(xs.size(), false), used_y(ys.size(), false);
    same_work::TitleMatch result{0, xs.size(), ys.size()};
    for (std::size_t i = 0; i < xs.size(); ++i) {
        for (std::size_t k = 0; k < ys.size(); ++k) {
            if (!used_y[k] && xs[i] == ys[k]) {
                used_x[i] = used_y[k] = true;
                ++result.matched;
                break;
            }
        }
    }
    for (std::size_t i = 0; i < xs.size(); ++i) {
        if (used_x[i] || fuzzy_letters == 0 || letters(words.text(xs[i])) < fuzzy_letters) continue;
        for (std::size_t k = 0; k < ys.size(); ++k) {
            if (!used_y[k] && fuzzy_equal(words.text(xs[i]), words.text(ys[k]), fuzzy_letters)) {
                used_x[i] = used_y[k] = true;
                ++result.matched;
                break;
            }
        }
    }
    const auto join = [&](std::span<const std::uint32_t> side, std::vector<bool>& used_side,
                          std::span<const std::uint32_t> other, std::vector<bool>& used_other, std::size_t& length) {
        for (std::size_t i = 0; i + 1 < side.size(); ++i) {
            if (used_side[i] || used_side[i + 1]) continue;
            std::string joined(words.text(side[i]));
            joined.append(words.text(side[i + 1]));
            for (std::size_t k = 0; k < other.size(); ++k) {
                const std::string_view word = words.text(other[k]);
                if (!used_other[k] && (word == joined || fuzzy_equal(word, joined, fuzzy_letters))) {
                    used_side[i] = used_side[i + 1] = used_other[k] = true;
                    ++result.matched;
                    --length;
                    break;
                }
            }
        }
    };
    join(xs, used_x, ys, used_y, result.first_length);
    join(ys, used_y, xs, used_x, result.second_length);
    return result;
}

}  // namespace refsieve::reference
