// The binders of the module's names. Each binds exactly one name on the module;
// py/module.cpp calls them in registration order.
#pragma once

#include <pybind11/pybind11.h>

namespace stelvane::pyb {

namespace py = pybind11;

using Binder = void (*)(py::module_&);

// calibrate
void bind_calibration(py::module_& m);
void bind_calibrate_camera(py::module_& m);
// camera
void bind_camera(py::module_& m);
// catalog
void bind_catalog(py::module_& m);
// fix
void bind_fix(py::module_& m);
void bind_fix_tracker(py::module_& m);
void bind_resolve_fix(py::module_& m);
void bind_resolve_from_centroids(py::module_& m);
void bind_resolve_from_frames(py::module_& m);
// time
void bind_julian_date(py::module_& m);
void bind_gmst_deg(py::module_& m);
// mask
void bind_foreground_mask(py::module_& m);
// remap
void bind_remap_image(py::module_& m);
void bind_remap_mask(py::module_& m);
// sky
void bind_precess_vector(py::module_& m);
void bind_great_circle_nm(py::module_& m);
void bind_covariance_ellipse(py::module_& m);
void bind_sun_apparent_jd(py::module_& m);
// The private `_ellipse_2sigma_nm`, the fix's ellipse rule for the error budget.
void bind_ellipse_of_covariance(py::module_& m);
// centroid
void bind_detect_centroids(py::module_& m);
void bind_detect_centroids_matched(py::module_& m);

// synth
void bind_scene(py::module_& m);
void bind_synthesize_scene(py::module_& m);

// The private submodule `_skies` (planets, the Moon, rendered real skies) behind stelvane.skies.
void bind_skies(py::module_& m);
void bind_synthesize_scene_with_bodies(py::module_& skies);

// The private submodule `_testing`, which exposes the shared intake for tests.
void bind_testing(py::module_& m);

}  // namespace stelvane::pyb
