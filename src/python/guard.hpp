// The entry guard: every call from the interpreter runs through it, so that
// an internal failure becomes a PanicException instead of a crash.
#pragma once

#include <new>
#include <utility>

#include "batch/failure.hpp"
#include "python/result.hpp"

namespace refsieve::py {

namespace detail {
// Raises a caught internal failure as PanicException.
void raise_panic(const InternalFailure& failure);
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
        } catch (const InternalFailure& failure) {
            detail::raise_panic(failure);
            return nullptr;
        } catch (const std::bad_alloc&) {
            abort_out_of_memory();
        } catch (...) {
            detail::raise_panic(failure_from_current_exception("an unexpected C++ exception"));
            return nullptr;
        }
    } catch (...) {
        // A failure while raising a failure: nothing sound is left to do.
        abort_with_report("uncaught panic at ffi boundary");
    }
}

}  // namespace refsieve::py
