"""The Camera class: the three lens projections, their refusals and argument forms.

Expected values are the documented figures or come from the projection formulas
written out independently below (NumPy, one formula per projection).
"""

import inspect
import math

import numpy as np
import pytest

import stelvane
from stelvane import Camera, StelvaneError
from test_module import ADDITIONS

DEG = math.pi / 180.0
ARCMIN = DEG / 60.0

NEITHER = "x and y must both be floats, or both 1-D sequences of floats of the same length ({} is neither)"
V_FORM = "v must be three floats (one camera-frame direction) or an (N, 3) array of them"
PINHOLE_NEEDS_FOCAL = (
    "focal_px is required for the pinhole camera (fisheye_fov_deg=None); focal_px=None is only meaningful for the "
    "ideal equidistant fisheye"
)
IDEAL_IGNORES_FOCAL = (
    "focal_px is ignored for the ideal equidistant fisheye (fisheye_fov_deg set with k1..k4 all zero), whose focal "
    "length fills the shorter image dimension: pass focal_px=None, or pass the calibrated k1..k4 that make focal_px "
    "the real radial scale"
)
CALIBRATED_NEEDS_FOCAL = (
    "focal_px is required for a calibrated fisheye (a non-zero k1..k4): it is the lens's real radial scale, which no "
    "image dimension can supply"
)

K_DISTORTED = (0.01, -0.002, 0.0, 0.0)


def pinhole():
    return Camera(1000, 320, 240)


def ideal():
    return Camera(None, 320, 240, width=640, height=480, fisheye_fov_deg=180)


def distorted():
    return Camera(300.0, 320.5, 240.25, fisheye_fov_deg=200.0, k1=0.01, k2=-0.002)


def angle_between(a, b):
    """Angle between two 3-vectors, accurate near zero (atan2 of |a x b| and a . b)."""
    return math.atan2(np.linalg.norm(np.cross(a, b)), float(np.dot(a, b)))


def poly(theta, k):
    return theta + k[0] * theta**3 + k[1] * theta**5 + k[2] * theta**7 + k[3] * theta**9


def fisheye_pixel(theta, phi, f, cx, cy, k=(0.0, 0.0, 0.0, 0.0)):
    r = poly(theta, k)
    return cx + f * r * math.cos(phi), cy + f * r * math.sin(phi)


def direction(theta, phi):
    return np.array([math.sin(theta) * math.cos(phi), math.sin(theta) * math.sin(phi), math.cos(theta)])


# ---- the documented figures ------------------------------------------------------


class TestPinhole:
    def test_boresight_pixel_is_the_optical_axis(self):
        assert pinhole().pixel_to_vec(320, 240).tolist() == [0.0, 0.0, 1.0]

    def test_pixel_one_focal_length_off_axis_is_45_degrees(self):
        v = pinhole().pixel_to_vec(1320, 240)
        assert v.shape == (3,) and v.dtype == np.float64
        assert v == pytest.approx([math.sqrt(0.5), 0.0, math.sqrt(0.5)], abs=1e-15)

    @pytest.mark.parametrize("v", [[0, 0, -1], [1, 0, 0], [0.0, 0.0, 1e-12], [0.5, 0.5, 0.0]])
    def test_directions_at_or_behind_the_image_plane_have_no_pixel(self, v):
        assert pinhole().vec_to_pixel(v) is None

    def test_direction_just_in_front_of_the_plane_projects(self):
        x, y = pinhole().vec_to_pixel([1e-12, 0.0, 2e-12])
        assert (x, y) == (320 + 1000 * 0.5, 240.0)

    def test_unnormalised_direction_is_used_as_given(self):
        # (cx + f x / z, cy + f y / z) whatever the length, and no check against any extent.
        assert pinhole().vec_to_pixel([6.0, -3.0, 2.0]) == (320 + 3000.0, 240 - 1500.0)

    def test_pixel_scale_and_default_tolerance(self):
        cam = pinhole()
        assert cam.arcmin_per_pixel == 3.437745624870037
        assert cam.default_sigma_arcmin == 1.7188728124350185
        assert cam.effective_focal_px == 1000.0
        assert (cam.cx, cam.cy) == (320.0, 240.0)

    def test_long_focal_gets_the_one_arcminute_floor(self):
        cam = Camera(4000, 2000, 1500)
        assert cam.arcmin_per_pixel == pytest.approx(math.atan(1 / 4000) / ARCMIN, rel=1e-14)
        assert cam.default_sigma_arcmin == 1.0

    def test_pixel_to_vec_matches_the_normalised_ray(self):
        cam = Camera(812.5, 300.25, 199.75)
        for x, y in [(0, 0), (640, 0), (17.5, 480), (300.25, 1e6)]:
            ray = np.array([x - 300.25, y - 199.75, 812.5])
            assert cam.pixel_to_vec(x, y) == pytest.approx(ray / np.linalg.norm(ray), abs=1e-15)


