// A trig-free lookup of the catalog stars near a direction: cube-face cells, each
// listing the stars whose cap of the index radius may reach it.
#include "core/sky_index.hpp"

#include <algorithm>
#include <cmath>

#include "core/units.hpp"

namespace stelvane {

namespace {

// 1 / sqrt(3): the largest component of a unit vector is at least this.
constexpr double INV_SQRT3 = 0.57735026918962576;
// Cells along a face side: about two per cap diameter, at most this many (98 304 cells).
constexpr std::size_t MAX_RESOLUTION = 128;
constexpr std::size_t MIN_RESOLUTION = 4;
// Widening of every bound for rounding: relative, absolute, and of a squared chord.
constexpr double RELATIVE_SLACK = 1e-9;
constexpr double ABSOLUTE_SLACK = 1e-12;
constexpr double SQUARED_CHORD_SLACK = 1e-11;

// The axis (0, 1, 2) and sign (+1, -1) of face f, and the two other axes in order.
struct Face {
    int normal;
    double sign;
    int a;
    int b;
};
constexpr Face FACES[6] = {{0, 1.0, 1, 2}, {0, -1.0, 1, 2}, {1, 1.0, 0, 2},
                           {1, -1.0, 0, 2}, {2, 1.0, 0, 1}, {2, -1.0, 0, 1}};

bool unit_to_rounding(const Vec3& v) { return std::abs(v.squaredNorm() - 1.0) < 1e-12; }

}  // namespace

std::size_t SkyIndex::cell_along(double u) const {
    // Monotone in u: a rounded addition and multiplication, then truncation.
    const double t = (u + 1.0) * half_resolution_;
    const std::size_t k = t > 0.0 ? static_cast<std::size_t>(t) : 0;
    return std::min(k, resolution_ - 1);
}

std::size_t SkyIndex::cell_of(const Vec3& w) const {
    const double ax = std::abs(w.x());
    const double ay = std::abs(w.y());
    const double az = std::abs(w.z());
    std::size_t face;
    double n, a, b;
    if (ax >= ay && ax >= az) {
        face = w.x() < 0.0 ? 1 : 0;
        n = ax, a = w.y(), b = w.z();
    } else if (ay >= az) {
        face = w.y() < 0.0 ? 3 : 2;
        n = ay, a = w.x(), b = w.z();
    } else {
        face = w.z() < 0.0 ? 5 : 4;
        n = az, a = w.x(), b = w.y();
    }
    return (face * resolution_ + cell_along(b / n)) * resolution_ + cell_along(a / n);
}

// Which cells list a star. A direction w within the radius of star s is closer than
// the chord c = |w - s|. If w lies on face f (normal component n_f largest), then
// n_f(w) >= 1/sqrt(3), so n_f(s) >= 1/sqrt(3) - c: faces where s falls short of that
// list nothing. On the chord from s to w every point x has n_f(x) >= m = n_f(s) - c,
// and the gradient of the face coordinate u = x_a / x_n has length
// sqrt(x_n^2 + x_a^2) / x_n^2 <= |x| / x_n^2 <= 1 / m^2, so |u(w) - u(s)| <= c / m^2,
// and likewise for v. Cells along each axis are monotone in the coordinate, so the
// box of cells of u(s) +- c / m^2 and v(s) +- c / m^2 holds w's cell.
SkyIndex SkyIndex::build(std::span<const Star> stars, double radius) {
    SkyIndex index;
    if (!(radius > 0.0 && radius <= MAX_RADIUS)) return index;
    for (const Star& s : stars) {
        if (!unit_to_rounding(s.unit)) return index;  // the bound holds for unit directions only
    }
    // The dot test is d > cos(radius) on rounded dot products of directions unit to
    // 1e-12, hence the slack on the squared chord 2 - 2 cos(radius).
    const double chord = std::sqrt(2.0 - 2.0 * std::cos(radius) + SQUARED_CHORD_SLACK) * (1.0 + RELATIVE_SLACK);
    index.radius_ = radius;
    index.resolution_ = std::clamp<std::size_t>(static_cast<std::size_t>(0.5 / chord), MIN_RESOLUTION, MAX_RESOLUTION);
    index.half_resolution_ = static_cast<double>(index.resolution_) / 2.0;
    const std::size_t r = index.resolution_;

    // Calls mark(cell) for every cell of every face whose box holds the star.
    auto for_each_cell = [&](const Vec3& u, auto&& mark) {
        for (std::size_t f = 0; f < 6; ++f) {
            const Face& face = FACES[f];
            const double sn = face.sign * u[face.normal];
            if (sn < INV_SQRT3 - chord - RELATIVE_SLACK) continue;
            const double m = sn - chord;
            const double reach = chord * (1.0 + RELATIVE_SLACK) / (m * m) + ABSOLUTE_SLACK;
            const double su = u[face.a] / sn;
            const double sv = u[face.b] / sn;
            const std::size_t i0 = index.cell_along(su - reach), i1 = index.cell_along(su + reach);
            const std::size_t j0 = index.cell_along(sv - reach), j1 = index.cell_along(sv + reach);
            for (std::size_t j = j0; j <= j1; ++j) {
                for (std::size_t i = i0; i <= i1; ++i) mark((f * r + j) * r + i);
            }
        }
    };

    // Counting sort by cell: counts two slots ahead, running sums, then each entry at
    // its cell's next free slot, in star order.
    const std::size_t n_cells = 6 * r * r;
    index.start_.assign(n_cells + 2, 0);
    for (const Star& s : stars) for_each_cell(s.unit, [&](std::size_t c) { ++index.start_[c + 2]; });
    for (std::size_t c = 2; c < n_cells + 2; ++c) index.start_[c] += index.start_[c - 1];
    index.entries_.resize(index.start_[n_cells + 1]);
    for (std::size_t k = 0; k < stars.size(); ++k) {
        for_each_cell(stars[k].unit, [&](std::size_t c) { index.entries_[index.start_[c + 1]++] = {stars[k].unit, k}; });
    }
    index.start_.pop_back();
    return index;
}

// Radii of the load-time ladder: 4' (the matcher's tolerance floor) doubling to 128'
// (6 rungs), and on to 512' for a sparse catalog, as long as a cap holds about one
// star or less (K (1 - cos r) / 2 <= 1, r <= 2 / sqrt(K)); each radius is widened a
// little so that a tolerance computed in another order of operations finds its rung.
namespace {
constexpr double LADDER_BASE_RAD = units::arcmin_to_rad(4.0) * (1.0 + 1e-9);
constexpr std::size_t LADDER_RUNGS = 6;
constexpr std::size_t SPARSE_LADDER_RUNGS = 8;
}  // namespace

std::shared_ptr<const SkyIndexSet> SkyIndexSet::build(const std::vector<Star>& stars) {
    auto set = std::make_shared<SkyIndexSet>();
    set->stars_ = stars.data();
    set->count_ = stars.size();
    double radius = LADDER_BASE_RAD;
    const double sparse_radius = 2.0 / std::sqrt(std::max<double>(static_cast<double>(stars.size()), 1.0));
    for (std::size_t k = 0; k < SPARSE_LADDER_RUNGS; ++k, radius *= 2.0) {
        if (k >= LADDER_RUNGS && radius / 2.0 >= sparse_radius) break;
        SkyIndex index = SkyIndex::build(stars, radius);
        if (index.resolution() == 0) break;  // stars that are not unit directions: nothing to serve
        set->ladder_.push_back(std::move(index));
    }
    return set;
}

const SkyIndex* SkyIndexSet::for_radius(const std::vector<Star>& stars, double radius) const {
    if (stars.data() != stars_ || stars.size() != count_) return nullptr;
    for (const SkyIndex& index : ladder_) {
        if (radius <= index.radius()) return &index;
    }
    return nullptr;
}

double SkyIndexSet::widest_radius(const std::vector<Star>& stars) const {
    if (stars.data() != stars_ || stars.size() != count_ || ladder_.empty()) return 0.0;
    return ladder_.back().radius();
}

}  // namespace stelvane
