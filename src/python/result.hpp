// A value or an error, returned by every fallible step of the binding layer.
#pragma once

#include <utility>
#include <variant>

#include "python/errors.hpp"

namespace refsieve::py {

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(PyErr error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    PyErr& error() & { return std::get<1>(v_); }
    PyErr&& error() && { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, PyErr> v_;
};

// Result of a step that produces nothing but may fail.
struct Unit {};
using Status = Result<Unit>;
inline Status success() { return Unit{}; }

}  // namespace refsieve::py
