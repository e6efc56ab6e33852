// Star identification that survives bright non-stars: the matcher's own search over
// the brightest detections first and, only when that finds no match, the same search
// again with the pool of triangle stars slid past the brightest detections, where
// planets, the Moon, aircraft and flares sit.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "core/catalog.hpp"
#include "core/error.hpp"
#include "core/matcher.hpp"
#include "core/vec.hpp"

namespace stelvane {

// How many of the brightest detections each retry leaves out of the triangle pool.
inline constexpr std::array<std::size_t, 2> POOL_SKIPS{2, 4};
// A retry looks again where the first search found nothing, so its identification must be
// far less likely by chance than the first search's 1 %: one in a million (chance_probability).
inline constexpr double RETRY_MAX_CHANCE = 1e-6;

// match_stars(cam_vecs, catalog, triangle_stars, tolerance); when it fails with NoMatch,
// match_stars again with the two brightest detections left out of the triangle pool (the
// pool is detections 2 .. triangle_stars + 1), then with the four brightest left out (4 ..
// triangle_stars + 3). A retry is made only while the slid pool still fits among the
// detections, so a list no longer than the pool is never retried. Every retry verifies
// all the detections (the left-out ones last), passes the matcher's own chance and mirror
// tests for its pool, and must moreover have a chance probability of at most
// RETRY_MAX_CHANCE; the first retry that identifies the stars so wins. A retry's
// ambiguity or no-match leaves the first search's NoMatch as the answer, and any other
// first error is returned at once. So the result differs from match_stars' only where
// match_stars finds no match, and a hopeless list costs at most 1 + POOL_SKIPS.size() searches.
// Correspondences refer to the caller's camera indices, ascending.
Result<MatchResult> identify_stars(std::span<const Vec3> cam_vecs, const Catalog& catalog, std::size_t triangle_stars,
                                   double tolerance);

}  // namespace stelvane
