// Module initialisation: binds the module to the first interpreter that
// imports it, creates it once per process and registers its two functions.
#include <atomic>
#include <cstdint>

#include "python/calls.hpp"
#include "python/functions.hpp"
#include "python/guard.hpp"

namespace refsieve::py {
namespace {

constexpr int kApiVersion = 1013;

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "refsieve",
    "A Python module implemented in native code for fast fuzzy matching of bibliographic references.",
    0,        // no per-module state
    nullptr,  // functions are added by the initialiser
    nullptr,  // no slots
    nullptr,  // no traverse
    nullptr,  // no clear
    nullptr,  // no free
};

PyMethodDef method_definitions[] = {
    {"token_sort_ratio", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(token_sort_ratio_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "token_sort_ratio(s1, s2)\n--\n\nToken sort ratio for Python: returns float 0.0-100.0"},
    {"score_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(score_batch_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "score_batch(subjects, candidates, top_n, min_score)\n--\n\n"
     "Batch score multiple subjects against candidates in parallel."},
};

// The interpreter that first initialised the module, -1 until then.
std::atomic<std::int64_t> owning_interpreter{-1};
// The module object, once created.
PyObject* cached_module = nullptr;

// The module's __all__ list (borrowed by the returned reference), created
// when the module has none yet.
Result<PyRef> module_all_list(PyObject* module) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PyErr::take();
        PyErr_Clear();
        Result<PyRef> created = or_pending_error(PyList_New(0));
        if (!created.ok()) return created;
        Status set = or_pending_error(PyObject_SetAttrString(module, "__all__", created.value().get()));
        if (!set.ok()) return std::move(set).error();
        return created;
    }
    if (!PyList_Check(all.get())) return PyErr::downcast(all.get(), "PyList");
    return all;
}

Status add_function(PyObject* module, PyMethodDef* definition) {
    Result<PyRef> module_name = or_pending_error(PyModule_GetNameObject(module));
    if (!module_name.ok()) return std::move(module_name).error();
    Result<PyRef> function = or_pending_error(PyCMethod_New(definition, module, module_name.value().get(), nullptr));
    if (!function.ok()) return std::move(function).error();
    Result<PyRef> name = or_pending_error(PyObject_GetAttrString(function.value().get(), "__name__"));
    if (!name.ok()) return std::move(name).error();
    if (!PyUnicode_Check(name.value().get())) return PyErr::downcast(name.value().get(), "PyString");
    Result<PyRef> all = module_all_list(module);
    if (!all.ok()) return std::move(all).error();
    Status appended = or_pending_error(PyList_Append(all.value().get(), name.value().get()));
    if (!appended.ok()) return appended;
    return or_pending_error(PyObject_SetAttr(module, name.value().get(), function.value().get()));
}

Status initialise(PyObject* module) {
    for (PyMethodDef& definition : method_definitions) {
        Status added = add_function(module, &definition);
        if (!added.ok()) return added;
    }
    return success();
}

Result<PyRef> create_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return PyErr::take();
    std::int64_t expected = -1;
    if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        return PyErr::new_err(PyExc_ImportError,
                              "refsieve is a native module with single-phase initialisation, and modules of this "
                              "kind do not yet support sub-interpreters; see the section \"Sub-interpreters\" in "
                              "refsieve's README.md");
    }
    if (cached_module != nullptr) return PyRef::borrow(cached_module);

    Result<PyRef> module = or_pending_error(PyModule_Create2(&module_definition, kApiVersion));
    if (!module.ok()) return module;
    Status initialised = initialise(module.value().get());
    if (!initialised.ok()) return std::move(initialised).error();
    if (cached_module == nullptr) cached_module = module.value().release();
    return PyRef::borrow(cached_module);
}

}  // namespace
}  // namespace refsieve::py

PyMODINIT_FUNC PyInit_refsieve(void) {
    return refsieve::py::trampoline([] { return refsieve::py::create_module(); });
}
