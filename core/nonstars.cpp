// Hot pixels and blown-out regions: the two kinds of non-star that a frame itself
// betrays, found before the detections are truncated and identified.
#include "core/nonstars.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "core/units.hpp"

namespace stelvane {

using namespace nonstar_constants;

double BlownOut::glare_radius_px() const { return 4.0 * std::sqrt(static_cast<double>(area_px)); }

std::size_t min_blown_out_area(const Camera& camera) {
    const double radius_px = MOON_MIN_RADIUS_RAD * camera.focal_px;
    const double half_disc = 0.5 * units::PI * radius_px * radius_px;
    if (!(half_disc > static_cast<double>(MIN_BLOWN_OUT_AREA))) return MIN_BLOWN_OUT_AREA;
    return static_cast<std::size_t>(std::ceil(std::min(half_disc, 1e15)));
}

namespace {

bool shapes_agree(const GrayImage& image, const std::optional<PixelMask>& mask) {
    const std::size_t n = image.width * image.height;
    if (n == 0 || image.pixels.size() != n) return false;
    return !mask || (mask->width == image.width && mask->height == image.height && mask->flags.size() == n);
}

// The brightest value of a run of pixels: a loop the compiler vectorises, so that the
// runs of a night frame, which hold no saturated pixel, cost one read each.
std::uint16_t brightest(const std::uint16_t* run, std::size_t length) {
    std::uint16_t most = 0;
    for (std::size_t k = 0; k < length; ++k) most = std::max(most, run[k]);
    return most;
}

// Saturated sky pixels, ascending by index. A night frame holds few, so the regions are
// grown over this list (neighbours found by bisection) rather than over the frame.
std::vector<std::size_t> saturated_pixels(const GrayImage& image, const std::optional<PixelMask>& mask) {
    constexpr std::size_t kRun = 256;
    const std::size_t n = image.pixels.size();
    const std::uint16_t* pixels = image.pixels.data();
    std::vector<std::size_t> saturated;
    for (std::size_t start = 0; start < n; start += kRun) {
        const std::size_t end = std::min(n, start + kRun);
        if (brightest(pixels + start, end - start) < SATURATED_LEVEL) continue;
        for (std::size_t p = start; p < end; ++p) {
            if (pixels[p] >= SATURATED_LEVEL && !(mask && mask->flags[p])) saturated.push_back(p);
        }
    }
    return saturated;
}

}  // namespace

std::optional<BlownOut> largest_blown_out_region(const GrayImage& image, std::optional<PixelMask> mask,
                                                 std::size_t min_area) {
    if (!shapes_agree(image, mask)) return std::nullopt;
    const std::size_t w = image.width, n = image.width * image.height;
    if (min_area > n) return std::nullopt;
    const std::vector<std::size_t> saturated = saturated_pixels(image, mask);
    std::vector<std::uint8_t> visited(saturated.size(), 0);
    auto slot_of = [&](std::size_t p) -> std::optional<std::size_t> {
        const auto it = std::lower_bound(saturated.begin(), saturated.end(), p);
        if (it == saturated.end() || *it != p) return std::nullopt;
        return static_cast<std::size_t>(it - saturated.begin());
    };

    std::optional<BlownOut> best;
    std::vector<std::size_t> stack;
    for (std::size_t seed = 0; seed < saturated.size(); ++seed) {
        if (visited[seed]) continue;
        visited[seed] = 1;
        stack.assign(1, seed);
        std::size_t count = 0;
        double sum_x = 0.0, sum_y = 0.0;
        while (!stack.empty()) {
            const std::size_t p = saturated[stack.back()];
            stack.pop_back();
            const std::size_t x = p % w, y = p / w;
            ++count;
            sum_x += static_cast<double>(x);
            sum_y += static_cast<double>(y);
            const std::array<std::optional<std::size_t>, 4> neighbours{
                x > 0 ? std::optional(p - 1) : std::nullopt, x + 1 < w ? std::optional(p + 1) : std::nullopt,
                y > 0 ? std::optional(p - w) : std::nullopt, p + w < n ? std::optional(p + w) : std::nullopt};
            for (const auto& q : neighbours) {
                if (!q) continue;
                if (const auto slot = slot_of(*q); slot && !visited[*slot]) {
                    visited[*slot] = 1;
                    stack.push_back(*slot);
                }
            }
        }
        if (count >= min_area && (!best || count > best->area_px)) {
            const double c = static_cast<double>(count);
            best = BlownOut{Pixel{sum_x / c, sum_y / c}, count};
        }
    }
    return best;
}

bool looks_like_hot_pixel(const GrayImage& image, const Centroid& detection) {
    const long w = static_cast<long>(image.width), h = static_cast<long>(image.height);
    if (image.pixels.size() != image.width * image.height) return false;
    if (!std::isfinite(detection.x) || !std::isfinite(detection.y)) return false;
    auto at = [&](long x, long y) { return static_cast<double>(image.pixels[static_cast<std::size_t>(y * w + x)]); };
    const long x0 = std::lround(detection.x), y0 = std::lround(detection.y);
    if (x0 < 3 || y0 < 3 || x0 + 3 >= w || y0 + 3 >= h) return false;
    long px = x0, py = y0;
    for (long y = y0 - 1; y <= y0 + 1; ++y) {
        for (long x = x0 - 1; x <= x0 + 1; ++x) {
            if (at(x, y) > at(px, py)) px = x, py = y;
        }
    }
    std::array<double, 16> border{};
    std::size_t k = 0;
    for (long d = -2; d <= 2; ++d) {
        border[k++] = at(px + d, py - 2);
        border[k++] = at(px + d, py + 2);
    }
    for (long d = -1; d <= 1; ++d) {
        border[k++] = at(px - 2, py + d);
        border[k++] = at(px + 2, py + d);
    }
    std::nth_element(border.begin(), border.begin() + 8, border.end());
    const double background = border[8];
    const double peak = at(px, py) - background;
    if (!(peak > 0.0)) return false;
    double block = 0.0;
    for (long y = py - 1; y <= py + 1; ++y) {
        for (long x = px - 1; x <= px + 1; ++x) block += std::max(at(x, y) - background, 0.0);
    }
    return peak > HOT_PIXEL_PEAK_SHARE * block;
}

std::optional<BlownOut> drop_nonstars(const GrayImage& image, std::optional<PixelMask> mask, std::size_t min_area,
                                      std::optional<BlownOut> known, std::vector<Centroid>& detections) {
    const std::optional<BlownOut> blown = known ? std::nullopt : largest_blown_out_region(image, mask, min_area);
    const std::optional<BlownOut>& glare = known ? known : blown;
    std::erase_if(detections, [&](const Centroid& c) {
        if (glare && !(std::hypot(c.x - glare->centre.x, c.y - glare->centre.y) > glare->glare_radius_px())) {
            return true;
        }
        return looks_like_hot_pixel(image, c);
    });
    return blown;
}

}  // namespace stelvane
