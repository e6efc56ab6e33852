// calibrate_camera and the Calibration class: the lens fitted to a camera's own star
// frames, its uncertainty, its residuals, and its JSON file (which also pickles it).
#include <pybind11/numpy.h>

#include <cmath>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/calibrate.hpp"
#include "core/units.hpp"
#include "py/bindings.hpp"
#include "py/camera_args.hpp"
#include "py/camera_object.hpp"
#include "py/catalog_object.hpp"
#include "py/convert.hpp"
#include "py/entry.hpp"
#include "py/errors.hpp"
#include "py/instance.hpp"
#include "py/intake.hpp"
#include "py/solve_args.hpp"

namespace stelvane::pyb {

namespace {

constexpr auto kCalibrateParams =
    params(required("images"), required("catalog"), optional("focal_px"), optional("cx"), optional("cy"),
           optional("fisheye_fov_deg"), optional("k1", "0.0"), optional("k2", "0.0"), optional("k3", "0.0"),
           optional("k4", "0.0"), optional("scale_tolerance", "0.05"), optional("times_utc"), optional("up_cam"),
           optional("width"), optional("height"), optional("fit_distortion"), optional("centre_tolerance_px"),
           optional("sigma_arcmin"), optional("psf_sigma_px", "1.0"), optional("max_stars", "300"),
           optional("max_residual_rms_px", "1.0"));
constexpr auto kNoParams = ParamList<0>{};
constexpr auto kTextParams = params(required("text"));
constexpr auto kPathParams = params(required("path"));

// The module-level function that pickles find by name to rebuild a Calibration from JSON.
constexpr const char* kUnpickler = "_calibration_from_json";

// The JSON file's identification.
constexpr const char* kFormatName = "stelvane.Calibration";
constexpr int kFormatVersion = 1;

// ---- frames -------------------------------------------------------------------

// A frame as given: an image copied at intake, or a centroid list.
using OwnedFrame = std::variant<OwnedImage, std::vector<Centroid>>;

// A 2-D uint8 or uint16 array is an image; anything else is read as (x, y, flux) triples.
bool is_image(py::handle obj) {
    if (!py::isinstance<py::array>(obj)) return false;
    const auto arr = py::reinterpret_borrow<py::array>(obj);
    const py::dtype t = arr.dtype();
    return arr.ndim() == 2 && (t.is(py::dtype::of<std::uint8_t>()) || t.is(py::dtype::of<std::uint16_t>()));
}

std::vector<OwnedFrame> frames_of(const Argument& images) {
    const py::object items = convert_argument(images.name, [&] { return sequence_items(images); });
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.ptr());
    std::vector<OwnedFrame> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const py::handle item = PySequence_Fast_GET_ITEM(items.ptr(), i);
        if (is_image(item)) {
            out.emplace_back(extract_u16_image(item));
            continue;
        }
        out.emplace_back(convert_argument(images.name, [&] {
            try {
                return convert_centroids(item);
            } catch (const ConversionError& e) {
                throw ConversionError{"frame " + std::to_string(i) +
                                      " is neither a 2-D uint8/uint16 image nor (x, y, flux) centroids: " + e.reason};
            }
        }));
    }
    if (out.empty()) refuse("images must hold at least one frame (an image or a list of centroids)");
    return out;
}

// One value per frame: nothing, or a sequence of exactly `n` items converted by `one`.
template <class T, class One>
std::vector<std::optional<T>> per_frame(const Argument& arg, std::size_t n, One one) {
    std::vector<std::optional<T>> out(n);
    if (arg.is_none()) return out;
    const py::object items = convert_argument(arg.name, [&] { return sequence_items(arg); });
    const auto got = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.ptr()));
    if (got != n) {
        refuse(std::string(arg.name) + " must hold one entry per frame: got " + std::to_string(got) + " for " +
               std::to_string(n) + " frame" + (n == 1 ? "" : "s"));
    }
    for (std::size_t i = 0; i < n; ++i) out[i] = one(PySequence_Fast_GET_ITEM(items.ptr(), static_cast<Py_ssize_t>(i)));
    return out;
}

