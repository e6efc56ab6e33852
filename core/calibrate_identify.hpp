// Star identification when the lens's radial scale is known only to within a
// tolerance: catalog triangles matched to camera triangles up to one common scale
// (side ratios), the scale then fitted to the triangle and every hypothesis
// verified against all detections at its own scale.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/catalog.hpp"
#include "core/error.hpp"
#include "core/matcher.hpp"
#include "core/plate.hpp"
#include "core/vec.hpp"

namespace stelvane {

struct UncertainScaleSettings {
    double scale_tolerance = 0.05;  // the radial scale may be off by this fraction either way
    double tolerance_rad = 0.0;     // per triangle side and per verified detection
    std::size_t triangle_stars = 6; // triangles among this many brightest detections
    std::size_t min_matches = 5;    // fewest verified detections of a candidate
    // Triangle vertices only from the catalog's `bright_stars` brightest stars (the catalog
    // is sorted brightest first); 0 uses every star. Verification always uses every star.
    std::size_t bright_stars = 0;
    std::size_t max_candidates = 3;  // distinct identifications returned
};

// One identification of the detections at a trial radial scale.
struct ScaledMatch {
    std::vector<Correspondence> correspondences;  // (detection index, star index), ascending detection
    double focal_px = 0.0;                        // the radial scale at which they verified
    Mat3 rotation = Mat3::Identity();             // camera -> catalog (sky = rotation * camera)
    double residual_sum_rad = 0.0;                // summed angular distance of the correspondences
};

// The distinct identifications of `detections` (pixels, brightest first) with at least
// min_matches verified detections, best first (more correspondences, then the smaller
// residual sum). `guess` is the lens with the nominal scale; each hypothesis changes
// only its focal_px, by at most scale_tolerance. `grid` is a StarGrid of the catalog.
// Two candidates that agree on every detection they share (and share at least half of
// the smaller) count as one, the larger kept. Empty when nothing verifies.
std::vector<ScaledMatch> identify_uncertain_scale(std::span<const Pixel> detections, const Camera& guess,
                                                  const Catalog& catalog, const StarGrid& grid,
                                                  const UncertainScaleSettings& settings);

// Greedy verification of a rotation, brightest detection first: each camera direction,
// turned by `rotation`, takes the unused catalog star nearest to it within `tolerance_rad`.
// Returns the correspondences (ascending detection) and their summed angle. `used` is a
// scratch flag per catalog star, all zero on entry and on return.
std::vector<Correspondence> verify_rotation(std::span<const Vec3> directions, const Mat3& rotation,
                                            const Catalog& catalog, const StarGrid& grid, double tolerance_rad,
                                            std::vector<std::uint8_t>& used, double& residual_sum_rad);

}  // namespace stelvane
