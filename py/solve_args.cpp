// Conversion of the shared resolve arguments.
#include "py/solve_args.hpp"

#include "core/units.hpp"
#include "py/catalog_object.hpp"
#include "py/convert.hpp"
#include "py/intake.hpp"

namespace stelvane::pyb {

CameraScalars SolveArgs::lens() const {
    const double focal = focal_for_projection(focal_px, fisheye_fov_deg.has_value(), k1, k2, k3, k4);
    return {focal, cx, cy, fisheye_fov_deg, k1, k2, k3, k4};
}

Signature solve_signature(const char* name, SolveRoad road) {
    const bool image = road == SolveRoad::Image;
    if (image) {
        return Signature(name, {required("image"), required("focal_px"), required("cx"), required("cy"),
                                required("up_cam"), required("utc"), required("catalog"), optional("sigma_arcmin"),
                                optional("fisheye_fov_deg"), optional("k1", py::float_(0.0)),
                                optional("k2", py::float_(0.0)), optional("k3", py::float_(0.0)),
                                optional("k4", py::float_(0.0)), optional("use_sun", py::bool_(false)),
                                optional("max_centroids"), optional("min_matched_stars"),
                                optional("max_residual_rms_arcmin"), optional("mask")});
    }
    return Signature(name, {required("centroids"), required("focal_px"), required("cx"), required("cy"),
                            required("up_cam"), required("utc"), required("catalog"), optional("sigma_arcmin"),
                            optional("fisheye_fov_deg"), optional("k1", py::float_(0.0)),
                            optional("k2", py::float_(0.0)), optional("k3", py::float_(0.0)),
                            optional("k4", py::float_(0.0)), optional("max_centroids"),
                            optional("min_matched_stars"), optional("max_residual_rms_arcmin")});
}

SolveArgs convert_solve_args(const std::vector<py::object>& a, SolveRoad road) {
    SolveArgs s;
    s.focal_px = to_opt_double(a[1], "focal_px");
    s.cx = to_double(a[2], "cx");
    s.cy = to_double(a[3], "cy");
    const auto up = to_vec3(a[4], "up_cam");
    s.up_cam = Vec3(up[0], up[1], up[2]);
    s.catalog = &catalog_arg(a[6], "catalog");
    s.sigma_arcmin = to_opt_double(a[7], "sigma_arcmin");
    s.fisheye_fov_deg = to_opt_double(a[8], "fisheye_fov_deg");
    s.k1 = to_double(a[9], "k1");
    s.k2 = to_double(a[10], "k2");
    s.k3 = to_double(a[11], "k3");
    s.k4 = to_double(a[12], "k4");
    std::size_t next = 13;
    if (road == SolveRoad::Image) s.options.use_sun = to_bool(a[next++], "use_sun");
    s.options.max_centroids = to_opt_usize(a[next++], "max_centroids");
    s.options.min_matched_stars = to_opt_usize(a[next++], "min_matched_stars");
    if (auto rms = to_opt_double(a[next], "max_residual_rms_arcmin")) s.options.max_residual_rms = units::arcmin_to_rad(*rms);
    return s;
}

}  // namespace stelvane::pyb