// up_cam: one vector for every frame, or one per frame (a sequence whose items are sequences).
std::vector<std::optional<Vec3>> verticals(const Argument& arg, std::size_t n) {
    const auto vec = [](const std::array<double, 3>& v) { return Vec3(v[0], v[1], v[2]); };
    if (arg.is_none()) return std::vector<std::optional<Vec3>>(n);
    const py::object items = convert_argument(arg.name, [&] { return sequence_items(arg); });
    const Py_ssize_t got = PySequence_Fast_GET_SIZE(items.ptr());
    const bool nested = got > 0 && PySequence_Check(PySequence_Fast_GET_ITEM(items.ptr(), 0)) &&
                        !PyUnicode_Check(PySequence_Fast_GET_ITEM(items.ptr(), 0));
    if (!nested) return std::vector<std::optional<Vec3>>(n, vec(to_vec3(arg)));
    return per_frame<Vec3>(arg, n, [&](py::handle item) { return vec(to_vec3(item, arg.name)); });
}

// The frames' extent: the images' own, else width and height, else twice cx and cy.
std::pair<std::uint32_t, std::uint32_t> frame_extent(const std::vector<OwnedFrame>& frames,
                                                     std::optional<std::uint32_t> width,
                                                     std::optional<std::uint32_t> height, std::optional<double> cx,
                                                     std::optional<double> cy) {
    for (const OwnedFrame& f : frames) {
        if (const auto* image = std::get_if<OwnedImage>(&f)) {
            return {width.value_or(saturate_u32(image->width)), height.value_or(saturate_u32(image->height))};
        }
    }
    if (!width && !cx) refuse("centroid frames carry no frame size: pass width and height (or cx and cy)");
    if (!height && !cy) refuse("centroid frames carry no frame size: pass width and height (or cx and cy)");
    return {width ? *width : derived_extent("width", "cx", *cx), height ? *height : derived_extent("height", "cy", *cy)};
}

double in_range(double value, double low, double high, const char* name, const char* what) {
    if (!(value > low && value <= high)) {
        refuse(std::string(name) + " must be " + what + " (got " + format_number(value) + ")");
    }
    return value;
}

// The engine's views of the owned frames, with their instants and verticals.
std::vector<CalibrationFrame> frame_views(const std::vector<OwnedFrame>& owned,
                                          const std::vector<std::optional<double>>& jds,
                                          const std::vector<std::optional<Vec3>>& ups) {
    std::vector<CalibrationFrame> frames;
    frames.reserve(owned.size());
    for (std::size_t i = 0; i < owned.size(); ++i) {
        CalibrationFrame f;
        if (const auto* image = std::get_if<OwnedImage>(&owned[i])) {
            f.source = image->view();
        } else {
            f.source = std::span<const Centroid>(std::get<std::vector<Centroid>>(owned[i]));
        }
        f.jd = jds[i];
        f.up_cam = ups[i];
        frames.push_back(f);
    }
    return frames;
}

// A first guess the search could start from: a positive focal and a finite centre. (A solve
// takes whatever it is given; a calibration searches around the guess, so a NaN would only
// surface as "no frame identified".)
void check_guess(std::optional<double> focal_px, std::optional<double> cx, std::optional<double> cy) {
    if (focal_px && !(std::isfinite(*focal_px) && *focal_px > 0.0)) {
        refuse("focal_px must be a positive number of pixels (got " + format_number(*focal_px) + ")");
    }
    for (const auto& [name, value] : {std::pair{"cx", cx}, std::pair{"cy", cy}}) {
        if (value && !std::isfinite(*value)) refuse(std::string(name) + " must be finite (got " + format_number(*value) + ")");
    }
}

// The numeric options' ranges.
void check_tuning(const CalibrationSettings& s) {
    in_range(s.scale_tolerance, 0.0, 0.5, "scale_tolerance", "in (0, 0.5], a fraction of the focal");
    in_range(s.max_residual_rms_px, 0.0, INFINITY, "max_residual_rms_px", "positive");
    if (s.centre_tolerance_px && !(*s.centre_tolerance_px >= 0.0 && std::isfinite(*s.centre_tolerance_px))) {
        refuse("centre_tolerance_px must be finite and at least 0 (got " + format_number(*s.centre_tolerance_px) + ")");
    }
    if (s.sigma_arcmin && !(*s.sigma_arcmin > 0.0 && *s.sigma_arcmin <= 60.0)) {
        refuse("sigma_arcmin must be in (0, 60] arcminutes (got " + format_number(*s.sigma_arcmin) + ")");
    }
    if (s.max_stars < 5) refuse("max_stars must be at least 5 (got " + std::to_string(s.max_stars) + ")");
}

