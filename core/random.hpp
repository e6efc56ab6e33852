// The engine's one pseudo-random generator, xorshift64*, for the two places that
// draw numbers: the scene renderer (seeded by the caller) and the burst
// verification's consensus search (fixed seed, so equal inputs give equal results).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/units.hpp"

namespace stelvane {

// The xorshift64* generator (Marsaglia 2003; Vigna 2016 output multiplier) with
// Box-Muller normal deviates (cosine branch only). A seed of 0 is taken as 1:
// the all-zero state would repeat 0 for ever.
class Xorshift64Star {
public:
    explicit Xorshift64Star(std::uint64_t seed) : state_(seed == 0 ? 1 : seed) {}

    // One step: the state shifted 12 right, 25 left, 27 right, then multiplied (modulo 2^64).
    std::uint64_t next() {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 0x2545F4914F6CDD1DULL;
    }

    // The top 53 bits of next(), in [0, 1).
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

    // sqrt(-2 ln max(u1, DBL_MIN)) cos(2 pi u2) from two consecutive uniforms.
    double normal() {
        const double u1 = uniform();
        const double u2 = uniform();
        // The smallest normal double keeps the logarithm finite when u1 is 0.
        return std::sqrt(-2.0 * std::log(std::max(u1, 2.2250738585072014e-308))) * std::cos(units::TWO_PI * u2);
    }

private:
    std::uint64_t state_;
};

}  // namespace stelvane
