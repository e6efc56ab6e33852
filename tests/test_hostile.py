"""Hostile arguments: every public callable, fed arbitrary objects and extreme numbers in
place of some of its arguments, either returns or raises one of the four exception classes
that describe bad input. A crash, a SystemError, a MemoryError from an allocation sized by
an argument, or the internal-fault class is a failure."""

import copy
import datetime
import fractions
import math
import os
import pickle
import re

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import stelvane
import stelvane.catalogs
from stelvane import _lib

ALLOWED = (stelvane.StelvaneError, TypeError, ValueError, OverflowError)
UTC = (2024, 3, 20, 22, 0, 0.0)
JD = 2460390.4166666665


def call_checked(fn, *args, **kwargs):
    """Calls fn and fails on anything but a return or an allowed exception."""
    try:
        fn(*args, **kwargs)
    except ALLOWED:
        pass
    except BaseException as e:  # noqa: BLE001 - the point is to see every class
        assert not isinstance(e, _lib._InternalFault)
        pytest.fail(f"{type(e).__name__}: {e} from {getattr(fn, '__name__', fn)}")


# ---- hostile values ----------------------------------------------------------------------------

EXTREME_NUMBERS = [math.nan, -math.nan, math.inf, -math.inf, 1e308, -1e308, 5e-324, -5e-324, 2.2250738585072014e-308,
                   0.0, -0.0, 1e-300, 1e300, 2**31, 2**32, 2**53 + 1, 2**63, 2**64, 2**64 + 1, -1, -(2**63) - 1,
                   2**100, -(2**100), 10**400, True, False, np.float64("nan"), np.float32(3.5), np.int64(-7),
                   np.uint64(2**64 - 1), np.uint16(7), fractions.Fraction(1, 3), complex(1, 1)]


def arrays():
    dtypes = st.sampled_from([np.uint8, np.uint16, np.bool_, np.float32, np.float64, np.int16, np.int64,
                              np.uint32, np.complex64, object])
    shapes = st.sampled_from([(0,), (0, 0), (0, 5), (5, 0), (1, 1), (3,), (2, 2, 2), (7, 6), (6, 7), (1, 40)])

    def build(dtype, shape, order, view):
        a = np.ones(shape, dtype=dtype, order=order) if dtype is not object else np.full(shape, None, object)
        if view == "T":
            a = a.T
        elif view == "step" and a.ndim >= 1:
            a = a[::2]
        elif view == "readonly":
            a.flags.writeable = False
        elif view == "0d":
            a = np.asarray(a.flat[0]) if a.size else np.asarray(0, dtype=dtype)
        return a

    return st.builds(build, dtypes, shapes, st.sampled_from(["C", "F"]),
                     st.sampled_from(["plain", "T", "step", "readonly", "0d"]))


def datetimes():
    zone = st.sampled_from([None, datetime.timezone.utc, datetime.timezone(datetime.timedelta(hours=-23, minutes=-59)),
                            datetime.timezone(datetime.timedelta(hours=14))])
    return st.builds(lambda d, z: d.replace(tzinfo=z), st.datetimes(min_value=datetime.datetime(1, 1, 2),
                                                                     max_value=datetime.datetime(9999, 12, 30)), zone)


SCALARS = st.one_of(st.sampled_from(EXTREME_NUMBERS), st.floats(allow_nan=True, allow_infinity=True),
                    st.integers(-1000, 1000))
OBJECTS = st.sampled_from([None, "", "abc", "a\0b", b"x", bytearray(b"ab"), object(), [], (), [[]], {}, set(),
                           range(3), [1, 2], [math.nan] * 3, [1e308, -1e308, 0.0], (0.0, 0.0, 0.0), [[1, 2, 3]] * 5,
                           [(1.0, 2.0)] * 5, [(math.nan, math.nan, math.nan)] * 6, [[1, 2, 3, 4]], [UTC] * 3,
                           [(2024, 13, 40, 25, 61, math.nan)], (2024, 1, 1), UTC[:5] + (math.inf,),
                           (10**20, 1, 1, 0, 0, 0.0), (-5000, 2, 30, 0, 0, 0.0), (2024, 0, 0, -1, -1, -1.0)])