class TestIdealFisheye:
    def test_focal_fills_the_shorter_dimension(self):
        cam = ideal()
        assert cam.effective_focal_px == pytest.approx(152.78874536821954, rel=1e-15)
        assert cam.effective_focal_px == pytest.approx(240 / (math.pi / 2), rel=1e-15)
        assert cam.arcmin_per_pixel == 22.5
        assert cam.default_sigma_arcmin == 11.25

    def test_shorter_dimension_may_be_the_width(self):
        cam = Camera(None, 100, 400, width=200, height=800, fisheye_fov_deg=90)
        assert cam.effective_focal_px == pytest.approx(100 / (math.pi / 4), rel=1e-15)

    def test_field_is_open_at_its_edge(self):
        cam = ideal()
        assert cam.vec_to_pixel(direction(90 * DEG, 0.3)) is None
        assert cam.vec_to_pixel([1.0, 0.0, 0.0]) is None
        assert cam.vec_to_pixel([0.0, 0.0, -1.0]) is None
        theta, phi = 89.9 * DEG, 0.3
        want = fisheye_pixel(theta, phi, 240 / (math.pi / 2), 320, 240)
        assert cam.vec_to_pixel(direction(theta, phi)) == pytest.approx(want, abs=1e-9)

    @pytest.mark.parametrize("theta_deg", [0.0, 1.0, 30.0, 60.0, 89.0])
    @pytest.mark.parametrize("phi_deg", [-170.0, -90.0, 0.0, 45.0, 135.0])
    def test_radius_is_proportional_to_the_angle(self, theta_deg, phi_deg):
        theta, phi = theta_deg * DEG, phi_deg * DEG
        f = 240 / (math.pi / 2)
        x, y = ideal().vec_to_pixel(direction(theta, phi))
        assert (x, y) == pytest.approx(fisheye_pixel(theta, phi, f, 320, 240), abs=1e-9)
        assert angle_between(ideal().pixel_to_vec(x, y), direction(theta, phi)) < 1e-12

    def test_pixels_beyond_the_lens_circle_map_beyond_the_half_field(self):
        f = 240 / (math.pi / 2)
        v = ideal().pixel_to_vec(320 + 300, 240)
        theta = 300 / f
        assert theta > math.pi / 2
        assert v == pytest.approx([math.sin(theta), 0.0, math.cos(theta)], abs=1e-15)

    def test_derived_extent_gives_the_same_camera(self):
        derived = Camera(None, 320, 240, fisheye_fov_deg=180)
        explicit = ideal()
        assert derived == explicit
        assert hash(derived) == hash(explicit)
        assert derived.effective_focal_px == explicit.effective_focal_px
        assert repr(derived) == repr(explicit)

    def test_derived_extent_rounds_twice_the_centre(self):
        # 2 * 319.75 = 639.5 rounds away from zero to 640; 2 * 240.2 = 480.4 to 480.
        cam = Camera(None, 319.75, 240.2, fisheye_fov_deg=180)
        assert cam.effective_focal_px == pytest.approx(480 * 0.5 / (math.pi / 2), rel=1e-15)
        narrow = Camera(None, 100.2, 240, fisheye_fov_deg=180)  # width round(200.4) = 200 is the shorter
        assert narrow.effective_focal_px == pytest.approx(200 * 0.5 / (math.pi / 2), rel=1e-15)

    @pytest.mark.parametrize(
        ("kwargs", "message"),
        [
            (dict(cx=0, cy=240), "width defaults to 2 * cx, so cx must be positive (got 0); pass width explicitly "
             "for an off-centre principal point"),
            (dict(cx=-4, cy=240), "width defaults to 2 * cx, so cx must be positive (got -4); pass width explicitly "
             "for an off-centre principal point"),
            (dict(cx=float("nan"), cy=-1), "width defaults to 2 * cx, so cx must be positive (got NaN); pass width "
             "explicitly for an off-centre principal point"),
            (dict(cx=320, cy=-0.5), "height defaults to 2 * cy, so cy must be positive (got -0.5); pass height "
             "explicitly for an off-centre principal point"),
            (dict(cx=320, cy=0, width=640), "height defaults to 2 * cy, so cy must be positive (got 0); pass height "
             "explicitly for an off-centre principal point"),
        ],
    )
    def test_derived_extent_refuses_a_centre_that_is_not_positive(self, kwargs, message):
        with pytest.raises(StelvaneError) as info:
            Camera(None, fisheye_fov_deg=180, **kwargs)
        assert info.value.args == (message,)

    def test_given_extent_is_used_as_is(self):
        cam = Camera(None, 0, -5, width=640, height=480, fisheye_fov_deg=180)
        assert cam.effective_focal_px == pytest.approx(152.78874536821954, rel=1e-15)

    @pytest.mark.parametrize(
        "make",
        [lambda: Camera(1000, 0, -3, width=None), lambda: Camera(300, 0, 0, fisheye_fov_deg=180, k1=0.01)],
    )
    def test_other_kinds_need_no_extent(self, make):
        assert make().cx == 0.0


