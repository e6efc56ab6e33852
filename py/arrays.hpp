// NumPy arrays that take over the engine's owned images and masks without a copy,
// shaped (height, width) like the arrays the intake takes.
#pragma once

#include <pybind11/numpy.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "core/image.hpp"

namespace stelvane::pyb {

namespace py = pybind11;

// A writeable (height, width) array over `values`, which a capsule now owns and frees
// when the array (and every view of it) is gone.
template <class Element, class Stored>
py::array_t<Element> adopt_plane(std::vector<Stored>&& values, std::size_t height, std::size_t width) {
    static_assert(sizeof(Element) == sizeof(Stored));
    auto owned = std::make_unique<std::vector<Stored>>(std::move(values));
    const auto* data = reinterpret_cast<const Element*>(owned->data());
    py::capsule owner(owned.get(), [](void* p) { delete static_cast<std::vector<Stored>*>(p); });
    owned.release();  // the capsule frees it from here on
    const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(height), static_cast<py::ssize_t>(width)};
    return py::array_t<Element>(shape, data, owner);
}

inline py::array_t<bool> to_bool_array(OwnedMask&& mask) {
    return adopt_plane<bool>(std::move(mask.flags), mask.height, mask.width);
}

inline py::array_t<std::uint16_t> to_u16_array(OwnedImage&& image) {
    return adopt_plane<std::uint16_t>(std::move(image.pixels), image.height, image.width);
}

}  // namespace stelvane::pyb
