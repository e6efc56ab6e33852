// A Fix travels between processes (pickle, and so Dask workers) as a dict of its
// fields; the private class method Fix._from_state rebuilds it, since the class
// itself has no constructor. A Fix is immutable, so copy and deepcopy return it.
#include <algorithm>
#include <string>

#include "core/bodies.hpp"
#include "core/fix.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/fix_state.hpp"
#include "py/instance.hpp"
#include "py/solve_args.hpp"

namespace stelvane::pyb {

namespace {

// Every field of the engine's PositionFix, the attitude included, in declaration order.
constexpr const char* kFields[] = {"latitude_deg", "longitude_deg", "covariance", "ellipse_2sigma_nm",
                                   "matched_hr_ids", "n_iterations", "used_sun", "residual_rms_rad",
                                   "match_margin", "attitude", "sights", "up_unit", "jd",
                                   "arcmin_per_pixel", "bodies_seen", "plate_scale_ratio",
                                   "plate_scale_ratio_sigma"};

py::tuple doubles_tuple(std::initializer_list<double> values) {
    py::tuple out(values.size());
    std::size_t k = 0;
    for (double v : values) out[k++] = py::float_(v);
    return out;
}

// A state whose keys are not exactly kFields is refused as a whole.
void check_keys(py::handle state) {
    bool exact = PyDict_Check(state.ptr()) && PyDict_Size(state.ptr()) == static_cast<Py_ssize_t>(std::size(kFields));
    for (const char* key : kFields) exact = exact && PyDict_GetItemString(state.ptr(), key) != nullptr;
    if (exact) return;
    std::string keys;
    for (const char* key : kFields) keys += std::string(keys.empty() ? "" : ", ") + key;
    throw py::type_error("a Fix state is a dict with exactly the keys " + keys);
}

// The field's value converted by `convert`; a failure is TypeError "Fix state field '{key}': {reason}".
template <class Convert>
auto field(py::handle state, const char* key, Convert convert) -> decltype(convert(py::handle())) {
    try {
        return convert(py::handle(PyDict_GetItemString(state.ptr(), key)));
    } catch (const ConversionError& e) {
        throw py::type_error(std::string("Fix state field '") + key + "': " + e.reason);
    } catch (const py::error_already_set& e) {
        // A number out of range (a negative HR number, say) is as malformed as a wrong type.
        if (!e.matches(PyExc_OverflowError)) throw;
        throw py::type_error(std::string("Fix state field '") + key + "': " + std::string(py::str(e.value())));
    }
}

// Exactly n numbers.
auto doubles(std::size_t n) {
    return [n](py::handle obj) {
        std::vector<double> values = convert_double_list(obj);
        if (values.size() != n) {
            throw ConversionError{"expected " + std::to_string(n) + " numbers, got " + std::to_string(values.size())};
        }
        return values;
    };
}

std::vector<std::uint32_t> convert_hr_ids(py::handle obj) {
    const py::object items = sequence_items(obj);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.ptr());
    std::vector<std::uint32_t> ids;
    ids.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) ids.push_back(convert_u32(PySequence_Fast_GET_ITEM(items.ptr(), k)));
    return ids;
}

// A sight as the engine holds it: hr, x_px, y_px, then azimuth, altitude, sigma and residual in radians.
py::tuple sight_state(const Sight& s) {
    return py::make_tuple(py::int_(s.hr), s.pixel.x, s.pixel.y, s.azimuth_rad, s.altitude_rad, s.sigma_rad,
                          s.residual_rad);
}

std::vector<Sight> convert_sights(py::handle obj) {
    const py::object items = sequence_items(obj);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.ptr());
    std::vector<Sight> sights;
    sights.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
        const py::object row = sequence_items(PySequence_Fast_GET_ITEM(items.ptr(), k));
        if (PySequence_Fast_GET_SIZE(row.ptr()) != 7) throw ConversionError{"expected sights of 7 fields each"};
        auto item = [&](Py_ssize_t i) { return PySequence_Fast_GET_ITEM(row.ptr(), i); };
        Sight s;
        s.hr = convert_u32(item(0));
        s.pixel = Pixel{convert_double(item(1)), convert_double(item(2))};
        s.azimuth_rad = convert_double(item(3));
        s.altitude_rad = convert_double(item(4));
        s.sigma_rad = convert_double(item(5));
        s.residual_rad = convert_double(item(6));
        sights.push_back(s);
    }
    return sights;
}

std::vector<Body> convert_bodies(py::handle obj) {
    const py::object items = sequence_items(obj);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.ptr());
    std::vector<Body> bodies;
    for (Py_ssize_t k = 0; k < n; ++k) {
        const py::handle name = PySequence_Fast_GET_ITEM(items.ptr(), k);
        if (!PyUnicode_Check(name.ptr())) throw ConversionError{"expected body names"};
        const std::string text = name.cast<std::string>();
        const auto* found = std::find_if(ALL_BODIES.begin(), ALL_BODIES.end(),
                                         [&](Body b) { return body_name(b) == text; });
        if (found == ALL_BODIES.end()) throw ConversionError{"unknown body '" + text + "'"};
        bodies.push_back(*found);
    }
    return bodies;
}