class TestDistortedFisheye:
    @pytest.mark.parametrize("theta_deg", [0.0, 0.5, 10.0, 35.0, 60.0, 85.0, 99.0])
    @pytest.mark.parametrize("phi_deg", [-135.0, -30.0, 0.0, 60.0, 179.0])
    def test_round_trip_returns_the_direction(self, theta_deg, phi_deg):
        cam = distorted()
        v = direction(theta_deg * DEG, phi_deg * DEG)
        x, y = cam.vec_to_pixel(v)
        want = fisheye_pixel(theta_deg * DEG, phi_deg * DEG, 300.0, 320.5, 240.25, K_DISTORTED)
        assert (x, y) == pytest.approx(want, abs=1e-9)
        assert angle_between(cam.pixel_to_vec(x, y), v) < 1e-9

    def test_field_edge(self):
        cam = distorted()
        assert cam.vec_to_pixel(direction(100 * DEG, 0.0)) is None
        assert cam.vec_to_pixel(direction(99.99 * DEG, 0.0)) is not None

    def test_smallest_calibration_is_still_calibrated(self):
        cam = Camera(500.0, 320, 240, fisheye_fov_deg=180.0, k4=1e-6)
        assert cam.effective_focal_px == 500.0
        theta = 1.2
        assert cam.vec_to_pixel(direction(theta, 0.0))[0] == pytest.approx(
            320 + 500 * poly(theta, (0, 0, 0, 1e-6)), abs=1e-9)

    def test_non_monotonic_polynomial_returns_the_eighth_newton_step(self):
        # r(theta) = theta - 0.5 theta^3 peaks at r = 0.544 and has no root for rho = 0.7:
        # Newton never meets the tolerance and the 8th iterate is returned as it stands.
        k = (-0.5, 0.0, 0.0, 0.0)
        cam = Camera(100.0, 0.0, 0.0, fisheye_fov_deg=180.0, k1=k[0])
        rho = 0.7
        theta = rho
        for _ in range(8):
            theta -= (theta + k[0] * theta**3 - rho) / (1 + 3 * k[0] * theta**2)
        assert cam.pixel_to_vec(100.0 * rho, 0.0) == pytest.approx(
            [math.sin(theta), 0.0, math.cos(theta)], abs=1e-9)


# ---- construction --------------------------------------------------------------------


