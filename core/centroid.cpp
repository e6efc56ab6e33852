// Image analysis for star detection: the tiled background mesh and robust noise
// figure, the connected-component and matched-filter star detectors with their
// log-parabola sub-pixel refinement, and the solar-disc detector.
#include "core/centroid.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include "core/robust.hpp"
#include "core/selector.hpp"

namespace stelvane {

namespace {

// Connected-component detector: threshold in robust sigmas and its floor on the
// 16-bit scale, the accepted component sizes, the margin of the profile box.
constexpr double kStarSigmas = 5.0;
constexpr double kStarFloor = 2048.0;
constexpr std::size_t kMinStarPixels = 3;
constexpr std::size_t kMaxStarPixels = 400;
constexpr std::size_t kProfileMargin = 3;

// Matched filter: acceptance in robust sigmas of the filtered surface, the
// half-size of the local-maximum window (5 x 5) and of the refinement profile.
constexpr double kMatchedSigmas = 4.0;
constexpr std::size_t kPeakHalf = 2;
constexpr std::size_t kRefineHalf = 3;
// Surface values checked at once for holding any candidate.
constexpr std::size_t kScanBlock = 16;

// Solar disc: threshold in robust sigmas and its floor above the frame median.
constexpr double kSunSigmas = 5.0;
constexpr double kSunFloor = 2048.0;

// width x height with width, height >= 1 and exactly width * height values.
bool shape_holds(std::size_t width, std::size_t height, std::size_t count) {
    return width != 0 && height != 0 && count / width == height && count % width == 0;
}

bool mask_matches(const GrayImage& image, const PixelMask& mask) {
    return mask.width == image.width && mask.height == image.height &&
           mask.flags.size() == image.pixels.size();
}

// The k-th smallest (0-based) of 16-bit values by a two-level byte histogram,
// with the range of the high bytes seen (for coarse value bounds).
struct TileRank {
    std::uint16_t value;
    std::uint16_t floor;    // <= every value
    std::uint16_t ceiling;  // >= every value
};

// Selects ranks of tiles one after another, keeping its histograms zeroed between
// calls: only the bins between the smallest and largest high byte of a tile are
// merged and cleared, which for a sky tile is a handful of the 256.
class TileSelector {
public:
    TileRank kth(std::span<const std::uint16_t> values, std::size_t k) {
        const std::size_t n = values.size();
        std::uint16_t vmin = 0xFFFF, vmax = 0;
        for (const std::uint16_t v : values) {
            vmin = v < vmin ? v : vmin;
            vmax = v > vmax ? v : vmax;
        }
        const std::size_t first = vmin >> 8;
        const std::size_t last = vmax >> 8;
        // Four interleaved histograms, so that runs of equal high bytes (a flat sky)
        // do not serialise on one counter.
        std::size_t i = 0;
        for (; i + 4 <= n; i += 4) {
            ++high_[0][values[i] >> 8];
            ++high_[1][values[i + 1] >> 8];
            ++high_[2][values[i + 2] >> 8];
            ++high_[3][values[i + 3] >> 8];
        }
        for (; i < n; ++i) ++high_[0][values[i] >> 8];
        std::size_t before = 0;
        std::size_t hb = first;
        for (;; ++hb) {
            const std::size_t in_bin = high_[0][hb] + high_[1][hb] + high_[2][hb] + high_[3][hb];
            if (before + in_bin > k) break;
            before += in_bin;
        }
        for (std::size_t b = first; b <= last; ++b) high_[0][b] = high_[1][b] = high_[2][b] = high_[3][b] = 0;
        // Low bytes of the values in the high-byte bin hb, counted without a branch (a
        // sky near a multiple of 256 puts values on both sides of hb at random): every
        // value adds 1 or 0 to the bin of its low byte, so the additions spread over the
        // bins instead of queueing on one spare counter.
        auto in_hb = [hb](std::uint16_t v) { return static_cast<std::uint32_t>((v >> 8) == hb); };
        i = 0;
        for (; i + 4 <= n; i += 4) {
            low_[0][values[i] & 0xFFu] += in_hb(values[i]);
            low_[1][values[i + 1] & 0xFFu] += in_hb(values[i + 1]);
            low_[2][values[i + 2] & 0xFFu] += in_hb(values[i + 2]);
            low_[3][values[i + 3] & 0xFFu] += in_hb(values[i + 3]);
        }
        for (; i < n; ++i) low_[0][values[i] & 0xFFu] += in_hb(values[i]);
        std::size_t lb = 0;
        for (;; ++lb) {
            const std::size_t in_bin = low_[0][lb] + low_[1][lb] + low_[2][lb] + low_[3][lb];
            if (before + in_bin > k) break;
            before += in_bin;
        }
        // Only low bytes of values in hb were counted: clear their span.
        const std::size_t low_first = first == hb ? (vmin & 0xFFu) : 0;
        const std::size_t low_last = last == hb ? (vmax & 0xFFu) : 255;
        for (std::size_t b = low_first; b <= low_last; ++b) low_[0][b] = low_[1][b] = low_[2][b] = low_[3][b] = 0;
        return {static_cast<std::uint16_t>((hb << 8) | lb), static_cast<std::uint16_t>(first << 8),
                static_cast<std::uint16_t>((last << 8) | 0xFF)};
    }

private:
    std::array<std::array<std::uint32_t, 256>, 4> high_{};
    std::array<std::array<std::uint32_t, 256>, 4> low_{};
};

// The k-th smallest (0-based) value counted in a full 16-bit histogram.
std::uint16_t kth_from_histogram(const std::vector<std::size_t>& hist, std::size_t k) {
    std::size_t before = 0;
    std::size_t v = 0;
    while (before + hist[v] <= k) before += hist[v++];
    return static_cast<std::uint16_t>(v);
}


// Below this many values the robust spread is selected directly on a copy.
constexpr std::size_t kDirectSelection = std::size_t{1} << 14;
// Values sampled across a large frame to place the bucket window of the exact
// selection; the window spans the sample's median +- 16 of its MADs.
constexpr std::size_t kWindowSamples = std::size_t{1} << 14;
constexpr double kWindowSpreads = 16.0;
// Without a usable sample the window is clipped to +-4096 counts around zero,
// where the median and spread of sky residuals lie.
constexpr double kResidualWindow = 4096.0;

// 1.4826 x the upper-median absolute deviation from the upper median of the n
// streamed values, which lie within lo..hi. `sample` (any values drawn from the
// stream; consumed) only steers the bucket window: the result is exact whatever
// it holds.
template <class Rows>
double robust_std_of(Rows& rows, std::size_t n, double lo, double hi, std::vector<double>& sample,
                     RankSelector& selector) {
    const std::size_t k = n / 2;
    if (n <= kDirectSelection) {
        std::vector<double> all;
        all.reserve(n);
        rows([&](std::span<const double> chunk) { all.insert(all.end(), chunk.begin(), chunk.end()); });
        const double median = nth_total(all, k);
        for (double& v : all) v = std::fabs(v - median);
        return kMadToSigma * nth_total(all, k);
    }
    double wlo = std::max(lo, -kResidualWindow);
    double whi = std::min(hi, kResidualWindow);
    if (sample.size() >= 64) {
        const double centre = nth_total(sample, sample.size() / 2);
        for (double& v : sample) v = std::fabs(v - centre);
        const double spread = nth_total(sample, sample.size() / 2);
        if (spread > 0.0) {
            wlo = std::max(lo, centre - kWindowSpreads * spread);
            whi = std::min(hi, centre + kWindowSpreads * spread);
        }
    }
    if (!(wlo < whi)) {
        wlo = lo;
        whi = hi;
    }
    return kMadToSigma * selector.median_and_mad(rows, n, wlo, whi).second;
}

// Interpolation weights along one image axis: for each pixel coordinate its
// tile band (first tile, following tile) and the weight of the following tile.
struct Axis {
    std::vector<std::uint32_t> first;
    std::vector<std::uint32_t> next;
    std::vector<double> weight;
};

Axis make_axis(std::size_t extent, std::size_t tiles) {
    std::vector<double> centre(tiles);
    for (std::size_t i = 0; i < tiles; ++i) {
        const std::size_t begin = kBackgroundTile * i;
        const std::size_t last = std::min(begin + kBackgroundTile, extent) - 1;
        centre[i] = static_cast<double>(begin + last) / 2.0;
    }
    Axis axis;
    axis.first.resize(extent);
    axis.next.resize(extent);
    axis.weight.resize(extent);
    std::size_t j = 0;  // first band with p < centre[j + 1]; non-decreasing in p
    for (std::size_t p = 0; p < extent; ++p) {
        const double pos = static_cast<double>(p);
        while (j + 1 < tiles && !(pos < centre[j + 1])) ++j;
        if (j + 1 < tiles) {
            axis.first[p] = static_cast<std::uint32_t>(j);
            axis.next[p] = static_cast<std::uint32_t>(j + 1);
            axis.weight[p] = std::clamp((pos - centre[j]) / (centre[j + 1] - centre[j]), 0.0, 1.0);
        } else {
            axis.first[p] = axis.next[p] = static_cast<std::uint32_t>(tiles - 1);
            axis.weight[p] = 0.0;
        }
    }
    return axis;
}

// The tile mesh of a frame and its bilinear interpolation, evaluated per row or
// per pixel without holding the whole background plane. Both evaluations use
// the same expression, so they give the same bits.
class Background {
public:
    Background(const GrayImage& image, const std::optional<PixelMask>& mask)
        : width_(image.width),
          height_(image.height),
          nx_((image.width + kBackgroundTile - 1) / kBackgroundTile),
          ny_((image.height + kBackgroundTile - 1) / kBackgroundTile),
          mesh_(nx_ * ny_, 0.0),
          cols_(make_axis(width_, nx_)),
          rows_(make_axis(height_, ny_)),
          top_(width_),
          bottom_(width_) {
        if (mesh_.empty()) return;  // an empty frame has no tiles
        build_mesh(image, mask);
        auto [lo, hi] = std::minmax_element(mesh_.begin(), mesh_.end());
        mesh_min_ = *lo;
        mesh_max_ = *hi;
    }

