// Camera-to-camera remapping: destination pixel -> direction -> source pixel,
// sampled bilinearly for frames and nearest-neighbour for masks.
#include "core/remap.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace stelvane {

namespace {

std::string extent_text(std::string_view label, std::uint64_t width, std::uint64_t height) {
    return std::string(label) + " " + std::to_string(width) + "x" + std::to_string(height);
}

// Destinations smaller than this are remapped on the calling thread alone.
constexpr std::uint64_t kParallelMinPixels = 1u << 16;
constexpr unsigned kMaxWorkers = 16;

// Runs rows(begin, end) over [0, height) in contiguous row blocks, on up to one worker per
// hardware thread for large destinations. Every output pixel is written by exactly one
// block, so the result does not depend on the split. A worker that cannot be started
// leaves its block to the calling thread.
template <class Rows>
void for_row_blocks(std::uint64_t width, std::uint64_t height, const Rows& rows) {
    const unsigned hardware = std::max(1u, std::thread::hardware_concurrency());
    std::uint64_t blocks = width * height < kParallelMinPixels ? 1 : std::min<std::uint64_t>(hardware, kMaxWorkers);
    blocks = std::max<std::uint64_t>(1, std::min(blocks, height));
    if (blocks == 1) {
        rows(0, height);
        return;
    }
    std::vector<std::thread> workers;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> left_over;
    for (std::uint64_t b = 1; b < blocks; ++b) {
        const std::uint64_t begin = height * b / blocks;
        const std::uint64_t end = height * (b + 1) / blocks;
        try {
            workers.emplace_back([&rows, begin, end] { rows(begin, end); });
        } catch (const std::system_error&) {
            left_over.emplace_back(begin, end);
        }
    }
    rows(0, height / blocks);
    for (auto [begin, end] : left_over) rows(begin, end);
    for (std::thread& w : workers) w.join();
}

// The shared per-pixel pass over destination rows [row_begin, row_end): for each covered
// destination pixel calls sample(index, u, v) with the source point clamped into
// [0, Ws - 1] x [0, Hs - 1]; uncovered pixels are skipped (left as initialised).
template <class Sample>
void trace_rows(const Camera& source_camera, const Camera& dst_camera, std::uint64_t src_width,
                std::uint64_t src_height, std::uint64_t dst_width, std::uint64_t row_begin, std::uint64_t row_end,
                const Sample& sample) {
    const double u_end = static_cast<double>(src_width) - 0.5;
    const double v_end = static_cast<double>(src_height) - 0.5;
    const double u_max = static_cast<double>(src_width) - 1.0;
    const double v_max = static_cast<double>(src_height) - 1.0;
    for (std::uint64_t t = row_begin; t < row_end; ++t) {
        for (std::uint64_t j = 0; j < dst_width; ++j) {
            const Vec3 d = dst_camera.pixel_to_vec(static_cast<double>(j), static_cast<double>(t));
            if (!std::isfinite(d.x()) || !std::isfinite(d.y()) || !std::isfinite(d.z())) continue;
            if (!in_field(dst_camera, d)) continue;  // outside the destination lens's own field
            const std::optional<Pixel> s = source_camera.vec_to_pixel(d);
            if (!s) continue;  // outside the source lens's field
            const double u = s->x;
            const double v = s->y;
            // Half-open footprint of the source pixels; NaN fails every comparison.
            if (!(u >= -0.5 && u < u_end && v >= -0.5 && v < v_end)) continue;
            sample(t * dst_width + j, std::min(std::max(u, 0.0), u_max), std::min(std::max(v, 0.0), v_max));
        }
    }
}

// Nearest integer of a non-negative finite value below 2^52, halves away from zero: the same
// as std::round there, without the library call (the difference x - floor(x) is exact).
inline double round_half_up(double x) {
    const double whole = static_cast<double>(static_cast<std::uint64_t>(x));
    return x - whole >= 0.5 ? whole + 1.0 : whole;
}

// The extent and buffer checks shared by frames and masks.
Status check_extents(std::string_view source_label, std::string_view dst_label, std::uint64_t src_width,
                     std::uint64_t src_height, std::size_t src_values, std::uint64_t dst_width,
                     std::uint64_t dst_height) {
    const auto source = pixel_count(source_label, src_width, src_height);
    if (!source) return source.error();
    if (*source != src_values) {
        return Error(BadImage{extent_text(source_label, src_width, src_height) + " does not match " +
                              std::to_string(src_values) + " pixels"});
    }
    const auto dst = pixel_count(dst_label, dst_width, dst_height);
    if (!dst) return dst.error();
    return Ok{};
}

}  // namespace

