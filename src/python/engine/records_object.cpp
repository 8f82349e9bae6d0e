#include "python/engine/records_object.hpp"

#include <array>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "python/calls.hpp"
#include "python/convert_in.hpp"
#include "python/engine/positions.hpp"
#include "python/guard.hpp"

namespace refsieve::py::engine_module {
namespace {

using refsieve::engine::OptionalText;
using refsieve::engine::RecordStore;

constexpr std::array<const char*, RecordStore::kScoredTexts> kScoredTextNames = {
    "title", "author", "doi", "journal", "volume", "number", "pages", "publisher"};

RecordStore& store(PyObject* self) { return *reinterpret_cast<RecordsObject*>(self)->store; }

PyErr column_error(PyObject* type, const std::string& column, const std::string& message) {
    return PyErr::new_err(type, "column '" + column + "': " + message);
}

// One column of the mapping given to append, as a sequence of n items.
Result<PyRef> column_items(PyObject* columns, const std::string& name, std::optional<Py_ssize_t>& n) {
    PyObject* column = PyMapping_Check(columns) ? PyMapping_GetItemString(columns, name.c_str()) : nullptr;
    if (column == nullptr) {
        PyErr_Clear();
        return column_error(PyExc_KeyError, name, "missing");
    }
    PyRef owned = PyRef::steal(column);
    Result<PyRef> items = or_pending_error(PySequence_Fast(owned.get(), "expected a sequence"));
    if (!items.ok()) return items;
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(items.value().get());
    if (n && *n != size) return column_error(PyExc_ValueError, name, "its length differs from the other columns'");
    n = size;
    return items;
}

Result<std::optional<std::int32_t>> year_value(PyObject* value) {
    if (value == Py_None) return std::optional<std::int32_t>();
    if (!PyLong_Check(value)) return PyErr::new_err(PyExc_TypeError, "expected an int or None");
    const long year = PyLong_AsLong(value);
    if ((year == -1 && PyErr_Occurred()) || year < std::numeric_limits<std::int32_t>::min() ||
        year > std::numeric_limits<std::int32_t>::max()) {
        PyErr_Clear();
        return PyErr::new_err(PyExc_OverflowError, "a year from -2**31 to 2**31 - 1 was expected");
    }
    return std::optional<std::int32_t>(static_cast<std::int32_t>(year));
}

Result<OptionalText> text_value(PyObject* value) {
    if (value == Py_None) return OptionalText();
    Result<std::string_view> text = borrow_text(value);
    if (!text.ok()) return std::move(text).error();
    return OptionalText(text.value());
}

PyObject* append(PyObject* self, PyObject* columns) {
    return trampoline([&]() -> Result<PyRef> {
        RecordStore& records = store(self);
        std::optional<Py_ssize_t> n;
        Result<PyRef> indexes = column_items(columns, "index", n);
        if (!indexes.ok()) return indexes;
        Result<PyRef> years = column_items(columns, "year", n);
        if (!years.ok()) return years;
        std::vector<std::string> names(kScoredTextNames.begin(), kScoredTextNames.end());
        names.insert(names.end(), records.extra_names().begin(), records.extra_names().end());
        std::vector<PyRef> texts;
        for (const std::string& name : names) {
            Result<PyRef> items = column_items(columns, name, n);
            if (!items.ok()) return items;
            texts.push_back(std::move(items).value());
        }
        // Every row is read before any is appended, so that a bad value leaves the store as it was.
        struct Row {
            std::uint64_t index;
            std::optional<std::int32_t> year;
        };
        std::vector<Row> rows;
        std::vector<OptionalText> row_texts;
        rows.reserve(static_cast<std::size_t>(n.value_or(0)));
        row_texts.reserve(rows.capacity() * names.size());
        for (Py_ssize_t i = 0; i < n.value_or(0); ++i) {
            Result<std::uint64_t> index = extract_u64(PySequence_Fast_GET_ITEM(indexes.value().get(), i));
            if (!index.ok()) return column_error(PyExc_ValueError, "index", "expected an int from 0 to 2**64 - 1");
            Result<std::optional<std::int32_t>> year = year_value(PySequence_Fast_GET_ITEM(years.value().get(), i));
            if (!year.ok())
                return year.error().type() == PyExc_TypeError
                           ? column_error(PyExc_TypeError, "year", "expected an int or None")
                           : column_error(PyExc_OverflowError, "year", "out of range");
            for (std::size_t c = 0; c < names.size(); ++c) {
                Result<OptionalText> text = text_value(PySequence_Fast_GET_ITEM(texts[c].get(), i));
                if (!text.ok()) return column_error(PyExc_TypeError, names[c], "expected a str or None");
                row_texts.push_back(text.value());
            }
            rows.push_back(Row{index.value(), year.value()});
        }
        for (std::size_t i = 0; i < rows.size(); ++i) {
            records.append(rows[i].index, rows[i].year,
                           std::span<const OptionalText>(row_texts).subspan(i * names.size(), names.size()));
        }
        return PyRef::borrow(Py_None);
    });
}

Py_ssize_t length(PyObject* self) { return static_cast<Py_ssize_t>(store(self).size()); }

// The positions an accessor was given (all records for None).
Result<std::vector<std::size_t>> chosen(PyObject* self, PyObject* positions) {
    return positions_of(positions, store(self).size(), "positions");
}

Result<PyRef> list_of(std::size_t n) { return created(PyList_New(static_cast<Py_ssize_t>(n))); }

PyObject* indexes(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return trampoline([&]() -> Result<PyRef> {
        Result<std::vector<std::size_t>> at = chosen(self, nargs > 0 ? args[0] : Py_None);
        if (!at.ok()) return std::move(at).error();
        Result<PyRef> list = list_of(at.value().size());
        for (std::size_t i = 0; i < at.value().size(); ++i) {
            PyList_SET_ITEM(list.value().get(), static_cast<Py_ssize_t>(i),
                            created(PyLong_FromUnsignedLongLong(store(self).index(at.value()[i]))).release());
        }
        return list;
    });
}

PyObject* years(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return trampoline([&]() -> Result<PyRef> {
        Result<std::vector<std::size_t>> at = chosen(self, nargs > 0 ? args[0] : Py_None);
        if (!at.ok()) return std::move(at).error();
        Result<PyRef> list = list_of(at.value().size());
        for (std::size_t i = 0; i < at.value().size(); ++i) {
            const std::optional<std::int32_t> year = store(self).year(at.value()[i]);
            PyObject* item = year ? created(PyLong_FromLong(*year)).release() : Py_NewRef(Py_None);
            PyList_SET_ITEM(list.value().get(), static_cast<Py_ssize_t>(i), item);
        }
        return list;
    });
}

Result<std::size_t> column_named(PyObject* self, PyObject* name) {
    Result<std::string_view> text = borrow_text(name);
    if (!text.ok()) return std::move(text).error();
    const std::optional<std::size_t> column = store(self).text_column(text.value());
    if (!column) return PyErr::new_err(PyExc_KeyError, "no text column '" + std::string(text.value()) + "'");
    return *column;
}

PyObject* texts(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return trampoline([&]() -> Result<PyRef> {
        if (nargs < 1 || nargs > 2) return PyErr::new_err(PyExc_TypeError, "texts(name, positions=None)");
        Result<std::size_t> column = column_named(self, args[0]);
        if (!column.ok()) return std::move(column).error();
        Result<std::vector<std::size_t>> at = chosen(self, nargs > 1 ? args[1] : Py_None);
        if (!at.ok()) return std::move(at).error();
        Result<PyRef> list = list_of(at.value().size());
        for (std::size_t i = 0; i < at.value().size(); ++i) {
            const OptionalText text = store(self).text(at.value()[i], column.value());
            PyObject* item =
                text ? created(PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), "replace"))
                           .release()
                     : Py_NewRef(Py_None);
            PyList_SET_ITEM(list.value().get(), static_cast<Py_ssize_t>(i), item);
        }
        return list;
    });
}