class TestFocalRule:
    @pytest.mark.parametrize(
        ("args", "kwargs", "message"),
        [
            ((None, 320, 240), {}, PINHOLE_NEEDS_FOCAL),
            ((None, 320, 240), dict(k1=0.3, k3=1.0), PINHOLE_NEEDS_FOCAL),
            ((500.0, 320, 240), dict(fisheye_fov_deg=180.0), IDEAL_IGNORES_FOCAL),
            ((500.0, 320, 240), dict(fisheye_fov_deg=180.0, width=640, height=480), IDEAL_IGNORES_FOCAL),
            ((None, 320, 240), dict(fisheye_fov_deg=180.0, k2=0.01), CALIBRATED_NEEDS_FOCAL),
            ((None, 320, 240), dict(fisheye_fov_deg=180.0, k1=float("nan")), CALIBRATED_NEEDS_FOCAL),
            # The focal rule runs before the derived extent.
            ((None, 0, 0), {}, PINHOLE_NEEDS_FOCAL),
            ((5.0, 0, 0), dict(fisheye_fov_deg=180.0), IDEAL_IGNORES_FOCAL),
        ],
    )
    def test_refusals(self, args, kwargs, message):
        with pytest.raises(StelvaneError) as info:
            Camera(*args, **kwargs)
        assert info.value.args == (message,)

    def test_pinhole_ignores_coefficients(self):
        assert Camera(1000, 320, 240, k1=0.5) == pinhole()
        assert repr(Camera(1000, 320, 240, k1=0.5)) == repr(pinhole())

    def test_nan_coefficient_makes_a_calibrated_fisheye(self):
        cam = Camera(300.0, 320, 240, fisheye_fov_deg=180.0, k1=float("nan"))
        assert repr(cam).startswith("Camera(distorted fisheye fov=180.0 deg k=(NaN, 0, 0, 0)")

    def test_focal_sign_and_finiteness_are_left_to_the_projection(self):
        cam = Camera(0.0, 320, 240)
        assert np.isnan(cam.pixel_to_vec(320, 240)).all()
        assert cam.arcmin_per_pixel == pytest.approx(90 * 60, rel=1e-15)
        assert Camera(None, 320, 240, fisheye_fov_deg=0.0).effective_focal_px == math.inf


class TestConstructorArguments:
    def test_signature(self):
        assert str(inspect.signature(Camera)) == (
            "(focal_px, cx, cy, width=None, height=None, fisheye_fov_deg=None, k1=0.0, k2=0.0, k3=0.0, k4=0.0)")
        assert Camera.__text_signature__ == (
            "(focal_px, cx, cy, width=None, height=None, fisheye_fov_deg=None, k1=0.0, k2=0.0, k3=0.0, k4=0.0)")

    def test_keywords(self):
        cam = Camera(cy=240, cx=320, focal_px=None, k4=0.0, fisheye_fov_deg=180, height=480, width=640)
        assert cam == ideal()

    @pytest.mark.parametrize(
        ("args", "kwargs", "exc", "message"),
        [
            (("1000", 320, 240), {}, TypeError, "argument 'focal_px': must be real number, not str"),
            ((1000, None, 240), {}, TypeError, "argument 'cx': must be real number, not NoneType"),
            ((None, 320, 240), dict(width=640.0, fisheye_fov_deg=180), TypeError,
             "argument 'width': 'float' object cannot be interpreted as an integer"),
            ((None, 320, 240), dict(height=-1, fisheye_fov_deg=180), OverflowError,
             "can't convert negative int to unsigned"),
            ((1000, 320, 240), dict(k3="0"), TypeError, "argument 'k3': must be real number, not str"),
            ((1000,), {}, TypeError, "Camera() missing 2 required positional arguments: 'cx' and 'cy'"),
            ((1000, 320, 240), dict(fov=180), TypeError, "Camera() got an unexpected keyword argument 'fov'"),
            ((1000, 320, 240), dict(cx=1), TypeError, "Camera() got multiple values for argument 'cx'"),
        ],
    )
    def test_binding_and_conversion_failures(self, args, kwargs, exc, message):
        with pytest.raises(exc) as info:
            Camera(*args, **kwargs)
        assert str(info.value) == message

    def test_immutable(self):
        cam = pinhole()
        for name in ("cx", "cy", "effective_focal_px", "arcmin_per_pixel", "default_sigma_arcmin"):
            with pytest.raises(AttributeError):
                setattr(cam, name, 1.0)
        with pytest.raises(AttributeError):
            cam.focal_px = 1.0

    def test_equality_is_by_value(self):
        assert pinhole() == Camera(1000.0, 320.0, 240.0)
        assert pinhole() != Camera(1000.0, 320.0, 240.5)
        assert pinhole() != ideal()
        assert pinhole() != (1000, 320, 240)
        assert len({pinhole(), Camera(1000.0, 320, 240), ideal()}) == 2

    def test_registered_first_under_the_package(self):
        # Only the error classes and the names added beyond the original surface come before it.
        first = next(n for n in stelvane.__all__ if not n.endswith("Error") and n not in ADDITIONS)
        assert first == "Camera"
        assert Camera.__module__ == "stelvane"