HOSTILE = st.one_of(SCALARS, OBJECTS, arrays(), datetimes(), st.lists(SCALARS, max_size=5),
                    st.lists(st.tuples(SCALARS, SCALARS, SCALARS), max_size=7))


# ---- the callables and arguments that would succeed ----------------------------------------------

@pytest.fixture(scope="module")
def catalog():
    return stelvane.catalogs.load("allsky")


def star_field(width=24, height=20):
    yy, xx = np.mgrid[0:height, 0:width]
    image = np.full((height, width), 900, np.uint16)
    for x0, y0 in [(6.3, 5.5), (15.7, 12.2), (19.0, 4.0)]:
        image += (20000 * np.exp(-((xx - x0) ** 2 + (yy - y0) ** 2) / 2.0)).astype(np.uint16)
    return image


def calibrated_fisheye(catalog):
    scene = stelvane.synthesize_scene(catalog, 40.0, -3.0, JD, 0.0, 512, 512, None, 6.0, 0.0, 0.0, 0.0, 1,
                                      fisheye_fov_deg=180.0)
    stars = [(x, y, 100.0 - k) for k, (x, y) in enumerate(scene.star_pixels)]
    return stelvane.calibrate_camera([stars], catalog, fisheye_fov_deg=180.0, width=512, height=512)


