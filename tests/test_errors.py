"""The error classes: one subclass of StelvaneError per engine error kind, carrying the kind's
payload as attributes, and InvalidArgumentError for the module's own refusals. Every kind is
reached through the public API and keeps the message StelvaneError has always carried."""

import copy
import datetime
import errno
import math
import os
import pickle

import numpy as np
import pytest

import stelvane
import stelvane.catalogs
from stelvane import _lib
from test_tracker import AMBIGUOUS, FISHEYE, JD, LAT, LON, SIZE, Sky, tracker

NIGHT = (2024, 4, 1, 22, 0, 0)
# The instant's Julian Date from the Unix epoch (JD 2440587.5), not from the module.
NIGHT_JD = 2440587.5 + datetime.datetime(*NIGHT, tzinfo=datetime.timezone.utc).timestamp() / 86400
FISH = dict(focal_px=None, cx=512.0, cy=512.0, fisheye_fov_deg=180.0)

SUBCLASSES = ["InsufficientStarsError", "AmbiguousMatchError", "NoMatchError", "SingularGeometryError",
              "BadImageError", "DegenerateUpError", "CatalogFormatError", "CatalogIOError", "ThinLockError",
              "CalibrationError", "InvalidArgumentError"]


@pytest.fixture(scope="module")
def allsky():
    return stelvane.catalogs.load("allsky")


@pytest.fixture(scope="module")
def scene(allsky):
    return stelvane.synthesize_scene(allsky, 48.5, 11.25, NIGHT_JD, 0.0, 1024, 1024, None, 6.0, 0.0, 0.0, 0.0, 1,
                                     fisheye_fov_deg=180.0)


@pytest.fixture(scope="module")
def sky(tmp_path_factory):
    """One seven-star pattern written twice into a catalog, the copy turned about the pole: a tie."""
    return Sky(tmp_path_factory.mktemp("tie"))


def centroids_of(scene):
    return [(x, y, 1000.0 - k) for k, (x, y) in enumerate(scene.star_pixels)]


def solve(allsky, scene, centroids=None, up=None, **kw):
    return stelvane.resolve_from_centroids(centroids_of(scene) if centroids is None else centroids,
                                           up_cam=scene.up_cam if up is None else up, utc=NIGHT, catalog=allsky,
                                           **FISH, **kw)


def thin_lock_message(reason, fix):
    return (f"thin lock: {reason} (matched {len(fix.matched_hr_ids)} stars, margin {fix.match_margin}, "
            f"residual rms {fix.residual_rms_rad:.6f} rad)")


def truncated_catalog(tmp_path):
    path = tmp_path / "short.scat"
    path.write_bytes(b"SCA")
    return stelvane.Catalog(str(path), str(path))


def missing_catalog(tmp_path):
    return stelvane.Catalog(str(tmp_path / "absent.scat"), str(tmp_path / "absent.sprs"))


NO_SUCH_FILE = f"{os.strerror(errno.ENOENT)} (os error {errno.ENOENT})"
MASK_MISMATCH = "mask 4x3 (12 flags) does not match the 1024x1024 frame"
FOUR_LONELY_POINTS = [(500, 500, 4), (501, 500, 3), (500, 501, 2), (501, 501, 1)]
# The ideal 180-degree fisheye on 1024 rows has the focal 512 / (pi / 2).
UNIDENTIFIED = f"none of 1 frames identified with the focal within 5 % of {512 / (math.pi / 2):.1f} px"

# (id, call(allsky, scene, tmp_path), class, message, instance attributes). Expected payloads are
# the numbers the message prints; a thin lock's are read from the unguarded fix.
ENGINE_KINDS = [
    ("insufficient", lambda c, s, t: solve(c, s, centroids_of(s)[:3]), "InsufficientStarsError",
     "insufficient stars: needed 4, got 3", dict(needed=4, got=3)),
    ("no match", lambda c, s, t: solve(c, s, FOUR_LONELY_POINTS, up=(0, 0, 1)), "NoMatchError",
     "no star pattern match found", {}),
    ("singular", lambda c, s, t: solve(c, s, sigma_arcmin=0.0), "SingularGeometryError",
     "observation geometry is singular", {}),
    ("bad image", lambda c, s, t: stelvane.resolve_fix(s.pixels, up_cam=s.up_cam, utc=NIGHT, catalog=c,
                                                       mask=np.zeros((3, 4), bool), **FISH),
     "BadImageError", f"bad image: {MASK_MISMATCH}", dict(detail=MASK_MISMATCH)),
    ("degenerate up", lambda c, s, t: solve(c, s, up=(0, 0, 0)), "DegenerateUpError",
     "up vector is degenerate: zero length or non-finite", {}),
    ("catalog format", lambda c, s, t: truncated_catalog(t), "CatalogFormatError",
     "catalog format error: truncated: wanted 4 bytes at offset 0", dict(detail="truncated: wanted 4 bytes at offset 0")),
    ("catalog i/o", lambda c, s, t: missing_catalog(t), "CatalogIOError", f"i/o error: {NO_SUCH_FILE}",
     dict(detail=NO_SUCH_FILE)),
    ("calibration", lambda c, s, t: stelvane.calibrate_camera([FOUR_LONELY_POINTS], c, fisheye_fov_deg=180.0,
                                                              width=1024, height=1024),
     "CalibrationError", f"calibration refused: no frame identified ({UNIDENTIFIED})",
     dict(reason="no frame identified", detail=UNIDENTIFIED)),
]

