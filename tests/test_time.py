"""Julian Dates, sidereal time and UTC intake (reference values from Meeus, Astronomical Algorithms)."""

import datetime as dt

import numpy as np
import pytest

import stelvane

UTC = dt.timezone.utc


@pytest.mark.parametrize(
    "fields, want",
    [
        ((2000, 1, 1, 12, 0, 0), 2451545.0),
        ((1999, 12, 31, 0, 0, 0), 2451543.5),
        ((2024, 3, 20, 3, 6, 0), 2460389.629166667),
        ((2000, 2, 29, 6, 30, 15.5), 2451603.7710127314),
        ((1582, 10, 4, 0, 0, 0), 2299149.5),  # Gregorian rule before the reform too
        ((2000, 1, 1, 0, 90, 0), 2451544.5625),  # minute 90 is an hour and a half
        ((-4713, 11, 24, 12, 0, 0), 0.0),  # JD 0 in the proleptic Gregorian calendar
    ],
)
def test_julian_date(fields, want):
    assert stelvane.julian_date(*fields) == want


def test_julian_date_accepts_numpy_scalars_and_keywords():
    assert stelvane.julian_date(np.int32(2000), np.uint8(1), 1, 12, 0, np.float32(0.0)) == 2451545.0
    assert stelvane.julian_date(second=0, minute=0, hour=12, day=1, month=1, year=2000) == 2451545.0


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((2000, 1.0, 1, 0, 0, 0), TypeError, "argument 'month': 'float' object cannot be interpreted as an integer"),
        ((2000.5, 1, 1, 0, 0, 0), TypeError, "argument 'year': 'float' object cannot be interpreted as an integer"),
        ((2000, 1, 1, 0, 0, "0"), TypeError, "argument 'second': must be real number, not str"),
        ((2000, 1, None, 0, 0, 0), TypeError, "argument 'day': 'NoneType' object cannot be interpreted as an integer"),
        ((2000, -1, 1, 0, 0, 0), OverflowError, "can't convert negative int to unsigned"),
        ((2000, 1, 2**32, 0, 0, 0), OverflowError, "int too large to convert to an unsigned 32-bit integer"),
        ((2**31, 1, 1, 0, 0, 0), OverflowError, "int out of range for a signed 32-bit integer"),
        ((2000, 1, 1, 0, 0, 10**400), OverflowError, "int too large to convert to float"),
    ],
)
def test_julian_date_conversion_failures(args, exc, message):
    with pytest.raises(exc) as info:
        stelvane.julian_date(*args)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "jd, want",
    [(2451545.0, 280.460618375), (2415020.0, 279.69095272421833), (2460389.5, 178.0187722414732)],
)
def test_gmst_deg(jd, want):
    assert stelvane.gmst_deg(jd) == pytest.approx(want, abs=1e-9)


def test_gmst_range_and_nan():
    values = [stelvane.gmst_deg(2451545.0 + k * 0.123456789) for k in range(-5000, 5000)]
    assert all(0.0 <= v < 360.0 for v in values)
    assert np.isnan(stelvane.gmst_deg(float("nan")))


class TestUtcIntake:
    JD = 2460389.629166667

    @pytest.mark.parametrize(
        "utc",
        [
            (2024, 3, 20, 3, 6, 0),
            (2024, 3, 20, 3, 6, 0.0),
            dt.datetime(2024, 3, 20, 3, 6, tzinfo=UTC),
            dt.datetime(2024, 3, 20, 4, 6, tzinfo=dt.timezone(dt.timedelta(hours=1))),
            dt.datetime(2024, 3, 19, 22, 6, tzinfo=dt.timezone(dt.timedelta(hours=-5))),
        ],
    )
    def test_equal_instants(self, testing, utc):
        assert testing.utc_to_jd(utc) == pytest.approx(self.JD, abs=1e-9)

    def test_tuple_subclass_is_a_tuple(self, testing):
        class Stamp(tuple):
            pass

        assert testing.utc_to_jd(Stamp((2024, 3, 20, 3, 6, 0))) == pytest.approx(self.JD, abs=1e-9)

    def test_microseconds_add_to_seconds(self, testing):
        with_micro = dt.datetime(2024, 3, 20, 3, 6, 59, 500000, tzinfo=UTC)
        assert testing.utc_to_jd(with_micro) == stelvane.julian_date(2024, 3, 20, 3, 6, 59.5)

    FORM = ("utc must be a (year, month, day, hour, minute, second) tuple or a timezone-aware "
            "datetime.datetime")

    @pytest.mark.parametrize(
        "utc",
        [[2024, 3, 20, 3, 6, 0], (2024, 3, 20, 3, 6), (2024, 3.0, 20, 3, 6, 0), (2024, -3, 20, 3, 6, 0),
         "2024-03-20", 2460389.5, None, dt.date(2024, 3, 20)],
    )
    def test_refused_forms(self, testing, utc):
        with pytest.raises(stelvane.StelvaneError) as info:
            testing.utc_to_jd(utc)
        assert str(info.value) == self.FORM

    def test_naive_datetime_refused(self, testing):
        with pytest.raises(stelvane.StelvaneError) as info:
            testing.utc_to_jd(dt.datetime(2024, 3, 20, 3, 6))
        assert str(info.value) == (
            "utc is a naive datetime, which fixes no instant in time: attach the tzinfo the timestamp was "
            "recorded in (datetime.timezone.utc when it is already UTC)")

    def test_exceptions_of_the_object_propagate(self, testing):
        class Broken:
            def utcoffset(self):
                raise ZeroDivisionError("clock fell over")

            def astimezone(self, tz):
                return self

        with pytest.raises(ZeroDivisionError, match="clock fell over"):
            testing.utc_to_jd(Broken())

    def test_duck_typed_aware_object(self, testing):
        class Aware:
            def utcoffset(self):
                return dt.timedelta(0)

            def astimezone(self, tz):
                assert tz is UTC
                return dt.datetime(2000, 1, 1, 12, tzinfo=UTC)

        assert testing.utc_to_jd(Aware()) == 2451545.0
