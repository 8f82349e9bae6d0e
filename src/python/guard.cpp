#include "python/guard.hpp"

#include <string>

namespace refsieve::py::detail {

void raise_panic(const InternalFailure& failure) {
    PyObject* type = panic_exception_type();
    const std::string text = failure.message.value_or("refsieve's native code failed");
    PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!message) {
        PyErr_Clear();
        message = PyRef::steal(PyUnicode_FromString("refsieve's native code failed"));
    }
    if (!message) fail("cannot create the PanicException message");
    PyErr::new_err(type, std::move(message)).restore();
}

}  // namespace refsieve::py::detail
