// The words are compared by number first, and by text only where the code
// point counts allow a match; no allocation unless a list is long.
#include "core/word_match.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "core/utf8.hpp"

namespace refsieve::same_work {
namespace {

// Which words of a list are matched already: on the stack for the usual
// short lists.
class UsedFlags {
public:
    explicit UsedFlags(std::size_t n) : heap_(n > kInline ? n : 0, false), n_(n) {}
    bool operator[](std::size_t k) const noexcept { return n_ > kInline ? heap_[k] : inline_[k]; }
    void set(std::size_t k) noexcept {
        if (n_ > kInline) {
            heap_[k] = true;
        } else {
            inline_[k] = true;
        }
    }

private:
    static constexpr std::size_t kInline = 64;
    std::array<bool, kInline> inline_{};
    std::vector<bool> heap_;
    std::size_t n_;
};

// The rule on code units of one kind (bytes of ASCII words, or code points).
template <class Unit>
bool one_edit_apart_units(const Unit* a, std::size_t na, const Unit* b, std::size_t nb) noexcept {
    if (na > nb) {
        std::swap(a, b);
        std::swap(na, nb);
    }
    if (nb - na > 1) return false;
    std::size_t i = 0;
    while (i < na && a[i] == b[i]) ++i;
    if (na == nb) {
        if (i == na || std::equal(a + i + 1, a + na, b + i + 1)) return true;
        return i + 1 < na && a[i] == b[i + 1] && a[i + 1] == b[i] && std::equal(a + i + 2, a + na, b + i + 2);
    }
    return std::equal(a + i, a + na, b + i + 1);
}

// The code points of a word, on the stack when it is short.
class CodePoints {
public:
    explicit CodePoints(std::string_view word) {
        std::size_t count = 0;
        for (std::size_t i = 0; i < word.size();) {
            const char32_t c = utf8::next(word, i);
            if (count < kInline) {
                inline_[count] = c;
            } else {
                if (heap_.empty()) heap_.assign(inline_.begin(), inline_.end());
                heap_.push_back(c);
            }
            ++count;
        }
        size_ = count;
    }
    const char32_t* data() const noexcept { return size_ > kInline ? heap_.data() : inline_.data(); }
    std::size_t size() const noexcept { return size_; }

private:
    static constexpr std::size_t kInline = 64;
    std::array<char32_t, kInline> inline_;
    std::vector<char32_t> heap_;
    std::size_t size_ = 0;
};

bool one_edit_apart_known(std::string_view a, bool a_ascii, std::string_view b, bool b_ascii) {
    if (a_ascii && b_ascii) return one_edit_apart_units(a.data(), a.size(), b.data(), b.size());
    const CodePoints x(a), y(b);
    return one_edit_apart_units(x.data(), x.size(), y.data(), y.size());
}

// Two words of at least fuzzy_letters code points each, one edit apart;
// the counts are looked at first.
bool fuzzy_words(const Words& words, std::uint32_t x, std::uint32_t y, std::size_t fuzzy_letters) {
    const std::uint32_t lx = words.letters(x), ly = words.letters(y);
    if (lx < fuzzy_letters || ly < fuzzy_letters || (lx > ly ? lx - ly : ly - lx) > 1) return false;
    return one_edit_apart_known(words.text(x), words.is_ascii(x), words.text(y), words.is_ascii(y));
}

// Equal words first, then fuzzy ones, as match_names describes; marks what
// it matched.
std::size_t match_words(std::span<const std::uint32_t> xs, std::span<const std::uint32_t> ys, const Words& words,
                        std::size_t fuzzy_letters, UsedFlags& used_x, UsedFlags& used_y) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < xs.size(); ++i) {
        for (std::size_t k = 0; k < ys.size(); ++k) {
            if (!used_y[k] && ys[k] == xs[i]) {
                used_x.set(i);
                used_y.set(k);
                ++n;
                break;
            }
        }
    }
    if (fuzzy_letters == 0 || n == std::min(xs.size(), ys.size())) return n;
    for (std::size_t i = 0; i < xs.size(); ++i) {
        if (used_x[i] || words.letters(xs[i]) < fuzzy_letters) continue;
        for (std::size_t k = 0; k < ys.size(); ++k) {
            if (!used_y[k] && fuzzy_words(words, xs[i], ys[k], fuzzy_letters)) {
                used_x.set(i);
                used_y.set(k);
                ++n;
                break;
            }
        }
    }
    return n;
}

// Two neighbouring words of `side` left over, against one word of `other`
// left over: equal to the two joined, or (both long enough) one edit apart.
void join_neighbours(std::span<const std::uint32_t> side, UsedFlags& used_side, std::span<const std::uint32_t> other,
                     UsedFlags& used_other, const Words& words, std::size_t fuzzy_letters, TitleMatch& result,
                     std::size_t& length) {
    std::string joined;
    for (std::size_t i = 0; i + 1 < side.size(); ++i) {
        if (used_side[i] || used_side[i + 1]) continue;
        const std::string_view left = words.text(side[i]), right = words.text(side[i + 1]);
        const std::uint32_t joined_letters = words.letters(side[i]) + words.letters(side[i + 1]);
        const bool joined_ascii = words.is_ascii(side[i]) && words.is_ascii(side[i + 1]);
        bool built = false;
        for (std::size_t k = 0; k < other.size(); ++k) {
            if (used_other[k]) continue;
            const std::uint32_t letters = words.letters(other[k]);
            if ((letters > joined_letters ? letters - joined_letters : joined_letters - letters) > 1) continue;
            const std::string_view word = words.text(other[k]);
            bool found = word.size() == left.size() + right.size() && word.starts_with(left) && word.ends_with(right);
            if (!found && fuzzy_letters > 0 && letters >= fuzzy_letters && joined_letters >= fuzzy_letters) {
                if (!built) {
                    joined.assign(left);
                    joined.append(right);
                    built = true;
                }
                found = one_edit_apart_known(word, words.is_ascii(other[k]), joined, joined_ascii);
            }
            if (found) {
                used_side.set(i);
                used_side.set(i + 1);
                used_other.set(k);
                ++result.matched;
                --length;
                break;
            }
        }
    }
}

}  // namespace

bool one_edit_apart(std::string_view first, std::string_view second) {
    return one_edit_apart_known(first, utf8::is_ascii(first), second, utf8::is_ascii(second));
}

std::size_t match_names(std::span<const std::uint32_t> xs, std::span<const std::uint32_t> ys, const Words& words,
                        std::size_t fuzzy_letters) {
    UsedFlags used_x(xs.size()), used_y(ys.size());
    return match_words(xs, ys, words, fuzzy_letters, used_x, used_y);
}

TitleMatch match_titles(std::span<const std::uint32_t> xs, std::span<const std::uint32_t> ys, const Words& words,
                        std::size_t fuzzy_letters) {
    UsedFlags used_x(xs.size()), used_y(ys.size());
    TitleMatch result{0, xs.size(), ys.size()};
    result.matched = match_words(xs, ys, words, fuzzy_letters, used_x, used_y);
    if (result.matched == std::min(xs.size(), ys.size())) return result;
    join_neighbours(xs, used_x, ys, used_y, words, fuzzy_letters, result, result.first_length);
    join_neighbours(ys, used_y, xs, used_x, words, fuzzy_letters, result, result.second_length);
    return result;
}

}  // namespace refsieve::same_work