py::object calibrate_entry(const Bound& a) {
    const auto& P = kCalibrateParams;
    const std::vector<OwnedFrame> owned = frames_of(a[P["images"]]);
    const std::shared_ptr<const Catalog> catalog = share_catalog(a[P["catalog"]]);
    CameraArgs lens;
    lens.focal_px = to_opt_double(a[P["focal_px"]]);
    const std::optional<double> cx = to_opt_double(a[P["cx"]]);
    const std::optional<double> cy = to_opt_double(a[P["cy"]]);
    lens.lens.fisheye_fov_deg = to_opt_double(a[P["fisheye_fov_deg"]]);
    lens.lens.k1 = to_double(a[P["k1"]]);
    lens.lens.k2 = to_double(a[P["k2"]]);
    lens.lens.k3 = to_double(a[P["k3"]]);
    lens.lens.k4 = to_double(a[P["k4"]]);
    CalibrationSettings settings;
    settings.scale_tolerance = to_double(a[P["scale_tolerance"]]);
    const std::size_t n = owned.size();
    const std::vector<std::optional<double>> jds = per_frame<double>(
        a[P["times_utc"]], n, [&](py::handle t) { return utc_to_jd(t, P["times_utc"].name); });
    const std::vector<std::optional<Vec3>> ups = verticals(a[P["up_cam"]], n);
    const std::optional<std::uint32_t> width = to_opt_u32(a[P["width"]]);
    const std::optional<std::uint32_t> height = to_opt_u32(a[P["height"]]);
    if (!a[P["fit_distortion"]].is_none()) settings.fit_distortion = to_bool(a[P["fit_distortion"]]);
    settings.centre_tolerance_px = to_opt_double(a[P["centre_tolerance_px"]]);
    settings.sigma_arcmin = to_opt_double(a[P["sigma_arcmin"]]);
    const double psf_sigma_px = to_double(a[P["psf_sigma_px"]]);
    settings.max_stars = to_usize(a[P["max_stars"]]);
    settings.max_residual_rms_px = to_double(a[P["max_residual_rms_px"]]);

    // Refusals, after every conversion: the lens first, as in a solve, then the frame size
    // and the tuning.
    settings.guess = lens.chosen();
    check_guess(lens.focal_px, cx, cy);
    const auto [w, h] = frame_extent(owned, width, height, cx, cy);
    settings.width = w;
    settings.height = h;
    settings.guess.cx = cx.value_or(0.5 * w);
    settings.guess.cy = cy.value_or(0.5 * h);
    settings.psf_sigma_px = check_psf_sigma_px(psf_sigma_px);
    check_tuning(settings);

    const std::vector<CalibrationFrame> frames = frame_views(owned, jds, ups);
    std::optional<Result<LensCalibration>> result;
    {
        py::gil_scoped_release release;
        result.emplace(calibrate_lens(frames, *catalog, settings));
    }
    return py::cast(unwrap(std::move(*result)));
}

// ---- the result class -------------------------------------------------------------

const LensCalibration& calibration_of(py::handle self) { return self.cast<const LensCalibration&>(); }

py::tuple k_tuple(const LensSpec& lens) { return py::make_tuple(lens.k1, lens.k2, lens.k3, lens.k4); }

py::object optional_float(const std::optional<double>& v) { return v ? py::object(py::float_(*v)) : py::none(); }

py::dict solve_kwargs(const LensCalibration& c) {
    py::dict d;
    d["focal_px"] = c.lens.focal_px;
    d["cx"] = c.lens.cx;
    d["cy"] = c.lens.cy;
    d["fisheye_fov_deg"] = optional_float(c.lens.fisheye_fov_deg);
    d["k1"] = c.lens.k1;
    d["k2"] = c.lens.k2;
    d["k3"] = c.lens.k3;
    d["k4"] = c.lens.k4;
    return d;
}

py::array_t<double> covariance_array(const LensCalibration& c) {
    const auto n = static_cast<py::ssize_t>(c.parameters.size());
    py::array_t<double> out({n, n});
    std::copy(c.covariance.begin(), c.covariance.end(), out.mutable_data());
    return out;
}

