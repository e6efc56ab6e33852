// resolve_fix, resolve_from_centroids and the Fix result class.
#include <pybind11/numpy.h>

#include "core/site.hpp"
#include "core/temporal.hpp"
#include "core/units.hpp"
#include "py/bindings.hpp"
#include "py/catalog_object.hpp"
#include "py/convert.hpp"
#include "py/entry.hpp"
#include "py/errors.hpp"
#include "py/fix_state.hpp"
#include "py/instance.hpp"
#include "py/intake.hpp"
#include "py/solve_args.hpp"

namespace stelvane::pyb {

namespace {

const char* const kResolveFixDoc =
    "Resolve a position fix from a night-sky image, the up direction in the camera frame and a UTC instant.\n\n"
    "image is a 2-D uint16 (or uint8, widened by 257) array; cx, cy the principal point in pixels; up_cam\n"
    "three floats giving the local vertical in the camera frame (+x right, +y down, +z boresight), any\n"
    "length; catalog a stelvane.Catalog. Without fisheye_fov_deg the camera is a pinhole of focal_px pixels.\n"
    "With fisheye_fov_deg set and k1..k4 all zero it is the ideal equidistant fisheye whose focal fills the\n"
    "shorter image dimension: pass focal_px=None (a focal given there is refused). With any non-zero\n"
    "coefficient it is a calibrated distorted fisheye up to degree 9,\n"
    "r_px = focal_px * (theta + k1*theta^3 + k2*theta^5 + k3*theta^7 + k4*theta^9), where focal_px is the\n"
    "real radial scale and cx, cy the real optical centre.\n\n"
    "utc is a (year, month, day, hour, minute, second) tuple or a timezone-aware datetime; a naive datetime\n"
    "is refused. sigma_arcmin, the altitude standard deviation of one star, defaults to half the camera's\n"
    "pixel scale floored at one arcminute (see Camera.default_sigma_arcmin). use_sun adds the Sun's disc as\n"
    "a body. max_centroids (default 12) limits how many of the brightest detections are identified;\n"
    "min_matched_stars and max_residual_rms_arcmin are health gates that refuse a thin fix. mask, a 2-D bool\n"
    "array of the image's shape, marks pixels that are not sky; it reaches both detectors (no star\n"
    "centroid, no solar disc, no background sample from a masked pixel); a mask of the wrong shape is\n"
    "refused and mask=None is the unmasked road.\n\n"
    "Returns a Fix. When no trustworthy fix can be made it raises a StelvaneError of the failure's own\n"
    "class: NoMatchError, AmbiguousMatchError, InsufficientStarsError, ThinLockError, ...; a refused\n"
    "argument raises InvalidArgumentError.\n";

const char* const kResolveFromCentroidsDoc =
    "Resolve a fix from already-detected centroids, skipping the image road.\n\n"
    "For consumers that own their own detector: centroids is a sequence of (x, y, flux) triples in the\n"
    "pixel coordinates of the camera model; flux only orders them brightest first before truncation to\n"
    "max_centroids, so its unit does not matter as long as brighter sources score higher. The one\n"
    "convention to know: the ideal equidistant fisheye derives the image extent from cx, cy assuming a\n"
    "centred principal point (an off-centre cx, cy in that mode misplaces the focal silently), while\n"
    "calibrated fisheyes and pinholes never derive the extent. focal_px, utc and sigma_arcmin follow\n"
    "resolve_fix; there is no use_sun and no mask. Returns the same Fix class.\n";

py::object resolve_fix_entry(const Bound& a) {
    const ImageSolveRequest r = prepare_image_solve(a);
    return to_python_fix(unwrap(resolve_at_site(r.source(), r.args.request(r.lens, r.jd), *r.args.catalog)));
}

py::object resolve_from_centroids_entry(const Bound& a) {
    const CentroidSolveRequest r = prepare_centroid_solve(a);
    return to_python_fix(unwrap(resolve_at_site(r.source(), r.args.request(r.lens, r.jd), *r.args.catalog)));
}

const char* const kResolveFromFramesDoc =
    "Resolve a fix from a chronological burst of frames, verified by the sky's sidereal rotation.\n\n"
    "Instead of trusting one image, every detection of the MIDDLE frame must reappear, turned about the\n"
    "celestial pole by the Earth's rotation, in every other frame: hot pixels, satellites and noise do not,\n"
    "and are dropped. The middle frame is the solved epoch; the others only confirm which of its star\n"
    "candidates are real. The camera must be static relative to the local horizon (a tripod or a ground\n"
    "mount); a moving platform is out of scope.\n\n"
    "frames is a sequence of 2-D uint8 or uint16 arrays of one size; times_utc one UTC instant per frame,\n"
    "each a (year, month, day, hour, minute, second) tuple or an aware datetime (a naive datetime is\n"
    "refused), strictly increasing. Fewer than three frames, an even frame count or non-increasing times\n"
    "are refused. psf_sigma_px, the matched-filter width of detect_centroids_matched, must be finite and in\n"
    "(0, 64] and is checked before any frame is read. focal_px and sigma_arcmin follow resolve_fix.\n"
    "The interpreter lock is released while the frames are analysed, so bursts can be solved in threads.\n";

py::object resolve_from_frames_entry(const Bound& a) {
    const Argument frames_arg = a[kFrameSolveParams["frames"]];
    const Argument times_arg = a[kFrameSolveParams["times_utc"]];
    const py::object frame_items = convert_argument(frames_arg.name, [&] { return sequence_items(frames_arg); });
    const py::object time_items = convert_argument(times_arg.name, [&] { return sequence_items(times_arg); });
    const SolveArgs args = convert_frame_solve_args(a);
    const double psf = check_psf_sigma_px(*args.psf_sigma_px);
    const LensSpec lens = args.lens();
    std::vector<OwnedImage> frames;
    std::vector<GrayImage> views;
    const Py_ssize_t n_frames = PySequence_Fast_GET_SIZE(frame_items.ptr());
    frames.reserve(static_cast<std::size_t>(n_frames));
    for (Py_ssize_t i = 0; i < n_frames; ++i) {
        frames.push_back(extract_u16_image(PySequence_Fast_GET_ITEM(frame_items.ptr(), i)));
    }
    for (const OwnedImage& f : frames) views.push_back(f.view());
    std::vector<double> times;
    const Py_ssize_t n_times = PySequence_Fast_GET_SIZE(time_items.ptr());
    for (Py_ssize_t i = 0; i < n_times; ++i) {
        times.push_back(utc_to_jd(PySequence_Fast_GET_ITEM(time_items.ptr(), i), times_arg.name));
    }
    // Everything is copied: the engine reads no Python memory while the lock is released.
    std::optional<Result<PositionFix>> result;
    {
        py::gil_scoped_release release;
        result.emplace(resolve_from_frames_at_site(views, times, lens, args.up_cam, *args.catalog, psf,
                                                   args.sigma_arcmin, args.options));
    }
    return to_python_fix(unwrap(std::move(*result)));
}

// The fit's sights as a structured array, angles in degrees and arcminutes.
py::object sights_array(const std::vector<Sight>& sights) {
    constexpr double kRadToArcmin = units::RAD_TO_DEG * units::ARCMIN_PER_DEG;
    const std::vector<std::pair<const char*, double (*)(const Sight&)>> columns = {
        {"x_px", [](const Sight& s) { return s.pixel.x; }},
        {"y_px", [](const Sight& s) { return s.pixel.y; }},
        {"azimuth_deg", [](const Sight& s) { return s.azimuth_rad * units::RAD_TO_DEG; }},
        {"altitude_deg", [](const Sight& s) { return s.altitude_rad * units::RAD_TO_DEG; }},
        {"sigma_arcmin", [](const Sight& s) { return s.sigma_rad * kRadToArcmin; }},
        {"residual_arcmin", [](const Sight& s) { return s.residual_rad * kRadToArcmin; }},
    };
    py::list fields;
    fields.append(py::make_tuple("hr", "<u4"));
    for (const auto& [name, value] : columns) fields.append(py::make_tuple(name, "<f8"));
    const auto n = static_cast<py::ssize_t>(sights.size());
    py::object out = py::module_::import("numpy").attr("zeros")(n, py::dtype::from_args(fields));
    py::array_t<std::uint32_t> hr(n);
    for (py::ssize_t i = 0; i < n; ++i) hr.mutable_at(i) = sights[static_cast<std::size_t>(i)].hr;
    out.attr("__setitem__")("hr", hr);
    for (const auto& [name, value] : columns) {
        py::array_t<double> column(n);
        for (py::ssize_t i = 0; i < n; ++i) column.mutable_at(i) = value(sights[static_cast<std::size_t>(i)]);
        out.attr("__setitem__")(name, column);
    }
    return out;
}

}  // namespace

void bind_resolve_from_frames(py::module_& m) {
    def_function(m, Signature("resolve_from_frames", kFrameSolveParams), kResolveFromFramesDoc,
                 resolve_from_frames_entry);
}

void bind_fix(py::module_& m) {
    py::class_<PositionFix> cls(m, "Fix", "Result of a resolved celestial fix.");
    forbid_construction(cls);
    cls        .def_property_readonly("latitude_deg", [](const PositionFix& f) { return f.latitude_deg; })
        .def_property_readonly("longitude_deg", [](const PositionFix& f) { return f.longitude_deg; })
        .def_property_readonly(
            "covariance",
            [](const PositionFix& f) {
                py::list out;
                for (const auto& row : f.covariance) {
                    py::list r;
                    r.append(row[0]);
                    r.append(row[1]);
                    out.append(r);
                }
                return out;
            },
            "[[var_north, cov_ne], [cov_ne, var_east]] in radians squared.")
        .def_property_readonly(
            "ellipse_2sigma_nm",
            [](const PositionFix& f) {
                const EllipseNm& e = f.ellipse_2sigma_nm;
                return py::make_tuple(e.semi_major_nm, e.semi_minor_nm, e.orientation_deg);
            },
            "(semi_major_nm, semi_minor_nm, orientation_deg).")
        .def_property_readonly("matched_hr_ids",
                               [](const PositionFix& f) {
                                   py::list ids;
                                   for (std::uint32_t hr : f.matched_hr_ids) ids.append(hr);
                                   return ids;
                               })
        .def_property_readonly("n_iterations", [](const PositionFix& f) { return f.n_iterations; })
        .def_property_readonly("used_sun", [](const PositionFix& f) { return f.used_sun; })
        .def_property_readonly(
            "residual_rms_rad", [](const PositionFix& f) { return f.residual_rms_rad; },
            "RMS, in radians, of the converged per-observation altitude residuals.")
        .def_property_readonly(
            "match_margin", [](const PositionFix& f) { return f.match_margin; },
            "The matcher's vote margin: the gap in verified-correspondence count between the winning\n"
            "identification and the strongest distinct rival found during the search.")
        .def_property_readonly(
            "sights", [](const PositionFix& f) { return sights_array(f.sights); },
            "The observations of the fit, one row each: the stars in matched_hr_ids order, then the Sun.\n\n"
            "A NumPy structured array with the fields hr (the star's HR number, 0 for the Sun), x_px and y_px\n"
            "(where it was measured), azimuth_deg (at the fix, north through east), altitude_deg (measured,\n"
            "refraction removed), sigma_arcmin (the standard deviation the fit weighted it by) and\n"
            "residual_arcmin (measured less computed altitude at the fix).")
        .def_property_readonly(
            "up_cam", [](const PositionFix& f) { return py::make_tuple(f.up_unit[0], f.up_unit[1], f.up_unit[2]); },
            "The up vector the altitudes were measured against, normalised, in the camera frame.")
        .def_property_readonly(
            "jd", [](const PositionFix& f) { return f.jd; },
            "The instant solved for, as a UTC Julian Date (a burst's middle frame).")
        .def_property_readonly(
            "arcmin_per_pixel", [](const PositionFix& f) { return f.arcmin_per_pixel; },
            "The camera's pixel scale on the boresight, arcminutes (Camera.arcmin_per_pixel).")
        .def_property_readonly(
            "bodies_seen",
            [](const PositionFix& f) {
                py::list names;
                for (Body b : f.bodies_seen) names.append(py::str(std::string(body_name(b))));
                return names;
            },
            "Names of the planets and the Moon found in the frame where the fix puts them (\"Mercury\",\n"
            "\"Venus\", \"Mars\", \"Jupiter\", \"Saturn\", \"Moon\", in that order). A detection that a body\n"
            "explains is never taken for a star.")
        .def_property_readonly(
            "plate_scale_ratio", [](const PositionFix& f) { return f.plate_scale_ratio; },
            "The lens check: the factor by which the identified stars ask the lens's focal_px to be\n"
            "multiplied (1.000 for a good lens, 0.998 for a focal 0.2 % too long), fitted with the\n"
            "attitude from every identified star after refraction and aberration. NaN when the stars\n"
            "cannot tell. Compare its distance from 1 with plate_scale_ratio_sigma: a lens whose ratio is\n"
            "several sigmas from 1 needs calibrating (stelvane.calibrate_camera).")
        .def_property_readonly(
            "plate_scale_ratio_sigma", [](const PositionFix& f) { return f.plate_scale_ratio_sigma; },
            "Standard error of plate_scale_ratio from the fit's own residuals; NaN below three stars.");
    def_fix_pickling(cls);
}

void bind_resolve_fix(py::module_& m) {
    def_function(m, Signature("resolve_fix", kImageSolveParams), kResolveFixDoc, resolve_fix_entry);
}

void bind_resolve_from_centroids(py::module_& m) {
    def_function(m, Signature("resolve_from_centroids", kCentroidSolveParams), kResolveFromCentroidsDoc,
                 resolve_from_centroids_entry);
}

}  // namespace stelvane::pyb
