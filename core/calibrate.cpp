// Lens calibration: per-frame identification under the guess's tolerances, growth of
// each frame's identified set as its lens improves, the joint robust fit over all
// frames, the solve matcher's check of every identification, and the refusals.
#include "core/calibrate.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/attitude.hpp"
#include "core/calibrate_fit.hpp"
#include "core/calibrate_identify.hpp"
#include "core/fix.hpp"
#include "core/matcher.hpp"
#include "core/robust.hpp"
#include "core/site.hpp"
#include "core/units.hpp"

namespace stelvane {

namespace {

using namespace calibrate_constants;

// The brightest detections offered to the scale search, and the triangles among them.
constexpr std::size_t kIdentifyDetections = 30;
constexpr std::size_t kTriangleStarsPinhole = 6;
constexpr std::size_t kTriangleStarsFisheye = 8;
// Fewest verified detections of a candidate identification.
constexpr std::size_t kMinCandidateMatches = 5;
// Triangle vertices come from enough of the brightest catalog stars that the field
// should hold this many times the triangle stars; the whole catalog is the fallback.
constexpr double kBrightStarMargin = 3.0;
constexpr std::size_t kMinBrightStars = 200;
constexpr std::size_t kWiderBrightStars = 3;  // the second try takes this many times as many
// A frame whose stars matched this many (and this share of its detections) without the
// solve's matcher confirming them suggests a lens model that does not fit.
constexpr std::size_t kUnconfirmedStars = 15;
constexpr double kUnconfirmedShare = 0.25;
// Stars a single frame needs before its distortion is fitted.
constexpr std::size_t kStarsForDistortion = 12;
// The fraction of the half field the stars must reach before k1, k2, k3, k4 are fitted.
constexpr double kDistortionReach[] = {0.25, 0.45, 0.65, 0.8};
// Rounds of fit and re-identification: one frame, then all frames.
constexpr std::size_t kGrowRounds = 16;
constexpr std::size_t kJointRounds = 8;
// An identification must take in this share of the frame's brightest detections.
constexpr std::size_t kBrightestCheck = 20;
constexpr double kBrightestShare = 0.6;
// The solve's own identification checks a frame on its brightest detections.
constexpr std::size_t kCheckStars = fix_constants::DEFAULT_MAX_CENTROIDS;
// The identification region of a fisheye never shrinks below this angle (30 deg).
constexpr double kMinFisheyeRegionRad = 0.5235987755982988;
// A polynomial standing in for a distorted pinhole covers its corners with this margin.
constexpr double kPolynomialFieldMargin = 1.15;

// One frame on its way through the calibration.
struct Frame {
    std::size_t index = 0;              // in the call
    std::vector<Centroid> detections;   // brightest first
    FrameSky sky;
    bool locked = false;                // identified and checked
    Mat3 rotation = Mat3::Identity();   // camera -> catalog axes
    std::vector<Correspondence> matches;  // (detection, star), ascending detection
    std::vector<std::uint8_t> rejected;   // per detection: an outlier, never re-identified
};

// The detections of a frame, brightest first, at most max_stars.
Result<std::vector<Centroid>> frame_detections(const CalibrationFrame& frame, const CalibrationSettings& s) {
    if (const auto* image = std::get_if<GrayImage>(&frame.source)) {
        if (image->width != s.width || image->height != s.height) {
            return BadImage{"calibration frames differ in size: " + std::to_string(image->width) + "x" +
                            std::to_string(image->height) + " against " + std::to_string(s.width) + "x" +
                            std::to_string(s.height)};
        }
        return detect_centroids_matched(*image, s.max_stars, s.psf_sigma_px);
    }
    const auto centroids = std::get<std::span<const Centroid>>(frame.source);
    std::vector<Centroid> out(centroids.begin(), centroids.end());
    std::stable_sort(out.begin(), out.end(), [](const Centroid& a, const Centroid& b) {
        return total_order_key(a.flux) > total_order_key(b.flux);
    });
    out.resize(std::min(out.size(), s.max_stars));
    return out;
}

// Solid angle of a pinhole's rectangular field, steradians.
double pinhole_solid_angle(double width, double height, double focal) {
    return 4.0 * std::asin(std::sin(std::atan(width / (2.0 * focal))) * std::sin(std::atan(height / (2.0 * focal))));
}

// What every stage of one calibration shares.
class Calibrator {
public:
    Calibrator(const Catalog& catalog, const CalibrationSettings& settings)
        : catalog_(catalog), settings_(settings), guess_(settings.guess.camera(settings.width, settings.height)) {
        const SolveConfig config = solve_config_for(guess_, settings.sigma_arcmin, SolveOptions{});
        tolerance_ = config.match_tolerance_rad;
        grid_ = StarGrid::build(catalog.stars, tolerance_);
        polynomial_ = guess_.kind != Projection::Pinhole;
        fit_distortion_ = settings.fit_distortion.value_or(polynomial_);
        const double larger = std::max(settings.width, settings.height);
        centre_tolerance_px_ = settings.centre_tolerance_px.value_or(DEFAULT_CENTRE_TOLERANCE * larger);
        half_diagonal_px_ = 0.5 * std::hypot(double(settings.width), double(settings.height));
        double_radius_rad_ = DOUBLE_STAR_PX * units::arcmin_to_rad(guess_.arcmin_per_pixel());
        double_star_.assign(catalog.stars.size(), -1);
    }

