// Methods bound as the interpreter's own method descriptors. A pybind11 method is
// an instancemethod around a builtin whose __self__ is set, so inspect drops the
// "$self" of its "name($self, a)" text signature once too often and reports
// Catalog.star as "(hr_id)" and catalog.star as "()". A method descriptor with the
// same text signature reads as "(self, hr_id)" unbound and "(hr_id)" bound.
#pragma once

#include <pybind11/pybind11.h>

#include "py/errors.hpp"

namespace stelvane::pyb {

namespace py = pybind11;

// The body of a method: the instance (already checked to be of the class) and the call's arguments.
using MethodBody = py::object (*)(py::handle self, const py::args& args, const py::kwargs& kwargs);

namespace detail {

// The C entry point of one method; exceptions become Python errors through the
// module's translators, as they would for a pybind11 function.
template <MethodBody Body>
PyObject* call_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    try {
        const auto a = py::reinterpret_borrow<py::args>(args);
        const auto k = kwargs != nullptr ? py::reinterpret_borrow<py::kwargs>(kwargs) : py::kwargs();
        return Body(self, a, k).release().ptr();
    } catch (...) {
        set_python_error(std::current_exception());
    }
    return nullptr;
}

}  // namespace detail

// Defines method `name` on `cls`; `doc` begins with "name($self, ...)\n--\n\n". Each body
// function backs exactly one method. The descriptor refuses an instance of another
// class with the interpreter's TypeError before the body runs.
template <MethodBody Body>
void def_method(py::handle cls, const char* name, const char* doc) {
    // One definition per method, alive for the process like the class itself.
    static PyMethodDef definition{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                                            &detail::call_method<Body>)),
                                  METH_VARARGS | METH_KEYWORDS, doc};
    PyObject* descriptor = PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &definition);
    if (descriptor == nullptr) throw py::error_already_set();
    py::setattr(cls, name, py::reinterpret_steal<py::object>(descriptor));
}

// The C++ value of an instance of a bound class. `Cls.__new__(Cls)` alone (without
// __init__) leaves it unconstructed: that is refused with `message` rather than read.
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

}  // namespace stelvane::pyb
