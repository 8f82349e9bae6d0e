#include "python/errors.hpp"

#include <cstdio>
#include <cstdlib>

namespace refsieve::py {
namespace {

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

void report_panic(const std::string* message, const std::source_location& where) {
    std::fprintf(stderr, "refsieve: internal failure at %s:%u: %s\n", where.file_name(),
                 static_cast<unsigned>(where.line()), message ? message->c_str() : "(no message)");
    std::fflush(stderr);
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
        std::fputs(
            "--- PanicException from Python code called by refsieve ---\n"
            "Python stack trace below:\n",
            stderr);
        restore_raised_exception(exc.release());
        PyErr_PrintEx(0);
        panic(std::move(message));
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

void panic(std::string message, std::source_location where) {
    report_panic(&message, where);
    throw Panic{std::move(message)};
}

void fatal_allocation_failure() noexcept {
    std::fputs("refsieve: memory allocation failed\n", stderr);
    std::abort();
}

void api_call_failed(std::source_location where) {
    PyErr_Print();
    panic("Python API call failed", where);
}

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;
    if (type != nullptr) return type;
    PyObject* created =
        PyErr_NewExceptionWithDoc("refsieve_runtime.PanicException",
                                  "The exception raised when refsieve's native code panics.\n\n"
                                  "Like SystemExit, this exception is derived from BaseException so that\n"
                                  "it will typically propagate all the way through the stack and cause the\n"
                                  "Python interpreter to exit.",
                                  PyExc_BaseException, nullptr);
    if (created == nullptr) {
        PyErr_Print();
        panic("Failed to initialize new exception type.");
    }
    if (type != nullptr) {
        Py_DECREF(created);  // another initialisation got there first
    } else {
        type = created;
    }
    return type;
}

PyErr argument_extraction_error(const char* name, PyErr error) {
    if (error.type() != PyExc_TypeError) return error;
    PyObject* value = error.value();
    if (error.type() != PyExc_TypeError) return error;  // could not even be made
    PyRef text = exception_text(value);
    if (!text) return PyErr::take();
    PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return PyErr::take();
    PyErr remapped = PyErr::new_err(PyExc_TypeError, std::move(message));
    PyObject* new_value = remapped.value();
    PyException_SetCause(new_value, PyException_GetCause(value));
    return remapped;
}

}  // namespace refsieve::py
