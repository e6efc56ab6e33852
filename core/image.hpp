// Views over image pixels and obstruction flags owned by the caller for the
// duration of one engine call, and the owned mask that mask builders return.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace stelvane {

// width x height 16-bit pixels, row-major: pixel (x, y) at y * width + x; full scale 65535.
struct GrayImage {
    std::size_t width = 0;
    std::size_t height = 0;
    std::span<const std::uint16_t> pixels;

    std::uint16_t at(std::size_t x, std::size_t y) const { return pixels[y * width + x]; }
};

// One flag per pixel in the same order; true (non-zero) marks a pixel that is not sky.
struct PixelMask {
    std::size_t width = 0;
    std::size_t height = 0;
    std::span<const std::uint8_t> flags;

    bool at(std::size_t x, std::size_t y) const { return flags[y * width + x] != 0; }
};

// A mask that owns its flags (results of mask derivation and remapping).
struct OwnedMask {
    std::size_t width = 0;
    std::size_t height = 0;
    std::vector<std::uint8_t> flags;

    PixelMask view() const { return {width, height, flags}; }
};

}  // namespace stelvane

namespace stelvane {

// An image that owns its pixels (intake copies, rendered scenes, remapped frames).
struct OwnedImage {
    std::size_t width = 0;
    std::size_t height = 0;
    std::vector<std::uint16_t> pixels;

    GrayImage view() const { return {width, height, pixels}; }
};

}  // namespace stelvane
