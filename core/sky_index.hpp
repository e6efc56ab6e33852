// A trig-free lookup of the catalog stars near a direction, for the matcher's
// verification: the sphere seen as the six faces of a cube, each cut into a square
// grid, every cell listing the stars that may lie within a fixed radius of any of
// its points. Finding a direction's cell takes a comparison and two divisions.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/catalog.hpp"
#include "core/vec.hpp"

namespace stelvane {

class SkyIndex {
public:
    // One listed star: its stored unit direction and its star index.
    struct Entry {
        Vec3 unit;
        std::size_t star;
    };

    // The index for stars within `radius` (radians) of a direction. Empty (usable for
    // nothing) when the radius is not in (0, MAX_RADIUS].
    static SkyIndex build(std::span<const Star> stars, double radius);

    // Widest radius an index is built for: wider caps cover too many cells to pay.
    static constexpr double MAX_RADIUS = 0.16;

    // Whether candidates(w) covers the stars within `radius` of w: the index was built
    // for at least that radius and w is a unit vector to rounding (a longer or NaN w
    // is no direction the bound reasons about).
    bool covers(const Vec3& w, double radius) const {
        return radius <= radius_ && std::abs(w.squaredNorm() - 1.0) < UNIT_SLACK;
    }

    // A superset of the stars whose dot product with w exceeds cos(radius) for every
    // radius that covers(w, radius) accepts; in ascending star index. Assumes covers.
    std::span<const Entry> candidates(const Vec3& w) const {
        const std::size_t cell = cell_of(w);
        return {entries_.data() + start_[cell], entries_.data() + start_[cell + 1]};
    }

    double radius() const { return radius_; }
    std::size_t resolution() const { return resolution_; }

private:
    static constexpr double UNIT_SLACK = 1e-12;

    // Face (0..5: +x, -x, +y, -y, +z, -z by the largest |component|, x before y
    // before z on ties) and the gnomonic coordinates u, v in [-1, 1] on it.
    std::size_t cell_of(const Vec3& w) const;
    std::size_t cell_along(double u) const;

    double radius_ = -1.0;
    std::size_t resolution_ = 0;       // cells along a face side
    double half_resolution_ = 0.0;     // resolution / 2
    std::vector<std::uint32_t> start_; // 6 * resolution^2 + 1 offsets into entries_
    std::vector<Entry> entries_;
};

// Sky indexes of a loaded catalog for a ladder of radii, built once when the catalog
// is loaded so that each identification does not build its own. Tied to the star
// list it was built from: a catalog that is a copy, or whose star list changed
// length, is not served (its matcher builds an index per call instead).
class SkyIndexSet {
public:
    static std::shared_ptr<const SkyIndexSet> build(const std::vector<Star>& stars);

    // The finest index covering `radius`, or null when none does or `stars` is not
    // the list the set was built from.
    const SkyIndex* for_radius(const std::vector<Star>& stars, double radius) const;
    // The widest radius served for `stars` (0 when none is).
    double widest_radius(const std::vector<Star>& stars) const;

private:
    const Star* stars_ = nullptr;
    std::size_t count_ = 0;
    std::vector<SkyIndex> ladder_;  // ascending radius
};

}  // namespace stelvane
