// Conversion of Python values into native ones: numbers, borrowed texts,
// and record mappings into records.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/record.hpp"
#include "python/result.hpp"

namespace refsieve::py {

// An unsigned 64-bit integer: an int read directly, anything else through
// its __index__. Negative or too large values fail with OverflowError.
Result<std::uint64_t> extract_u64(PyObject* value);

// A double: a float read directly, anything else through its __float__.
Result<double> extract_f64(PyObject* value);

// The UTF-8 text of a str (or subclass), borrowed from the string object
// for as long as it lives.
Result<std::string_view> borrow_text(PyObject* value);

// One record from any object whose item access takes the ten string keys.
Result<BibItemData> extract_bound(PyObject* object);

// A sequence of records, in iteration order.
Result<std::vector<BibItemData>> extract_sequence(PyObject* object);

// A vector argument: refuses str, then extract_sequence; a failure is
// attributed to the parameter `name`.
Result<std::vector<BibItemData>> extract_argument(PyObject* object, const char* name);

}  // namespace refsieve::py
