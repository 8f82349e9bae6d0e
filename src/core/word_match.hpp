// Matching the words of two titles, or two lists of family names, one to
// one: equal words first, then words of some length one edit apart, and for
// titles two neighbouring words of one side against one word of the other
// ("back propagation" and "backpropagation"). The decision reads how many
// words matched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/words.hpp"

namespace refsieve::same_work {

// At most one edit apart: one insertion, deletion, substitution, or swap of
// neighbours, counted on code points.
bool one_edit_apart(std::string_view first, std::string_view second);

// How many words of two lists match: each x is matched to the first unused
// equal y; then each x left of fuzzy_letters or more code points to the
// first unused y of as many that is one edit apart (0: no such matches).
std::size_t match_names(std::span<const std::uint32_t> xs, std::span<const std::uint32_t> ys, const Words& words,
                        std::size_t fuzzy_letters);

// Titles matched as names are, and then two neighbouring words left on one
// side matched to one word left on the other, equal or one edit apart (the
// join of x's words first, then y's); a join counts as one word on both
// sides, so it shortens its side by one.
struct TitleMatch {
    std::size_t matched = 0;
    std::size_t first_length = 0;
    std::size_t second_length = 0;
    bool operator==(const TitleMatch&) const = default;
};

TitleMatch match_titles(std::span<const std::uint32_t> xs, std::span<const std::uint32_t> ys, const Words& words,
                        std::size_t fuzzy_letters);

}  // namespace refsieve::same_work
