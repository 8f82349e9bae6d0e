#include "python/engine/positions.hpp"

#include <numeric>
#include <string>

#include "python/calls.hpp"

namespace refsieve::py::engine_module {

Result<std::vector<std::size_t>> positions_of(PyObject* object, std::size_t size, const char* name) {
    std::vector<std::size_t> positions;
    if (object == Py_None) {
        positions.resize(size);
        std::iota(positions.begin(), positions.end(), std::size_t{0});
        return positions;
    }
    Result<PyRef> items = or_pending_error(PySequence_Fast(object, "expected a sequence of positions"));
    if (!items.ok()) return std::move(items).error();
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.value().get());
    positions.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_ssize_t at = PyLong_AsSsize_t(PySequence_Fast_GET_ITEM(items.value().get(), i));
        if (at == -1 && PyErr_Occurred()) return PyErr::take();
        if (at < 0 || static_cast<std::size_t>(at) >= size) {
            return PyErr::new_err(PyExc_IndexError, std::string(name) + ": position " + std::to_string(at) +
                                                        " is out of range for " + std::to_string(size) + " records");
        }
        positions.push_back(static_cast<std::size_t>(at));
    }
    return positions;
}

Result<PositionPairs> position_pairs_of(PyObject* object, std::size_t first_size, std::size_t second_size,
                                        const char* name) {
    Result<PyRef> items = or_pending_error(PySequence_Fast(object, "expected two sequences of positions"));
    if (!items.ok()) return std::move(items).error();
    if (PySequence_Fast_GET_SIZE(items.value().get()) != 2) {
        return PyErr::new_err(PyExc_ValueError, std::string(name) + ": expected two sequences of positions");
    }
    PositionPairs pairs;
    Result<std::vector<std::size_t>> first =
        positions_of(PySequence_Fast_GET_ITEM(items.value().get(), 0), first_size, name);
    if (!first.ok()) return std::move(first).error();
    Result<std::vector<std::size_t>> second =
        positions_of(PySequence_Fast_GET_ITEM(items.value().get(), 1), second_size, name);
    if (!second.ok()) return std::move(second).error();
    if (first.value().size() != second.value().size()) {
        return PyErr::new_err(PyExc_ValueError, std::string(name) + ": the two sequences differ in length");
    }
    pairs.first = std::move(first).value();
    pairs.second = std::move(second).value();
    return pairs;
}

Result<PositionPairs> subject_candidate_positions(PyObject* subject_positions, PyObject* candidate_positions,
                                                  std::size_t first_size, std::size_t second_size) {
    Result<std::vector<std::size_t>> first = positions_of(subject_positions, first_size, "subject_positions");
    if (!first.ok()) return std::move(first).error();
    Result<std::vector<std::size_t>> second = positions_of(candidate_positions, second_size, "candidate_positions");
    if (!second.ok()) return std::move(second).error();
    if (first.value().size() != second.value().size()) {
        return PyErr::new_err(PyExc_ValueError, "subject_positions and candidate_positions differ in length");
    }
    return PositionPairs{std::move(first).value(), std::move(second).value()};
}

}  // namespace refsieve::py::engine_module
