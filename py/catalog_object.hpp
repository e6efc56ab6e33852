// Borrowing the engine catalog held by a Python stelvane.Catalog, for entry
// points that take a `catalog` argument. The catalog is immutable once loaded;
// the shared handle keeps it alive across a call that releases the interpreter lock.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "core/catalog.hpp"
#include "py/signature.hpp"

namespace stelvane::pyb {

namespace py = pybind11;

// The catalog held by `obj`, or TypeError "argument '{name}': '{type}' object is not a stelvane.Catalog".
const Catalog& borrow_catalog(py::handle obj, const char* name);
// The same, sharing ownership: hold it while the interpreter lock is released.
std::shared_ptr<const Catalog> share_catalog(py::handle obj, const char* name);
// The same for a bound argument, reporting under its parameter name.
inline const Catalog& borrow_catalog(const Argument& a) { return borrow_catalog(a, a.name); }
inline std::shared_ptr<const Catalog> share_catalog(const Argument& a) { return share_catalog(a, a.name); }

}  // namespace stelvane::pyb