bool in_field(const Camera& camera, const Vec3& v) {
    if (camera.kind == Projection::Pinhole) return !(v.z() <= 1e-12);
    return !(std::acos(std::clamp(v.z(), -1.0, 1.0)) >= camera.half_fov_rad);
}

Result<std::uint64_t> pixel_count(std::string_view label, std::uint64_t width, std::uint64_t height) {
    std::uint64_t count = 0;
    if (__builtin_mul_overflow(width, height, &count)) {
        return Error(BadImage{extent_text(label, width, height) + " overflows a pixel count"});
    }
    if (count > kRemapPixelLimit) {
        return Error(BadImage{extent_text(label, width, height) + " is " + std::to_string(count) +
                              " pixels, over the " + std::to_string(kRemapPixelLimit) + " limit"});
    }
    return count;
}

Result<OwnedImage> remap_image(const GrayImage& source, const Camera& source_camera, const Camera& dst_camera,
                               std::uint64_t dst_width, std::uint64_t dst_height, std::uint16_t fill) {
    const Status checked = check_extents("source image", "destination image", source.width, source.height,
                                         source.pixels.size(), dst_width, dst_height);
    if (!checked) return checked.error();

    OwnedImage out;
    out.width = dst_width;
    out.height = dst_height;
    out.pixels.assign(dst_width * dst_height, fill);
    const std::uint64_t ws = source.width;
    const std::uint64_t hs = source.height;
    const std::uint16_t* src = source.pixels.data();
    std::uint16_t* dst = out.pixels.data();
    const auto bilinear = [=](std::uint64_t index, double u, double v) {
        // u, v >= 0 here, so truncation is the floor.
        const auto x0 = static_cast<std::uint64_t>(u);
        const auto y0 = static_cast<std::uint64_t>(v);
        const std::uint64_t x1 = std::min(x0 + 1, ws - 1);
        const std::uint64_t y1 = std::min(y0 + 1, hs - 1);
        const double fx = u - static_cast<double>(x0);
        const double fy = v - static_cast<double>(y0);
        const double s00 = src[y0 * ws + x0], s10 = src[y0 * ws + x1];
        const double s01 = src[y1 * ws + x0], s11 = src[y1 * ws + x1];
        const double value = (1 - fy) * ((1 - fx) * s00 + fx * s10) + fy * ((1 - fx) * s01 + fx * s11);
        // A blend of 16-bit samples with weights in [0, 1] stays within 0 ... 65535; the clamp
        // only guards the conversion.
        dst[index] = static_cast<std::uint16_t>(std::clamp(round_half_up(std::max(value, 0.0)), 0.0, 65535.0));
    };
    for_row_blocks(dst_width, dst_height, [&](std::uint64_t begin, std::uint64_t end) {
        trace_rows(source_camera, dst_camera, ws, hs, dst_width, begin, end, bilinear);
    });
    return out;
}

Result<OwnedMask> remap_mask(const PixelMask& source, const Camera& source_camera, const Camera& dst_camera,
                             std::uint64_t dst_width, std::uint64_t dst_height) {
    const Status checked = check_extents("source mask", "destination mask", source.width, source.height,
                                         source.flags.size(), dst_width, dst_height);
    if (!checked) return checked.error();

    OwnedMask out;
    out.width = dst_width;
    out.height = dst_height;
    out.flags.assign(dst_width * dst_height, 1);  // uncovered sky is excluded, not trusted
    const std::uint64_t ws = source.width;
    const std::uint8_t* src = source.flags.data();
    std::uint8_t* dst = out.flags.data();
    const auto nearest = [=](std::uint64_t index, double u, double v) {
        const auto x = static_cast<std::uint64_t>(round_half_up(u));
        const auto y = static_cast<std::uint64_t>(round_half_up(v));
        dst[index] = src[y * ws + x] != 0 ? 1 : 0;
    };
    for_row_blocks(dst_width, dst_height, [&](std::uint64_t begin, std::uint64_t end) {
        trace_rows(source_camera, dst_camera, ws, source.height, dst_width, begin, end, nearest);
    });
    return out;
}

}  // namespace stelvane
