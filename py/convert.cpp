// Argument conversion shared by every entry point.
#include "py/convert.hpp"

#include <pybind11/gil_safe_call_once.h>
#include <pybind11/numpy.h>

#include <limits>

namespace stelvane::pyb {

namespace {

std::string type_name(py::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

// NumPy's scalar types that the conversions tell apart from the numbers they resemble.
struct NumpyScalarTypes {
    py::object complexfloating;  // has __float__, which would drop the imaginary part
    py::object bool_;            // a bool in all but type (numpy.bool, numpy.bool_ before NumPy 2)
};

// The NumPy scalar types, or null while NumPy is not loaded: no object can be a NumPy
// scalar before it is, and a conversion is no reason to import it.
const NumpyScalarTypes* numpy_scalar_types() {
    PyObject* loaded = PyImport_GetModule(py::str("numpy").ptr());
    if (loaded == nullptr) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return nullptr;
    }
    Py_DECREF(loaded);
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<NumpyScalarTypes> storage;
    return &storage
                .call_once_and_store_result([] {
                    const py::module_ numpy = py::module_::import("numpy");
                    return NumpyScalarTypes{numpy.attr("complexfloating"), numpy.attr("bool_")};
                })
                .get_stored();
}

// By the object's own type (no __class__ or __instancecheck__ is consulted).
bool is_instance(py::handle obj, const py::object& type) {
    return PyObject_TypeCheck(obj.ptr(), reinterpret_cast<PyTypeObject*>(type.ptr())) != 0;
}

bool is_numpy_complex(py::handle obj) {
    const NumpyScalarTypes* numpy = numpy_scalar_types();
    return numpy != nullptr && is_instance(obj, numpy->complexfloating);
}

bool is_numpy_bool(py::handle obj) {
    const NumpyScalarTypes* numpy = numpy_scalar_types();
    return numpy != nullptr && is_instance(obj, numpy->bool_);
}

[[noreturn]] void raise_overflow(const char* message) {
    PyErr_SetString(PyExc_OverflowError, message);
    throw py::error_already_set();
}

// Python integer (or an object with __index__, such as a NumPy integer) as a long long,
// reporting values outside [lo, hi] as OverflowError.
long long convert_integer(py::handle obj, long long lo, unsigned long long hi, const char* overflow_message) {
    if (PyFloat_Check(obj.ptr()) || !PyIndex_Check(obj.ptr())) {
        throw ConversionError{"'" + type_name(obj) + "' object cannot be interpreted as an integer"};
    }
    py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(obj.ptr()));
    if (!index) throw py::error_already_set();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
    // With overflow set, value is -1 whatever the sign: only overflow < 0 means negative.
    if (lo == 0 && (overflow < 0 || (overflow == 0 && value < 0))) {
        raise_overflow("can't convert negative int to unsigned");
    }
    if (overflow != 0 || value < lo || (value > 0 && static_cast<unsigned long long>(value) > hi)) {
        raise_overflow(overflow_message);
    }
    return value;
}

}  // namespace

[[noreturn]] void raise_argument_error(const char* name, const std::string& reason) {
    throw py::type_error("argument '" + std::string(name) + "': " + reason);
}

