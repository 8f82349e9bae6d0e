#include "python/convert_in.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "batch/failure.hpp"
#include "python/arguments.hpp"
#include "python/calls.hpp"

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
        for (std::size_t i = 0; i < kFieldCount; ++i)
            keys[i] = created(PyUnicode_InternFromString(kFieldNames[i])).release();
        ready = true;
    }
    return keys;
}

// "failed to extract field BibItemData.{field}", caused by the field's error:
// BibItemData is the name Python callers see for a converted record.
PyErr failed_to_extract_struct_field(PyErr cause, Field field) {
    PyErr error =
        PyErr::new_err(PyExc_TypeError, std::string("failed to extract field BibItemData.") + kFieldNames[field]);
    PyObject* value = error.value();
    PyObject* cause_value = cause.value();
    PyException_SetCause(value, Py_NewRef(cause_value));
    return error;
}

// A text borrowed from its str object, which owners keeps alive.
struct TextReader {
    std::vector<PyRef>& owners;

    Result<std::string_view> text(PyObject* value) const {
        Result<std::string_view> text = borrow_text(value);
        if (text.ok()) owners.push_back(PyRef::borrow(value));
        return text;
    }
    Result<std::optional<std::string_view>> optional_text(PyObject* value) const {
        if (value == Py_None) return std::optional<std::string_view>();
        Result<std::string_view> borrowed = text(value);
        if (!borrowed.ok()) return std::move(borrowed).error();
        return std::optional<std::string_view>(borrowed.value());
    }
};

Result<std::optional<std::int32_t>> extract_year(PyObject* value) {
    if (value == Py_None) return std::optional<std::int32_t>();
    Result<long> year = or_pending_error(PyLong_AsLong(value), -1L);
    if (!year.ok()) return std::move(year).error();
    if (year.value() < std::numeric_limits<std::int32_t>::min() ||
        year.value() > std::numeric_limits<std::int32_t>::max()) {
        return PyErr::new_err(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return std::optional<std::int32_t>(static_cast<std::int32_t>(year.value()));
}

// Fetches one field's value and converts it with `convert` into `out`.
template <class T, class Convert>
Status extract_struct_field(PyObject* object, Field field, T& out, Convert convert) {
    Result<PyRef> value = or_pending_error(PyObject_GetItem(object, record_keys()[field]));
    if (!value.ok()) return std::move(value).error();
    Result<T> converted = convert(value.value().get());
    if (!converted.ok()) return failed_to_extract_struct_field(std::move(converted).error(), field);
    out = std::move(converted).value();
    return success();
}

// Room for records is never reserved beyond PY_SSIZE_T_MAX bytes, the
// largest size of any object on this platform. A sequence that reports more
// records than fit in it is not believed: no room can be reserved for them,
// and the call fails as "capacity overflow".
// (The limit is counted in owned records (Record), as records were once
// copied: a little larger than the borrowed ones, so that the length
// refused stays the same.)
constexpr std::size_t kMaxRecords = static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(Record);
// Only lists and tuples report a length that is sure to be true; other
// sequences get at most this much room up front and grow as items arrive.
constexpr std::size_t kUntrustedReserve = 1024;

void reserve_for_reported_length(PyObject* object, std::vector<RecordView>& records) {
    const Py_ssize_t reported = PySequence_Size(object);
    if (reported < 0) {
        PyErr_Clear();
        return;
    }
    const auto length = static_cast<std::size_t>(reported);
    if (length > kMaxRecords) fail("capacity overflow");
    const bool trusted = PyList_CheckExact(object) || PyTuple_CheckExact(object);
    records.reserve(trusted ? length : std::min(length, kUntrustedReserve));
}

}  // namespace

Result<std::uint64_t> extract_u64(PyObject* value) {
    PyRef index_owner;
    if (!PyLong_Check(value)) {
        Result<PyRef> index = or_pending_error(PyNumber_Index(value));
        if (!index.ok()) return std::move(index).error();
        index_owner = std::move(index).value();
        value = index_owner.get();
    }
    Result<unsigned long long> n =
        or_pending_error(PyLong_AsUnsignedLongLong(value), static_cast<unsigned long long>(-1));
    if (!n.ok()) return std::move(n).error();
    return static_cast<std::uint64_t>(n.value());
}

Result<double> extract_f64(PyObject* value) {
    if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
    return or_pending_error(PyFloat_AsDouble(value), -1.0);
}

Result<std::string_view> borrow_text(PyObject* value) {
    if (!PyUnicode_Check(value)) return PyErr::downcast(value, "PyString");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) return PyErr::take();
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

Result<RecordView> extract_bound(PyObject* object, std::vector<PyRef>& owners) {
    const TextReader reader{owners};
    const auto text = [&](PyObject* value) { return reader.text(value); };
    const auto optional_text = [&](PyObject* value) { return reader.optional_text(value); };
    RecordView record;
    Status status = extract_struct_field(object, kIndex, record.index, extract_u64);
    if (status.ok()) status = extract_struct_field(object, kTitle, record.title, text);
    if (status.ok()) status = extract_struct_field(object, kAuthor, record.author, text);
    if (status.ok()) status = extract_struct_field(object, kYear, record.year, extract_year);
    if (status.ok()) status = extract_struct_field(object, kDoi, record.doi, optional_text);
    if (status.ok()) status = extract_struct_field(object, kJournal, record.journal, optional_text);
    if (status.ok()) status = extract_struct_field(object, kVolume, record.volume, optional_text);
    if (status.ok()) status = extract_struct_field(object, kNumber, record.number, optional_text);
    if (status.ok()) status = extract_struct_field(object, kPages, record.pages, optional_text);
    if (status.ok()) status = extract_struct_field(object, kPublisher, record.publisher, optional_text);
    if (!status.ok()) return std::move(status).error();
    return record;
}

Result<BorrowedRecords> extract_sequence(PyObject* object) {
    if (!PySequence_Check(object)) return PyErr::downcast(object, "Sequence");
    BorrowedRecords borrowed;
    reserve_for_reported_length(object, borrowed.records);
    // A title, an author and one more text per record, as most catalogues have.
    borrowed.texts.reserve(3 * borrowed.records.capacity());
    Result<PyRef> iterator = or_pending_error(PyObject_GetIter(object));
    if (!iterator.ok()) return std::move(iterator).error();
    for (;;) {
        PyRef item = PyRef::steal(PyIter_Next(iterator.value().get()));
        if (!item) {
            if (PyErr_Occurred()) return PyErr::take();
            break;  // exhausted
        }
        Result<RecordView> record = extract_bound(item.get(), borrowed.texts);
        if (!record.ok()) return std::move(record).error();
        borrowed.records.push_back(record.value());
    }
    return borrowed;
}

Result<BorrowedRecords> extract_argument(PyObject* object, const char* name) {
    if (PyUnicode_Check(object)) {
        return argument_extraction_error(name, PyErr::new_err(PyExc_TypeError, "Can't extract `str` to `Vec`"));
    }
    return for_argument(name, extract_sequence(object));
}

}  // namespace refsieve::py
