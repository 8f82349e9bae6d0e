// Python errors as values, the PanicException class, and the wording of
// type mismatches and argument errors.
#pragma once

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
    // none is pending. A PanicException taken this way is raised again as an
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

// The PanicException class, created on first use.
PyObject* panic_exception_type();

// Attributes a conversion error to the parameter `name`: a TypeError is
// re-worded as "argument '{name}': {message}", any other error passes.
PyErr argument_extraction_error(const char* name, PyErr error);

}  // namespace refsieve::py
