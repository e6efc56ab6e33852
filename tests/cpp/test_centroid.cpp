// The background mesh, the robust noise figure, the log-parabola peak, the
// Gaussian taps and the solar-disc detector, against hand-worked values and
// sort-based reference statistics computed here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "core/centroid.hpp"

namespace stelvane {
namespace {

GrayImage view(const std::vector<std::uint16_t>& px, std::size_t w, std::size_t h) { return {w, h, px}; }
PixelMask view(const std::vector<std::uint8_t>& flags, std::size_t w, std::size_t h) { return {w, h, flags}; }

// Reference robust sigma: full sorts, element floor(n / 2), 1.4826 x MAD.
double reference_robust_std(std::vector<double> r) {
    std::sort(r.begin(), r.end());
    const double m = r[r.size() / 2];
    for (double& v : r) v = std::fabs(v - m);
    std::sort(r.begin(), r.end());
    return 1.4826 * r[r.size() / 2];
}

TEST(Background, OneTileIsItsUpperMedianEverywhere) {
    // 0 .. 1023 shuffled: element 512 of the sorted values is 512 (a mean of the middle pair would be 511.5).
    std::vector<std::uint16_t> px(1024);
    for (std::size_t i = 0; i < px.size(); ++i) px[i] = static_cast<std::uint16_t>(i);
    std::shuffle(px.begin(), px.end(), std::mt19937(7));
    const auto bg = estimate_background(view(px, 32, 32), std::nullopt);
    ASSERT_EQ(bg.size(), 1024u);
    for (const double v : bg) ASSERT_EQ(v, 512.0);
}

TEST(Background, EvenCountTakesTheUpperMiddleValue) {
    const std::vector<std::uint16_t> px{40, 10, 30, 20};
    for (const double v : estimate_background(view(px, 2, 2), std::nullopt)) EXPECT_EQ(v, 30.0);
}

// A frame 33 pixels long on one axis: tile centres at 15.5 and 32 (a one-pixel last tile).
class ThirtyThree : public ::testing::TestWithParam<bool> {};

TEST_P(ThirtyThree, TileCentresAndBlend) {
    const bool along_rows = GetParam();
    const std::size_t w = along_rows ? 32 : 33;
    const std::size_t h = along_rows ? 33 : 32;
    std::vector<std::uint16_t> px(w * h, 100);
    for (std::size_t y = 0; y < h; ++y) {
        for (std::size_t x = 0; x < w; ++x) {
            if ((along_rows ? y : x) == 32) px[y * w + x] = 200;
        }
    }
    const auto bg = estimate_background(view(px, w, h), std::nullopt);
    for (std::size_t q = 0; q < 33; ++q) {
        const std::size_t p = along_rows ? q * w + 5 : 5 * w + q;
        double want = 100.0;
        if (q == 32) want = 200.0;
        else if (q > 15) want = 100.0 + 100.0 * ((static_cast<double>(q) - 15.5) / 16.5);
        EXPECT_NEAR(bg[p], want, 1e-9) << "coordinate " << q;
    }
    EXPECT_EQ(bg[along_rows ? 15 * w : 15], 100.0);  // before the first centre: held, not extrapolated
}

INSTANTIATE_TEST_SUITE_P(Axes, ThirtyThree, ::testing::Values(false, true));

TEST(Background, EmptyTileTakesTheFrameUpperMedian) {
    // Three tiles: the first fully masked (bright roof), then 100s and 300s. The frame's
    // upper median of unmasked pixels is 300 (a mean would give 200, the neighbour 100).
    const std::size_t w = 96, h = 32;
    std::vector<std::uint16_t> px(w * h);
    std::vector<std::uint8_t> mask(w * h, 0);
    for (std::size_t y = 0; y < h; ++y) {
        for (std::size_t x = 0; x < w; ++x) {
            px[y * w + x] = x < 32 ? 60000 : (x < 64 ? 100 : 300);
            mask[y * w + x] = x < 32;
        }
    }
    const auto bg = estimate_background(view(px, w, h), view(mask, w, h));
    EXPECT_EQ(bg[0], 300.0);
    EXPECT_EQ(bg[15], 300.0);
    EXPECT_EQ(bg[47], 300.0 - 200.0 * (31.5 / 32.0));  // tile centres 15.5 and 47.5
    EXPECT_EQ(bg[95], 300.0);
}

TEST(Background, MaskedValuesNeverMatter) {
    const std::size_t w = 70, h = 45;
    std::mt19937 rng(3);
    std::normal_distribution<double> noise(1000.0, 20.0);
    std::vector<std::uint16_t> px(w * h);
    std::vector<std::uint8_t> mask(w * h, 0);
    for (std::size_t p = 0; p < px.size(); ++p) {
        px[p] = static_cast<std::uint16_t>(std::lround(noise(rng)));
        mask[p] = (p % w) + (p / w) > 80;  // a diagonal roofline
    }
    auto roof = px;
    for (std::size_t p = 0; p < px.size(); ++p) {
        if (mask[p]) roof[p] = 65535;
    }
    const auto a = estimate_background(view(px, w, h), view(mask, w, h));
    const auto b = estimate_background(view(roof, w, h), view(mask, w, h));
    EXPECT_EQ(a, b);
    EXPECT_EQ(residual_robust_std(view(px, w, h), a, view(mask, w, h)),
              residual_robust_std(view(roof, w, h), b, view(mask, w, h)));
}

TEST(Background, EmptyFrameHasAnEmptyPlane) {
    EXPECT_TRUE(estimate_background(GrayImage{0, 0, {}}, std::nullopt).empty());
    EXPECT_TRUE(estimate_background(GrayImage{5, 0, {}}, std::nullopt).empty());
}

TEST(Background, AllMaskedGivesZeroAndNoNoise) {
    const std::vector<std::uint16_t> px(40 * 40, 777);
    const std::vector<std::uint8_t> mask(40 * 40, 1);
    const auto bg = estimate_background(view(px, 40, 40), view(mask, 40, 40));
    for (const double v : bg) ASSERT_EQ(v, 0.0);
    EXPECT_FALSE(residual_robust_std(view(px, 40, 40), bg, view(mask, 40, 40)).has_value());
}

TEST(RobustStd, HandWorkedResiduals) {
    // Zero pixels over a background of -r give residuals r = 1, 2, 3, 4, 100, -5:
    // upper median 3; deviations 2, 1, 0, 1, 97, 8 have upper median 2.
    const std::vector<std::uint16_t> px(6, 0);
    const std::vector<double> bg{-1, -2, -3, -4, -100, 5};
    EXPECT_EQ(residual_robust_std(view(px, 6, 1), bg, std::nullopt), 1.4826 * 2.0);
    // Masking the 100 leaves 1, 2, 3, 4, -5: median 2, deviations 1, 0, 1, 2, 7 -> 1.
    const std::vector<std::uint8_t> mask{0, 0, 0, 0, 1, 0};
    EXPECT_EQ(residual_robust_std(view(px, 6, 1), bg, view(mask, 6, 1)), 1.4826 * 1.0);
}

// Large frames take the bucketed selection; it must agree bit for bit with full sorts.
struct Spread {
    const char* name;
    double sigma;
    double outlier_fraction;
    bool integral_background;
};

class RobustStdLarge : public ::testing::TestWithParam<Spread> {};

TEST_P(RobustStdLarge, MatchesSortedReference) {
    const Spread s = GetParam();
    const std::size_t w = 300, h = 250;
    std::mt19937_64 rng(11);
    std::normal_distribution<double> noise(2000.0, s.sigma);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<std::uint16_t> px(w * h);
    std::vector<double> bg(w * h);
    std::vector<std::uint8_t> mask(w * h, 0);
    for (std::size_t p = 0; p < px.size(); ++p) {
        const double v = unit(rng) < s.outlier_fraction ? 65535.0 * unit(rng) : noise(rng);
        px[p] = static_cast<std::uint16_t>(std::clamp(std::lround(v), 0L, 65535L));
        bg[p] = s.integral_background ? 2000.0 : 1990.0 + 20.0 * unit(rng);
        mask[p] = unit(rng) < 0.1;
    }
    std::vector<double> all, sky;
    for (std::size_t p = 0; p < px.size(); ++p) {
        all.push_back(px[p] - bg[p]);
        if (!mask[p]) sky.push_back(px[p] - bg[p]);
    }
    EXPECT_EQ(residual_robust_std(view(px, w, h), bg, std::nullopt), reference_robust_std(all)) << s.name;
    EXPECT_EQ(residual_robust_std(view(px, w, h), bg, view(mask, w, h)), reference_robust_std(sky)) << s.name;
}

INSTANTIATE_TEST_SUITE_P(Distributions, RobustStdLarge,
                         ::testing::Values(Spread{"sky noise", 12.0, 0.0, false},
                                           Spread{"stars and hot pixels", 12.0, 0.05, false},
                                           Spread{"integer residuals, many ties", 3.0, 0.01, true},
                                           Spread{"flat but for outliers", 0.0, 0.3, true},
                                           Spread{"mostly outliers", 5.0, 0.7, false}));

TEST(RobustStd, ExactWhenTheSpreadHidesFromAStridedSample) {
    // Every 4th pixel (the ones a strided look at the frame would see) sits within a
    // count of the sky; the rest scatter over +-30000. The exact answer must not care.
    const std::size_t w = 300, h = 250;
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> wide(-30000.0, 30000.0);
    std::uniform_real_distribution<double> tight(-1.0, 1.0);
    std::vector<std::uint16_t> px(w * h);
    std::vector<double> bg(w * h, 30000.25);
    std::vector<double> r;
    for (std::size_t p = 0; p < px.size(); ++p) {
        px[p] = static_cast<std::uint16_t>(std::lround(30000.0 + (p % 4 == 2 ? tight(rng) : wide(rng))));
        r.push_back(px[p] - bg[p]);
    }
    EXPECT_EQ(residual_robust_std(view(px, w, h), bg, std::nullopt), reference_robust_std(r));
}

TEST(LogParabolaPeak, RefusesWhatItCannotFit) {
    using P = std::vector<double>;
    EXPECT_FALSE(log_parabola_peak(P{}).has_value());
    EXPECT_FALSE(log_parabola_peak(P{1.0, 2.0}).has_value());
    EXPECT_FALSE(log_parabola_peak(P{5.0, 2.0, 1.0}).has_value());   // peak at the first index
    EXPECT_FALSE(log_parabola_peak(P{1.0, 2.0, 5.0}).has_value());   // peak at the last index
    EXPECT_FALSE(log_parabola_peak(P{0.0, 5.0, 1.0}).has_value());   // a neighbour not positive
    EXPECT_FALSE(log_parabola_peak(P{-1.0, 5.0, 1.0}).has_value());
    EXPECT_FALSE(log_parabola_peak(P{3.0, 3.0, 3.0}).has_value());   // ties: the first (an end) wins
}

TEST(LogParabolaPeak, VertexOfTheLogParabola) {
    using P = std::vector<double>;
    EXPECT_EQ(log_parabola_peak(P{1.0, 4.0, 1.0}), 1.0);
    // Ties go to the first maximum: index 2 fits to 2.5; the last (index 3) would be an end.
    EXPECT_NEAR(*log_parabola_peak(P{5.0, 5.0, 9.0, 9.0}), 2.5, 1e-15);
    // Exact for a sampled Gaussian, whatever its width.
    for (const double centre : {2.3, 1.6, 2.0, 2.49}) {
        for (const double sigma : {0.7, 1.0, 2.5}) {
            P g;
            for (int i = 0; i < 5; ++i) g.push_back(1000.0 * std::exp(-(i - centre) * (i - centre) / (2 * sigma * sigma)));
            EXPECT_NEAR(*log_parabola_peak(g), centre, 1e-12) << "centre " << centre << " sigma " << sigma;
        }
    }
}

TEST(GaussianKernel, WidthsAndNormalisation) {
    struct Case { double sigma; std::size_t taps; };
    for (const Case c : {Case{1.0, 7}, Case{1.5, 11}, Case{0.2, 3}, Case{0.01, 3}, Case{64.0, 385}}) {
        const auto k = gaussian_kernel(c.sigma);
        ASSERT_EQ(k.size(), c.taps) << "sigma " << c.sigma;
        double sum = 0.0;
        for (const double t : k) sum += t;
        EXPECT_NEAR(sum, 1.0, 1e-14);
        const std::size_t r = k.size() / 2;
        for (std::size_t i = 1; i <= r; ++i) EXPECT_EQ(k[r - i], k[r + i]);
        if (c.sigma >= 1.0) EXPECT_NEAR(k[r + 1] / k[r], std::exp(-0.5 / (c.sigma * c.sigma)), 1e-15);
    }
}

// Solar disc frames: a 1000-count sky, saturated regions, optional mask.
struct SunFrame {
    std::size_t w = 240, h = 200;
    std::vector<std::uint16_t> px = std::vector<std::uint16_t>(240 * 200, 1000);
    std::vector<std::uint8_t> mask = std::vector<std::uint8_t>(240 * 200, 0);

