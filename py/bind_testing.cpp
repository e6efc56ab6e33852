// The private submodule `_testing`: the shared intake operations, exposed so
// that tests can pin their rules before every entry point that uses them exists.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "py/bindings.hpp"
#include "py/catalog_object.hpp"
#include "py/convert.hpp"
#include "py/intake.hpp"

namespace stelvane::pyb {

void bind_testing(py::module_& m) {
    py::module_ t = m.def_submodule("_testing", "Intake rules of the stelvane module, for tests only.");
    t.def("extract_u16_image", [](py::object obj) {
        OwnedImage image = extract_u16_image(obj);
        py::array_t<std::uint16_t> pixels({image.height, image.width});
        std::copy(image.pixels.begin(), image.pixels.end(), pixels.mutable_data());
        return py::make_tuple(pixels, image.width, image.height);
    });
    t.def("extract_bool_mask", [](py::object obj) {
        OwnedMask mask = extract_bool_mask(obj);
        py::array_t<bool> flags({mask.height, mask.width});
        std::copy(mask.flags.begin(), mask.flags.end(), flags.mutable_data());
        return py::make_tuple(flags, mask.width, mask.height);
    });
    t.def("focal_for_projection", [](py::object focal_px, py::object fisheye_fov_deg, double k1, double k2,
                                     double k3, double k4) {
        return focal_for_projection(to_opt_double(focal_px, "focal_px"), !fisheye_fov_deg.is_none(), k1, k2, k3,
                                    k4);
    });
    t.def("derived_extent", [](const std::string& extent, const std::string& centre_name, double centre) {
        return derived_extent(extent.c_str(), centre_name.c_str(), centre);
    });
    t.def("check_psf_sigma_px", [](double value) { return check_psf_sigma_px(value); });
    t.def("utc_to_jd", [](py::object utc) { return utc_to_jd(utc); });
    t.def("to_u32", [](py::object v) { return to_u32(v, "value"); });
    t.def("to_usize", [](py::object v) { return to_usize(v, "value"); });
    t.def("to_double_list", [](py::object v) { return to_double_list(v, "values"); });
    t.def("to_double", [](py::object v) { return to_double(v, "value"); });
    t.def("to_bool", [](py::object v) { return to_bool(v, "value"); });
    // The engine catalog a later entry point would borrow from its `catalog` argument.
    t.def("borrowed_catalog_size", [](py::object catalog) {
        const std::shared_ptr<const Catalog> shared = share_catalog(catalog, "catalog");
        return py::make_tuple(borrow_catalog(catalog, "catalog").stars.size(), shared->pairs.size(),
                              shared.get() == &borrow_catalog(catalog, "catalog"));
    });
}

}  // namespace stelvane::pyb
