// Exact rank selection over large streams of doubles (a frame's background
// residuals, a filtered surface) in linear time with bucket histograms, so the
// detectors' medians and MADs need neither a sort nor a copy of the frame.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/robust.hpp"

namespace stelvane {

// Rank selection over doubles streamed in chunks by a generator, in linear
// time. A counting pass sorts the values into buckets ordered like the values
// (values beyond the bucket window lo..hi fall into the end buckets, so the
// window only steers speed, never the result); a gathering pass keeps the
// bucket that holds the wanted rank, which is resolved in IEEE total order.
// The generator must stream the same NaN-free values on every call.
class RankSelector {
public:
    // The k-th smallest (0-based) of the n streamed values.
    template <class Rows>
    double kth(Rows& rows, std::size_t n, std::size_t k, double lo, double hi) {
        count(rows, n, lo, hi);
        // Plain names, not a structured binding: the lambda below captures b, which
        // clang before 16 refuses for a binding.
        const std::pair<std::size_t, std::size_t> located = locate(k);
        const std::size_t b = located.first;
        const std::size_t before = located.second;
        median_.clear();
        rows([&](std::span<const double> chunk) {
            const std::uint32_t* keys = keys_of(chunk);
            for (std::size_t i = 0; i < chunk.size(); ++i) {
                if (keys[i] == b) median_.push_back(chunk[i]);
            }
        });
        return nth(median_, k - before);
    }

    // The upper median m of the n streamed values and the upper median of |v - m|,
    // from one counting and one gathering pass in the usual case.
    template <class Rows>
    std::pair<double, double> median_and_mad(Rows& rows, std::size_t n, double lo, double hi) {
        const std::size_t k = n / 2;
        count(rows, n, lo, hi);
        const auto [b, before] = locate(k);
        // A value in bucket j lies (|j - b| - 1) to (|j - b| + 1) bucket widths from m.
        // Find the distance class C in which the k-th deviation falls: classes up to
        // C - 4 lie surely below it, classes from C + 3 surely above.
        std::size_t within = hist_[b];
        std::size_t c = 0;
        while (within <= k) {
            ++c;
            if (b >= c) within += hist_[b - c];
            if (b + c < buckets_) within += hist_[b + c];
        }
        const std::size_t zone_first = c >= 3 ? c - 3 : 0;
        const std::size_t zone_last = c + 2;
        const double width = 1.0 / scale_;
        const bool uniform = scale_ > 0.0 && std::isfinite(width) && zone_last < b && b + zone_last + 1 < buckets_ &&
                             width > 1e-9 * std::max(std::fabs(lo_), std::fabs(lo_ + width * buckets_));
        if (!uniform) {
            // The zone reaches an end bucket (values clamped there are not one width
            // apart) or buckets too narrow to reason about: select twice instead.
            const double median = kth(rows, n, k, lo, hi);
            std::vector<double> chunk_dev;
            auto deviations = [&](auto&& sink) {
                rows([&](std::span<const double> chunk) {
                    chunk_dev.resize(chunk.size());
                    for (std::size_t i = 0; i < chunk.size(); ++i) chunk_dev[i] = std::fabs(chunk[i] - median);
                    sink(std::span<const double>(chunk_dev));
                });
            };
            return {median, kth(deviations, n, k, 0.0, std::max(median - lo, hi - median))};
        }
        std::size_t below = 0;  // values in classes 0 .. zone_first - 1
        for (std::size_t d = 0; d < zone_first; ++d) {
            below += hist_[b - d];
            if (d != 0) below += hist_[b + d];
        }
        // Two range tests per value keep the pass branch-predictable: the zone's
        // buckets on either side of b, and b itself (inside the zone when C < 3).
        const std::size_t span = zone_last - zone_first;
        const auto below_first = static_cast<std::uint32_t>(b - zone_last);
        const auto above_first = static_cast<std::uint32_t>(b + zone_first);
        const auto zone_span = static_cast<std::uint32_t>(span);
        const auto median_key = static_cast<std::uint32_t>(b);
        median_.clear();
        zone_.clear();
        rows([&](std::span<const double> chunk) {
            const std::uint32_t* keys = keys_of(chunk);
            for (std::size_t i = 0; i < chunk.size(); ++i) {
                const std::uint32_t key = keys[i];
                const bool in_zone = key - below_first <= zone_span || key - above_first <= zone_span;
                if (in_zone) zone_.push_back(chunk[i]);
                if (key == median_key) median_.push_back(chunk[i]);
            }
        });
        const double median = nth(median_, k - before);
        for (double& v : zone_) v = std::fabs(v - median);
        return {median, nth(zone_, k - below)};
    }

private:
    static constexpr std::size_t kLanes = 4;  // interleaved histograms break store-to-load chains

    // Bucket keys of a chunk: trunc((v - lo) * scale) clamped to 0 .. buckets - 1,
    // monotone in v (a rounded subtraction and a positive scaling keep order).
    const std::uint32_t* keys_of(std::span<const double> chunk) {
        keys_.resize(chunk.size());
        const double lo = lo_;
        const double scale = scale_;
        const double top = static_cast<double>(buckets_ - 1);
        for (std::size_t i = 0; i < chunk.size(); ++i) {
            double t = (chunk[i] - lo) * scale;
            t = t > 0.0 ? t : 0.0;
            t = t < top ? t : top;
            keys_[i] = static_cast<std::uint32_t>(static_cast<std::int32_t>(t));
        }
        return keys_.data();
    }

    template <class Rows>
    void count(Rows& rows, std::size_t n, double lo, double hi) {
        buckets_ = std::clamp<std::size_t>(std::bit_ceil(n / 4 + 1), 64, std::size_t{1} << 14);
        lo_ = lo;
        scale_ = hi > lo ? static_cast<double>(buckets_) / (hi - lo) : 0.0;
        if (!std::isfinite(scale_)) scale_ = 0.0;
        lanes_.assign(kLanes * buckets_, 0);
        rows([&](std::span<const double> chunk) {
            const std::uint32_t* keys = keys_of(chunk);
            std::uint32_t* h = lanes_.data();
            const std::size_t m = chunk.size();
            std::size_t i = 0;
            for (; i + kLanes <= m; i += kLanes) {
                ++h[keys[i]];
                ++h[buckets_ + keys[i + 1]];
                ++h[2 * buckets_ + keys[i + 2]];
                ++h[3 * buckets_ + keys[i + 3]];
            }
            for (; i < m; ++i) ++h[keys[i]];
        });
        hist_.assign(buckets_, 0);
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            for (std::size_t j = 0; j < buckets_; ++j) hist_[j] += lanes_[lane * buckets_ + j];
        }
    }

    // The bucket holding rank k and the number of values in the buckets before it.
    std::pair<std::size_t, std::size_t> locate(std::size_t k) const {
        std::size_t before = 0;
        std::size_t b = 0;
        while (before + hist_[b] <= k) before += hist_[b++];
        return {b, before};
    }

    static double nth(std::vector<double>& values, std::size_t rank) { return nth_total(values, rank); }

    std::size_t buckets_ = 0;
    double lo_ = 0.0;
    double scale_ = 0.0;
    std::vector<std::uint32_t> lanes_;  // kLanes partial histograms (each lane sees a quarter of the values)
    std::vector<std::size_t> hist_;
    std::vector<std::uint32_t> keys_;
    std::vector<double> median_;
    std::vector<double> zone_;
};

}  // namespace stelvane
