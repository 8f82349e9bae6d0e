// The straightforward word matching of the same-work decision: every word
// decoded and every join spelled out before it is compared. Only tests and
// benchmarks use it, as what the shipped matching (core/word_match.hpp)
// must equal.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/word_match.hpp"

namespace refsieve::reference {

bool one_edit_apart(std::string_view first, std::string_view second);

std::size_t match_names(std::span<const std::uint32_t> xs, std::span<const std::uint32_t> ys,
                        const same_work::Words& words, std::size_t fuzzy_letters);

same_work::TitleMatch match_titles(std::span<const std::uint32_t> xs, std::span<const std::uint32_t> ys,
                                   const same_work::Words& words, std::size_t fuzzy_letters);

}  // namespace refsieve::reference
