// Synthetic night skies: star places of date in the observer's horizon frame,
// the camera's view of them, Gaussian PSFs, sensor noise and ADC quantisation,
// all reproducible from one seed; and the star-rich pointing for pinhole scenes.
#include "core/synth.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include <Eigen/Geometry>

#include "core/ephemeris.hpp"
#include "core/frame.hpp"
#include "core/random.hpp"
#include "core/refraction.hpp"
#include "core/robust.hpp"
#include "core/timescale.hpp"
#include "core/units.hpp"

namespace stelvane {

namespace {

// |sin h| above this (the boresight within 2 deg of the zenith or nadir) switches the
// roll reference from Up to North: sin 88 deg.
constexpr double NEAR_VERTICAL_SIN = 0.9993908270190958;
// The largest image the renderer allocates: 2^28 pixels (2 GiB of working doubles).
constexpr std::uint64_t MAX_PIXELS = 1ULL << 28;
// Stars at most this bright count for the rich-boresight search.
constexpr float RICH_MAG_LIMIT = 4.0f;

// The observer's horizon axes in equatorial coordinates of date, with what is
// needed to carry a catalog direction there.
struct SkyFrame {
    Mat3 precession;  // J2000 -> mean equator of date
    Vec3 up, north, east;
    Vec3 aberration;  // offset added to a unit direction of date before renormalising

    // Unit direction of date, aberrated, of a catalog star at jd.
    Vec3 apparent(const Star& star, double jd, double epoch) const {
        return apparent_direction(precession * star.unit_at(jd, epoch), aberration);
    }
};

SkyFrame sky_frame(double lat_rad, double lon_rad, double jd) {
    SkyFrame f;
    const double lst = gmst_rad(jd) + lon_rad;
    f.precession = precession_matrix(jd);
    const double cl = std::cos(lst), sl = std::sin(lst);
    const double cp = std::cos(lat_rad), sp = std::sin(lat_rad);
    f.up = Vec3(cp * cl, cp * sl, sp);
    f.north = Vec3(-sp * cl, -sp * sl, cp);
    f.east = Vec3(-sl, cl, 0.0);
    f.aberration = aberration_offset(jd);
    return f;
}

// Camera axes expressed in the local (East, North, Up) basis.
struct CameraAxes {
    Vec3 x, y, z;

    Vec3 to_camera(const Vec3& local) const { return Vec3(local.dot(x), local.dot(y), local.dot(z)); }
};

CameraAxes camera_axes(double alt_deg, double az_deg, double roll_deg) {
    const double h = alt_deg * units::DEG, a = az_deg * units::DEG, rho = roll_deg * units::DEG;
    const Vec3 b(std::sin(a) * std::cos(h), std::cos(a) * std::cos(h), std::sin(h));
    const Vec3 ref = std::abs(std::sin(h)) > NEAR_VERTICAL_SIN ? Vec3(0.0, 1.0, 0.0) : Vec3(0.0, 0.0, 1.0);
    const Vec3 r = b.cross(ref).normalized();
    const Vec3 u = b.cross(r);
    return {r * std::cos(rho) + u * std::sin(rho), u * std::cos(rho) - r * std::sin(rho), b};
}

// The camera-frame direction of an apparent direction of date, raised by refraction,
// or nothing below the horizon.
std::optional<Vec3> seen_by_camera(const Vec3& s, const SkyFrame& sky, const CameraAxes& axes) {
    const double alt = std::asin(std::clamp(s.dot(sky.up), -1.0, 1.0));
    if (!(alt > 0.0)) return std::nullopt;
    const double az = std::atan2(s.dot(sky.east), s.dot(sky.north));
    const double apparent_alt = alt + refraction_rad(alt);
    const Vec3 local(std::cos(apparent_alt) * std::sin(az), std::cos(apparent_alt) * std::cos(az),
                     std::sin(apparent_alt));
    return axes.to_camera(local);
}

struct ProjectedStar {
    Pixel pixel;
    Vec3 cam;
    std::uint32_t hr;
    float vmag;
};

// The stars above the horizon that land on the camera's projection, brightest first
// (stable: equal magnitudes keep catalog order).
std::vector<ProjectedStar> project_stars(const Catalog& catalog, const SkyFrame& sky, const CameraAxes& axes,
                                         const Camera& camera, float mag_limit, double jd) {
    std::vector<ProjectedStar> out;
    for (const Star& star : catalog.stars) {
        if (star.vmag > mag_limit) continue;  // NaN magnitudes pass
        const std::optional<Vec3> cam = seen_by_camera(sky.apparent(star, jd, catalog.epoch), sky, axes);
        if (!cam) continue;
        const std::optional<Pixel> pixel = camera.vec_to_pixel(*cam);
        if (!pixel) continue;
        out.push_back({*pixel, *cam, star.hr, star.vmag});
    }
    std::stable_sort(out.begin(), out.end(), [](const ProjectedStar& a, const ProjectedStar& b) {
        return total_order_key(a.vmag) < total_order_key(b.vmag);
    });
    return out;
}

// Drawn star centres bucketed in crowding-distance cells, so that the "closer than
// 6 px to a drawn star" test looks at the 3 x 3 cells around a candidate only.
class CrowdingGrid {
public:
    CrowdingGrid(std::uint32_t width, std::uint32_t height)
        : cols_(static_cast<std::size_t>(width / SceneSettings::crowding_px) + 1),
          rows_(static_cast<std::size_t>(height / SceneSettings::crowding_px) + 1),
          head_(cols_ * rows_, NONE) {}

