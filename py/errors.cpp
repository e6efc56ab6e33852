// Exception classes of the module and their C++ translators.
#include "py/errors.hpp"

#include <pybind11/gil_safe_call_once.h>

namespace stelvane::pyb {

namespace {
PyObject* new_exception_class(const char* qualified_name, const char* doc, PyObject* base) {
    PyObject* cls = PyErr_NewExceptionWithDoc(qualified_name, doc, base, nullptr);
    if (cls == nullptr) throw py::error_already_set();
    return cls;
}
}  // namespace

py::handle stelvane_error_type() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> storage;
    return storage
        .call_once_and_store_result([] {
            return py::reinterpret_steal<py::object>(new_exception_class(
                "stelvane.StelvaneError", "Celestial navigation pipeline failure.", PyExc_Exception));
        })
        .get_stored();
}

py::handle internal_fault_type() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> storage;
    return storage
        .call_once_and_store_result([] {
            return py::reinterpret_steal<py::object>(new_exception_class(
                "stelvane.InternalFault",
                "An invariant of the stelvane engine was broken. This is a bug: please report it with the "
                "call that raised it. Derived from BaseException so ordinary handlers do not swallow it.",
                PyExc_BaseException));
        })
        .get_stored();
}

void register_error_translators() {
    py::register_local_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const Refusal& e) {
            PyErr_SetString(stelvane_error_type().ptr(), e.what());
        } catch (const std::logic_error& e) {
            PyErr_SetString(internal_fault_type().ptr(), e.what());
        }
    });
}

}  // namespace stelvane::pyb
