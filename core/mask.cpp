// The foreground obstruction mask: histogram medians, a mirrored box mean by
// prefix sums and a two-pass city-block growth, all linear in the pixel count.
#include "core/mask.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>

namespace stelvane {

namespace {

constexpr std::size_t kValueBins = 65536;       // one per 16-bit value
constexpr std::size_t kDeviationBins = 131072;  // |2 * value - 2 * median| < 2 * 65536

// The bins holding the values of ascending ranks lo <= hi (0-based) of a histogram
// whose total count exceeds hi. The lower rank is always reached first.
std::pair<std::size_t, std::size_t> ranked_pair(const std::vector<std::uint64_t>& hist, std::uint64_t lo,
                                                std::uint64_t hi) {
    std::uint64_t seen = 0;
    std::size_t at_lo = 0;
    bool have_lo = false;
    for (std::size_t v = 0; v < hist.size(); ++v) {
        seen += hist[v];
        if (!have_lo && seen > lo) {
            at_lo = v;
            have_lo = true;
        }
        if (seen > hi) return {at_lo, v};
    }
    // Unreachable: the histograms hold every pixel of a non-empty frame.
    assert(false && "median walk ran off the histogram");
    return {hist.size() - 1, hist.size() - 1};
}

// mirror[j] = mirror_index(j - 30, length) for j = 0 ... length + 59: the sample read by
// each of the length + 60 positions of the mirrored line.
std::vector<std::size_t> mirror_table(std::size_t length) {
    std::vector<std::size_t> table(length + 2 * kForegroundBoxHalf);
    for (std::size_t j = 0; j < table.size(); ++j) {
        table[j] = mirror_index(static_cast<std::ptrdiff_t>(j) - static_cast<std::ptrdiff_t>(kForegroundBoxHalf),
                                length);
    }
    return table;
}

// Window sums of one line: prefix[k] = prefix[k - 1] + line[mirror[k - 1]] for k = 1 ... L + 60,
// then out[p] = finish(prefix[p + 61] - prefix[p]). `prefix` holds at least L + 61 entries.
template <class In, class Acc, class Out, class Finish>
void window_line(const In* line, std::size_t length, const std::vector<std::size_t>& mirror, Acc* prefix, Out* out,
                 Finish finish) {
    prefix[0] = Acc{0};
    for (std::size_t k = 1; k <= length + 2 * kForegroundBoxHalf; ++k) {
        prefix[k] = prefix[k - 1] + static_cast<Acc>(line[mirror[k - 1]]);
    }
    for (std::size_t p = 0; p < length; ++p) out[p] = finish(prefix[p + kForegroundBox] - prefix[p]);
}

// The column pass over a plane of row results (width x height, row-major). The column
// prefix sums are kept as whole rows in a ring of 62 so that the plane is read row by row;
// each column sees exactly the additions of its own prefix line. For every output row p,
// in order, calls sink(p, upper, lower) with upper = P[p + 61] and lower = P[p] as rows.
template <class In, class Acc, class Sink>
void column_windows(const In* rows, std::size_t width, std::size_t height, Sink sink) {
    constexpr std::size_t ring_rows = kForegroundBox + 1;
    const std::vector<std::size_t> mirror = mirror_table(height);
    std::vector<Acc> ring(ring_rows * width, Acc{0});  // P[0] = 0 in slot 0
    for (std::size_t k = 1; k <= height + 2 * kForegroundBoxHalf; ++k) {
        const Acc* previous = ring.data() + ((k - 1) % ring_rows) * width;
        Acc* current = ring.data() + (k % ring_rows) * width;
        const In* source = rows + mirror[k - 1] * width;
        for (std::size_t x = 0; x < width; ++x) current[x] = previous[x] + static_cast<Acc>(source[x]);
        if (k >= kForegroundBox) {
            sink(k - kForegroundBox, static_cast<const Acc*>(current),
                 static_cast<const Acc*>(ring.data() + ((k - kForegroundBox) % ring_rows) * width));
        }
    }
}

// Forward raster step of the distance transform on one row (rows top to bottom):
// value = min(value, up + 1, left + 1), `up` null on the first row.
void forward_row(std::uint32_t* row, const std::uint32_t* up, std::size_t width) {
    // Unsigned: infinity + 1 never beats infinity, so it never grows.
    if (up != nullptr) {
        for (std::size_t x = 0; x < width; ++x) row[x] = std::min(row[x], up[x] + 1u);
    }
    for (std::size_t x = 1; x < width; ++x) row[x] = std::min(row[x], row[x - 1] + 1u);
}

// Backward raster step (rows bottom to top, columns right to left):
// value = min(value, down + 1, right + 1), `down` null on the last row.
void backward_row(std::uint32_t* row, const std::uint32_t* down, std::size_t width) {
    if (down != nullptr) {
        for (std::size_t x = 0; x < width; ++x) row[x] = std::min(row[x], down[x] + 1u);
    }
    for (std::size_t x = width - 1; x-- > 0;) row[x] = std::min(row[x], row[x + 1] + 1u);
}

// Frame median and MAD by the histogram walks; returns the brightness threshold
// w = m + 2.5 * 1.4826 * MAD.
double bright_threshold(const GrayImage& image) {
    const std::uint64_t n = image.pixels.size();
    std::vector<std::uint64_t> values(kValueBins, 0);
    for (std::uint16_t v : image.pixels) ++values[v];
    const std::uint64_t lo = (n - 1) / 2;
    const std::uint64_t hi = n / 2;
    const auto [a, b] = ranked_pair(values, lo, hi);
    const double median = 0.5 * static_cast<double>(a + b);
    // Doubled deviations |2 v - (a + b)| are whole numbers; every pixel of value v has the
    // same one, so the deviation histogram is filled from the value histogram.
    const std::int64_t twice_median = static_cast<std::int64_t>(a + b);
    std::vector<std::uint64_t> deviations(kDeviationBins, 0);
    for (std::size_t v = 0; v < kValueBins; ++v) {
        if (values[v] == 0) continue;
        const std::int64_t d = 2 * static_cast<std::int64_t>(v) - twice_median;
        deviations[static_cast<std::size_t>(d < 0 ? -d : d)] += values[v];
    }
    const auto [da, db] = ranked_pair(deviations, lo, hi);
    const double mad = static_cast<double>(da + db) * 0.25;
    return median + kForegroundSigmas * kMadToSigma * mad;
}

}  // namespace

std::size_t mirror_index(std::ptrdiff_t i, std::size_t length) {
    if (length == 0) return 0;  // no sample to read; callers never index an empty line
    // Mirroring with the border sample repeated has period 2L: fold into [0, 2L), then
    // the upper half reads backwards.
    const auto period = static_cast<std::ptrdiff_t>(2 * length);
    std::ptrdiff_t r = i % period;
    if (r < 0) r += period;
    const auto u = static_cast<std::size_t>(r);
    return u < length ? u : 2 * length - 1 - u;
}

std::vector<double> box_mean(std::span<const double> plane, std::size_t width, std::size_t height) {
    if (width == 0 || height == 0 || plane.size() != width * height) return {};
    const double box = static_cast<double>(kForegroundBox);
    const auto mean = [box](double sum) { return sum / box; };
    std::vector<double> rows(width * height);
    std::vector<double> prefix(width + kForegroundBox);
    const std::vector<std::size_t> mirror = mirror_table(width);
    for (std::size_t y = 0; y < height; ++y) {
        window_line(plane.data() + y * width, width, mirror, prefix.data(), rows.data() + y * width, mean);
    }
    std::vector<double> out(width * height);
    column_windows<double, double>(rows.data(), width, height,
                                   [&](std::size_t p, const double* upper, const double* lower) {
                                       double* o = out.data() + p * width;
                                       for (std::size_t x = 0; x < width; ++x) o[x] = mean(upper[x] - lower[x]);
                                   });
    return out;
}

std::vector<std::uint32_t> city_block_distance(std::span<const std::uint8_t> seeds, std::size_t width,
                                               std::size_t height) {
    if (width == 0 || height == 0 || seeds.size() != width * height) return {};
    std::vector<std::uint32_t> dist(width * height);
    for (std::size_t i = 0; i < dist.size(); ++i) dist[i] = seeds[i] != 0 ? 0u : kDistanceInfinity;
    for (std::size_t y = 0; y < height; ++y) {
        forward_row(dist.data() + y * width, y > 0 ? dist.data() + (y - 1) * width : nullptr, width);
    }
    for (std::size_t y = height; y-- > 0;) {
        backward_row(dist.data() + y * width, y + 1 < height ? dist.data() + (y + 1) * width : nullptr, width);
    }
    return dist;
}

Result<ForegroundMask> foreground_mask(const GrayImage& image) {
    const std::size_t w = image.width;
    const std::size_t h = image.height;
    std::size_t expected = 0;
    if (w == 0 || h == 0 || __builtin_mul_overflow(w, h, &expected) || expected != image.pixels.size()) {
        return Error(BadImage{std::to_string(w) + "x" + std::to_string(h) + " does not match " +
                              std::to_string(image.pixels.size()) + " pixels"});
    }

    // Bright map as 0/1 counts. For a whole value v, v > threshold exactly when v > floor(threshold).
    const double threshold = bright_threshold(image);
    const double cut = std::floor(threshold);
    const std::uint32_t above = cut >= 65535.0 ? 65535u : static_cast<std::uint32_t>(cut);

    // The box is held as counts of bright pixels: the row windows (at most 61) in bytes, the
    // column sums (at most 3721) in 32 bits. Integer sums are exact, so "mean > 0.1" becomes
    // count > 372 (0.1 * 3721 = 372.1): the same verdict for every count, since no count
    // brings the mean within rounding of 0.1. Prefix sums may wrap on extreme line lengths;
    // the unsigned window differences (at most 3721) stay exact.
    std::vector<std::uint8_t> row_counts(w * h);
    {
        const std::vector<std::size_t> mirror = mirror_table(w);
        std::vector<std::uint8_t> bright(w);
        std::vector<std::uint32_t> prefix(w + kForegroundBox);
        const auto identity = [](std::uint32_t s) { return static_cast<std::uint8_t>(s); };
        for (std::size_t y = 0; y < h; ++y) {
            const std::uint16_t* px = image.pixels.data() + y * w;
            for (std::size_t x = 0; x < w; ++x) bright[x] = px[x] > above ? 1 : 0;
            window_line(bright.data(), w, mirror, prefix.data(), row_counts.data() + y * w, identity);
        }
    }

    // Dense pixels start the distance plane at 0, the rest at infinity; the forward raster
    // pass runs on each row as soon as the column pass delivers it.
    constexpr double box_area = static_cast<double>(kForegroundBox * kForegroundBox);
    const auto dense_above = static_cast<std::uint32_t>(kForegroundDensity * box_area);  // 372
    std::vector<std::uint32_t> dist(w * h);
    column_windows<std::uint8_t, std::uint32_t>(
        row_counts.data(), w, h, [&](std::size_t y, const std::uint32_t* upper, const std::uint32_t* lower) {
            std::uint32_t* row = dist.data() + y * w;
            for (std::size_t x = 0; x < w; ++x) {
                row[x] = upper[x] - lower[x] > dense_above ? 0u : kDistanceInfinity;
            }
            forward_row(row, y > 0 ? row - w : nullptr, w);
        });
    row_counts = {};

    ForegroundMask result;
    result.mask.width = w;
    result.mask.height = h;
    result.mask.flags.resize(w * h);
    std::size_t flagged = 0;
    for (std::size_t y = h; y-- > 0;) {
        std::uint32_t* row = dist.data() + y * w;
        backward_row(row, y + 1 < h ? row + w : nullptr, w);
        std::uint8_t* flags = result.mask.flags.data() + y * w;
        for (std::size_t x = 0; x < w; ++x) {
            const bool flag = row[x] <= kForegroundGrowth;
            flags[x] = flag ? 1 : 0;
            flagged += flag ? 1 : 0;
        }
    }
    result.fraction = static_cast<double>(flagged) / static_cast<double>(w * h);
    return result;
}

}  // namespace stelvane