    // Background of row y into out[0 .. width).
    void row(std::size_t y, double* out) {
        const std::uint32_t j = rows_.first[y];
        const std::uint32_t j1 = rows_.next[y];
        if (j != band_first_ || j1 != band_next_) {
            blend_band(j, top_.data());
            blend_band(j1, bottom_.data());
            band_first_ = j;
            band_next_ = j1;
        }
        const double t = rows_.weight[y];
        const double* top = top_.data();
        const double* bottom = bottom_.data();
        for (std::size_t x = 0; x < width_; ++x) out[x] = (1.0 - t) * top[x] + t * bottom[x];
    }

    double at(std::size_t x, std::size_t y) const {
        const std::size_t i = cols_.first[x];
        const std::size_t i1 = cols_.next[x];
        const double s = cols_.weight[x];
        const double* mj = &mesh_[rows_.first[y] * nx_];
        const double* mj1 = &mesh_[rows_.next[y] * nx_];
        const double top = (1.0 - s) * mj[i] + s * mj[i1];
        const double bottom = (1.0 - s) * mj1[i] + s * mj1[i1];
        const double t = rows_.weight[y];
        return (1.0 - t) * top + t * bottom;
    }

    // Lower bounds of the background over row y, one per 32-pixel column segment
    // (tile column i covers columns 32 i .. 32 i + 31): the least mesh value that
    // interpolation can draw on there, less one count for rounding.
    void segment_floors(std::size_t y, std::vector<double>& out) const {
        segment_extremes(y, out, [](double a, double b) { return std::min(a, b); }, -1.0);
    }

    // Upper bounds likewise: the greatest mesh value interpolation can draw on in each
    // segment of row y, plus one count.
    void segment_ceilings(std::size_t y, std::vector<double>& out) const {
        segment_extremes(y, out, [](double a, double b) { return std::max(a, b); }, 1.0);
    }

    std::size_t tile_columns() const { return nx_; }

