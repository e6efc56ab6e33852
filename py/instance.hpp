// Instances of the bound classes that Python code can create without their
// constructor (Cls.__new__(Cls)): recognising them, and refusing construction
// outright for the classes whose instances only functions return.
#pragma once

#include <pybind11/pybind11.h>

#include "py/errors.hpp"

namespace stelvane::pyb {

namespace py = pybind11;

// The C++ value of an instance of a bound class. `Cls.__new__(Cls)` alone (without
// __init__) leaves it unconstructed: that is refused with `message` rather than read.
// pybind11 offers no public test for a constructed value (its casters allocate one
// lazily instead), so this reads the instance layout through pybind11::detail; the
// build requirement in pyproject.toml pins the pybind11 versions it is checked against.
template <class T>
T& initialised_instance(py::handle obj, const char* message) {
    auto* instance = reinterpret_cast<py::detail::instance*>(obj.ptr());
    const py::detail::value_and_holder v_h = instance->get_value_and_holder(py::detail::get_type_info(typeid(T)));
    if (!v_h.holder_constructed() || v_h.value_ptr() == nullptr) refuse(message);
    return *v_h.value_ptr<T>();
}

namespace detail {
inline PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances: they come only from the functions that return them",
                 type->tp_name);
    return nullptr;
}
}  // namespace detail

// A class whose instances come only from functions that return them: calling the
// class, or its __new__, raises TypeError (the module itself allocates instances
// directly, without __new__).
inline void forbid_construction(py::handle cls) {
    reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_new = &detail::refuse_new;
}

// copy.copy and copy.deepcopy of an immutable class: the instance itself, once
// `check(self)` has accepted it (an unconstructed instance is refused, not copied).
template <class Class, class Check>
void def_identity_copies(Class& cls, Check check) {
    cls.def("__copy__", [check](py::handle self) {
        check(self);
        return py::reinterpret_borrow<py::object>(self);
    });
    cls.def("__deepcopy__", [check](py::handle self, py::handle /*memo*/) {
        check(self);
        return py::reinterpret_borrow<py::object>(self);
    });
}

}  // namespace stelvane::pyb