double convert_double(py::handle obj) {
    PyObject* p = obj.ptr();
    if (PyFloat_Check(p)) return PyFloat_AS_DOUBLE(p);
    if (!PyLong_Check(p)) {
        const bool numeric = PyIndex_Check(p) || (Py_TYPE(p)->tp_as_number != nullptr &&
                                                  Py_TYPE(p)->tp_as_number->nb_float != nullptr && !PySequence_Check(p));
        // Complex numbers have __float__ in NumPy but would silently drop their imaginary part.
        const bool complex_number = PyComplex_Check(p) || is_numpy_complex(obj);
        if (!numeric || complex_number || PyUnicode_Check(p) || PyBytes_Check(p)) {
            throw ConversionError{"must be real number, not " + type_name(obj)};
        }
    }
    const double value = PyFloat_AsDouble(p);  // an int too large for a double raises OverflowError
    if (value == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return value;
}

std::uint32_t convert_u32(py::handle obj) {
    return static_cast<std::uint32_t>(convert_integer(obj, 0, std::numeric_limits<std::uint32_t>::max(),
                                                      "int too large to convert to an unsigned 32-bit integer"));
}

std::int32_t convert_i32(py::handle obj) {
    return static_cast<std::int32_t>(convert_integer(obj, std::numeric_limits<std::int32_t>::min(),
                                                     std::numeric_limits<std::int32_t>::max(),
                                                     "int out of range for a signed 32-bit integer"));
}

std::size_t convert_usize(py::handle obj) {
    static_assert(sizeof(std::size_t) <= sizeof(unsigned long long));
    const unsigned long long hi = std::min<unsigned long long>(std::numeric_limits<std::size_t>::max(),
                                                               std::numeric_limits<long long>::max());
    return static_cast<std::size_t>(convert_integer(obj, 0, hi, "int too large to convert to an unsigned count"));
}

py::object sequence_items(py::handle obj) {
    if (PyUnicode_Check(obj.ptr())) throw ConversionError{"expected a sequence, not str"};
    if (!PySequence_Check(obj.ptr())) throw ConversionError{"expected a sequence, not " + type_name(obj)};
    // A list is copied, not borrowed: a callback (a __float__, a tzinfo's utcoffset) may resize it.
    py::object items = py::reinterpret_steal<py::object>(PySequence_Tuple(obj.ptr()));
    if (!items) throw py::error_already_set();
    return items;
}

std::vector<double> convert_double_list(py::handle obj) {
    // 1-D numeric arrays convert in one step instead of item by item.
    if (py::isinstance<py::array>(obj)) {
        auto arr = py::reinterpret_borrow<py::array>(obj);
        const char kind = arr.dtype().kind();
        if (arr.ndim() == 1 && (kind == 'f' || kind == 'i' || kind == 'u' || kind == 'b')) {
            auto doubles = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(obj);
            if (!doubles) throw py::error_already_set();
            return std::vector<double>(doubles.data(), doubles.data() + doubles.size());
        }
    }
    py::object items = sequence_items(obj);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.ptr());
    PyObject** raw = PySequence_Fast_ITEMS(items.ptr());
    std::vector<double> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) out.push_back(convert_double(raw[i]));
    return out;
}

std::array<double, 3> convert_vec3(py::handle obj) {
    py::object items = sequence_items(obj);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.ptr());
    if (n != 3) throw py::value_error("expected a sequence of length 3 (got " + std::to_string(n) + ")");
    PyObject** raw = PySequence_Fast_ITEMS(items.ptr());
    return {convert_double(raw[0]), convert_double(raw[1]), convert_double(raw[2])};
}

double to_double(py::handle obj, const char* name) {
    return convert_argument(name, [&] { return convert_double(obj); });
}
std::uint32_t to_u32(py::handle obj, const char* name) {
    return convert_argument(name, [&] { return convert_u32(obj); });
}
std::int32_t to_i32(py::handle obj, const char* name) {
    return convert_argument(name, [&] { return convert_i32(obj); });
}
std::size_t to_usize(py::handle obj, const char* name) {
    return convert_argument(name, [&] { return convert_usize(obj); });
}

bool to_bool(py::handle obj, const char* name) {
    if (PyBool_Check(obj.ptr())) return obj.ptr() == Py_True;
    if (is_numpy_bool(obj)) return PyObject_IsTrue(obj.ptr()) == 1;
    raise_argument_error(name, "'" + type_name(obj) + "' object is not a bool");
}

std::string to_str(py::handle obj, const char* name) {
    if (!PyUnicode_Check(obj.ptr())) raise_argument_error(name, "'" + type_name(obj) + "' object is not a str");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj.ptr(), &size);
    if (data == nullptr) throw py::error_already_set();
    return std::string(data, static_cast<std::size_t>(size));
}

std::optional<double> to_opt_double(py::handle obj, const char* name) {
    if (obj.is_none()) return std::nullopt;
    return to_double(obj, name);
}
std::optional<std::uint32_t> to_opt_u32(py::handle obj, const char* name) {
    if (obj.is_none()) return std::nullopt;
    return to_u32(obj, name);
}
std::optional<std::size_t> to_opt_usize(py::handle obj, const char* name) {
    if (obj.is_none()) return std::nullopt;
    return to_usize(obj, name);
}

std::vector<double> to_double_list(py::handle obj, const char* name) {
    return convert_argument(name, [&] { return convert_double_list(obj); });
}
std::array<double, 3> to_vec3(py::handle obj, const char* name) {
    return convert_argument(name, [&] { return convert_vec3(obj); });
}

}  // namespace stelvane::pyb