    // Unmasked pixel count and bounds of their values, from the mesh's histograms.
    std::size_t sky_count() const { return sky_count_; }
    double sky_min() const { return sky_min_; }
    double sky_max() const { return sky_max_; }
    double mesh_min() const { return mesh_min_; }
    double mesh_max() const { return mesh_max_; }

private:
    // For each segment of row y, `pick` folded over the mesh values of tile columns
    // i - 1 .. i + 1 in both tile rows the row blends, plus `slack`.
    template <class Pick>
    void segment_extremes(std::size_t y, std::vector<double>& out, Pick pick, double slack) const {
        out.resize(nx_);
        const double* mj = &mesh_[rows_.first[y] * nx_];
        const double* mj1 = &mesh_[rows_.next[y] * nx_];
        for (std::size_t i = 0; i < nx_; ++i) {
            const std::size_t a = i > 0 ? i - 1 : 0;
            const std::size_t b = std::min(i + 1, nx_ - 1);
            double extreme = mj[a];
            for (std::size_t c = a; c <= b; ++c) extreme = pick(extreme, pick(mj[c], mj1[c]));
            out[i] = extreme + slack;
        }
    }

    // Row blend of tile row j across the columns: (1 - s) M[j][i] + s M[j][i + 1].
    void blend_band(std::size_t j, double* out) const {
        const double* mj = &mesh_[j * nx_];
        for (std::size_t x = 0; x < width_; ++x) {
            const double s = cols_.weight[x];
            out[x] = (1.0 - s) * mj[cols_.first[x]] + s * mj[cols_.next[x]];
        }
    }

    void build_mesh(const GrayImage& image, const std::optional<PixelMask>& mask) {
        std::vector<std::uint16_t> scratch(kBackgroundTile * kBackgroundTile);  // one tile, reused
        auto selector = std::make_unique<TileSelector>();
        std::vector<std::size_t> empty_tiles;
        std::uint16_t vmin = 0xFFFF;
        std::uint16_t vmax = 0;
        for (std::size_t tj = 0; tj < ny_; ++tj) {
            const std::size_t y0 = tj * kBackgroundTile;
            const std::size_t y1 = std::min(y0 + kBackgroundTile, height_);
            for (std::size_t ti = 0; ti < nx_; ++ti) {
                const std::size_t x0 = ti * kBackgroundTile;
                const std::size_t x1 = std::min(x0 + kBackgroundTile, width_);
                std::size_t n = 0;
                for (std::size_t y = y0; y < y1; ++y) {
                    const std::uint16_t* src = image.pixels.data() + y * width_;
                    if (mask) {
                        const std::uint8_t* flags = mask->flags.data() + y * width_;
                        for (std::size_t x = x0; x < x1; ++x) {
                            if (flags[x] == 0) scratch[n++] = src[x];
                        }
                    } else if (x1 - x0 == kBackgroundTile) {
                        // A whole tile row: a copy of constant size, inlined as a few vector
                        // moves rather than one library call per 64 bytes.
                        std::memcpy(scratch.data() + n, src + x0, kBackgroundTile * sizeof(std::uint16_t));
                        n += kBackgroundTile;
                    } else {
                        std::copy(src + x0, src + x1, scratch.data() + n);
                        n += x1 - x0;
                    }
                }
                if (n == 0) {
                    empty_tiles.push_back(tj * nx_ + ti);
                    continue;
                }
                const TileRank rank = selector->kth(std::span<const std::uint16_t>(scratch.data(), n), n / 2);
                vmin = std::min(vmin, rank.floor);
                vmax = std::max(vmax, rank.ceiling);
                sky_count_ += n;
                mesh_[tj * nx_ + ti] = rank.value;
            }
        }
        sky_min_ = vmin;
        sky_max_ = vmax;
        if (empty_tiles.empty()) return;
        // Fully masked tiles take the whole frame's upper median, not a neighbour's.
        double frame_level = 0.0;
        if (sky_count_ != 0) {
            std::vector<std::size_t> hist(1 << 16, 0);
            for (std::size_t p = 0; p < image.pixels.size(); ++p) {
                if (!mask || mask->flags[p] == 0) ++hist[image.pixels[p]];
            }
            frame_level = kth_from_histogram(hist, sky_count_ / 2);
        }
        for (const std::size_t t : empty_tiles) mesh_[t] = frame_level;
    }

