#include "python/errors.hpp"

#include "batch/failure.hpp"
#include "core/report.hpp"
#include "python/calls.hpp"

namespace refsieve::py {
namespace {

constexpr const char* kPanicExceptionDoc =
    "Raised when refsieve's native code fails internally (it \"panics\")\n"
    "and gives up on the call.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception,\n"
    "so an `except Exception` clause lets it pass: as a rule it propagates\n"
    "through the whole stack and ends the interpreter.";

// The pending exception as one instance (new reference), clearing it.
PyObject* fetch_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Raises an exception instance, stealing the reference.
void restore_raised_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
#endif
}

PyRef type_mismatch_message(PyObject* type, const char* target) {
    PyRef qualname = PyRef::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)));
    if (!qualname) {
        PyErr_Clear();
        return PyRef::steal(
            PyUnicode_FromFormat("'<failed to extract type name>' object cannot be converted to '%s'", target));
    }
    return PyRef::steal(PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", qualname.get(), target));
}

// str() of an exception instance, or "<unprintable T object>" after the
// unraisable hook has reported why str() failed.
PyRef exception_text(PyObject* value) {
    PyRef text = PyRef::steal(PyObject_Str(value));
    if (text) return text;
    PyErr_WriteUnraisable(value);
    PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(value)));
    if (!type_name) {
        PyErr_Clear();
        return PyRef::steal(PyUnicode_FromString("<unprintable object>"));
    }
    return PyRef::steal(PyUnicode_FromFormat("<unprintable %U object>", type_name.get()));
}

}  // namespace

PyErr PyErr::new_err(PyObject* type, std::string message) {
    PyErr err;
    err.type_ = PyRef::borrow(type);
    err.message_ = std::move(message);
    return err;
}

PyErr PyErr::new_err(PyObject* type, PyRef message) {
    PyErr err;
    err.type_ = PyRef::borrow(type);
    err.message_obj_ = std::move(message);
    return err;
}

PyErr PyErr::downcast(PyObject* obj, const char* target) {
    PyErr err;
    err.type_ = PyRef::borrow(PyExc_TypeError);
    err.downcast_type_ = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    err.downcast_target_ = target;
    return err;
}

PyErr PyErr::take() {
    PyRef exc = PyRef::steal(fetch_raised_exception());
    if (!exc) return new_err(PyExc_SystemError, "attempted to fetch exception but none was set");
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.get()));
    if (type == panic_exception_type()) {
        PyRef text = exception_text(exc.get());
        Py_ssize_t size = 0;
        const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
        std::string message = utf8 ? std::string(utf8, static_cast<std::size_t>(size)) : std::string("PanicException");
        if (!utf8) PyErr_Clear();
        write_report("--- PanicException from Python code called by refsieve ---\nPython stack trace below:");
        restore_raised_exception(exc.release());
        PyErr_PrintEx(0);
        fail(std::move(message));
    }
    PyErr err;
    err.type_ = PyRef::borrow(type);
    err.value_ = std::move(exc);
    return err;
}

PyObject* PyErr::value() {
    if (value_) return value_.get();
    PyRef message = std::move(message_obj_);
    if (downcast_type_) {
        message = type_mismatch_message(downcast_type_.get(), downcast_target_);
    } else if (!message) {
        message = PyRef::steal(PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
    }
    if (message) value_ = PyRef::steal(PyObject_CallOneArg(type_.get(), message.get()));
    if (!value_) {
        // The instance could not be made; the interpreter's error replaces it.
        PyErr replacement = take();
        type_ = std::move(replacement.type_);
        value_ = std::move(replacement.value_);
    }
    return value_.get();
}

void PyErr::restore() && {
    PyObject* value = this->value();
    Py_INCREF(value);
    restore_raised_exception(value);
}

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;
    if (type != nullptr) return type;
    PyRef created = py::created(
        PyErr_NewExceptionWithDoc("refsieve_runtime.PanicException", kPanicExceptionDoc, PyExc_BaseException, nullptr),
        "Failed to initialize new exception type.");
    // Another initialisation may have got there first; its class is kept.
    if (type == nullptr) type = created.release();
    return type;
}

PyErr argument_extraction_error(const char* name, PyErr error) {
    if (error.type() != PyExc_TypeError) return error;
    PyObject* value = error.value();
    if (error.type() != PyExc_TypeError) return error;  // could not even be made
    Result<PyRef> text = or_pending_error(exception_text(value));
    if (!text.ok()) return std::move(text).error();
    Result<PyRef> message = or_pending_error(PyUnicode_FromFormat("argument '%s': %U", name, text.value().get()));
    if (!message.ok()) return std::move(message).error();
    PyErr remapped = PyErr::new_err(PyExc_TypeError, std::move(message).value());
    PyObject* new_value = remapped.value();
    PyException_SetCause(new_value, PyException_GetCause(value));
    return remapped;
}

}  // namespace refsieve::py
