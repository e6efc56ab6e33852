// The site functions: the camera a centroid solve derives from its principal point,
// the refusal of the Sun without an image, and one solve with and without a tracker
// on a rendered sky from the bundled all-sky catalog.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/fix.hpp"
#include "core/site.hpp"
#include "core/units.hpp"

namespace stelvane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Catalog allsky() {
    const std::string dir = STELVANE_DATA_DIR;
    auto loaded = Catalog::load(dir + "/allsky.scat", dir + "/allsky.sprs");
    EXPECT_TRUE(loaded.ok());
    return loaded ? std::move(loaded).value() : Catalog{};
}

TEST(CameraFromPrincipalPoint, IdealFisheyeFillsTheDerivedExtent) {
    // cx = 320, cy = 240 stand for a 640 x 480 image: the 180 deg field fills 480 rows.
    LensSpec lens;
    lens.cx = 320.0;
    lens.cy = 240.0;
    lens.fisheye_fov_deg = 180.0;
    const Camera camera = camera_from_principal_point(lens);
    EXPECT_EQ(camera.kind, Projection::EquidistantFisheye);
    EXPECT_DOUBLE_EQ(camera.focal_px, 240.0 / (M_PI / 2.0));
    EXPECT_EQ(camera.cx, 320.0);
    EXPECT_EQ(camera.cy, 240.0);
}

class SunWithoutImage : public ::testing::TestWithParam<bool> {};

TEST_P(SunWithoutImage, IsRefusedBeforeAnythingElse) {
    // A NaN lens and a zero up vector would fail later; the refusal comes first.
    SolveRequest request;
    request.lens.focal_px = kNaN;
    request.up_cam = Vec3::Zero();
    request.options.use_sun = true;
    const std::vector<Centroid> centroids(5, Centroid{1.0, 2.0, 3.0});
    FixHistory history;
    const Catalog catalog;
    const std::optional<Tracking> tracking =
        GetParam() ? std::optional<Tracking>(Tracking{history, {60.0, 10.0}}) : std::nullopt;
    const auto fix = resolve_at_site(std::span<const Centroid>(centroids), request, catalog, tracking);
    ASSERT_FALSE(fix);
    EXPECT_EQ(fix.error().message(), "bad image: use_sun requires the image path");
    EXPECT_FALSE(history.reference());
}

INSTANTIATE_TEST_SUITE_P(Site, SunWithoutImage, ::testing::Bool());

// A 180 deg fisheye sky over (52 N, 4 W), solved from its drawn star centres and
// from its pixels; a tracker records the healthy fix as its next reference.
class RenderedSky : public ::testing::Test {
protected:
    void SetUp() override {
        catalog = allsky();
        SceneRequest r;
        r.lat_deg = 52.0;
        r.lon_deg = -4.0;
        r.jd_ut = 2460400.5;
        r.width = 1024;
        r.height = 1024;
        r.lens.fisheye_fov_deg = 180.0;
        r.mag_limit = 4.0f;
        r.seed = 7;
        auto rendered = synthesize_scene_at_site(catalog, r);
        ASSERT_TRUE(rendered.ok());
        scene = std::move(rendered).value();
        request.lens.cx = 512.0;
        request.lens.cy = 512.0;
        request.lens.fisheye_fov_deg = 180.0;
        request.up_cam = scene.up_cam;
        request.jd = r.jd_ut;
        // Drawing order is brightest first: give the centroids falling fluxes.
        for (std::size_t k = 0; k < scene.star_pixels.size(); ++k) {
            centroids.push_back({scene.star_pixels[k].x, scene.star_pixels[k].y, 1000.0 - static_cast<double>(k)});
        }
    }

    Catalog catalog;
    Scene scene;
    SolveRequest request;
    std::vector<Centroid> centroids;
};

TEST_F(RenderedSky, CentroidsAndPixelsSolveToThePlace) {
    const GrayImage image{scene.width, scene.height, scene.pixels};
    for (const SolveSource& source : {SolveSource(std::span<const Centroid>(centroids)),
                                      SolveSource(ImageSource{image, std::nullopt})}) {
        const auto fix = resolve_at_site(source, request, catalog);
        ASSERT_TRUE(fix.ok()) << fix.error().message();
        EXPECT_LT(great_circle_nm(fix->latitude_deg, fix->longitude_deg, 52.0, -4.0), 1.0);
        EXPECT_FALSE(fix->used_sun);
    }
}

TEST_F(RenderedSky, TrackerRecordsTheHealthyFix) {
    FixHistory history;
    const auto fix = resolve_at_site(std::span<const Centroid>(centroids), request, catalog,
                                     Tracking{history, {3600.0, 50.0}});
    ASSERT_TRUE(fix.ok()) << fix.error().message();
    ASSERT_TRUE(history.reference());
    EXPECT_EQ(history.reference()->latitude_deg, fix->latitude_deg);
    EXPECT_EQ(history.reference()->longitude_deg, fix->longitude_deg);
    EXPECT_EQ(history.reference()->jd, request.jd);
    // A gate the fix cannot pass leaves the reference where it was.
    const FixReference before = *history.reference();
    request.options.min_matched_stars = 1000;
    request.jd += 1.0 / 24.0;
    const auto thin = resolve_at_site(std::span<const Centroid>(centroids), request, catalog,
                                      Tracking{history, {3600.0, 50.0}});
    ASSERT_FALSE(thin);
    EXPECT_EQ(thin.error().kind(), ErrorKind::ThinLock);
    EXPECT_EQ(history.reference()->jd, before.jd);
}

}  // namespace
}  // namespace stelvane