py::tuple parameter_names(const LensCalibration& c) {
    py::tuple out(c.parameters.size());
    for (std::size_t i = 0; i < c.parameters.size(); ++i) out[i] = py::str(lens_parameter_name(c.parameters[i]));
    return out;
}

py::tuple standard_errors(const LensCalibration& c) {
    const std::size_t n = c.parameters.size();
    py::tuple out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = py::float_(std::sqrt(c.covariance[i * n + i]));
    return out;
}

// The stars as a NumPy record array with fields frame, hr, x, y, dx, dy.
py::object residual_records(const std::vector<CalibratedStar>& stars) {
    const py::module_ np = py::module_::import("numpy");
    py::list fields;
    for (const char* name : {"frame", "hr"}) fields.append(py::make_tuple(name, "<i8"));
    for (const char* name : {"x", "y", "dx", "dy"}) fields.append(py::make_tuple(name, "<f8"));
    py::object out = np.attr("zeros")(stars.size(), np.attr("dtype")(fields));
    const auto column = [&](const char* name, auto get) {
        py::array_t<double> values(static_cast<py::ssize_t>(stars.size()));
        double* d = values.mutable_data();
        for (std::size_t i = 0; i < stars.size(); ++i) d[i] = get(stars[i]);
        out[py::str(name)] = values;
    };
    column("frame", [](const CalibratedStar& s) { return double(s.frame); });
    column("hr", [](const CalibratedStar& s) { return double(s.hr); });
    column("x", [](const CalibratedStar& s) { return s.x; });
    column("y", [](const CalibratedStar& s) { return s.y; });
    column("dx", [](const CalibratedStar& s) { return s.dx; });
    column("dy", [](const CalibratedStar& s) { return s.dy; });
    return out;
}

std::size_t star_count(const LensCalibration& c) { return c.stars.size(); }

std::string calibration_repr(const LensCalibration& c) {
    const std::size_t n_frames = static_cast<std::size_t>(
        std::count_if(c.frame_stars.begin(), c.frame_stars.end(), [](std::size_t s) { return s > 0; }));
    std::string kind = "pinhole";
    if (c.lens.fisheye_fov_deg) {
        kind = "calibrated fisheye fov=" + format_fixed(*c.lens.fisheye_fov_deg, 1) + " deg k=(" +
               format_number(c.lens.k1) + ", " + format_number(c.lens.k2) + ", " + format_number(c.lens.k3) + ", " +
               format_number(c.lens.k4) + ")";
    }
    return "Calibration(" + kind + ", focal_px=" + format_fixed(c.lens.focal_px, 3) +
           ", cx=" + format_fixed(c.lens.cx, 3) + ", cy=" + format_fixed(c.lens.cy, 3) +
           ", residual_rms_px=" + format_fixed(c.residual_rms_px, 3) + ", " + std::to_string(star_count(c)) +
           " stars in " + std::to_string(n_frames) + " frame" + (n_frames == 1 ? "" : "s") + ")";
}

// ---- JSON -------------------------------------------------------------------------

py::dict star_columns(const std::vector<CalibratedStar>& stars) {
    py::list frame, hr, x, y, dx, dy;
    for (const CalibratedStar& s : stars) {
        frame.append(s.frame);
        hr.append(s.hr);
        x.append(s.x);
        y.append(s.y);
        dx.append(s.dx);
        dy.append(s.dy);
    }
    py::dict d;
    d["frame"] = frame;
    d["hr"] = hr;
    d["x"] = x;
    d["y"] = y;
    d["dx"] = dx;
    d["dy"] = dy;
    return d;
}

py::dict state_of(const LensCalibration& c) {
    py::dict d;
    d["format"] = kFormatName;
    d["version"] = kFormatVersion;
    d["width"] = c.width;
    d["height"] = c.height;
    d["focal_px"] = c.lens.focal_px;
    d["cx"] = c.lens.cx;
    d["cy"] = c.lens.cy;
    d["fisheye_fov_deg"] = optional_float(c.lens.fisheye_fov_deg);
    d["k"] = py::list(k_tuple(c.lens));
    py::list names, rows;
    const std::size_t n = c.parameters.size();
    for (std::size_t i = 0; i < n; ++i) {
        names.append(lens_parameter_name(c.parameters[i]));
        py::list row;
        for (std::size_t j = 0; j < n; ++j) row.append(c.covariance[i * n + j]);
        rows.append(row);
    }
    d["parameter_names"] = names;
    d["covariance"] = rows;
    d["residual_rms_px"] = c.residual_rms_px;
    d["n_rejected"] = c.n_rejected;
    py::list counts;
    for (std::size_t s : c.frame_stars) counts.append(s);
    d["frame_star_counts"] = counts;
    d["residuals"] = star_columns(c.stars);
    d["initial_residuals"] = star_columns(c.initial);
    return d;
}

