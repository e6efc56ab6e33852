// Intake shared by the entry points: image and mask arrays, the focal rule of
// the three lens projections, the derived image extent, the PSF width check and
// the UTC instant. Each copies what it takes; no Python object outlives the call.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>

#include "core/image.hpp"

namespace stelvane::pyb {

namespace py = pybind11;

// A 2-D uint16 or uint8 C-contiguous NumPy array, copied (uint8 widened by 257).
OwnedImage extract_u16_image(py::handle obj);
// A 2-D bool C-contiguous NumPy array, copied.
OwnedMask extract_bool_mask(py::handle obj);

// The mask intake of an optional `mask=` argument: None gives no mask.
std::optional<OwnedMask> extract_optional_mask(py::handle obj);
// The view of a mask that may be absent.
inline std::optional<PixelMask> optional_view(const std::optional<OwnedMask>& mask) {
    return mask ? std::optional<PixelMask>(mask->view()) : std::nullopt;
}

// The focal length to build the camera with, from which of focal_px, the
// fisheye field and k1..k4 were given; 0 means "derive it from the image extent"
// (the ideal equidistant fisheye). Refuses combinations where a value would be ignored.
double focal_for_projection(std::optional<double> focal_px, bool fisheye_fov_given, double k1, double k2, double k3,
                            double k4);

// round(2 * centre) as a saturating unsigned extent; refuses a centre that is not positive.
std::uint32_t derived_extent(const char* extent_name, const char* centre_name, double centre);

// A matched-filter PSF width: finite and in (0, 64] pixels.
double check_psf_sigma_px(double value);

// Julian Date of a UTC instant: a 6-tuple (year, month, day, hour, minute, second)
// or a timezone-aware datetime. `name` is the argument reported in conversion errors.
double utc_to_jd(py::handle obj, const char* name = "utc");

}  // namespace stelvane::pyb
