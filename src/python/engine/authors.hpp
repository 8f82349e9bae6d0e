// _engine.read_authors: author lists read without the interpreter
// (engine/authors.hpp), for the command's record loader; and the check of
// the reader's characters beyond ASCII against the interpreter's own
// (_engine.name_characters, _engine.trust_characters).
#pragma once

#include "python/py_ref.hpp"

namespace refsieve::py::engine_module {

// read_authors(text): (canonical text, family words or None, cut short) of
// an author list, or None for a text that only the Python reader reads: one
// the engine declines, or one with a character beyond ASCII that has not
// been trusted.
PyObject* read_authors(PyObject* module, PyObject* text);

// name_characters(text, *, judged=False): for each character of text beyond
// ASCII that the reader knows and that has been neither trusted nor
// distrusted (or any, with judged), what the reader makes of it, as a tuple
// of the same things the interpreter's str methods tell (see
// refsieve_cli.records.characters).
PyObject* name_characters(PyObject* module, PyObject* args, PyObject* kwargs);

// trust_characters(trusted, distrusted): characters that read_authors may
// read from now on, and characters that make it decline a text.
PyObject* trust_characters(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace refsieve::py::engine_module
