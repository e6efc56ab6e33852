// Non-stars a frame betrays: a hot pixel is sharper than any star's PSF, and a
// blown-out region takes the detections in its glare with it.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/nonstars.hpp"

namespace stelvane {
namespace {

constexpr std::size_t W = 64, H = 48;
constexpr double PEDESTAL = 1000.0;

struct Frame {
    std::vector<double> values = std::vector<double>(W * H, PEDESTAL);
    std::vector<std::uint16_t> pixels;

    double& at(std::size_t x, std::size_t y) { return values[y * W + x]; }
    GrayImage image() {
        pixels.clear();
        for (double v : values) pixels.push_back(static_cast<std::uint16_t>(std::clamp(std::round(v), 0.0, 65535.0)));
        return {W, H, pixels};
    }
};

// A Gaussian star of PSF sigma centred on pixel (x, y), integrated over each pixel as a sensor
// does; `total` is its whole light.
void add_star(Frame& f, std::size_t x, std::size_t y, double sigma, double total) {
    auto share = [&](double d) {
        return 0.5 * (std::erf((d + 0.5) / (sigma * M_SQRT2)) - std::erf((d - 0.5) / (sigma * M_SQRT2)));
    };
    for (std::size_t py = 0; py < H; ++py) {
        for (std::size_t px = 0; px < W; ++px) {
            f.at(px, py) += total * share(static_cast<double>(px) - static_cast<double>(x)) *
                            share(static_cast<double>(py) - static_cast<double>(y));
        }
    }
}

// A hot pixel of `peak` whose four side neighbours get `bleed` of it.
void add_hot(Frame& f, std::size_t x, std::size_t y, double peak, double bleed) {
    f.at(x, y) += peak;
    f.at(x - 1, y) += bleed * peak;
    f.at(x + 1, y) += bleed * peak;
    f.at(x, y - 1) += bleed * peak;
    f.at(x, y + 1) += bleed * peak;
}

struct SharpnessCase {
    const char* name;
    double sigma;  // > 0: a star of this PSF; 0: a hot pixel
    double bleed;
    bool hot;
};

void PrintTo(const SharpnessCase& c, std::ostream* os) { *os << c.name; }

class HotPixel : public ::testing::TestWithParam<SharpnessCase> {};

// A hot pixel with side bleed b holds 1 / (1 + 4 b) of its 3 x 3 light: above 0.7 up to
// b = 0.107. A pixel-centred Gaussian of sigma 0.45 px holds erf(0.5 / (0.45 sqrt 2))^2 /
// erf(1.5 / (0.45 sqrt 2))^2 = 0.58 of it.
TEST_P(HotPixel, IsTheDetectionSharperThanAStar) {
    const SharpnessCase c = GetParam();
    Frame f;
    if (c.sigma > 0.0) {
        add_star(f, 30, 20, c.sigma, 40000.0);
    } else {
        add_hot(f, 30, 20, 40000.0, c.bleed);
    }
    const GrayImage image = f.image();
    EXPECT_EQ(looks_like_hot_pixel(image, Centroid{30.2, 19.9, 1.0}), c.hot);
}

INSTANTIATE_TEST_SUITE_P(
    Sharpness, HotPixel,
    ::testing::Values(SharpnessCase{"lone pixel", 0.0, 0.0, true}, SharpnessCase{"bleed 5 %", 0.0, 0.05, true},
                      SharpnessCase{"bleed 10 %", 0.0, 0.10, true}, SharpnessCase{"bleed 12 %", 0.0, 0.12, false},
                      SharpnessCase{"star sigma 0.45", 0.45, 0.0, false},
                      SharpnessCase{"star sigma 0.7", 0.7, 0.0, false},
                      SharpnessCase{"star sigma 1.3", 1.3, 0.0, false}));

TEST(HotPixelEdges, APeakNearTheBorderOrBelowTheBackgroundIsNotHot) {
    Frame f;
    add_hot(f, 2, 20, 40000.0, 0.0);
    const GrayImage image = f.image();
    EXPECT_FALSE(looks_like_hot_pixel(image, Centroid{2.0, 20.0, 1.0}));
    EXPECT_FALSE(looks_like_hot_pixel(image, Centroid{30.0, 20.0, 1.0}));  // flat sky
    EXPECT_FALSE(looks_like_hot_pixel(image, Centroid{std::nan(""), 20.0, 1.0}));
}

// Saturated discs of radius r around (cx, cy).
void add_disc(Frame& f, double cx, double cy, double r) {
    for (std::size_t y = 0; y < H; ++y) {
        for (std::size_t x = 0; x < W; ++x) {
            if (std::hypot(static_cast<double>(x) - cx, static_cast<double>(y) - cy) <= r) f.at(x, y) = 65535.0;
        }
    }
}

std::size_t disc_area(double cx, double cy, double r) {
    std::size_t n = 0;
    for (std::size_t y = 0; y < H; ++y) {
        for (std::size_t x = 0; x < W; ++x) n += std::hypot(static_cast<double>(x) - cx, static_cast<double>(y) - cy) <= r;
    }
    return n;
}

TEST(BlownOut, TheLargestRegionOfAtLeastTheMinimumWins) {
    Frame f;
    add_disc(f, 15.0, 15.0, 4.6);  // 69 pixels
    add_disc(f, 45.0, 30.0, 6.2);  // 121 pixels
    const GrayImage image = f.image();
    const auto best = largest_blown_out_region(image, std::nullopt, 50);
    ASSERT_TRUE(best.has_value());
    EXPECT_EQ(best->area_px, disc_area(45.0, 30.0, 6.2));
    EXPECT_DOUBLE_EQ(best->centre.x, 45.0);
    EXPECT_DOUBLE_EQ(best->centre.y, 30.0);
    EXPECT_DOUBLE_EQ(best->glare_radius_px(), 4.0 * std::sqrt(static_cast<double>(best->area_px)));
    EXPECT_FALSE(largest_blown_out_region(image, std::nullopt, disc_area(45.0, 30.0, 6.2) + 1).has_value());
}

// A frame whose pixel count is not a multiple of the scan's runs: regions straddling run
// boundaries and one ending on the very last pixel are found whole.
TEST(BlownOut, RegionsAcrossScanRunsAndAtTheLastPixelAreWhole) {
    constexpr std::size_t w = 37, h = 29;  // 1073 pixels: four runs of 256 and a tail of 49
    std::vector<std::uint16_t> pixels(w * h, 1000);
    for (std::size_t p : {std::size_t{511}, std::size_t{512}, std::size_t{513}, std::size_t{255}, 256 + w}) {
        pixels[p] = 65535;  // a row of 3 across 511 | 512, and two lone pixels
    }
    for (std::size_t y = 25; y < h; ++y) pixels[y * w + 36] = 65535;  // a column of 4 to pixel 1072
    const GrayImage image{w, h, pixels};
    const auto column = largest_blown_out_region(image, std::nullopt, 1);
    ASSERT_TRUE(column.has_value());
    EXPECT_EQ(column->area_px, 4u);
    EXPECT_DOUBLE_EQ(column->centre.x, 36.0);
    EXPECT_DOUBLE_EQ(column->centre.y, 26.5);
    std::vector<std::uint8_t> flags(w * h, 0);
    for (std::size_t y = 25; y < h; ++y) flags[y * w + 36] = 1;
    const auto row = largest_blown_out_region(image, PixelMask{w, h, flags}, 1);
    ASSERT_TRUE(row.has_value());
    EXPECT_EQ(row->area_px, 3u);
    EXPECT_DOUBLE_EQ(row->centre.x, 31.0);
    EXPECT_DOUBLE_EQ(row->centre.y, 13.0);
}

TEST(BlownOut, AMaskedColumnCutsTheDiscAndAWrongMaskGivesNothing) {
    Frame f;
    add_disc(f, 30.0, 24.0, 8.0);
    const GrayImage image = f.image();
    std::vector<std::uint8_t> flags(W * H, 0);
    for (std::size_t y = 0; y < H; ++y) flags[y * W + 30] = 1;
    const auto halves = largest_blown_out_region(image, PixelMask{W, H, flags}, 1);
    ASSERT_TRUE(halves.has_value());
    EXPECT_LT(halves->area_px, disc_area(30.0, 24.0, 8.0) / 2);
    EXPECT_FALSE(largest_blown_out_region(image, PixelMask{W, H - 1, flags}, 1).has_value());
}

TEST(BlownOut, DetectionsInTheGlareAndHotPixelsAreDropped) {
    Frame f;
    add_disc(f, 20.0, 24.0, 5.0);
    add_hot(f, 50, 10, 40000.0, 0.0);
    const GrayImage image = f.image();
    const double radius = 4.0 * std::sqrt(static_cast<double>(disc_area(20.0, 24.0, 5.0)));
    std::vector<Centroid> detections{{20.0 + radius - 0.01, 24.0, 9.0}, {50.0, 10.0, 8.0},
                                     {20.0, 24.0 + radius + 0.01, 7.0}};
    const auto blown = drop_nonstars(image, std::nullopt, 50, std::nullopt, detections);
    ASSERT_TRUE(blown.has_value());
    ASSERT_EQ(detections.size(), 1u);
    EXPECT_DOUBLE_EQ(detections[0].flux, 7.0);

    // A disc already known (a found Sun's) clears its own glare, and the frame's blown-out
    // region is not looked for.
    std::vector<Centroid> again{{60.0 + 8.0 - 0.01, 40.0, 9.0}, {50.0, 10.0, 8.0}, {60.0, 40.0 + 8.0 + 0.01, 7.0},
                                {20.0, 24.0, 6.0}};  // glare radius 4 sqrt(4) = 8 px
    EXPECT_FALSE(drop_nonstars(image, std::nullopt, 50, BlownOut{Pixel{60.0, 40.0}, 4}, again).has_value());
    ASSERT_EQ(again.size(), 2u);
    EXPECT_DOUBLE_EQ(again[0].flux, 7.0);
    EXPECT_DOUBLE_EQ(again[1].flux, 6.0);
}

TEST(BlownOut, TheMinimumAreaFollowsTheMoonsSmallestDisc) {
    Camera pinhole;
    pinhole.focal_px = 2200.0;
    const double r = 14.7 / 60.0 * M_PI / 180.0 * 2200.0;
    EXPECT_EQ(min_blown_out_area(pinhole), static_cast<std::size_t>(std::ceil(0.5 * M_PI * r * r)));
    Camera short_lens;
    short_lens.focal_px = 600.0;  // the half disc is 18 pixels: the floor holds
    EXPECT_EQ(min_blown_out_area(short_lens), nonstar_constants::MIN_BLOWN_OUT_AREA);
}

}  // namespace
}  // namespace stelvane
