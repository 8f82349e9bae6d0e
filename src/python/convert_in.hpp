// Conversion of Python values into native ones: numbers, borrowed texts,
// and record mappings into records.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/record.hpp"
#include "python/py_ref.hpp"
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

// Records whose texts are borrowed from the str objects they were read
// from: texts holds a reference to each of those, so that the texts stay
// alive and unchanged for as long as the records are used. Nothing is
// copied, which keeps a large catalogue small; the records hold no Python
// object, so other threads may read them without the interpreter.
struct BorrowedRecords {
    std::vector<RecordView> records;
    std::vector<PyRef> texts;
};

// One record from any object whose item access takes the ten string keys;
// the str objects its texts come from are added to owners.
Result<RecordView> extract_bound(PyObject* object, std::vector<PyRef>& owners);

// A sequence of records, in iteration order.
Result<BorrowedRecords> extract_sequence(PyObject* object);

// A vector argument: refuses str, then extract_sequence; a failure is
// attributed to the parameter `name`.
Result<BorrowedRecords> extract_argument(PyObject* object, const char* name);

}  // namespace refsieve::py
