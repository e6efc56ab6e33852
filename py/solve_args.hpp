// The camera, catalog and tuning arguments shared by the resolve entry points
// (module functions and tracker methods), converted in parameter order.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <optional>
#include <vector>

#include "core/catalog.hpp"
#include "core/centroid.hpp"
#include "core/image.hpp"
#include "py/camera_args.hpp"
#include "py/intake.hpp"
#include "core/site.hpp"
#include "core/vec.hpp"
#include "py/signature.hpp"

namespace stelvane::pyb {

namespace py = pybind11;

enum class SolveRoad { Image, Centroids, Frames };

struct SolveArgs {
    CameraArgs camera;  // the lens arguments as given
    Vec3 up_cam;
    std::shared_ptr<const Catalog> catalog;  // shared with the Python Catalog, alive without the lock
    std::optional<double> sigma_arcmin;
    std::optional<double> psf_sigma_px;  // burst road only
    SolveOptions options;

    // The lens with the focal rule applied (refusing a focal that would be ignored or is missing).
    LensSpec lens() const { return camera.chosen(); }
    // The engine's request for one solve at `jd` with this lens.
    SolveRequest request(const LensSpec& lens, double jd) const { return {lens, up_cam, jd, sigma_arcmin, options}; }
};

// The signature of resolve_fix / resolve_from_centroids under `name`.
Signature solve_signature(const char* name, SolveRoad road);

// Converts the camera, catalog and tuning arguments in parameter order (not the
// image, frames or centroids, the instants or the mask, which each road takes itself).
SolveArgs convert_solve_args(const std::vector<py::object>& bound, SolveRoad road);

// The image road's request: conversions in order (argument types, focal rule,
// image intake, UTC, then the optional mask); the first failure wins.
struct ImageSolveRequest {
    SolveArgs args;
    LensSpec lens;
    OwnedImage image;
    double jd = 0.0;
    std::optional<OwnedMask> mask;

    std::optional<PixelMask> mask_view() const { return optional_view(mask); }
    SolveSource source() const { return ImageSource{image.view(), mask_view()}; }
};
ImageSolveRequest prepare_image_solve(const std::vector<py::object>& bound);

// The centroid road's request: the (x, y, flux) list, focal rule, then UTC.
struct CentroidSolveRequest {
    std::vector<Centroid> centroids;
    SolveArgs args;
    LensSpec lens;
    double jd = 0.0;

    SolveSource source() const { return std::span<const Centroid>(centroids); }
};
CentroidSolveRequest prepare_centroid_solve(const std::vector<py::object>& bound);

// A new Python Fix holding the engine result.
py::object to_python_fix(PositionFix&& fix);

}  // namespace stelvane::pyb