PyObject* present(PyObject* self, PyObject* name) {
    return trampoline([&]() -> Result<PyRef> {
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "year") == 0) {
            return created(PyLong_FromSize_t(store(self).count_years()));
        }
        Result<std::size_t> column = column_named(self, name);
        if (!column.ok()) return std::move(column).error();
        return created(PyLong_FromSize_t(store(self).count_present(column.value())));
    });
}

PyObject* subset(PyObject* self, PyObject* positions) {
    return trampoline([&]() -> Result<PyRef> {
        Result<std::vector<std::size_t>> at = chosen(self, positions);
        if (!at.ok()) return std::move(at).error();
        return wrap_store(store(self).subset(at.value()));
    });
}

PyObject* memory_bytes(PyObject* self, PyObject*) {
    return trampoline([&]() -> Result<PyRef> { return created(PyLong_FromSize_t(store(self).memory_bytes())); });
}

PyObject* reduce(PyObject* self, PyObject*) {
    return trampoline([&]() -> Result<PyRef> {
        const std::string bytes = store(self).serialize();
        PyRef state = created(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
        PyRef module = created(PyImport_ImportModule("refsieve_cli._engine"));
        Result<PyRef> restore = or_pending_error(PyObject_GetAttrString(module.get(), "_restore_records"));
        if (!restore.ok()) return restore;
        return created(Py_BuildValue("(O(O))", restore.value().get(), state.get()));
    });
}

int init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"extra", nullptr};
    PyObject* extra = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:Records", const_cast<char**>(keywords), &extra)) return -1;
    std::vector<std::string> names;
    if (extra != nullptr) {
        PyRef items = PyRef::steal(PySequence_Fast(extra, "extra: expected a sequence of column names"));
        if (!items) return -1;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
            PyObject* name = PySequence_Fast_GET_ITEM(items.get(), i);
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
            if (utf8 == nullptr) {
                if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "extra: expected a sequence of str");
                return -1;
            }
            names.emplace_back(utf8, static_cast<std::size_t>(size));
        }
    }
    RecordsObject* object = reinterpret_cast<RecordsObject*>(self);
    delete object->store;
    object->store = new RecordStore(std::move(names));
    return 0;
}

