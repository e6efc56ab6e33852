// Sidereal-rotation verification across a burst of frames.
#include "core/temporal.hpp"

#include <cmath>
#include <cstdio>
#include <limits>

#include <Eigen/Geometry>

#include "core/random.hpp"
#include "core/units.hpp"

namespace stelvane {

using namespace temporal;

namespace {

// "1.235e-4": three decimals, exponent without plus sign or leading zeros.
std::string scientific3(double v) {
    if (!std::isfinite(v)) return format_number(v);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3e", v);
    std::string s(buf);
    const std::size_t e = s.find('e');
    std::string mantissa = s.substr(0, e);
    int exponent = std::atoi(s.c_str() + e + 1);
    return mantissa + "e" + std::to_string(exponent);
}

std::string spacing_detail(double theta_min, double tol) {
    return "frames too closely spaced for temporal verification at this tolerance: smallest inter-frame rotation "
           "|theta| = " + scientific3(theta_min) + " rad is only " + format_fixed(theta_min / tol, 2) +
           "x the inlier tolerance " + scientific3(tol) + " rad (need >= " + format_fixed(1.5, 1) + "x)";
}

// Distinct (middle detection, other frame) pairs that the rotation about `axis` carries within tol.
class InlierTable {
public:
    InlierTable(std::size_t n_mid, std::size_t n_other) : n_other_(n_other), flags_(n_mid * n_other, 0) {}

    std::size_t mark(std::span<const temporal::Correspondence> candidates, std::span<const Vec3> mid_dirs,
                     const Vec3& axis, double cos_tol) {
        std::size_t count = 0;
        for (const auto& c : candidates) {
            if (rotate_about(axis, c.theta, mid_dirs[c.mid]).dot(c.dir) >= cos_tol) {
                auto& flag = flags_[c.mid * n_other_ + c.frame];
                count += flag == 0 ? 1 : 0;
                flag = 1;
            }
        }
        return count;
    }
    bool confirmed_everywhere(std::size_t mid) const {
        for (std::size_t j = 0; j < n_other_; ++j) {
            if (flags_[mid * n_other_ + j] == 0) return false;
        }
        return true;
    }

private:
    std::size_t n_other_;
    std::vector<std::uint8_t> flags_;
};

}  // namespace

Vec3 rotate_about(const Vec3& a, double theta, const Vec3& v) {
    const double c = std::cos(theta), s = std::sin(theta);
    return v * c + a.cross(v) * s + a * (a.dot(v) * (1.0 - c));
}

Result<SiderealCheck> verify_sidereal(std::span<const std::vector<Centroid>> detections, const Camera& camera,
                                      std::span<const double> times_jd, double tol) {
    const std::size_t n = detections.size();
    if (n != times_jd.size()) {
        return BadImage{"detections has " + std::to_string(n) + " frames but times_jd has " +
                        std::to_string(times_jd.size())};
    }
    if (n < 3 || n % 2 == 0) return BadImage{"need an odd number of frames >= 3, got " + std::to_string(n)};
    for (std::size_t i = 0; i + 1 < n; ++i) {
        if (!(times_jd[i] < times_jd[i + 1])) return BadImage{"times_jd must be strictly increasing"};
    }
    const std::size_t m = n / 2;
    std::vector<Vec3> mid_dirs;
    mid_dirs.reserve(detections[m].size());
    for (const Centroid& c : detections[m]) mid_dirs.push_back(camera.pixel_to_vec(c.x, c.y));

    // The other frames in ascending order with the middle one left out.
    std::vector<std::size_t> others;
    std::vector<double> thetas;
    double theta_min = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < n; ++i) {
        if (i == m) continue;
        const double theta = (times_jd[i] - times_jd[m]) * units::SECONDS_PER_DAY * (-SIDEREAL_RATE);
        others.push_back(i);
        thetas.push_back(theta);
        if (std::fabs(theta) < theta_min) theta_min = std::fabs(theta);  // NaN is passed over
    }
    if (theta_min < 1.5 * tol) return BadImage{spacing_detail(theta_min, tol)};
    if (mid_dirs.empty()) return InsufficientStars{MIN_INLIER_PAIRS, 0};

    std::vector<temporal::Correspondence> candidates;
    for (std::size_t j = 0; j < others.size(); ++j) {
        const double window = std::cos(3.0 * tol + std::fabs(thetas[j]));
        std::vector<Vec3> dirs;
        dirs.reserve(detections[others[j]].size());
        for (const Centroid& c : detections[others[j]]) dirs.push_back(camera.pixel_to_vec(c.x, c.y));
        for (std::size_t k = 0; k < mid_dirs.size(); ++k) {
            for (const Vec3& d : dirs) {
                if (mid_dirs[k].dot(d) >= window) candidates.push_back({k, j, thetas[j], d});
            }
        }
    }
    const std::size_t n_cand = candidates.size();
    if (n_cand <= 1) return InsufficientStars{MIN_INLIER_PAIRS, 0};

