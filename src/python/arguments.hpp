// Parsing of fastcall arguments against a function's parameter list.
#pragma once

#include <optional>
#include <span>

#include "python/errors.hpp"

namespace refsieve::py {

// A function's name, its parameter names in order, and how many of the
// first parameters are required.
struct FunctionDescription {
    const char* func_name;
    std::span<const char* const> parameters;
    std::size_t required;
};

// Fills slots[i] (one per parameter) with a borrowed reference to the value
// passed for parameter i, or leaves it null. Returns the first argument
// error, a TypeError worded like the interpreter's own.
std::optional<PyErr> extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args,
                                                Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

}  // namespace refsieve::py
