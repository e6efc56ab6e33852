// Defining the module's callables from their signatures: module functions,
// method descriptors and constructors. Each takes (*args, **kwargs), binds them
// through its Signature and runs its body over the bound arguments; the
// docstring's signature line is generated from the same Signature.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>
#include <utility>

#include "py/catalog_object.hpp"
#include "py/errors.hpp"
#include "py/signature.hpp"

namespace stelvane::pyb {

namespace py = pybind11;

// Runs an entry's body over its bound arguments. A tied match refers to catalog stars
// by position; when the call took a catalog, the error also names them by HR number.
template <class Body>
decltype(auto) run_entry(const Bound& a, Body&& body) {
    try {
        return body(a);
    } catch (TiedMatchFailure& tie) {
        if (const auto catalog = a.find("catalog")) tie.name_tied_stars(borrow_catalog(*catalog));
        throw;
    }
}

// Defines module function signature.short_name(); `doc_body` follows the generated signature line.
template <class Body>
void def_function(py::module_& m, Signature signature, std::string_view doc_body, Body body) {
    const std::string name = signature.short_name();
    const std::string doc = signature.docstring(name, SelfParam::None, doc_body);
    m.def(
        name.c_str(),
        [signature = std::move(signature), body = std::move(body)](const py::args& args, const py::kwargs& kwargs) {
            return run_entry(signature.bind(args, kwargs), body);
        },
        doc.c_str());
}

// The docstring of a class whose constructor takes `init`'s parameters: "Name(a, b)\n--\n\n" + body.
inline std::string class_docstring(const Signature& init, std::string_view body) {
    return init.docstring(init.short_name(), SelfParam::None, body);
}

// Defines __init__ on `cls`; `make` builds the instance's C++ value from the bound arguments.
template <class Class, class Make>
void def_init(Class& cls, Signature signature, std::string_view doc_body, Make make) {
    const std::string doc = signature.docstring("__init__", SelfParam::Init, doc_body);
    cls.def(py::init([signature = std::move(signature), make = std::move(make)](const py::args& args,
                                                                               const py::kwargs& kwargs) {
                return run_entry(signature.bind(args, kwargs), make);
            }),
            doc.c_str());
}

// The body of a method: the instance (already checked to be of the class) and the bound arguments.
using MethodBody = py::object (*)(py::handle self, const Bound& a);

namespace detail {

// What one method needs for the life of the process, like the class itself. The
// signature holds Python defaults, so it is never destroyed (not even at exit).
template <MethodBody Body>
struct MethodRecord {
    static inline const Signature* signature = nullptr;
    static inline std::string name;
    static inline std::string doc;
    static inline PyMethodDef definition{};
};

// The C entry point of one method; C++ exceptions become Python errors as they would
// for a pybind11 function.
template <MethodBody Body>
PyObject* call_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    try {
        const auto a = py::reinterpret_borrow<py::args>(args);
        const auto k = kwargs != nullptr ? py::reinterpret_borrow<py::kwargs>(kwargs) : py::kwargs();
        const Bound bound = MethodRecord<Body>::signature->bind(a, k);
        return run_entry(bound, [self](const Bound& b) { return Body(self, b); }).release().ptr();
    } catch (...) {
        set_python_error(std::current_exception());
    }
    return nullptr;
}

}  // namespace detail

// Defines method signature.short_name() on `cls` as the interpreter's own method descriptor.
// A pybind11 method is an instancemethod around a builtin whose __self__ is set, so inspect
// drops the "$self" of its text signature once too often (Catalog.star would read "(hr_id)"
// and catalog.star "()"); a method descriptor reads "(self, /, hr_id)" unbound and "(hr_id)"
// bound. The descriptor refuses an instance of another class with the interpreter's
// TypeError before the body runs. Each body function backs exactly one method.
template <MethodBody Body>
void def_method(py::handle cls, Signature signature, std::string_view doc_body) {
    using Record = detail::MethodRecord<Body>;
    Record::name = signature.short_name();
    Record::doc = signature.docstring(Record::name, SelfParam::Method, doc_body);
    Record::signature = new Signature(std::move(signature));
    Record::definition = {Record::name.c_str(),
                          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&detail::call_method<Body>)),
                          METH_VARARGS | METH_KEYWORDS, Record::doc.c_str()};
    PyObject* descriptor = PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &Record::definition);
    if (descriptor == nullptr) throw py::error_already_set();
    py::setattr(cls, Record::name.c_str(), py::reinterpret_steal<py::object>(descriptor));
}

}  // namespace stelvane::pyb
