// The entries of token_sort_ratio and score_batch.
#include "python/functions.hpp"

#include <array>
#include <string_view>

#include "batch/score_batch.hpp"
#include "core/token_sort.hpp"
#include "python/arguments.hpp"
#include "python/calls.hpp"
#include "python/convert_in.hpp"
#include "python/convert_out.hpp"
#include "python/guard.hpp"
#include "python/worker_pool.hpp"

namespace refsieve::py {
namespace {

constexpr std::array<const char*, 2> kTokenSortRatioParameters = {"s1", "s2"};
constexpr FunctionDescription kTokenSortRatio = {"token_sort_ratio", kTokenSortRatioParameters, 2};

constexpr std::array<const char*, 4> kScoreBatchParameters = {"subjects", "candidates", "top_n", "min_score"};
constexpr FunctionDescription kScoreBatch = {"score_batch", kScoreBatchParameters, 4};

Result<PyRef> token_sort_ratio_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> slots{};
    if (auto error = extract_arguments_fastcall(kTokenSortRatio, args, nargs, kwnames, slots.data())) {
        return std::move(*error);
    }
    Result<std::string_view> s1 = for_argument("s1", borrow_text(slots[0]));
    if (!s1.ok()) return std::move(s1).error();
    Result<std::string_view> s2 = for_argument("s2", borrow_text(slots[1]));
    if (!s2.ok()) return std::move(s2).error();
    return created(PyFloat_FromDouble(token_sort_ratio_f64(s1.value(), s2.value())));
}

Result<PyRef> score_batch_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 4> slots{};
    if (auto error = extract_arguments_fastcall(kScoreBatch, args, nargs, kwnames, slots.data())) {
        return std::move(*error);
    }
    Result<BorrowedRecords> subjects = extract_argument(slots[0], "subjects");
    if (!subjects.ok()) return std::move(subjects).error();
    Result<BorrowedRecords> candidates = extract_argument(slots[1], "candidates");
    if (!candidates.ok()) return std::move(candidates).error();
    Result<std::uint64_t> top_n = for_argument("top_n", extract_u64(slots[2]));
    if (!top_n.ok()) return std::move(top_n).error();
    Result<double> min_score = for_argument("min_score", extract_f64(slots[3]));
    if (!min_score.ok()) return std::move(min_score).error();

    std::vector<batch::SubjectMatchResult> results = batch::score_all(
        worker_pool(), subjects.value().records, candidates.value().records, top_n.value(), min_score.value());
    // The records are not needed any more: candidates first, then subjects.
    candidates.value() = BorrowedRecords();
    subjects.value() = BorrowedRecords();
    return owned_sequence_into_pyobject(std::move(results));
}

}  // namespace

extern "C" PyObject* token_sort_ratio_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return trampoline([&] { return token_sort_ratio_body(args, nargs, kwnames); });
}

extern "C" PyObject* score_batch_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return trampoline([&] { return score_batch_body(args, nargs, kwnames); });
}

}  // namespace refsieve::py
