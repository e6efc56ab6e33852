// Conversion of the lens arguments and construction of the engine camera.
#include "py/camera_args.hpp"

#include <string>

#include "py/convert.hpp"
#include "py/intake.hpp"

namespace stelvane::pyb {

double CameraArgs::focal_rule() const {
    return focal_for_projection(focal_px, lens.fisheye_fov_deg.has_value(), lens.k1, lens.k2, lens.k3, lens.k4);
}

LensSpec CameraArgs::chosen() const {
    LensSpec chosen = lens;
    chosen.focal_px = focal_rule();
    return chosen;
}

Camera CameraArgs::build(double focal, std::uint32_t width, std::uint32_t height) const {
    LensSpec chosen = lens;
    chosen.focal_px = focal;
    return chosen.camera(width, height);
}

CameraArgs convert_camera_args(py::handle focal_px, py::handle cx, py::handle cy, py::handle fisheye_fov_deg,
                               py::handle k1, py::handle k2, py::handle k3, py::handle k4, const char* prefix) {
    const std::string p(prefix);
    auto name = [&](const char* n) { return p + n; };
    CameraArgs a;
    a.focal_px = to_opt_double(focal_px, name("focal_px").c_str());
    a.lens.cx = to_double(cx, name("cx").c_str());
    a.lens.cy = to_double(cy, name("cy").c_str());
    a.lens.fisheye_fov_deg = to_opt_double(fisheye_fov_deg, name("fisheye_fov_deg").c_str());
    a.lens.k1 = to_double(k1, name("k1").c_str());
    a.lens.k2 = to_double(k2, name("k2").c_str());
    a.lens.k3 = to_double(k3, name("k3").c_str());
    a.lens.k4 = to_double(k4, name("k4").c_str());
    return a;
}

Camera camera_from_args(const CameraArgs& args, std::optional<std::uint32_t> width,
                        std::optional<std::uint32_t> height) {
    const double focal = args.focal_rule();
    std::uint32_t w = width.value_or(0);
    std::uint32_t h = height.value_or(0);
    if (!args.focal_px) {
        // The ideal fisheye fills the shorter image dimension, so it needs the extent.
        if (!width) w = derived_extent("width", "cx", args.lens.cx);
        if (!height) h = derived_extent("height", "cy", args.lens.cy);
    }
    return args.build(focal, w, h);
}

}  // namespace stelvane::pyb
