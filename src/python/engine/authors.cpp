#include "python/engine/authors.hpp"

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "engine/authors.hpp"
#include "python/calls.hpp"
#include "python/guard.hpp"

namespace refsieve::py::engine_module {
namespace {

// A str of ASCII text, made without decoding.
PyRef ascii_str(const std::string& text) {
    PyRef made = created(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
    std::memcpy(PyUnicode_1BYTE_DATA(made.get()), text.data(), text.size());
    return made;
}

}  // namespace

PyObject* read_authors(PyObject*, PyObject* text) {
    return trampoline([&]() -> Result<PyRef> {
        if (!PyUnicode_Check(text)) return PyErr::downcast(text, "str");
        // Any other str holds a character beyond ASCII: the Python reader's.
        if (!PyUnicode_IS_ASCII(text)) return PyRef::borrow(Py_None);
        const std::string_view view(static_cast<const char*>(PyUnicode_DATA(text)),
                                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
        const std::optional<engine::AuthorsRead> read = engine::read_plain_authors(view);
        if (!read) return PyRef::borrow(Py_None);
        PyRef canonical = ascii_str(read->canonical);
        PyRef families = read->families.empty() ? PyRef::borrow(Py_None) : ascii_str(read->families);
        return created(PyTuple_Pack(2, canonical.get(), families.get()));
    });
}

}  // namespace refsieve::py::engine_module