    const Camera& guess() const { return guess_; }
    bool fits_distortion() const { return fit_distortion_; }
    // The intrinsics the joint fit frees: focal and centre, and k1..k4 with the distortion.
    std::size_t intrinsics() const { return fit_distortion_ ? kLensParameterCount : 3; }

    // Identifies a frame under the guess's tolerances and grows it; the frame's lens
    // estimate on success.
    std::optional<LensModel> lock_uncertain(Frame& frame);
    // Identifies a frame with a lens already fitted to others (the solve's own matcher),
    // then grows it with that lens.
    bool lock_known(Frame& frame, const LensModel& lens);
    // Fits the lens to every locked frame, rejecting outliers and re-identifying.
    Result<LensFit> fit_jointly(std::vector<Frame>& frames, LensModel lens, std::size_t& n_rejected);
    // Whether the solve's own matcher, at this lens, identifies the frame's brightest
    // detections as the calibration did.
    bool confirmed(const Frame& frame, const Camera& camera) const;
    // Whether an identification of the frame's brightest detections agrees with its matches
    // (a tie counts when both lists do).
    bool agrees_with(const Frame& frame, const Result<MatchResult>& match) const;
    // The camera directions of the frame's brightest detections, and the matcher's
    // identification of them under `camera`.
    std::vector<Vec3> check_directions(const Frame& frame, const Camera& camera) const;
    Result<MatchResult> check_match(std::span<const Vec3> directions, const Camera& camera) const;
    // The frame whose stars matched best without the solve's matcher confirming them.
    struct Unconfirmed {
        std::size_t frame = 0;
        std::size_t stars = 0;
        double focal_px = 0.0;
    };
    const Unconfirmed& unconfirmed() const { return unconfirmed_; }
    // The polynomial that continues a fitted pinhole when distortion is fitted.
    LensModel as_polynomial(const LensModel& pinhole) const;
    // The identified stars of the frames, frame by frame, as the fit takes them.
    std::vector<FitStar> fit_stars(const std::vector<Frame>& frames) const;

private:
    std::vector<Correspondence> associate(const Frame& frame, const Camera& camera, double tolerance);
    bool grow(Frame& frame, LensModel& lens, double tolerance);
    std::size_t distortion_terms(const Frame& frame, const LensModel& lens) const;
    bool takes_in_the_brightest(const Frame& frame, const Camera& camera) const;
    bool is_double(std::size_t star);
    double centre_allowance(double region_rad) const;
    double identification_tolerance(double region_rad) const;
    std::vector<double> fisheye_regions() const;
    std::size_t bright_stars(double solid_angle, std::size_t triangle_stars) const;

