// Stage timings of the star matcher on real camera directions: the whole
// match_stars call, its confidence checks alone (chance test plus a mirror search
// that runs its own triangle search) and the triangle search alone, so that
// bench_fix_speed.py can split matching with and without the mirror test.
// Usage: bench_fix_stages CATALOG PAIRS TRIANGLE_STARS TOLERANCE_RAD REPEATS < directions
// (one "x y z" camera direction per line, brightest first). Prints key=value lines
// of median thread CPU milliseconds; asserts nothing about time.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "core/catalog.hpp"
#include "core/matcher.hpp"

using namespace stelvane;

namespace {

// CPU time of this thread: the machine is shared, so wall time would measure the neighbours.
double thread_cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return 1e3 * static_cast<double>(ts.tv_sec) + 1e-6 * static_cast<double>(ts.tv_nsec);
}

template <class F>
double median_ms(int repeats, F&& f) {
    std::vector<double> times;
    for (int r = 0; r < repeats; ++r) {
        const double t0 = thread_cpu_ms();
        f();
        times.push_back(thread_cpu_ms() - t0);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s CATALOG PAIRS TRIANGLE_STARS TOLERANCE_RAD REPEATS < directions\n", argv[0]);
        return 2;
    }
    Result<Catalog> loaded = Catalog::load(argv[1], argv[2]);
    if (!loaded.ok()) {
        std::fprintf(stderr, "%s\n", loaded.error().message().c_str());
        return 1;
    }
    const Catalog& catalog = *loaded;
    const std::size_t triangle_stars = std::strtoul(argv[3], nullptr, 10);
    const double tolerance = std::strtod(argv[4], nullptr);
    const int repeats = std::max(1, std::atoi(argv[5]));
    std::vector<Vec3> cam;
    double x, y, z;
    while (std::cin >> x >> y >> z) cam.emplace_back(x, y, z);

    Result<MatchResult> last = Error(NoMatch{});
    const double match = median_ms(repeats, [&] { last = match_stars(cam, catalog, triangle_stars, tolerance); });
    const std::size_t m = last.ok() ? last->correspondences.size() : 0;
    const StarGrid grid = StarGrid::build(catalog.stars, tolerance);
    const double grid_ms = median_ms(repeats, [&] { (void)StarGrid::build(catalog.stars, tolerance); });
    const double checks = m < 4 ? 0.0 : median_ms(repeats, [&] {
        (void)confidence_checks(m, cam, catalog, grid, tolerance, triangle_stars);
    });
    TriangleSearch search;
    std::vector<StarTriple> out;
    std::size_t hypotheses = 0;
    const std::size_t n_tri = std::min(triangle_stars, cam.size());
    const double triangles = median_ms(repeats, [&] {
        hypotheses = 0;
        search.prepare(cam, n_tri, catalog.pairs, tolerance);
        for (std::size_t i = 0; i < n_tri; ++i)
            for (std::size_t j = i + 1; j < n_tri; ++j)
                for (std::size_t k = j + 1; k < n_tri; ++k) {
                    search.run_prepared({i, j, k}, out);
                    hypotheses += out.size();
                }
    });
    std::printf("match_ms=%.4f\nchecks_ms=%.4f\ntriangles_ms=%.4f\ngrid_ms=%.4f\nhypotheses=%zu\nmatched=%zu\n",
                match, checks, triangles, grid_ms, hypotheses, m);
    std::printf("outcome=%s\n", last.ok() ? "matched" : last.error().message().c_str());
    return 0;
}
