// Internals of the foreground mask: mirrored indexing, the box mean, the
// city-block growth, the shape check and the flagged fraction.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/mask.hpp"

namespace stelvane {
namespace {

TEST(MirrorIndex, RepeatsTheBorderSampleAndReflectsBackAndForth) {
    // The line [a b c] extends as ... c b a | a b c | c b a | a b c ...
    struct Case {
        std::ptrdiff_t i;
        std::size_t want;
    };
    for (const Case& c : {Case{-1, 0}, Case{-2, 1}, Case{-3, 2}, Case{-4, 2}, Case{-5, 1}, Case{-6, 0},
                          Case{-7, 0}, Case{0, 0}, Case{2, 2}, Case{3, 2}, Case{4, 1}, Case{5, 0}, Case{6, 0},
                          Case{9, 2}, Case{32, 2}}) {
        EXPECT_EQ(mirror_index(c.i, 3), c.want) << "i = " << c.i;
    }
    for (std::ptrdiff_t i = -30; i <= 30; ++i) EXPECT_EQ(mirror_index(i, 1), 0u) << "i = " << i;
    EXPECT_EQ(mirror_index(-30, 100), 29u);
    EXPECT_EQ(mirror_index(130, 100), 69u);
}

TEST(BoxMean, CornerSampleIsCountedOncePerMirrorImage) {
    // A single 1 at (0, 0) of a 100 x 100 plane. The window centred on column x spans
    // [x - 30, x + 30] and reads sample 0 at positions 0 and -1: twice for x <= 29, once
    // for x = 30, never beyond. Rows likewise, and the box is the product.
    const std::size_t n = 100;
    std::vector<double> plane(n * n, 0.0);
    plane[0] = 1.0;
    const std::vector<double> mean = box_mean(plane, n, n);
    const double cell = 1.0 / (61.0 * 61.0);
    EXPECT_NEAR(mean[0], 4 * cell, 1e-15);
    EXPECT_NEAR(mean[29], 4 * cell, 1e-15);
    EXPECT_NEAR(mean[30], 2 * cell, 1e-15);
    EXPECT_NEAR(mean[31], 0.0, 1e-15);
    EXPECT_NEAR(mean[30 * n + 30], 1 * cell, 1e-15);
}

TEST(BoxMean, NarrowLineReflectsRepeatedly) {
    // Line [1 0 0 0 0] (length 5): the 61 mirrored samples centred on p hold the 1 once per
    // period-10 repetition that falls on index 0 or -1 (mod 10).
    const std::vector<double> plane{1, 0, 0, 0, 0};
    const std::vector<double> mean = box_mean(plane, 5, 1);
    for (std::size_t p = 0; p < 5; ++p) {
        int hits = 0;
        for (int i = static_cast<int>(p) - 30; i <= static_cast<int>(p) + 30; ++i) {
            const int r = ((i % 10) + 10) % 10;
            hits += (r == 0 || r == 9) ? 1 : 0;
        }
        // Rows of a one-row plane mirror onto the same row 61 times.
        EXPECT_NEAR(mean[p], hits / 61.0, 1e-12) << "p = " << p;
    }
}

TEST(CityBlockDistance, CornerSeedGivesAQuarterDiamond) {
    const std::size_t w = 40, h = 30;
    std::vector<std::uint8_t> seeds(w * h, 0);
    seeds[(h - 1) * w + (w - 1)] = 1;  // bottom-right corner
    const std::vector<std::uint32_t> dist = city_block_distance(seeds, w, h);
    for (std::size_t y = 0; y < h; ++y) {
        for (std::size_t x = 0; x < w; ++x) {
            const std::uint32_t want = static_cast<std::uint32_t>((w - 1 - x) + (h - 1 - y));
            ASSERT_EQ(dist[y * w + x], want) << "x = " << x << ", y = " << y;
        }
    }
}

TEST(CityBlockDistance, NearestOfSeveralSeedsAndInfinityWithoutSeeds) {
    const std::size_t w = 23, h = 17;
    std::vector<std::uint8_t> seeds(w * h, 0);
    const std::pair<int, int> at[] = {{3, 4}, {20, 1}, {11, 15}};
    for (auto [x, y] : at) seeds[static_cast<std::size_t>(y) * w + static_cast<std::size_t>(x)] = 1;
    const std::vector<std::uint32_t> dist = city_block_distance(seeds, w, h);
    for (int y = 0; y < static_cast<int>(h); ++y) {
        for (int x = 0; x < static_cast<int>(w); ++x) {
            int want = 1 << 30;
            for (auto [sx, sy] : at) want = std::min(want, std::abs(x - sx) + std::abs(y - sy));
            ASSERT_EQ(dist[static_cast<std::size_t>(y) * w + static_cast<std::size_t>(x)],
                      static_cast<std::uint32_t>(want));
        }
    }
    const std::vector<std::uint8_t> none(w * h, 0);
    for (std::uint32_t d : city_block_distance(none, w, h)) ASSERT_EQ(d, kDistanceInfinity);
}

TEST(MaskHelpers, EmptyOrMismatchedPlanesGiveEmptyResults) {
    const std::vector<double> plane(6, 1.0);
    EXPECT_TRUE(box_mean(plane, 0, 6).empty());
    EXPECT_TRUE(box_mean(plane, 4, 2).empty());
    const std::vector<std::uint8_t> seeds(6, 1);
    EXPECT_TRUE(city_block_distance(seeds, 6, 0).empty());
    EXPECT_TRUE(city_block_distance(seeds, 7, 1).empty());
    EXPECT_EQ(city_block_distance(seeds, 6, 1), std::vector<std::uint32_t>(6, 0));
}

TEST(ForegroundMask, BufferThatDoesNotMatchItsShapeIsBadImage) {
    const std::vector<std::uint16_t> pixels(15, 100);
    const GrayImage image{4, 4, pixels};
    const auto result = foreground_mask(image);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message(), "bad image: 4x4 does not match 15 pixels");
    const GrayImage empty{0, 0, {}};
    EXPECT_EQ(foreground_mask(empty).error().message(), "bad image: 0x0 does not match 0 pixels");
}

TEST(ForegroundMask, FractionOfTheBottomBandFrame) {
    // 200 x 300 frame, bottom 100 rows bright: rows from 39 above the band are flagged,
    // 139 of 300 rows.
    const std::size_t w = 200, h = 300;
    std::vector<std::uint16_t> pixels(w * h, 500);
    for (std::size_t i = (h - 100) * w; i < w * h; ++i) pixels[i] = 40000;
    const auto result = foreground_mask(GrayImage{w, h, pixels});
    ASSERT_TRUE(result.ok());
    EXPECT_DOUBLE_EQ(result->fraction, 139.0 / 300.0);
    EXPECT_EQ(result->mask.width, w);
    EXPECT_EQ(result->mask.height, h);
    EXPECT_FALSE(result->mask.view().at(0, h - 140));
    EXPECT_TRUE(result->mask.view().at(w - 1, h - 139));
}

}  // namespace
}  // namespace stelvane
