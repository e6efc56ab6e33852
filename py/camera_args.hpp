// The lens arguments every camera-building entry point takes (focal_px, cx, cy,
// fisheye_fov_deg, k1..k4), their conversion, the focal rule and the derived
// extent, shared by the Camera class, the solves, remapping and scene synthesis.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>

#include "core/plate.hpp"

namespace stelvane::pyb {

namespace py = pybind11;

struct CameraArgs {
    std::optional<double> focal_px;  // as given; None: not given
    LensSpec lens;                   // cx, cy, fisheye_fov_deg, k1..k4 as given; its focal is unset

    // The focal rule: the focal length to build with, 0 for the ideal equidistant
    // fisheye (derived from the image extent). Refuses (StelvaneError) a focal that
    // would be ignored and a missing one that no image can supply.
    double focal_rule() const;
    // The lens with the focal rule applied.
    LensSpec chosen() const;
    // The camera for an image of width x height; `focal` is focal_rule()'s result.
    Camera build(double focal, std::uint32_t width, std::uint32_t height) const;
};

// Converts the lens arguments in the order focal_px, cx, cy, fisheye_fov_deg, k1..k4;
// a failure is TypeError "argument '{prefix}{name}': ..." (prefix "src_", "dst_" or "").
// No rule is applied yet.
CameraArgs convert_camera_args(py::handle focal_px, py::handle cx, py::handle cy, py::handle fisheye_fov_deg,
                               py::handle k1, py::handle k2, py::handle k3, py::handle k4, const char* prefix = "");

// The camera of a call that has no image to measure (the Camera class): the focal
// rule; then, for the ideal fisheye only, an omitted width is round(2 * cx) and an
// omitted height round(2 * cy) (width first, each refused when its centre is not
// positive); then Camera::from_fov. width and height are unused by the other kinds.
Camera camera_from_args(const CameraArgs& args, std::optional<std::uint32_t> width,
                        std::optional<std::uint32_t> height);

}  // namespace stelvane::pyb