MODULE_REFUSALS = [
    ("focal rule", lambda c, s, t: stelvane.resolve_from_centroids(
        centroids_of(s), None, 512.0, 512.0, s.up_cam, NIGHT, c), "InvalidArgumentError",
     "focal_px is required for the pinhole camera (fisheye_fov_deg=None); focal_px=None is only meaningful for "
     "the ideal equidistant fisheye"),
    ("image intake", lambda c, s, t: stelvane.detect_centroids(np.zeros((4, 4), np.float32), 5),
     "InvalidArgumentError", "image must be a 2-D uint8 or uint16 numpy array"),
    ("mask intake", lambda c, s, t: stelvane.detect_centroids(s.pixels, 5, mask=np.zeros((1024, 1024), np.uint8)),
     "InvalidArgumentError", "mask must be a 2-D bool numpy array"),
    ("naive utc", lambda c, s, t: stelvane.resolve_from_centroids(
        centroids_of(s), up_cam=s.up_cam, utc=datetime.datetime(2024, 4, 1, 22), catalog=c, **FISH),
     "InvalidArgumentError", "utc is a naive datetime, which fixes no instant in time: attach the tzinfo the "
                             "timestamp was recorded in (datetime.timezone.utc when it is already UTC)"),
    ("psf width", lambda c, s, t: stelvane.detect_centroids_matched(s.pixels, 5, 0.0), "InvalidArgumentError",
     "psf_sigma_px must be finite and in (0, 64] pixels (got 0); a star PSF is 1-2 px sigma"),
    ("derived extent", lambda c, s, t: stelvane.Camera(None, 0.0, 240.0, fisheye_fov_deg=180.0),
     "InvalidArgumentError",
     "width defaults to 2 * cx, so cx must be positive (got 0); pass width explicitly for an off-centre principal "
     "point"),
    ("too few azimuths", lambda c, s, t: stelvane.covariance_ellipse([45.0], 1.0), "InvalidArgumentError",
     "need at least two azimuths"),
    ("unknown star", lambda c, s, t: c.star(0), "InvalidArgumentError", "HR 0 not in catalog"),
    # Sights at opposite azimuths give parallel lines of position: the geometry, not an argument, fails.
    ("parallel sights", lambda c, s, t: stelvane.covariance_ellipse([30.0, 210.0], 1.0), "SingularGeometryError",
     "singular geometry: parallel lines of position"),
]


def raised(call, allsky, scene, tmp_path):
    with pytest.raises(stelvane.StelvaneError) as info:
        call(allsky, scene, tmp_path)
    return info.value


@pytest.mark.parametrize("name", SUBCLASSES)
def test_each_class_is_a_direct_subclass_of_the_base(name):
    cls = getattr(stelvane, name)
    assert cls.__bases__ == (stelvane.StelvaneError,)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "stelvane")
    assert cls.__doc__
    assert getattr(_lib, name) is cls
    assert not issubclass(_lib._InternalFault, cls)


@pytest.mark.parametrize("case, call, cls, message, attributes", ENGINE_KINDS, ids=[k[0] for k in ENGINE_KINDS])
def test_engine_kinds_raise_their_class_with_the_payload(allsky, scene, tmp_path, case, call, cls, message,
                                                         attributes):
    e = raised(call, allsky, scene, tmp_path)
    assert type(e) is getattr(stelvane, cls)
    assert str(e) == message
    assert e.args == (message,)
    assert vars(e) == attributes


@pytest.mark.parametrize("case, call, cls, message", MODULE_REFUSALS, ids=[k[0] for k in MODULE_REFUSALS])
def test_module_refusals_raise_their_class_without_payload(allsky, scene, tmp_path, case, call, cls, message):
    e = raised(call, allsky, scene, tmp_path)
    assert type(e) is getattr(stelvane, cls)
    assert e.args == (message,)
    assert vars(e) == {}


