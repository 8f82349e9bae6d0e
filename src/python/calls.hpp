// The two rules for a call into the interpreter, one helper each, so that
// every call site reads the same:
// - created(...): a new object the module needs and the interpreter must
//   make. If it cannot (its memory is exhausted), the interpreter prints its
//   pending error and the call ends as an internal failure.
// - or_pending_error(...): an operation on an existing object that may fail
//   (item access, iteration, conversion, insertion). A failure passes the
//   interpreter's pending error through as the call's error.
#pragma once

#include "python/result.hpp"

namespace refsieve::py {

inline constexpr const char* kApiCallFailed = "Python API call failed";

// made as an owned reference; when null, PyErr_Print and an internal
// failure with failure_message.
PyRef created(PyObject* made, const char* failure_message = kApiCallFailed, const char* file = __builtin_FILE(),
              unsigned line = __builtin_LINE());

// A new reference, or the pending error when it is null.
Result<PyRef> or_pending_error(PyRef result);
inline Result<PyRef> or_pending_error(PyObject* result) { return or_pending_error(PyRef::steal(result)); }

// Success, or the pending error when status is negative.
Status or_pending_error(int status);

// A value read from an object, or the pending error when the read returned
// failure_value with an error pending (failure_value alone is a valid value).
template <class T>
Result<T> or_pending_error(T value, T failure_value) {
    if (value == failure_value && PyErr_Occurred()) return PyErr::take();
    return value;
}

}  // namespace refsieve::py