    std::size_t width_;
    std::size_t height_;
    std::size_t nx_;
    std::size_t ny_;
    std::vector<double> mesh_;  // tile row j, tile column i at j * nx + i
    Axis cols_;
    Axis rows_;
    std::vector<double> top_;     // blend of the current band's first tile row
    std::vector<double> bottom_;  // blend of its following tile row
    std::uint32_t band_first_ = UINT32_MAX;
    std::uint32_t band_next_ = UINT32_MAX;
    std::size_t sky_count_ = 0;
    double sky_min_ = 0.0;
    double sky_max_ = 0.0;
    double mesh_min_ = 0.0;
    double mesh_max_ = 0.0;
};

std::string frame_mismatch(const GrayImage& image) {
    return std::to_string(image.width) + "x" + std::to_string(image.height) + " does not match " +
           std::to_string(image.pixels.size()) + " pixels";
}

std::string mask_mismatch(const GrayImage& image, const PixelMask& mask) {
    return "mask " + std::to_string(mask.width) + "x" + std::to_string(mask.height) + " (" +
           std::to_string(mask.flags.size()) + " flags) does not match the " + std::to_string(image.width) + "x" +
           std::to_string(image.height) + " frame";
}

// Brightest first in IEEE total order of flux; equal fluxes keep detection order.
void order_and_truncate(std::vector<Centroid>& found, std::size_t max_count) {
    std::stable_sort(found.begin(), found.end(),
                     [](const Centroid& a, const Centroid& b) { return total_less(b.flux, a.flux); });
    if (found.size() > max_count) found.resize(max_count);
}

// Streams the residuals pixel - background of the unmasked pixels row by row;
// level(y) gives the background of row y.
template <class Level>
auto residual_rows(const GrayImage& image, const std::optional<PixelMask>& mask, Level level) {
    return [&image, &mask, level, chunk = std::vector<double>(image.width)](auto&& sink) mutable {
        const std::size_t w = image.width;
        for (std::size_t y = 0; y < image.height; ++y) {
            const double* bg = level(y);
            const std::uint16_t* src = image.pixels.data() + y * w;
            std::size_t n = 0;
            if (mask) {
                const std::uint8_t* flags = mask->flags.data() + y * w;
                for (std::size_t x = 0; x < w; ++x) {
                    if (flags[x] == 0) chunk[n++] = static_cast<double>(src[x]) - bg[x];
                }
            } else {
                for (std::size_t x = 0; x < w; ++x) chunk[x] = static_cast<double>(src[x]) - bg[x];
                n = w;
            }
            sink(std::span<const double>(chunk.data(), n));
        }
    };
}

// The largest MAD for which 5 x 1.4826 x MAD stays below the 2048 floor, in whole
// counts (5 x 1.4826 x 270 = 2001.5).
constexpr double kFloorMad = 270.0;
// Samples needed to place the counting pass's median interval.
constexpr std::size_t kMinFloorSample = 64;

// Counts over the unmasked pixels that bound the residuals r = v - b without
// computing b: in each 32-pixel segment of a row the background lies within
// [L, U] (Background::segment_floors / segment_ceilings), so r lies within
// [v - U, v - L]. Also records the brightest value of every segment.
struct ResidualBounds {
    std::size_t maybe_below_lo = 0;   // pixels whose r may be < lo
    std::size_t surely_at_most_hi = 0;  // pixels whose r is surely <= hi
    std::size_t surely_near = 0;      // pixels whose r is surely within [hi - X, lo + X]
};

struct SegmentCounts {
    std::uint32_t below = 0;
    std::uint32_t at_most = 0;
    std::uint32_t near = 0;
    std::uint16_t peak = 0;
};

// One segment's counts of values v < below, v <= at_most and near_first <= v <=
// near_last over the pixels whose flag is clear (all of them without flags), and
// the segment's brightest value. Bounds lie in [-1, 65536]. Branch-free, so that
// the compiler can vectorise it.
SegmentCounts count_segment(const std::uint16_t* src, const std::uint8_t* flags, std::size_t n, std::int32_t below,
                            std::int32_t at_most, std::int32_t near_first, std::int32_t near_last) {
    // In 16-bit lanes: v < below as v <= below - 1, every test an inclusive range
    // [first, first + span] checked by one unsigned subtraction; an empty range
    // (span < 0) counts nothing, a range past 65535 is cut there.
    struct Range {
        std::uint16_t first;
        std::uint16_t span;
        bool empty;
    };
    auto range = [](std::int32_t first, std::int32_t last) {
        first = std::max(first, 0);
        last = std::min(last, 65535);
        return Range{static_cast<std::uint16_t>(first), static_cast<std::uint16_t>(last - first), last < first};
    };
    const Range r_below = range(0, below - 1);
    const Range r_at_most = range(0, at_most);
    const Range r_near = range(near_first, near_last);
    std::uint16_t c_below = 0, c_at_most = 0, c_near = 0, peak = 0;
    for (std::size_t x = 0; x < n; ++x) {
        const std::uint16_t v = src[x];
        const std::uint16_t sky = flags == nullptr ? 1 : static_cast<std::uint16_t>(flags[x] == 0);
        c_below += sky & static_cast<std::uint16_t>(static_cast<std::uint16_t>(v - r_below.first) <= r_below.span);
        c_at_most +=
            sky & static_cast<std::uint16_t>(static_cast<std::uint16_t>(v - r_at_most.first) <= r_at_most.span);
        c_near += sky & static_cast<std::uint16_t>(static_cast<std::uint16_t>(v - r_near.first) <= r_near.span);
        peak = v > peak ? v : peak;
    }
    SegmentCounts c;
    c.below = r_below.empty ? 0 : c_below;
    c.at_most = r_at_most.empty ? 0 : c_at_most;
    c.near = r_near.empty ? 0 : c_near;
    c.peak = peak;
    return c;
}

// Whether the residuals' MAD is surely at most kFloorMad, so that the threshold is
// the floor: with k = n / 2, at most k residuals below lo and at least k + 1 at most
// hi put the upper median m in [lo, hi]; then every residual in [hi - X, lo + X]
// lies within X of m, and k + 1 of them make the upper-median deviation at most X.
// lo and hi are whole counts around `centre`, so every bound is an integer test on
// the 16-bit values. `peaks` receives each row's segment maxima (height x tile
// columns), which the component scan reuses.
bool mad_surely_within_floor(const GrayImage& image, const std::optional<PixelMask>& mask,
                             const Background& background, std::size_t n, double centre, double spread,
                             std::vector<std::uint16_t>& peaks) {
    const std::size_t w = image.width;
    const std::size_t nx = background.tile_columns();
    // The median interval: wide enough for the sample's error and the background's
    // spread within a segment, narrow enough to leave room for X around it.
    const double half_width = std::ceil(0.25 * spread) + 8.0;
    const double lo = std::round(centre) - half_width;
    const double hi = std::round(centre) + half_width;
    std::vector<double> floors, ceilings;
    peaks.resize(image.height * nx);
    ResidualBounds counts;
    auto clamp_count = [](double v) { return static_cast<std::int32_t>(std::clamp(v, -1.0, 65536.0)); };
    for (std::size_t y = 0; y < image.height; ++y) {
        background.segment_floors(y, floors);
        background.segment_ceilings(y, ceilings);
        const std::uint16_t* src = image.pixels.data() + y * w;
        const std::uint8_t* flags = mask ? mask->flags.data() + y * w : nullptr;
        for (std::size_t ti = 0; ti < nx; ++ti) {
            const double low_bg = floors[ti];
            const double high_bg = ceilings[ti];
            // r < lo is possible when v - U < lo; r <= hi is sure when v - L <= hi;
            // r within [hi - X, lo + X] is sure when v - U >= hi - X and v - L <= lo + X.
            const std::int32_t below = clamp_count(lo + high_bg);
            const std::int32_t at_most = clamp_count(hi + low_bg);
            const std::int32_t near_first = clamp_count(hi - kFloorMad + high_bg);
            const std::int32_t near_last = clamp_count(lo + kFloorMad + low_bg);
            const std::size_t x0 = ti * kBackgroundTile;
            const std::size_t x1 = std::min(x0 + kBackgroundTile, w);
            const SegmentCounts c = flags ? count_segment(src + x0, flags + x0, x1 - x0, below, at_most, near_first,
                                                          near_last)
                                          : count_segment(src + x0, nullptr, x1 - x0, below, at_most, near_first,
                                                          near_last);
            counts.maybe_below_lo += c.below;
            counts.surely_at_most_hi += c.at_most;
            counts.surely_near += c.near;
            peaks[y * nx + ti] = c.peak;
        }
    }
    const std::size_t k = n / 2;
    return counts.maybe_below_lo <= k && counts.surely_at_most_hi >= k + 1 && counts.surely_near >= k + 1;
}

// The star threshold of a frame: max(5 sigma, 2048), or 2048 with no sky pixel.
// Night skies have a MAD far below 270 counts, where the floor wins whatever the
// exact sigma: a counting pass proves that when it holds, and only otherwise are the
// residuals' median and MAD selected exactly. `peaks` as for mad_surely_within_floor
// (left empty when that pass does not run).
double star_threshold(const GrayImage& image, const std::optional<PixelMask>& mask, Background& background,
                      std::vector<std::uint16_t>& peaks) {
    const std::size_t n = background.sky_count();
    if (n == 0) return kStarFloor;
    std::vector<double> level(image.width);
    auto residuals = residual_rows(image, mask, [&](std::size_t y) {
        background.row(y, level.data());
        return level.data();
    });
    std::vector<double> sample;
    const std::size_t total = image.pixels.size();
    const std::size_t stride = std::max<std::size_t>(1, total / kWindowSamples);
    for (std::size_t p = stride / 2; p < total; p += stride) {
        if (mask && mask->flags[p] != 0) continue;
        sample.push_back(static_cast<double>(image.pixels[p]) - background.at(p % image.width, p / image.width));
    }
    if (sample.size() >= kMinFloorSample) {
        std::vector<double> deviations(sample);
        const double centre = nth_total(deviations, deviations.size() / 2);
        for (double& v : deviations) v = std::fabs(v - centre);
        const double spread = nth_total(deviations, deviations.size() / 2);
        if (std::isfinite(centre) && spread <= kFloorMad &&
            mad_surely_within_floor(image, mask, background, n, centre, spread, peaks)) {
            return kStarFloor;
        }
    }
    RankSelector selector;
    const double sigma = robust_std_of(residuals, n, background.sky_min() - background.mesh_max(),
                                       background.sky_max() - background.mesh_min(), sample, selector);
    return std::max(kStarSigmas * sigma, kStarFloor);
}

// One 4-connected component of the connected-component detector.
struct Component {
    std::size_t count = 0;
    double sum = 0.0;
    double sum_x = 0.0;
    double sum_y = 0.0;
    std::size_t min_x = 0, max_x = 0, min_y = 0, max_y = 0;
    bool rejected = false;
};

class ComponentFinder {
public:
    ComponentFinder(const GrayImage& image, const std::optional<PixelMask>& mask, const Background& background,
                    double threshold)
        : image_(image),
          mask_(mask),
          background_(background),
          threshold_(threshold),
          visited_(image.pixels.size(), 0) {}

