// The Python class Camera: the lens model that the solves use, for callers who
// predict star positions or overlay diagnostics. Scalar and vectorised projections;
// NumPy arrays of numbers take a fast path that never creates per-element objects.
#include <pybind11/numpy.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/plate.hpp"
#include "py/bindings.hpp"
#include "py/camera_args.hpp"
#include "py/camera_object.hpp"
#include "py/convert.hpp"
#include "py/entry.hpp"
#include "py/errors.hpp"
#include "py/instance.hpp"

namespace stelvane::pyb {

namespace {

constexpr auto kCameraParams = params(required("focal_px"), required("cx"), required("cy"), optional("width"),
                                      optional("height"), optional("fisheye_fov_deg"), optional("k1", "0.0"),
                                      optional("k2", "0.0"), optional("k3", "0.0"), optional("k4", "0.0"));
constexpr auto kPixelToVecParams = params(required("x"), required("y"));
constexpr auto kVecToPixelParams = params(required("v"));

using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

// ---- argument forms -------------------------------------------------------------

// A conversion that did not apply: the argument is not of the form being tried.
// Only the ordinary conversion failures count; anything else (KeyboardInterrupt,
// MemoryError) propagates.
bool is_form_mismatch(const py::error_already_set& e) {
    return e.matches(PyExc_TypeError) || e.matches(PyExc_ValueError) || e.matches(PyExc_OverflowError);
}

// A NumPy array of real numbers (float, signed, unsigned or bool elements).
std::optional<py::array> numeric_array(py::handle obj) {
    if (!py::isinstance<py::array>(obj)) return std::nullopt;
    auto arr = py::reinterpret_borrow<py::array>(obj);
    const char kind = arr.dtype().kind();
    if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b') return std::nullopt;
    return arr;
}

// An array whose elements are not real numbers or Python objects (complex, text,
// dates): never a number or a sequence of numbers, so its items are not tried one by one.
bool non_real_array(py::handle obj) {
    if (!py::isinstance<py::array>(obj)) return false;
    const char kind = py::reinterpret_borrow<py::array>(obj).dtype().kind();
    return kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b' && kind != 'O';
}

// The array as C-contiguous float64, copying only when it is not already that.
std::optional<DoubleArray> as_doubles(const py::array& arr) {
    DoubleArray out = DoubleArray::ensure(arr);
    if (!out) {
        PyErr_Clear();
        return std::nullopt;
    }
    return out;
}

// A str or bytes-like object is text, never a sequence of numbers.
bool is_text(py::handle obj) {
    PyObject* p = obj.ptr();
    return PyUnicode_Check(p) || PyBytes_Check(p) || PyByteArray_Check(p);
}

std::optional<double> try_double(py::handle obj) {
    try {
        return convert_double(obj);
    } catch (const ConversionError&) {
        return std::nullopt;
    } catch (const py::error_already_set& e) {
        if (!is_form_mismatch(e)) throw;
        return std::nullopt;
    }
}

// A 1-D run of doubles: either viewed inside a float64 array or converted into `storage`.
class DoubleColumn {
public:
    explicit DoubleColumn(DoubleArray arr) : array_(std::move(arr)) {}
    explicit DoubleColumn(std::vector<double> values) : storage_(std::move(values)) {}
    std::span<const double> values() const {
        if (array_) return {array_->data(), static_cast<std::size_t>(array_->size())};
        return storage_;
    }

private:
    std::optional<DoubleArray> array_;  // a default array_t is not null but an empty array
    std::vector<double> storage_;
};

// A 1-D sequence of numbers, or nothing when `obj` is not one.
std::optional<DoubleColumn> try_double_column(py::handle obj) {
    if (auto arr = numeric_array(obj); arr && arr->ndim() == 1) {
        if (auto doubles = as_doubles(*arr)) return DoubleColumn(std::move(*doubles));
        return std::nullopt;
    }
    if (is_text(obj) || non_real_array(obj)) return std::nullopt;
    try {
        return DoubleColumn(convert_double_list(obj));
    } catch (const ConversionError&) {
        return std::nullopt;
    } catch (const py::error_already_set& e) {
        if (!is_form_mismatch(e)) throw;
        return std::nullopt;
    }
}

// Exactly three numbers (a sequence, not text), appended to `out`; false when `obj` is not that.
bool try_three_numbers(py::handle obj, std::vector<double>& out) {
    if (is_text(obj) || non_real_array(obj) || !PySequence_Check(obj.ptr())) return false;
    py::object items;
    try {
        items = sequence_items(obj);
    } catch (const ConversionError&) {
        return false;
    } catch (const py::error_already_set& e) {
        if (!is_form_mismatch(e)) throw;
        return false;
    }
    if (PySequence_Fast_GET_SIZE(items.ptr()) != 3) return false;
    PyObject** raw = PySequence_Fast_ITEMS(items.ptr());
    double xyz[3];
    for (int i = 0; i < 3; ++i) {
        const auto value = try_double(raw[i]);
        if (!value) return false;
        xyz[i] = *value;
    }
    out.insert(out.end(), xyz, xyz + 3);
    return true;
}

// A sequence of three-number sequences as a flat run of rows; nothing when `obj` is not that.
std::optional<std::vector<double>> try_rows(py::handle obj) {
    if (is_text(obj) || non_real_array(obj) || !PySequence_Check(obj.ptr())) return std::nullopt;
    py::object items;
    try {
        items = sequence_items(obj);
    } catch (const ConversionError&) {
        return std::nullopt;
    } catch (const py::error_already_set& e) {
        if (!is_form_mismatch(e)) throw;
        return std::nullopt;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.ptr());
    PyObject** raw = PySequence_Fast_ITEMS(items.ptr());
    std::vector<double> rows;
    rows.reserve(3 * static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!try_three_numbers(raw[i], rows)) return std::nullopt;
    }
    return rows;
}

// ---- projections ----------------------------------------------------------------

py::array_t<double> direction_array(const Vec3& v) {
    py::array_t<double> out(3);
    double* d = out.mutable_data();
    d[0] = v.x();
    d[1] = v.y();
    d[2] = v.z();
    return out;
}

py::object pixel_tuple(const std::optional<Pixel>& p) {
    if (!p) return py::none();
    return py::make_tuple(p->x, p->y);
}

py::object pixel_to_vec(const Camera& camera, py::handle x, py::handle y) {
    const auto sx = try_double(x);
    const auto sy = sx ? try_double(y) : std::nullopt;
    if (sx && sy) return direction_array(camera.pixel_to_vec(*sx, *sy));
    auto neither = [](const char* name) {
        refuse(std::string("x and y must both be floats, or both 1-D sequences of floats of the same length (") +
               name + " is neither)");
    };
    const auto xs = try_double_column(x);
    if (!xs) neither("x");
    const auto ys = try_double_column(y);
    if (!ys) neither("y");
    const std::span<const double> xv = xs->values();
    const std::span<const double> yv = ys->values();
    if (xv.size() != yv.size()) {
        refuse("x and y must have the same length, got " + std::to_string(xv.size()) + " and " +
               std::to_string(yv.size()));
    }
    const auto n = static_cast<py::ssize_t>(xv.size());
    py::array_t<double> out({n, py::ssize_t{3}});
    pixels_to_vecs(camera, xv, yv, {out.mutable_data(), xv.size() * 3});
    return out;
}

py::array_t<double> pixel_rows(const Camera& camera, std::span<const double> xyz) {
    const std::size_t n = xyz.size() / 3;
    py::array_t<double> out({static_cast<py::ssize_t>(n), py::ssize_t{2}});
    vecs_to_pixels(camera, xyz, {out.mutable_data(), n * 2});
    return out;
}

py::object vec_to_pixel(const Camera& camera, py::handle v) {
    // Fast path: a (3,) or (N, 3) array of numbers, read in place when it is float64.
    if (auto arr = numeric_array(v)) {
        const bool single = arr->ndim() == 1 && arr->shape(0) == 3;
        const bool rows = arr->ndim() == 2 && arr->shape(1) == 3;
        if (single || rows) {
            if (auto doubles = as_doubles(*arr)) {
                const double* d = doubles->data();
                if (single) return pixel_tuple(camera.vec_to_pixel(Vec3(d[0], d[1], d[2])));
                return pixel_rows(camera, {d, static_cast<std::size_t>(doubles->size())});
            }
        }
    }
    std::vector<double> xyz;
    if (try_three_numbers(v, xyz)) return pixel_tuple(camera.vec_to_pixel(Vec3(xyz[0], xyz[1], xyz[2])));
    if (auto rows = try_rows(v)) return pixel_rows(camera, *rows);
    refuse("v must be three floats (one camera-frame direction) or an (N, 3) array of them");
}

// ---- the class --------------------------------------------------------------------

std::string kind_text(const CameraObject& self) {
    const Camera& c = self.camera;
    const std::string fov = format_fixed(self.fisheye_fov_deg.value_or(std::nan("")), 1);
    switch (c.kind) {
        case Projection::Pinhole: return "pinhole";
        case Projection::EquidistantFisheye: return "equidistant fisheye fov=" + fov + " deg";
        case Projection::DistortedFisheye:
            return "distorted fisheye fov=" + fov + " deg k=(" + format_number(c.k1) + ", " + format_number(c.k2) +
                   ", " + format_number(c.k3) + ", " + format_number(c.k4) + ")";
    }
    return "";
}

std::string camera_repr(const CameraObject& self) {
    const Camera& c = self.camera;
    return "Camera(" + kind_text(self) + ", focal_px=" + format_fixed(c.focal_px, 4) +
           ", cx=" + format_fixed(c.cx, 4) + ", cy=" + format_fixed(c.cy, 4) + ")";
}

// The model's defining values: two cameras with equal values project identically.
py::tuple camera_key(const Camera& c) {
    return py::make_tuple(static_cast<int>(c.kind), c.half_fov_rad, c.k1, c.k2, c.k3, c.k4, c.focal_px, c.cx,
                          c.cy);
}

CameraObject construct(const Bound& a) {
    CameraArgs args;
    args.focal_px = to_opt_double(a[kCameraParams["focal_px"]]);
    args.lens.cx = to_double(a[kCameraParams["cx"]]);
    args.lens.cy = to_double(a[kCameraParams["cy"]]);
    const auto width = to_opt_u32(a[kCameraParams["width"]]);
    const auto height = to_opt_u32(a[kCameraParams["height"]]);
    args.lens.fisheye_fov_deg = to_opt_double(a[kCameraParams["fisheye_fov_deg"]]);
    args.lens.k1 = to_double(a[kCameraParams["k1"]]);
    args.lens.k2 = to_double(a[kCameraParams["k2"]]);
    args.lens.k3 = to_double(a[kCameraParams["k3"]]);
    args.lens.k4 = to_double(a[kCameraParams["k4"]]);
    return CameraObject{camera_from_args(args, width, height), args.lens.fisheye_fov_deg};
}

const char* const kCameraDoc =
    "The lens model the solves use: pixels to camera-frame unit directions and back.\n\n"
    "The camera frame has +x along increasing pixel column, +y along increasing pixel row and\n"
    "+z along the optical axis towards the scene; (cx, cy) is the principal point in pixels.\n\n"
    "- fisheye_fov_deg=None: a pinhole (rectilinear) lens of focal length focal_px pixels.\n"
    "- fisheye_fov_deg set, k1..k4 all zero: an ideal equidistant fisheye (r = f * theta) whose\n"
    "  field fills the shorter image dimension; pass focal_px=None. width and height default to\n"
    "  2 * cx and 2 * cy.\n"
    "- fisheye_fov_deg set, some k non-zero: a calibrated fisheye with\n"
    "  r = focal_px * (theta + k1 theta^3 + k2 theta^5 + k3 theta^7 + k4 theta^9).\n\n"
    "A fisheye sees directions strictly inside half its full field. Immutable: copy.copy and\n"
    "copy.deepcopy return the camera itself, and a pickled copy projects exactly as the original.\n\n"
    ">>> cam = stelvane.Camera(1000, 320, 240)\n"
    ">>> cam.vec_to_pixel([0.0, 0.0, 1.0])\n"
    "(320.0, 240.0)\n";

// The pickled state: (effective_focal_px, cx, cy, fisheye_fov_deg or None, k1, k2, k3, k4). The
// focal is the one in use, so an ideal fisheye needs no image extent to be rebuilt.
py::tuple camera_state(const CameraObject& self) {
    const Camera& c = self.camera;
    return py::make_tuple(c.focal_px, c.cx, c.cy, self.fisheye_fov_deg ? py::cast(*self.fisheye_fov_deg) : py::none(),
                          c.k1, c.k2, c.k3, c.k4);
}

double state_double(const py::tuple& state, std::size_t k) {
    try {
        return convert_double(state[k]);
    } catch (const ConversionError& e) {
        throw py::type_error("Camera state item " + std::to_string(k) + ": " + e.reason);
    }
}

// The camera of a pickled state: the constructor's projection choice (Camera::from_fov),
// with the focal in use taken as stored rather than derived again.
CameraObject camera_from_state(const py::tuple& state) {
    if (state.size() != 8) {
        throw py::type_error("a Camera state is (effective_focal_px, cx, cy, fisheye_fov_deg, k1, k2, k3, k4)");
    }
    std::optional<double> fov;
    if (!state[3].is_none()) fov = state_double(state, 3);
    Camera c = Camera::from_fov(0, 0, fov, 0.0, state_double(state, 1), state_double(state, 2), state_double(state, 4),
                                state_double(state, 5), state_double(state, 6), state_double(state, 7));
    c.focal_px = state_double(state, 0);
    return CameraObject{c, fov};
}

}  // namespace

