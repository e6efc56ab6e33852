// Argument binding with the interpreter's standard messages, and the text
// signatures generated from the same parameter lists.
#include "py/signature.hpp"

#include <cstring>

#include "py/errors.hpp"

namespace stelvane::pyb {

namespace {

std::string plural(std::size_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// 'a', 'b' and 'c'
std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += (i + 1 == names.size()) ? (names.size() > 2 ? ", and " : " and ") : ", ";
        out += "'" + std::string(names[i]) + "'";
    }
    return out;
}

// The value of a default written as a Python literal: None, True, False, an int or a float.
// Anything else fails the import (ValueError), as a default that cannot be read should.
py::object literal_value(const char* text) {
    const std::string_view t(text);
    if (t == "None") return py::none();
    if (t == "True" || t == "False") return py::bool_(t == "True");
    PyObject* value = t.find_first_of(".eEn") != std::string_view::npos
                          ? PyFloat_FromString(py::str(text).ptr())
                          : PyLong_FromString(text, nullptr, 10);
    if (value == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
}

// The default values, evaluated from their source once, when the callable is defined.
std::vector<py::object> evaluate_defaults(const std::vector<Param>& params) {
    std::vector<py::object> out;
    out.reserve(params.size());
    for (const Param& p : params) out.push_back(p.default_text ? literal_value(p.default_text) : py::object());
    return out;
}

}  // namespace

Argument Bound::operator[](Slot slot) const {
    if (slot.index >= params_.size() || std::strcmp(params_[slot.index].name, slot.name) != 0) {
        throw InternalFault(std::string("argument slot '") + slot.name + "' does not belong to this parameter list");
    }
    return {values_[slot.index], slot.name};
}

std::optional<Argument> Bound::find(std::string_view name) const {
    for (std::size_t i = 0; i < params_.size(); ++i) {
        if (name == params_[i].name) return Argument{values_[i], params_[i].name};
    }
    return std::nullopt;
}

Signature::Signature(std::string qualified_name, std::span<const Param> params, bool keyword_only)
    : name_(std::move(qualified_name)),
      params_(params.begin(), params.end()),
      defaults_(evaluate_defaults(params_)),
      n_positional_(keyword_only ? 0 : params_.size()) {}

Bound Signature::bind(const py::args& args, const py::kwargs& kwargs) const {
    const std::size_t n_params = params_.size();
    const std::size_t n_positional = n_positional_;
    const std::size_t n_args = args.size();
    if (n_args > n_positional) {
        std::size_t n_required = 0;
        for (std::size_t i = 0; i < n_positional; ++i) n_required += defaults_[i] ? 0 : 1;
        const std::string takes = (n_positional == 0 || n_required == n_positional)
                                      ? std::to_string(n_positional)
                                      : "from " + std::to_string(n_required) + " to " + std::to_string(n_positional);
        throw py::type_error(name_ + "() takes " + takes + " positional argument" + (n_positional == 1 ? "" : "s") +
                             " but " + std::to_string(n_args) + (n_args == 1 ? " was" : " were") + " given");
    }
    std::vector<py::object> bound(n_params);
    for (std::size_t i = 0; i < n_args; ++i) bound[i] = py::reinterpret_borrow<py::object>(args[i]);
    for (auto item : kwargs) {
        const std::string key = py::str(item.first);
        std::size_t i = 0;
        while (i < n_params && key != params_[i].name) ++i;
        if (i == n_params) throw py::type_error(name_ + "() got an unexpected keyword argument '" + key + "'");
        if (bound[i]) throw py::type_error(name_ + "() got multiple values for argument '" + key + "'");
        bound[i] = py::reinterpret_borrow<py::object>(item.second);
    }
    bool missing = false;
    for (std::size_t i = 0; i < n_params; ++i) {
        if (bound[i]) continue;
        if (defaults_[i]) {
            bound[i] = defaults_[i];
        } else {
            missing = true;
        }
    }
    if (missing) raise_missing(bound);
    return Bound(params_, std::move(bound));
}

void Signature::raise_missing(const std::vector<py::object>& bound) const {
    // The interpreter reports the missing positional arguments first, then the keyword-only ones.
    std::vector<const char*> names;
    for (std::size_t i = 0; i < n_positional_; ++i) {
        if (!bound[i]) names.push_back(params_[i].name);
    }
    const bool keyword_only = names.empty();
    for (std::size_t i = n_positional_; keyword_only && i < params_.size(); ++i) {
        if (!bound[i]) names.push_back(params_[i].name);
    }
    const char* kind = keyword_only ? "keyword-only argument" : "positional argument";
    throw py::type_error(name_ + "() missing " + plural(names.size(), (std::string("required ") + kind).c_str()) +
                         ": " + quoted_list(names));
}

std::string Signature::short_name() const { return name_.substr(name_.rfind('.') + 1); }

std::string Signature::text_signature(SelfParam self) const {
    std::vector<std::string> items;
    if (self == SelfParam::Method) items.emplace_back("$self");
    if (self == SelfParam::Init) items.emplace_back("self");
    for (std::size_t i = 0; i < params_.size(); ++i) {
        if (i == n_positional_) items.emplace_back("*");
        const Param& p = params_[i];
        items.push_back(p.default_text ? std::string(p.name) + "=" + p.default_text : p.name);
    }
    std::string out = "(";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i > 0 ? ", " : "") + items[i];
    return out + ")";
}

std::string Signature::docstring(std::string_view name, SelfParam self, std::string_view body) const {
    return std::string(name) + text_signature(self) + "\n--\n\n" + std::string(body);
}

}  // namespace stelvane::pyb