    bool seeds(std::size_t p) const { return visited_[p] == 0 && !masked(p); }

    // Grows the component seeded at p, depth first with an explicit stack.
    Component grow(std::size_t p) {
        const std::size_t w = image_.width;
        const std::size_t h = image_.height;
        Component c;
        c.min_x = c.min_y = SIZE_MAX;
        visited_[p] = 1;
        stack_.push_back(p);
        while (!stack_.empty()) {
            const std::size_t q = stack_.back();
            stack_.pop_back();
            const std::size_t x = q % w;
            const std::size_t y = q / w;
            c.min_x = std::min(c.min_x, x);
            c.max_x = std::max(c.max_x, x);
            c.min_y = std::min(c.min_y, y);
            c.max_y = std::max(c.max_y, y);
            if (x == 0 || y == 0 || x == w - 1 || y == h - 1) c.rejected = true;
            const double r = residual(q, x, y);
            c.sum += r;
            c.sum_x += r * static_cast<double>(x);
            c.sum_y += r * static_cast<double>(y);
            ++c.count;
            if (x > 0) enter(q - 1, x - 1, y, c);
            if (x + 1 < w) enter(q + 1, x + 1, y, c);
            if (y > 0) enter(q - w, x, y - 1, c);
            if (y + 1 < h) enter(q + w, x, y + 1, c);
        }
        return c;
    }

    // Sub-pixel position from the marginal profiles of the component's box grown by 3 pixels.
    Centroid refine(const Component& c) {
        const std::size_t w = image_.width;
        const std::size_t h = image_.height;
        const std::size_t x0 = c.min_x >= kProfileMargin ? c.min_x - kProfileMargin : 0;
        const std::size_t y0 = c.min_y >= kProfileMargin ? c.min_y - kProfileMargin : 0;
        const std::size_t x1 = std::min(c.max_x + kProfileMargin, w - 1);
        const std::size_t y1 = std::min(c.max_y + kProfileMargin, h - 1);
        columns_.assign(x1 - x0 + 1, 0.0);
        rows_.assign(y1 - y0 + 1, 0.0);
        for (std::size_t y = y0; y <= y1; ++y) {
            for (std::size_t x = x0; x <= x1; ++x) {
                const std::size_t p = y * w + x;
                const double r = masked(p) ? 0.0 : residual(p, x, y);
                columns_[x - x0] += r;
                rows_[y - y0] += r;
            }
        }
        const auto px = log_parabola_peak(columns_);
        const auto py = log_parabola_peak(rows_);
        return {px ? static_cast<double>(x0) + *px : c.sum_x / c.sum,
                py ? static_cast<double>(y0) + *py : c.sum_y / c.sum, c.sum};
    }

private:
    bool masked(std::size_t p) const { return mask_ && mask_->flags[p] != 0; }

    double residual(std::size_t p, std::size_t x, std::size_t y) const {
        return static_cast<double>(image_.pixels[p]) - background_.at(x, y);
    }

    void enter(std::size_t q, std::size_t x, std::size_t y, Component& c) {
        if (masked(q)) {
            c.rejected = true;  // a blob cut by an obstruction is not a star
            return;
        }
        if (visited_[q] != 0 || !(residual(q, x, y) >= threshold_)) return;
        visited_[q] = 1;
        stack_.push_back(q);
    }

