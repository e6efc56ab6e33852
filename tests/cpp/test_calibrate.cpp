// Lens calibration: the least-squares fit recovers exactly the parameters it is told to
// fit and holds the others, refraction follows Bennett's formula, the plate-scale ratio
// of a fix reads a focal error, and whole calibrations of rendered skies recover lenses
// with an off-centre principal point, refusing guesses outside the scale tolerance and
// mirrored skies.
#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <string>
#include <vector>

#include <Eigen/Geometry>

#include "core/calibrate.hpp"
#include "core/calibrate_fit.hpp"
#include "core/calibrate_model.hpp"
#include "core/calibrate_scale.hpp"
#include "core/synth.hpp"
#include "core/timescale.hpp"

namespace stelvane {
namespace {

constexpr double kDeg = M_PI / 180.0;
constexpr double kArcsec = kDeg / 3600.0;

Catalog bundled(const std::string& name) {
    const std::string dir = STELVANE_DATA_DIR;
    auto loaded = Catalog::load(dir + "/" + name + ".scat", dir + "/" + name + ".sprs");
    EXPECT_TRUE(loaded.ok());
    return loaded ? std::move(loaded).value() : Catalog{};
}

Mat3 turn(double x_deg, double y_deg, double z_deg) {
    return (Eigen::AngleAxisd(z_deg * kDeg, Vec3::UnitZ()) * Eigen::AngleAxisd(y_deg * kDeg, Vec3::UnitY()) *
            Eigen::AngleAxisd(x_deg * kDeg, Vec3::UnitX()))
        .toRotationMatrix();
}

// ---- the fit -------------------------------------------------------------------------------

LensModel true_fisheye() {
    LensModel m;
    m.polynomial = true;
    m.half_fov_rad = 90.0 * kDeg;
    m.values = {330.0, 515.25, 508.5, -0.03, 0.004, -0.0004, 0.00003};
    return m;
}

// Stars on a grid of pixels seen through `truth` at attitude `rotation`: their sky directions.
std::vector<FitStar> stars_seen_by(const LensModel& truth, const Mat3& rotation, double step_px) {
    const Camera camera = truth.camera();
    std::vector<FitStar> stars;
    for (double y = 40.0; y < 990.0; y += step_px) {
        for (double x = 40.0; x < 990.0; x += step_px) {
            const Vec3 d = camera.pixel_to_vec(x, y);
            if (std::acos(d.z()) > 80.0 * kDeg) continue;
            stars.push_back({0, rotation * d, x, y});
        }
    }
    return stars;
}

using FreeMask = std::array<bool, kLensParameterCount>;

class FitRecovers : public ::testing::TestWithParam<FreeMask> {};

TEST_P(FitRecovers, TheFreeParametersAndHoldsTheOthers) {
    const FreeMask free = GetParam();
    const LensModel truth = true_fisheye();
    const Mat3 attitude = turn(20.0, -35.0, 110.0);
    const std::vector<FitStar> stars = stars_seen_by(truth, attitude, 45.0);
    // Every free parameter starts off its true value; the fixed ones start (and must stay) on it.
    LensModel start = truth;
    const std::array<double, kLensParameterCount> offset = {3.3, 2.5, -1.75, 0.004, -0.001, 0.0002, -0.00002};
    for (std::size_t p = 0; p < kLensParameterCount; ++p) start.values[p] += free[p] ? offset[p] : 0.0;
    const Mat3 rotations[] = {attitude * turn(0.2, -0.3, 0.1)};
    const FrameSky skies[] = {FrameSky{}};
    FitSettings settings;
    settings.free = free;
    settings.robust = false;
    const auto fit = fit_lens(start, rotations, skies, stars, settings);
    ASSERT_TRUE(fit.ok()) << fit.error().message();
    const std::array<double, kLensParameterCount> tolerance = {1e-7, 1e-6, 1e-6, 1e-9, 1e-9, 1e-9, 1e-9};
    std::size_t n_free = 0;
    for (std::size_t p = 0; p < kLensParameterCount; ++p) {
        if (free[p]) {
            ++n_free;
            EXPECT_NEAR(fit->lens.values[p], truth.values[p], tolerance[p]) << lens_parameter_name(LensParameter(p));
        } else {
            EXPECT_EQ(fit->lens.values[p], truth.values[p]) << lens_parameter_name(LensParameter(p));
        }
    }
    ASSERT_EQ(fit->free.size(), n_free);
    EXPECT_EQ(fit->covariance.rows(), static_cast<Eigen::Index>(n_free));
    EXPECT_LT((fit->rotations[0] - attitude).norm(), 1e-9);
    EXPECT_LT(fit->rms_px, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(
    Calibrate, FitRecovers,
    ::testing::Values(FreeMask{true, true, true, true, true, true, true}, FreeMask{true, true, true, false, false, false, false},
                      FreeMask{true, false, false, true, false, false, false},
                      FreeMask{false, true, true, false, true, false, true}));

TEST(FitLens, CovarianceScalesWithTheResidualsAndHuberDownweightsAnOutlier) {
    const LensModel truth = true_fisheye();
    std::vector<FitStar> stars = stars_seen_by(truth, Mat3::Identity(), 60.0);
    // Alternate +-0.1 px in x: the a-posteriori sigma is 0.1 px per axis, order 0.07 px overall.
    for (std::size_t i = 0; i < stars.size(); ++i) stars[i].x += (i % 2 == 0 ? 0.1 : -0.1);
    const Mat3 rotations[] = {Mat3::Identity()};
    const FrameSky skies[] = {FrameSky{}};
    FitSettings settings;
    settings.free = {true, true, true, false, false, false, false};
    settings.robust = false;
    const auto clean = fit_lens(truth, rotations, skies, stars, settings);
    ASSERT_TRUE(clean.ok());
    EXPECT_NEAR(clean->rms_px, 0.1, 0.01);
    // One star moved by 20 px pulls the plain fit; the Huber weights keep the focal.
    stars[stars.size() / 2].y += 20.0;
    const auto plain = fit_lens(truth, rotations, skies, stars, settings);
    settings.robust = true;
    const auto robust = fit_lens(truth, rotations, skies, stars, settings);
    ASSERT_TRUE(plain.ok() && robust.ok());
    const double sigma_f = std::sqrt(clean->covariance(0, 0));
    EXPECT_GT(sigma_f, 0.0);
    EXPECT_LT(std::fabs(robust->lens.values[0] - 330.0), std::fabs(plain->lens.values[0] - 330.0));
}

TEST(FitLens, RefusesFewerObservationsThanParameters) {
    const LensModel truth = true_fisheye();
    std::vector<FitStar> stars = stars_seen_by(truth, Mat3::Identity(), 45.0);
    stars.resize(4);  // 8 observations for 7 intrinsics and 3 angles
    const Mat3 rotations[] = {Mat3::Identity()};
    const FrameSky skies[] = {FrameSky{}};
    FitSettings settings;
    settings.free.fill(true);
    const auto fit = fit_lens(truth, rotations, skies, stars, settings);
    ASSERT_FALSE(fit.ok());
    EXPECT_EQ(fit.error().message(), "insufficient stars: needed 10, got 8");
}

// ---- the sky model ---------------------------------------------------------------------------

class CameraRefraction : public ::testing::TestWithParam<double> {};

TEST_P(CameraRefraction, LiftsByBennettsFormulaAtTheTrueAltitude) {
    const double alt_deg = GetParam();
    // A vertical along camera -y (image up), the star in the y-z plane at that altitude.
    const Vec3 up(0.0, -1.0, 0.0);
    const Vec3 star(0.0, -std::sin(alt_deg * kDeg), std::cos(alt_deg * kDeg));
    const FrameSky frame = FrameSky::at(std::nullopt, up);
    const Vec3 seen = frame.refract(star);
    const double bennett_arcmin = 1.0 / std::tan((alt_deg + 7.31 / (alt_deg + 4.4)) * kDeg);
    const double lifted_arcmin = (std::asin(seen.dot(up)) / kDeg - alt_deg) * 60.0;
    EXPECT_NEAR(lifted_arcmin, bennett_arcmin, 1e-9);
    EXPECT_NEAR(seen.x(), 0.0, 1e-15);  // the azimuth does not change
    // The measured direction lowered by the refraction of its own altitude comes back within
    // the two conventions' difference (dR/dh times R, under 3 arcsec above 10 deg).
    EXPECT_LT(std::acos(std::clamp(frame.unrefract(seen).dot(star), -1.0, 1.0)), 3.0 * kArcsec);
}

INSTANTIATE_TEST_SUITE_P(Calibrate, CameraRefraction, ::testing::Values(10.0, 30.0, 45.0, 80.0));

TEST(LensModel, PolynomialPinholeFollowsTheTangentTo35Degrees) {
    const LensModel m = polynomial_pinhole(1700.0, 960.0, 540.0, 40.0 * kDeg);
    const Camera camera = m.camera();
    for (double theta_deg = 5.0; theta_deg <= 35.0; theta_deg += 5.0) {
        const double t = theta_deg * kDeg;
        const auto p = camera.vec_to_pixel(Vec3(std::sin(t), 0.0, std::cos(t)));
        ASSERT_TRUE(p);
        EXPECT_NEAR((p->x - 960.0) / (1700.0 * std::tan(t)), 1.0, 1e-4) << theta_deg;
    }
}

// ---- the plate-scale ratio of a fix -------------------------------------------------------------

struct ScaleCase {
    Camera camera;  // the true lens
    double focal_error;
};

// Names the case in test output: the projection and the focal error.
void PrintTo(const ScaleCase& c, std::ostream* os) {
    *os << "projection " << static_cast<int>(c.camera.kind) << ", focal off by " << c.focal_error;
}

class PlateScaleRatio : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(PlateScaleRatio, ReadsTheFocalError) {
    const ScaleCase c = GetParam();
    const Vec3 up = Vec3(0.3, -0.8, 0.5).normalized();
    const FrameSky vertical = FrameSky::at(std::nullopt, up);
    Camera told = c.camera;
    told.focal_px *= 1.0 + c.focal_error;
    std::vector<Vec3> measured, sky;
    for (double y = 60.0; y < 1000.0; y += 90.0) {
        for (double x = 60.0; x < 1000.0; x += 90.0) {
            const Vec3 truth = c.camera.pixel_to_vec(x, y);
            if (std::acos(truth.z()) > 70.0 * kDeg || vertical.altitude(truth) < 12.0 * kDeg) continue;
            // The star as the atmosphere shows it, then read back through the lens as told.
            const auto pixel = c.camera.vec_to_pixel(vertical.refract(truth));
            ASSERT_TRUE(pixel);
            measured.push_back(told.pixel_to_vec(pixel->x, pixel->y));
            sky.push_back(truth);
        }
    }
    ASSERT_GT(measured.size(), 10u);
    const PlateScale scale =
        plate_scale_ratio(told, measured, sky, Mat3::Identity(), Mat3::Identity(), Vec3::Zero(), up);
    // Linear in the error: exact to its square, plus the few millionths by which refraction
    // removed at the measured altitude differs from refraction added at the true one.
    const double want = 1.0 / (1.0 + c.focal_error);
    EXPECT_NEAR(scale.ratio, want, 2.0 * c.focal_error * c.focal_error + 5e-6);
    EXPECT_LT(scale.sigma, 1e-4);
}

Camera pinhole_camera() { return Camera{Projection::Pinhole, 0.0, 0, 0, 0, 0, 1400.0, 520.0, 515.0}; }
Camera equidistant_camera() { return Camera{Projection::EquidistantFisheye, 90.0 * kDeg, 0, 0, 0, 0, 330.0, 512.0, 512.0}; }
Camera distorted_camera() {
    return Camera{Projection::DistortedFisheye, 90.0 * kDeg, -0.03, 0.004, 0.0, 0.0, 330.0, 512.0, 512.0};
}

INSTANTIATE_TEST_SUITE_P(Calibrate, PlateScaleRatio,
                         ::testing::Values(ScaleCase{pinhole_camera(), 0.0}, ScaleCase{pinhole_camera(), 0.002},
                                           ScaleCase{pinhole_camera(), -0.002}, ScaleCase{pinhole_camera(), 0.01},
                                           ScaleCase{equidistant_camera(), 0.002},
                                           ScaleCase{distorted_camera(), -0.002}));

TEST(PlateScaleRatio, CannotTellFromOneStar) {
    const Vec3 one[] = {Vec3(0.1, 0.0, 1.0).normalized()};
    const PlateScale s = plate_scale_ratio(pinhole_camera(), one, one, Mat3::Identity(), Mat3::Identity(),
                                           Vec3::Zero(), Vec3(0.0, -1.0, 0.0));
    EXPECT_TRUE(std::isnan(s.ratio));
    EXPECT_TRUE(std::isnan(s.sigma));
}

// ---- whole calibrations of rendered skies --------------------------------------------------------

struct Rendered {
    Scene scene;
    double jd;
    std::vector<Centroid> centroids;
};

// A noiseless sky over (48.5 N, 11.25 E) through `camera`, brightest star first.
Rendered render(const Catalog& catalog, const Camera& camera, std::uint32_t width, std::uint32_t height) {
    const double jd = julian_date(2024, 4, 1, 22, 0, 0.0);
    SceneSettings settings;
    settings.camera = camera;
    settings.width = width;
    settings.height = height;
    settings.mag_limit = 6.0f;
    const double lat = 48.5 * kDeg, lon = 11.25 * kDeg;
    Boresight b{90.0, 0.0};
    if (camera.kind == Projection::Pinhole) b = pick_rich_boresight(catalog, camera, width, height, lat, lon, jd);
    auto scene = synthesize_scene(catalog, settings, lat, lon, jd, b.alt_deg, b.az_deg, 25.0);
    EXPECT_TRUE(scene.ok());
    Rendered r{std::move(scene).value(), jd, {}};
    for (std::size_t k = 0; k < r.scene.star_pixels.size(); ++k) {
        r.centroids.push_back({r.scene.star_pixels[k].x, r.scene.star_pixels[k].y, 1000.0 - double(k)});
    }
    return r;
}

struct Lens {
    const char* catalog;
    Camera camera;
    std::uint32_t width, height;
};

void PrintTo(const Lens& lens, std::ostream* os) {
    *os << lens.catalog << " " << lens.width << "x" << lens.height;
}

class RenderedSky : public ::testing::TestWithParam<Lens> {};

TEST_P(RenderedSky, RecoversAnOffCentreLensExactly) {
    const Lens lens = GetParam();
    const Catalog catalog = bundled(lens.catalog);
    const Rendered r = render(catalog, lens.camera, lens.width, lens.height);
    const CalibrationFrame frames[] = {{std::span<const Centroid>(r.centroids), r.jd, r.scene.up_cam}};
    CalibrationSettings s;
    // The guess: the frame centre (the truth is 12.5 and -8.75 px away) and a focal 3 % long.
    s.guess.cx = lens.width / 2.0;
    s.guess.cy = lens.height / 2.0;
    s.guess.focal_px = 1.03 * lens.camera.focal_px;
    if (lens.camera.kind != Projection::Pinhole) s.guess.fisheye_fov_deg = 180.0, s.guess.k4 = 1e-30;
    s.width = lens.width;
    s.height = lens.height;
    const auto cal = calibrate_lens(frames, catalog, s);
    ASSERT_TRUE(cal.ok()) << cal.error().message();
    EXPECT_NEAR(cal->lens.focal_px, lens.camera.focal_px, 1e-6 * lens.camera.focal_px);
    EXPECT_NEAR(cal->lens.cx, lens.camera.cx, 1e-5);
    EXPECT_NEAR(cal->lens.cy, lens.camera.cy, 1e-5);
    EXPECT_NEAR(cal->lens.k1, lens.camera.k1, 1e-7);
    EXPECT_NEAR(cal->lens.k2, lens.camera.k2, 1e-7);
    EXPECT_LT(cal->residual_rms_px, 1e-5);
    // Every star used is one the renderer drew, and the fit used nearly every drawn star at
    // least 10.5 deg high (lower ones are left out, and so are close doubles).
    std::size_t high = 0;
    const Vec3 up = r.scene.up_cam.normalized();
    for (const Pixel& p : r.scene.star_pixels) high += lens.camera.pixel_to_vec(p.x, p.y).dot(up) >= std::sin(10.5 * kDeg);
    EXPECT_GE(cal->stars.size(), high * 19 / 20);
    for (const CalibratedStar& star : cal->stars) {
        EXPECT_NE(std::find(r.scene.rendered_hr_ids.begin(), r.scene.rendered_hr_ids.end(), star.hr),
                  r.scene.rendered_hr_ids.end());
    }
}

// A guess beyond the scale tolerance either finds the true lens after all (the search's
// side tolerance has some slack) or is refused: it never yields another lens. A mirrored
// sky is always refused.
TEST_P(RenderedSky, NeverAcceptsAWrongScaleAndRefusesAMirroredSky) {
    const Lens lens = GetParam();
    const Catalog catalog = bundled(lens.catalog);
    const Rendered r = render(catalog, lens.camera, lens.width, lens.height);
    std::vector<Centroid> mirrored = r.centroids;
    for (Centroid& c : mirrored) c.x = 2.0 * lens.camera.cx - c.x;
    CalibrationSettings s;
    s.guess.cx = lens.camera.cx;
    s.guess.cy = lens.camera.cy;
    if (lens.camera.kind != Projection::Pinhole) s.guess.fisheye_fov_deg = 180.0, s.guess.k4 = 1e-30;
    s.width = lens.width;
    s.height = lens.height;
    for (const auto& [centroids, focal] : {std::pair{r.centroids, 1.10}, std::pair{r.centroids, 1.0 / 1.10},
                                           std::pair{r.centroids, 1.25}, std::pair{r.centroids, 0.8},
                                           std::pair{mirrored, 1.0}}) {
        s.guess.focal_px = focal * lens.camera.focal_px;
        const CalibrationFrame frames[] = {{std::span<const Centroid>(centroids), r.jd, r.scene.up_cam}};
        const auto cal = calibrate_lens(frames, catalog, s);
        if (cal.ok()) {
            EXPECT_NE(&centroids, &mirrored);
            EXPECT_NEAR(cal->lens.focal_px, lens.camera.focal_px, 1e-6 * lens.camera.focal_px) << "focal x" << focal;
            continue;
        }
        const auto* refused = cal.error().get_if<CalibrationRefused>();
        ASSERT_NE(refused, nullptr) << cal.error().message();
        EXPECT_EQ(refused->reason, CalibrationRefusal::NoIdentification);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Calibrate, RenderedSky,
    ::testing::Values(Lens{"pinhole", Camera{Projection::Pinhole, 0.0, 0, 0, 0, 0, 2200.0, 972.5, 531.25}, 1920, 1080},
                      Lens{"allsky",
                           Camera{Projection::DistortedFisheye, 90.0 * kDeg, -0.03, 0.004, 0.0, 0.0, 330.0, 524.5, 503.25},
                           1024, 1024}));

TEST(CalibrationRefused, NamesItsReasonAndFigures) {
    EXPECT_EQ(Error(CalibrationRefused{CalibrationRefusal::TooFewStars, "6 stars in 1 frame, 8 needed"}).message(),
              "calibration refused: too few identified stars (6 stars in 1 frame, 8 needed)");
    EXPECT_EQ(Error(CalibrationRefused{CalibrationRefusal::StarsNearCentre, "x"}).message(),
              "calibration refused: stars too close to the centre (x)");
    EXPECT_EQ(Error(CalibrationRefused{CalibrationRefusal::ResidualsTooLarge, "x"}).kind(),
              ErrorKind::CalibrationRefused);
}

}  // namespace
}  // namespace stelvane
