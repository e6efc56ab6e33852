// The payload of the Python class stelvane.Camera and the accessor other
// bindings use to accept a Camera object as an argument.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>

#include "core/plate.hpp"

namespace stelvane::pyb {

namespace py = pybind11;

// One engine camera, immutable once built, with the field as passed for its repr.
struct CameraObject {
    Camera camera;
    std::optional<double> fisheye_fov_deg;  // full field in degrees, as passed (fisheye kinds)
};

// The engine camera held by a stelvane.Camera, or nullptr when `obj` is not one.
const Camera* camera_of(py::handle obj);

}  // namespace stelvane::pyb
