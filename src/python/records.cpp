#include "python/records.hpp"

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace refsieve::py {
namespace {

enum Field { kIndex, kTitle, kAuthor, kYear, kDoi, kJournal, kVolume, kNumber, kPages, kPublisher, kFieldCount };

constexpr std::array<const char*, kFieldCount> kFieldNames = {
    "index", "title", "author", "year", "doi", "journal", "volume", "number", "pages", "publisher",
};

// The record keys, interned on first use and kept for the process.
const std::array<PyObject*, kFieldCount>& record_keys() {
    static std::array<PyObject*, kFieldCount> keys{};
    static bool ready = false;
    if (!ready) {
        for (std::size_t i = 0; i < kFieldCount; ++i) {
            keys[i] = PyUnicode_InternFromString(kFieldNames[i]);
            if (keys[i] == nullptr) api_call_failed();
        }
        ready = true;
    }
    return keys;
}

// "failed to extract field BibItemData.{field}", caused by the field's error.
PyErr failed_to_extract_struct_field(PyErr cause, Field field) {
    PyErr error =
        PyErr::new_err(PyExc_TypeError, std::string("failed to extract field BibItemData.") + kFieldNames[field]);
    PyObject* value = error.value();
    PyObject* cause_value = cause.value();
    PyException_SetCause(value, Py_NewRef(cause_value));
    return error;
}

Result<std::uint64_t> extract_u64(PyObject* value) {
    PyRef index_owner;
    if (!PyLong_Check(value)) {
        index_owner = PyRef::steal(PyNumber_Index(value));
        if (!index_owner) return PyErr::take();
        value = index_owner.get();
    }
    const unsigned long long n = PyLong_AsUnsignedLongLong(value);
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return PyErr::take();
    return static_cast<std::uint64_t>(n);
}

Result<std::string> extract_text(PyObject* value) {
    if (!PyUnicode_Check(value)) return PyErr::downcast(value, "PyString");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) return PyErr::take();
    return std::string(utf8, static_cast<std::size_t>(size));
}

Result<std::optional<std::string>> extract_optional_text(PyObject* value) {
    if (value == Py_None) return std::optional<std::string>();
    Result<std::string> text = extract_text(value);
    if (!text.ok()) return std::move(text).error();
    return std::optional<std::string>(std::move(text).value());
}

Result<std::optional<std::int32_t>> extract_year(PyObject* value) {
    if (value == Py_None) return std::optional<std::int32_t>();
    const long year = PyLong_AsLong(value);
    if (year == -1 && PyErr_Occurred()) return PyErr::take();
    if (year < std::numeric_limits<std::int32_t>::min() || year > std::numeric_limits<std::int32_t>::max()) {
        return PyErr::new_err(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return std::optional<std::int32_t>(static_cast<std::int32_t>(year));
}

// Fetches one field's value and converts it with `convert` into `out`.
template <class T, class Convert>
Status extract_struct_field(PyObject* object, Field field, T& out, Convert convert) {
    PyRef value = PyRef::steal(PyObject_GetItem(object, record_keys()[field]));
    if (!value) return PyErr::take();
    Result<T> converted = convert(value.get());
    if (!converted.ok()) return failed_to_extract_struct_field(std::move(converted).error(), field);
    out = std::move(converted).value();
    return success();
}

// Rust's Vec refuses a capacity whose byte size exceeds isize::MAX; a
// reported length that large cannot be reserved, or even computed.
constexpr std::size_t kMaxRecords = static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(BibItemData);
// Only lists and tuples report a length that is sure to be true; other
// sequences get at most this much room up front and grow as items arrive.
constexpr std::size_t kUntrustedReserve = 1024;

void reserve_for_reported_length(PyObject* object, std::vector<BibItemData>& records) {
    const Py_ssize_t reported = PySequence_Size(object);
    if (reported < 0) {
        PyErr_Clear();
        return;
    }
    const auto length = static_cast<std::size_t>(reported);
    if (length > kMaxRecords) panic("capacity overflow");
    const bool trusted = PyList_CheckExact(object) || PyTuple_CheckExact(object);
    records.reserve(trusted ? length : std::min(length, kUntrustedReserve));
}

}  // namespace

Result<BibItemData> extract_bound(PyObject* object) {
    BibItemData record;
    Status status = extract_struct_field(object, kIndex, record.index, extract_u64);
    if (status.ok()) status = extract_struct_field(object, kTitle, record.title, extract_text);
    if (status.ok()) status = extract_struct_field(object, kAuthor, record.author, extract_text);
    if (status.ok()) status = extract_struct_field(object, kYear, record.year, extract_year);
    if (status.ok()) status = extract_struct_field(object, kDoi, record.doi, extract_optional_text);
    if (status.ok()) status = extract_struct_field(object, kJournal, record.journal, extract_optional_text);
    if (status.ok()) status = extract_struct_field(object, kVolume, record.volume, extract_optional_text);
    if (status.ok()) status = extract_struct_field(object, kNumber, record.number, extract_optional_text);
    if (status.ok()) status = extract_struct_field(object, kPages, record.pages, extract_optional_text);
    if (status.ok()) status = extract_struct_field(object, kPublisher, record.publisher, extract_optional_text);
    if (!status.ok()) return std::move(status).error();
    return record;
}

Result<std::vector<BibItemData>> extract_sequence(PyObject* object) {
    if (!PySequence_Check(object)) return PyErr::downcast(object, "Sequence");
    std::vector<BibItemData> records;
    reserve_for_reported_length(object, records);
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) return PyErr::take();
    for (;;) {
        PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred()) return PyErr::take();
            break;
        }
        Result<BibItemData> record = extract_bound(item.get());
        if (!record.ok()) return std::move(record).error();
        records.push_back(std::move(record).value());
    }
    return records;
}

