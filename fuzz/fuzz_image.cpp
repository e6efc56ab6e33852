// Coverage-guided fuzzing of the image entry points of the engine: both star
// detectors, the solar disc, the foreground mask and the two remaps, on small
// arbitrary frames with arbitrary parameters (mismatched buffers and masks,
// huge counts, non-finite camera scalars). Input layout: width and height bytes,
// a 40-byte parameter block (see Params), then the pixels (u16, little-endian,
// zero-padded) and mask flags (one bit per pixel from the remaining bytes).
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "core/centroid.hpp"
#include "core/mask.hpp"
#include "core/plate.hpp"
#include "core/remap.hpp"

using namespace stelvane;

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

constexpr std::size_t kMaxExtent = 48;
constexpr std::size_t kParamBytes = 40;

// A camera scalar from one byte: the first eight codes are hostile specials, the
// rest an ordinary value offset + (code - 8) * step.
double scalar(std::uint8_t code, double offset, double step) {
    constexpr double kSpecial[8] = {std::numeric_limits<double>::quiet_NaN(),
                                    std::numeric_limits<double>::infinity(),
                                    -std::numeric_limits<double>::infinity(),
                                    0.0,
                                    -0.0,
                                    1e308,
                                    -1e308,
                                    std::numeric_limits<double>::denorm_min()};
    return code < 8 ? kSpecial[code] : offset + static_cast<double>(code - 8) * step;
}

// kind byte, then focal, cx, cy, fov, k1..k4 codes (9 bytes); extent is the camera's own.
Camera camera_from(const std::uint8_t* p, std::uint32_t width, std::uint32_t height) {
    const double focal = scalar(p[1], 0.0, 4.0);
    const double cx = scalar(p[2], -10.0, 0.5);
    const double cy = scalar(p[3], -10.0, 0.5);
    std::optional<double> fov;
    if (p[0] % 3 != 0) fov = scalar(p[4], 0.0, 1.5);
    double k[4] = {0.0, 0.0, 0.0, 0.0};
    if (p[0] % 3 == 2) {
        for (int i = 0; i < 4; ++i) k[i] = scalar(p[5 + i], -1.24, 0.01);
    }
    return Camera::from_fov(width, height, fov, p[0] % 3 == 1 ? 0.0 : focal, cx, cy, k[0], k[1], k[2], k[3]);
}

std::size_t count_from(const std::uint8_t* p) {
    const std::size_t raw = p[0] | (p[1] << 8) | (static_cast<std::size_t>(p[2]) << 16);
    // The top bit of the fourth byte asks for an absurd count near SIZE_MAX.
    return (p[3] & 0x80) != 0 ? std::numeric_limits<std::size_t>::max() - raw : raw;
}

void check_detections(const std::vector<Centroid>& found, std::size_t max_count, std::size_t width,
                      std::size_t height) {
    require(found.size() <= max_count);
    for (std::size_t k = 0; k < found.size(); ++k) {
        const Centroid& c = found[k];
        require(std::isfinite(c.x) && std::isfinite(c.y));
        require(c.x >= -1.0 && c.x <= static_cast<double>(width) && c.y >= -1.0 && c.y <= static_cast<double>(height));
        if (k > 0) require(!(found[k - 1].flux < c.flux));  // brightest first
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2 + kParamBytes) return 0;
    const std::size_t width = data[0] % (kMaxExtent + 1);
    const std::size_t height = data[1] % (kMaxExtent + 1);
    const std::uint8_t* params = data + 2;
    const std::span<const std::uint8_t> body(data + 2 + kParamBytes, size - 2 - kParamBytes);

    const std::uint8_t flags = params[0];
    const std::size_t n = width * height;
    std::vector<std::uint16_t> pixels(n, 0);
    for (std::size_t i = 0; i < n && 2 * i + 1 < body.size(); ++i) {
        pixels[i] = static_cast<std::uint16_t>(body[2 * i] | (body[2 * i + 1] << 8));
    }
    // Bit 2: a buffer one pixel short of the frame, which every entry point must refuse or survive.
    std::span<const std::uint16_t> pixel_span(pixels);
    if ((flags & 4) != 0 && !pixel_span.empty()) pixel_span = pixel_span.first(pixel_span.size() - 1);
    const GrayImage image{width, height, pixel_span};

    // Bit 1: a mask of another shape than the frame.
    const std::size_t mask_width = (flags & 2) != 0 ? (width + 1) % (kMaxExtent + 1) : width;
    std::vector<std::uint8_t> mask_flags(mask_width * height, 0);
    const std::span<const std::uint8_t> mask_source = body.size() > 2 * n ? body.subspan(2 * n) : body;
    for (std::size_t i = 0; i < mask_flags.size() && !mask_source.empty(); ++i) {
        mask_flags[i] = (mask_source[(i / 8) % mask_source.size()] >> (i % 8)) & 1;
    }
    std::optional<PixelMask> mask;
    if ((flags & 1) != 0) mask = PixelMask{mask_width, height, mask_flags};

    const std::size_t max_count = count_from(params + 1);
    const double psf_sigma_px = (static_cast<double>(params[5]) + 1.0) / 4.0;  // (0, 64], as the module checks
    const std::size_t min_area = params[6] | (params[7] << 8);

    if (auto found = detect_centroids_masked(image, max_count, mask); found.ok()) {
        check_detections(found.value(), max_count, width, height);
    }
    if (auto found = detect_centroids_matched(image, max_count, psf_sigma_px); found.ok()) {
        check_detections(found.value(), max_count, width, height);
    }
    if (auto sun = detect_sun_masked(image, min_area, mask)) {
        require(std::isfinite(sun->x) && std::isfinite(sun->y));
    }
    if (auto fg = foreground_mask(image); fg.ok()) {
        require(fg.value().mask.flags.size() == n && fg.value().fraction >= 0.0 && fg.value().fraction <= 1.0);
    }

    const auto w32 = static_cast<std::uint32_t>(width);
    const auto h32 = static_cast<std::uint32_t>(height);
    const std::uint64_t dst_width = params[26] % 40;
    const std::uint64_t dst_height = params[27] % 40;
    const Camera source = camera_from(params + 8, w32, h32);
    const Camera destination = camera_from(params + 17, static_cast<std::uint32_t>(dst_width),
                                           static_cast<std::uint32_t>(dst_height));
    const auto fill = static_cast<std::uint16_t>(params[28] | (params[29] << 8));
    if (auto out = remap_image(image, source, destination, dst_width, dst_height, fill); out.ok()) {
        require(out.value().pixels.size() == dst_width * dst_height);
    }
    const PixelMask plain_mask{mask_width, height, mask_flags};
    if (auto out = remap_mask(plain_mask, source, destination, dst_width, dst_height); out.ok()) {
        require(out.value().flags.size() == dst_width * dst_height);
        for (std::uint8_t f : out.value().flags) require(f <= 1);
    }
    return 0;
}
