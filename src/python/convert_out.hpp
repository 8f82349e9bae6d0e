// Conversion of results into new Python dictionaries and lists. Each
// conversion consumes the native value.
#pragma once

#include <utility>
#include <vector>

#include "batch/subject_step.hpp"
#include "core/record.hpp"
#include "python/calls.hpp"

namespace refsieve::py {

Result<PyRef> into_pyobject(MatchResult&& result);
Result<PyRef> into_pyobject(batch::SubjectMatchResult&& result);

// A new list of the items, each converted by into_pyobject and stored at
// its position; a failure releases the list and the items not yet converted.
template <class T>
Result<PyRef> owned_sequence_into_pyobject(std::vector<T>&& items) {
    std::vector<T> owned = std::move(items);
    PyRef list = created(PyList_New(static_cast<Py_ssize_t>(owned.size())));
    for (std::size_t i = 0; i < owned.size(); ++i) {
        Result<PyRef> item = into_pyobject(std::move(owned[i]));
        if (!item.ok()) return std::move(item).error();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), std::move(item).value().release());
    }
    return list;
}

}  // namespace refsieve::py