    const GrayImage& image_;
    const std::optional<PixelMask>& mask_;
    const Background& background_;
    double threshold_;
    std::vector<std::uint8_t> visited_;  // one byte per pixel, only ever set
    std::vector<std::size_t> stack_;
    std::vector<double> columns_;
    std::vector<double> rows_;
};

// out[x] = sum over k = 0 .. taps - 1 of taps[k] * inputs[k][x], added in k order
// from 0.0 (the first term is added to 0.0 too, so out never starts uninitialised).
// Blocks of columns keep their sums in registers across the taps; each sum still
// sees the same operations in the same order, so the bits do not depend on the
// block size or the vector width. Built for AVX2 too where the processor has it
// (mul and add only: no fused multiply-add, which would round differently).
constexpr std::size_t kTapBlock = 8;

// Four doubles as one value (GCC vector extension): plain lane-wise IEEE operations,
// two SSE2 registers by default, one AVX register in the AVX2 build.
typedef double Lanes4 __attribute__((vector_size(32)));

__attribute__((target_clones("avx2", "default")))
void accumulate_taps(double* out, std::size_t w, const double* taps, std::size_t n_taps,
                     const double* const* inputs) {
    std::size_t x = 0;
    for (; x + kTapBlock <= w; x += kTapBlock) {
        Lanes4 lo = {0.0, 0.0, 0.0, 0.0};
        Lanes4 hi = lo;
        for (std::size_t k = 0; k < n_taps; ++k) {
            const Lanes4 t = {taps[k], taps[k], taps[k], taps[k]};
            Lanes4 in_lo, in_hi;
            __builtin_memcpy(&in_lo, inputs[k] + x, sizeof in_lo);
            __builtin_memcpy(&in_hi, inputs[k] + x + 4, sizeof in_hi);
            lo += t * in_lo;
            hi += t * in_hi;
        }
        __builtin_memcpy(out + x, &lo, sizeof lo);
        __builtin_memcpy(out + x + 4, &hi, sizeof hi);
    }
    for (; x < w; ++x) {
        double sum = 0.0 + taps[0] * inputs[0][x];
        for (std::size_t k = 1; k < n_taps; ++k) sum += taps[k] * inputs[k][x];
        out[x] = sum;
    }
}

// Horizontal then vertical pass of the Gaussian over the background residual,
// border samples repeated. Only 2r + 1 horizontally filtered rows are held.
std::unique_ptr<double[]> matched_surface(const GrayImage& image, Background& background,
                                          std::span<const double> taps) {
    const std::size_t w = image.width;
    const std::size_t h = image.height;
    const std::size_t span = taps.size();
    const std::size_t r = span / 2;
    const std::size_t ring_rows = std::min(span, h);
    std::vector<double> ring(ring_rows * w);
    std::vector<double> padded(w + 2 * r);
    std::vector<double> level(w);
    std::vector<const double*> inputs(span);
    auto filter_row = [&](std::size_t y) {
        background.row(y, level.data());
        const std::uint16_t* src = image.pixels.data() + y * w;
        double* mid = padded.data() + r;
        for (std::size_t x = 0; x < w; ++x) mid[x] = static_cast<double>(src[x]) - level[x];
        std::fill(padded.begin(), padded.begin() + static_cast<std::ptrdiff_t>(r), mid[0]);
        std::fill(padded.begin() + static_cast<std::ptrdiff_t>(r + w), padded.end(), mid[w - 1]);
        double* out = ring.data() + (y % ring_rows) * w;
        for (std::size_t k = 0; k < span; ++k) inputs[k] = padded.data() + k;
        accumulate_taps(out, w, taps.data(), span, inputs.data());
    };
    // Every element is written by the vertical pass: no zero fill of the plane.
    std::unique_ptr<double[]> surface(new double[w * h]);
    std::size_t filtered = 0;  // rows of the horizontal pass done so far
    for (std::size_t y = 0; y < h; ++y) {
        const std::size_t last_needed = std::min(y + r, h - 1);
        while (filtered <= last_needed) filter_row(filtered++);
        for (std::size_t k = 0; k < span; ++k) {
            // Row y - r + k, clamped to the frame.
            const std::size_t q = y + k < r ? 0 : std::min(y + k - r, h - 1);
            inputs[k] = ring.data() + (q % ring_rows) * w;
        }
        accumulate_taps(surface.get() + y * w, w, taps.data(), span, inputs.data());
    }
    return surface;
}

struct ValueRange {
    double lo;
    double hi;
    bool has_nan;
};

// The least and greatest values as std::min / std::max folds from the first value
// would give them (a NaN is skipped unless it is the first value), and whether any
// value is NaN. Four interleaved folds vectorise; they can differ from one fold only
// in the sign of a zero, which no caller tells apart.
ValueRange value_range(std::span<const double> values) {
    double lo[4], hi[4];
    std::fill(lo, lo + 4, values[0]);
    std::fill(hi, hi + 4, values[0]);
    bool nan = false;
    const std::size_t n = values.size();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        for (std::size_t j = 0; j < 4; ++j) {
            const double v = values[i + j];
            lo[j] = v < lo[j] ? v : lo[j];
            hi[j] = hi[j] < v ? v : hi[j];
            nan |= v != v;
        }
    }
    for (; i < n; ++i) {
        const double v = values[i];
        lo[0] = v < lo[0] ? v : lo[0];
        hi[0] = hi[0] < v ? v : hi[0];
        nan |= v != v;
    }
    for (std::size_t j = 1; j < 4; ++j) {
        lo[0] = lo[j] < lo[0] ? lo[j] : lo[0];
        hi[0] = hi[0] < hi[j] ? hi[j] : hi[0];
    }
    return {lo[0], hi[0], nan};
}

// Robust sigma of every value of the filtered surface. A NaN surface (a kernel
// built from a meaningless width) is resolved by full selection in total order.
double surface_sigma(std::span<const double> surface, std::size_t width, double lo, double hi, bool has_nan) {
    const std::size_t n = surface.size();
    if (has_nan) {
        std::vector<double> copy(surface.begin(), surface.end());
        auto mid = copy.begin() + static_cast<std::ptrdiff_t>(n / 2);
        std::nth_element(copy.begin(), mid, copy.end(), total_less);
        const double median = *mid;
        for (std::size_t i = 0; i < n; ++i) copy[i] = std::fabs(surface[i] - median);
        std::nth_element(copy.begin(), mid, copy.end(), total_less);
        return kMadToSigma * *mid;
    }
    const std::size_t w = width;
    auto values = [&](auto&& sink) {
        for (std::size_t p = 0; p < n; p += w) sink(surface.subspan(p, w));
    };
    std::vector<double> sample;
    const std::size_t stride = std::max<std::size_t>(1, n / kWindowSamples);
    for (std::size_t p = stride / 2; p < n; p += stride) sample.push_back(surface[p]);
    RankSelector selector;
    return robust_std_of(values, n, lo, hi, sample, selector);
}

// The 5 x 5 rule: earlier pixels of the window strictly lower, later ones not higher.
bool is_window_peak(std::span<const double> surface, std::size_t w, std::size_t h, std::size_t x, std::size_t y) {
    const double v = surface[y * w + x];
    const std::size_t xa = x >= kPeakHalf ? x - kPeakHalf : 0;
    const std::size_t ya = y >= kPeakHalf ? y - kPeakHalf : 0;
    const std::size_t xb = std::min(x + kPeakHalf, w - 1);
    const std::size_t yb = std::min(y + kPeakHalf, h - 1);
    for (std::size_t yy = ya; yy <= yb; ++yy) {
        const double* row = surface.data() + yy * w;
        for (std::size_t xx = xa; xx <= xb; ++xx) {
            if (yy == y && xx == x) continue;
            const bool before = yy < y || (yy == y && xx < x);
            if (before ? !(row[xx] < v) : row[xx] > v) return false;
        }
    }
    return true;
}

}  // namespace

