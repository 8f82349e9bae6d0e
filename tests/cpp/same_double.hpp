// Scores are promised bit for bit, so tests compare doubles, and results,
// by bit pattern.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <iomanip>
#include <sstream>

#include "core/record.hpp"

inline ::testing::AssertionResult SameDouble(double expected, double actual) {
    if (std::bit_cast<std::uint64_t>(expected) == std::bit_cast<std::uint64_t>(actual)) {
        return ::testing::AssertionSuccess();
    }
    std::ostringstream msg;
    msg << std::setprecision(17) << "expected " << expected << ", got " << actual;
    return ::testing::AssertionFailure() << msg.str();
}

// Two results with the same candidate and the same bits in every score.
inline ::testing::AssertionResult SameResult(const refsieve::MatchResult& expected,
                                             const refsieve::MatchResult& actual) {
    const double e[] = {expected.total_score, expected.title_score, expected.author_score, expected.date_score,
                        expected.bonus_score};
    const double a[] = {actual.total_score, actual.title_score, actual.author_score, actual.date_score,
                        actual.bonus_score};
    if (expected.candidate_index != actual.candidate_index) {
        return ::testing::AssertionFailure()
               << "candidate_index " << expected.candidate_index << " vs " << actual.candidate_index;
    }
    for (int k = 0; k < 5; ++k) {
        if (auto same = SameDouble(e[k], a[k]); !same) return same << " (score field " << k << ")";
    }
    return ::testing::AssertionSuccess();
}
