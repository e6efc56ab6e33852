// The single-image fix, the covariance ellipse of a fix and great-circle distance.
#include "core/fix.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/attitude.hpp"
#include "core/calibrate_scale.hpp"
#include "core/ephemeris.hpp"
#include "core/frame.hpp"
#include "core/identify.hpp"
#include "core/matcher.hpp"
#include "core/nonstars.hpp"
#include "core/refraction.hpp"
#include "core/robust.hpp"
#include "core/sighting.hpp"
#include "core/solve.hpp"
#include "core/timescale.hpp"
#include "core/units.hpp"

namespace stelvane {

double great_circle_nm(double lat1_deg, double lon1_deg, double lat2_deg, double lon2_deg) {
    const double lat1 = lat1_deg * units::DEG, lat2 = lat2_deg * units::DEG;
    const double lon1 = lon1_deg * units::DEG, lon2 = lon2_deg * units::DEG;
    const double s_lat = std::sin((lat2 - lat1) / 2.0);
    const double s_lon = std::sin((lon2 - lon1) / 2.0);
    const double a = s_lat * s_lat + std::cos(lat1) * std::cos(lat2) * s_lon * s_lon;
    // Rounding can push a past 1 by an ulp for antipodal points; std::min keeps NaN.
    const double d = 2.0 * std::asin(std::sqrt(std::min(a, 1.0)));
    return d * units::RAD_TO_DEG * units::ARCMIN_PER_DEG;
}

EllipseNm ellipse_2sigma_from_covariance(double var_north, double var_east, double cov_ne) {
    const double m = (var_north + var_east) * 0.5;
    const double q = std::sqrt(cov_ne * cov_ne + 0.25 * (var_north - var_east) * (var_north - var_east));
    return {
        2.0 * std::sqrt(std::max(m + q, 0.0)) * units::NM_PER_RAD,
        2.0 * std::sqrt(std::max(m - q, 0.0)) * units::NM_PER_RAD,
        0.5 * std::atan2(2.0 * cov_ne, var_north - var_east) * units::RAD_TO_DEG,
    };
}

std::optional<EllipseNm> azimuth_ellipse_2sigma(std::span<const double> azimuths_rad, double sigma_rad) {
    const double w = 1.0 / (sigma_rad * sigma_rad);
    double nss = 0.0, ncc = 0.0, ncs = 0.0;
    for (double az : azimuths_rad) {
        const double s = std::sin(az), c = std::cos(az);
        nss += w * s * s;
        ncc += w * c * c;
        ncs += w * s * c;
    }
    const double det = ncc * nss - ncs * ncs;
    const double scale = ncc * ncc + nss * nss + 2.0 * ncs * ncs;
    if (FIX_SINGULAR_RATIO * scale > std::fabs(det) || det == 0.0) return std::nullopt;
    return ellipse_2sigma_from_covariance(nss / det, ncc / det, -ncs / det);
}

}  // namespace stelvane

// ---------------------------------------------------------------------------
// The single-image solve.

