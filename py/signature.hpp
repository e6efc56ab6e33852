// Parameter lists of the module's callables and the binding of positional and
// keyword arguments to them, with the interpreter's own messages for missing,
// surplus, duplicated or unexpected arguments. Each list is written once, as a
// constant: the docstring's signature line is generated from it, and bodies read
// their arguments through slots looked up by name when the module is compiled.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace stelvane::pyb {

namespace py = pybind11;

struct Param {
    const char* name;
    // The default as a Python literal ("None", "0.0", "False", "16"), shown verbatim in the
    // signature and evaluated once for calls; null for a required parameter.
    const char* default_text;
};

constexpr Param required(const char* name) { return {name, nullptr}; }
constexpr Param optional(const char* name, const char* default_text = "None") { return {name, default_text}; }

// A parameter's position in its list, with its name for conversion messages.
struct Slot {
    std::size_t index;
    const char* name;
};

template <std::size_t N>
struct ParamList {
    std::array<Param, N> params;

    // The slot of parameter `name`. Immediate: a name the list lacks does not compile.
    consteval Slot operator[](std::string_view name) const {
        for (std::size_t i = 0; i < N; ++i) {
            if (name == params[i].name) return {i, params[i].name};
        }
        throw "no parameter of this name in the list";
    }
    consteval bool has(std::string_view name) const {
        for (const Param& p : params) {
            if (name == p.name) return true;
        }
        return false;
    }
};

template <class... P>
consteval ParamList<sizeof...(P)> params(P... p) {
    return {{p...}};
}

// The lists one after another, for signatures composed from shared groups.
template <std::size_t... N>
consteval ParamList<(N + ...)> join(const ParamList<N>&... lists) {
    ParamList<(N + ...)> out{};
    std::size_t at = 0;
    ((std::copy(lists.params.begin(), lists.params.end(), out.params.begin() + static_cast<std::ptrdiff_t>(at)),
      at += N),
     ...);
    return out;
}

// A bound argument: the object and the parameter name it reports conversion failures under.
struct Argument : py::handle {
    const char* name;
};

// The arguments of one call in parameter order, defaults standing in for what was not passed.
class Bound {
public:
    Bound(std::span<const Param> params, std::vector<py::object> values)
        : params_(params), values_(std::move(values)) {}

    // The argument in `slot`; a slot taken from another callable's list is an internal fault.
    Argument operator[](Slot slot) const;
    // The argument named `name`, for code shared by callables that may lack the parameter.
    std::optional<Argument> find(std::string_view name) const;

private:
    std::span<const Param> params_;
    std::vector<py::object> values_;
};

// How a signature line begins: a module function or class "(a, b)", a method
// descriptor "($self, a, b)" or a constructor "(self, a, b)".
enum class SelfParam { None, Method, Init };

// The parameters from this position on are keyword-only (the "*" of a signature).
struct KeywordOnlyFrom {
    std::size_t index;
};

class Signature {
public:
    // `qualified_name` is how binding messages name the callable ("julian_date",
    // "FixTracker.resolve_fix"); docstrings name it by its last component.
    template <std::size_t N>
    Signature(std::string qualified_name, const ParamList<N>& list, bool keyword_only = false)
        : Signature(std::move(qualified_name), std::span<const Param>(list.params), keyword_only) {}
    template <std::size_t N>
    Signature(std::string qualified_name, const ParamList<N>& list, KeywordOnlyFrom from)
        : Signature(std::move(qualified_name), std::span<const Param>(list.params), false) {
        n_positional_ = std::min(from.index, N);
    }
    Signature(std::string qualified_name, std::span<const Param> params, bool keyword_only);

    Bound bind(const py::args& args, const py::kwargs& kwargs) const;

    // The name docstrings use: the qualified name's last component.
    std::string short_name() const;
    // "(a, b=None)", as inspect.signature prints it, with the self parameter `self` asks for.
    std::string text_signature(SelfParam self) const;
    // "{name}{text_signature}\n--\n\n" followed by `body`: the interpreter reads the signature
    // of a builtin from this first line.
    std::string docstring(std::string_view name, SelfParam self, std::string_view body) const;

private:
    [[noreturn]] void raise_missing(const std::vector<py::object>& bound) const;

    std::string name_;
    std::vector<Param> params_;
    std::vector<py::object> defaults_;  // evaluated default_text; null for required parameters
    std::size_t n_positional_;          // parameters that may be passed by position
};

}  // namespace stelvane::pyb
