// Internals of remapping: the pixel-count limit and its messages, the order of the
// extent checks (sources Python cannot build at that size), and the field test that
// stands in for the destination camera's vec_to_pixel.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "core/remap.hpp"

namespace stelvane {
namespace {

TEST(PixelCount, ExactlyTheLimitPassesOneMoreFails) {
    struct Case {
        std::uint64_t w, h;
        const char* message;  // nullptr: accepted
    };
    const Case cases[] = {
        {16384, 16384, nullptr},
        {268435456, 1, nullptr},
        {1, 268435456, nullptr},
        {0, 4000000000000ull, nullptr},
        {16384, 16385, "bad image: destination image 16384x16385 is 268451840 pixels, over the 268435456 limit"},
        {268435457, 1, "bad image: destination image 268435457x1 is 268435457 pixels, over the 268435456 limit"},
        {4294967296ull, 4294967296ull, "bad image: destination image 4294967296x4294967296 overflows a pixel count"},
        {18446744073709551615ull, 2, "bad image: destination image 18446744073709551615x2 overflows a pixel count"},
    };
    for (const Case& c : cases) {
        const auto r = pixel_count("destination image", c.w, c.h);
        if (c.message == nullptr) {
            ASSERT_TRUE(r.ok()) << c.w << "x" << c.h;
            EXPECT_EQ(*r, c.w * c.h);
        } else {
            ASSERT_FALSE(r.ok()) << c.w << "x" << c.h;
            EXPECT_EQ(r.error().message(), c.message);
        }
    }
}

Camera unit_pinhole() { return Camera::from_fov(4, 4, std::nullopt, 10.0, 1.5, 1.5, 0, 0, 0, 0); }

TEST(RemapChecks, SourceExtentThenSourceBufferThenDestination) {
    const Camera cam = unit_pinhole();
    const std::vector<std::uint16_t> none;
    // An over-limit source is refused before its (empty) buffer is compared.
    const GrayImage huge{16385, 16384, none};
    EXPECT_EQ(remap_image(huge, cam, cam, 16385, 16384, 0).error().message(),
              "bad image: source image 16385x16384 is 268451840 pixels, over the 268435456 limit");
    const std::vector<std::uint16_t> fifteen(15, 1);
    EXPECT_EQ(remap_image(GrayImage{4, 4, fifteen}, cam, cam, 16385, 16384, 0).error().message(),
              "bad image: source image 4x4 does not match 15 pixels");
    const std::vector<std::uint16_t> sixteen(16, 1);
    EXPECT_EQ(remap_image(GrayImage{4, 4, sixteen}, cam, cam, 16385, 16384, 0).error().message(),
              "bad image: destination image 16385x16384 is 268451840 pixels, over the 268435456 limit");

    const std::vector<std::uint8_t> flags(15, 0);
    EXPECT_EQ(remap_mask(PixelMask{16385, 16384, {}}, cam, cam, 4, 4).error().message(),
              "bad image: source mask 16385x16384 is 268451840 pixels, over the 268435456 limit");
    EXPECT_EQ(remap_mask(PixelMask{5, 3, flags}, cam, cam, 4, 4).ok(), true);
    EXPECT_EQ(remap_mask(PixelMask{4, 4, flags}, cam, cam, 4, 4).error().message(),
              "bad image: source mask 4x4 does not match 15 pixels");
    const std::vector<std::uint8_t> more(16, 0);
    EXPECT_EQ(remap_mask(PixelMask{4, 4, more}, cam, cam, 1ull << 32, 1ull << 32).error().message(),
              "bad image: destination mask 4294967296x4294967296 overflows a pixel count");
}

TEST(RemapMask, NonZeroSourceFlagsComeOutAsTrue) {
    // Flags are bytes; any non-zero byte is "not sky" and is written as 1.
    const Camera cam = unit_pinhole();
    const std::vector<std::uint8_t> flags{0, 7, 255, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    const auto r = remap_mask(PixelMask{4, 4, flags}, cam, cam, 4, 4);
    ASSERT_TRUE(r.ok());
    const std::vector<std::uint8_t> want{0, 1, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(r->flags, want);
}

TEST(InField, AgreesWithVecToPixelAtAndAroundTheFieldEdges) {
    const Camera cams[] = {
        Camera::from_fov(640, 480, std::nullopt, 500.0, 320, 240, 0, 0, 0, 0),
        Camera::from_fov(640, 480, 180.0, 0.0, 320, 240, 0, 0, 0, 0),
        Camera::from_fov(640, 480, 120.0, 0.0, 320, 240, 0, 0, 0, 0),
        Camera::from_fov(640, 480, 200.0, 300.0, 320, 240, 0.01, -0.002, 0, 0),
    };
    for (const Camera& cam : cams) {
        const double edge = cam.kind == Projection::Pinhole ? std::numbers::pi / 2 : cam.half_fov_rad;
        int inside = 0, outside = 0;
        for (int k = -2000; k <= 2000; ++k) {
            // Angles straddling the edge by a few ulps to a few degrees, at assorted azimuths.
            const double theta = edge + std::ldexp(static_cast<double>(k), -40) * (k % 7 == 0 ? 1e9 : 1.0);
            const double phi = 0.37 * k;
            const Vec3 v(std::sin(theta) * std::cos(phi), std::sin(theta) * std::sin(phi), std::cos(theta));
            const bool want = cam.vec_to_pixel(v).has_value();
            ASSERT_EQ(in_field(cam, v), want) << "kind " << static_cast<int>(cam.kind) << " theta " << theta;
            (want ? inside : outside) += 1;
        }
        EXPECT_GT(inside, 100);
        EXPECT_GT(outside, 100);
        // A direction exactly on the boresight's opposite, and one straight down the axis.
        EXPECT_EQ(in_field(cam, Vec3(0, 0, -1)), cam.vec_to_pixel(Vec3(0, 0, -1)).has_value());
        EXPECT_TRUE(in_field(cam, Vec3(0, 0, 1)));
    }
    // Pinhole: z exactly at the 1e-12 plane is outside, just above inside.
    const Camera pin = cams[0];
    EXPECT_EQ(in_field(pin, Vec3(1, 0, 1e-12)), pin.vec_to_pixel(Vec3(1, 0, 1e-12)).has_value());
    EXPECT_EQ(in_field(pin, Vec3(1, 0, std::nextafter(1e-12, 1.0))),
              pin.vec_to_pixel(Vec3(1, 0, std::nextafter(1e-12, 1.0))).has_value());
}

TEST(RemapImage, LargeDestinationSplitAcrossWorkersMatchesRowByRowExpectation) {
    // 400 x 300 destination (above the single-thread size) of a horizontal ramp through an
    // identical pinhole: every row must come out as the ramp, whichever worker wrote it.
    const std::size_t w = 400, h = 300;
    std::vector<std::uint16_t> ramp(w * h);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::uint16_t>(100 * (i % w) + i / w);
    const Camera cam = Camera::from_fov(400, 300, std::nullopt, 800.0, 199.5, 149.5, 0, 0, 0, 0);
    const auto r = remap_image(GrayImage{w, h, ramp}, cam, cam, w, h, 0);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->pixels, ramp);
}

}  // namespace
}  // namespace stelvane
