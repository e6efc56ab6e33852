// The ordering and robust-statistics conventions every detector and the solve share:
// IEEE-754 total order as an integer key (NaN has a place, so sorts and selections
// are deterministic), rank selection in that order, and the MAD-to-sigma factor.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace stelvane {

// Gaussian standard deviation per median absolute deviation: 1 / Phi^-1(3/4), to the
// four places the detectors and the foreground mask use.
inline constexpr double kMadToSigma = 1.4826;

// IEEE-754 totalOrder as a signed integer key:
// -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN.
inline std::int64_t total_order_key(double v) {
    const auto bits = std::bit_cast<std::int64_t>(v);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

// The same key for single-precision values (catalog magnitudes).
inline std::int32_t total_order_key(float v) {
    const auto bits = std::bit_cast<std::int32_t>(v);
    return bits ^ static_cast<std::int32_t>(static_cast<std::uint32_t>(bits >> 31) >> 1);
}

inline bool total_less(double a, double b) { return total_order_key(a) < total_order_key(b); }

// The value of 0-based rank `rank` in IEEE total order; reorders `values`.
// Assumes rank < values.size().
inline double nth_total(std::vector<double>& values, std::size_t rank) {
    auto it = values.begin() + static_cast<std::ptrdiff_t>(rank);
    std::nth_element(values.begin(), it, values.end(), total_less);
    return *it;
}

}  // namespace stelvane