class TestRepr:
    @pytest.mark.parametrize(
        ("cam", "text"),
        [
            (Camera(1000, 320, 240), "Camera(pinhole, focal_px=1000.0000, cx=320.0000, cy=240.0000)"),
            (Camera(812.34567, -0.5, 1e-5), "Camera(pinhole, focal_px=812.3457, cx=-0.5000, cy=0.0000)"),
            (Camera(None, 320, 240, width=640, height=480, fisheye_fov_deg=180),
             "Camera(equidistant fisheye fov=180.0 deg, focal_px=152.7887, cx=320.0000, cy=240.0000)"),
            # 185.25 is exact in binary and rounds half to even; focal 240 / (92.625 deg in rad) = 148.4587
            (Camera(None, 320, 240, fisheye_fov_deg=185.25),
             "Camera(equidistant fisheye fov=185.2 deg, focal_px=148.4587, cx=320.0000, cy=240.0000)"),
            (Camera(300.0, 320.5, 240.25, fisheye_fov_deg=200.0, k1=0.01, k2=-0.002),
             "Camera(distorted fisheye fov=200.0 deg k=(0.01, -0.002, 0, 0), focal_px=300.0000, cx=320.5000, "
             "cy=240.2500)"),
            (Camera(500, 320, 240, fisheye_fov_deg=180, k4=1e-7, k3=64.0),
             "Camera(distorted fisheye fov=180.0 deg k=(0, 0, 64, 0.0000001), focal_px=500.0000, cx=320.0000, "
             "cy=240.0000)"),
        ],
    )
    def test_kinds(self, cam, text):
        assert repr(cam) == text


# ---- argument forms of the projections -----------------------------------------------


CAMERAS = {"pinhole": pinhole, "ideal": ideal, "distorted": distorted}


class TestPixelToVecForms:
    @pytest.mark.parametrize("name", CAMERAS)
    def test_vectorised_equals_scalar(self, name):
        cam = CAMERAS[name]()
        rng = np.random.default_rng(7)
        xs = rng.uniform(-200, 840, 50)
        ys = rng.uniform(-200, 680, 50)
        out = cam.pixel_to_vec(xs, ys)
        assert out.shape == (50, 3) and out.dtype == np.float64
        want = np.array([cam.pixel_to_vec(float(x), float(y)) for x, y in zip(xs, ys)])
        np.testing.assert_array_equal(out, want)
        np.testing.assert_array_equal(cam.pixel_to_vec(list(xs), tuple(ys)), want)
        np.testing.assert_array_equal(cam.pixel_to_vec(xs.astype(np.float32), ys[::1]),
                                      cam.pixel_to_vec(list(xs.astype(np.float32)), list(ys)))

    @pytest.mark.parametrize(
        ("x", "y"),
        [([320, 1320], [240, 240]), (np.array([320, 1320], dtype=np.int16), (240.0, 240.0)),
         (np.array([320.0, 0.0, 1320.0])[::2], np.array([240, 240], dtype=np.uint8))],
    )
    def test_sequence_forms(self, x, y):
        cam = pinhole()
        out = cam.pixel_to_vec(x, y)
        half = math.sqrt(0.5)
        np.testing.assert_allclose(out, [[0, 0, 1], [half, 0, half]], atol=1e-15)

    @pytest.mark.parametrize("x, y", [([], []), (np.zeros(0), ()), ((), np.zeros(0, dtype=np.int64))])
    def test_empty_sequences(self, x, y):
        out = pinhole().pixel_to_vec(x, y)
        assert out.shape == (0, 3) and out.dtype == np.float64

    @pytest.mark.parametrize(
        ("x", "y", "message"),
        [
            ([1, 2], [3], "x and y must have the same length, got 2 and 1"),
            (np.zeros(3), [], "x and y must have the same length, got 3 and 0"),
            ("12", 3, NEITHER.format("x")),
            (3, "12", NEITHER.format("x")),  # y is no float, and x is no sequence
            (1.0, [1.0, 2.0], NEITHER.format("x")),
            ([1.0, 2.0], 1.0, NEITHER.format("y")),
            ([1.0, 2.0], "12", NEITHER.format("y")),
            ([1.0, "a"], [1.0, 2.0], NEITHER.format("x")),
            (np.zeros((2, 2)), [1.0, 2.0], NEITHER.format("x")),
            ([1.0], [[1.0]], NEITHER.format("y")),
            (None, None, NEITHER.format("x")),
            (b"12", [1.0, 2.0], NEITHER.format("x")),
            (np.array([1.0, 2.0]), np.array([1, 2], dtype=complex), NEITHER.format("y")),
        ],
    )
    def test_refusals(self, x, y, message):
        with pytest.raises(StelvaneError) as info:
            pinhole().pixel_to_vec(x, y)
        assert info.value.args == (message,)

    def test_keywords_and_signature(self):
        cam = pinhole()
        assert cam.pixel_to_vec(y=240, x=1320) == pytest.approx([math.sqrt(0.5), 0, math.sqrt(0.5)], abs=1e-15)
        assert str(inspect.signature(cam.pixel_to_vec)) == "(x, y)"
        assert str(inspect.signature(Camera.pixel_to_vec)) == "(self, /, x, y)"
        with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'y'"):
            cam.pixel_to_vec(1)


