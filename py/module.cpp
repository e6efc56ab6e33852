// The extension module: registers every public name in one fixed order and
// lists them in __all__. The order lives in the two tables below, after the error
// classes that lead the list.
#include <pybind11/pybind11.h>

#include <span>

#include "py/bindings.hpp"
#include "py/errors.hpp"

namespace stelvane::pyb {
namespace {

void bind_stelvane_error(py::module_& m) { m.attr("StelvaneError") = stelvane_error_type(); }

struct Registration {
    const char* name;
    Binder bind;
};

// Names beyond the original surface; they follow the error classes, ahead of the table below.
constexpr Registration kAdditions[] = {
    {"Calibration", bind_calibration},
    {"calibrate_camera", bind_calibrate_camera},
};

// Classes first, then functions, then the exception class.
constexpr Registration kRegistrations[] = {
    {"Camera", bind_camera},
    {"Catalog", bind_catalog},
    {"Fix", bind_fix},
    {"FixTracker", bind_fix_tracker},
    {"Scene", bind_scene},
    {"julian_date", bind_julian_date},
    {"gmst_deg", bind_gmst_deg},
    {"precess_vector", bind_precess_vector},
    {"detect_centroids", bind_detect_centroids},
    {"detect_centroids_matched", bind_detect_centroids_matched},
    {"foreground_mask", bind_foreground_mask},
    {"great_circle_nm", bind_great_circle_nm},
    {"covariance_ellipse", bind_covariance_ellipse},
    {"synthesize_scene", bind_synthesize_scene},
    {"resolve_fix", bind_resolve_fix},
    {"resolve_from_centroids", bind_resolve_from_centroids},
    {"resolve_from_frames", bind_resolve_from_frames},
    {"remap_image", bind_remap_image},
    {"remap_mask", bind_remap_mask},
    {"sun_apparent_jd", bind_sun_apparent_jd},
    {"StelvaneError", bind_stelvane_error},
};

py::list module_all(py::module_& m) {
    if (!py::hasattr(m, "__all__")) m.attr("__all__") = py::list();
    return m.attr("__all__");
}

}  // namespace
}  // namespace stelvane::pyb

PYBIND11_MODULE(_lib, m) {
    using namespace stelvane::pyb;
    // Docstrings begin with a "name(signature)\n--\n\n" line, generated from each parameter list.
    py::options options;
    options.disable_function_signatures();
    register_error_translators();
    py::list all = module_all(m);
    // The subclasses of StelvaneError lead __all__; the registered names follow in their order.
    for (const ErrorClass& e : stelvane_error_subclasses()) {
        m.attr(e.name) = e.type;
        all.append(e.name);
    }
    for (const auto& table : {std::span<const Registration>(kAdditions), std::span<const Registration>(kRegistrations)}) {
        for (const Registration& r : table) {
            r.bind(m);
            // A binder that failed to bind its name fails the import here.
            m.attr(r.name).attr("__module__") = "stelvane";
            all.append(r.name);
        }
    }
    m.attr("_InternalFault") = internal_fault_type();
    bind_ellipse_of_covariance(m);
    bind_testing(m);
    bind_skies(m);
}
