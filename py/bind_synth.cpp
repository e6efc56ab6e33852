// Synthetic skies for testing and demonstration: the function synthesize_scene
// and the Scene class that carries the rendered image and its ground truth.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/site.hpp"
#include "core/synth.hpp"
#include "py/bindings.hpp"
#include "py/catalog_object.hpp"
#include "py/convert.hpp"
#include "py/entry.hpp"
#include "py/errors.hpp"
#include "py/instance.hpp"
#include "py/intake.hpp"

namespace stelvane::pyb {

namespace {

constexpr auto kSceneParams =
    params(required("catalog"), required("lat_deg"), required("lon_deg"), required("jd_ut"), required("roll_deg"),
           required("width"), required("height"), required("focal_px"), required("mag_limit"),
           required("pixel_noise_arcmin"), required("up_noise_arcmin"), required("background_noise"),
           required("seed"), optional("fisheye_fov_deg"), optional("k1", "0.0"), optional("k2", "0.0"),
           optional("k3", "0.0"), optional("k4", "0.0"), optional("bit_depth", "16"));

// A Python int (or __index__ object) as an unsigned 64-bit integer; out of range is OverflowError.
std::uint64_t to_u64(const Argument& arg) {
    const py::handle obj = arg;
    return convert_argument(arg.name, [&]() -> std::uint64_t {
        if (PyFloat_Check(obj.ptr()) || !PyIndex_Check(obj.ptr())) {
            throw ConversionError{"'" + std::string(Py_TYPE(obj.ptr())->tp_name) +
                                  "' object cannot be interpreted as an integer"};
        }
        py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(obj.ptr()));
        if (!index) throw py::error_already_set();
        if (PyObject_RichCompareBool(index.ptr(), py::int_(0).ptr(), Py_LT) == 1) {
            PyErr_SetString(PyExc_OverflowError, "can't convert negative int to unsigned");
            throw py::error_already_set();
        }
        const unsigned long long value = PyLong_AsUnsignedLongLong(index.ptr());
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            PyErr_SetString(PyExc_OverflowError, "int too large to convert to an unsigned 64-bit integer");
            throw py::error_already_set();
        }
        return value;
    });
}

// A synthesize_scene call's catalog and request, converted in the published order: the
// focal rule first, before any other argument is looked at, then the catalog.
struct SceneCall {
    const Catalog* catalog;
    SceneRequest request;
};

SceneCall scene_call(const Bound& a) {
    const std::optional<double> focal_px = to_opt_double(a[kSceneParams["focal_px"]]);
    const std::optional<double> fisheye_fov_deg = to_opt_double(a[kSceneParams["fisheye_fov_deg"]]);
    SceneRequest r;
    r.lens.k1 = to_double(a[kSceneParams["k1"]]);
    r.lens.k2 = to_double(a[kSceneParams["k2"]]);
    r.lens.k3 = to_double(a[kSceneParams["k3"]]);
    r.lens.k4 = to_double(a[kSceneParams["k4"]]);
    r.lens.focal_px =
        focal_for_projection(focal_px, fisheye_fov_deg.has_value(), r.lens.k1, r.lens.k2, r.lens.k3, r.lens.k4);
    r.lens.fisheye_fov_deg = fisheye_fov_deg;
    const Catalog& catalog = borrow_catalog(a[kSceneParams["catalog"]]);
    r.lat_deg = to_double(a[kSceneParams["lat_deg"]]);
    r.lon_deg = to_double(a[kSceneParams["lon_deg"]]);
    r.jd_ut = to_double(a[kSceneParams["jd_ut"]]);
    r.roll_deg = to_double(a[kSceneParams["roll_deg"]]);
    r.width = to_u32(a[kSceneParams["width"]]);
    r.height = to_u32(a[kSceneParams["height"]]);
    r.mag_limit = static_cast<float>(to_double(a[kSceneParams["mag_limit"]]));
    r.pixel_noise_arcmin = to_double(a[kSceneParams["pixel_noise_arcmin"]]);
    r.up_noise_arcmin = to_double(a[kSceneParams["up_noise_arcmin"]]);
    r.background_noise = to_double(a[kSceneParams["background_noise"]]);
    r.seed = to_u64(a[kSceneParams["seed"]]);
    r.bit_depth = to_u32(a[kSceneParams["bit_depth"]]);
    return {&catalog, r};
}

}  // namespace

