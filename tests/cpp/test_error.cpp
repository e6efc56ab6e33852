// Messages of the engine's error kinds and the plain-decimal number formatting.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/error.hpp"

namespace stelvane {
namespace {

struct FormatCase {
    double value;
    const char* want;
};

class FormatNumber : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatNumber, ShortestPlainDecimal) {
    EXPECT_EQ(format_number(GetParam().value), GetParam().want) << "value " << GetParam().value;
}

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Values, FormatNumber,
    ::testing::Values(FormatCase{64.0, "64"}, FormatCase{0.5, "0.5"}, FormatCase{-4.0, "-4"},
                      FormatCase{0.0, "0"}, FormatCase{-0.0, "-0"}, FormatCase{1e-7, "0.0000001"},
                      FormatCase{1e21, "1000000000000000000000"}, FormatCase{0.1, "0.1"},
                      FormatCase{1.0 / 3.0, "0.3333333333333333"}, FormatCase{64.0000001, "64.0000001"},
                      FormatCase{319.75, "319.75"}, FormatCase{123456789.125, "123456789.125"},
                      FormatCase{2.0e-3, "0.002"},
                      FormatCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
                      FormatCase{-std::numeric_limits<double>::quiet_NaN(), "NaN"}, FormatCase{kInf, "inf"},
                      FormatCase{-kInf, "-inf"}));

TEST(FormatNumberExtremes, SmallestSubnormalHasNoExponent) {
    const std::string s = format_number(std::numeric_limits<double>::denorm_min());
    EXPECT_EQ(s, "0." + std::string(323, '0') + "5");
}

TEST(FormatNumberExtremes, LargestDoubleIsAllDigits) {
    EXPECT_EQ(format_number(1.7976931348623157e308), "17976931348623157" + std::string(292, '0'));
}

TEST(FormatNumberExtremes, EveryDigitStringReadsBack) {
    // Shortest form must round-trip: spot-check awkward values across the exponent range.
    for (double v : {5e-324, 2.2250738585072014e-308, 9007199254740993.0, 0.30000000000000004, 1e-300, 1e300,
                     4.35, 2.675, 1e23}) {
        EXPECT_EQ(std::strtod(format_number(v).c_str(), nullptr), v) << format_number(v);
        EXPECT_EQ(format_number(v).find('e'), std::string::npos);
    }
}

struct FixedCase {
    double value;
    int decimals;
    const char* want;
};

class FormatFixed : public ::testing::TestWithParam<FixedCase> {};

TEST_P(FormatFixed, ExactDecimals) { EXPECT_EQ(format_fixed(GetParam().value, GetParam().decimals), GetParam().want); }

INSTANTIATE_TEST_SUITE_P(Values, FormatFixed,
                         ::testing::Values(FixedCase{0.0012345678, 6, "0.001235"}, FixedCase{0.0, 6, "0.000000"},
                                           FixedCase{1000.0, 4, "1000.0000"}, FixedCase{180.0, 1, "180.0"},
                                           FixedCase{2.5e-7, 6, "0.000000"}, FixedCase{1e21, 1, "1000000000000000000000.0"},
                                           FixedCase{-1.5, 0, "-2"},
                                           FixedCase{std::numeric_limits<double>::quiet_NaN(), 6, "NaN"},
                                           FixedCase{kInf, 6, "inf"}));

struct MessageCase {
    Error error;
    const char* want;
};

std::vector<Correspondence> correspondences(std::size_t n) { return std::vector<Correspondence>(n, {0, 0}); }

TEST(ErrorMessage, EveryKind) {
    const MessageCase cases[] = {
        {InsufficientStars{3, 2}, "insufficient stars: needed 3, got 2"},
        {MatchAmbiguous{correspondences(9), correspondences(9), 1.0, 0.8},
         "star pattern match is ambiguous: 9 vs 9 correspondences"},
        {MatchAmbiguous{correspondences(4), correspondences(5), 1.0, 0.8},
         "star pattern match is ambiguous: 4 vs 5 correspondences"},
        {NoMatch{}, "no star pattern match found"},
        {SingularGeometry{}, "observation geometry is singular"},
        {BadImage{"empty image"}, "bad image: empty image"},
        {DegenerateUp{}, "up vector is degenerate: zero length or non-finite"},
        {BadPosition{"latitude out of range"}, "bad position: latitude out of range"},
        {CatalogFormat{"trailing bytes after catalog records"},
         "catalog format error: trailing bytes after catalog records"},
        {Io{"No such file or directory (os error 2)"}, "i/o error: No such file or directory (os error 2)"},
        {ThinLock{ThinLockReason::ResidualTooLarge, 7, 2, 0.0012345678},
         "thin lock: residual rms above the configured maximum (matched 7 stars, margin 2, residual rms 0.001235 "
         "rad)"},
        {ThinLock{ThinLockReason::TooFewMatched, 4, 0, 0.0},
         "thin lock: fewer matched stars than the configured minimum (matched 4 stars, margin 0, residual rms "
         "0.000000 rad)"},
    };
    for (const MessageCase& c : cases) EXPECT_EQ(c.error.message(), c.want);
}

TEST(ErrorKind, FollowsDeclaredOrder) {
    EXPECT_EQ(Error(InsufficientStars{1, 0}).kind(), ErrorKind::InsufficientStars);
    EXPECT_EQ(static_cast<int>(Error(MatchAmbiguous{}).kind()), 1);
    EXPECT_EQ(static_cast<int>(Error(Io{""}).kind()), 8);
    EXPECT_EQ(static_cast<int>(Error(ThinLock{}).kind()), 9);
}

TEST(ErrorPayload, AmbiguityListsAreReadable) {
    const Error e = MatchAmbiguous{{{0, 5}, {1, 7}}, {{0, 6}, {1, 8}}, 0.25, 0.5};
    const auto* tie = e.get_if<MatchAmbiguous>();
    ASSERT_NE(tie, nullptr);
    EXPECT_EQ(tie->list_b[1], (Correspondence{1, 8}));
    EXPECT_EQ(tie->residual_a, 0.25);
    EXPECT_EQ(e.get_if<NoMatch>(), nullptr);
}

TEST(ResultType, HoldsValueOrError) {
    Result<int> good = 5;
    Result<int> bad = NoMatch{};
    ASSERT_TRUE(good.ok());
    EXPECT_EQ(*good, 5);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().kind(), ErrorKind::NoMatch);
}

}  // namespace
}  // namespace stelvane