class TestVecToPixelForms:
    @pytest.mark.parametrize("name", CAMERAS)
    def test_vectorised_equals_scalar_with_nan_rows(self, name):
        cam = CAMERAS[name]()
        rng = np.random.default_rng(11)
        v = rng.normal(size=(60, 3))
        v[::7] = [0.0, 0.0, -1.0]  # outside every field
        v[3] = [np.nan, 0.0, 1.0]
        out = cam.vec_to_pixel(v)
        assert out.shape == (60, 2) and out.dtype == np.float64
        rows = []
        for row in v:
            p = cam.vec_to_pixel(row)
            rows.append((math.nan, math.nan) if p is None else p)
        np.testing.assert_array_equal(out, np.array(rows))
        np.testing.assert_array_equal(cam.vec_to_pixel([list(r) for r in v]), out)
        np.testing.assert_array_equal(cam.vec_to_pixel(np.asfortranarray(v)), out)
        assert np.isnan(out[::7]).all()

    @pytest.mark.parametrize(
        "v", [[0, 0, 1], (0.0, 0.0, 1.0), np.array([0.0, 0.0, 1.0]), np.array([0, 0, 5], dtype=np.int8),
              np.array([0.0, 9.0, 0.0, 9.0, 1.0])[::2], [np.float32(0), 0, True]],
    )
    def test_single_direction_forms(self, v):
        p = pinhole().vec_to_pixel(v)
        assert p == (320.0, 240.0)
        assert type(p) is tuple and all(type(c) is float for c in p)

    @pytest.mark.parametrize(
        "v", [[[0, 0, 1], [0, 0, -1]], ((0, 0, 1), np.array([0, 0, -1])), np.array([[0, 0, 1], [0, 0, -1]]),
              np.array([[0, 0, 1], [0, 0, -1]], dtype=object)],
    )
    def test_rows_forms(self, v):
        out = pinhole().vec_to_pixel(v)
        np.testing.assert_array_equal(out, [[320.0, 240.0], [math.nan, math.nan]])

    @pytest.mark.parametrize("v", [[], (), np.zeros((0, 3)), np.zeros(0)])
    def test_empty(self, v):
        out = pinhole().vec_to_pixel(v)
        assert out.shape == (0, 2) and out.dtype == np.float64

    @pytest.mark.parametrize(
        "v", ["abc", b"abc", [1, 2], [1, 2, 3, 4], np.zeros((2, 4)), np.zeros((2, 3, 1)), [[1, 2, 3], [1, 2]],
              [[1, 2, "3"]], None, 5, [1, 2, None], np.array(["a", "b", "c"]), np.zeros((2, 3), dtype=complex),
              np.zeros(3, dtype=complex), [np.zeros(3, dtype=complex)]],
    )
    def test_refusals(self, v):
        with pytest.raises(StelvaneError) as info:
            pinhole().vec_to_pixel(v)
        assert info.value.args == (V_FORM,)

    @pytest.mark.parametrize(
        ("cam", "v", "want"),
        [
            (pinhole(), [np.nan, 0.0, 1.0], (math.nan, 240.0)),
            (pinhole(), [0.0, 0.0, np.nan], (math.nan, math.nan)),
            (ideal(), [0.0, 0.0, np.nan], (math.nan, math.nan)),
            (distorted(), [0.0, np.nan, 0.5], (math.nan, math.nan)),
        ],
    )
    def test_nan_component_gives_a_nan_pixel_not_none(self, cam, v, want):
        p = cam.vec_to_pixel(v)
        assert p is not None
        np.testing.assert_array_equal(p, want)

    def test_signature(self):
        assert str(inspect.signature(pinhole().vec_to_pixel)) == "(v)"
        assert Camera.vec_to_pixel.__text_signature__ == "($self, v)"
        assert str(inspect.signature(Camera.vec_to_pixel)) == "(self, /, v)"