    void disc(double cx, double cy, double radius, std::uint16_t value = 65535) {
        for (std::size_t y = 0; y < h; ++y) {
            for (std::size_t x = 0; x < w; ++x) {
                if (std::hypot(x - cx, y - cy) <= radius) px[y * w + x] = value;
            }
        }
    }
    void block(std::size_t x0, std::size_t y0, std::size_t bw, std::size_t bh, std::uint16_t value = 65535) {
        for (std::size_t y = y0; y < y0 + bh; ++y) std::fill_n(px.begin() + y * w + x0, bw, value);
    }
    std::optional<Centroid> sun(std::size_t min_area, bool masked = false) const {
        return detect_sun_masked(view(px, w, h), min_area,
                                 masked ? std::optional<PixelMask>(view(mask, w, h)) : std::nullopt);
    }
};

TEST(SunDisc, DiscWinsOverStreetlight) {
    SunFrame f;
    f.disc(100.0, 80.0, 25.2);  // 2000 pixels or so, symmetric about (100, 80)
    f.block(200, 150, 8, 5);    // a 40-pixel streetlight
    const auto sun = f.sun(300);
    ASSERT_TRUE(sun.has_value());
    EXPECT_EQ(sun->x, 100.0);
    EXPECT_EQ(sun->y, 80.0);
    std::size_t area = 0;
    for (const auto v : f.px) area += v == 65535;
    EXPECT_EQ(sun->flux, (area - 40) * (65535.0 - 1000.0));

    SunFrame lamp;
    lamp.block(200, 150, 8, 5);
    EXPECT_FALSE(lamp.sun(300).has_value());
    // min_area 0: any bright region qualifies.
    const auto any = lamp.sun(0);
    ASSERT_TRUE(any.has_value());
    EXPECT_EQ(any->x, 203.5);
    EXPECT_EQ(any->y, 152.0);
}

TEST(SunDisc, EqualAreasKeepTheFirstFound) {
    SunFrame f;
    f.block(150, 40, 20, 20);  // first pixel (150, 40)
    f.block(20, 100, 20, 20);  // first pixel (20, 100): later in row-major order
    const auto sun = f.sun(300);
    ASSERT_TRUE(sun.has_value());
    EXPECT_EQ(sun->x, 159.5);
    EXPECT_EQ(sun->y, 49.5);
}

TEST(SunDisc, PoleSplitsTheDiscAndTheLargerHalfIsReturned) {
    SunFrame f;
    f.disc(100.0, 80.0, 25.2);
    double sx = 0, sy = 0, n = 0;
    for (std::size_t y = 0; y < f.h; ++y) {
        for (std::size_t x = 0; x < f.w; ++x) {
            if (x == 92) f.mask[y * f.w + x] = 1;  // the pole
            if (x > 92 && f.px[y * f.w + x] == 65535) {
                sx += static_cast<double>(x);
                sy += static_cast<double>(y);
                n += 1;
            }
        }
    }
    const auto sun = f.sun(300, true);
    ASSERT_TRUE(sun.has_value());
    EXPECT_NEAR(sun->x, sx / n, 1e-12);
    EXPECT_NEAR(sun->y, sy / n, 1e-12);
    EXPECT_EQ(sun->flux, n * (65535.0 - 1000.0));
}

TEST(SunDisc, BorderIsAcceptedAndShapesAreChecked) {
    SunFrame f;
    f.block(0, 0, 30, 30);
    const auto sun = f.sun(300);
    ASSERT_TRUE(sun.has_value());
    EXPECT_EQ(sun->x, 14.5);
    EXPECT_EQ(sun->y, 14.5);

    std::fill(f.mask.begin(), f.mask.end(), 1);
    EXPECT_FALSE(f.sun(0, true).has_value());  // every pixel masked

    const std::vector<std::uint8_t> wrong(f.w * (f.h - 1), 0);
    EXPECT_FALSE(detect_sun_masked(view(f.px, f.w, f.h), 300, view(wrong, f.w, f.h - 1)).has_value());
    EXPECT_FALSE(detect_sun_masked(view(f.px, f.w, f.h + 1), 300, std::nullopt).has_value());
    EXPECT_FALSE(detect_sun_masked(GrayImage{0, 0, {}}, 0, std::nullopt).has_value());
}

TEST(SunDisc, ThresholdFollowsTheFrameSpread) {
    // A sky alternating 0 / 4000 has upper median 4000 and MAD 0 -> T = 6048;
    // with a 6047 block nothing is bright, with 6048 the block is the disc.
    for (const std::uint16_t level : {std::uint16_t{6047}, std::uint16_t{6048}}) {
        SunFrame f;
        for (std::size_t p = 0; p < f.px.size(); ++p) f.px[p] = (p % 3 == 0) ? 0 : 4000;
        f.block(50, 50, 20, 20, level);
        const auto sun = f.sun(300);
        EXPECT_EQ(sun.has_value(), level == 6048) << level;
    }
}

TEST(Detector, MeaninglessPsfWidthYieldsNothingRatherThanNaNs) {
    // Width 0 makes every tap NaN (0/0 at the centre); no NaN surface value clears the floor.
    std::vector<std::uint16_t> px(64 * 64, 1000);
    px[20 * 64 + 30] = 9000;
    for (const double sigma : {0.0, std::nan("")}) {
        const auto r = detect_centroids_matched(view(px, 64, 64), 5, sigma);
        ASSERT_TRUE(r.ok());
        EXPECT_TRUE(r->empty()) << sigma;
    }
}

TEST(Detector, ShapeErrors) {
    const std::vector<std::uint16_t> px(12, 0);
    const auto r = detect_centroids_masked(view(px, 4, 4), 5, std::nullopt);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "bad image: 4x4 does not match 12 pixels");
    const std::vector<std::uint8_t> flags(12, 0);
    const auto m = detect_centroids_masked(view(px, 4, 3), 5, view(flags, 3, 4));
    ASSERT_FALSE(m.ok());
    EXPECT_EQ(m.error().message(), "bad image: mask 3x4 (12 flags) does not match the 4x3 frame");
    const auto f = detect_centroids_matched(view(px, 0, 0), 5, 1.0);
    ASSERT_FALSE(f.ok());
    EXPECT_EQ(f.error().message(), "bad image: 0x0 does not match 12 pixels");
}

}  // namespace
}  // namespace stelvane
