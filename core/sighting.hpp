// The planets and the Moon checked against an identification: where the fix puts each
// body in the camera, which detections it explains (never to be taken for a star), and
// which bodies the frame shows.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "core/bodies.hpp"
#include "core/catalog.hpp"
#include "core/error.hpp"
#include "core/fix.hpp"
#include "core/units.hpp"
#include "core/matcher.hpp"
#include "core/nonstars.hpp"
#include "core/plate.hpp"
#include "core/vec.hpp"

namespace stelvane {

// Beyond the match tolerance, a body explains a detection this far from its predicted
// place: the ephemerides' worst case (Saturn, 87 arcsec) with room for the attitude's
// error. 2 arcmin in radians.
inline constexpr double BODY_PLACE_MARGIN_RAD = units::arcmin_to_rad(2.0);

// A body where a fix puts it in the camera frame.
struct BodyInCamera {
    Body body;
    Vec3 direction;     // unit, camera frame, raised by refraction like the stars
    double reach_rad;   // detections this close are the body's: tolerance + margin (+ the Moon's radius)
};

// The bodies above the horizon of the fix's place at jd, carried into the camera by the
// fix's attitude: topocentric places (body_places), precession and annual aberration of
// date, Bennett refraction, then the inverse of the camera-to-catalog rotation.
std::vector<BodyInCamera> bodies_in_camera(const PositionFix& fix, double jd, double tolerance_rad);

// The bodies of `bodies` with a detection within reach, or (the Moon) with the blown-out
// region's centre within reach; in ALL_BODIES order.
std::vector<Body> bodies_seen(std::span<const BodyInCamera> bodies, std::span<const Vec3> detections,
                              std::optional<Vec3> blown_out);

// resolve_from_matches, then the bodies checked against it: correspondences whose camera
// direction lies within a body's reach are dropped and the fix is solved again without them
// (NoMatch when fewer than 4 remain, as the identification then rested on a body), and the
// fix lists the bodies that `all_detections` (every detection, not only those matched) or
// the blown-out region show.
Result<PositionFix> resolve_clear_of_bodies(const MatchResult& match, std::span<const Vec3> cam_vecs,
                                            std::span<const Vec3> all_detections, std::optional<Vec3> blown_out,
                                            double jd, std::optional<Pixel> sun, const Camera& camera,
                                            const Vec3& up_cam, const Catalog& catalog, const SolveConfig& config);

}  // namespace stelvane
