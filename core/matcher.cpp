// Star identification by angular pattern: star grid, triangle hypotheses,
// greedy verification with its pruning proofs, the candidate tally and the
// confidence checks.
#include "core/matcher.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include <Eigen/Geometry>

#include "core/attitude.hpp"
#include "core/sky_index.hpp"
#include "core/units.hpp"

namespace stelvane {

namespace {

using units::PI;
using units::TWO_PI;

constexpr double HALF_PI = PI / 2.0;
// Bands are never thinner than half a degree, however fine the tolerance.
constexpr double MIN_BAND_TOLERANCE = 0.008726646259971648;
// Fewer correspondences than this never count as an identification.
constexpr std::size_t MIN_CORRESPONDENCES = 4;
// The largest acceptable chance probability of the winner's count.
constexpr double MAX_CHANCE_PROBABILITY = 0.01;

constexpr std::size_t SMALL_GROUP = PairGroups::SMALL_GROUP;

// Double to unsigned, saturating: negative and NaN give 0, too large gives the maximum.
std::size_t saturate(double value) {
    if (!(value > 0.0)) return 0;
    if (value >= 18446744073709551616.0) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(value);
}

// Rounds halves away from zero, then saturates.
std::size_t round_saturate(double value) { return saturate(std::round(value)); }

// The run of catalog pairs for a camera side of angle theta.
std::span<const Pair> side_run(std::span<const Pair> pairs, double theta, double tolerance) {
    return pairs_in_range(pairs, std::cos(theta + tolerance), std::cos(theta - tolerance));
}

// x^n by binary powers, as integer powers are evaluated.
double int_pow(double x, std::size_t n) {
    double r = 1.0;
    for (;;) {
        if (n & 1u) r *= x;
        n >>= 1;
        if (n == 0) return r;
        x *= x;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Star grid

StarGrid StarGrid::build(std::span<const Star> stars, double tolerance) {
    StarGrid grid;
    grid.n_bands = std::max<std::size_t>(saturate(std::ceil(PI / std::fmax(tolerance, MIN_BAND_TOLERANCE))), 1);
    grid.band_height = PI / static_cast<double>(grid.n_bands);
    grid.cells_per_band.resize(grid.n_bands);
    grid.band_start.resize(grid.n_bands + 1);
    grid.band_start[0] = 0;
    for (std::size_t b = 0; b < grid.n_bands; ++b) {
        const double centre_dec = (static_cast<double>(b) + 0.5) * grid.band_height - HALF_PI;
        grid.cells_per_band[b] = std::max<std::size_t>(
            round_saturate(std::cos(centre_dec) * TWO_PI / grid.band_height), 1);
        grid.band_start[b + 1] = grid.band_start[b] + grid.cells_per_band[b];
    }
    const std::size_t n_cells = grid.band_start[grid.n_bands];

    // Pass 1: each star's cell, counted two slots ahead, then running sums, so that
    // cell_start[c + 1] is where cell c begins.
    std::vector<std::size_t> star_cell(stars.size());
    grid.cell_start.assign(n_cells + 2, 0);
    for (std::size_t s = 0; s < stars.size(); ++s) {
        star_cell[s] = grid.cell_of(stars[s].ra, stars[s].dec);
        ++grid.cell_start[star_cell[s] + 2];
    }
    for (std::size_t c = 2; c < n_cells + 2; ++c) grid.cell_start[c] += grid.cell_start[c - 1];

    // Pass 2: place each star at its cell's next free slot, in catalog order;
    // cell_start[c + 1] advances to where cell c ends, which is where c + 1 begins.
    grid.entries.resize(stars.size());
    for (std::size_t s = 0; s < stars.size(); ++s) grid.entries[grid.cell_start[star_cell[s] + 1]++] = s;
    grid.cell_start.pop_back();
    return grid;
}

std::size_t StarGrid::cell_of(double ra, double dec) const {
    const std::size_t band = std::min(saturate(std::floor((dec + HALF_PI) / band_height)), n_bands - 1);
    const std::size_t cells = cells_per_band[band];
    double a = std::fmod(ra, TWO_PI);
    if (a < 0.0) a += TWO_PI;
    const std::size_t cell =
        std::min(saturate(std::floor(static_cast<double>(cells) * a / TWO_PI)), cells - 1);
    return band_start[band] + cell;
}

namespace {

// The cells of a grid query, in query order: visit(first, last) receives each
// cell's run of entries. Shared by StarGrid::query and the matcher's verification,
// which reads the runs in place instead of copying them.
// `sin_radius` is sin(radius), computed once by callers that query many times.
template <class Visit>
void for_each_query_cell(const StarGrid& grid, const Vec3& direction, double radius, double sin_radius,
                         Visit&& visit) {
    const double dec = std::asin(std::clamp(direction.z(), -1.0, 1.0));
    // atan2 lies in [-pi, pi], where the remainder by 2 pi is exact and changes nothing.
    const double ra = std::atan2(direction.y(), direction.x());

    const std::size_t last = grid.n_bands - 1;
    const std::size_t lo = std::min(saturate(std::floor((dec - radius + HALF_PI) / grid.band_height) - 1.0), last);
    const std::size_t hi = std::min(saturate(std::floor((dec + radius + HALF_PI) / grid.band_height) + 1.0), last);
    if (lo > hi) return;

    // A cap of a quarter turn or more, or one reaching a pole, spans every right ascension.
    const double cos_dec = std::cos(dec);
    const double half_width =
        (radius >= HALF_PI || cos_dec <= sin_radius) ? PI : std::asin(sin_radius / cos_dec);
    const double a = ra < 0.0 ? ra + TWO_PI : ra;

    const std::size_t* entries = grid.entries.data();
    auto visit_cell = [&](std::size_t cell) {
        visit(entries + grid.cell_start[cell], entries + grid.cell_start[cell + 1]);
    };
    for (std::size_t b = lo; b <= hi; ++b) {
        const std::size_t cells = grid.cells_per_band[b];
        const std::size_t first_cell = grid.band_start[b];
        bool whole_band = half_width >= PI;
        std::size_t k = 0;
        if (!whole_band) {
            const double w = TWO_PI / static_cast<double>(cells);
            k = saturate(std::ceil(half_width / w));
            whole_band = !(2 * k + 3 < cells);
        }
        if (whole_band) {
            for (std::size_t cell = 0; cell < cells; ++cell) visit_cell(first_cell + cell);
            continue;
        }
        // In [0, B] for a finite direction; a NaN direction saturates to cell 0.
        const auto centre =
            static_cast<std::int64_t>(saturate(std::floor(static_cast<double>(cells) * a / TWO_PI)));
        // Cells (centre + m) mod B for m = -(k + 1) ... k + 1, wrapping by hand:
        // centre <= B and 2k + 3 < B keep every step within one turn.
        const auto n = static_cast<std::int64_t>(cells);
        const auto reach = static_cast<std::int64_t>(k) + 1;
        std::int64_t cell = centre - reach;
        if (cell < 0) cell += n;
        for (std::int64_t m = -reach; m <= reach; ++m) {
            visit_cell(first_cell + static_cast<std::size_t>(cell));
            if (++cell == n) cell = 0;
        }
    }
}

}  // namespace

void StarGrid::query(const Vec3& direction, double radius, std::vector<std::size_t>& out) const {
    out.clear();
    for_each_query_cell(*this, direction, radius, std::sin(radius),
                        [&](const std::size_t* first, const std::size_t* last) { out.insert(out.end(), first, last); });
}

// ---------------------------------------------------------------------------
// Triangle hypotheses

void PairGroups::build(std::span<const Pair> run, std::size_t index_limit) {
    run_ = run;
    // Counting sort. The counts sit two slots ahead; after the running sums
    // start_[x + 1] is where group x begins, and filling advances it to where
    // group x ends, that is where group x + 1 begins. Groups that outgrow
    // SMALL_GROUP are noted as they do, for sorting.
    auto count = [&](std::size_t limit) {
        start_.assign(limit + 2, 0);
        large_.clear();
        for (const Pair& p : run) {
            if (std::max(p.i, p.j) >= limit) return false;
            if (start_[std::size_t{p.i} + 2]++ == SMALL_GROUP) large_.push_back(p.i);
            if (start_[std::size_t{p.j} + 2]++ == SMALL_GROUP) large_.push_back(p.j);
        }
        return true;
    };
    std::size_t limit = index_limit;
    if (limit == 0 || !count(limit)) {
        limit = 0;
        for (const Pair& p : run) limit = std::max<std::size_t>(limit, std::max(p.i, p.j) + std::size_t{1});
        count(limit);
    }
    for (std::size_t x = 2; x < limit + 2; ++x) start_[x] += start_[x - 1];
    listed_.resize(2 * run.size());
    masks_.assign(limit, 0);
    for (const Pair& p : run) {
        listed_[start_[std::size_t{p.i} + 1]++] = p.j;
        listed_[start_[std::size_t{p.j} + 1]++] = p.i;
        masks_[p.i] |= std::uint64_t{1} << (p.j & 63u);
        masks_[p.j] |= std::uint64_t{1} << (p.i & 63u);
    }
    sorted_ = listed_;
    for (const std::uint16_t x : large_) std::sort(sorted_.begin() + start_[x], sorted_.begin() + start_[x + 1]);
}

bool PairGroups::contains(std::uint16_t first, std::uint16_t second) const {
    return holds(sorted_group(first), second);
}

void TriangleSearch::extend_all(const PairGroups& ab, const PairGroups& ac, const PairGroups& bc,
                                std::vector<StarTriple>& out) {
    // Any empty side leaves no hypothesis.
    if (ab.run().empty() || ac.run().empty() || bc.run().empty()) return;
    // Side a-b, both orientations of each pair in run order; for each, the b-c
    // list entries starting with b, in list order, closed by an a-c pair
    // (c listed with a, which is the same as a listed with c).
    auto extend = [&](std::uint16_t sa, std::uint16_t sb) {
        const std::span<const std::uint16_t> closing = ac.sorted_group(sa);
        for (std::uint16_t sc : bc.group(sb)) {
            if (sc != sa && PairGroups::holds(closing, sc)) out.push_back({sa, sb, sc});
        }
    };
    // c is a partner of a on side a-c and of b on side b-c: disjoint partner masks
    // rule out most orientations before any group is read.
    for (const Pair& p : ab.run()) {
        if ((ac.partner_mask(p.i) & bc.partner_mask(p.j)) != 0) extend(p.i, p.j);
        if ((ac.partner_mask(p.j) & bc.partner_mask(p.i)) != 0) extend(p.j, p.i);
    }
}

void TriangleSearch::run(std::span<const Vec3> cam_vecs, std::array<std::size_t, 3> abc,
                         std::span<const Pair> pairs, double tolerance, std::vector<StarTriple>& out) {
    out.clear();
    const Vec3& va = cam_vecs[abc[0]];
    const Vec3& vb = cam_vecs[abc[1]];
    const Vec3& vc = cam_vecs[abc[2]];
    own_[0].build(side_run(pairs, angle_between(va, vb), tolerance));
    own_[1].build(side_run(pairs, angle_between(va, vc), tolerance));
    own_[2].build(side_run(pairs, angle_between(vb, vc), tolerance));
    extend_all(own_[0], own_[1], own_[2], out);
}

void TriangleSearch::prepare(std::span<const Vec3> cam_vecs, std::size_t n, std::span<const Pair> pairs,
                             double tolerance, std::size_t index_limit) {
    n_ = std::min(n, cam_vecs.size());
    sides_.resize(n_ * n_);
    for (std::size_t a = 0; a < n_; ++a) {
        for (std::size_t b = a + 1; b < n_; ++b) {
            sides_[a * n_ + b].build(side_run(pairs, angle_between(cam_vecs[a], cam_vecs[b]), tolerance),
                                     index_limit);
        }
    }
}

void TriangleSearch::run_prepared(std::array<std::size_t, 3> abc, std::vector<StarTriple>& out) const {
    out.clear();
    extend_all(side(abc[0], abc[1]), side(abc[0], abc[2]), side(abc[1], abc[2]), out);
}

std::vector<StarTriple> triangle_hypotheses(std::span<const Vec3> cam_vecs, std::array<std::size_t, 3> abc,
                                            std::span<const Pair> pairs, double tolerance) {
    TriangleSearch search;
    std::vector<StarTriple> out;
    search.run(cam_vecs, abc, pairs, tolerance, out);
    return out;
}

// ---------------------------------------------------------------------------
// Matcher

namespace {

// The catalog seen at the match tolerance: whether stars lie near a direction, and
// the greedy verification of a rotation, with the used-star flags and the
// candidate's list reused from one hypothesis to the next. Candidates come from a
// sky index built for the tolerance (no trigonometry per lookup); directions it does
// not cover (wider radii, vectors that are not unit) go through the star grid, built
// on first need when none was given. Both give supersets of the stars within the
// radius, and every test below depends only on which stars pass it, so the answers
// do not depend on which one was asked.
class StarLookup {
public:
    static constexpr double GRID_BOUND_CHORD = 0.02;

    StarLookup(const Catalog& catalog, const StarGrid* grid, double tolerance)
        : catalog_(catalog), grid_(grid), tolerance_(tolerance), cos_tolerance_(std::cos(tolerance)),
          sin_tolerance_(std::sin(tolerance)), index_(loaded_index(tolerance)), used_(catalog.stars.size(), 0) {
        if (index_ == nullptr) {
            own_index_ = SkyIndex::build(catalog.stars, tolerance);
            index_ = &own_index_;
        }
        const double useful_radius = 1.0 / std::sqrt(std::max<double>(static_cast<double>(catalog.stars.size()), 1.0));
        const double widest = catalog.sky_indexes ? catalog.sky_indexes->widest_radius(catalog.stars) : 0.0;
        const double reach = std::min(useful_radius, widest) - tolerance;
        if (reach > GRID_BOUND_CHORD) bound_chord_limit_ = 2.0 * std::sin(reach / 2.0) * (1.0 - 1e-6);
    }

    double tolerance() const { return tolerance_; }
    double cos_tolerance() const { return cos_tolerance_; }

    // The widest chord bound worth a lookup. Through the grid, bounds beyond 0.02 rad
    // (about 1.1 degrees) make queries that cost more than the solve they would spare.
    // A sparse catalog with sky indexes is looked up further, out to where the cap of
    // tolerance plus bound holds a quarter of a star on average (K (1 - cos r) / 2 =
    // 1/4, r ~ 1 / sqrt(K)), beyond which a miss is seldom proven, or to the widest
    // indexed radius.
    double bound_chord_limit() const { return bound_chord_limit_; }

    // Whether some catalog star lies strictly within the tolerance of w (dot > cos tolerance).
    bool has_star_near(const Vec3& w) const { return has_star_within(w, tolerance_, cos_tolerance_, sin_tolerance_); }

    // Whether some catalog star has a dot product with w above cos_radius.
    bool has_star_within(const Vec3& w, double radius, double cos_radius, double sin_radius) const {
        const SkyIndex* index = radius <= tolerance_ ? index_ : loaded_index(radius);
        if (index != nullptr && index->covers(w, radius)) {
            for (const SkyIndex::Entry& e : index->candidates(w)) {
                if (w.dot(e.unit) > cos_radius) return true;
            }
            return false;
        }
        bool found = false;
        for_each_query_cell(grid(), w, radius, sin_radius, [&](const std::size_t* first, const std::size_t* last) {
            for (const std::size_t* it = first; it != last && !found; ++it) {
                found = w.dot(catalog_.stars[*it].unit) > cos_radius;
            }
        });
        return found;
    }

    // Greedy verification into list() / residual(), brightest first: each direction
    // takes the unused star of largest dot product above cos tolerance (the smaller
    // index on an exact tie). False when the count fell out of reach of `target`
    // (the pass then stops early).
    bool verify(const Mat3& rotation, std::span<const Vec3> cam_vecs, std::size_t target) {
        list_.clear();
        residual_ = 0.0;
        const std::size_t n = cam_vecs.size();
        bool reached = true;
        for (std::size_t t = 0; t < n; ++t) {
            if (list_.size() + (n - t) < target) {
                reached = false;
                break;
            }
            const Vec3 w = rotation * cam_vecs[t];
            if (const auto star = nearest_unused(w)) {
                used_[star->index] = 1;
                list_.push_back({t, star->index});
                residual_ += std::acos(std::clamp(star->dot, -1.0, 1.0));
            }
        }
        for (const Correspondence& c : list_) used_[c.star] = 0;
        return reached && list_.size() >= target;
    }

    const std::vector<Correspondence>& list() const { return list_; }
    double residual() const { return residual_; }

private:
    struct Nearest {
        std::size_t index;
        double dot;
    };

    // The catalog's load-time index for the radius, if it has one.
    const SkyIndex* loaded_index(double radius) const {
        return catalog_.sky_indexes ? catalog_.sky_indexes->for_radius(catalog_.stars, radius) : nullptr;
    }

    const StarGrid& grid() const {
        if (grid_ == nullptr) {
            own_grid_ = StarGrid::build(catalog_.stars, tolerance_);
            grid_ = &*own_grid_;
        }
        return *grid_;
    }

    // The choice is independent of the order candidates come in.
    void consider(std::optional<Nearest>& chosen, std::size_t s, double d) const {
        if (used_[s] || !(d > cos_tolerance_)) return;
        if (!chosen || d > chosen->dot || (d == chosen->dot && s < chosen->index)) chosen = Nearest{s, d};
    }

    std::optional<Nearest> nearest_unused(const Vec3& w) const {
        std::optional<Nearest> chosen;
        if (index_->covers(w, tolerance_)) {
            for (const SkyIndex::Entry& e : index_->candidates(w)) consider(chosen, e.star, w.dot(e.unit));
            return chosen;
        }
        for_each_query_cell(grid(), w, tolerance_, sin_tolerance_, [&](const std::size_t* first, const std::size_t* last) {
            for (const std::size_t* it = first; it != last; ++it) consider(chosen, *it, w.dot(catalog_.stars[*it].unit));
        });
        return chosen;
    }

    const Catalog& catalog_;
    mutable const StarGrid* grid_;
    mutable std::optional<StarGrid> own_grid_;
    double tolerance_;
    double cos_tolerance_;
    double sin_tolerance_;
    const SkyIndex* index_;  // the catalog's, or own_index_
    SkyIndex own_index_;
    double bound_chord_limit_ = GRID_BOUND_CHORD;
    std::vector<std::uint8_t> used_;
    std::vector<Correspondence> list_;
    double residual_ = 0.0;
};

// ---------------------------------------------------------------------------
// Proofs that a hypothesis cannot reach its target. Both only skip work whose outcome
// was already "not reported": a false answer means "not proven", never "reachable".

namespace reach {

// The pre-solve bound is tried when at most this many directions may miss.
constexpr std::size_t MAX_MISSES_FOR_BOUND = 2;
// Vertices closer to parallel than this (sine of half their line angle) give no bound.
constexpr double MIN_SIN_HALF_SPREAD = 1e-3;
// Relative and absolute widening of the bound for rounding in both rotations.
constexpr double ROUNDING_SLACK = 1e-9;

// Unit length to well within the bound's rounding slack (false for NaN).
bool nearly_unit(const Vec3& v) { return std::fabs(v.squaredNorm() - 1.0) < 1e-14; }

// The index pair (p, q) of the triangle's two body vectors farthest from parallel.
std::pair<std::size_t, std::size_t> least_parallel(const std::array<Vec3, 3>& body) {
    std::size_t p = 0, q = 1;
    for (const auto& [u, v] : {std::pair<std::size_t, std::size_t>{0, 2}, {1, 2}}) {
        if (std::fabs(body[u].dot(body[v])) < std::fabs(body[p].dot(body[q]))) p = u, q = v;
    }
    return {p, q};
}

// Proves, without solving for the rotation, that a hypothesis cannot reach `target`;
// used when only a few misses are allowed (the mirror test), where it spares most
// rotation solves.
//
// R~ is the rotation carrying the triangle's two least parallel body vectors b_p, b_q
// onto their stars (TRIAD). The least-squares rotation R of solve_wahba fits the three
// pairs at least as well as R~, so |R b_k - r_k| <= S with S^2 = sum_k |R~ b_k - r_k|^2,
// and R R~^T moves R~ b_k by at most d_k = S + |R~ b_k - r_k|. A rotation moving two
// directions whose lines are phi' apart by at most d_p and d_q has 2 sin(angle / 2) <=
// max(d_p, d_q) / sin(phi' / 2). Writing x = a b_p + b b_q + c n (n the unit normal of
// b_p, b_q), |R x - R~ x| <= |a| d_p + |b| d_q + |c| max(d_p, d_q) / sin(phi' / 2). A
// direction with no star within the tolerance plus that angle of R~ x has none within
// the tolerance of R x: a certain miss.
bool out_of_reach_before_solving(const StarLookup& stars, const std::array<Vec3, 3>& body,
                                 const std::array<Vec3, 3>& reference, std::span<const Vec3> cam_vecs,
                                 std::array<std::size_t, 3> triangle, std::size_t target) {
    const std::size_t n = cam_vecs.size();
    if (target <= 3 || n < target) return false;
    const std::size_t allowed_misses = n - target;
    if (allowed_misses > MAX_MISSES_FOR_BOUND) return false;

    const auto [p, q] = least_parallel(body);
    // The bound reasons about angles, so it holds for unit vectors only.
    for (std::size_t k = 0; k < 3; ++k) {
        if (!nearly_unit(body[k]) || !nearly_unit(reference[k])) return false;
    }
    const Vec3& bp = body[p];
    const Vec3& bq = body[q];
    const double g = bp.dot(bq);
    const double sin_half = std::sqrt((1.0 - std::fabs(g)) / 2.0);
    const Vec3 bn = bp.cross(bq).normalized();
    const Vec3 rn = reference[p].cross(reference[q]).normalized();
    if (!(sin_half > MIN_SIN_HALF_SPREAD) || !bn.allFinite() || !rn.allFinite()) return false;
    Mat3 body_triad, reference_triad;
    body_triad << bp, bn, bp.cross(bn);
    reference_triad << reference[p], rn, reference[p].cross(rn);
    const Mat3 rough = reference_triad * body_triad.transpose();

    std::array<double, 3> misfit{};
    double sum_sq = 0.0;
    for (std::size_t k = 0; k < 3; ++k) {
        misfit[k] = (rough * body[k] - reference[k]).norm();
        sum_sq += misfit[k] * misfit[k];
    }
    const double fit = std::sqrt(sum_sq);
    const double dp = fit + misfit[p];
    const double dq = fit + misfit[q];
    const double turn = std::max(dp, dq) / sin_half;
    const double det = 1.0 - g * g;

    const double chord_limit = stars.bound_chord_limit();
    std::size_t misses = 0;
    std::size_t unseen = n - 3;  // directions outside the triangle not yet examined
    for (std::size_t t = 0; t < n; ++t) {
        if (t == triangle[0] || t == triangle[1] || t == triangle[2]) continue;
        if (misses + unseen-- <= allowed_misses) return false;  // too few left to prove it
        const Vec3& x = cam_vecs[t];
        if (!nearly_unit(x)) continue;
        const double c = x.dot(bn);
        const Vec3 in_plane = x - c * bn;
        const double xp = in_plane.dot(bp);
        const double xq = in_plane.dot(bq);
        const double a = (xp - g * xq) / det;
        const double b = (xq - g * xp) / det;
        // Chord between R x and R~ x, widened for rounding.
        const double bound = std::fabs(a) * dp + std::fabs(b) * dq + std::fabs(c) * turn;
        const double chord = bound * (1.0 + ROUNDING_SLACK) + ROUNDING_SLACK;
        if (!(chord < chord_limit)) continue;  // too loose to prove a miss
        const double radius = stars.tolerance() + 2.0 * std::asin(chord / 2.0) + ROUNDING_SLACK;
        const bool certain_miss = !stars.has_star_within(rough * x, radius, std::cos(radius), std::sin(radius));
        if (certain_miss && ++misses > allowed_misses) return true;
    }
    return false;
}

// A cheap bound before the greedy pass: the triangle's own directions give at most 3
// correspondences, every other one needs some star (used or not) strictly within the
// tolerance of its rotated direction. False when too few directions outside the
// triangle have one for `target` to be reachable, so the greedy pass would fail too;
// on a false hypothesis this skips the triangle's queries.
bool may_reach(const StarLookup& stars, const Mat3& rotation, std::span<const Vec3> cam_vecs,
               std::array<std::size_t, 3> triangle, std::size_t target) {
    const std::size_t n = cam_vecs.size();
    if (target <= 3) return true;
    const std::size_t needed = target - 3;
    if (n < 3 + needed) return false;
    const std::size_t allowed_misses = n - 3 - needed;
    std::size_t hits = 0, misses = 0;
    for (std::size_t t = 0; t < n; ++t) {
        if (t == triangle[0] || t == triangle[1] || t == triangle[2]) continue;
        if (stars.has_star_near(rotation * cam_vecs[t])) {
            if (++hits == needed) return true;
        } else if (++misses > allowed_misses) {
            return false;
        }
    }
    return false;
}

}  // namespace reach

// ---------------------------------------------------------------------------
// The hypotheses of one whole search, listed before any is verified (so that a
// search too large is refused before it starts) and kept so that a later search
// replays them instead of searching the pair index again. The mirror test relies on
// this: negating x preserves every dot product bit for bit, so the mirrored
// triangles have the same sides and hence the same hypotheses.
class HypothesisLog {
public:
    // Star indices of hypotheses come from the 16-bit pair index.
    using Triple = std::array<std::uint16_t, 3>;

    // Whether a whole search is held, ready to replay.
    bool complete() const { return complete_; }

    // Appends the next triangle's hypotheses. The search's own limit (16,000,000 / n for
    // n >= 3 directions) keeps the log under 5,333,334 entries of 6 bytes.
    void append(const std::vector<StarTriple>& hypotheses) {
        for (const StarTriple& h : hypotheses) {
            triples_.push_back({static_cast<std::uint16_t>(h[0]), static_cast<std::uint16_t>(h[1]),
                                static_cast<std::uint16_t>(h[2])});
        }
        ends_.push_back(triples_.size());
    }
    // Gives up on an incomplete log.
    void drop() {
        triples_ = {};
        ends_ = {};
    }
    void finish() { complete_ = true; }

    // The hypotheses of triangle number `triangle` in search order.
    std::span<const Triple> triangle(std::size_t triangle) const {
        const std::size_t first = triangle == 0 ? 0 : ends_[triangle - 1];
        return std::span<const Triple>(triples_).subspan(first, ends_[triangle] - first);
    }

private:
    bool complete_ = false;
    std::vector<Triple> triples_;    // hypotheses of all triangles, in search order
    std::vector<std::size_t> ends_;  // end of each triangle's hypotheses in triples_
};

// ---------------------------------------------------------------------------
// The triangle search with verification, shared by the identification and the mirror
// test: the star lookup, the grouped pair runs and the hypothesis log, all reused.
class PatternSearch {
public:
    // `grid` may be null: the lookup then builds one if it ever needs it.
    PatternSearch(const Catalog& catalog, const StarGrid* grid, double tolerance)
        : catalog_(catalog), stars_(catalog, grid, tolerance) {}

    double cos_tolerance() const { return stars_.cos_tolerance(); }

    // Lists every triangle's hypotheses (or replays the list of an earlier search on
    // directions with the same dot products), then calls visit(list, residual_sum)
    // for every verified rotation of every triangle
    // hypothesis, triangles i < j < k < min(triangle_stars, n) in lexicographic order,
    // that reaches target() correspondences; target() is asked afresh before each
    // hypothesis, so it may rise as visits change the caller's state. Verification
    // stops early once the target is out of reach (the partial list is then not
    // reported). visit returns false to end the search. A hypothesis proven unable to
    // reach the target is dropped before its rotation is solved or before the greedy
    // pass (namespace reach). False when the search was refused: more hypotheses
    // than hypothesis_limit, none verified.
    template <class Target, class Visit>
    bool search(std::span<const Vec3> cam_vecs, std::size_t triangle_stars, Target&& target, Visit&& visit) {
        if (!log_.complete() && !enumerate(cam_vecs, triangle_stars)) return false;
        const std::size_t n_tri = std::min(triangle_stars, cam_vecs.size());
        std::size_t triangle = 0;
        for (std::size_t i = 0; i < n_tri; ++i) {
            for (std::size_t j = i + 1; j < n_tri; ++j) {
                for (std::size_t k = j + 1; k < n_tri; ++k, ++triangle) {
                    if (!verify_all(log_.triangle(triangle), cam_vecs, {i, j, k}, target, visit)) return true;
                }
            }
        }
        return true;
    }

    // The number of hypotheses a search may verify: search_work_limit() / n for n
    // directions, since each verification looks up to n of them.
    static std::size_t hypothesis_limit(std::size_t n) { return MAX_SEARCH_WORK / std::max<std::size_t>(n, 1); }
    // Hypotheses times directions one search may verify: about 2 s of work on one
    // core of the machine the figures in the manual were measured on.
    static constexpr std::size_t MAX_SEARCH_WORK = 16'000'000;

private:
    // Lists the hypotheses of every triangle into the log, in search order; false
    // (and nothing kept) when they outnumber hypothesis_limit.
    bool enumerate(std::span<const Vec3> cam_vecs, std::size_t triangle_stars) {
        const std::size_t n_tri = std::min(triangle_stars, cam_vecs.size());
        const std::size_t limit = hypothesis_limit(cam_vecs.size());
        if (n_tri >= 3) triangles_.prepare(cam_vecs, n_tri, catalog_.pairs, stars_.tolerance(), catalog_.stars.size());
        std::size_t listed = 0;
        for (std::size_t i = 0; i < n_tri; ++i) {
            for (std::size_t j = i + 1; j < n_tri; ++j) {
                for (std::size_t k = j + 1; k < n_tri; ++k) {
                    triangles_.run_prepared({i, j, k}, hypotheses_);
                    listed += hypotheses_.size();
                    if (listed > limit) {
                        log_.drop();
                        return false;
                    }
                    log_.append(hypotheses_);
                }
            }
        }
        log_.finish();
        return true;
    }

    // Verifies the hypotheses of one triangle; false when visit ended the search.
    template <class Hypotheses, class Target, class Visit>
    bool verify_all(const Hypotheses& hypotheses, std::span<const Vec3> cam_vecs, std::array<std::size_t, 3> tri,
                    Target& target_of_search, Visit& visit) {
        const std::array<Vec3, 3> body{cam_vecs[tri[0]], cam_vecs[tri[1]], cam_vecs[tri[2]]};
        for (const auto& h : hypotheses) {
            const std::size_t target = target_of_search();
            const std::array<Vec3, 3> reference{catalog_.stars[h[0]].unit, catalog_.stars[h[1]].unit,
                                                catalog_.stars[h[2]].unit};
            if (reach::out_of_reach_before_solving(stars_, body, reference, cam_vecs, tri, target)) continue;
            const Result<Mat3> rotation = solve_wahba(body, reference);
            if (!rotation.ok()) continue;
            if (!reach::may_reach(stars_, *rotation, cam_vecs, tri, target)) continue;
            if (!stars_.verify(*rotation, cam_vecs, target)) continue;
            if (!visit(stars_.list(), stars_.residual())) return false;
        }
        return true;
    }

    const Catalog& catalog_;
    StarLookup stars_;
    TriangleSearch triangles_;
    std::vector<StarTriple> hypotheses_;
    HypothesisLog log_;
};

// Binomial upper tail P(X >= k0) for X ~ B(b, p).
double binomial_tail(std::size_t b, std::size_t k0, double p) {
    double total = 0.0;
    for (std::size_t k = k0; k <= b; ++k) {
        double choose = 1.0;
        for (std::size_t r = 0; r < k; ++r) choose *= static_cast<double>(b - r) / static_cast<double>(k - r);
        total += choose * int_pow(p, k) * int_pow(1.0 - p, b - k);
    }
    return total;
}

// The probability that chance alone puts m of n directions within the tolerance (cosine
// c) of one of K catalog stars: the stars' tolerance caps cover a fraction p of the sky,
// and this is the binomial tail of m - 3 hits among the n - 3 directions outside a
// triangle (1 below a triangle, 0 for m > n).
double chance_tail(std::size_t m, std::size_t n, std::size_t n_stars, double c) {
    if (n < 3 || m < 3) return 1.0;
    if (m > n) return 0.0;
    const double p = std::clamp(static_cast<double>(n_stars) * (1.0 - c) / 2.0, 0.0, 1.0);
    return binomial_tail(n - 3, m - 3, p);
}

// Whether chance alone plausibly explains m of n directions landing within the
// tolerance (cosine c) of one of K catalog stars: the tolerance caps of all stars
// cover a fraction p of the sky, and the binomial tail of m - 3 hits among the n - 3
// directions outside a triangle is above 1 %.
bool explained_by_chance(std::size_t m, std::size_t n, std::size_t n_stars, double c) {
    return n >= 3 && m >= 3 && chance_tail(m, n, n_stars, c) > MAX_CHANCE_PROBABILITY;
}

// Whether chance explains every identification the directions allow, so that no
// search can end in anything but "no match". The tail's last term p^(n - 3) is
// evaluated alone for m = n; for any m <= n it is one of the non-negative terms of a
// sum computed in rounding-to-nearest, which never falls below a term it adds, so
// when m = n is explained by chance so is every m.
bool chance_explains_all(std::size_t n, std::size_t n_stars, double c) {
    return explained_by_chance(n, n, n_stars, c);
}

// Whether an identification of m correspondences passes the chance and mirror
// tests. `patterns` works on the same catalog, grid and tolerance.
bool passes_confidence_checks(std::size_t m, std::span<const Vec3> cam_vecs, const Catalog& catalog,
                              double tolerance, std::size_t triangle_stars, PatternSearch& patterns) {
    if (m < MIN_CORRESPONDENCES) return false;
    const std::size_t n = cam_vecs.size();
    const double c = std::cos(tolerance);

    if (explained_by_chance(m, n, catalog.stars.size(), c)) return false;

    // Mirror: the reflected detections must not match the sky as well.
    if (triangle_stars == 0) return true;
    std::vector<Vec3> mirrored(cam_vecs.begin(), cam_vecs.end());
    for (Vec3& v : mirrored) v.x() = -v.x();
    bool mirror_matches = false;
    const bool searched = patterns.search(mirrored, triangle_stars, [m] { return m; }, [&](const std::vector<Correspondence>&, double) {
        mirror_matches = true;
        return false;
    });
    // A mirror search too large to run (only outside match_stars, whose own search
    // lists the same hypotheses first) proves nothing either way.
    return searched && !mirror_matches;
}

// The refusal of a search with more hypotheses than it may verify.
Error search_too_wide(std::size_t n) {
    return Error(NoMatch{"the search is too wide: more than " + std::to_string(PatternSearch::hypothesis_limit(n)) +
                         " triangle hypotheses for " + std::to_string(n) +
                         " directions; lower sigma_arcmin or max_centroids"});
}

}  // namespace

bool same_identification(std::span<const Correspondence> lead, std::span<const Correspondence> other,
                         const Catalog& catalog, double cos_tolerance) {
    auto it = other.begin();
    for (const Correspondence& c : lead) {
        while (it != other.end() && it->cam < c.cam) ++it;
        if (it == other.end() || it->cam != c.cam) return false;
        if (it->star != c.star &&
            !(catalog.stars[c.star].unit.dot(catalog.stars[it->star].unit) > cos_tolerance)) {
            return false;
        }
    }
    return true;
}

double chance_probability(std::size_t m, std::size_t n, std::size_t catalog_size, double tolerance) {
    return chance_tail(m, n, catalog_size, std::cos(tolerance));
}

Status confidence_checks(std::size_t m, std::span<const Vec3> cam_vecs, const Catalog& catalog, const StarGrid& grid,
                         double tolerance, std::size_t triangle_stars) {
    PatternSearch patterns(catalog, &grid, tolerance);
    if (!passes_confidence_checks(m, cam_vecs, catalog, tolerance, triangle_stars, patterns)) {
        return Error(NoMatch{});
    }
    return Ok{};
}

Result<MatchResult> match_stars(std::span<const Vec3> cam_vecs, const Catalog& catalog, std::size_t triangle_stars,
                                double tolerance) {
    const std::size_t n = cam_vecs.size();
    if (n < MIN_CORRESPONDENCES) return Error(InsufficientStars{MIN_CORRESPONDENCES, n});
    if (triangle_stars == 0) return Error(NoMatch{});

    // Too wide a tolerance for the catalog: every outcome would fail the chance test.
    if (chance_explains_all(n, catalog.stars.size(), std::cos(tolerance))) return Error(NoMatch{});

    PatternSearch patterns(catalog, nullptr, tolerance);
    const double cos_tolerance = patterns.cos_tolerance();
    CandidateTally tally;
    // Candidates below tally.least_telling_count() change nothing, so verification
    // only has to find out whether a hypothesis reaches it.
    auto target = [&] { return std::max(MIN_CORRESPONDENCES, tally.least_telling_count()); };
    const bool searched = patterns.search(
        cam_vecs, triangle_stars, target, [&](const std::vector<Correspondence>& list, double residual_sum) {
            tally.offer(list, residual_sum, [&](std::span<const Correspondence> best, std::span<const Correspondence> other) {
                return same_identification(best, other, catalog, cos_tolerance);
            });
            return true;
        });
    if (!searched) return search_too_wide(n);

    if (tally.tie()) {
        if (!passes_confidence_checks(tally.tie()->list_a.size(), cam_vecs, catalog, tolerance, triangle_stars,
                                      patterns)) {
            return Error(NoMatch{});
        }
        MatchTie tie = tally.take_tie();
        return Error(MatchAmbiguous{std::move(tie.list_a), std::move(tie.list_b), tie.residual_a, tie.residual_b});
    }
    if (!tally.has_best()) return Error(NoMatch{});
    if (!passes_confidence_checks(tally.best().size(), cam_vecs, catalog, tolerance, triangle_stars, patterns)) {
        return Error(NoMatch{});
    }
    const std::size_t margin = tally.margin();
    return MatchResult{tally.take_best(), margin};
}

}  // namespace stelvane
