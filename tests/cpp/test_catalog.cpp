// The catalog reader, loader, separation lookup and star directions at a date,
// checked on byte images built here and against formulas written out in the test.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "core/catalog.hpp"

namespace stelvane {
namespace {

constexpr double kDeg = 0.017453292519943295;
constexpr double kMas = 4.8481368110953594e-9;

// Little-endian byte-image builder.
struct Bytes {
    std::vector<std::uint8_t> data;
    Bytes& raw(const char* s) {
        for (; *s != '\0'; ++s) data.push_back(static_cast<std::uint8_t>(*s));
        return *this;
    }
    Bytes& u16(std::uint16_t v) { return le(v, 2); }
    Bytes& u32(std::uint32_t v) { return le(v, 4); }
    Bytes& f32(float v) { return le(std::bit_cast<std::uint32_t>(v), 4); }
    Bytes& f64(double v) { return le(std::bit_cast<std::uint64_t>(v), 8); }
    Bytes& le(std::uint64_t v, int n) {
        for (int k = 0; k < n; ++k) data.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
        return *this;
    }
};

struct StarSpec {
    std::uint32_t hr;
    double ra_deg;
    double dec_deg;
};

Bytes catalog_image(const std::vector<StarSpec>& stars, double epoch = 2000.0) {
    Bytes b;
    b.raw("SCAT").u32(2).u32(static_cast<std::uint32_t>(stars.size())).f64(epoch);
    for (const StarSpec& s : stars) {
        const double ra = s.ra_deg * kDeg, dec = s.dec_deg * kDeg;
        b.u32(s.hr).f32(1.5f).f64(ra).f64(dec);
        b.f64(std::cos(dec) * std::cos(ra)).f64(std::cos(dec) * std::sin(ra)).f64(std::sin(dec));
        b.f32(0.0f).f32(0.0f).f32(0.0f);
    }
    return b;
}

Bytes pairs_image(const std::vector<Pair>& pairs) {
    Bytes b;
    b.raw("SPRS").u32(1).u32(static_cast<std::uint32_t>(pairs.size()));
    for (const Pair& p : pairs) b.f32(p.cos_theta).u16(p.i).u16(p.j);
    return b;
}

std::string message_of(const Result<Catalog>& r) { return r ? std::string("loaded") : r.error().message(); }

// --- Reader -----------------------------------------------------------------

TEST(Reader, DecodesLittleEndianFieldsAndAdvances) {
    Bytes b;
    b.u16(0xBEEF).u32(0xDEADBEEF).f32(-1.25f).f64(3.0e-300);
    Reader r(b.data);
    EXPECT_EQ(*r.u16(), 0xBEEF);
    EXPECT_EQ(*r.u32(), 0xDEADBEEFu);
    EXPECT_EQ(*r.f32(), -1.25f);
    EXPECT_EQ(*r.f64(), 3.0e-300);
    EXPECT_EQ(r.position(), 18u);
    EXPECT_TRUE(r.at_end());
}

TEST(Reader, ShortReadNamesWidthAndStartOffsetWithoutAdvancing) {
    const std::vector<std::uint8_t> seven(7, 0);
    Reader r(seven);
    ASSERT_TRUE(r.u32());
    auto f = r.f64();
    ASSERT_FALSE(f);
    EXPECT_EQ(f.error().message(), "catalog format error: truncated: wanted 8 bytes at offset 4");
    EXPECT_EQ(r.position(), 4u);
    EXPECT_EQ(r.remaining(), 3u);
    ASSERT_TRUE(r.u16());
    EXPECT_EQ(r.u16().error().message(), "catalog format error: truncated: wanted 2 bytes at offset 6");
}

TEST(Reader, BlockTakesWholeRunOrNamesItsWidth) {
    const std::vector<std::uint8_t> ten{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    Reader r(ten);
    ASSERT_TRUE(r.u16());
    auto b = r.block(6);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->size(), 6u);
    EXPECT_EQ((*b)[0], 2);
    EXPECT_EQ(r.position(), 8u);
    EXPECT_EQ(r.block(3).error().message(), "catalog format error: truncated: wanted 3 bytes at offset 8");
    EXPECT_TRUE(r.block(0));
    EXPECT_TRUE(r.block(2));
    EXPECT_TRUE(r.at_end());
}

TEST(Reader, ExpectHeaderChecksMagicThenVersionThenReadsCount) {
    Bytes good;
    good.raw("SPRS").u32(1).u32(77);
    Reader r(good.data);
    EXPECT_EQ(*r.expect_header("SPRS", 1), 77u);

    Bytes magic;
    magic.raw("SCAT").u32(1).u32(0);
    Reader rm(magic.data);
    EXPECT_EQ(rm.expect_header("SPRS", 1).error().message(), "catalog format error: bad magic, expected \"SPRS\"");

    Bytes version;
    version.raw("SCAT").u32(7);  // count missing too: the version check comes first
    Reader rv(version.data);
    EXPECT_EQ(rv.expect_header("SCAT", 2).error().message(),
              "catalog format error: unsupported version 7; this build reads version 2");
}

// --- from_bytes -------------------------------------------------------------

TEST(FromBytes, LoadsRecordsInFileOrderWithReservationMatchingCount) {
    const auto cat = catalog_image({{10, 0.0, 0.0}, {20, 90.0, 45.0}, {10, 180.0, -30.0}}, 2015.5);
    const auto prs = pairs_image({{-0.5f, 0, 1}, {-0.5f, 2, 1}, {0.25f, 1, 2}});
    auto r = Catalog::from_bytes(cat.data, prs.data);
    ASSERT_TRUE(r) << message_of(r);
    const Catalog& c = *r;
    EXPECT_EQ(c.epoch, 2015.5);
    ASSERT_EQ(c.stars.size(), 3u);
    EXPECT_EQ(c.stars.capacity(), 3u);
    EXPECT_EQ(c.stars[1].hr, 20u);
    EXPECT_EQ(c.stars[1].ra, 90.0 * kDeg);
    EXPECT_EQ(c.stars[1].dec, 45.0 * kDeg);
    EXPECT_EQ(c.stars[1].unit.z(), std::sin(45.0 * kDeg));
    EXPECT_EQ(c.stars[1].vmag, 1.5f);
    ASSERT_EQ(c.pairs.size(), 3u);
    EXPECT_EQ(c.pairs[1].i, 2);
    EXPECT_EQ(c.pairs[1].j, 1);
    EXPECT_EQ(c.pairs[2].cos_theta, 0.25f);
}

// --- the written images ----------------------------------------------------

struct Written {
    std::vector<std::uint8_t> catalog, pairs;
};

Written write_images(const Catalog& c) {
    Written w{std::vector<std::uint8_t>(c.catalog_image_size()), std::vector<std::uint8_t>(c.pairs_image_size())};
    c.write_catalog_image(w.catalog);
    c.write_pairs_image(w.pairs);
    return w;
}

// A star record with every field set apart from the others, built field by field.
Bytes odd_star_record(Bytes b, std::uint32_t hr, double ra) {
    const double nan_payload = std::bit_cast<double>(std::uint64_t{0x7FF8000000000ABCull});
    return b.u32(hr).f32(-1.46f).f64(ra).f64(-0.0).f64(nan_payload).f64(5e-324).f64(-1.0)
        .f32(std::numeric_limits<float>::infinity()).f32(-3.25f).f32(379.21f);
}

struct ImageCase {
    const char* name;
    Bytes catalog, pairs;
};

class WrittenImages : public ::testing::TestWithParam<ImageCase> {};

TEST_P(WrittenImages, AreTheParsedImagesByteForByte) {
    const ImageCase& c = GetParam();
    auto loaded = Catalog::from_bytes(c.catalog.data, c.pairs.data);
    ASSERT_TRUE(loaded) << message_of(loaded);
    const Written w = write_images(*loaded);
    EXPECT_EQ(w.catalog, c.catalog.data);
    EXPECT_EQ(w.pairs, c.pairs.data);
}

Bytes two_odd_stars() {
    Bytes b;
    b.raw("SCAT").u32(2).u32(2).f64(1991.25);
    return odd_star_record(odd_star_record(b, 4294967295u, 6.25), 0, -0.0);
}

INSTANTIATE_TEST_SUITE_P(
    Catalogs, WrittenImages,
    ::testing::Values(ImageCase{"empty", catalog_image({}), pairs_image({})},
                      ImageCase{"three_stars_equal_cosines",
                                catalog_image({{10, 0.0, 0.0}, {20, 90.0, 45.0}, {10, 180.0, -30.0}}, 2015.5),
                                pairs_image({{-0.5f, 0, 1}, {-0.5f, 2, 1}, {0.25f, 1, 2}})},
                      ImageCase{"nan_payload_negative_zero_subnormal_infinite_motion", two_odd_stars(),
                                pairs_image({{-1.0f, 1, 0}, {-0.0f, 0, 1}, {0.0f, 1, 1}, {1.0f, 0, 0}})}),
    [](const auto& info) { return std::string(info.param.name); });

std::vector<std::uint8_t> file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class BundledCatalog : public ::testing::TestWithParam<const char*> {};

TEST_P(BundledCatalog, WritesItsOwnFilesAgain) {
    const std::string base = std::string(STELVANE_DATA_DIR) + "/" + GetParam();
    const auto catalog_file = file_bytes(base + ".scat");
    const auto pairs_file = file_bytes(base + ".sprs");
    ASSERT_GT(catalog_file.size(), 20u);
    auto loaded = Catalog::load(base + ".scat", base + ".sprs");
    ASSERT_TRUE(loaded) << message_of(loaded);
    EXPECT_EQ(loaded->catalog_image_size(), catalog_file.size());
    EXPECT_EQ(loaded->pairs_image_size(), pairs_file.size());
    const Written w = write_images(*loaded);
    EXPECT_TRUE(w.catalog == catalog_file);
    EXPECT_TRUE(w.pairs == pairs_file);
}

INSTANTIATE_TEST_SUITE_P(Files, BundledCatalog, ::testing::Values("allsky", "pinhole"),
                         [](const auto& info) { return std::string(info.param); });

// --- pairs_in_range and has_pair -------------------------------------------

Catalog ladder() {
    // cos_theta values with a run of equal ones; star HR numbers are 100 + index.
    const auto cat = catalog_image({{100, 0, 0}, {101, 1, 0}, {102, 2, 0}, {103, 3, 0}});
    const auto prs = pairs_image({{-0.75f, 0, 1}, {0.1f, 0, 2}, {0.5f, 1, 2}, {0.5f, 3, 2}, {0.5f, 0, 3}, {0.9f, 1, 3}});
    return std::move(Catalog::from_bytes(cat.data, prs.data)).value();
}

struct RangeCase {
    double lo, hi;
    std::size_t first, count;
};

class PairsInRange : public ::testing::TestWithParam<RangeCase> {};

TEST_P(PairsInRange, IsTheInclusiveRunOfWidenedCosines) {
    const Catalog c = ladder();
    const RangeCase& k = GetParam();
    const auto run = c.pairs_in_range(k.lo, k.hi);
    EXPECT_EQ(run.size(), k.count);
    if (k.count > 0) EXPECT_EQ(run.data(), c.pairs.data() + k.first);
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, PairsInRange,
    ::testing::Values(RangeCase{-1.0, 1.0, 0, 6}, RangeCase{0.5, 0.5, 2, 3},      // equal run, both ends inclusive
                      RangeCase{-0.75, -0.75, 0, 1}, RangeCase{0.9, 1.0, 5, 0},  // 0.9f < 0.9 as doubles
                      RangeCase{double(0.9f), 2.0, 5, 1}, RangeCase{0.1, 0.5, 1, 4},  // 0.1f > 0.1
                      RangeCase{0.2, 0.4, 0, 0}, RangeCase{0.6, 0.4, 0, 0},            // gap; lo > hi
                      RangeCase{std::nan(""), 1.0, 0, 0}, RangeCase{-1.0, std::nan(""), 0, 0}));

TEST(PairsInRange, EmptyIndexGivesEmptyRun) {
    const auto cat = catalog_image({});
    const Catalog c = std::move(Catalog::from_bytes(cat.data, pairs_image({}).data)).value();
    EXPECT_TRUE(c.pairs_in_range(-1.0, 1.0).empty());
    EXPECT_FALSE(c.has_pair(1, 2, 10.0, 180.0));
}

TEST(HasPair, MatchesEitherOrderWithinTheSeparationBand) {
    const Catalog c = ladder();
    const double sep = std::acos(0.5) / kDeg;  // 60 deg, the equal run
    for (auto [a, b] : {std::pair{101u, 102u}, std::pair{103u, 102u}, std::pair{100u, 103u}}) {
        EXPECT_TRUE(c.has_pair(a, b, sep, 0.01)) << a << "," << b;
        EXPECT_TRUE(c.has_pair(b, a, sep, 0.01)) << b << "," << a;
    }
    EXPECT_FALSE(c.has_pair(100u, 101u, sep, 0.01));  // held, but at 138.6 deg
    EXPECT_TRUE(c.has_pair(100u, 101u, std::acos(-0.75) / kDeg, 0.01));
    EXPECT_FALSE(c.has_pair(101u, 102u, sep + 1.0, 0.5));
    EXPECT_FALSE(c.has_pair(101u, 102u, sep, -0.01));  // negative tolerance: empty band
}

// --- Star::unit_at ----------------------------------------------------------

Star star_at(double ra_deg, double dec_deg) {
    Star s;
    s.ra = ra_deg * kDeg;
    s.dec = dec_deg * kDeg;
    s.unit = Vec3(std::cos(s.dec) * std::cos(s.ra), std::cos(s.dec) * std::sin(s.ra), std::sin(s.dec));
    return s;
}

// The low-precision Sun and parallax shift, written out independently.
Vec3 expected_with_parallax(double ra, double dec, double parallax_mas, double jd) {
    const double d = jd - 2451545.0;
    const double T = d / 36525.0;
    const double M = (357.528 + 35999.05 * T) * kDeg;
    const double L = (280.46 + 36000.771 * T) * kDeg + (1.915 * std::sin(M) + 0.02 * std::sin(2.0 * M)) * kDeg;
    const double e = (23.4393 - 0.013 * T) * kDeg;
    const double S[3] = {std::cos(L), std::sin(L) * std::cos(e), std::sin(L) * std::sin(e)};
    const double u[3] = {std::cos(ra) * std::cos(dec), std::sin(ra) * std::cos(dec), std::sin(dec)};
    const double us = u[0] * S[0] + u[1] * S[1] + u[2] * S[2];
    const double p = parallax_mas * kMas;
    double v[3];
    for (int k = 0; k < 3; ++k) v[k] = u[k] + p * (S[k] - us * u[k]);
    const double n = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    return Vec3(v[0] / n, v[1] / n, v[2] / n);
}

TEST(UnitAt, ZeroMotionReturnsStoredUnitBitForBit) {
    Star s = star_at(10.0, 20.0);
    s.unit = Vec3(0.6, 0.0, 0.8);  // deliberately not the ra/dec direction
    s.pm_ra = -0.0f;               // negative zero counts as zero
    for (double jd : {2451545.0, 2460000.5, 2415020.0, std::nan("")}) {
        const Vec3 u = s.unit_at(jd, 1991.25);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(u.x()), std::bit_cast<std::uint64_t>(0.6));
        EXPECT_EQ(u.y(), 0.0);
        EXPECT_EQ(u.z(), 0.8);
    }
}

TEST(UnitAt, AtEpochOnlyParallaxMovesTheDirection) {
    for (auto [ra, dec] : {std::pair{0.0, 0.0}, std::pair{123.0, -41.0}, std::pair{271.0, 66.5}}) {
        Star s = star_at(ra, dec);
        s.pm_ra = 5000.0f;
        s.pm_dec = -3000.0f;
        s.parallax = 742.12f;
        const Vec3 got = s.unit_at(2451545.0, 2000.0);
        const Vec3 want = expected_with_parallax(s.ra, s.dec, 742.12f, 2451545.0);
        EXPECT_EQ(got.x(), want.x());
        EXPECT_EQ(got.y(), want.y());
        EXPECT_EQ(got.z(), want.z());
    }
}

TEST(UnitAt, ParallaxShiftIsTheParallaxAngleAtNinetyDegreesFromTheSun) {
    // At J2000.0 the Sun is near ecliptic longitude 280.4 deg; the ecliptic pole is
    // 90 deg from it, so the pole star is displaced by the full parallax.
    Star s = star_at(270.0, 66.560708333);
    s.parallax = 1000.0f;
    const Vec3 got = s.unit_at(2451545.0, 2000.0);
    const double angle = std::acos(std::clamp(got.dot(s.unit), -1.0, 1.0));
    EXPECT_NEAR(angle / kMas, 1000.0, 1.0);  // mas; the Sun is within 1e-3 rad of the ecliptic
}

TEST(UnitAt, ProperMotionAccumulatesOverYearsFromTheEpoch) {
    // 50 Julian years after J1991.25: ra and dec move by pm * 50 (pm_ra divided by cos dec).
    Star s = star_at(30.0, 60.0);
    s.pm_ra = 2000.0f;
    s.pm_dec = -1000.0f;
    const double jd = 2451545.0 + (1991.25 + 50.0 - 2000.0) * 365.25;
    const Vec3 got = s.unit_at(jd, 1991.25);
    const double ra1 = s.ra + 2000.0 * kMas * 50.0 / std::cos(s.dec);
    const double dec1 = s.dec - 1000.0 * kMas * 50.0;
    const Vec3 want(std::cos(ra1) * std::cos(dec1), std::sin(ra1) * std::cos(dec1), std::sin(dec1));
    EXPECT_NEAR((got - want).norm(), 0.0, 1e-12);
    // The flat-sky length of the motion; the sphere's curvature at dec 60 adds about 20 mas.
    EXPECT_NEAR(std::acos(got.dot(s.unit)) / kMas, std::hypot(2000.0, 1000.0) * 50.0, 40.0);
}

}  // namespace
}  // namespace stelvane