bool convert_exact_bool(py::handle obj) {
    if (!PyBool_Check(obj.ptr())) throw ConversionError{"expected a bool"};
    return obj.ptr() == Py_True;
}

PyObject* from_state_entry(PyObject*, PyObject* state) {
    try {
        return to_python_fix(fix_from_state(state)).release().ptr();
    } catch (...) {
        set_python_error(std::current_exception());
    }
    return nullptr;
}

PyMethodDef from_state_definition = {
    "_from_state", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&from_state_entry)),
    METH_O | METH_CLASS, "_from_state($cls, state, /)\n--\n\nThe Fix whose __reduce__ gave `state`; for pickle.\n"};

}  // namespace

py::dict fix_state(const PositionFix& f) {
    py::dict state;
    state["latitude_deg"] = f.latitude_deg;
    state["longitude_deg"] = f.longitude_deg;
    state["covariance"] =
        doubles_tuple({f.covariance[0][0], f.covariance[0][1], f.covariance[1][0], f.covariance[1][1]});
    const EllipseNm& e = f.ellipse_2sigma_nm;
    state["ellipse_2sigma_nm"] = doubles_tuple({e.semi_major_nm, e.semi_minor_nm, e.orientation_deg});
    py::tuple ids(f.matched_hr_ids.size());
    for (std::size_t k = 0; k < f.matched_hr_ids.size(); ++k) ids[k] = py::int_(f.matched_hr_ids[k]);
    state["matched_hr_ids"] = ids;
    state["n_iterations"] = f.n_iterations;
    state["used_sun"] = f.used_sun;
    state["residual_rms_rad"] = f.residual_rms_rad;
    state["match_margin"] = f.match_margin;
    state["attitude"] = doubles_tuple({f.attitude[0], f.attitude[1], f.attitude[2], f.attitude[3]});
    py::tuple sights(f.sights.size());
    for (std::size_t k = 0; k < f.sights.size(); ++k) sights[k] = sight_state(f.sights[k]);
    state["sights"] = sights;
    state["up_unit"] = doubles_tuple({f.up_unit[0], f.up_unit[1], f.up_unit[2]});
    state["jd"] = f.jd;
    state["arcmin_per_pixel"] = f.arcmin_per_pixel;
    py::tuple bodies(f.bodies_seen.size());
    for (std::size_t k = 0; k < f.bodies_seen.size(); ++k) bodies[k] = py::str(std::string(body_name(f.bodies_seen[k])));
    state["bodies_seen"] = bodies;
    state["plate_scale_ratio"] = f.plate_scale_ratio;
    state["plate_scale_ratio_sigma"] = f.plate_scale_ratio_sigma;
    return state;
}

PositionFix fix_from_state(py::handle state) {
    check_keys(state);
    PositionFix f;
    f.latitude_deg = field(state, "latitude_deg", convert_double);
    f.longitude_deg = field(state, "longitude_deg", convert_double);
    const auto cov = field(state, "covariance", doubles(4));
    f.covariance = {{{cov[0], cov[1]}, {cov[2], cov[3]}}};
    const auto ellipse = field(state, "ellipse_2sigma_nm", doubles(3));
    f.ellipse_2sigma_nm = EllipseNm{ellipse[0], ellipse[1], ellipse[2]};
    f.matched_hr_ids = field(state, "matched_hr_ids", convert_hr_ids);
    f.n_iterations = field(state, "n_iterations", convert_usize);
    f.used_sun = field(state, "used_sun", convert_exact_bool);
    f.residual_rms_rad = field(state, "residual_rms_rad", convert_double);
    f.match_margin = field(state, "match_margin", convert_usize);
    const auto q = field(state, "attitude", doubles(4));
    f.attitude = {q[0], q[1], q[2], q[3]};
    f.sights = field(state, "sights", convert_sights);
    const auto up = field(state, "up_unit", doubles(3));
    f.up_unit = {up[0], up[1], up[2]};
    f.jd = field(state, "jd", convert_double);
    f.arcmin_per_pixel = field(state, "arcmin_per_pixel", convert_double);
    f.bodies_seen = field(state, "bodies_seen", convert_bodies);
    f.plate_scale_ratio = field(state, "plate_scale_ratio", convert_double);
    f.plate_scale_ratio_sigma = field(state, "plate_scale_ratio_sigma", convert_double);
    return f;
}

void def_fix_pickling(py::class_<PositionFix>& cls) {
    PyObject* from_state = PyDescr_NewClassMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &from_state_definition);
    if (from_state == nullptr) throw py::error_already_set();
    py::setattr(cls, "_from_state", py::reinterpret_steal<py::object>(from_state));
    // Pickled as Fix._from_state(state): the class method pickles by reference to the class.
    cls.def("__reduce__", [](py::handle self) {
        return py::make_tuple(py::getattr(py::type::handle_of(self), "_from_state"),
                              py::make_tuple(fix_state(self.cast<const PositionFix&>())));
    });
    def_identity_copies(cls, [](py::handle) {});  // no Fix exists unconstructed
}

}  // namespace stelvane::pyb
