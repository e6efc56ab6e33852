// Conversion of Python arguments into engine values. Every failure is the
// host's TypeError "argument '{name}': {reason}"; an OverflowError (an integer
// out of range, a negative unsigned) or a ValueError of a fixed-length sequence
// passes unchanged.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "py/signature.hpp"

namespace stelvane::pyb {

namespace py = pybind11;

// Python int, float or NumPy scalar to double.
double to_double(py::handle obj, const char* name);
// Integers only (no floats); negative values and values past 2^32 - 1 raise OverflowError.
std::uint32_t to_u32(py::handle obj, const char* name);
std::int32_t to_i32(py::handle obj, const char* name);
// An unsigned machine word (counts such as max_count).
std::size_t to_usize(py::handle obj, const char* name);
bool to_bool(py::handle obj, const char* name);
std::string to_str(py::handle obj, const char* name);

// None means "not given".
std::optional<double> to_opt_double(py::handle obj, const char* name);
std::optional<std::uint32_t> to_opt_u32(py::handle obj, const char* name);
std::optional<std::size_t> to_opt_usize(py::handle obj, const char* name);

// Any sequence (list, tuple, 1-D array) of numbers; a str is refused.
std::vector<double> to_double_list(py::handle obj, const char* name);
// Exactly three numbers; another length raises ValueError "expected a sequence of length 3 (got {n})".
std::array<double, 3> to_vec3(py::handle obj, const char* name);

// The same conversions for a bound argument, reporting failures under its parameter name.
inline double to_double(const Argument& a) { return to_double(a, a.name); }
inline std::uint32_t to_u32(const Argument& a) { return to_u32(a, a.name); }
inline std::int32_t to_i32(const Argument& a) { return to_i32(a, a.name); }
inline std::size_t to_usize(const Argument& a) { return to_usize(a, a.name); }
inline bool to_bool(const Argument& a) { return to_bool(a, a.name); }
inline std::string to_str(const Argument& a) { return to_str(a, a.name); }
inline std::optional<double> to_opt_double(const Argument& a) { return to_opt_double(a, a.name); }
inline std::optional<std::uint32_t> to_opt_u32(const Argument& a) { return to_opt_u32(a, a.name); }
inline std::optional<std::size_t> to_opt_usize(const Argument& a) { return to_opt_usize(a, a.name); }
inline std::vector<double> to_double_list(const Argument& a) { return to_double_list(a, a.name); }
inline std::array<double, 3> to_vec3(const Argument& a) { return to_vec3(a, a.name); }

// The building blocks above without the argument prefix: they throw ConversionError
// with the bare reason, for conversions nested inside a larger one (sequence items,
// attributes of an object) that report under the enclosing argument's name.
struct ConversionError {
    std::string reason;
};
double convert_double(py::handle obj);
std::uint32_t convert_u32(py::handle obj);
std::int32_t convert_i32(py::handle obj);
std::size_t convert_usize(py::handle obj);
// The items of a sequence as a tuple of strong references (a snapshot: converting an item may run
// Python code that changes the caller's list, which must not move the items being read); refuses str
// and non-sequences. Read it with the PySequence_Fast_* macros.
py::object sequence_items(py::handle obj);
std::vector<double> convert_double_list(py::handle obj);
std::array<double, 3> convert_vec3(py::handle obj);

// Raises TypeError "argument '{name}': {reason}".
[[noreturn]] void raise_argument_error(const char* name, const std::string& reason);

// Runs `convert` and reports a ConversionError as the argument's TypeError.
template <class F>
auto convert_argument(const char* name, F&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (const ConversionError& e) {
        raise_argument_error(name, e.reason);
    }
}

}  // namespace stelvane::pyb
