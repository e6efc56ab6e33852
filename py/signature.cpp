// Argument binding with the interpreter's standard messages.
#include "py/signature.hpp"

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

}  // namespace

Signature::Signature(std::string qualified_name, std::initializer_list<Param> params, bool keyword_only)
    : name_(std::move(qualified_name)), params_(params), keyword_only_(keyword_only) {}

Signature::Signature(std::string qualified_name, std::vector<Param> params, bool keyword_only)
    : name_(std::move(qualified_name)), params_(std::move(params)), keyword_only_(keyword_only) {}

std::vector<py::object> Signature::bind(const py::args& args, const py::kwargs& kwargs) const {
    const std::size_t n_params = params_.size();
    const std::size_t n_positional = keyword_only_ ? 0 : n_params;
    const std::size_t n_args = args.size();
    if (n_args > n_positional) {
        std::size_t n_required = 0;
        for (const Param& p : params_) n_required += p.default_value ? 0 : 1;
        const std::string takes = (keyword_only_ || n_required == n_positional)
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
        if (params_[i].default_value) {
            bound[i] = params_[i].default_value;
        } else {
            missing = true;
        }
    }
    if (missing) raise_missing(bound);
    return bound;
}

void Signature::raise_missing(const std::vector<py::object>& bound) const {
    std::vector<const char*> names;
    for (std::size_t i = 0; i < params_.size(); ++i) {
        if (!bound[i]) names.push_back(params_[i].name);
    }
    const char* kind = keyword_only_ ? "keyword-only argument" : "positional argument";
    throw py::type_error(name_ + "() missing " + plural(names.size(), (std::string("required ") + kind).c_str()) +
                         ": " + quoted_list(names));
}

}  // namespace stelvane::pyb
