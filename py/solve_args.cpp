// Conversion of the shared resolve arguments.
#include "py/solve_args.hpp"

#include <pybind11/numpy.h>

#include "core/units.hpp"
#include "py/catalog_object.hpp"
#include "py/convert.hpp"
#include "py/intake.hpp"

namespace stelvane::pyb {

namespace {

// Where each shared argument sits in a road's parameter list.
struct Layout {
    std::size_t first;  // focal_px; cx, cy and up_cam follow
    std::size_t catalog;
    std::size_t sigma;  // sigma_arcmin; fisheye_fov_deg and k1..k4 follow
    std::optional<std::size_t> use_sun;
    std::size_t max_centroids;  // min_matched_stars and max_residual_rms_arcmin follow
};

Layout layout_of(SolveRoad road) {
    switch (road) {
        case SolveRoad::Image: return {1, 6, 7, 13, 14};
        case SolveRoad::Centroids: return {1, 6, 7, std::nullopt, 13};
        case SolveRoad::Frames: return {2, 6, 7, std::nullopt, 14};
    }
    return {1, 6, 7, std::nullopt, 13};
}

}  // namespace

Signature solve_signature(const char* name, SolveRoad road) {
    // Every road: what it solves from, then the lens, the catalog and the tuning, in this order.
    std::vector<Param> params;
    const auto add = [&](std::initializer_list<Param> more) { params.insert(params.end(), more); };
    const auto lens = [&] { add({required("focal_px"), required("cx"), required("cy"), required("up_cam")}); };
    const auto camera_model = [&] {
        add({optional("sigma_arcmin"), optional("fisheye_fov_deg"), optional("k1", py::float_(0.0)),
             optional("k2", py::float_(0.0)), optional("k3", py::float_(0.0)), optional("k4", py::float_(0.0))});
    };
    const auto gates = [&] {
        add({optional("max_centroids"), optional("min_matched_stars"), optional("max_residual_rms_arcmin")});
    };
    switch (road) {
        case SolveRoad::Image:
            add({required("image")});
            lens();
            add({required("utc"), required("catalog")});
            camera_model();
            add({optional("use_sun", py::bool_(false))});
            gates();
            add({optional("mask")});
            break;
        case SolveRoad::Centroids:
            add({required("centroids")});
            lens();
            add({required("utc"), required("catalog")});
            camera_model();
            gates();
            break;
        case SolveRoad::Frames:
            add({required("frames"), required("times_utc")});
            lens();
            add({required("catalog")});
            camera_model();
            add({optional("psf_sigma_px", py::float_(1.0))});
            gates();
            break;
    }
    return Signature(name, std::move(params));
}

SolveArgs convert_solve_args(const std::vector<py::object>& a, SolveRoad road) {
    const Layout at = layout_of(road);
    SolveArgs s;
    s.camera.focal_px = to_opt_double(a[at.first], "focal_px");
    s.camera.lens.cx = to_double(a[at.first + 1], "cx");
    s.camera.lens.cy = to_double(a[at.first + 2], "cy");
    const auto up = to_vec3(a[at.first + 3], "up_cam");
    s.up_cam = Vec3(up[0], up[1], up[2]);
    s.catalog = share_catalog(a[at.catalog], "catalog");
    s.sigma_arcmin = to_opt_double(a[at.sigma], "sigma_arcmin");
    s.camera.lens.fisheye_fov_deg = to_opt_double(a[at.sigma + 1], "fisheye_fov_deg");
    s.camera.lens.k1 = to_double(a[at.sigma + 2], "k1");
    s.camera.lens.k2 = to_double(a[at.sigma + 3], "k2");
    s.camera.lens.k3 = to_double(a[at.sigma + 4], "k3");
    s.camera.lens.k4 = to_double(a[at.sigma + 5], "k4");
    if (road == SolveRoad::Frames) s.psf_sigma_px = to_double(a[at.sigma + 6], "psf_sigma_px");
    if (at.use_sun) s.options.use_sun = to_bool(a[*at.use_sun], "use_sun");
    s.options.max_centroids = to_opt_usize(a[at.max_centroids], "max_centroids");
    s.options.min_matched_stars = to_opt_usize(a[at.max_centroids + 1], "min_matched_stars");
    if (auto rms = to_opt_double(a[at.max_centroids + 2], "max_residual_rms_arcmin")) {
        s.options.max_residual_rms_rad = units::arcmin_to_rad(*rms);
    }
    return s;
}

namespace {

// (x, y, flux) triples from any sequence of three-number sequences or an (N, 3) array.
std::vector<Centroid> to_centroids(py::handle obj, const char* name) {
    return convert_argument(name, [&] {
        std::vector<Centroid> out;
        if (py::isinstance<py::array>(obj)) {
            auto arr = py::reinterpret_borrow<py::array>(obj);
            const char kind = arr.dtype().kind();
            if (arr.ndim() == 2 && arr.shape(1) == 3 && (kind == 'f' || kind == 'i' || kind == 'u')) {
                auto d = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(obj);
                if (!d) throw py::error_already_set();
                out.reserve(static_cast<std::size_t>(d.shape(0)));
                for (py::ssize_t i = 0; i < d.shape(0); ++i) out.push_back({d.at(i, 0), d.at(i, 1), d.at(i, 2)});
                return out;
            }
        }
        py::object items = sequence_items(obj);
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.ptr());
        PyObject** raw = PySequence_Fast_ITEMS(items.ptr());
        out.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            py::object triple = sequence_items(raw[i]);
            if (PySequence_Fast_GET_SIZE(triple.ptr()) != 3) {
                throw ConversionError{"centroid " + std::to_string(i) + " must be an (x, y, flux) triple, got " +
                                      std::to_string(PySequence_Fast_GET_SIZE(triple.ptr())) + " values"};
            }
            PyObject** t = PySequence_Fast_ITEMS(triple.ptr());
            out.push_back({convert_double(t[0]), convert_double(t[1]), convert_double(t[2])});
        }
        return out;
    });
}

}  // namespace

ImageSolveRequest prepare_image_solve(const std::vector<py::object>& a) {
    ImageSolveRequest r;
    r.args = convert_solve_args(a, SolveRoad::Image);
    r.lens = r.args.lens();
    r.image = extract_u16_image(a[0]);
    r.jd = utc_to_jd(a[5]);
    r.mask = extract_optional_mask(a[17]);
    return r;
}

CentroidSolveRequest prepare_centroid_solve(const std::vector<py::object>& a) {
    CentroidSolveRequest r;
    r.centroids = to_centroids(a[0], "centroids");
    r.args = convert_solve_args(a, SolveRoad::Centroids);
    r.lens = r.args.lens();
    r.jd = utc_to_jd(a[5]);
    return r;
}

py::object to_python_fix(PositionFix&& fix) { return py::cast(std::move(fix)); }

}  // namespace stelvane::pyb
