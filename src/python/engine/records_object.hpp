// The Records type of the command's engine module: a record store that
// Python code fills column by column and reads back by position.
#pragma once

#include <memory>

#include "engine/record_store.hpp"
#include "python/py_ref.hpp"
#include "python/result.hpp"

namespace refsieve::py::engine_module {

struct RecordsObject {
    PyObject_HEAD refsieve::engine::RecordStore* store;
};

// The type, made ready on first use (borrowed).
PyTypeObject* records_type();

// The store of a Records object, or a TypeError naming the argument.
Result<const refsieve::engine::RecordStore*> store_of(PyObject* object, const char* name);

// A catalogue and what its records are paired with: the records of
// `records`, and those of `candidates`, or the same records when candidates
// is None.
struct Sides {
    const refsieve::engine::RecordStore* records;
    const refsieve::engine::RecordStore* candidates;
};
Result<Sides> sides_of(PyObject* records, PyObject* candidates);

// A new Records object that takes over store.
Result<PyRef> wrap_store(refsieve::engine::RecordStore&& store);

// _restore_records(bytes): a Records object from what __reduce__ gave.
PyObject* restore_records(PyObject* module, PyObject* bytes);

}  // namespace refsieve::py::engine_module
