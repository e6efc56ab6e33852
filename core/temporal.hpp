// Multi-frame verification for a static camera: between frames the sky turns
// about the celestial pole by the Earth's rotation angle, so real stars in the
// middle frame reappear rotated in every other frame while hot pixels,
// satellites and noise do not. A seeded consensus search finds the pole.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "core/catalog.hpp"
#include "core/centroid.hpp"
#include "core/error.hpp"
#include "core/fix.hpp"
#include "core/image.hpp"
#include "core/plate.hpp"
#include "core/site.hpp"
#include "core/vec.hpp"

namespace stelvane {

namespace temporal {

// Earth's sidereal rotation rate, rad/s.
inline constexpr double SIDEREAL_RATE = 7.292115855300805e-05;
inline constexpr int CONSENSUS_SAMPLES = 256;
inline constexpr std::uint64_t CONSENSUS_SEED = 0x9E3779B97F4A7C15ULL;
inline constexpr std::size_t MIN_INLIER_PAIRS = 8;
inline constexpr std::size_t MIN_CONFIRMED = 5;

// One candidate pairing of a middle-frame detection with a detection of another frame.
struct Correspondence {
    std::size_t mid;    // detection index in the middle frame
    std::size_t frame;  // index among the other frames (middle left out)
    double theta;       // sky rotation from the middle frame to that frame, radians
    Vec3 dir;           // camera-frame direction of the other frame's detection
};

struct SiderealCheck {
    std::optional<Vec3> axis;         // the fitted rotation axis (the celestial pole), camera frame
    std::vector<Centroid> centroids;  // middle-frame detections confirmed in every other frame
};

}  // namespace temporal

// Right-handed rotation of v by theta about the unit axis a (Rodrigues).
Vec3 rotate_about(const Vec3& a, double theta, const Vec3& v);

// Keeps the middle frame's detections that the sky's rotation carries onto a
// detection in every other frame. `tol` is the inlier angle in radians.
Result<temporal::SiderealCheck> verify_sidereal(std::span<const std::vector<Centroid>> detections,
                                                const Camera& camera, std::span<const double> times_jd, double tol);

// Frame checks, matched-filter detection of every frame, verification, and the
// single-image solve at the middle frame's instant.
Result<PositionFix> resolve_fix_from_frames(std::span<const GrayImage> frames, std::span<const double> times_jd,
                                            const Camera& camera, double psf_sigma_px, double tol,
                                            const Vec3& up_cam, const Catalog& catalog, const SolveConfig& config);

// Camera and configuration from the caller's lens and tuning (as a single-image solve),
// inlier tolerance 2 / focal; with no frame the extent comes from the principal point.
Result<PositionFix> resolve_from_frames_at_site(std::span<const GrayImage> frames, std::span<const double> times_jd,
                                                const LensSpec& lens, const Vec3& up_cam,
                                                const Catalog& catalog, double psf_sigma_px,
                                                std::optional<double> sigma_arcmin, const SolveOptions& options);

}  // namespace stelvane
