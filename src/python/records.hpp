// Conversion of record mappings into records, and of results into
// dictionaries.
#pragma once

#include <vector>

#include "batch/score_batch.hpp"
#include "core/record.hpp"
#include "python/result.hpp"

namespace refsieve::py {

// One record from any object whose item access takes the ten string keys.
Result<BibItemData> extract_bound(PyObject* object);

// A sequence of records, in iteration order.
Result<std::vector<BibItemData>> extract_sequence(PyObject* object);

// A vector argument: refuses str, then extract_sequence; a failure is
// attributed to the parameter `name`.
Result<std::vector<BibItemData>> extract_argument(PyObject* object, const char* name);

// New dictionaries (and list) for results; the values are consumed.
Result<PyRef> into_pyobject(MatchResult&& result);
Result<PyRef> into_pyobject(batch::SubjectMatchResult&& result);
Result<PyRef> owned_sequence_into_pyobject(std::vector<MatchResult>&& results);

}  // namespace refsieve::py
