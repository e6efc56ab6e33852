// Binding of positional and keyword arguments to a fixed parameter list, with
// the interpreter's own messages for missing, surplus, duplicated or unexpected
// arguments. Every entry point takes (*args, **kwargs) and binds through here,
// so conversion can run in the documented order with documented messages.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace stelvane::pyb {

namespace py = pybind11;

struct Param {
    const char* name;
    py::object default_value;  // a null object marks a required parameter
};

// A required parameter and one with a default.
inline Param required(const char* name) { return {name, py::object()}; }
inline Param optional(const char* name, py::object default_value = py::none()) {
    return {name, std::move(default_value)};
}

class Signature {
public:
    // `qualified_name` is how messages name the callable ("julian_date", "Catalog.star").
    Signature(std::string qualified_name, std::initializer_list<Param> params, bool keyword_only = false);
    Signature(std::string qualified_name, std::vector<Param> params, bool keyword_only = false);

    // The bound values in parameter order; defaults stand in for what was not passed.
    std::vector<py::object> bind(const py::args& args, const py::kwargs& kwargs) const;

private:
    [[noreturn]] void raise_missing(const std::vector<py::object>& bound) const;

    std::string name_;
    std::vector<Param> params_;
    bool keyword_only_;
};

// Defines module function `name` whose body receives the bound argument list.
template <class Body>
void def_function(py::module_& m, const char* name, Signature signature, const char* doc, Body body) {
    m.def(
        name,
        [signature = std::move(signature), body = std::move(body)](const py::args& args, const py::kwargs& kwargs) {
            return body(signature.bind(args, kwargs));
        },
        doc);
}

}  // namespace stelvane::pyb