// Reads a saved state back, refusing anything that is not one.
class StateReader {
public:
    explicit StateReader(py::handle state) {
        if (!py::isinstance<py::dict>(state)) fail("the top level is not an object");
        state_ = py::reinterpret_borrow<py::dict>(state);
    }

    py::handle field(const char* key) const {
        if (!state_.contains(key)) fail(std::string("no '") + key + "' field");
        return state_[key];
    }
    double number(py::handle v, const std::string& what) const {
        try {
            if (PyBool_Check(v.ptr())) throw ConversionError{"a bool"};
            return convert_double(v);
        } catch (const ConversionError&) {
        } catch (const py::error_already_set&) {
        }
        fail(what + " is not a number");
    }
    double number(const char* key) const { return number(field(key), std::string("'") + key + "'"); }
    std::size_t count(py::handle v, const std::string& what) const {
        const double d = number(v, what);
        if (!(d >= 0.0 && d == std::floor(d) && d < 4294967296.0)) fail(what + " is not a whole number >= 0");
        return static_cast<std::size_t>(d);
    }
    py::list list(py::handle v, const std::string& what, std::optional<std::size_t> length = std::nullopt) const {
        if (!py::isinstance<py::list>(v)) fail(what + " is not a list");
        auto l = py::reinterpret_borrow<py::list>(v);
        if (length && l.size() != *length) {
            fail(what + " holds " + std::to_string(l.size()) + " items, not " + std::to_string(*length));
        }
        return l;
    }
    std::vector<CalibratedStar> stars(const char* key) const {
        const py::handle columns = field(key);
        if (!py::isinstance<py::dict>(columns)) fail(std::string("'") + key + "' is not an object");
        const auto d = py::reinterpret_borrow<py::dict>(columns);
        const auto column = [&](const char* name) {
            if (!d.contains(name)) fail(std::string("'") + key + "' has no '" + name + "' column");
            return list(d[name], std::string("'") + key + "." + name + "'");
        };
        const py::list frame = column("frame"), hr = column("hr"), x = column("x"), y = column("y"),
                       dx = column("dx"), dy = column("dy");
        const std::size_t n = frame.size();
        for (const py::list& c : {hr, x, y, dx, dy}) {
            if (c.size() != n) fail(std::string("the columns of '") + key + "' differ in length");
        }
        std::vector<CalibratedStar> out(n);
        for (std::size_t i = 0; i < n; ++i) {
            const std::string at = std::string("'") + key + "' row " + std::to_string(i);
            out[i] = {count(frame[i], at), static_cast<std::uint32_t>(count(hr[i], at)), number(x[i], at),
                      number(y[i], at), number(dx[i], at), number(dy[i], at)};
        }
        return out;
    }

    [[noreturn]] static void fail(const std::string& why) { refuse("not a stelvane calibration: " + why); }

private:
    py::dict state_;
};

LensParameter parameter_named(const std::string& name) {
    for (std::size_t p = 0; p < kLensParameterCount; ++p) {
        if (name == lens_parameter_name(static_cast<LensParameter>(p))) return static_cast<LensParameter>(p);
    }
    StateReader::fail("unknown parameter name '" + name + "'");
}

