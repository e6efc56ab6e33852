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

// Every road's parameters: what it solves from, then the lens, the catalog and the tuning.
namespace solve_params {
inline constexpr auto kLens = params(required("focal_px"), required("cx"), required("cy"), required("up_cam"));
inline constexpr auto kCameraModel =
    params(optional("sigma_arcmin"), optional("fisheye_fov_deg"), optional("k1", "0.0"), optional("k2", "0.0"),
           optional("k3", "0.0"), optional("k4", "0.0"));
inline constexpr auto kGates =
    params(optional("max_centroids"), optional("min_matched_stars"), optional("max_residual_rms_arcmin"));
}  // namespace solve_params

inline constexpr auto kImageSolveParams =
    join(params(required("image")), solve_params::kLens, params(required("utc"), required("catalog")),
         solve_params::kCameraModel, params(optional("use_sun", "False")), solve_params::kGates,
         params(optional("mask")));
inline constexpr auto kCentroidSolveParams =
    join(params(required("centroids")), solve_params::kLens, params(required("utc"), required("catalog")),
         solve_params::kCameraModel, solve_params::kGates);
inline constexpr auto kFrameSolveParams =
    join(params(required("frames"), required("times_utc")), solve_params::kLens, params(required("catalog")),
         solve_params::kCameraModel, params(optional("psf_sigma_px", "1.0")), solve_params::kGates);

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

// The burst road's camera, catalog and tuning arguments in parameter order (not the
// frames or their instants, which it takes itself).
SolveArgs convert_frame_solve_args(const Bound& bound);

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
ImageSolveRequest prepare_image_solve(const Bound& bound);

// The centroid road's request: the (x, y, flux) list, focal rule, then UTC.
struct CentroidSolveRequest {
    std::vector<Centroid> centroids;
    SolveArgs args;
    LensSpec lens;
    double jd = 0.0;

    SolveSource source() const { return std::span<const Centroid>(centroids); }
};
CentroidSolveRequest prepare_centroid_solve(const Bound& bound);

// (x, y, flux) triples from any sequence of three-number sequences or an (N, 3) array of
// numbers; a failure is a ConversionError with the bare reason.
std::vector<Centroid> convert_centroids(py::handle obj);

// A new Python Fix holding the engine result.
py::object to_python_fix(PositionFix&& fix);

}  // namespace stelvane::pyb