    bool crowded(const Pixel& p) const {
        const auto [cx, cy] = cell(p);
        for (std::size_t y = cy == 0 ? 0 : cy - 1; y <= std::min(cy + 1, rows_ - 1); ++y) {
            for (std::size_t x = cx == 0 ? 0 : cx - 1; x <= std::min(cx + 1, cols_ - 1); ++x) {
                for (std::size_t k = head_[y * cols_ + x]; k != NONE; k = next_[k]) {
                    const double dx = centres_[k].x - p.x, dy = centres_[k].y - p.y;
                    if (std::sqrt(dx * dx + dy * dy) < SceneSettings::crowding_px) return true;
                }
            }
        }
        return false;
    }

    void add(const Pixel& p) {
        const auto [cx, cy] = cell(p);
        centres_.push_back(p);
        next_.push_back(head_[cy * cols_ + cx]);
        head_[cy * cols_ + cx] = centres_.size() - 1;
    }

private:
    static constexpr std::size_t NONE = std::numeric_limits<std::size_t>::max();

    // Only centres inside the drawing margin are ever looked up or added.
    std::pair<std::size_t, std::size_t> cell(const Pixel& p) const {
        return {std::min(static_cast<std::size_t>(p.x / SceneSettings::crowding_px), cols_ - 1),
                std::min(static_cast<std::size_t>(p.y / SceneSettings::crowding_px), rows_ - 1)};
    }