namespace stelvane {

namespace {

using namespace fix_constants;

// Longitude reduced to (-pi, pi].
double wrap_longitude(double lon) {
    double l = std::fmod(lon, units::TWO_PI);
    if (l < 0.0) l += units::TWO_PI;
    if (l > units::PI) l -= units::TWO_PI;
    return l;
}

// Altitude of a camera direction above the plane normal to the unit up vector.
double measured_altitude(const Vec3& direction, const Vec3& up) {
    return units::PI / 2.0 - std::acos(std::clamp(direction.dot(up), -1.0, 1.0));
}

// The geometric altitude of a measured one: Bennett's refraction removed.
double remove_refraction(double h) { return h - refraction_rad(h); }

// Apparent right ascension and declination of date of a J2000 direction: precession,
// then the annual-aberration offset of the date.
EquatorialPosition apparent_place(const Vec3& s, const Mat3& precession, const Vec3& aberration) {
    const Vec3 a = apparent_direction(precession * s, aberration);
    return {std::atan2(a.y(), a.x()), std::asin(std::clamp(a.z(), -1.0, 1.0))};
}

// Where a camera direction was measured: its pixel, or NaN outside the camera's field.
Pixel pixel_of(const Camera& camera, const Vec3& direction) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return camera.vec_to_pixel(direction).value_or(Pixel{nan, nan});
}

// The fit's observations seen from the fitted position: azimuth and residual of each,
// with its HR number (0 for the Sun) and pixel.
std::vector<Sight> sights_at(std::span<const Observation> observations, std::span<const std::uint32_t> hr_ids,
                             std::span<const Pixel> pixels, double gmst, double lat, double lon) {
    std::vector<Sight> sights;
    sights.reserve(observations.size());
    for (std::size_t i = 0; i < observations.size(); ++i) {
        const Observation& o = observations[i];
        sights.push_back({i < hr_ids.size() ? hr_ids[i] : 0u, pixels[i], computed_azimuth(o, gmst, lat, lon), o.alt,
                          o.sigma, o.alt - computed_altitude(o, gmst, lat, lon)});
    }
    return sights;
}

// Unit quaternion (x, y, z, w) of a rotation matrix.
std::array<double, 4> quaternion_of(const Mat3& m) {
    const double trace = m(0, 0) + m(1, 1) + m(2, 2);
    if (trace > 0.0) {
        const double s = 2.0 * std::sqrt(1.0 + trace);
        return {(m(2, 1) - m(1, 2)) / s, (m(0, 2) - m(2, 0)) / s, (m(1, 0) - m(0, 1)) / s, s / 4.0};
    }
    if (m(0, 0) > m(1, 1) && m(0, 0) > m(2, 2)) {
        const double s = 2.0 * std::sqrt(1.0 + m(0, 0) - m(1, 1) - m(2, 2));
        return {s / 4.0, (m(0, 1) + m(1, 0)) / s, (m(0, 2) + m(2, 0)) / s, (m(2, 1) - m(1, 2)) / s};
    }
    if (m(1, 1) > m(2, 2)) {
        const double s = 2.0 * std::sqrt(1.0 + m(1, 1) - m(0, 0) - m(2, 2));
        return {(m(0, 1) + m(1, 0)) / s, s / 4.0, (m(1, 2) + m(2, 1)) / s, (m(0, 2) - m(2, 0)) / s};
    }
    const double s = 2.0 * std::sqrt(1.0 + m(2, 2) - m(0, 0) - m(1, 1));
    return {(m(0, 2) + m(2, 0)) / s, (m(1, 2) + m(2, 1)) / s, s / 4.0, (m(1, 0) - m(0, 1)) / s};
}

}  // namespace

Result<Vec3> unit_up(const Vec3& up_cam) {
    const double norm = up_cam.norm();
    if (!up_cam.allFinite() || !std::isfinite(norm) || norm < UP_NORM_FLOOR) return DegenerateUp{};
    return Vec3(up_cam / norm);
}

Result<StarsAndSun> detect_stars_and_sun(const GrayImage& image, std::optional<PixelMask> mask,
                                         const SolveConfig& config) {
    StarsAndSun found;
    if (config.use_sun) {
        if (auto disc = detect_sun_masked(image, config.sun_min_area, mask)) found.sun = Pixel{disc->x, disc->y};
    }
    // Every detection: truncating first would let glare and non-stars take the slots of stars.
    auto stars = detect_centroids_masked(image, std::numeric_limits<std::size_t>::max(), mask);
    if (!stars) return std::move(stars).error();
    found.centroids = std::move(stars).value();
    // A found Sun's glare reaches as far as that of a disc of the smallest area the Sun is
    // found with; without one, a blown-out disc (the Moon, an unasked-for Sun, a lamp) is
    // cleared by its own size.
    std::optional<BlownOut> sun_disc;
    if (found.sun) sun_disc = BlownOut{*found.sun, config.sun_min_area};
    if (auto blown = drop_nonstars(image, mask, config.blown_out_min_area, sun_disc, found.centroids)) {
        found.blown_out = blown->centre;
    }
    return found;
}

std::vector<Vec3> ordered_cam_vecs(std::span<const Centroid> centroids, const Camera& camera,
                                   std::size_t max_centroids) {
    std::vector<Centroid> sorted(centroids.begin(), centroids.end());
    std::stable_sort(sorted.begin(), sorted.end(), [](const Centroid& a, const Centroid& b) {
        return total_order_key(a.flux) > total_order_key(b.flux);
    });
    sorted.resize(std::min(max_centroids, sorted.size()));
    std::vector<Vec3> vecs;
    vecs.reserve(sorted.size());
    for (const Centroid& c : sorted) vecs.push_back(camera.pixel_to_vec(c.x, c.y));
    return vecs;
}