@pytest.mark.parametrize("gate, reason", [
    ("min_matched_stars", "fewer matched stars than the configured minimum"),
    ("max_residual_rms_arcmin", "residual rms above the configured maximum"),
])
def test_a_thin_lock_carries_its_reason_and_counts(allsky, scene, gate, reason):
    fix = solve(allsky, scene)
    limit = len(fix.matched_hr_ids) + 1 if gate == "min_matched_stars" else 1e-6
    with pytest.raises(stelvane.ThinLockError) as info:
        solve(allsky, scene, **{gate: limit})
    e = info.value
    assert e.args == (thin_lock_message(reason, fix),)
    assert vars(e) == dict(reason=reason, matched=len(fix.matched_hr_ids), margin=fix.match_margin,
                           residual_rms_rad=fix.residual_rms_rad)


def pattern_hr(star_index):
    """The tie's catalog holds pattern star k at index k (HR 101 + k) and its copy at 7 + k (HR 201 + k)."""
    return 101 + star_index if star_index < 7 else 201 + star_index - 7


@pytest.mark.parametrize("road", ["module", "tracker"])
def test_a_tie_carries_both_identifications(sky, road):
    solve_tied = stelvane.resolve_from_centroids if road == "module" else tracker().resolve_from_centroids
    with pytest.raises(stelvane.AmbiguousMatchError) as info:
        solve_tied(**sky.args(sky.double))
    e = info.value
    assert e.args == (AMBIGUOUS,)
    # Centroid k is the k-th star drawn; the two identifications name it as the star and as its copy.
    drawn = stelvane.synthesize_scene(sky.single, LAT, LON, JD, 0.0, SIZE, SIZE, None, 6.0, 0.0, 0.0, 0.0, 1,
                                      **FISHEYE).rendered_hr_ids
    named = [{cam: pattern_hr(star) for cam, star in e.correspondences_a},
             {cam: pattern_hr(star) for cam, star in e.correspondences_b}]
    assert sorted(named, key=lambda m: m[0]) == [dict(enumerate(drawn)), {k: hr + 100 for k, hr in enumerate(drawn)}]
    assert e.hr_ids_a == [pattern_hr(star) for _, star in e.correspondences_a]
    assert e.hr_ids_b == [pattern_hr(star) for _, star in e.correspondences_b]
    assert all(type(pair) is tuple and len(pair) == 2 for pair in e.correspondences_a + e.correspondences_b)
    # Tied: neither residual sum is below 0.7 of the other, the matcher's clear-win ratio.
    assert 0.7 * e.residual_sum_b_rad <= e.residual_sum_a_rad and 0.7 * e.residual_sum_a_rad <= e.residual_sum_b_rad
    # Each of the seven verified stars lies within the match tolerance: 4 sigma, sigma being half the
    # fisheye's pixel scale (focal (SIZE / 2) / (pi / 2) pixels per radian).
    tolerance_rad = 4 * 0.5 * (math.pi / 2) / (SIZE / 2)
    assert 0.0 <= e.residual_sum_a_rad <= 7 * tolerance_rad and 0.0 <= e.residual_sum_b_rad <= 7 * tolerance_rad


@pytest.mark.parametrize("how", [pickle.dumps, copy.copy, copy.deepcopy])
@pytest.mark.parametrize("case, call, cls, message, attributes", ENGINE_KINDS + [k + ({},) for k in MODULE_REFUSALS],
                         ids=[k[0] for k in ENGINE_KINDS + MODULE_REFUSALS])
def test_instances_survive_pickle_and_copy(allsky, scene, tmp_path, how, case, call, cls, message, attributes):
    e = raised(call, allsky, scene, tmp_path)
    clone = pickle.loads(how(e)) if how is pickle.dumps else how(e)
    assert type(clone) is getattr(stelvane, cls)
    assert clone.args == (message,)
    assert vars(clone) == attributes


def test_a_tie_survives_pickle(sky):
    with pytest.raises(stelvane.AmbiguousMatchError) as info:
        stelvane.resolve_from_centroids(**sky.args(sky.double))
    clone = pickle.loads(pickle.dumps(info.value))
    assert type(clone) is stelvane.AmbiguousMatchError
    assert clone.args == (AMBIGUOUS,)
    assert vars(clone) == vars(info.value) and len(clone.hr_ids_a) == 7


def test_the_tracker_keeps_value_error_for_a_bad_position():
    with pytest.raises(ValueError, match=r"^latitude 91 out of range \[-90, 90\]$") as info:
        tracker().set_last_known_position(91.0, 0.0, (2000, 1, 1, 12, 0, 0))
    assert not isinstance(info.value, stelvane.StelvaneError)