def targets(catalog):
    image = star_field()
    mask = np.zeros(image.shape, bool)
    mask[:2] = True
    camera = dict(focal_px=30.0, cx=11.5, cy=9.5)
    lens = dict(**camera, up_cam=[0.0, -0.2, -1.0])
    solve = dict(sigma_arcmin=None, fisheye_fov_deg=None, k1=0.0, k2=0.0, k3=0.0, k4=0.0, max_centroids=None,
                 min_matched_stars=None, max_residual_rms_arcmin=None)
    remap = dict(src_focal_px=30.0, src_cx=11.5, src_cy=9.5, dst_focal_px=None, dst_cx=8.0, dst_cy=8.0, dst_width=16,
                 dst_height=16, src_fisheye_fov_deg=None, src_k1=0.0, src_k2=0.0, src_k3=0.0, src_k4=0.0,
                 dst_fisheye_fov_deg=180.0, dst_k1=0.0, dst_k2=0.0, dst_k3=0.0, dst_k4=0.0)
    centroids = [(6.3, 5.5, 9.0), (15.7, 12.2, 8.0), (19.0, 4.0, 7.0), (3.0, 15.0, 6.0)]
    tracker = stelvane.FixTracker(max_reference_age_s=60.0, max_disambiguation_distance_nm=100.0)
    cam = stelvane.Camera(**camera)
    calibration = calibrated_fisheye(catalog)
    return {
        "calibrate_camera": (stelvane.calibrate_camera,
                             dict(images=[centroids], catalog=catalog, **camera, fisheye_fov_deg=None, k1=0.0, k2=0.0,
                                  k3=0.0, k4=0.0, scale_tolerance=0.05, times_utc=[UTC], up_cam=lens["up_cam"],
                                  width=24, height=20, fit_distortion=None, centre_tolerance_px=None,
                                  sigma_arcmin=None, psf_sigma_px=1.0, max_stars=300, max_residual_rms_px=1.0)),
        "Calibration.from_json": (stelvane.Calibration.from_json, dict(text=calibration.to_json())),
        "julian_date": (stelvane.julian_date, dict(year=2024, month=3, day=20, hour=22, minute=0, second=0.0)),
        "gmst_deg": (stelvane.gmst_deg, dict(jd_ut=JD)),
        "precess_vector": (stelvane.precess_vector, dict(jd_tt=JD, v=[0.0, 0.6, 0.8])),
        "sun_apparent_jd": (stelvane.sun_apparent_jd, dict(jd=JD)),
        "great_circle_nm": (stelvane.great_circle_nm, dict(lat1_deg=1.0, lon1_deg=2.0, lat2_deg=3.0, lon2_deg=4.0)),
        "detect_centroids": (stelvane.detect_centroids, dict(image=image, max_count=5, mask=mask)),
        "detect_centroids_matched": (stelvane.detect_centroids_matched,
                                     dict(image=image, max_count=5, psf_sigma_px=1.0)),
        "foreground_mask": (stelvane.foreground_mask, dict(image=image)),
        "covariance_ellipse": (stelvane.covariance_ellipse, dict(azimuths_deg=[0.0, 100.0, 230.0], sigma_arcmin=1.0)),
        "remap_image": (stelvane.remap_image, dict(image=image, **remap, fill=3)),
        "remap_mask": (stelvane.remap_mask, dict(mask=mask, **remap)),
        "synthesize_scene": (stelvane.synthesize_scene,
                             dict(catalog=catalog, lat_deg=40.0, lon_deg=-3.0, jd_ut=JD, roll_deg=0.0, width=32,
                                  height=24, focal_px=None, mag_limit=3.0, pixel_noise_arcmin=0.0,
                                  up_noise_arcmin=0.0, background_noise=10.0, seed=1, fisheye_fov_deg=180.0,
                                  k1=0.0, k2=0.0, k3=0.0, k4=0.0, bit_depth=16)),
        "resolve_fix": (stelvane.resolve_fix,
                        dict(image=image, **lens, utc=UTC, catalog=catalog, **solve, use_sun=False, mask=mask)),
        "resolve_from_centroids": (stelvane.resolve_from_centroids,
                                   dict(centroids=centroids, **lens, utc=UTC, catalog=catalog, **solve)),
        "resolve_from_frames": (stelvane.resolve_from_frames,
                                dict(frames=[image, image, image], times_utc=[UTC, UTC[:5] + (10.0,),
                                                                               UTC[:5] + (20.0,)],
                                     **lens, catalog=catalog, **solve, psf_sigma_px=1.0)),
        "Camera": (stelvane.Camera, dict(**camera, width=24, height=20, fisheye_fov_deg=None, k1=0.0, k2=0.0,
                                         k3=0.0, k4=0.0)),
        "Camera.pixel_to_vec": (cam.pixel_to_vec, dict(x=[1.0, 2.0], y=[3.0, 4.0])),
        "Camera.vec_to_pixel": (cam.vec_to_pixel, dict(v=[0.1, 0.2, 1.0])),
        "Camera.__eq__": (cam.__eq__, dict(other=cam)),
        "Catalog": (stelvane.Catalog, dict(catalog_path=str(stelvane.catalogs.__file__), pairs_path="")),
        "Catalog.star": (catalog.star, dict(hr_id=7001)),
        "Catalog.has_pair": (catalog.has_pair, dict(hr_a=7001, hr_b=7557, sep_deg=34.0, tol_deg=1.0)),
        "FixTracker": (stelvane.FixTracker, dict(max_reference_age_s=60.0, max_disambiguation_distance_nm=100.0)),
        "FixTracker.resolve_fix": (tracker.resolve_fix,
                                   dict(image=image, **lens, utc=UTC, catalog=catalog, **solve, use_sun=False)),
        "FixTracker.resolve_from_centroids": (tracker.resolve_from_centroids,
                                              dict(centroids=centroids, **lens, utc=UTC, catalog=catalog, **solve)),
        "FixTracker.set_last_known_position": (tracker.set_last_known_position,
                                               dict(lat_deg=10.0, lon_deg=20.0, utc=UTC)),
    }


NAMES = ["calibrate_camera", "Calibration.from_json", "julian_date", "gmst_deg", "precess_vector", "sun_apparent_jd", "great_circle_nm", "detect_centroids",
         "detect_centroids_matched", "foreground_mask", "covariance_ellipse", "remap_image", "remap_mask",
         "synthesize_scene", "resolve_fix", "resolve_from_centroids", "resolve_from_frames", "Camera",
         "Camera.pixel_to_vec", "Camera.vec_to_pixel", "Camera.__eq__", "Catalog", "Catalog.star",
         "Catalog.has_pair", "FixTracker", "FixTracker.resolve_fix", "FixTracker.resolve_from_centroids",
         "FixTracker.set_last_known_position"]

