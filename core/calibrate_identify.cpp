// Identification under an uncertain radial scale. A camera triangle's sides scale
// (nearly) together with the focal length, so a catalog triangle is a hypothesis when
// its sides equal the camera's times one common factor within the scale tolerance;
// the factor is then refined on the triangle through the lens itself, and the
// rotation verified against every detection at that scale.
#include "core/calibrate_identify.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

#include "core/attitude.hpp"
#include "core/units.hpp"

namespace stelvane {

namespace {

// The sides of a camera triangle do not scale exactly alike (a pinhole's angles grow
// slower than its radii): each side may differ from the common factor by this fraction
// of the scale change.
constexpr double kUnevenScaling = 0.2;
// Secant steps that fit the focal to a triangle's three catalog sides.
constexpr int kFocalSteps = 3;

// The angle scales (sky over camera) a side may show when the focal is within the scale
// tolerance: f0 / f from 1 / (1 + tolerance) to 1 / (1 - tolerance), widened by the sides'
// uneven scaling.
struct ScaleRange {
    double low;
    double high;

    explicit ScaleRange(double tolerance)
        : low((1.0 - kUnevenScaling * tolerance) / (1.0 + tolerance)),
          high((1.0 + kUnevenScaling * tolerance) / std::max(1.0 - tolerance, 1e-9)) {}
};

// A camera triangle: its vertices (detection indices) and sides a-b, a-c, b-c.
struct Triangle {
    std::array<std::size_t, 3> at;
    std::array<double, 3> side;
};

// The sides of the triangle a-b, a-c, b-c of three directions.
std::array<double, 3> sides_of(const Vec3& a, const Vec3& b, const Vec3& c) {
    return {angle_between(a, b), angle_between(a, c), angle_between(b, c)};
}

// The focal at which the triangle's pixels have the catalog sides `sky` (least squares on
// one common factor, a few secant steps through the lens), with the sides it then has.
double fit_focal(const Camera& guess, std::span<const Pixel> detections, const Triangle& t,
                 const std::array<double, 3>& sky, double focal, std::array<double, 3>& sides) {
    Camera camera = guess;
    for (int step = 0; step < kFocalSteps; ++step) {
        camera.focal_px = focal;
        std::array<Vec3, 3> v;
        for (int k = 0; k < 3; ++k) v[k] = camera.pixel_to_vec(detections[t.at[k]].x, detections[t.at[k]].y);
        sides = sides_of(v[0], v[1], v[2]);
        double num = 0.0, den = 0.0;
        for (int k = 0; k < 3; ++k) {
            num += sky[k] * sides[k];
            den += sides[k] * sides[k];
        }
        if (!(den > 0.0)) return focal;
        focal /= num / den;
    }
    camera.focal_px = focal;
    std::array<Vec3, 3> v;
    for (int k = 0; k < 3; ++k) v[k] = camera.pixel_to_vec(detections[t.at[k]].x, detections[t.at[k]].y);
    sides = sides_of(v[0], v[1], v[2]);
    return focal;
}

// The pairs of catalog stars whose separation may match a camera side of angle `theta`
// at some scale within the tolerance, among the `limit` brightest stars.
std::vector<Pair> side_band(const Catalog& catalog, double theta, const UncertainScaleSettings& s,
                            std::size_t limit) {
    const ScaleRange range(s.scale_tolerance);
    const double widest = std::min(range.high * theta + s.tolerance_rad, units::PI);
    const double narrowest = std::max(range.low * theta - s.tolerance_rad, 0.0);
    const std::span<const Pair> run = catalog.pairs_in_range(std::cos(widest), std::cos(narrowest));
    std::vector<Pair> out;
    out.reserve(limit >= catalog.stars.size() ? run.size() : run.size() / 8);
    for (const Pair& p : run) {
        if (p.i < limit && p.j < limit) out.push_back(p);
    }
    return out;
}

// Whether two identifications agree on every detection they share and share at least
// half of the smaller one.
bool agree(std::span<const Correspondence> a, std::span<const Correspondence> b) {
    std::size_t shared = 0;
    auto it = b.begin();
    for (const Correspondence& c : a) {
        while (it != b.end() && it->cam < c.cam) ++it;
        if (it == b.end()) break;
        if (it->cam != c.cam) continue;
        if (it->star != c.star) return false;
        ++shared;
    }
    return 2 * shared >= std::min(a.size(), b.size());
}

bool better(const ScaledMatch& a, const ScaledMatch& b) {
    if (a.correspondences.size() != b.correspondences.size()) {
        return a.correspondences.size() > b.correspondences.size();
    }
    return a.residual_sum_rad < b.residual_sum_rad;
}

// The distinct candidates found so far, best first, at most `capacity`.
class CandidateList {
public:
    explicit CandidateList(std::size_t capacity) : capacity_(capacity) {}

