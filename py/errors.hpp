// The module's exception classes and the mapping of engine errors onto them.
// StelvaneError carries every engine failure and every argument refusal; an
// internal fault (a broken engine invariant) has its own BaseException class.
#pragma once

#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>
#include <utility>

#include "core/error.hpp"

namespace stelvane::pyb {

namespace py = pybind11;

// Thrown inside bindings; translated into StelvaneError(message) at the boundary.
class Refusal : public std::exception {
public:
    explicit Refusal(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// A broken invariant: never expected on any input.
class InternalFault : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// The class object stelvane.StelvaneError, created once per process on first use.
py::handle stelvane_error_type();
// The internal-fault class (derived from BaseException), created once per process.
py::handle internal_fault_type();

// Refuses the call with StelvaneError(message).
[[noreturn]] inline void refuse(std::string message) { throw Refusal(std::move(message)); }
// Raises an engine error as StelvaneError with the kind's message (formatted now).
[[noreturn]] inline void raise_error(const Error& error) { throw Refusal(error.message()); }

// The value of an engine Result, or StelvaneError with its message.
template <class T>
T unwrap(Result<T>&& result) {
    if (!result) raise_error(result.error());
    return std::move(result).value();
}

// Installs the translators from Refusal / InternalFault to the Python classes.
void register_error_translators();

}  // namespace stelvane::pyb
