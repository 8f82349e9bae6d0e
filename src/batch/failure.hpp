// Internal failures: the one shape in which the module's native code gives
// up on a call. The matching core never fails (it cannot include this);
// the batch layer, the worker pool and the Python boundary use it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/report.hpp"

namespace refsieve {

// An unrecoverable fault in the module's own code: its message, when it has
// one, and the place where it happened. It is thrown, unwinds the work in
// progress, and reaches Python as PanicException at the entry guard.
// (The place is taken with __builtin_FILE and __builtin_LINE as default
// arguments: the clang that builds the fuzzers has no std::source_location.)
struct InternalFailure {
    std::optional<std::string> message;
    const char* file = "";
    unsigned line = 0;
};

// Writes the report of an internal failure on standard error:
// "refsieve: internal failure at FILE:LINE: MESSAGE".
void report(const InternalFailure& failure) noexcept;

// Reports an internal failure with this message and throws it.
[[noreturn]] void fail(std::string message, const char* file = __builtin_FILE(), unsigned line = __builtin_LINE());

// The exception being handled, as a reported internal failure: an
// InternalFailure as it is, any other exception with its what() as the
// message, or with unnamed when it has none. Call only inside a handler.
InternalFailure failure_from_current_exception(std::optional<std::string> unnamed = std::nullopt,
                                               const char* file = __builtin_FILE(), unsigned line = __builtin_LINE());

// Writes line on standard error and ends the process: for faults that
// leave nothing sound to unwind to.
[[noreturn]] void abort_with_report(std::string_view line) noexcept;

// Native memory is exhausted: the process ends with a one-line report.
[[noreturn]] void abort_out_of_memory() noexcept;

}  // namespace refsieve
