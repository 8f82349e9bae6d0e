// Positions handed in from Python: sequences of record positions.
#pragma once

#include <cstddef>
#include <vector>

#include "python/py_ref.hpp"
#include "python/result.hpp"

namespace refsieve::py::engine_module {

// The positions in `object` (any sequence of ints; None: every position
// below size), each checked to be below size. `name` is the argument's
// name in error messages.
Result<std::vector<std::size_t>> positions_of(PyObject* object, std::size_t size, const char* name);

// Two sequences of positions of one length, paired: (first, second).
struct PositionPairs {
    std::vector<std::size_t> first;
    std::vector<std::size_t> second;
};
// The pairs of `object`, a sequence (firsts, seconds); firsts below
// first_size, seconds below second_size.
Result<PositionPairs> position_pairs_of(PyObject* object, std::size_t first_size, std::size_t second_size,
                                        const char* name);
// The pairs given as two arguments, subject_positions (below first_size)
// and candidate_positions (below second_size), of one length.
Result<PositionPairs> subject_candidate_positions(PyObject* subject_positions, PyObject* candidate_positions,
                                                  std::size_t first_size, std::size_t second_size);

}  // namespace refsieve::py::engine_module
