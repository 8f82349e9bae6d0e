// The entry guard: every call from the interpreter runs through it, so that
// an internal failure becomes a PanicException instead of a crash.
#pragma once

#include <new>
#include <utility>

#include "python/result.hpp"

namespace refsieve::py {

namespace detail {
// Raises a caught internal failure as PanicException.
void raise_panic(const Panic& failure);
// Converts any other escaped C++ exception into a caught internal failure.
Panic panic_from_current_exception();
// Writes "uncaught panic at ffi boundary" and aborts the process.
[[noreturn]] void abort_uncaught_panic() noexcept;
}  // namespace detail

// Runs body (which returns Result<PyRef>) and hands its outcome to the
// interpreter: a new reference, or null with an exception set.
template <class Body>
PyObject* trampoline(Body&& body) noexcept {
    try {
        try {
            Result<PyRef> result = std::forward<Body>(body)();
            if (result.ok()) return std::move(result).value().release();
            std::move(result).error().restore();
            return nullptr;
        } catch (const Panic& failure) {
            detail::raise_panic(failure);
            return nullptr;
        } catch (const std::bad_alloc&) {
            fatal_allocation_failure();
        } catch (...) {
            detail::raise_panic(detail::panic_from_current_exception());
            return nullptr;
        }
    } catch (...) {
        // A failure while raising a failure: nothing sound is left to do.
        detail::abort_uncaught_panic();
    }
}

}  // namespace refsieve::py
