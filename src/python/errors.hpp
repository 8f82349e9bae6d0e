// Python errors as values, internal failures, and the wording of type
// mismatches and argument errors.
#pragma once

#include <optional>
#include <source_location>
#include <string>

#include "python/py_ref.hpp"

namespace refsieve::py {

// A Python exception that has not been raised yet: either a type with a
// message still to be turned into an instance, or an exception instance.
class PyErr {
public:
    // A new exception of `type` (a borrowed exception class) with one message.
    static PyErr new_err(PyObject* type, std::string message);
    // A new exception of `type` whose message is the Python string `message`.
    static PyErr new_err(PyObject* type, PyRef message);
    // "'{type name}' object cannot be converted to '{target}'", built lazily.
    static PyErr downcast(PyObject* obj, const char* target);
    // Takes the exception pending in the interpreter, or a SystemError when
    // none is pending. A PanicException taken this way is re-raised as an
    // internal failure instead of being returned.
    static PyErr take();

    // The exception's class (borrowed).
    PyObject* type() const noexcept { return type_.get(); }
    // The exception instance, created on first use (borrowed).
    PyObject* value();
    // Raises the exception into the interpreter, consuming this value.
    void restore() &&;

private:
    PyErr() = default;
    PyRef type_;
    PyRef value_;          // the instance, once made
    std::string message_;  // lazy message text
    PyRef message_obj_;    // lazy message as a Python string
    PyRef downcast_type_;  // lazy type-mismatch: the offending type
    const char* downcast_target_ = nullptr;
};

// An unrecoverable fault in native code. It unwinds to the entry guard and
// reaches Python as PanicException.
struct Panic {
    std::optional<std::string> message;
};

// Reports an internal failure on standard error and throws it as Panic.
[[noreturn]] void panic(std::string message, std::source_location where = std::source_location::current());

// Native memory is exhausted: report it and end the process.
[[noreturn]] void fatal_allocation_failure() noexcept;

// The interpreter could not create a result object: print its error and
// fail as an internal failure with "Python API call failed".
[[noreturn]] void api_call_failed(std::source_location where = std::source_location::current());

// The PanicException class, created on first use.
PyObject* panic_exception_type();

// Attributes a conversion error to the parameter `name`: a TypeError is
// re-worded as "argument '{name}': {message}", any other error passes.
PyErr argument_extraction_error(const char* name, PyErr error);

}  // namespace refsieve::py
