// The matcher's search, then the same search with the triangle pool slid past the
// brightest detections, for frames whose brightest points are no stars.
#include "core/identify.hpp"

#include <algorithm>
#include <numeric>
#include <vector>

namespace stelvane {

namespace {

// The detections reordered so that the pool skip .. skip + pool - 1 comes first, then the
// left-out brightest ones, then the rest, each group in brightness order. order[k] is the
// caller's index of reordered position k.
std::vector<std::size_t> slid_order(std::size_t n, std::size_t skip, std::size_t pool) {
    std::vector<std::size_t> order;
    order.reserve(n);
    for (std::size_t k = skip; k < skip + pool; ++k) order.push_back(k);
    for (std::size_t k = 0; k < skip; ++k) order.push_back(k);
    for (std::size_t k = skip + pool; k < n; ++k) order.push_back(k);
    return order;
}

// The match of a reordered list in the caller's camera indices, ascending.
MatchResult in_caller_indices(MatchResult match, const std::vector<std::size_t>& order) {
    for (Correspondence& c : match.correspondences) c.cam = order[c.cam];
    std::sort(match.correspondences.begin(), match.correspondences.end(),
              [](const Correspondence& a, const Correspondence& b) { return a.cam < b.cam; });
    return match;
}

}  // namespace

Result<MatchResult> identify_stars(std::span<const Vec3> cam_vecs, const Catalog& catalog, std::size_t triangle_stars,
                                   double tolerance) {
    Result<MatchResult> first = match_stars(cam_vecs, catalog, triangle_stars, tolerance);
    if (first || first.error().kind() != ErrorKind::NoMatch) return first;

    const std::size_t n = cam_vecs.size();
    std::vector<Vec3> reordered(n);
    for (const std::size_t skip : POOL_SKIPS) {
        if (skip + triangle_stars > n) break;
        const std::vector<std::size_t> order = slid_order(n, skip, triangle_stars);
        for (std::size_t k = 0; k < n; ++k) reordered[k] = cam_vecs[order[k]];
        Result<MatchResult> retry = match_stars(reordered, catalog, triangle_stars, tolerance);
        if (retry && chance_probability(retry->correspondences.size(), n, catalog.stars.size(), tolerance) <=
                         RETRY_MAX_CHANCE) {
            return in_caller_indices(std::move(retry).value(), order);
        }
    }
    return first;
}

}  // namespace stelvane