    // Correspondences a new candidate must reach to be kept.
    std::size_t bar(std::size_t floor) const {
        if (list_.size() < capacity_) return floor;
        return std::max(floor, list_.back().correspondences.size());
    }

    void offer(ScaledMatch&& m) {
        for (auto it = list_.begin(); it != list_.end(); ++it) {
            if (!agree(it->correspondences, m.correspondences)) continue;
            if (better(m, *it)) {
                list_.erase(it);
                insert(std::move(m));
            }
            return;
        }
        insert(std::move(m));
        if (list_.size() > capacity_) list_.pop_back();
    }

    std::vector<ScaledMatch> take() { return std::move(list_); }

private:
    void insert(ScaledMatch&& m) {
        auto at = std::find_if(list_.begin(), list_.end(), [&](const ScaledMatch& x) { return better(m, x); });
        list_.insert(at, std::move(m));
    }

    std::size_t capacity_;
    std::vector<ScaledMatch> list_;
};

// Everything one identification run shares: the detections' directions at the current
// trial focal, the scratch flags and the candidates.
class ScaleSearch {
public:
    ScaleSearch(std::span<const Pixel> detections, const Camera& guess, const Catalog& catalog,
                const StarGrid& grid, const UncertainScaleSettings& settings)
        : detections_(detections), guess_(guess), catalog_(catalog), grid_(grid), settings_(settings),
          used_(catalog.stars.size(), 0), candidates_(std::max<std::size_t>(settings.max_candidates, 1)) {}

    // Tests the catalog triangle (sa, sb, sc) for the camera triangle t.
    void test(const Triangle& t, std::size_t sa, std::size_t sb, std::size_t sc, double angle_scale) {
        const std::array<Vec3, 3> u{catalog_.stars[sa].unit, catalog_.stars[sb].unit, catalog_.stars[sc].unit};
        const std::array<double, 3> sky = sides_of(u[0], u[1], u[2]);
        std::array<double, 3> sides{};
        const double focal = fit_focal(guess_, detections_, t, sky, guess_.focal_px / angle_scale, sides);
        if (!(std::fabs(focal / guess_.focal_px - 1.0) <= settings_.scale_tolerance)) return;
        for (int k = 0; k < 3; ++k) {
            if (!(std::fabs(sides[k] - sky[k]) <= settings_.tolerance_rad)) return;
        }
        Camera camera = guess_;
        camera.focal_px = focal;
        directions_.clear();
        for (const Pixel& p : detections_) directions_.push_back(camera.pixel_to_vec(p.x, p.y));
        const std::array<Vec3, 3> body{directions_[t.at[0]], directions_[t.at[1]], directions_[t.at[2]]};
        const Result<Mat3> rotation = solve_wahba(body, u);
        if (!rotation) return;
        if (!may_reach(*rotation)) return;
        double residual = 0.0;
        std::vector<Correspondence> list =
            verify_rotation(directions_, *rotation, catalog_, grid_, settings_.tolerance_rad, used_, residual);
        if (list.size() < candidates_.bar(settings_.min_matches)) return;
        candidates_.offer(ScaledMatch{std::move(list), focal, *rotation, residual});
    }

    std::vector<ScaledMatch> take() { return candidates_.take(); }

private:
    // A cheap count of detections with any star near them, to drop a false rotation before
    // the greedy pass: false when the kept candidates' bar is out of reach.
    bool may_reach(const Mat3& rotation) {
        const std::size_t bar = candidates_.bar(settings_.min_matches);
        const double cos_tol = std::cos(settings_.tolerance_rad);
        std::size_t hits = 0;
        for (std::size_t i = 0; i < directions_.size(); ++i) {
            if (hits + (directions_.size() - i) < bar) return false;
            const Vec3 w = rotation * directions_[i];
            grid_.query(w, settings_.tolerance_rad, scratch_);
            for (std::size_t s : scratch_) {
                if (w.dot(catalog_.stars[s].unit) > cos_tol) {
                    ++hits;
                    break;
                }
            }
        }
        return hits >= bar;
    }

