"""Precession, the apparent Sun, great-circle distance and the azimuth ellipse.

Reference values: IAU 1976 precession (Lieske et al. 1977) and the Astronomical
Almanac's low-precision Sun, as tabulated for these dates.
"""

import math

import numpy as np
import pytest

import stelvane

ROOT_1_5 = 2 / math.sqrt(1.5)


@pytest.mark.parametrize("v", [[1, 0, 0], (0.3, -0.4, 0.5), np.array([0.0, 0.0, 2.0]), [7, 8, 9]])
def test_precession_is_identity_at_j2000(v):
    assert stelvane.precess_vector(2451545.0, v) == pytest.approx(list(np.asarray(v, float)), abs=1e-15)


def test_precession_of_the_equinox_2024():
    got = stelvane.precess_vector(2460389.5, [1, 0, 0])
    assert isinstance(got, list)
    assert got == pytest.approx([0.9999825694413288, 0.005415238854149569, 0.002352870942171384], abs=1e-15)


def test_precession_keeps_length_and_is_not_normalised():
    v = stelvane.precess_vector(2488069.5, [3.0, 4.0, 12.0])
    assert math.hypot(*v) == pytest.approx(13.0, rel=1e-14)


@pytest.mark.parametrize(
    "v, exc, message",
    [
        ((1, 2), ValueError, "expected a sequence of length 3 (got 2)"),
        ([1, 2, 3, 4], ValueError, "expected a sequence of length 3 (got 4)"),
        (5, TypeError, "argument 'v': expected a sequence, not int"),
        ("abc", TypeError, "argument 'v': expected a sequence, not str"),
        ([1, "b", 3], TypeError, "argument 'v': must be real number, not str"),
    ],
)
def test_precess_vector_refusals(v, exc, message):
    with pytest.raises(exc) as info:
        stelvane.precess_vector(2451545.0, v)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "jd, ra, dec",
    [(2451545.0, 4.909256459195106, -0.40201689599120566),
     (2460389.5, 6.2811003413972255, -0.0009037921704628284)],
)
def test_sun_apparent(jd, ra, dec):
    got = stelvane.sun_apparent_jd(jd)
    assert isinstance(got, tuple)
    assert got == pytest.approx((ra, dec), abs=1e-14)


def test_sun_nan_propagates():
    assert all(math.isnan(x) for x in stelvane.sun_apparent_jd(float("nan")))


@pytest.mark.parametrize(
    "points, want, tol",
    [((0, 0, 0, 1), 60.0, 1e-9), ((0, 0, 0, 180), 10800.0, 1e-9), ((90, 0, -90, 0), 10800.0, 1e-9),
     ((51.5, -0.1, 40.7, -74.0), 3007.05, 0.01), ((10, 20, 10, 20), 0.0, 0.0)],
)
def test_great_circle_nm(points, want, tol):
    assert stelvane.great_circle_nm(*points) == pytest.approx(want, abs=tol)


def test_great_circle_antipodes_are_never_nan():
    rng = np.random.default_rng(3)
    for lat, lon in rng.uniform([-90, -180], [90, 180], size=(2000, 2)):
        assert stelvane.great_circle_nm(lat, lon, -lat, lon + 180.0) == pytest.approx(10800.0, abs=1e-3)


class TestCovarianceEllipse:
    @pytest.mark.parametrize(
        "azimuths, major, minor",
        [([0, 90], 2.0, 2.0), ([0, 120, 240], ROOT_1_5, ROOT_1_5), (np.array([0.0, 120.0, 240.0]), ROOT_1_5, ROOT_1_5)],
    )
    def test_circular(self, azimuths, major, minor):
        a, b, _ = stelvane.covariance_ellipse(azimuths, 1.0)
        assert (a, b) == pytest.approx((major, minor), abs=1e-9)

    def test_nearly_parallel_sights(self):
        a, b, orientation = stelvane.covariance_ellipse([0, 10], 1.0)
        assert (a, b) == pytest.approx((16.23, 1.42), abs=0.01)
        assert orientation == pytest.approx(-85.0, abs=1e-9)

    def test_sigma_scales_and_reversal_is_invisible(self):
        base = stelvane.covariance_ellipse([20, 75, 150], 1.0)
        doubled = stelvane.covariance_ellipse([20, 75, 150], 2.0)
        reversed_one = stelvane.covariance_ellipse([200, 75, 150], 1.0)
        negative_sigma = stelvane.covariance_ellipse([20, 75, 150], -1.0)
        assert doubled == pytest.approx((2 * base[0], 2 * base[1], base[2]), abs=1e-9)
        assert reversed_one == pytest.approx(base, abs=1e-9)
        assert negative_sigma == pytest.approx(base, abs=1e-12)

    @pytest.mark.parametrize(
        "azimuths, message",
        [([10, 10], "singular geometry: parallel lines of position"),
         ([0, 180], "singular geometry: parallel lines of position"),
         ([45], "need at least two azimuths"),
         ([], "need at least two azimuths")],
    )
    def test_refusals(self, azimuths, message):
        with pytest.raises(stelvane.StelvaneError) as info:
            stelvane.covariance_ellipse(azimuths, 1.0)
        assert str(info.value) == message

    def test_conversion_order_list_first(self):
        with pytest.raises(TypeError, match="argument 'azimuths_deg'"):
            stelvane.covariance_ellipse("0,90", "x")
        with pytest.raises(TypeError, match="argument 'sigma_arcmin'"):
            stelvane.covariance_ellipse([0, 90], "x")
