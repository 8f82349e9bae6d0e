#include "python/arguments.hpp"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "python/calls.hpp"

namespace refsieve::py {
namespace {

std::string display_name(const FunctionDescription& description) { return std::string(description.func_name) + "()"; }

PyErr too_many_positional(const FunctionDescription& description, Py_ssize_t given) {
    return PyErr::new_err(PyExc_TypeError, display_name(description) + " takes " +
                                               std::to_string(description.parameters.size()) +
                                               " positional arguments but " + std::to_string(given) + " " +
                                               (given == 1 ? "was" : "were") + " given");
}

PyErr unexpected_keyword(const FunctionDescription& description, PyObject* keyword) {
    // The keyword may hold lone surrogates, so the message is formatted by
    // the interpreter from the keyword's str().
    Result<PyRef> message = or_pending_error(
        PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'", display_name(description).c_str(), keyword));
    if (!message.ok()) return std::move(message).error();
    return PyErr::new_err(PyExc_TypeError, std::move(message).value());
}

PyErr multiple_values(const FunctionDescription& description, const char* parameter) {
    return PyErr::new_err(PyExc_TypeError,
                          display_name(description) + " got multiple values for argument '" + parameter + "'");
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string name_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                out += " and ";
            } else {
                out += i + 1 == names.size() ? ", and " : ", ";
            }
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

PyErr missing_required(const FunctionDescription& description, const std::vector<const char*>& missing) {
    return PyErr::new_err(PyExc_TypeError, display_name(description) + " missing " + std::to_string(missing.size()) +
                                               " required positional " +
                                               (missing.size() == 1 ? "argument" : "arguments") + ": " +
                                               name_list(missing));
}

// Index of the parameter named exactly `name`, or -1.
Py_ssize_t find_parameter(const FunctionDescription& description, std::string_view name) {
    for (std::size_t i = 0; i < description.parameters.size(); ++i) {
        if (name == description.parameters[i]) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

}  // namespace

std::optional<PyErr> extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args,
                                                Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    const auto n_params = static_cast<Py_ssize_t>(description.parameters.size());
    for (Py_ssize_t i = 0; i < n_params; ++i) slots[i] = nullptr;

    const Py_ssize_t n_positional = nargs < n_params ? nargs : n_params;
    for (Py_ssize_t i = 0; i < n_positional; ++i) slots[i] = args[i];
    if (nargs > n_params) return too_many_positional(description, nargs);

    const Py_ssize_t n_keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < n_keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
        Py_ssize_t index = -1;
        if (utf8 == nullptr) {
            PyErr_Clear();  // not encodable: cannot name any parameter
        } else {
            index = find_parameter(description, std::string_view(utf8, static_cast<std::size_t>(size)));
        }
        if (index < 0) return unexpected_keyword(description, keyword);
        if (slots[index] != nullptr) return multiple_values(description, description.parameters[index]);
        slots[index] = args[nargs + k];
    }

    if (static_cast<std::size_t>(nargs) < description.required) {
        std::vector<const char*> missing;
        for (std::size_t i = static_cast<std::size_t>(nargs); i < description.required; ++i) {
            if (slots[i] == nullptr) missing.push_back(description.parameters[i]);
        }
        if (!missing.empty()) return missing_required(description, missing);
    }
    return std::nullopt;
}

}  // namespace refsieve::py
