// _engine.read_authors: plain ASCII author lists read without the
// interpreter (engine/authors.hpp), for the command's record loader.
#pragma once

#include "python/py_ref.hpp"

namespace refsieve::py::engine_module {

// read_authors(text): (canonical text, family words or None) of an author
// list, or None for a text that only the Python reader reads.
PyObject* read_authors(PyObject* module, PyObject* text);

}  // namespace refsieve::py::engine_module
