// The module's exception classes and the mapping of engine errors onto them.
// StelvaneError is the base of one class per engine error kind (its payload as
// attributes) and of InvalidArgumentError, the module layer's own refusals; an
// internal fault (a broken engine invariant) has its own BaseException class.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/error.hpp"

namespace stelvane {
struct Catalog;
}

namespace stelvane::pyb {

namespace py = pybind11;

// An argument refused by the module layer; raised as InvalidArgumentError(message).
class Refusal : public std::exception {
public:
    explicit Refusal(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// An engine error on its way to Python: the class of its kind, its message
// (formatted when thrown) and its payload as the instance's attributes.
class EngineFailure : public std::exception {
public:
    explicit EngineFailure(Error error) : EngineFailure(error, error.message()) {}
    // The kind's class with the module's own wording (a check the module makes itself).
    EngineFailure(Error error, std::string message) : error_(std::move(error)), message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const Error& error() const { return error_; }

    // A tied match refers to catalog stars by position in `catalog`'s star list: looks up
    // their HR numbers, which the Python error then carries beside the positions.
    void name_tied_stars(const Catalog& catalog);
    // The HR numbers of the two tied identifications, once named.
    const std::optional<std::pair<std::vector<std::uint32_t>, std::vector<std::uint32_t>>>& tied_hr_ids() const {
        return tied_hr_ids_;
    }

private:
    Error error_;
    std::string message_;
    std::optional<std::pair<std::vector<std::uint32_t>, std::vector<std::uint32_t>>> tied_hr_ids_;
};

// A tied match, thrown as its own type so that only it is caught on its way out
// (to be given the HR numbers of its stars); every other failure passes untouched.
class TiedMatchFailure : public EngineFailure {
public:
    using EngineFailure::EngineFailure;
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

// One exported error class: its name in the module and the class object.
struct ErrorClass {
    const char* name;
    py::handle type;
};
// The subclasses of StelvaneError (created with it), in the order they are exported.
std::vector<ErrorClass> stelvane_error_subclasses();

// Refuses the call with InvalidArgumentError(message).
[[noreturn]] inline void refuse(std::string message) { throw Refusal(std::move(message)); }
// Raises an engine error as the class of its kind, with the kind's message.
[[noreturn]] inline void raise_error(Error error) {
    if (error.kind() == ErrorKind::MatchAmbiguous) throw TiedMatchFailure(std::move(error));
    throw EngineFailure(std::move(error));
}

// The value of an engine Result, or its error raised.
template <class T>
T unwrap(Result<T>&& result) {
    if (!result) raise_error(std::move(result).error());
    return std::move(result).value();
}

// Sets the Python error for a C++ exception thrown by a binding, as pybind11 would for
// a function it wraps: the module's own exceptions first, then the host's and the
// standard library's.
void set_python_error(std::exception_ptr p);

// Installs the translators from Refusal / EngineFailure / InternalFault to the Python classes.
void register_error_translators();

}  // namespace stelvane::pyb
