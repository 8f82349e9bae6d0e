#include "python/convert_out.hpp"

namespace refsieve::py {
namespace {

Status insert(PyObject* dict, const char* key, PyRef value) {
    PyRef key_object = created(PyUnicode_FromString(key));
    return or_pending_error(PyDict_SetItem(dict, key_object.get(), value.get()));
}

PyRef new_int(std::uint64_t value) { return created(PyLong_FromUnsignedLongLong(value)); }

}  // namespace

Result<PyRef> into_pyobject(MatchResult&& result) {
    PyRef dict = created(PyDict_New());
    const std::pair<const char*, double> scores[] = {
        {"total_score", result.total_score}, {"title_score", result.title_score}, {"author_score", result.author_score},
        {"date_score", result.date_score},   {"bonus_score", result.bonus_score},
    };
    Status status = insert(dict.get(), "candidate_index", new_int(result.candidate_index));
    for (const auto& [key, score] : scores) {
        if (!status.ok()) break;
        status = insert(dict.get(), key, created(PyFloat_FromDouble(score)));
    }
    if (!status.ok()) return std::move(status).error();
    return dict;
}

Result<PyRef> into_pyobject(batch::SubjectMatchResult&& result) {
    batch::SubjectMatchResult owned = std::move(result);
    PyRef dict = created(PyDict_New());
    Status status = insert(dict.get(), "subject_index", new_int(owned.subject_index));
    if (status.ok()) {
        Result<PyRef> matches = owned_sequence_into_pyobject(std::move(owned.matches));
        if (!matches.ok()) return std::move(matches).error();
        status = insert(dict.get(), "matches", std::move(matches).value());
    }
    if (status.ok()) status = insert(dict.get(), "candidates_searched", new_int(owned.candidates_searched));
    if (!status.ok()) return std::move(status).error();
    return dict;
}

}  // namespace refsieve::py
