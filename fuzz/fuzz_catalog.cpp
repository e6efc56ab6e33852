// Coverage-guided fuzzing of the catalog loader: arbitrary pairs of byte images
// through Catalog::from_bytes, then every lookup the matcher makes on a catalog
// that loaded, and a short solve against it. Input: a little-endian u16 giving the
// catalog image's length, the catalog image, then the pair image.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/catalog.hpp"
#include "core/matcher.hpp"
#include "core/site.hpp"

using namespace stelvane;

namespace {

// A broken invariant is a finding: stop with a crash the fuzzer records.
void require(bool condition) {
    if (!condition) __builtin_trap();
}

void exercise(const Catalog& catalog, std::span<const std::uint8_t> tail) {
    // Separation lookups: every run found is in order and within its bounds.
    for (const auto& [lo, hi] : {std::pair{-1.0, 1.0}, std::pair{0.5, 0.99}, std::pair{0.9, 0.1},
                                 std::pair{std::nan(""), 1.0}}) {
        const std::span<const Pair> run = catalog.pairs_in_range(lo, hi);
        for (const Pair& p : run) {
            require(static_cast<double>(p.cos_theta) >= lo && static_cast<double>(p.cos_theta) <= hi);
            require(p.i < catalog.stars.size() && p.j < catalog.stars.size());
        }
    }
    const std::uint32_t hr_a = catalog.stars.empty() ? 0 : catalog.stars.front().hr;
    const std::uint32_t hr_b = catalog.stars.empty() ? 0 : catalog.stars.back().hr;
    (void)catalog.has_pair(hr_a, hr_b, 10.0, 5.0);
    (void)catalog.has_pair(hr_a, hr_b, std::nan(""), 1.0);

    // Star directions at a date: finite inputs never make the loader's values unsafe to use.
    const std::size_t shown = std::min<std::size_t>(catalog.stars.size(), 64);
    for (std::size_t s = 0; s < shown; ++s) (void)catalog.stars[s].unit_at(2461000.5, catalog.epoch);

    // The matcher's sky grid over whatever positions the file holds.
    const StarGrid grid = StarGrid::build(catalog.stars, 0.01);
    std::vector<std::size_t> found;
    for (const Vec3& d : {Vec3(0, 0, 1), Vec3(1, 0, 0), Vec3(0, -1, 0), Vec3(std::nan(""), 0, 1)}) {
        grid.query(d, 0.05, found);
        for (std::size_t s : found) require(s < catalog.stars.size());
    }

    // A solve against the loaded catalog from centroids taken from the input's tail.
    std::vector<Centroid> centroids;
    for (std::size_t k = 0; k + 2 <= tail.size() && centroids.size() < 8; k += 2) {
        centroids.push_back({static_cast<double>(tail[k]) * 4.0, static_cast<double>(tail[k + 1]) * 4.0,
                             static_cast<double>(255 - k)});
    }
    if (centroids.size() >= 4) {
        SolveRequest request;
        request.lens.focal_px = 600.0;
        request.lens.cx = 511.5;
        request.lens.cy = 511.5;
        request.up_cam = Vec3(0.0, -0.3, -0.95);
        request.jd = 2461000.5;
        (void)resolve_at_site(std::span<const Centroid>(centroids), request, catalog);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t split = std::min<std::size_t>(data[0] | (data[1] << 8), size - 2);
    const std::span<const std::uint8_t> catalog_image(data + 2, split);
    const std::span<const std::uint8_t> pairs_image(data + 2 + split, size - 2 - split);
    const Result<Catalog> catalog = Catalog::from_bytes(catalog_image, pairs_image);
    if (!catalog.ok()) {
        require(!catalog.error().message().empty());
        return 0;
    }
    require(std::is_sorted(catalog.value().pairs.begin(), catalog.value().pairs.end(),
                           [](const Pair& a, const Pair& b) { return a.cos_theta < b.cos_theta; }));
    // The pair image's last bytes double as centroid positions for the solve.
    exercise(catalog.value(), pairs_image.subspan(pairs_image.size() - std::min<std::size_t>(pairs_image.size(), 16)));
    return 0;
}
