// The state a Fix pickles as: a dict of every PositionFix field, and its inverse.
#pragma once

#include <pybind11/pybind11.h>

#include "core/fix.hpp"

namespace stelvane::pyb {

namespace py = pybind11;

// {"latitude_deg": float, ..., "attitude": (x, y, z, w)}: every field of `f`, as Python values.
py::dict fix_state(const PositionFix& f);
// The PositionFix of a state from fix_state; TypeError names a missing key or a malformed field.
PositionFix fix_from_state(py::handle state);
// Fix.__reduce__ (through the private class method Fix._from_state), __copy__ and __deepcopy__.
void def_fix_pickling(py::class_<PositionFix>& cls);

}  // namespace stelvane::pyb