# The registry of public names must be covered: a new callable needs an entry above.
PUBLIC_CALLABLES = {n for n in stelvane.__all__ if not n.endswith("Error") and n not in ("Fix", "Scene", "Calibration")}


@pytest.fixture(scope="module")
def table(catalog):
    return targets(catalog)


def test_every_public_callable_is_exercised():
    assert PUBLIC_CALLABLES <= set(NAMES)


@pytest.mark.parametrize("name", NAMES)
@settings(max_examples=int(os.environ.get("STELVANE_HOSTILE_EXAMPLES", "25")), deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_hostile_arguments_raise_only_argument_errors(table, name, data):
    fn, good = table[name]
    keys = sorted(good)
    replaced = data.draw(st.sets(st.sampled_from(keys), min_size=1, max_size=3), label="replaced")
    kwargs = dict(good)
    for key in sorted(replaced):
        kwargs[key] = data.draw(HOSTILE, label=key)
    # Now and then as positional arguments, a missing one or an unexpected keyword.
    shape = data.draw(st.sampled_from(["keywords", "positional", "missing", "extra"]), label="shape")
    if shape == "positional" and name not in ("FixTracker",):
        call_checked(fn, *[kwargs[k] for k in good])
    elif shape == "missing":
        kwargs.pop(sorted(replaced)[0])
        call_checked(fn, **kwargs)
    elif shape == "extra":
        call_checked(fn, **kwargs, bogus=1)
    else:
        call_checked(fn, **kwargs)


# ---- focused cases the random draw could miss ------------------------------------------------------

@pytest.mark.parametrize("max_count", [0, 1, 2**32, 2**63 - 1])
def test_huge_max_count_returns_every_detection(max_count):
    image = star_field()
    want = min(max_count, 3)
    assert len(stelvane.detect_centroids(image, max_count)) == want
    assert len(stelvane.detect_centroids_matched(image, max_count, 1.0)) == want


@pytest.mark.parametrize("max_count", [-1, 2**63, 2**64 - 1, 2**100])
def test_max_count_out_of_range_is_an_overflow(max_count):
    with pytest.raises(OverflowError):
        stelvane.detect_centroids(star_field(), max_count)


@pytest.mark.parametrize("width, height", [(2**32 - 1, 2**32 - 1), (2**31, 1), (2**16 + 1, 2**14)])
def test_remap_extent_past_the_pixel_limit_is_refused_before_allocating(width, height):
    with pytest.raises(stelvane.StelvaneError, match="destination image"):
        stelvane.remap_image(star_field(), 30.0, 11.5, 9.5, 30.0, 1.0, 1.0, width, height)


@pytest.mark.parametrize("cls, args", [
    ("Camera", (30.0, 11.5, 9.5)),
    ("Catalog", None),
    ("FixTracker", None),
])
def test_uninitialised_instances_refuse_every_member(cls, args, catalog):
    klass = getattr(stelvane, cls)
    bare = klass.__new__(klass)
    for member in sorted(set(dir(klass)) - set(dir(object)) | {"__eq__", "__hash__", "__repr__"}):
        attr = getattr(klass, member)
        if isinstance(attr, property):
            call_checked(attr.fget, bare)
        elif callable(attr):
            for call_args in [(), (1.0,), (1.0, 2.0), ([0.0, 0.0, 1.0],), (bare,), (stelvane.Camera(30.0, 1.0, 1.0),)]:
                call_checked(attr, bare, *call_args)


@pytest.mark.parametrize("cls", ["Camera", "Catalog", "FixTracker", "Fix", "Scene", "Calibration"])
def test_copies_and_subclasses_never_reach_an_unconstructed_value(cls):
    klass = getattr(stelvane, cls)

    class Sub(klass):
        def __init__(self):  # skips the base constructor
            pass

    with pytest.raises(TypeError):
        Sub()
    try:
        bare = Sub.__new__(Sub)
    except TypeError:
        return  # Fix and Scene: no instance without the functions that return them
    for member in sorted(set(dir(klass)) - set(dir(object))):
        attr = getattr(klass, member)
        if isinstance(attr, property):
            call_checked(attr.fget, bare)
        elif callable(attr):
            call_checked(attr, bare)


@pytest.mark.parametrize("how", [copy.copy, copy.deepcopy, pickle.dumps])
def test_a_tracker_refuses_copy_and_pickle(how):
    # The default reduction would build the copy with __new__ alone. (Camera, Catalog and Fix pickle by
    # value: test_pickle.py.)
    with pytest.raises(TypeError, match="cannot pickle"):
        how(stelvane.FixTracker(max_reference_age_s=1.0, max_disambiguation_distance_nm=1.0))


@pytest.mark.parametrize("cls", ["Camera", "Catalog"])
def test_pickling_an_unconstructed_instance_is_refused(cls):
    klass = getattr(stelvane, cls)
    bare = klass.__new__(klass)
    for how in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(stelvane.StelvaneError, match=f"^this {cls} was never "):
            how(bare)


@pytest.mark.parametrize("cls, state, message", [
    ("Camera", (), r"^a Camera state is \(effective_focal_px, cx, cy, fisheye_fov_deg, k1, k2, k3, k4\)$"),
    ("Camera", (1.0,) * 9, r"^a Camera state is \("),
    ("Camera", (1.0, 2.0, "3", None, 0.0, 0.0, 0.0, 0.0), r"^Camera state item 2: must be real number, not str$"),
    ("Camera", (1.0, 2.0, 3.0, [180.0], 0.0, 0.0, 0.0, 0.0), r"^Camera state item 3: must be real number, not list$"),
    ("Camera", [1.0] * 8, r"^__setstate__\(\): incompatible constructor arguments"),
    ("Catalog", (b"",), r"^a Catalog state is \(catalog_image, pairs_image\), two bytes objects$"),
    ("Catalog", ("SCAT", b""), r"^a Catalog state is \("),
    ("Catalog", (bytearray(20), b""), r"^a Catalog state is \("),
])
def test_a_malformed_state_is_refused(cls, state, message):
    klass = getattr(stelvane, cls)
    with pytest.raises(TypeError, match=message):
        klass.__new__(klass).__setstate__(state)


RAD_TO_ARCMIN = 180.0 / math.pi * 60.0
FIX_STATE = dict(latitude_deg=1.0, longitude_deg=2.0, covariance=(1e-6, 0.0, 0.0, 1e-6),
                 ellipse_2sigma_nm=(3.0, 3.0, 0.0), matched_hr_ids=(424, 7001), n_iterations=3, used_sun=False,
                 residual_rms_rad=1e-4, match_margin=2, attitude=(0.0, 0.0, 0.0, 1.0),
                 sights=((424, 10.0, 20.0, 0.5, 0.25, 3e-4, 1e-5), (7001, 30.0, 40.0, 2.5, 0.75, 3e-4, -1e-5)),
                 up_unit=(0.0, 0.0, 1.0), jd=2460000.5, arcmin_per_pixel=1.5, bodies_seen=("Venus", "Moon"),
                 plate_scale_ratio=0.998, plate_scale_ratio_sigma=1e-4)
FIX_KEYS = ("latitude_deg, longitude_deg, covariance, ellipse_2sigma_nm, matched_hr_ids, n_iterations, used_sun, "
            "residual_rms_rad, match_margin, attitude, sights, up_unit, jd, arcmin_per_pixel, bodies_seen, "
            "plate_scale_ratio, plate_scale_ratio_sigma")


@pytest.mark.parametrize("state, message", [
    (None, f"a Fix state is a dict with exactly the keys {FIX_KEYS}"),
    ({k: v for k, v in FIX_STATE.items() if k != "attitude"}, f"a Fix state is a dict with exactly the keys {FIX_KEYS}"),
    ({**FIX_STATE, "extra": 1}, f"a Fix state is a dict with exactly the keys {FIX_KEYS}"),
    ({**FIX_STATE, "latitude_deg": "1.0"}, "Fix state field 'latitude_deg': must be real number, not str"),
    ({**FIX_STATE, "covariance": (1.0, 2.0, 3.0)}, "Fix state field 'covariance': expected 4 numbers, got 3"),
    ({**FIX_STATE, "matched_hr_ids": (424, -1)}, "Fix state field 'matched_hr_ids': can't convert negative int to "
                                                 "unsigned"),
    ({**FIX_STATE, "matched_hr_ids": "424"}, "Fix state field 'matched_hr_ids': expected a sequence, not str"),
    ({**FIX_STATE, "used_sun": 0}, "Fix state field 'used_sun': expected a bool"),
    ({**FIX_STATE, "n_iterations": 2**70}, "Fix state field 'n_iterations': int too large to convert to an "
                                           "unsigned count"),
    ({**FIX_STATE, "sights": ((424, 1.0, 2.0),)}, "Fix state field 'sights': expected sights of 7 fields each"),
    ({**FIX_STATE, "up_unit": (0.0, 1.0)}, "Fix state field 'up_unit': expected 3 numbers, got 2"),
    ({**FIX_STATE, "bodies_seen": ("Pluto",)}, "Fix state field 'bodies_seen': unknown body 'Pluto'"),
    ({**FIX_STATE, "bodies_seen": (3,)}, "Fix state field 'bodies_seen': expected body names"),
    ({**FIX_STATE, "plate_scale_ratio": None}, "Fix state field 'plate_scale_ratio': must be real number, not NoneType"),
])
def test_a_malformed_fix_state_is_refused(state, message):
    with pytest.raises(TypeError, match="^" + re.escape(message) + "$"):
        stelvane.Fix._from_state(state)


def test_a_fix_state_builds_the_fix_it_describes():
    fix = stelvane.Fix._from_state(FIX_STATE)
    assert (fix.latitude_deg, fix.longitude_deg, fix.covariance, fix.ellipse_2sigma_nm, fix.matched_hr_ids,
            fix.n_iterations, fix.used_sun, fix.residual_rms_rad, fix.match_margin) == (
        1.0, 2.0, [[1e-6, 0.0], [0.0, 1e-6]], (3.0, 3.0, 0.0), [424, 7001], 3, False, 1e-4, 2)
    assert (fix.up_cam, fix.jd, fix.arcmin_per_pixel, fix.bodies_seen) == ((0.0, 0.0, 1.0), 2460000.5, 1.5,
                                                                           ["Venus", "Moon"])
    assert (fix.plate_scale_ratio, fix.plate_scale_ratio_sigma) == (0.998, 1e-4)
    assert fix.sights.tolist() == [(424, 10.0, 20.0, math.degrees(0.5), math.degrees(0.25),
                                    3e-4 * RAD_TO_ARCMIN, 1e-5 * RAD_TO_ARCMIN),
                                   (7001, 30.0, 40.0, math.degrees(2.5), math.degrees(0.75),
                                    3e-4 * RAD_TO_ARCMIN, -1e-5 * RAD_TO_ARCMIN)]


def test_a_constructed_instance_keeps_its_value_under_setstate(catalog):
    # The objects are immutable: a second construction through __setstate__ is ignored, not applied.
    camera = stelvane.Camera(1000.0, 320.0, 240.0)
    camera.__setstate__(stelvane.Camera(500.0, 10.0, 10.0).__getstate__())
    catalog.__setstate__(stelvane.catalogs.load("pinhole").__getstate__())
    assert (camera.effective_focal_px, camera.cx, catalog.n_stars) == (1000.0, 320.0, 287)


def test_a_forged_catalog_state_meets_the_loader():
    # A header claiming 4e9 stars in 20 bytes: refused without reserving room for them.
    forged = b"SCAT\x02\x00\x00\x00\x00\x28\x6b\xee" + bytes(8)
    with pytest.raises(stelvane.CatalogFormatError, match="^catalog format error: truncated: wanted 4 bytes at "
                                                          "offset 20$"):
        stelvane.Catalog.__new__(stelvane.Catalog).__setstate__((forged, b"SPRS\x01\x00\x00\x00\x00\x00\x00\x00"))


def test_uninitialised_camera_is_refused_with_its_message():
    bare = stelvane.Camera.__new__(stelvane.Camera)
    with pytest.raises(stelvane.StelvaneError, match="^this Camera was never constructed"):
        _ = bare.cx
    with pytest.raises(stelvane.StelvaneError, match="^this Camera was never constructed"):
        bare.vec_to_pixel([0.0, 0.0, 1.0])
    with pytest.raises(stelvane.StelvaneError, match="^this Camera was never constructed"):
        _ = stelvane.Camera(30.0, 1.0, 1.0) == bare


@pytest.mark.parametrize("cls", ["Fix", "Scene"])
def test_classes_without_constructor_refuse_new(cls):
    klass = getattr(stelvane, cls)
    with pytest.raises(TypeError, match="^cannot create"):
        klass()
    with pytest.raises(TypeError):
        klass.__new__(klass)


def test_members_of_a_real_scene_and_fix(catalog):
    scene = stelvane.synthesize_scene(catalog, 40.0, -3.0, JD, 0.0, 256, 256, None, 3.0, 0.0, 0.0, 0.0, 1,
                                      fisheye_fov_deg=180.0)
    for member in ["pixels", "up_cam", "star_pixels", "rendered_hr_ids", "boresight_alt_deg", "boresight_az_deg",
                   "width", "height"]:
        getattr(scene, member)
    assert scene.pixels.shape == (256, 256)


# ---- sequences that change while they are converted -------------------------------------------------

class Emptier:
    """A number whose conversion empties the list that holds it (and frees the other items)."""

    def __init__(self, victim, value):
        self.victim = victim
        self.value = value

    def __float__(self):
        self.victim.clear()
        return self.value


def emptied_list(values):
    victim = []
    victim.extend([Emptier(victim, values[0])] + [float(v) for v in values[1:]])
    return victim


@pytest.mark.parametrize("call", [
    lambda seq: stelvane.covariance_ellipse(seq, 1.0),
    lambda seq: stelvane.precess_vector(2451545.0, seq[:3]),
    lambda seq: stelvane.Camera(30.0, 11.5, 9.5).pixel_to_vec(seq, [float(v) for v in range(len(seq))]),
    lambda seq: stelvane.Camera(30.0, 11.5, 9.5).vec_to_pixel(seq[:3]),
], ids=["covariance_ellipse", "precess_vector", "pixel_to_vec", "vec_to_pixel"])
def test_a_list_emptied_by_its_own_item_converts_as_it_was(call):
    values = [10.0, 100.5, 230.25] + [1.5 * k for k in range(200)]
    want = call(list(values))
    got = call(emptied_list(values))
    assert np.array_equal(np.asarray(got, dtype=float), np.asarray(want, dtype=float), equal_nan=True)


def test_centroid_triples_emptied_during_conversion_are_read_as_passed(catalog):
    triples = [(10.0 + k, 20.0 + 2 * k, 100.0 - k) for k in range(60)]

    def solve(centroids):
        try:
            return stelvane.resolve_from_centroids(centroids, 3000.0, 11.5, 9.5, [0.0, 0.0, -1.0], UTC, catalog)
        except stelvane.StelvaneError as e:
            return str(e)

    want = solve([list(t) for t in triples])
    outer = [list(t) for t in triples]
    outer[0][0] = Emptier(outer, triples[0][0])  # empties the outer list from inside the first triple
    inner = [list(t) for t in triples]
    inner[0][0] = Emptier(inner[0], triples[0][0])  # empties its own triple
    assert solve(outer) == want
    assert solve(inner) == want