Result<PositionFix> resolve_from_matches(std::span<const Correspondence> correspondences, std::size_t margin,
                                         std::span<const Vec3> cam_vecs, double jd, std::optional<Pixel> sun,
                                         const Camera& camera, const Vec3& up_cam, const Catalog& catalog,
                                         const SolveConfig& config) {
    std::vector<Vec3> body, reference;
    body.reserve(correspondences.size());
    reference.reserve(correspondences.size());
    for (const Correspondence& c : correspondences) {
        body.push_back(cam_vecs[c.cam]);
        reference.push_back(catalog.stars[c.star].unit_at(jd, catalog.epoch));
    }
    auto rotation = solve_wahba(body, reference);
    if (!rotation) return std::move(rotation).error();
    const Mat3& r = *rotation;
    const double gmst = gmst_rad(jd);
    const Mat3 p = precession_matrix(jd);
    const Vec3 aberration = aberration_offset(jd);

    // The zenith in the sky of date gives the starting position.
    const Vec3 up = up_cam / up_cam.norm();
    const Vec3 zenith = p * (r * up);
    const double lat0 = std::asin(std::clamp(zenith.z(), -1.0, 1.0));
    const double lon0 = wrap_longitude(std::atan2(zenith.y(), zenith.x()) - gmst);

    PositionFix fix;
    std::vector<Observation> observations;
    std::vector<Pixel> pixels;
    observations.reserve(correspondences.size() + 1);
    pixels.reserve(correspondences.size() + 1);
    for (std::size_t k = 0; k < correspondences.size(); ++k) {
        const double h = measured_altitude(body[k], up);
        if (config.min_altitude_rad > h) continue;  // a NaN altitude stays and makes the fit singular
        const EquatorialPosition place = apparent_place(reference[k], p, aberration);
        observations.push_back({place.ra_rad, place.dec_rad, remove_refraction(h), config.sigma_rad});
        pixels.push_back(pixel_of(camera, body[k]));
        fix.matched_hr_ids.push_back(catalog.stars[correspondences[k].star].hr);
    }
    if (sun) {
        const double h = measured_altitude(camera.pixel_to_vec(sun->x, sun->y), up);
        if (h >= config.min_altitude_rad) {
            const EquatorialPosition s = sun_apparent(jd);
            observations.push_back({s.ra_rad, s.dec_rad, remove_refraction(h), config.sun_sigma_rad});
            pixels.push_back(*sun);
            fix.used_sun = true;
        }
    }
    if (observations.size() < 3) return InsufficientStars{3, observations.size()};

    auto fit = refine_fix(observations, gmst, lat0, lon0);
    if (!fit) return std::move(fit).error();
    fix.sights = sights_at(observations, fix.matched_hr_ids, pixels, gmst, fit->lat_rad, fit->lon_rad);
    double sum_sq = 0.0;
    for (const Sight& sight : fix.sights) sum_sq += sight.residual_rad * sight.residual_rad;
    fix.residual_rms_rad = std::sqrt(sum_sq / static_cast<double>(observations.size()));
    if (auto reason = failed_health_gate(config, fix.matched_hr_ids.size(), fix.residual_rms_rad)) {
        return ThinLock{*reason, fix.matched_hr_ids.size(), margin, fix.residual_rms_rad};
    }

    const auto& c = fit->covariance;
    fix.covariance = {{{c[0][0], c[0][1]}, {c[1][0], c[1][1]}}};
    fix.ellipse_2sigma_nm = ellipse_2sigma_from_covariance(c[0][0], c[1][1], c[0][1]);
    fix.latitude_deg = fit->lat_rad * units::RAD_TO_DEG;
    fix.longitude_deg = wrap_longitude(fit->lon_rad) * units::RAD_TO_DEG;
    fix.n_iterations = fit->n_iterations;
    fix.match_margin = margin;
    fix.attitude = quaternion_of(r);
    fix.up_unit = {up.x(), up.y(), up.z()};
    fix.jd = jd;
    fix.arcmin_per_pixel = camera.arcmin_per_pixel();
    const PlateScale scale = plate_scale_ratio(camera, body, reference, r, p, aberration, up);
    fix.plate_scale_ratio = scale.ratio;
    fix.plate_scale_ratio_sigma = scale.sigma;
    return fix;
}

Result<PositionFix> resolve_fix_from_centroids(std::span<const Centroid> centroids, std::optional<Pixel> sun,
                                               const Camera& camera, const Vec3& up_cam, double jd,
                                               const Catalog& catalog, const SolveConfig& config,
                                               std::optional<Pixel> blown_out) {
    if (auto up = unit_up(up_cam); !up) return std::move(up).error();
    const std::vector<Vec3> cam_vecs = ordered_cam_vecs(centroids, camera, config.max_centroids);
    if (cam_vecs.size() < 4) return InsufficientStars{4, cam_vecs.size()};
    auto match = identify_stars(cam_vecs, catalog, config.triangle_stars, config.match_tolerance_rad);
    if (!match) return std::move(match).error();
    // Every detection, beyond max_centroids too, may show a body; which one does not depend on
    // their order, so they are not sorted again.
    std::vector<Vec3> all_detections;
    all_detections.reserve(centroids.size());
    for (const Centroid& c : centroids) all_detections.push_back(camera.pixel_to_vec(c.x, c.y));
    std::optional<Vec3> blown_out_dir;
    if (blown_out) blown_out_dir = camera.pixel_to_vec(blown_out->x, blown_out->y);
    return resolve_clear_of_bodies(*match, cam_vecs, all_detections, blown_out_dir, jd, sun, camera, up_cam, catalog,
                                   config);
}

