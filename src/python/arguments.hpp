// Parsing of fastcall arguments against a function's parameter list.
#pragma once

#include <optional>
#include <span>

#include "python/errors.hpp"
#include "python/result.hpp"

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

// A converted argument, or its conversion error attributed to the
// parameter `name` by argument_extraction_error.
template <class T>
Result<T> for_argument(const char* name, Result<T> converted) {
    if (!converted.ok()) return argument_extraction_error(name, std::move(converted).error());
    return converted;
}

}  // namespace refsieve::py