LensCalibration calibration_from_state(py::handle state) {
    const StateReader r(state);
    const py::handle format = r.field("format");
    if (!py::isinstance<py::str>(format) || format.cast<std::string>() != kFormatName) {
        r.fail(std::string("'format' is not \"") + kFormatName + "\"");
    }
    if (r.count(r.field("version"), "'version'") != kFormatVersion) {
        r.fail("version " + std::to_string(r.count(r.field("version"), "'version'")) + " is not " +
               std::to_string(kFormatVersion));
    }
    LensCalibration c;
    c.width = static_cast<std::uint32_t>(r.count(r.field("width"), "'width'"));
    c.height = static_cast<std::uint32_t>(r.count(r.field("height"), "'height'"));
    c.lens.focal_px = r.number("focal_px");
    c.lens.cx = r.number("cx");
    c.lens.cy = r.number("cy");
    if (!r.field("fisheye_fov_deg").is_none()) c.lens.fisheye_fov_deg = r.number("fisheye_fov_deg");
    const py::list k = r.list(r.field("k"), "'k'", 4);
    c.lens.k1 = r.number(k[0], "'k'");
    c.lens.k2 = r.number(k[1], "'k'");
    c.lens.k3 = r.number(k[2], "'k'");
    c.lens.k4 = r.number(k[3], "'k'");
    if (!(std::isfinite(c.lens.focal_px) && c.lens.focal_px > 0.0)) r.fail("'focal_px' is not a positive number");
    if (c.lens.fisheye_fov_deg && c.lens.k1 == 0.0 && c.lens.k2 == 0.0 && c.lens.k3 == 0.0 && c.lens.k4 == 0.0) {
        r.fail("a fisheye calibration needs a non-zero k");
    }
    const py::list names = r.list(r.field("parameter_names"), "'parameter_names'");
    for (const py::handle name : names) {
        if (!py::isinstance<py::str>(name)) r.fail("'parameter_names' holds a non-string");
        const LensParameter p = parameter_named(name.cast<std::string>());
        if (!c.parameters.empty() && !(c.parameters.back() < p)) r.fail("'parameter_names' is not in parameter order");
        c.parameters.push_back(p);
    }
    const std::size_t n = c.parameters.size();
    const py::list rows = r.list(r.field("covariance"), "'covariance'", n);
    for (std::size_t i = 0; i < n; ++i) {
        const py::list row = r.list(rows[i], "'covariance' row " + std::to_string(i), n);
        for (std::size_t j = 0; j < n; ++j) c.covariance.push_back(r.number(row[j], "'covariance'"));
    }
    c.residual_rms_px = r.number("residual_rms_px");
    c.n_rejected = r.count(r.field("n_rejected"), "'n_rejected'");
    for (const py::handle s : r.list(r.field("frame_star_counts"), "'frame_star_counts'")) {
        c.frame_stars.push_back(r.count(s, "'frame_star_counts'"));
    }
    c.stars = r.stars("residuals");
    c.initial = r.stars("initial_residuals");
    return c;
}

py::module_ json() { return py::module_::import("json"); }

std::string to_json(const LensCalibration& c) {
    return json().attr("dumps")(state_of(c), py::arg("indent") = 1).cast<std::string>() + "\n";
}

LensCalibration from_json(const std::string& text) {
    py::object state;
    try {
        state = json().attr("loads")(text);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        StateReader::fail("not JSON (" + std::string(py::str(e.value())) + ")");
    }
    return calibration_from_state(state);
}

py::object path_of(py::handle path) { return py::module_::import("pathlib").attr("Path")(path); }

// ---- method bodies ---------------------------------------------------------------------

py::object method_solve_kwargs(py::handle self, const Bound&) { return solve_kwargs(calibration_of(self)); }
py::object method_to_json(py::handle self, const Bound&) { return py::str(to_json(calibration_of(self))); }
py::object method_save(py::handle self, const Bound& a) {
    path_of(a[kPathParams["path"]]).attr("write_text")(to_json(calibration_of(self)), py::arg("encoding") = "utf-8");
    return py::none();
}
py::object method_reduce(py::handle self, const Bound&) {
    const py::object loader = py::module_::import("stelvane._lib").attr(kUnpickler);
    return py::make_tuple(loader, py::make_tuple(to_json(calibration_of(self))));
}

// A static method of `cls` whose docstring starts with its generated signature line.
template <class Body>
void def_static(py::class_<LensCalibration>& cls, const Signature& signature, std::string_view doc_body, Body body) {
    const std::string name = signature.short_name();
    const std::string doc = signature.docstring(name, SelfParam::None, doc_body);
    cls.def_static(
        name.c_str(),
        [signature, body](const py::args& args, const py::kwargs& kwargs) {
            return run_entry(signature.bind(args, kwargs), body);
        },
        doc.c_str());
}

