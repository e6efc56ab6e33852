// Helpers the engine's C++ tests share for random skies: directions drawn uniformly on
// the sphere, and catalog stars placed exactly on a direction.
#pragma once

#include <cmath>
#include <random>

#include "core/catalog.hpp"
#include "core/vec.hpp"

namespace stelvane::test {

// A direction drawn uniformly on the sphere (a normalised 3-D Gaussian).
inline Vec3 random_unit(std::mt19937_64& rng) {
    std::normal_distribution<double> g;
    return Vec3(g(rng), g(rng), g(rng)).normalized();
}

// A star whose unit vector is exactly `v` normalised, with the right ascension and
// declination it implies.
inline Star star_towards(const Vec3& v) {
    Star s;
    s.unit = v.normalized();
    s.ra = std::atan2(s.unit.y(), s.unit.x());
    s.dec = std::asin(s.unit.z());
    return s;
}

}  // namespace stelvane::test
