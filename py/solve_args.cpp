// Conversion of the shared resolve arguments.
#include "py/solve_args.hpp"

#include <pybind11/numpy.h>

#include "core/units.hpp"
#include "py/catalog_object.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/intake.hpp"

namespace stelvane::pyb {

namespace {

// The shared arguments of the road whose parameter list is P, in parameter order.
template <const auto& P>
SolveArgs convert_shared_args(const Bound& a) {
    SolveArgs s;
    s.camera.focal_px = to_opt_double(a[P["focal_px"]]);
    s.camera.lens.cx = to_double(a[P["cx"]]);
    s.camera.lens.cy = to_double(a[P["cy"]]);
    const auto up = to_vec3(a[P["up_cam"]]);
    s.up_cam = Vec3(up[0], up[1], up[2]);
    s.catalog = share_catalog(a[P["catalog"]]);
    s.sigma_arcmin = to_opt_double(a[P["sigma_arcmin"]]);
    s.camera.lens.fisheye_fov_deg = to_opt_double(a[P["fisheye_fov_deg"]]);
    s.camera.lens.k1 = to_double(a[P["k1"]]);
    s.camera.lens.k2 = to_double(a[P["k2"]]);
    s.camera.lens.k3 = to_double(a[P["k3"]]);
    s.camera.lens.k4 = to_double(a[P["k4"]]);
    if constexpr (P.has("psf_sigma_px")) s.psf_sigma_px = to_double(a[P["psf_sigma_px"]]);
    if constexpr (P.has("use_sun")) s.options.use_sun = to_bool(a[P["use_sun"]]);
    s.options.max_centroids = to_opt_usize(a[P["max_centroids"]]);
    s.options.min_matched_stars = to_opt_usize(a[P["min_matched_stars"]]);
    if (auto rms = to_opt_double(a[P["max_residual_rms_arcmin"]])) {
        s.options.max_residual_rms_rad = units::arcmin_to_rad(*rms);
    }
    return s;
}

}  // namespace

SolveArgs convert_frame_solve_args(const Bound& a) { return convert_shared_args<kFrameSolveParams>(a); }

std::vector<Centroid> convert_centroids(py::handle obj) {
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
}

namespace {

std::vector<Centroid> to_centroids(const Argument& obj) {
    return convert_argument(obj.name, [&] { return convert_centroids(obj); });
}

}  // namespace

ImageSolveRequest prepare_image_solve(const Bound& a) {
    ImageSolveRequest r;
    r.args = convert_shared_args<kImageSolveParams>(a);
    r.lens = r.args.lens();
    r.image = extract_u16_image(a[kImageSolveParams["image"]]);
    r.jd = utc_to_jd(a[kImageSolveParams["utc"]]);
    r.mask = extract_optional_mask(a[kImageSolveParams["mask"]]);
    return r;
}

CentroidSolveRequest prepare_centroid_solve(const Bound& a) {
    CentroidSolveRequest r;
    r.centroids = to_centroids(a[kCentroidSolveParams["centroids"]]);
    r.args = convert_shared_args<kCentroidSolveParams>(a);
    r.lens = r.args.lens();
    r.jd = utc_to_jd(a[kCentroidSolveParams["utc"]]);
    return r;
}

py::object to_python_fix(PositionFix&& fix) { return py::cast(std::move(fix)); }

}  // namespace stelvane::pyb
