// Scores are promised bit for bit, so tests compare doubles by bit pattern.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <iomanip>
#include <sstream>

inline ::testing::AssertionResult SameDouble(double expected, double actual) {
    if (std::bit_cast<std::uint64_t>(expected) == std::bit_cast<std::uint64_t>(actual)) {
        return ::testing::AssertionSuccess();
    }
    std::ostringstream msg;
    msg << std::setprecision(17) << "expected " << expected << ", got " << actual;
    return ::testing::AssertionFailure() << msg.str();
}
