#include "python/calls.hpp"

#include "batch/failure.hpp"

namespace refsieve::py {

PyRef created(PyObject* made, const char* failure_message, const char* file, unsigned line) {
    if (made == nullptr) {
        PyErr_Print();
        fail(failure_message, file, line);
    }
    return PyRef::steal(made);
}

Result<PyRef> or_pending_error(PyRef result) {
    if (!result) return PyErr::take();
    return result;
}

Status or_pending_error(int status) {
    if (status < 0) return PyErr::take();
    return success();
}

}  // namespace refsieve::py