    std::size_t cols_, rows_;
    std::vector<std::size_t> head_;
    std::vector<std::size_t> next_;
    std::vector<Pixel> centres_;
};

void add_psf(std::vector<double>& buffer, std::uint32_t width, const Pixel& c, float vmag) {
    const double amplitude = SceneSettings::flux_scale * std::pow(10.0, -0.4 * static_cast<double>(vmag));
    const double two_sigma_sq = 2.0 * SceneSettings::psf_sigma_px * SceneSettings::psf_sigma_px;
    // The centre lies in [5, extent - 5), so the 9 x 9 stamp stays inside the image.
    const long x0 = std::lround(c.x), y0 = std::lround(c.y);
    for (int j = -SceneSettings::stamp_radius; j <= SceneSettings::stamp_radius; ++j) {
        const long py = y0 + j;
        const double dy = static_cast<double>(py) - c.y;
        for (int i = -SceneSettings::stamp_radius; i <= SceneSettings::stamp_radius; ++i) {
            const long px = x0 + i;
            const double dx = static_cast<double>(px) - c.x;
            buffer[static_cast<std::size_t>(px) + static_cast<std::size_t>(py) * width] +=
                amplitude * std::exp(-(dx * dx + dy * dy) / two_sigma_sq);
        }
    }
}

// Total light of a point source of magnitude vmag: the PSF's peak times its area 2 pi sigma^2.
double point_source_flux(double vmag) {
    return SceneSettings::flux_scale * std::pow(10.0, -0.4 * vmag) * 2.0 * units::PI * SceneSettings::psf_sigma_px *
           SceneSettings::psf_sigma_px;
}

// The Moon's disc (its light spread evenly) and its glare halo, clipped to the frame.
void add_moon(std::vector<double>& buffer, std::uint32_t width, std::uint32_t height, const Pixel& c,
              double radius_px, double vmag) {
    constexpr double GLARE_FRACTION = 1e-3;
    constexpr double GLARE_REACH_RADII = 50.0;
    const double r = std::max(radius_px, 0.5);
    const double surface = point_source_flux(vmag) / (units::PI * r * r);
    const double reach = GLARE_REACH_RADII * r;
    const long x0 = std::max(0L, static_cast<long>(std::floor(c.x - reach)));
    const long x1 = std::min(static_cast<long>(width) - 1, static_cast<long>(std::ceil(c.x + reach)));
    const long y0 = std::max(0L, static_cast<long>(std::floor(c.y - reach)));
    const long y1 = std::min(static_cast<long>(height) - 1, static_cast<long>(std::ceil(c.y + reach)));
    for (long py = y0; py <= y1; ++py) {
        for (long px = x0; px <= x1; ++px) {
            const double d = std::hypot(static_cast<double>(px) - c.x, static_cast<double>(py) - c.y);
            if (d > reach) continue;
            const double q = r / std::max(d, r);
            const double value = d <= r ? surface : GLARE_FRACTION * surface * q * q * q;
            buffer[static_cast<std::size_t>(px) + static_cast<std::size_t>(py) * width] += value;
        }
    }
}

// The planets and the Moon at their topocentric places, drawn into the buffer and listed.
void draw_bodies(std::vector<double>& buffer, const SceneSettings& settings, const SkyFrame& sky,
                 const CameraAxes& axes, double lat_rad, double lon_rad, double jd, Scene& scene) {
    const double margin = SceneSettings::edge_margin_px;
    for (const BodyPlace& place : body_places(jd, Observer{lat_rad, lon_rad})) {
        const Vec3 of_date = apparent_direction(sky.precession * place.astrometric, sky.aberration);
        const std::optional<Vec3> cam = seen_by_camera(of_date, sky, axes);
        if (!cam) continue;
        const std::optional<Pixel> pixel = settings.camera.vec_to_pixel(*cam);
        if (!pixel) continue;
        const Pixel c = *pixel;
        if (place.body == Body::Moon) {
            if (!(c.x >= 0.0 && c.x < settings.width && c.y >= 0.0 && c.y < settings.height)) continue;
            const std::optional<Pixel> limb = settings.camera.vec_to_pixel(
                Eigen::AngleAxisd(place.angular_radius_rad, cam->unitOrthogonal()) * *cam);
            const double radius_px = limb ? std::hypot(limb->x - c.x, limb->y - c.y) : 0.0;
            add_moon(buffer, settings.width, settings.height, c, radius_px, place.vmag);
            scene.bodies.push_back({place.body, c, place.vmag, radius_px});
        } else {
            if (!(c.x >= margin && c.x < settings.width - margin && c.y >= margin && c.y < settings.height - margin)) {
                continue;
            }
            add_psf(buffer, settings.width, c, static_cast<float>(place.vmag));
            scene.bodies.push_back({place.body, c, place.vmag, 0.0});
        }
    }
}

// An ADC of bit_depth bits spanning 0..65535: round to the nearest code, clip, truncate.
std::vector<std::uint16_t> quantise(const std::vector<double>& buffer, std::uint32_t bit_depth) {
    const double step = 65535.0 / (std::ldexp(1.0, static_cast<int>(bit_depth)) - 1.0);
    std::vector<std::uint16_t> out(buffer.size());
    for (std::size_t k = 0; k < buffer.size(); ++k) {
        const double v = std::clamp(std::round(buffer[k] / step) * step, 0.0, 65535.0);
        out[k] = static_cast<std::uint16_t>(v);
    }
    return out;
}

// The true vertical t tilted by N4 x sigma about an axis perpendicular to t drawn from N1..N3.
Vec3 noisy_vertical(const Vec3& t, double sigma_rad, Xorshift64Star& rng) {
    const double n1 = rng.normal(), n2 = rng.normal(), n3 = rng.normal(), n4 = rng.normal();
    const Vec3 w = Vec3(n1, n2, n3) - Vec3(n1, n2, n3).dot(t) * t;
    const double w_norm = w.norm();
    // Three deviates exactly along t (probability zero) leave no axis: report t untilted.
    if (!(w_norm > 0.0)) return t;
    const Vec3 axis = w / w_norm;
    const double theta = n4 * sigma_rad;
    return (t * std::cos(theta) + axis.cross(t) * std::sin(theta)).normalized();
}

}  // namespace

Result<Scene> synthesize_scene(const Catalog& catalog, const SceneSettings& settings, double lat_rad, double lon_rad,
                               double jd, double boresight_alt_deg, double boresight_az_deg, double roll_deg) {
    const std::uint32_t width = settings.width, height = settings.height;
    if (width == 0 || height == 0) return BadImage{"zero-sized image"};
    if (!std::isfinite(lat_rad) || !std::isfinite(lon_rad) || !std::isfinite(jd)) {
        return BadImage{"non-finite lat/lon/jd"};
    }
    if (settings.bit_depth < 1 || settings.bit_depth > 16) {
        return BadImage{"bit_depth " + std::to_string(settings.bit_depth) + " out of range 1..=16"};
    }
    // A NaN roll would turn every star and the vertical into NaN without a word.
    if (!std::isfinite(roll_deg)) return BadImage{"non-finite roll_deg"};
    const std::uint64_t n_pixels = static_cast<std::uint64_t>(width) * height;
    if (n_pixels > MAX_PIXELS) {
        return BadImage{"image of " + std::to_string(width) + " x " + std::to_string(height) +
                        " pixels is too large to render (at most " + std::to_string(MAX_PIXELS) + " pixels)"};
    }

    const SkyFrame sky = sky_frame(lat_rad, lon_rad, jd);
    const CameraAxes axes = camera_axes(boresight_alt_deg, boresight_az_deg, roll_deg);
    const std::vector<ProjectedStar> stars =
        project_stars(catalog, sky, axes, settings.camera, settings.mag_limit, jd);

    Xorshift64Star rng(settings.seed);
    Scene scene;
    scene.width = width;
    scene.height = height;
    scene.boresight_alt_deg = boresight_alt_deg;
    scene.boresight_az_deg = boresight_az_deg;

    std::vector<double> buffer(n_pixels, SceneSettings::pedestal);
    CrowdingGrid drawn(width, height);
    const double margin = SceneSettings::edge_margin_px;
    for (const ProjectedStar& star : stars) {
        Pixel c = star.pixel;
        if (settings.centroid_sigma_px > 0.0) {
            c.x += settings.centroid_sigma_px * rng.normal();
            c.y += settings.centroid_sigma_px * rng.normal();
        }
        if (!(c.x >= margin && c.x < width - margin && c.y >= margin && c.y < height - margin)) continue;
        if (drawn.crowded(c)) continue;
        add_psf(buffer, width, c, star.vmag);
        drawn.add(c);
        scene.rendered_hr_ids.push_back(star.hr);
        scene.star_pixels.push_back(c);
    }
    if (settings.draw_bodies) draw_bodies(buffer, settings, sky, axes, lat_rad, lon_rad, jd, scene);
    if (settings.background_noise > 0.0) {
        for (double& v : buffer) v += settings.background_noise * rng.normal();
    }
    scene.pixels = quantise(buffer, settings.bit_depth);

    // Up is (0, 0, 1) in the local frame, so its camera coordinates are the axes' Up components.
    const Vec3 vertical(axes.x.z(), axes.y.z(), axes.z.z());
    scene.up_cam = settings.up_sigma_rad > 0.0 ? noisy_vertical(vertical, settings.up_sigma_rad, rng) : vertical;
    return scene;
}

Boresight pick_rich_boresight(const Catalog& catalog, const Camera& camera, std::uint32_t width,
                              std::uint32_t height, double lat_rad, double lon_rad, double jd) {
    const SkyFrame sky = sky_frame(lat_rad, lon_rad, jd);
    std::vector<Vec3> bright;
    for (const Star& star : catalog.stars) {
        if (star.vmag > RICH_MAG_LIMIT) continue;
        const Vec3 s = sky.apparent(star, jd, catalog.epoch);
        if (s.dot(sky.up) > 0.0) bright.push_back(Vec3(s.dot(sky.east), s.dot(sky.north), s.dot(sky.up)).normalized());
    }
    const double half_diag = std::atan(std::hypot(width / 2.0, height / 2.0) / camera.focal_px);
    const double threshold = std::cos(0.9 * half_diag);

    // cos and sin of the ring altitudes 45, 60 and 75 deg.
    constexpr double RING_ALT_DEG[3] = {45.0, 60.0, 75.0};
    constexpr double RING_COS[3] = {0.7071067811865476, 0.5000000000000001, 0.25881904510252074};
    constexpr double RING_SIN[3] = {0.7071067811865475, 0.8660254037844386, 0.9659258262890683};
    Boresight best{55.0, 0.0};
    std::size_t best_count = 0;
    for (int ring = 0; ring < 3; ++ring) {
        for (int k = 0; k < 18; ++k) {
            const double az_deg = 20.0 * k;
            const double az = az_deg * units::DEG;
            const Vec3 b(std::sin(az) * RING_COS[ring], std::cos(az) * RING_COS[ring], RING_SIN[ring]);
            std::size_t count = 0;
            for (const Vec3& d : bright) count += b.dot(d) > threshold ? 1 : 0;
            if (count > best_count) {
                best_count = count;
                best = {RING_ALT_DEG[ring], az_deg};
            }
        }
    }
    return best;
}

}  // namespace stelvane