std::vector<double> estimate_background(const GrayImage& image, std::optional<PixelMask> mask) {
    Background background(image, mask);
    std::vector<double> plane(image.width * image.height);
    for (std::size_t y = 0; y < image.height; ++y) background.row(y, plane.data() + y * image.width);
    return plane;
}

std::optional<double> residual_robust_std(const GrayImage& image, std::span<const double> background,
                                          std::optional<PixelMask> mask) {
    const std::size_t total = image.pixels.size();
    auto sky = [&](std::size_t p) { return !mask || mask->flags[p] == 0; };
    std::size_t n = 0;
    double lo = 0.0;
    double hi = 0.0;
    for (std::size_t p = 0; p < total; ++p) {
        if (!sky(p)) continue;
        const double r = static_cast<double>(image.pixels[p]) - background[p];
        lo = n == 0 ? r : std::min(lo, r);
        hi = n == 0 ? r : std::max(hi, r);
        ++n;
    }
    if (n == 0) return std::nullopt;
    auto residuals =
        residual_rows(image, mask, [&](std::size_t y) { return background.data() + y * image.width; });
    std::vector<double> sample;
    const std::size_t stride = std::max<std::size_t>(1, total / kWindowSamples);
    for (std::size_t p = stride / 2; p < total; p += stride) {
        if (sky(p)) sample.push_back(static_cast<double>(image.pixels[p]) - background[p]);
    }
    RankSelector selector;
    return robust_std_of(residuals, n, lo, hi, sample, selector);
}

std::optional<double> log_parabola_peak(std::span<const double> profile) {
    const std::size_t n = profile.size();
    if (n < 3) return std::nullopt;
    std::size_t i = 0;
    for (std::size_t k = 1; k < n; ++k) {
        if (profile[k] > profile[i]) i = k;
    }
    if (i == 0 || i == n - 1) return std::nullopt;
    const double a = profile[i - 1];
    const double b = profile[i];
    const double c = profile[i + 1];
    if (!(a > 0.0) || !(b > 0.0) || !(c > 0.0)) return std::nullopt;
    const double la = std::log(a);
    const double lb = std::log(b);
    const double lc = std::log(c);
    const double d = la - 2.0 * lb + lc;
    if (!(d < 0.0)) return std::nullopt;
    const double delta = 0.5 * (la - lc) / d;
    if (!(std::fabs(delta) <= 1.0)) return std::nullopt;
    return static_cast<double>(i) + delta;
}

Result<std::vector<Centroid>> detect_centroids_masked(const GrayImage& image, std::size_t max_count,
                                                      std::optional<PixelMask> mask) {
    if (!shape_holds(image.width, image.height, image.pixels.size())) return Error(BadImage{frame_mismatch(image)});
    if (mask && !mask_matches(image, *mask)) return Error(BadImage{mask_mismatch(image, *mask)});

    Background background(image, mask);
    std::vector<std::uint16_t> peaks;
    const double threshold = star_threshold(image, mask, background, peaks);

    const std::size_t w = image.width;
    const std::size_t nx = background.tile_columns();
    ComponentFinder finder(image, mask, background, threshold);
    std::vector<double> floors;
    std::vector<Centroid> found;
    for (std::size_t y = 0; y < image.height; ++y) {
        // A segment whose brightest pixel cannot clear the threshold over the least
        // background it can have holds no bright pixel: skip it without interpolating.
        background.segment_floors(y, floors);
        const std::uint16_t* src = image.pixels.data() + y * w;
        for (std::size_t ti = 0; ti < floors.size(); ++ti) {
            const std::size_t x0 = ti * kBackgroundTile;
            const std::size_t x1 = std::min(x0 + kBackgroundTile, w);
            std::uint16_t peak = 0;
            if (!peaks.empty()) {
                peak = peaks[y * nx + ti];
            } else {
                for (std::size_t x = x0; x < x1; ++x) peak = std::max(peak, src[x]);
            }
            if (static_cast<double>(peak) - floors[ti] < threshold) continue;
            for (std::size_t x = x0; x < x1; ++x) {
                if (!(static_cast<double>(src[x]) - background.at(x, y) >= threshold)) continue;
                const std::size_t p = y * w + x;
                if (!finder.seeds(p)) continue;
                const Component c = finder.grow(p);
                if (c.rejected || c.count < kMinStarPixels || c.count > kMaxStarPixels) continue;
                found.push_back(finder.refine(c));
            }
        }
    }
    order_and_truncate(found, max_count);
    return found;
}

Result<std::vector<Centroid>> detect_centroids(const GrayImage& image, std::size_t max_count) {
    return detect_centroids_masked(image, max_count, std::nullopt);
}

