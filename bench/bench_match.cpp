// Benchmark of the star matcher on a synthetic sky: ~9000 stars, ~1M pairs,
// 12 camera directions seen through a known rotation with 1' of noise. Prints
// median thread CPU times and the indexed triangle search's speed-up over the plain
// a-b x b-c scan measured in the same run; asserts nothing about time.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <random>
#include <vector>

#include <Eigen/Geometry>

#include "core/matcher.hpp"
#include "core/units.hpp"

using namespace stelvane;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// CPU time of this thread: the machine is shared, so wall time would measure the neighbours.
double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

template <class F>
double median_seconds(int repeats, F&& f) {
    std::vector<double> times;
    for (int r = 0; r < repeats; ++r) {
        const double t0 = thread_cpu_seconds();
        f();
        times.push_back(thread_cpu_seconds() - t0);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

Vec3 random_unit(std::mt19937_64& rng) {
    std::normal_distribution<double> g;
    return Vec3(g(rng), g(rng), g(rng)).normalized();
}

Catalog synthetic_catalog(std::size_t n_stars, double max_sep, std::mt19937_64& rng) {
    Catalog catalog;
    for (std::size_t k = 0; k < n_stars; ++k) {
        const Vec3 u = random_unit(rng);
        Star s;
        s.ra = std::atan2(u.y(), u.x());
        s.dec = std::asin(u.z());
        s.unit = Vec3(std::cos(s.dec) * std::cos(s.ra), std::cos(s.dec) * std::sin(s.ra), std::sin(s.dec));
        s.vmag = static_cast<float>(k) * 6.0f / static_cast<float>(n_stars);
        catalog.stars.push_back(s);
    }
    const double min_cos = std::cos(max_sep);
    for (std::size_t i = 0; i < n_stars; ++i) {
        for (std::size_t j = i + 1; j < n_stars; ++j) {
            const double c = catalog.stars[i].unit.dot(catalog.stars[j].unit);
            if (c >= min_cos) {
                catalog.pairs.push_back(
                    {static_cast<float>(c), static_cast<std::uint16_t>(i), static_cast<std::uint16_t>(j)});
            }
        }
    }
    std::stable_sort(catalog.pairs.begin(), catalog.pairs.end(),
                     [](const Pair& a, const Pair& b) { return a.cos_theta < b.cos_theta; });
    return catalog;
}

// The plain scan: for every a-b pair, both orientations walk the whole b-c list.
std::size_t plain_scan(std::span<const Vec3> cam, std::array<std::size_t, 3> abc, const Catalog& catalog, double t) {
    auto run = [&](std::size_t x, std::size_t y) {
        const double theta = std::acos(std::clamp(cam[x].dot(cam[y]), -1.0, 1.0));
        return catalog.pairs_in_range(std::cos(theta + t), std::cos(theta - t));
    };
    const auto ab = run(abc[0], abc[1]), ac = run(abc[0], abc[2]), bc = run(abc[1], abc[2]);
    std::vector<std::uint32_t> ac_keys;
    for (const Pair& p : ac) {
        ac_keys.push_back(std::uint32_t{p.i} << 16 | p.j);
        ac_keys.push_back(std::uint32_t{p.j} << 16 | p.i);
    }
    std::sort(ac_keys.begin(), ac_keys.end());
    auto has = [&](std::uint32_t k) { return std::binary_search(ac_keys.begin(), ac_keys.end(), k); };
    std::vector<std::pair<std::uint16_t, std::uint16_t>> bc_list;
    for (const Pair& p : bc) {
        bc_list.push_back({p.i, p.j});
        bc_list.push_back({p.j, p.i});
    }
    std::size_t found = 0;
    for (const Pair& pq : ab) {
        for (auto [x, y] : bc_list) found += x == pq.j && y != pq.i && has(std::uint32_t{y} << 16 | pq.i);
        for (auto [x, y] : bc_list) found += x == pq.i && y != pq.j && has(std::uint32_t{y} << 16 | pq.j);
    }
    return found;
}

}  // namespace

int main() {
    std::mt19937_64 rng(2026);
    const double tolerance = units::arcmin_to_rad(4.0);
    const double max_sep = 0.3154;  // about 18 degrees: ~1M pairs for 9000 stars

    auto t0 = Clock::now();
    const Catalog catalog = synthetic_catalog(9000, max_sep, rng);
    std::printf("catalog: %zu stars, %zu pairs (built in %.2f s)\n", catalog.stars.size(), catalog.pairs.size(),
                seconds_since(t0));

    // The 12 brightest stars within 8 degrees of a random boresight, seen through
    // a known rotation with noise of a quarter of the tolerance.
    const Mat3 rotation = Eigen::AngleAxisd(1.234, Vec3(0.3, -0.5, 0.8).normalized()).toRotationMatrix();
    const Vec3 boresight = random_unit(rng);
    auto scene = [&](double noise_arcmin, std::vector<std::size_t>& truth) {
        std::vector<Vec3> cam;
        truth.clear();
        std::normal_distribution<double> noise(0.0, units::arcmin_to_rad(noise_arcmin) / std::sqrt(2.0));
        for (std::size_t s = 0; s < catalog.stars.size() && cam.size() < 12; ++s) {
            if (catalog.stars[s].unit.dot(boresight) < std::cos(8 * units::DEG)) continue;
            const Vec3 jitter(noise(rng), noise(rng), noise(rng));
            cam.push_back((rotation.transpose() * catalog.stars[s].unit + jitter).normalized());
            truth.push_back(s);
        }
        return cam;
    };
    std::vector<std::size_t> truth;
    const std::vector<Vec3> cam = scene(1.0, truth);
    std::printf("camera: %zu directions\n", cam.size());

    const double grid_s = median_seconds(21, [&] { (void)StarGrid::build(catalog.stars, tolerance); });
    std::printf("grid build: %.3f ms\n", grid_s * 1e3);

    // Tolerance 4' (the floor, a pinhole of fine scale) and 12' (a coarser lens).
    for (double tol_arcmin : {4.0, 12.0}) {
        std::vector<std::size_t> case_truth;
        const std::vector<Vec3> case_cam = scene(tol_arcmin / 4.0, case_truth);
        const double case_tol = units::arcmin_to_rad(tol_arcmin);
        for (std::size_t n_tri : {5u, 12u}) {
            Result<MatchResult> last = Error(NoMatch{});
            const double s = median_seconds(tol_arcmin > 4.0 ? 3 : 7,
                                            [&] { last = match_stars(case_cam, catalog, n_tri, case_tol); });
            std::size_t correct = 0;
            if (last.ok()) {
                for (const Correspondence& c : last->correspondences) correct += case_truth[c.cam] == c.star;
            }
            std::printf("match_stars tol %2.0f' N=%2zu: median %7.2f ms; %s, %zu correspondences (%zu correct), "
                        "margin %zu\n",
                        tol_arcmin, n_tri, s * 1e3, last.ok() ? "matched" : last.error().message().c_str(),
                        last.ok() ? last->correspondences.size() : 0, correct, last.ok() ? last->margin : 0);
        }
    }

    // Triangle search alone over the 220 triangles of 12 directions, and the plain
    // scan on the first few triangles (it is far too slow for all of them).
    TriangleSearch search;
    std::vector<StarTriple> out;
    std::size_t hypotheses = 0;
    const double indexed_s = median_seconds(5, [&] {
        hypotheses = 0;
        for (std::size_t i = 0; i < 12; ++i)
            for (std::size_t j = i + 1; j < 12; ++j)
                for (std::size_t k = j + 1; k < 12; ++k) {
                    search.run(cam, {i, j, k}, catalog.pairs, tolerance, out);
                    hypotheses += out.size();
                }
    });
    std::printf("triangle search, 220 triangles: %.2f ms, %zu hypotheses (%.1f us per triangle)\n", indexed_s * 1e3,
                hypotheses, indexed_s * 1e6 / 220);
    const std::size_t n_plain = 2;
    std::size_t plain_found = 0, indexed_found = 0;
    const double plain_s = median_seconds(1, [&] {
        for (std::size_t k = 2; k < 2 + n_plain; ++k) plain_found += plain_scan(cam, {0, 1, k}, catalog, tolerance);
    });
    for (std::size_t k = 2; k < 2 + n_plain; ++k) {
        search.run(cam, {0, 1, k}, catalog.pairs, tolerance, out);
        indexed_found += out.size();
    }
    std::printf("plain a-b x b-c scan: %.1f ms per triangle (%zu vs %zu hypotheses); indexed speed-up %.0fx\n",
                plain_s * 1e3 / n_plain, plain_found, indexed_found, (plain_s / n_plain) / (indexed_s / 220));
    return 0;
}
