// New NumPy arrays holding the engine's owned images and masks, shaped
// (height, width) like the arrays the intake takes.
#pragma once

#include <pybind11/numpy.h>

#include <cstdint>
#include <cstring>

#include "core/image.hpp"

namespace stelvane::pyb {

namespace py = pybind11;

inline py::array_t<bool> to_bool_array(const OwnedMask& mask) {
    static_assert(sizeof(bool) == sizeof(std::uint8_t));
    py::array_t<bool> out({static_cast<py::ssize_t>(mask.height), static_cast<py::ssize_t>(mask.width)});
    if (!mask.flags.empty()) std::memcpy(out.mutable_data(), mask.flags.data(), mask.flags.size());
    return out;
}

inline py::array_t<std::uint16_t> to_u16_array(const OwnedImage& image) {
    py::array_t<std::uint16_t> out({static_cast<py::ssize_t>(image.height), static_cast<py::ssize_t>(image.width)});
    if (!image.pixels.empty()) {
        std::memcpy(out.mutable_data(), image.pixels.data(), image.pixels.size() * sizeof(std::uint16_t));
    }
    return out;
}

}  // namespace stelvane::pyb
