// Bodies against an identification: predicted camera directions from the fix, the
// correspondences a body explains dropped, the bodies the frame shows listed.
#include "core/sighting.hpp"

#include <algorithm>
#include <cmath>

#include <Eigen/Geometry>

#include "core/ephemeris.hpp"
#include "core/frame.hpp"
#include "core/refraction.hpp"
#include "core/timescale.hpp"
#include "core/units.hpp"

namespace stelvane {

namespace {

// Camera-to-catalog rotation of a fix's attitude quaternion (x, y, z, w).
Mat3 rotation_of(const std::array<double, 4>& q) {
    return Eigen::Quaterniond(q[3], q[0], q[1], q[2]).normalized().toRotationMatrix();
}

}  // namespace

std::vector<BodyInCamera> bodies_in_camera(const PositionFix& fix, double jd, double tolerance_rad) {
    const double lat = fix.latitude_deg * units::DEG, lon = fix.longitude_deg * units::DEG;
    const double lst = gmst_rad(jd) + lon;
    const Vec3 up(std::cos(lat) * std::cos(lst), std::cos(lat) * std::sin(lst), std::sin(lat));
    const Vec3 north(-std::sin(lat) * std::cos(lst), -std::sin(lat) * std::sin(lst), std::cos(lat));
    const Vec3 east(-std::sin(lst), std::cos(lst), 0.0);
    const Mat3 precession = precession_matrix(jd);
    const Vec3 aberration = aberration_offset(jd);
    // Of date to camera: back to J2000, then the inverse of camera-to-catalog.
    const Mat3 to_camera = rotation_of(fix.attitude).transpose() * precession.transpose();

    std::vector<BodyInCamera> out;
    for (const BodyPlace& place : body_places(jd, Observer{lat, lon})) {
        const Vec3 s = apparent_direction(precession * place.astrometric, aberration);
        const double alt = std::asin(std::clamp(s.dot(up), -1.0, 1.0));
        if (!(alt > 0.0)) continue;
        const double az = std::atan2(s.dot(east), s.dot(north));
        const double seen_alt = alt + refraction_rad(alt);
        const Vec3 raised = std::cos(seen_alt) * (std::sin(az) * east + std::cos(az) * north) + std::sin(seen_alt) * up;
        double reach = tolerance_rad + BODY_PLACE_MARGIN_RAD;
        if (place.body == Body::Moon) reach += place.angular_radius_rad;
        out.push_back({place.body, (to_camera * raised).normalized(), reach});
    }
    return out;
}

std::vector<Body> bodies_seen(std::span<const BodyInCamera> bodies, std::span<const Vec3> detections,
                              std::optional<Vec3> blown_out) {
    std::vector<Body> seen;
    for (const BodyInCamera& b : bodies) {
        const bool by_detection = std::any_of(detections.begin(), detections.end(), [&](const Vec3& d) {
            return angle_between(d, b.direction) <= b.reach_rad;
        });
        const bool by_disc = b.body == Body::Moon && blown_out && angle_between(*blown_out, b.direction) <= b.reach_rad;
        if (by_detection || by_disc) seen.push_back(b.body);
    }
    std::sort(seen.begin(), seen.end());
    return seen;
}

Result<PositionFix> resolve_clear_of_bodies(const MatchResult& match, std::span<const Vec3> cam_vecs,
                                            std::span<const Vec3> all_detections, std::optional<Vec3> blown_out,
                                            double jd, std::optional<Pixel> sun, const Camera& camera,
                                            const Vec3& up_cam, const Catalog& catalog, const SolveConfig& config) {
    Result<PositionFix> fix = resolve_from_matches(match.correspondences, match.margin, cam_vecs, jd, sun, camera,
                                                   up_cam, catalog, config);
    if (!fix) return fix;
    const std::vector<BodyInCamera> bodies = bodies_in_camera(*fix, jd, config.match_tolerance_rad);
    auto explained = [&](const Correspondence& c) {
        return std::any_of(bodies.begin(), bodies.end(), [&](const BodyInCamera& b) {
            return angle_between(cam_vecs[c.cam], b.direction) <= b.reach_rad;
        });
    };
    if (std::any_of(match.correspondences.begin(), match.correspondences.end(), explained)) {
        std::vector<Correspondence> stars;
        std::copy_if(match.correspondences.begin(), match.correspondences.end(), std::back_inserter(stars),
                     [&](const Correspondence& c) { return !explained(c); });
        if (stars.size() < 4) return Error(NoMatch{});
        fix = resolve_from_matches(stars, match.margin, cam_vecs, jd, sun, camera, up_cam, catalog, config);
        if (!fix) return fix;
    }
    fix->bodies_seen = bodies_seen(bodies, all_detections, blown_out);
    return fix;
}

}  // namespace stelvane
