// The engine module's same-work functions: group, decide_pairs, decision_names.
#pragma once

#include "python/py_ref.hpp"

namespace refsieve::py::engine_module {

// Their method table, ended by an empty entry.
PyMethodDef* works_functions();

}  // namespace refsieve::py::engine_module