namespace {

// The camera of an instance of the class; `Camera.__new__(Camera)` alone (without
// __init__) leaves it unconstructed, which is refused rather than read. Methods take
// self as a plain handle so that nothing reads the value before this check.
const CameraObject& camera_object(py::handle self) {
    if (!py::isinstance<CameraObject>(self)) {
        throw py::type_error("descriptor requires a 'stelvane.Camera' object");
    }
    return initialised_instance<CameraObject>(
        self, "this Camera was never constructed: create it with stelvane.Camera(focal_px, cx, cy, ...)");
}

}  // namespace

const Camera* camera_of(py::handle obj) {
    if (!py::isinstance<CameraObject>(obj)) return nullptr;
    return &camera_object(obj).camera;
}

py::object camera_pixel_to_vec(py::handle self, const Bound& a) {
    return pixel_to_vec(camera_object(self).camera, a[kPixelToVecParams["x"]], a[kPixelToVecParams["y"]]);
}

py::object camera_vec_to_pixel(py::handle self, const Bound& a) {
    return vec_to_pixel(camera_object(self).camera, a[kVecToPixelParams["v"]]);
}

void bind_camera(py::module_& m) {
    const Signature init("Camera", kCameraParams);
    py::class_<CameraObject> cls(m, "Camera", class_docstring(init, kCameraDoc).c_str());
    def_init(cls, init, "Build the camera; see the class docstring.\n", construct);
    cls.def_property_readonly(
        "cx", [](py::handle self) { return camera_object(self).camera.cx; }, "Principal point column, pixels.");
    cls.def_property_readonly(
        "cy", [](py::handle self) { return camera_object(self).camera.cy; }, "Principal point row, pixels.");
    cls.def_property_readonly(
        "effective_focal_px", [](py::handle self) { return camera_object(self).camera.focal_px; },
        "The radial scale actually used, pixels: focal_px as passed for a pinhole or a calibrated\n"
        "fisheye, min(width, height) / 2 / half-field (radians) for the ideal equidistant fisheye.");
    cls.def_property_readonly(
        "arcmin_per_pixel", [](py::handle self) { return camera_object(self).camera.arcmin_per_pixel(); },
        "Angular size of one pixel on the boresight, arcminutes.");
    cls.def_property_readonly(
        "default_sigma_arcmin", [](py::handle self) { return default_sigma_arcmin(camera_object(self).camera); },
        "The match tolerance resolve_fix uses when sigma_arcmin is unset: half a pixel floored at one\n"
        "arcminute, max(0.5 * arcmin_per_pixel, 1.0).");
    def_method<camera_pixel_to_vec>(
        cls, Signature("Camera.pixel_to_vec", kPixelToVecParams),
        "Camera-frame unit direction of the pixel position (x, y) (column, row).\n\n"
        "Scalar x and y give a (3,) float64 array; two 1-D sequences of equal length N give an\n"
        "(N, 3) array, one row per pixel. No field limit applies: a pixel outside a fisheye's lens\n"
        "circle maps to an angle beyond the half field.\n");
    def_method<camera_vec_to_pixel>(
        cls, Signature("Camera.vec_to_pixel", kVecToPixelParams),
        "Pixel position (x, y) of the camera-frame direction v (used as given, not normalised).\n\n"
        "Three numbers give a tuple of floats, or None when the direction is outside the field (a\n"
        "pinhole needs v.z > 1e-12, a fisheye an angle strictly inside half its field). An (N, 3)\n"
        "array or a sequence of triples gives an (N, 2) float64 array whose out-of-field rows are\n"
        "NaN. A NaN component gives a NaN pixel, not None.\n");
    cls.def("__repr__", [](py::handle self) { return camera_repr(camera_object(self)); });
    cls.def(
        "__eq__",
        [](py::handle self, py::object other) -> py::object {
            const CameraObject& mine = camera_object(self);
            const Camera* o = camera_of(other);
            if (o == nullptr) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
            return py::bool_(camera_key(mine.camera).equal(camera_key(*o)));
        },
        py::is_operator());
    cls.def("__hash__", [](py::handle self) { return py::hash(camera_key(camera_object(self).camera)); });
    cls.def(py::pickle([](py::handle self) { return camera_state(camera_object(self)); }, &camera_from_state));
    def_identity_copies(cls, [](py::handle self) { camera_object(self); });
}

}  // namespace stelvane::pyb
