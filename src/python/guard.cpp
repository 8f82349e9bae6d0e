#include "python/guard.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

namespace refsieve::py::detail {

void raise_panic(const Panic& failure) {
    PyObject* type = panic_exception_type();
    const std::string text = failure.message ? *failure.message : std::string("refsieve's native code failed");
    PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!message) {
        PyErr_Clear();
        message = PyRef::steal(PyUnicode_FromString("refsieve's native code failed"));
    }
    if (!message) throw Panic{"cannot create the PanicException message"};
    PyErr::new_err(type, std::move(message)).restore();
}

Panic panic_from_current_exception() {
    std::string message = "an unexpected C++ exception";
    try {
        throw;
    } catch (const std::exception& e) {
        message = e.what();
    } catch (...) {
    }
    std::fprintf(stderr, "refsieve: internal failure: %s\n", message.c_str());
    return Panic{std::move(message)};
}

void abort_uncaught_panic() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

}  // namespace refsieve::py::detail