    std::span<const Pixel> detections_;
    const Camera& guess_;
    const Catalog& catalog_;
    const StarGrid& grid_;
    const UncertainScaleSettings& settings_;
    std::vector<std::uint8_t> used_;
    std::vector<Vec3> directions_;
    std::vector<std::size_t> scratch_;
    CandidateList candidates_;
};

// The catalog triangles of camera triangle t whose sides agree with the camera's times
// one common factor: a-b pairs from their band, c from b's partners in the b-c band, the
// a-c side checked by its dot product.
template <class Test>
void scaled_hypotheses(const Catalog& catalog, const Triangle& t, std::span<const Pair> ab, const PairGroups& bc,
                       const UncertainScaleSettings& s, Test&& test) {
    const ScaleRange range(s.scale_tolerance);
    for (const Pair& p : ab) {
        const double scale = std::acos(std::clamp(static_cast<double>(p.cos_theta), -1.0, 1.0)) / t.side[0];
        if (!(scale >= range.low && scale <= range.high)) continue;
        const double change = std::fabs(scale - 1.0);
        // Cosine bounds of the a-c and b-c sides at this scale.
        auto bounds = [&](double side) {
            const double reach = s.tolerance_rad + 2.0 * kUnevenScaling * change * side;
            const double target = scale * side;
            return std::pair<double, double>{std::cos(std::min(target + reach, units::PI)),
                                             std::cos(std::max(target - reach, 0.0))};
        };
        const auto [ac_lo, ac_hi] = bounds(t.side[1]);
        const auto [bc_lo, bc_hi] = bounds(t.side[2]);
        for (const auto& [sa, sb] : {std::pair<std::uint16_t, std::uint16_t>{p.i, p.j}, {p.j, p.i}}) {
            const Vec3& ua = catalog.stars[sa].unit;
            const Vec3& ub = catalog.stars[sb].unit;
            for (std::uint16_t sc : bc.group(sb)) {
                if (sc == sa) continue;
                const Vec3& uc = catalog.stars[sc].unit;
                const double dbc = ub.dot(uc);
                if (dbc < bc_lo || dbc > bc_hi) continue;
                const double dac = ua.dot(uc);
                if (dac < ac_lo || dac > ac_hi) continue;
                test(t, sa, sb, sc, scale);
            }
        }
    }
}

}  // namespace

std::vector<Correspondence> verify_rotation(std::span<const Vec3> directions, const Mat3& rotation,
                                            const Catalog& catalog, const StarGrid& grid, double tolerance_rad,
                                            std::vector<std::uint8_t>& used, double& residual_sum_rad) {
    const double cos_tol = std::cos(tolerance_rad);
    std::vector<Correspondence> list;
    std::vector<std::size_t> near;
    residual_sum_rad = 0.0;
    for (std::size_t t = 0; t < directions.size(); ++t) {
        const Vec3 w = rotation * directions[t];
        grid.query(w, tolerance_rad, near);
        std::size_t chosen = catalog.stars.size();
        double best = cos_tol;
        for (std::size_t s : near) {
            if (used[s]) continue;
            const double d = w.dot(catalog.stars[s].unit);
            if (d > best || (d == best && chosen != catalog.stars.size() && s < chosen)) {
                best = d;
                chosen = s;
            }
        }
        if (chosen == catalog.stars.size()) continue;
        used[chosen] = 1;
        list.push_back({t, chosen});
        residual_sum_rad += std::acos(std::clamp(best, -1.0, 1.0));
    }
    for (const Correspondence& c : list) used[c.star] = 0;
    return list;
}

std::vector<ScaledMatch> identify_uncertain_scale(std::span<const Pixel> detections, const Camera& guess,
                                                  const Catalog& catalog, const StarGrid& grid,
                                                  const UncertainScaleSettings& settings) {
    const std::size_t n = detections.size();
    const std::size_t n_tri = std::min(settings.triangle_stars, n);
    if (n < settings.min_matches || n_tri < 3) return {};
    const std::size_t limit = settings.bright_stars == 0 ? catalog.stars.size()
                                                         : std::min(settings.bright_stars, catalog.stars.size());
    std::vector<Vec3> at_guess;
    at_guess.reserve(n_tri);
    for (std::size_t i = 0; i < n_tri; ++i) at_guess.push_back(guess.pixel_to_vec(detections[i].x, detections[i].y));

    // Each side's band once: the a-b runs as lists, the b-c runs grouped by first star.
    std::vector<std::vector<Pair>> bands(n_tri * n_tri);
    std::vector<PairGroups> groups(n_tri * n_tri);
    for (std::size_t a = 0; a < n_tri; ++a) {
        for (std::size_t b = a + 1; b < n_tri; ++b) {
            bands[a * n_tri + b] = side_band(catalog, angle_between(at_guess[a], at_guess[b]), settings, limit);
            groups[a * n_tri + b].build(bands[a * n_tri + b]);
        }
    }

    ScaleSearch search(detections, guess, catalog, grid, settings);
    auto test = [&](const Triangle& t, std::size_t sa, std::size_t sb, std::size_t sc, double scale) {
        search.test(t, sa, sb, sc, scale);
    };
    for (std::size_t i = 0; i < n_tri; ++i) {
        for (std::size_t j = i + 1; j < n_tri; ++j) {
            for (std::size_t k = j + 1; k < n_tri; ++k) {
                const Triangle t{{i, j, k}, sides_of(at_guess[i], at_guess[j], at_guess[k])};
                if (!(t.side[0] > 0.0)) continue;
                scaled_hypotheses(catalog, t, bands[i * n_tri + j], groups[j * n_tri + k], settings, test);
            }
        }
    }
    return search.take();
}

}  // namespace stelvane
