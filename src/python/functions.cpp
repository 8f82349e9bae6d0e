// The entries of token_sort_ratio and score_batch.
#include "python/functions.hpp"

#include <array>
#include <string_view>

#include "batch/score_batch.hpp"
#include "core/prepared.hpp"
#include "python/arguments.hpp"
#include "python/guard.hpp"
#include "python/records.hpp"

namespace refsieve::py {
namespace {

constexpr std::array<const char*, 2> kTokenSortRatioParameters = {"s1", "s2"};
constexpr FunctionDescription kTokenSortRatio = {"token_sort_ratio", kTokenSortRatioParameters, 2};

constexpr std::array<const char*, 4> kScoreBatchParameters = {"subjects", "candidates", "top_n", "min_score"};
constexpr FunctionDescription kScoreBatch = {"score_batch", kScoreBatchParameters, 4};

// The UTF-8 text of a str argument, borrowed from the string object.
Result<std::string_view> borrow_text(PyObject* value, const char* name) {
    if (!PyUnicode_Check(value)) return argument_extraction_error(name, PyErr::downcast(value, "PyString"));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) return argument_extraction_error(name, PyErr::take());
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

Result<PyRef> token_sort_ratio_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> slots{};
    if (auto error = extract_arguments_fastcall(kTokenSortRatio, args, nargs, kwnames, slots.data())) {
        return std::move(*error);
    }
    Result<std::string_view> s1 = borrow_text(slots[0], "s1");
    if (!s1.ok()) return std::move(s1).error();
    Result<std::string_view> s2 = borrow_text(slots[1], "s2");
    if (!s2.ok()) return std::move(s2).error();
    const double ratio = fast_token_sort_ratio(s1.value(), s2.value());
    PyObject* result = PyFloat_FromDouble(ratio);
    if (result == nullptr) api_call_failed();
    return PyRef::steal(result);
}

// top_n: an int read as unsigned 64-bit, anything else through __index__.
Result<std::uint64_t> extract_top_n(PyObject* value) {
    PyRef index_owner;
    if (!PyLong_Check(value)) {
        index_owner = PyRef::steal(PyNumber_Index(value));
        if (!index_owner) return argument_extraction_error("top_n", PyErr::take());
        value = index_owner.get();
    }
    const unsigned long long n = PyLong_AsUnsignedLongLong(value);
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return argument_extraction_error("top_n", PyErr::take());
    }
    return static_cast<std::uint64_t>(n);
}

// min_score: a float read directly, anything else through __float__.
Result<double> extract_min_score(PyObject* value) {
    if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
    const double score = PyFloat_AsDouble(value);
    if (score == -1.0 && PyErr_Occurred()) return argument_extraction_error("min_score", PyErr::take());
    return score;
}

Result<PyRef> score_batch_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 4> slots{};
    if (auto error = extract_arguments_fastcall(kScoreBatch, args, nargs, kwnames, slots.data())) {
        return std::move(*error);
    }
    Result<std::vector<BibItemData>> subjects = extract_argument(slots[0], "subjects");
    if (!subjects.ok()) return std::move(subjects).error();
    Result<std::vector<BibItemData>> candidates = extract_argument(slots[1], "candidates");
    if (!candidates.ok()) return std::move(candidates).error();
    Result<std::uint64_t> top_n = extract_top_n(slots[2]);
    if (!top_n.ok()) return std::move(top_n).error();
    Result<double> min_score = extract_min_score(slots[3]);
    if (!min_score.ok()) return std::move(min_score).error();

    batch::BatchOutcome outcome =
        batch::score_all(subjects.value(), candidates.value(), top_n.value(), min_score.value());
    // The records are not needed any more: candidates first, then subjects.
    std::vector<BibItemData>().swap(candidates.value());
    std::vector<BibItemData>().swap(subjects.value());
    if (auto* failure = std::get_if<batch::BatchFailure>(&outcome)) throw Panic{std::move(failure->message)};

    auto& results = std::get<std::vector<batch::SubjectMatchResult>>(outcome);
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
    if (!list) api_call_failed();
    for (std::size_t i = 0; i < results.size(); ++i) {
        Result<PyRef> item = into_pyobject(std::move(results[i]));
        if (!item.ok()) return std::move(item).error();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), std::move(item).value().release());
    }
    return list;
}

}  // namespace

extern "C" PyObject* token_sort_ratio_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return trampoline([&] { return token_sort_ratio_body(args, nargs, kwnames); });
}

extern "C" PyObject* score_batch_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return trampoline([&] { return score_batch_body(args, nargs, kwnames); });
}

}  // namespace refsieve::py