    const Catalog& catalog_;
    const CalibrationSettings& settings_;
    Camera guess_;
    StarGrid grid_;
    double tolerance_ = 0.0;
    bool polynomial_ = false;
    bool fit_distortion_ = false;
    double centre_tolerance_px_ = 0.0;
    double half_diagonal_px_ = 0.0;
    double double_radius_rad_ = 0.0;
    std::vector<std::int8_t> double_star_;  // -1 not yet known
    Unconfirmed unconfirmed_;
};

bool Calibrator::is_double(std::size_t star) {
    if (double_star_[star] >= 0) return double_star_[star] != 0;
    const Star& s = catalog_.stars[star];
    const double cos_radius = std::cos(double_radius_rad_);
    std::vector<std::size_t> near;
    grid_.query(s.unit, double_radius_rad_, near);
    bool crowded = false;
    for (std::size_t other : near) {
        if (other == star) continue;
        const Star& o = catalog_.stars[other];
        crowded = crowded || (s.unit.dot(o.unit) > cos_radius && !(o.vmag > s.vmag + DOUBLE_STAR_DMAG));
    }
    double_star_[star] = crowded ? 1 : 0;
    return crowded;
}

std::vector<Correspondence> Calibrator::associate(const Frame& frame, const Camera& camera, double tolerance) {
    std::vector<Vec3> directions;
    std::vector<std::size_t> detection;
    for (std::size_t k = 0; k < frame.detections.size(); ++k) {
        if (frame.rejected[k]) continue;
        const Vec3 d = frame.sky.unrefract(camera.pixel_to_vec(frame.detections[k].x, frame.detections[k].y));
        // Near the horizon refraction is too uncertain to fit a lens with.
        if (frame.sky.up && frame.sky.altitude(d) < MIN_ALTITUDE_RAD) continue;
        directions.push_back(frame.rotation * d);
        detection.push_back(k);
    }
    std::vector<std::uint8_t> used(catalog_.stars.size(), 0);
    double residual = 0.0;
    const std::vector<Correspondence> found =
        verify_rotation(directions, Mat3::Identity(), catalog_, grid_, tolerance, used, residual);
    std::vector<Correspondence> out;
    out.reserve(found.size());
    for (const Correspondence& c : found) {
        if (!is_double(c.star)) out.push_back({detection[c.cam], c.star});
    }
    return out;
}

std::vector<FitStar> Calibrator::fit_stars(const std::vector<Frame>& frames) const {
    std::vector<FitStar> out;
    for (std::size_t f = 0; f < frames.size(); ++f) {
        for (const Correspondence& c : frames[f].matches) {
            const Centroid& d = frames[f].detections[c.cam];
            out.push_back({f, frames[f].sky.sky_direction(catalog_.stars[c.star], catalog_.epoch), d.x, d.y});
        }
    }
    return out;
}

// The distortion terms a frame's stars can tell apart: k1 once they reach a quarter of
// the polynomial's half field off axis, k2 at 0.45, k3 at 0.65, k4 at 0.8.
std::size_t Calibrator::distortion_terms(const Frame& frame, const LensModel& lens) const {
    if (!fit_distortion_ || frame.matches.size() < kStarsForDistortion) return 0;
    const Camera camera = lens.camera();
    double reach = 0.0;
    for (const Correspondence& c : frame.matches) {
        const Vec3 v = camera.pixel_to_vec(frame.detections[c.cam].x, frame.detections[c.cam].y);
        reach = std::max(reach, std::acos(std::clamp(v.z(), -1.0, 1.0)));
    }
    const double half_field = as_polynomial(lens).half_fov_rad;
    std::size_t terms = 0;
    for (const double from : kDistortionReach) terms += reach >= from * half_field ? 1 : 0;
    return terms;
}

// Fits one frame's lens and attitude and re-identifies its detections until the set
// stops changing: focal and centre from the start, the distortion's terms as the stars
// reach far enough off axis to tell them apart.
bool Calibrator::grow(Frame& frame, LensModel& lens, double tolerance) {
    FitSettings fit;
    for (std::size_t p = 0; p < 3; ++p) fit.free[p] = true;
    for (std::size_t round = 0; round < kGrowRounds; ++round) {
        const std::size_t terms = distortion_terms(frame, lens);
        bool freed = false;
        if (terms > 0 && !lens.polynomial) lens = as_polynomial(lens);
        for (std::size_t k = 0; k < terms; ++k) {
            freed = freed || !fit.free[3 + k];
            fit.free[3 + k] = true;
        }
        const std::vector<Frame> one{frame};
        const std::vector<FitStar> stars = fit_stars(one);
        const FrameSky skies[] = {frame.sky};
        const Mat3 rotations[] = {frame.rotation};
        auto fitted = fit_lens(lens, rotations, skies, stars, fit);
        if (!fitted) return false;
        lens = fitted->lens;
        frame.rotation = fitted->rotations[0];
        std::vector<Correspondence> matches = associate(frame, lens.camera(), tolerance);
        const bool same = matches == frame.matches;
        frame.matches = std::move(matches);
        if (same && !freed) break;
    }
    // A false identification grows little: a frame must bring as many stars as a whole fit needs.
    return frame.matches.size() >= MIN_STARS;
}

// Whether the frame's identification takes in most of its brightest detections (of those the
// lens puts high enough to be used): under the right lens nearly all of them are catalog
// stars, while a false identification, its lens bent to fit, collects only a few of them
// and faint detections that happen to lie near stars.
bool Calibrator::takes_in_the_brightest(const Frame& frame, const Camera& camera) const {
    std::size_t usable = 0, taken = 0;
    auto match = frame.matches.begin();
    for (std::size_t k = 0; k < std::min(kBrightestCheck, frame.detections.size()); ++k) {
        while (match != frame.matches.end() && match->cam < k) ++match;
        const bool matched = match != frame.matches.end() && match->cam == k;
        const Vec3 d = frame.sky.unrefract(camera.pixel_to_vec(frame.detections[k].x, frame.detections[k].y));
        if (!matched && (frame.rejected[k] || frame.sky.altitude(d) < MIN_ALTITUDE_RAD)) continue;
        ++usable;
        taken += matched ? 1 : 0;
    }
    return static_cast<double>(taken) >= kBrightestShare * static_cast<double>(usable);
}

std::vector<Vec3> Calibrator::check_directions(const Frame& frame, const Camera& camera) const {
    const std::size_t n = std::min(kCheckStars, frame.detections.size());
    std::vector<Vec3> directions;
    directions.reserve(n);
    for (std::size_t k = 0; k < n; ++k) directions.push_back(camera.pixel_to_vec(frame.detections[k].x, frame.detections[k].y));
    return directions;
}

Result<MatchResult> Calibrator::check_match(std::span<const Vec3> directions, const Camera& camera) const {
    const SolveConfig config = solve_config_for(camera, settings_.sigma_arcmin, SolveOptions{});
    return match_stars(directions, catalog_, config.triangle_stars, config.match_tolerance_rad);
}

bool Calibrator::confirmed(const Frame& frame, const Camera& camera) const {
    return takes_in_the_brightest(frame, camera) && agrees_with(frame, check_match(check_directions(frame, camera), camera));
}

bool Calibrator::agrees_with(const Frame& frame, const Result<MatchResult>& match) const {
    const auto agrees = [&](const std::vector<Correspondence>& list) {
        std::size_t agreed = 0;
        for (const Correspondence& c : list) {
            const auto it = std::lower_bound(frame.matches.begin(), frame.matches.end(), c.cam,
                                             [](const Correspondence& m, std::size_t cam) { return m.cam < cam; });
            if (it == frame.matches.end() || it->cam != c.cam) continue;
            if (it->star != c.star) return false;
            ++agreed;
        }
        return agreed >= kMinCandidateMatches - 1;
    };
    if (match) return agrees(match->correspondences);
    // A tie between two lists that both agree with the calibration is no rival.
    const auto* tie = match.error().get_if<MatchAmbiguous>();
    return tie != nullptr && agrees(tie->list_a) && agrees(tie->list_b);
}

double Calibrator::centre_allowance(double region) const {
    const double d = centre_tolerance_px_ / guess_.focal_px;
    if (guess_.kind == Projection::Pinhole) {
        // A shifted centre bends a pinhole's field by about (d / f) (r / f)^2 once the
        // attitude has absorbed the shift; r is taken at 0.7 of the region's reach.
        const double r = 0.7 * std::tan(region);
        return d * r * r;
    }
    // On a fisheye the same shift leaves |sin t / t - cos t| d / f at angle t.
    return std::fabs(std::sin(region) / region - std::cos(region)) * d;
}

double Calibrator::identification_tolerance(double region) const {
    // Beyond twice the tolerance the outer stars are left to the growth rather than widen
    // the search.
    return std::min(tolerance_ + centre_allowance(region), 2.0 * tolerance_);
}

// Angles from the boresight within which a fisheye is identified: the widest whose
// centre allowance stays within the tolerance (at least 30 deg), then the whole field.
std::vector<double> Calibrator::fisheye_regions() const {
    double region = kMinFisheyeRegionRad;
    const double step = 0.5 * units::DEG;
    while (region + step < guess_.half_fov_rad && centre_allowance(region + step) <= tolerance_) region += step;
    if (region + step >= guess_.half_fov_rad) return {guess_.half_fov_rad};
    return {region, guess_.half_fov_rad};
}

std::size_t Calibrator::bright_stars(double solid_angle, std::size_t triangle_stars) const {
    const double fraction = solid_angle / (4.0 * units::PI);
    const double wanted = kBrightStarMargin * static_cast<double>(triangle_stars) / std::max(fraction, 1e-9);
    if (!(wanted < static_cast<double>(catalog_.stars.size()))) return 0;
    return std::max<std::size_t>(static_cast<std::size_t>(wanted), kMinBrightStars);
}

std::optional<LensModel> Calibrator::lock_uncertain(Frame& frame) {
    const bool fisheye = guess_.kind != Projection::Pinhole;
    const double corner = std::atan(half_diagonal_px_ / guess_.focal_px);
    const std::vector<double> regions = fisheye ? fisheye_regions() : std::vector<double>{corner, 0.5 * corner};
    const std::size_t triangle_stars = fisheye ? kTriangleStarsFisheye : kTriangleStarsPinhole;
    for (const double region : regions) {
        std::vector<std::size_t> chosen;
        std::vector<Pixel> pixels;
        for (std::size_t k = 0; k < frame.detections.size() && chosen.size() < kIdentifyDetections; ++k) {
            const Vec3 v = guess_.pixel_to_vec(frame.detections[k].x, frame.detections[k].y);
            if (std::acos(std::clamp(v.z(), -1.0, 1.0)) > region) continue;
            chosen.push_back(k);
            pixels.push_back({frame.detections[k].x, frame.detections[k].y});
        }
        if (chosen.size() < kMinCandidateMatches) continue;
        UncertainScaleSettings search;
        search.scale_tolerance = settings_.scale_tolerance;
        search.tolerance_rad = identification_tolerance(region);
        search.triangle_stars = triangle_stars;
        search.min_matches = kMinCandidateMatches;
        const double solid_angle = fisheye ? units::TWO_PI * (1.0 - std::cos(region))
                                           : pinhole_solid_angle(settings_.width, settings_.height, guess_.focal_px);
        const std::size_t bright = bright_stars(solid_angle, triangle_stars);
        // The brightest stars first (fast), more of them when they give no candidate. A
        // candidate that fails later would fail the same way from more stars.
        const std::size_t more = bright == 0 || kWiderBrightStars * bright >= catalog_.stars.size()
                                     ? 0
                                     : kWiderBrightStars * bright;
        const std::vector<std::size_t> limits =
            bright == 0 ? std::vector<std::size_t>{0} : std::vector<std::size_t>{bright, more};
        for (const std::size_t limit : limits) {
            search.bright_stars = limit;
            const std::vector<ScaledMatch> candidates =
                identify_uncertain_scale(pixels, guess_, catalog_, grid_, search);
            if (candidates.empty()) continue;
            for (const ScaledMatch& candidate : candidates) {
                LensModel lens = LensModel::of(guess_);
                lens[LensParameter::FocalPx] = candidate.focal_px;
                frame.rotation = candidate.rotation;
                frame.matches.clear();
                for (const Correspondence& c : candidate.correspondences) frame.matches.push_back({chosen[c.cam], c.star});
                if (!grow(frame, lens, search.tolerance_rad)) continue;
                if (confirmed(frame, lens.camera())) {
                    frame.locked = true;
                    return lens;
                }
                const bool substantial =
                    frame.matches.size() >= kUnconfirmedStars &&
                    static_cast<double>(frame.matches.size()) >= kUnconfirmedShare * static_cast<double>(frame.detections.size());
                if (substantial && frame.matches.size() > unconfirmed_.stars) {
                    unconfirmed_ = {frame.index, frame.matches.size(), lens[LensParameter::FocalPx]};
                }
            }
            break;
        }
    }
    frame.matches.clear();
    return std::nullopt;
}

bool Calibrator::lock_known(Frame& frame, const LensModel& lens) {
    const Camera camera = lens.camera();
    const std::vector<Vec3> directions = check_directions(frame, camera);
    const Result<MatchResult> match = check_match(directions, camera);
    if (!match) return false;
    std::vector<Vec3> body, reference;
    for (const Correspondence& c : match->correspondences) {
        body.push_back(frame.sky.unrefract(directions[c.cam]));
        reference.push_back(frame.sky.sky_direction(catalog_.stars[c.star], catalog_.epoch));
    }
    auto rotation = solve_wahba(body, reference);
    if (!rotation) return false;
    frame.rotation = *rotation;
    frame.matches = associate(frame, camera, tolerance_);
    // The check's identification is the one just made: confirmed() without searching again.
    frame.locked = frame.matches.size() >= MIN_STARS && takes_in_the_brightest(frame, camera) && agrees_with(frame, match);
    if (!frame.locked) frame.matches.clear();
    return frame.locked;
}

LensModel Calibrator::as_polynomial(const LensModel& pinhole) const {
    if (pinhole.polynomial) return pinhole;
    const double f = pinhole[LensParameter::FocalPx];
    const double half_fov = std::min(kPolynomialFieldMargin * std::atan(half_diagonal_px_ / f), 0.5 * units::PI);
    return polynomial_pinhole(f, pinhole[LensParameter::Cx], pinhole[LensParameter::Cy], half_fov);
}

Result<LensFit> Calibrator::fit_jointly(std::vector<Frame>& frames, LensModel lens, std::size_t& n_rejected) {
    FitSettings fit;
    for (std::size_t p = 0; p < intrinsics(); ++p) fit.free[p] = true;
    std::vector<FrameSky> skies;
    std::vector<Mat3> rotations;
    for (const Frame& f : frames) {
        skies.push_back(f.sky);
        rotations.push_back(f.rotation);
    }
    for (std::size_t round = 0; round < kJointRounds; ++round) {
        const std::vector<FitStar> stars = fit_stars(frames);
        auto fitted = fit_lens(lens, rotations, skies, stars, fit);
        if (!fitted) return std::move(fitted).error();
        lens = fitted->lens;
        rotations = fitted->rotations;
        // Reject the outliers of this fit, for good.
        const double bound = std::max(OUTLIER_SIGMAS * robust_sigma_px(fitted->residuals), MIN_OUTLIER_PX);
        bool changed = false;
        std::size_t i = 0;
        for (Frame& f : frames) {
            for (const Correspondence& c : f.matches) {
                const Pixel& r = fitted->residuals[i++];
                if (!(std::hypot(r.x, r.y) <= bound)) {
                    f.rejected[c.cam] = 1;
                    ++n_rejected;
                    changed = true;
                }
            }
        }
        const Camera camera = lens.camera();
        for (std::size_t k = 0; k < frames.size(); ++k) {
            if (!frames[k].locked) continue;
            frames[k].rotation = rotations[k];
            std::vector<Correspondence> matches = associate(frames[k], camera, tolerance_);
            changed = changed || matches != frames[k].matches;
            frames[k].matches = std::move(matches);
        }
        if (!changed) break;
    }
    fit.robust = false;
    auto final_fit = fit_lens(lens, rotations, skies, fit_stars(frames), fit);
    if (final_fit) {
        for (std::size_t k = 0; k < frames.size(); ++k) frames[k].rotation = final_fit->rotations[k];
    }
    return final_fit;
}

// The stars of the locked frames with their residuals under `camera`: the fitted
// rotations, or (for the first guess) each frame's attitude solved anew for that camera.
std::vector<CalibratedStar> star_residuals(const std::vector<Frame>& frames, const Catalog& catalog,
                                           const Camera& camera, bool refit_attitude) {
    std::vector<CalibratedStar> out;
    for (const Frame& f : frames) {
        if (!f.locked) continue;
        Mat3 rotation = f.rotation;
        std::vector<Vec3> sky;
        for (const Correspondence& c : f.matches) sky.push_back(f.sky.sky_direction(catalog.stars[c.star], catalog.epoch));
        if (refit_attitude) {
            std::vector<Vec3> body;
            for (const Correspondence& c : f.matches) {
                body.push_back(f.sky.unrefract(camera.pixel_to_vec(f.detections[c.cam].x, f.detections[c.cam].y)));
            }
            if (auto r = solve_wahba(body, sky)) rotation = *r;
        }
        for (std::size_t i = 0; i < f.matches.size(); ++i) {
            const Centroid& d = f.detections[f.matches[i].cam];
            const auto p = predict_pixel(camera, rotation, f.sky, sky[i]);
            const double nan = std::numeric_limits<double>::quiet_NaN();
            out.push_back({f.index, catalog.stars[f.matches[i].star].hr, d.x, d.y, p ? d.x - p->x : nan,
                           p ? d.y - p->y : nan});
        }
    }
    return out;
}

// The fitted lens in the form the solves accept (the focal rule of a calibrated fisheye
// needs some non-zero k).
LensSpec solve_lens(const LensModel& model, const Camera& guess) {
    LensSpec lens;
    lens.focal_px = model[LensParameter::FocalPx];
    lens.cx = model[LensParameter::Cx];
    lens.cy = model[LensParameter::Cy];
    if (!model.polynomial) return lens;
    lens.fisheye_fov_deg = 2.0 * (guess.kind == Projection::Pinhole ? model.half_fov_rad : guess.half_fov_rad) *
                           units::RAD_TO_DEG;
    lens.k1 = model[LensParameter::K1];
    lens.k2 = model[LensParameter::K2];
    lens.k3 = model[LensParameter::K3];
    lens.k4 = model[LensParameter::K4];
    if (lens.k1 == 0.0 && lens.k2 == 0.0 && lens.k3 == 0.0 && lens.k4 == 0.0) {
        lens.k4 = LensCalibration::EQUIDISTANT_MARKER_K4;
    }
    return lens;
}

// The 90th-percentile distance of the stars from the fitted centre, pixels.
double coverage_radius_px(const std::vector<CalibratedStar>& stars, double cx, double cy) {
    std::vector<double> r;
    for (const CalibratedStar& s : stars) r.push_back(std::hypot(s.x - cx, s.y - cy));
    if (r.empty()) return 0.0;
    const std::size_t k = std::min(r.size() - 1, static_cast<std::size_t>(0.9 * static_cast<double>(r.size())));
    std::nth_element(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(k), r.end());
    return r[k];
}

std::string fixed1(double v) { return format_fixed(v, 1); }

}  // namespace

Result<LensCalibration> calibrate_lens(std::span<const CalibrationFrame> calls, const Catalog& catalog,
                                       const CalibrationSettings& settings) {
    // A vertical with no direction is refused as a solve refuses it, before any frame is read.
    for (const CalibrationFrame& call : calls) {
        if (!call.up_cam) continue;
        if (auto up = unit_up(*call.up_cam); !up) return std::move(up).error();
    }
    std::vector<Frame> frames;
    frames.reserve(calls.size());
    for (std::size_t i = 0; i < calls.size(); ++i) {
        auto detections = frame_detections(calls[i], settings);
        if (!detections) return std::move(detections).error();
        Frame f;
        f.index = i;
        f.detections = std::move(detections).value();
        f.rejected.assign(f.detections.size(), 0);
        f.sky = FrameSky::at(calls[i].jd, calls[i].up_cam);
        frames.push_back(std::move(f));
    }

    Calibrator calibrator(catalog, settings);
    // The first frames are identified under the guess's tolerances; once one is, the
    // others are tried with its lens first.
    std::optional<LensModel> lens;
    std::size_t best_count = 0;
    for (Frame& f : frames) {
        if (lens && calibrator.lock_known(f, *lens)) continue;
        if (auto found = calibrator.lock_uncertain(f)) {
            if (f.matches.size() > best_count) {
                best_count = f.matches.size();
                lens = *found;
            }
        }
    }
    const std::size_t n_locked =
        static_cast<std::size_t>(std::count_if(frames.begin(), frames.end(), [](const Frame& f) { return f.locked; }));
    if (!lens || n_locked == 0) {
        std::string detail = "none of " + std::to_string(frames.size()) + " frames identified with the focal within " +
                             format_number(100.0 * settings.scale_tolerance) + " % of " +
                             format_fixed(calibrator.guess().focal_px, 1) + " px";
        if (const auto& u = calibrator.unconfirmed(); u.stars > 0) {
            detail += "; frame " + std::to_string(u.frame) + " matched " + std::to_string(u.stars) +
                      " stars at focal " + format_fixed(u.focal_px, 1) +
                      " px, but the solve's matcher does not confirm them with that lens (does the lens model "
                      "fit? a distorted pinhole needs fit_distortion=True)";
        }
        return CalibrationRefused{CalibrationRefusal::NoIdentification, detail};
    }

    LensModel start = calibrator.fits_distortion() ? calibrator.as_polynomial(*lens) : *lens;
    std::size_t n_rejected = 0;
    Result<LensFit> fit = calibrator.fit_jointly(frames, start, n_rejected);
    // Every frame must still be identified the solve's way at the fitted lens.
    if (fit) {
        std::size_t dropped = 0;
        for (Frame& f : frames) {
            if (f.locked && !calibrator.confirmed(f, fit->lens.camera())) {
                f.locked = false;
                f.matches.clear();
                ++dropped;
            }
        }
        if (dropped == n_locked) {
            // No identification holds at the lens fitted to them all: a model that does not fit.
            const std::string detail = "rms " + format_fixed(fit->rms_px, 3) + " px, and no frame's identification "
                                       "holds at the fitted lens (a distorted pinhole needs fit_distortion=True)";
            if (fit->rms_px > settings.max_residual_rms_px) {
                return CalibrationRefused{CalibrationRefusal::ResidualsTooLarge, detail};
            }
            return CalibrationRefused{CalibrationRefusal::NoIdentification, detail};
        }
        if (dropped > 0) fit = calibrator.fit_jointly(frames, fit->lens, n_rejected);
    }

    std::size_t n_stars = 0, n_frames = 0;
    for (const Frame& f : frames) {
        n_stars += f.matches.size();
        n_frames += f.locked ? 1 : 0;
    }
    const std::size_t needed = std::max(MIN_STARS, calibrator.intrinsics() + 3 * n_frames);
    if (n_stars < needed || (!fit && fit.error().kind() == ErrorKind::InsufficientStars)) {
        return CalibrationRefused{CalibrationRefusal::TooFewStars,
                                  std::to_string(n_stars) + " stars in " + std::to_string(n_frames) + " frame" +
                                      (n_frames == 1 ? "" : "s") + ", " + std::to_string(needed) + " needed"};
    }
    if (!fit) {
        return CalibrationRefused{CalibrationRefusal::StarsNearCentre,
                                  "the stars do not determine every lens parameter (" + fit.error().message() + ")"};
    }

    LensCalibration out;
    out.lens = solve_lens(fit->lens, calibrator.guess());
    out.parameters = fit->free;
    const auto np = static_cast<Eigen::Index>(fit->free.size());
    out.covariance.resize(static_cast<std::size_t>(np * np));
    for (Eigen::Index r = 0; r < np; ++r) {
        for (Eigen::Index c = 0; c < np; ++c) out.covariance[static_cast<std::size_t>(r * np + c)] = fit->covariance(r, c);
    }
    out.residual_rms_px = fit->rms_px;
    out.stars = star_residuals(frames, catalog, fit->lens.camera(), false);
    out.initial = star_residuals(frames, catalog, calibrator.guess(), true);
    out.frame_stars.assign(frames.size(), 0);
    for (const Frame& f : frames) out.frame_stars[f.index] = f.locked ? f.matches.size() : 0;
    out.n_rejected = n_rejected;
    out.width = settings.width;
    out.height = settings.height;

    // A fisheye's reach is its lens circle, a pinhole's the frame's half-diagonal.
    const double reach = calibrator.guess().kind != Projection::Pinhole
                             ? 0.5 * std::min(settings.width, settings.height)
                             : 0.5 * std::hypot(double(settings.width), double(settings.height));
    const double wanted = (calibrator.fits_distortion() ? MIN_COVERAGE_DISTORTION : MIN_COVERAGE_SCALE) * reach;
    const double covered = coverage_radius_px(out.stars, out.lens.cx, out.lens.cy);
    if (covered < wanted) {
        return CalibrationRefused{CalibrationRefusal::StarsNearCentre,
                                  "90 % of the stars lie within " + fixed1(covered) + " px of the centre, " +
                                      fixed1(wanted) + " px needed"};
    }
    if (!(out.residual_rms_px <= settings.max_residual_rms_px)) {
        return CalibrationRefused{CalibrationRefusal::ResidualsTooLarge,
                                  "rms " + format_fixed(out.residual_rms_px, 3) + " px over " +
                                      std::to_string(n_stars) + " stars, at most " +
                                      format_number(settings.max_residual_rms_px) + " px allowed"};
    }
    return out;
}

}  // namespace stelvane