    const double cos_tol = std::cos(tol);
    Xorshift64Star rng(CONSENSUS_SEED);
    std::optional<Vec3> best_axis;
    std::size_t best_score = 0;
    for (int sample = 0; sample < CONSENSUS_SAMPLES; ++sample) {
        const std::size_t p = rng.next() % n_cand;
        std::size_t q = rng.next() % n_cand;
        if (q == p) q = (p + 1 == n_cand) ? 0 : p + 1;
        const auto& cp = candidates[p];
        const auto& cq = candidates[q];
        const Vec3 i_disp = cp.dir - mid_dirs[cp.mid];
        const Vec3 h_disp = cq.dir - mid_dirs[cq.mid];
        const Vec3 x = i_disp.cross(h_disp);
        if (x.norm() < 0.001 * i_disp.norm() * h_disp.norm()) continue;  // nearly parallel: degenerate
        Vec3 axis = x / x.norm();
        const double plus = rotate_about(axis, cp.theta, mid_dirs[cp.mid]).dot(cp.dir);
        const double minus = rotate_about(-axis, cp.theta, mid_dirs[cp.mid]).dot(cp.dir);
        if (!(plus >= minus)) axis = -axis;
        InlierTable table(mid_dirs.size(), others.size());
        const std::size_t score = table.mark(candidates, mid_dirs, axis, cos_tol);
        if (score > best_score) {
            best_score = score;
            best_axis = axis;
        }
    }
    if (!best_axis || best_score < MIN_INLIER_PAIRS) return InsufficientStars{MIN_INLIER_PAIRS, best_score};

    InlierTable confirmed(mid_dirs.size(), others.size());
    confirmed.mark(candidates, mid_dirs, *best_axis, cos_tol);
    SiderealCheck check;
    check.axis = best_axis;
    for (std::size_t k = 0; k < mid_dirs.size(); ++k) {
        if (confirmed.confirmed_everywhere(k)) check.centroids.push_back(detections[m][k]);
    }
    if (check.centroids.size() < MIN_CONFIRMED) return InsufficientStars{MIN_CONFIRMED, check.centroids.size()};
    return check;
}

Result<PositionFix> resolve_fix_from_frames(std::span<const GrayImage> frames, std::span<const double> times_jd,
                                            const Camera& camera, double psf_sigma_px, double tol,
                                            const Vec3& up_cam, const Catalog& catalog, const SolveConfig& config) {
    for (std::size_t i = 1; i < frames.size(); ++i) {
        if (frames[i].width != frames[0].width || frames[i].height != frames[0].height) {
            return BadImage{"frame " + std::to_string(i) + " is " + std::to_string(frames[i].width) + "x" +
                            std::to_string(frames[i].height) + " but frame 0 is " + std::to_string(frames[0].width) +
                            "x" + std::to_string(frames[0].height) + "; all frames must share one size"};
        }
    }
    // Four candidates per centroid the solve keeps; a huge limit saturates instead of wrapping to 0.
    const std::size_t limit = std::numeric_limits<std::size_t>::max();
    const std::size_t max_count = config.max_centroids > limit / 4 ? limit : 4 * config.max_centroids;
    std::vector<std::vector<Centroid>> detections;
    detections.reserve(frames.size());
    for (const GrayImage& frame : frames) {
        auto found = detect_centroids_matched(frame, max_count, psf_sigma_px);
        if (!found) return std::move(found).error();
        detections.push_back(std::move(found).value());
    }
    auto check = verify_sidereal(detections, camera, times_jd, tol);
    if (!check) return std::move(check).error();
    // A burst is solved from its stars alone: no Sun, and no blown-out region is looked for.
    return resolve_fix_from_centroids(check->centroids, std::nullopt, camera, up_cam, times_jd[frames.size() / 2],
                                      catalog, config, std::nullopt);
}

Result<PositionFix> resolve_from_frames_at_site(std::span<const GrayImage> frames, std::span<const double> times_jd,
                                                const LensSpec& lens, const Vec3& up_cam,
                                                const Catalog& catalog, double psf_sigma_px,
                                                std::optional<double> sigma_arcmin, const SolveOptions& options) {
    if (options.use_sun) return BadImage{"use_sun requires the single-image resolve_fix path"};
    const Camera camera = frames.empty() ? camera_from_principal_point(lens)
                                         : lens.camera(saturate_u32(frames[0].width), saturate_u32(frames[0].height));
    const SolveConfig config = solve_config_for(camera, sigma_arcmin, options);
    const double tol = 2.0 / camera.focal_px;
    return resolve_fix_from_frames(frames, times_jd, camera, psf_sigma_px, tol, up_cam, catalog, config);
}

}  // namespace stelvane
