// The two functions the module exports, as the interpreter calls them.
#pragma once

#include "python/py_ref.hpp"

namespace refsieve::py {

extern "C" PyObject* token_sort_ratio_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern "C" PyObject* score_batch_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace refsieve::py