void bind_scene(py::module_& m) {
    py::class_<Scene> cls(m, "Scene",
                      "A rendered synthetic sky with its ground truth, returned by synthesize_scene.\n\n"
                      "It has no constructor. pixels is the noisy, quantised image; up_cam the (noisy) local\n"
                      "vertical in the camera frame; rendered_hr_ids and star_pixels the HR numbers and PSF centres\n"
                      "of the stars actually drawn, brightest first; boresight_alt_deg / boresight_az_deg the\n"
                      "pointing used (azimuth from north through east).\n");
    // Instances come only from synthesize_scene: Scene.__new__(Scene) alone would leave the
    // value unconstructed for the getters below to read.
    forbid_construction(cls);
    cls.def_property_readonly(
            "pixels",
            [](const Scene& s) {
                py::array_t<std::uint16_t> out({static_cast<py::ssize_t>(s.height), static_cast<py::ssize_t>(s.width)});
                std::copy(s.pixels.begin(), s.pixels.end(), out.mutable_data());
                return out;
            },
            "The image as a new (height, width) uint16 array on every access (full scale 65535), ready for\n"
            "resolve_fix or detect_centroids.")
        .def_property_readonly(
            "up_cam", [](const Scene& s) { return py::make_tuple(s.up_cam.x(), s.up_cam.y(), s.up_cam.z()); },
            "Unit vector of the local vertical in the camera frame (+x image right, +y image down, +z\n"
            "boresight), with the scene's up-vector noise applied.")
        .def_property_readonly(
            "star_pixels",
            [](const Scene& s) {
                py::list out;
                for (const Pixel& p : s.star_pixels) out.append(py::make_tuple(p.x, p.y));
                return out;
            },
            "(x, y) pixel centres of the drawn stars' PSFs (after centroid noise), same order as\n"
            "rendered_hr_ids.")
        .def_property_readonly(
            "rendered_hr_ids",
            [](const Scene& s) {
                py::list out;
                for (std::uint32_t hr : s.rendered_hr_ids) out.append(hr);
                return out;
            },
            "HR numbers of the drawn stars, brightest first.")
        .def_property_readonly("boresight_alt_deg", [](const Scene& s) { return s.boresight_alt_deg; },
                               "Altitude of the camera's boresight, degrees.")
        .def_property_readonly("boresight_az_deg", [](const Scene& s) { return s.boresight_az_deg; },
                               "Azimuth of the camera's boresight, degrees from north through east.")
        .def_property_readonly("width", [](const Scene& s) { return s.width; }, "Image width, pixels.")
        .def_property_readonly("height", [](const Scene& s) { return s.height; }, "Image height, pixels.")
        .def_property_readonly(
            "bodies",
            [](const Scene& s) {
                py::list out;
                for (const RenderedBody& b : s.bodies) {
                    out.append(py::make_tuple(py::str(std::string(body_name(b.body))), b.pixel.x, b.pixel.y, b.vmag,
                                              b.radius_px));
                }
                return out;
            },
            "(name, x, y, vmag, radius_px) of the planets and the Moon drawn into the image: empty unless\n"
            "the scene came from stelvane.skies.synthesize_sky. A planet is drawn as a star of its\n"
            "magnitude (radius_px 0); the Moon as a disc with a glare halo.");
}

void bind_synthesize_scene(py::module_& m) {
    def_function(
        m, Signature("synthesize_scene", kSceneParams),
        "Render the night sky a camera would record at a place and instant, with its ground truth.\n\n"
        "The observer stands at lat_deg / lon_deg (degrees, longitude positive towards the east) at the\n"
        "Julian Date jd_ut. A fisheye (fisheye_fov_deg given; focal_px=None for the ideal equidistant lens\n"
        "filling the shorter image side, or focal_px with calibrated k1..k4) looks straight up; a pinhole\n"
        "(focal_px in pixels) looks at the richest patch of bright stars among 54 pointings at altitudes\n"
        "45/60/75 deg. roll_deg turns the camera about its boresight; the principal point is the image\n"
        "centre. Stars of catalog up to mag_limit are drawn at their apparent places (proper motion,\n"
        "parallax, precession, aberration, refraction) as Gaussian PSFs (sigma 1.3 px) on a pedestal of\n"
        "1024, brightest first, none within 5 px of the edge or 6 px of a star already drawn.\n\n"
        "Controlled errors, all reproducible from seed (0 acts as 1): pixel_noise_arcmin jitters each\n"
        "star's centre, background_noise adds Gaussian counts to every pixel, up_noise_arcmin tilts the\n"
        "reported vertical, bit_depth (1..16) quantises to that many ADC bits over 0..65535.\n"
        "Returns a Scene.\n\n"
        ">>> import stelvane.catalogs\n"
        ">>> scene = stelvane.synthesize_scene(stelvane.catalogs.load(\"allsky\"), 52.0, -4.0, 2460400.5,\n"
        "...     0.0, 1024, 1024, None, 4.0, 0.5, 2.0, 8.0, 1, fisheye_fov_deg=180.0)\n"
        ">>> scene.pixels.shape\n"
        "(1024, 1024)\n",
        [](const Bound& a) {
            const SceneCall call = scene_call(a);
            return py::cast(unwrap(synthesize_scene_at_site(*call.catalog, call.request)));
        });
}

// synthesize_scene's parameters, then a pinhole's pointing (both or neither) and whether to draw the bodies.
constexpr auto kSceneWithBodiesParams =
    join(kSceneParams,
         params(optional("boresight_alt_deg"), optional("boresight_az_deg"), optional("bodies", "True")));

void bind_synthesize_scene_with_bodies(py::module_& m) {
    def_function(m, Signature("synthesize_scene_with_bodies", kSceneWithBodiesParams),
                 "synthesize_scene with the planets and the Moon drawn at their places (unless bodies is false),\n"
                 "and a pinhole pointed at (boresight_alt_deg, boresight_az_deg) when both are given.\n",
                 [](const Bound& a) {
                     SceneCall call = scene_call(a);
                     call.request.draw_bodies = to_bool(a[kSceneWithBodiesParams["bodies"]]);
                     const std::optional<double> alt = to_opt_double(a[kSceneWithBodiesParams["boresight_alt_deg"]]);
                     const std::optional<double> az = to_opt_double(a[kSceneWithBodiesParams["boresight_az_deg"]]);
                     if (alt.has_value() != az.has_value()) {
                         refuse("boresight_alt_deg and boresight_az_deg go together: pass both, or neither");
                     }
                     if (alt) call.request.boresight = Boresight{*alt, *az};
                     return py::cast(unwrap(synthesize_scene_at_site(*call.catalog, call.request)));
                 });
}

}  // namespace stelvane::pyb