const char* const kCalibrateDoc =
    "Calibrate the camera's lens from its own star frames.\n\n"
    "images is a sequence of frames from one camera, any pointings: 2-D uint8/uint16 images (stars are\n"
    "detected in them) or (N, 3) sequences of (x, y, flux) centroids detected elsewhere. The lens\n"
    "arguments are the first guess, in the forms resolve_fix takes: focal_px for a pinhole; fisheye_fov_deg\n"
    "alone for the ideal equidistant fisheye; fisheye_fov_deg, focal_px and k1..k4 for a calibrated\n"
    "fisheye. cx and cy default to the frame centre. The guess's focal may be off by scale_tolerance\n"
    "(a fraction, default 5 %) and its centre by centre_tolerance_px (default 2 % of the larger frame side).\n\n"
    "The stars of every frame are identified without trusting the guess's scale, then the focal, the\n"
    "principal point and, for a fisheye (or fit_distortion=True), k1..k4 are fitted by robust least\n"
    "squares over every identified star of every frame, one attitude per frame; outliers (hot pixels,\n"
    "planets, blended doubles) are rejected and fainter stars brought in with the improved lens. With\n"
    "fit_distortion=True a pinhole guess is fitted as the calibrated-fisheye polynomial, which describes a\n"
    "pinhole lens with radial distortion up to fields of about 60 degrees. Every frame's identification\n"
    "is finally checked by the solve's own matcher (chance and mirror tests) at the fitted lens.\n\n"
    "times_utc (one instant per frame: a 6-tuple or an aware datetime) puts the stars at their apparent\n"
    "places of date, with annual aberration; up_cam (one vertical for all frames, or one per frame) bends\n"
    "them by refraction and leaves stars below 10 degrees out. Without them the fitted scale carries their\n"
    "bias (see the manual). Centroid frames need width and height (or cx and cy) for the frame size.\n"
    "sigma_arcmin sets the identification tolerance as in resolve_fix. Stars are found in images by the\n"
    "matched-filter detector of detect_centroids_matched with psf_sigma_px, which reaches fainter stars\n"
    "than resolve_fix's; max_stars limits the detections used per frame; max_residual_rms_px is the\n"
    "largest residual accepted.\n\n"
    "Returns a Calibration; pass cal.solve_kwargs() to resolve_fix. Raises CalibrationError (with .reason)\n"
    "when no frame is identified, too few stars remain, the stars crowd the centre (scale and distortion\n"
    "unobservable) or the residuals are too large for the lens model; DegenerateUpError for an up_cam with\n"
    "no direction, InvalidArgumentError for a guess that is not a positive focal and a finite centre. The\n"
    "interpreter lock is released while the frames are analysed.\n";

const char* const kCalibrationDoc =
    "A camera lens fitted to the stars, from calibrate_camera or Calibration.load.\n\n"
    "focal_px, cx, cy, fisheye_fov_deg and k describe the fitted lens; camera is it as a stelvane.Camera\n"
    "and solve_kwargs() as the keyword arguments of resolve_fix, resolve_from_centroids and\n"
    "resolve_from_frames. parameter_names, covariance and standard_errors give the fitted parameters'\n"
    "uncertainty (pixels for focal_px, cx, cy; the k's dimensionless). residuals holds every star used\n"
    "with its measured-minus-predicted pixel (frame, hr, x, y, dx, dy); initial_residuals the same stars\n"
    "under the first-guess lens. save(path) writes JSON that Calibration.load(path) reads back; a\n"
    "Calibration pickles through the same JSON.\n";

}  // namespace

void bind_calibrate_camera(py::module_& m) {
    def_function(m, Signature("calibrate_camera", kCalibrateParams, KeywordOnlyFrom{2}), kCalibrateDoc,
                 calibrate_entry);
}