PyObject* make(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<RecordsObject*>(self)->store = new RecordStore();
    return self;
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<RecordsObject*>(self)->store;
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyMethodDef methods[] = {
    {"append", append, METH_O,
     "append(columns)\n--\n\nAppends records given as columns: a mapping of each field name (index, title, author, "
     "year, doi, journal, volume, number, pages, publisher and the extra columns) to a sequence of values."},
    {"indexes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(indexes)), METH_FASTCALL,
     "indexes(positions=None)\n--\n\nThe records' index fields, at these positions or all."},
    {"years", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(years)), METH_FASTCALL,
     "years(positions=None)\n--\n\nThe records' years (None when absent)."},
    {"texts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(texts)), METH_FASTCALL,
     "texts(name, positions=None)\n--\n\nThe records' values of one text column (None when absent)."},
    {"present", present, METH_O,
     "present(name)\n--\n\nHow many records have this text, not empty (or a year, for 'year')."},
    {"subset", subset, METH_O, "subset(positions)\n--\n\nA new Records object of the records at these positions."},
    {"memory_bytes", memory_bytes, METH_NOARGS, "memory_bytes()\n--\n\nThe bytes the records take, roughly."},
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kDoc =
    "Records(extra=())\n--\n\nRecords held in native memory, column by column: the ten fields that are scored and "
    "the extra text columns named.";

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_methods, methods},
    {Py_tp_init, reinterpret_cast<void*>(init)},
    {Py_tp_new, reinterpret_cast<void*>(make)},
    {Py_sq_length, reinterpret_cast<void*>(length)},
    {0, nullptr},
};

PyType_Spec records_type_spec = {"refsieve_cli._engine.Records", sizeof(RecordsObject), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyTypeObject* records_type() {
    static PyObject* type = created(PyType_FromSpec(&records_type_spec), "cannot make the Records type").release();
    return reinterpret_cast<PyTypeObject*>(type);
}

Result<const RecordStore*> store_of(PyObject* object, const char* name) {
    if (!PyObject_TypeCheck(object, records_type())) {
        return PyErr::new_err(PyExc_TypeError, std::string(name) + ": expected Records");
    }
    return static_cast<const RecordStore*>(reinterpret_cast<RecordsObject*>(object)->store);
}

Result<Sides> sides_of(PyObject* records, PyObject* candidates) {
    Result<const RecordStore*> own = store_of(records, "records");
    if (!own.ok()) return std::move(own).error();
    if (candidates == Py_None) return Sides{own.value(), own.value()};
    Result<const RecordStore*> other = store_of(candidates, "candidates");
    if (!other.ok()) return std::move(other).error();
    return Sides{own.value(), other.value()};
}

Result<PyRef> wrap_store(RecordStore&& store) {
    PyTypeObject* type = records_type();
    PyRef object = created(type->tp_alloc(type, 0));
    reinterpret_cast<RecordsObject*>(object.get())->store = new RecordStore(std::move(store));
    return object;
}

PyObject* restore_records(PyObject*, PyObject* bytes) {
    return trampoline([&]() -> Result<PyRef> {
        if (!PyBytes_Check(bytes)) return PyErr::new_err(PyExc_TypeError, "expected bytes");
        std::optional<RecordStore> store = RecordStore::deserialize(
            std::string_view(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))));
        if (!store) return PyErr::new_err(PyExc_ValueError, "not a serialised Records object");
        return wrap_store(std::move(*store));
    });
}

}  // namespace refsieve::py::engine_module