// ---------------------------------------------------------------------------
// Tie-breaking with a remembered position.

Status FixHistory::set_last_known_position(double lat_deg, double lon_deg, double jd) {
    if (!std::isfinite(lat_deg) || std::fabs(lat_deg) > 90.0) {
        return BadPosition{"latitude " + format_number(lat_deg) + " out of range [-90, 90]"};
    }
    if (!std::isfinite(lon_deg) || std::fabs(lon_deg) > 180.0) {
        return BadPosition{"longitude " + format_number(lon_deg) + " out of range [-180, 180]"};
    }
    if (!std::isfinite(jd)) return BadPosition{"timestamp jd " + format_number(jd) + " is not finite"};
    reference_ = FixReference{lat_deg, lon_deg, jd};
    return Ok{};
}

std::optional<ThinLockReason> failed_health_gate(const SolveConfig& config, std::size_t matched, double rms) {
    if (config.min_matched_stars && matched < *config.min_matched_stars) return ThinLockReason::TooFewMatched;
    // Written as "not within" so that a NaN residual never passes a configured gate.
    if (config.max_residual_rms_rad && !(rms <= *config.max_residual_rms_rad)) return ThinLockReason::ResidualTooLarge;
    return std::nullopt;
}

bool passes_health_gates(const SolveConfig& config, const PositionFix& fix) {
    return !failed_health_gate(config, fix.matched_hr_ids.size(), fix.residual_rms_rad);
}

namespace {

struct Candidate {
    PositionFix fix;
    double distance_nm;
};

// One tied identification solved with a margin of 0 and measured from the reference.
std::optional<Candidate> solve_candidate(std::span<const Correspondence> list, std::span<const Vec3> cam_vecs,
                                         double jd, std::optional<Pixel> sun, const Camera& camera,
                                         const Vec3& up_cam, const Catalog& catalog, const SolveConfig& config,
                                         const FixReference& reference) {
    auto fix = resolve_from_matches(list, 0, cam_vecs, jd, sun, camera, up_cam, catalog, config);
    if (!fix) return std::nullopt;
    const double d = great_circle_nm(reference.latitude_deg, reference.longitude_deg, fix->latitude_deg,
                                     fix->longitude_deg);
    return Candidate{std::move(fix).value(), d};
}

bool reference_is_recent(const SolveConfig& config, const FixHistory& history, double jd) {
    return config.max_reference_age_s && config.max_disambiguation_distance_nm && history.reference() &&
           std::fabs((jd - history.reference()->jd) * units::SECONDS_PER_DAY) <= *config.max_reference_age_s;
}

void record(FixHistory& history, const PositionFix& fix, double jd) {
    // A fix from the engine always lies in range; a refusal would leave the history as it was.
    (void)history.set_last_known_position(fix.latitude_deg, fix.longitude_deg, jd);
}

}  // namespace

Result<PositionFix> resolve_fix_from_centroids_tracked(std::span<const Centroid> centroids, std::optional<Pixel> sun,
                                                       const Camera& camera, const Vec3& up_cam, double jd,
                                                       const Catalog& catalog, const SolveConfig& config,
                                                       std::optional<Pixel> blown_out, FixHistory& history) {
    auto first = resolve_fix_from_centroids(centroids, sun, camera, up_cam, jd, catalog, config, blown_out);
    if (first) {
        if (passes_health_gates(config, *first)) record(history, *first, jd);
        return first;
    }
    const auto* tie = first.error().get_if<MatchAmbiguous>();
    if (tie == nullptr || !reference_is_recent(config, history, jd)) return first;

    const FixReference reference = *history.reference();
    const std::vector<Vec3> cam_vecs = ordered_cam_vecs(centroids, camera, config.max_centroids);
    auto a = solve_candidate(tie->list_a, cam_vecs, jd, sun, camera, up_cam, catalog, config, reference);
    auto b = solve_candidate(tie->list_b, cam_vecs, jd, sun, camera, up_cam, catalog, config, reference);
    // List A wins equal distances and comparisons with NaN.
    std::optional<Candidate> choice = (a && b) ? (a->distance_nm > b->distance_nm ? b : a) : (a ? a : b);
    if (!choice || !(*config.max_disambiguation_distance_nm >= choice->distance_nm)) return first;
    if (passes_health_gates(config, choice->fix)) record(history, choice->fix, jd);
    return std::move(choice->fix);
}

}  // namespace stelvane