void bind_calibration(py::module_& m) {
    py::class_<LensCalibration> cls(m, "Calibration", kCalibrationDoc);
    forbid_construction(cls);
    cls.def_property_readonly(
        "camera",
        [](const LensCalibration& c) {
            return py::cast(CameraObject{c.lens.camera(c.width, c.height), c.lens.fisheye_fov_deg});
        },
        "The fitted lens as a stelvane.Camera.");
    cls.def_property_readonly("focal_px", [](const LensCalibration& c) { return c.lens.focal_px; },
                              "Fitted radial scale, pixels: the pinhole focal or the fisheye's r = focal_px * (...).");
    cls.def_property_readonly("cx", [](const LensCalibration& c) { return c.lens.cx; },
                              "Fitted principal point column, pixels.");
    cls.def_property_readonly("cy", [](const LensCalibration& c) { return c.lens.cy; },
                              "Fitted principal point row, pixels.");
    cls.def_property_readonly("k", [](const LensCalibration& c) { return k_tuple(c.lens); },
                              "(k1, k2, k3, k4) of the calibrated-fisheye polynomial; zeros for a pinhole.");
    cls.def_property_readonly("fisheye_fov_deg",
                              [](const LensCalibration& c) { return optional_float(c.lens.fisheye_fov_deg); },
                              "Full field of the polynomial lens in degrees; None for a pinhole.");
    cls.def_property_readonly("residual_rms_px", [](const LensCalibration& c) { return c.residual_rms_px; },
                              "Root mean square length of the residual vectors, pixels.");
    cls.def_property_readonly("n_stars", &star_count, "Identified stars in the fit, over all frames.");
    cls.def_property_readonly("n_rejected", [](const LensCalibration& c) { return c.n_rejected; },
                              "Identified stars rejected as outliers.");
    cls.def_property_readonly(
        "frame_star_counts",
        [](const LensCalibration& c) {
            py::tuple out(c.frame_stars.size());
            for (std::size_t i = 0; i < c.frame_stars.size(); ++i) out[i] = c.frame_stars[i];
            return out;
        },
        "Stars used from each frame, in the order given; 0 for a frame that was not identified.");
    cls.def_property_readonly("width", [](const LensCalibration& c) { return c.width; }, "Frame width, pixels.");
    cls.def_property_readonly("height", [](const LensCalibration& c) { return c.height; }, "Frame height, pixels.");
    cls.def_property_readonly("parameter_names", &parameter_names,
                              "Names of the fitted parameters, in the order of covariance: from focal_px, cx, cy, "
                              "k1, k2, k3, k4.");
    cls.def_property_readonly("covariance", &covariance_array,
                              "Covariance of the fitted parameters (a square float64 array in parameter_names\n"
                              "order; pixels^2 for focal_px, cx, cy), the attitudes marginalised.");
    cls.def_property_readonly("standard_errors", &standard_errors,
                              "Standard error of each fitted parameter, in parameter_names order.");
    cls.def_property_readonly(
        "residuals", [](const LensCalibration& c) { return residual_records(c.stars); },
        "Every star used: a record array with fields frame, hr, x, y (the measured pixel) and dx, dy\n"
        "(measured minus predicted with the fitted lens), pixels.");
    cls.def_property_readonly(
        "initial_residuals", [](const LensCalibration& c) { return residual_records(c.initial); },
        "The same stars under the first-guess lens, each frame's attitude refitted to it.");
    def_method<method_solve_kwargs>(
        cls, Signature("solve_kwargs", kNoParams),
        "The fitted lens as the keyword arguments of resolve_fix, resolve_from_centroids and\n"
        "resolve_from_frames: a dict with exactly focal_px, cx, cy, fisheye_fov_deg, k1, k2, k3, k4. A fitted\n"
        "equidistant fisheye carries k4 = 1e-30, which the focal rule needs and which moves no pixel.\n");
    def_method<method_to_json>(cls, Signature("to_json", kNoParams),
                               "The calibration as JSON text (what save writes).\n");
    def_method<method_save>(cls, Signature("save", kPathParams),
                            "Write the calibration to the file path as JSON (UTF-8).\n");
    def_method<method_reduce>(cls, Signature("__reduce__", kNoParams), "Pickles through the JSON form.\n");
    def_static(cls, Signature("from_json", kTextParams),
               "The calibration saved as JSON text; InvalidArgumentError for anything else.\n",
               [](const Bound& a) { return py::cast(from_json(to_str(a[kTextParams["text"]]))); });
    def_static(cls, Signature("load", kPathParams),
               "The calibration saved in the file path by save; InvalidArgumentError for a file that is not one.\n",
               [](const Bound& a) {
                   const py::object text = path_of(a[kPathParams["path"]]).attr("read_text")(py::arg("encoding") = "utf-8");
                   return py::cast(from_json(text.cast<std::string>()));
               });
    cls.def("__repr__", [](const LensCalibration& c) { return calibration_repr(c); });
    m.def(kUnpickler, [](const std::string& text) { return py::cast(from_json(text)); },
          "Rebuilds a pickled Calibration from its JSON text.");
}

}  // namespace stelvane::pyb