std::vector<double> gaussian_kernel(double sigma) {
    const double reach = std::ceil(3.0 * sigma);
    // NaN or a reach below one gives the minimum half-width; an absurd width is
    // capped where the allocation fails loudly rather than converting out of range.
    constexpr double kWidest = 1e15;
    const std::size_t r = reach > 1.0 ? static_cast<std::size_t>(std::min(reach, kWidest)) : 1;
    std::vector<double> taps(2 * r + 1);
    for (std::size_t k = 0; k < taps.size(); ++k) {
        const double i = static_cast<double>(k) - static_cast<double>(r);
        taps[k] = std::exp(-(i * i) / (2.0 * sigma * sigma));
    }
    double sum = 0.0;
    for (const double t : taps) sum += t;
    for (double& t : taps) t /= sum;
    return taps;
}

Result<std::vector<Centroid>> detect_centroids_matched(const GrayImage& image, std::size_t max_count,
                                                       double psf_sigma_px) {
    if (!shape_holds(image.width, image.height, image.pixels.size())) return Error(BadImage{frame_mismatch(image)});
    const std::size_t w = image.width;
    const std::size_t h = image.height;

    Background background(image, std::nullopt);
    const std::vector<double> taps = gaussian_kernel(psf_sigma_px);
    const std::unique_ptr<double[]> plane = matched_surface(image, background, taps);
    const std::span<const double> surface(plane.get(), w * h);

    // Plain names, not a structured binding: lambdas below capture them.
    const ValueRange range = value_range(surface);
    const double lo = range.lo;
    const double hi = range.hi;
    const bool has_nan = range.has_nan;
    const double sigma = surface_sigma(surface, w, lo, hi, has_nan);
    std::vector<Centroid> found;
    if (sigma == 0.0 && hi == lo) return found;  // perfectly flat: nothing stands out
    const double floor = kMatchedSigmas * sigma;
    auto candidate = [&](double v) { return sigma != 0.0 ? v >= floor : v >= 0.0 && v > lo; };

    std::vector<double> profile;
    auto refine = [&](std::size_t centre, std::size_t extent, auto sample) {
        const std::size_t first = centre >= kRefineHalf ? centre - kRefineHalf : 0;
        const std::size_t last = std::min(centre + kRefineHalf, extent - 1);
        profile.clear();
        for (std::size_t k = first; k <= last; ++k) profile.push_back(sample(k));
        const auto p = log_parabola_peak(profile);
        return p ? static_cast<double>(first) + *p : static_cast<double>(centre);
    };
    // Every candidate is at least this (NaN never is one), so a block of the row whose
    // greatest value falls short holds none and is passed over whole.
    const double least_candidate = sigma != 0.0 ? floor : 0.0;
    for (std::size_t y = 0; y < h; ++y) {
        const double* row = surface.data() + y * w;
        for (std::size_t x0 = 0; x0 < w; x0 += kScanBlock) {
            const std::size_t x1 = std::min(x0 + kScanBlock, w);
            double most = -std::numeric_limits<double>::infinity();
            for (std::size_t x = x0; x < x1; ++x) most = row[x] > most ? row[x] : most;
            if (!(most >= least_candidate)) continue;
            for (std::size_t x = x0; x < x1; ++x) {
                const double v = row[x];
                if (!candidate(v) || !is_window_peak(surface, w, h, x, y)) continue;
                const double cx = refine(x, w, [&](std::size_t k) { return row[k]; });
                const double cy = refine(y, h, [&](std::size_t k) { return surface[k * w + x]; });
                found.push_back({cx, cy, v});
            }
        }
    }
    order_and_truncate(found, max_count);
    return found;
}

std::optional<Centroid> detect_sun_masked(const GrayImage& image, std::size_t min_area,
                                          std::optional<PixelMask> mask) {
    if (!shape_holds(image.width, image.height, image.pixels.size())) return std::nullopt;
    if (mask && !mask_matches(image, *mask)) return std::nullopt;
    const std::size_t w = image.width;
    const std::size_t h = image.height;
    const std::size_t total = image.pixels.size();
    auto masked = [&](std::size_t p) { return mask && mask->flags[p] != 0; };

    // Level and spread from one histogram: |value - m| = d gathers the bins m - d and m + d.
    std::vector<std::size_t> hist(1 << 16, 0);
    std::size_t n = 0;
    for (std::size_t p = 0; p < total; ++p) {
        if (!masked(p)) {
            ++hist[image.pixels[p]];
            ++n;
        }
    }
    if (n == 0) return std::nullopt;  // nothing unmasked can be bright
    const std::size_t median = kth_from_histogram(hist, n / 2);
    std::size_t before = 0;
    std::size_t mad = 0;
    for (;; ++mad) {
        std::size_t at = (mad <= median ? hist[median - mad] : 0);
        if (mad != 0 && median + mad < hist.size()) at += hist[median + mad];
        if (before + at > n / 2) break;
        before += at;
    }
    const double level = static_cast<double>(median);
    const double threshold = level + std::max(kSunSigmas * kMadToSigma * static_cast<double>(mad), kSunFloor);
    auto bright = [&](std::size_t p) { return !masked(p) && static_cast<double>(image.pixels[p]) >= threshold; };

    std::vector<std::uint8_t> visited(total, 0);
    std::vector<std::size_t> stack;
    std::optional<Centroid> best;
    std::size_t best_count = 0;
    for (std::size_t seed = 0; seed < total; ++seed) {
        if (visited[seed] != 0 || !bright(seed)) continue;
        visited[seed] = 1;
        stack.push_back(seed);
        std::size_t count = 0;
        double sum = 0.0;
        double sum_x = 0.0;
        double sum_y = 0.0;
        auto enter = [&](std::size_t q) {
            if (visited[q] == 0 && bright(q)) {
                visited[q] = 1;
                stack.push_back(q);
            }
        };
        while (!stack.empty()) {
            const std::size_t p = stack.back();
            stack.pop_back();
            const std::size_t x = p % w;
            const std::size_t y = p / w;
            const double excess = static_cast<double>(image.pixels[p]) - level;
            sum += excess;
            sum_x += excess * static_cast<double>(x);
            sum_y += excess * static_cast<double>(y);
            ++count;
            if (x > 0) enter(p - 1);
            if (x + 1 < w) enter(p + 1);
            if (y > 0) enter(p - w);
            if (y + 1 < h) enter(p + w);
        }
        if (count < min_area || (best && count <= best_count)) continue;
        best = Centroid{sum_x / sum, sum_y / sum, sum};
        best_count = count;
    }
    return best;
}

}  // namespace stelvane