Result<std::vector<BibItemData>> extract_argument(PyObject* object, const char* name) {
    if (PyUnicode_Check(object)) {
        return argument_extraction_error(name, PyErr::new_err(PyExc_TypeError, "Can't extract `str` to `Vec`"));
    }
    Result<std::vector<BibItemData>> records = extract_sequence(object);
    if (!records.ok()) return argument_extraction_error(name, std::move(records).error());
    return records;
}

namespace {

// The interpreter cannot make a result object: an internal failure.
PyRef checked(PyObject* created) {
    if (created == nullptr) api_call_failed();
    return PyRef::steal(created);
}

Status insert(PyObject* dict, const char* key, PyRef value) {
    PyRef key_object = checked(PyUnicode_FromString(key));
    if (PyDict_SetItem(dict, key_object.get(), value.get()) < 0) return PyErr::take();
    return success();
}

}  // namespace

Result<PyRef> into_pyobject(MatchResult&& result) {
    PyRef dict = checked(PyDict_New());
    const std::pair<const char*, double> scores[] = {
        {"total_score", result.total_score}, {"title_score", result.title_score}, {"author_score", result.author_score},
        {"date_score", result.date_score},   {"bonus_score", result.bonus_score},
    };
    Status status = insert(dict.get(), "candidate_index", checked(PyLong_FromUnsignedLongLong(result.candidate_index)));
    for (const auto& [key, score] : scores) {
        if (!status.ok()) break;
        status = insert(dict.get(), key, checked(PyFloat_FromDouble(score)));
    }
    if (!status.ok()) return std::move(status).error();
    return dict;
}

Result<PyRef> owned_sequence_into_pyobject(std::vector<MatchResult>&& results) {
    std::vector<MatchResult> owned = std::move(results);
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(owned.size())));
    for (std::size_t i = 0; i < owned.size(); ++i) {
        Result<PyRef> item = into_pyobject(std::move(owned[i]));
        if (!item.ok()) return std::move(item).error();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), std::move(item).value().release());
    }
    return list;
}

Result<PyRef> into_pyobject(batch::SubjectMatchResult&& result) {
    batch::SubjectMatchResult owned = std::move(result);
    PyRef dict = checked(PyDict_New());
    Status status = insert(dict.get(), "subject_index", checked(PyLong_FromUnsignedLongLong(owned.subject_index)));
    if (status.ok()) {
        Result<PyRef> matches = owned_sequence_into_pyobject(std::move(owned.matches));
        if (!matches.ok()) return std::move(matches).error();
        status = insert(dict.get(), "matches", std::move(matches).value());
    }
    if (status.ok()) {
        status =
            insert(dict.get(), "candidates_searched", checked(PyLong_FromUnsignedLongLong(owned.candidates_searched)));
    }
    if (!status.ok()) return std::move(status).error();
    return dict;
}

}  // namespace refsieve::py
