"""stelvane.FixTracker: tie-breaking with a remembered position. The tied match comes from
a catalog written here with struct.pack that holds one seven-star pattern twice, the copy
turned 40 degrees about the celestial pole: the same photograph then fits an observer at
longitude 20 and one at longitude 60 equally well. Distances are checked with the haversine
formula written out here."""

from __future__ import annotations

import datetime
import inspect
import math
import random
import struct
from pathlib import Path

import pytest

import stelvane
from stelvane import StelvaneError

UTC_TUPLE = (2000, 1, 1, 12, 0, 0)  # JD 2451545.0: precession from the catalog epoch is nil
JD = 2451545.0
LAT, LON = 10.0, 20.0
SHIFT_DEG = 40.0  # the copy's turn about the pole, hence the rival fix's longitude offset
LON_B = LON + SHIFT_DEG
GMST_DEG = 280.46061837  # Greenwich mean sidereal angle at JD 2451545.0 (IAU 1982)
SIZE = 800
FISHEYE = dict(fisheye_fov_deg=180.0)
AMBIGUOUS = "star pattern match is ambiguous: 7 vs 7 correspondences"
NM_PER_DEG = 60.0


def haversine_nm(lat1, lon1, lat2, lon2) -> float:
    p1, p2 = math.radians(lat1), math.radians(lat2)
    dp, dl = p2 - p1, math.radians(lon2 - lon1)
    a = math.sin(dp / 2) ** 2 + math.cos(p1) * math.cos(p2) * math.sin(dl / 2) ** 2
    return math.degrees(2 * math.asin(math.sqrt(a))) * NM_PER_DEG


def unit(ra_deg: float, dec_deg: float) -> tuple[float, float, float]:
    ra, dec = math.radians(ra_deg), math.radians(dec_deg)
    return (math.cos(dec) * math.cos(ra), math.cos(dec) * math.sin(ra), math.sin(dec))


def catalog_file(stars: list[tuple[int, float, float, float]]) -> bytes:
    """A "SCAT" version-2 file at epoch 2000 of (hr, vmag, ra_deg, dec_deg), no proper motion."""
    out = bytearray(b"SCAT" + struct.pack("<IId", 2, len(stars), 2000.0))
    for hr, vmag, ra, dec in stars:
        out += struct.pack("<If5d3f", hr, vmag, math.radians(ra), math.radians(dec), *unit(ra, dec), 0.0, 0.0, 0.0)
    return bytes(out)


def pairs_file(stars: list[tuple[int, float, float, float]]) -> bytes:
    """A "SPRS" version-1 file with every pair, ascending single-precision cosine."""
    def f32(x: float) -> float:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    pairs = []
    for i in range(len(stars)):
        for j in range(i + 1, len(stars)):
            a, b = unit(*stars[i][2:]), unit(*stars[j][2:])
            pairs.append((f32(sum(x * y for x, y in zip(a, b))), i, j))
    pairs.sort(key=lambda p: p[0])
    out = bytearray(b"SPRS" + struct.pack("<II", 1, len(pairs)))
    for c, i, j in pairs:
        out += struct.pack("<fHH", c, i, j)
    return bytes(out)


def pattern() -> list[tuple[float, float, float]]:
    """Seven stars (vmag, ra, dec) scattered within 15 degrees of the zenith of (LAT, LON) at JD,
    no two closer than 3 degrees; a random pattern has no mirror symmetry."""
    rng = random.Random(5)
    lst = GMST_DEG + LON
    stars: list[tuple[float, float, float]] = []
    while len(stars) < 7:
        ra, dec = lst + rng.uniform(-15, 15), LAT + rng.uniform(-15, 15)
        if all(math.degrees(math.acos(min(1.0, sum(x * y for x, y in zip(unit(ra, dec), unit(r, d)))))) > 3.0
               for _, r, d in stars):
            stars.append((1.0 + 0.2 * len(stars), ra % 360.0, dec))
    return stars


def write(tmp_path: Path, name: str, stars) -> stelvane.Catalog:
    cat, prs = tmp_path / f"{name}.scat", tmp_path / f"{name}.sprs"
    cat.write_bytes(catalog_file(stars))
    prs.write_bytes(pairs_file(stars))
    return stelvane.Catalog(str(cat), str(prs))


class Sky:
    """The pattern alone (one identification) and the pattern with its turned copy (a tie), and the
    centroids and vertical of the pattern photographed by a zenith fisheye from (LAT, LON)."""

    def __init__(self, tmp_path: Path):
        stars = pattern()
        single = [(101 + k, v, ra, dec) for k, (v, ra, dec) in enumerate(stars)]
        copy = [(201 + k, v, (ra + SHIFT_DEG) % 360.0, dec) for k, (v, ra, dec) in enumerate(stars)]
        self.single = write(tmp_path, "single", single)
        self.double = write(tmp_path, "double", single + copy)
        scene = stelvane.synthesize_scene(self.single, LAT, LON, JD, 0.0, SIZE, SIZE, None, 6.0, 0.0, 0.0, 0.0, 1,
                                          **FISHEYE)
        assert sorted(scene.rendered_hr_ids) == list(range(101, 108))
        self.centroids = [(x, y, 100.0 - k) for k, (x, y) in enumerate(scene.star_pixels)]
        self.up = scene.up_cam
        self.image = scene.pixels

    def args(self, catalog, utc=UTC_TUPLE, **kw):
        return dict(centroids=self.centroids, focal_px=None, cx=SIZE / 2, cy=SIZE / 2, up_cam=self.up, utc=utc,
                    catalog=catalog, **FISHEYE, **kw)


@pytest.fixture(scope="module")
def sky(tmp_path_factory):
    return Sky(tmp_path_factory.mktemp("tie"))


def tracker(age=3600.0, distance=50.0) -> stelvane.FixTracker:
    return stelvane.FixTracker(max_reference_age_s=age, max_disambiguation_distance_nm=distance)


def at(fix, lat, lon, within_nm=5.0) -> bool:
    return haversine_nm(fix.latitude_deg, fix.longitude_deg, lat, lon) < within_nm


def utc_after(seconds: float) -> datetime.datetime:
    return datetime.datetime(*UTC_TUPLE, tzinfo=datetime.timezone.utc) + datetime.timedelta(seconds=seconds)


# ---------------------------------------------------------------------------
# The tied match and its resolution.

def test_the_pattern_alone_solves_to_the_observer(sky):
    fix = stelvane.resolve_from_centroids(**sky.args(sky.single))
    assert at(fix, LAT, LON) and sorted(fix.matched_hr_ids) == list(range(101, 108))


@pytest.mark.parametrize("solve", [stelvane.resolve_from_centroids, tracker().resolve_from_centroids],
                         ids=["module", "new tracker"])
def test_the_repeated_pattern_is_ambiguous_without_a_reference(sky, solve):
    with pytest.raises(StelvaneError, match=f"^{AMBIGUOUS}$"):
        solve(**sky.args(sky.double))


@pytest.mark.parametrize("ref_lon, want_lon, want_ids", [(LON + 0.3, LON, range(101, 108)),
                                                          (LON_B - 0.3, LON_B, range(201, 208))])
def test_a_supplied_position_picks_the_nearer_candidate(sky, ref_lon, want_lon, want_ids):
    t = tracker()
    t.set_last_known_position(LAT, ref_lon, utc_after(-1800))
    fix = t.resolve_from_centroids(**sky.args(sky.double))
    assert at(fix, LAT, want_lon) and sorted(fix.matched_hr_ids) == list(want_ids)
    assert fix.match_margin == 0
    # The module function still refuses to guess.
    with pytest.raises(StelvaneError, match=f"^{AMBIGUOUS}$"):
        stelvane.resolve_from_centroids(**sky.args(sky.double))


@pytest.mark.parametrize("ref_offset_s", [-3599.0, 3599.0, 0.0])
def test_a_reference_within_the_age_bound_counts_by_its_absolute_age(sky, ref_offset_s):
    t = tracker(age=3600.0)
    t.set_last_known_position(LAT, LON_B, utc_after(ref_offset_s))
    assert at(t.resolve_from_centroids(**sky.args(sky.double)), LAT, LON_B)


@pytest.mark.parametrize("age, ambiguous", [(5400.0, False), (5399.999, True)])
def test_an_age_exactly_at_the_bound_qualifies(sky, age, ambiguous):
    # 13:30 UTC is JD 2451545.0625, exactly 5400 s after the solve's JD 2451545.0 in binary.
    t = tracker(age=age)
    t.set_last_known_position(LAT, LON_B, (2000, 1, 1, 13, 30, 0))
    if ambiguous:
        with pytest.raises(StelvaneError, match=f"^{AMBIGUOUS}$"):
            t.resolve_from_centroids(**sky.args(sky.double))
    else:
        assert at(t.resolve_from_centroids(**sky.args(sky.double)), LAT, LON_B)


@pytest.mark.parametrize("ref_offset_s", [-7200.0, -3601.0, 3601.0])
def test_a_stale_reference_leaves_the_tie(sky, ref_offset_s):
    t = tracker(age=3600.0)
    t.set_last_known_position(LAT, LON, utc_after(ref_offset_s))
    with pytest.raises(StelvaneError, match=f"^{AMBIGUOUS}$"):
        t.resolve_from_centroids(**sky.args(sky.double))


def test_a_distant_reference_leaves_the_tie_and_stays(sky):
    # 1.5 degrees of longitude at latitude 10 is about 89 nm from the nearer candidate.
    t = tracker(distance=50.0)
    assert 80.0 < haversine_nm(LAT, LON + 1.5, LAT, LON) < 95.0
    t.set_last_known_position(LAT, LON + 1.5, UTC_TUPLE)
    for _ in range(2):
        with pytest.raises(StelvaneError, match=f"^{AMBIGUOUS}$"):
            t.resolve_from_centroids(**sky.args(sky.double))
    # A wider bound accepts the same reference: it was kept.
    wide = tracker(distance=100.0)
    wide.set_last_known_position(LAT, LON + 1.5, UTC_TUPLE)
    assert at(wide.resolve_from_centroids(**sky.args(sky.double)), LAT, LON)


def test_a_healthy_fix_becomes_the_reference(sky):
    t = tracker()
    t.set_last_known_position(LAT, LON_B, UTC_TUPLE)
    healthy = t.resolve_from_centroids(**sky.args(sky.single))
    assert at(healthy, LAT, LON) and healthy.match_margin > 0
    # The healthy fix replaced the supplied position: the tie now goes to longitude 20.
    fix = t.resolve_from_centroids(**sky.args(sky.double))
    assert at(fix, LAT, LON) and fix.match_margin == 0


def test_a_pick_by_position_becomes_the_next_reference(sky):
    # The same photograph 3000 s later: the sky has turned 12.5 degrees, so both candidates sit
    # 12.5 degrees further west. Only the pick recorded at time 0 is recent enough to break that tie:
    # the supplied position, dated -3000 s, is then 6000 s old.
    turn = 3000.0 * 360.98564736629 / 86400.0
    t = tracker(age=3600.0, distance=1000.0)
    t.set_last_known_position(LAT, LON_B, utc_after(-3000))
    assert at(t.resolve_from_centroids(**sky.args(sky.double)), LAT, LON_B)
    later = t.resolve_from_centroids(**sky.args(sky.double, utc=utc_after(3000)))
    assert at(later, LAT, LON_B - turn) and later.match_margin == 0
    fresh = tracker(age=3600.0, distance=1000.0)
    fresh.set_last_known_position(LAT, LON_B, utc_after(-3000))
    with pytest.raises(StelvaneError, match=f"^{AMBIGUOUS}$"):
        fresh.resolve_from_centroids(**sky.args(sky.double, utc=utc_after(3000)))


@pytest.mark.parametrize("gate, reason", [
    (dict(min_matched_stars=8), "fewer matched stars than the configured minimum"),
    (dict(max_residual_rms_arcmin=1e-9), "residual rms above the configured maximum"),
])
def test_a_thin_lock_never_updates_the_reference(sky, gate, reason):
    t = tracker()
    t.set_last_known_position(LAT, LON_B, UTC_TUPLE)
    with pytest.raises(StelvaneError, match=f"^thin lock: {reason}"):
        t.resolve_from_centroids(**sky.args(sky.single, **gate))
    # Both tied candidates fail the same gate: the tie stands and nothing is recorded.
    with pytest.raises(StelvaneError, match=f"^{AMBIGUOUS}$"):
        t.resolve_from_centroids(**sky.args(sky.double, **gate))
    assert at(t.resolve_from_centroids(**sky.args(sky.double)), LAT, LON_B)


def test_the_image_road_breaks_the_tie_too(sky):
    args = dict(image=sky.image, focal_px=None, cx=SIZE / 2, cy=SIZE / 2, up_cam=sky.up, utc=UTC_TUPLE,
                catalog=sky.double, **FISHEYE)
    with pytest.raises(StelvaneError, match=f"^{AMBIGUOUS}$"):
        stelvane.resolve_fix(**args)
    t = tracker()
    with pytest.raises(StelvaneError, match=f"^{AMBIGUOUS}$"):
        t.resolve_fix(**args)
    t.set_last_known_position(LAT, LON_B, UTC_TUPLE)
    fix = t.resolve_fix(**args)
    assert at(fix, LAT, LON_B) and sorted(fix.matched_hr_ids) == list(range(201, 208)) and fix.match_margin == 0
    # A healthy fix on the image road is recorded like one from centroids.
    assert at(t.resolve_fix(**{**args, "catalog": sky.single}), LAT, LON)
    assert at(t.resolve_fix(**args), LAT, LON)


def test_last_write_wins(sky):
    t = tracker()
    t.set_last_known_position(LAT, LON, UTC_TUPLE)
    t.set_last_known_position(LAT, LON_B, UTC_TUPLE)
    assert at(t.resolve_from_centroids(**sky.args(sky.double)), LAT, LON_B)


def test_trackers_are_independent(sky):
    a, b = tracker(), tracker()
    a.set_last_known_position(LAT, LON, UTC_TUPLE)
    assert at(a.resolve_from_centroids(**sky.args(sky.double)), LAT, LON)
    with pytest.raises(StelvaneError, match=f"^{AMBIGUOUS}$"):
        b.resolve_from_centroids(**sky.args(sky.double))


# ---------------------------------------------------------------------------
# Re-entrant use: a callback during argument conversion calls back into the same tracker.

class CallbackZone(datetime.tzinfo):
    def __init__(self, callback):
        self.callback = callback
        self.errors: list[BaseException] = []

    def utcoffset(self, dt):
        try:
            self.callback()
        except Exception as e:  # noqa: BLE001 - the refusal is what the test inspects
            self.errors.append(e)
        return datetime.timedelta(0)

    def dst(self, dt):
        return None


def test_reentrant_use_is_refused_and_leaves_the_tracker_usable(sky):
    t = tracker()
    zone = CallbackZone(lambda: t.set_last_known_position(LAT, LON_B, UTC_TUPLE))
    with pytest.raises(StelvaneError, match=f"^{AMBIGUOUS}$"):
        t.resolve_from_centroids(**sky.args(sky.double, utc=datetime.datetime(2000, 1, 1, 12, tzinfo=zone)))
    assert zone.errors and {(type(e), str(e)) for e in zone.errors} == {(RuntimeError, "Already borrowed")}
    # The refused inner call wrote nothing; the tracker works afterwards.
    t.set_last_known_position(LAT, LON_B, UTC_TUPLE)
    assert at(t.resolve_from_centroids(**sky.args(sky.double)), LAT, LON_B)
    nested = CallbackZone(lambda: t.resolve_from_centroids(**sky.args(sky.double)))
    t.set_last_known_position(LAT, LON, datetime.datetime(2000, 1, 1, 12, tzinfo=nested))
    assert nested.errors and {type(e) for e in nested.errors} == {RuntimeError}
    assert at(t.resolve_from_centroids(**sky.args(sky.double)), LAT, LON)


def test_another_tracker_may_be_used_from_the_callback(sky):
    t, other = tracker(), tracker()
    zone = CallbackZone(lambda: other.set_last_known_position(LAT, LON, UTC_TUPLE))
    t.set_last_known_position(LAT, LON_B, datetime.datetime(2000, 1, 1, 12, tzinfo=zone))
    assert zone.errors == []
    assert at(other.resolve_from_centroids(**sky.args(sky.double)), LAT, LON)


# ---------------------------------------------------------------------------
# Argument checks.

@pytest.mark.parametrize("age, distance, message", [
    (0.0, 10.0, "max_reference_age_s must be finite and positive, got 0"),
    (-0.0, 10.0, "max_reference_age_s must be finite and positive, got -0"),
    (-5, 10.0, "max_reference_age_s must be finite and positive, got -5"),
    (math.nan, 10.0, "max_reference_age_s must be finite and positive, got NaN"),
    (math.inf, 10.0, "max_reference_age_s must be finite and positive, got inf"),
    (60.0, 0.0, "max_disambiguation_distance_nm must be finite and positive, got 0"),
    (60.0, -math.inf, "max_disambiguation_distance_nm must be finite and positive, got -inf"),
    (0.0, math.nan, "max_reference_age_s must be finite and positive, got 0"),  # only the first is reported
])
def test_constructor_bounds(age, distance, message):
    with pytest.raises(ValueError) as info:
        stelvane.FixTracker(max_reference_age_s=age, max_disambiguation_distance_nm=distance)
    assert str(info.value) == message and type(info.value) is ValueError


def test_constructor_accepts_subnormal_bounds():
    stelvane.FixTracker(max_reference_age_s=5e-324, max_disambiguation_distance_nm=1)


@pytest.mark.parametrize("args, kwargs", [
    ((60.0, 10.0), {}),
    ((60.0,), dict(max_disambiguation_distance_nm=10.0)),
    ((), dict(max_reference_age_s=60.0)),
    ((), dict(max_reference_age_s=60.0, max_disambiguation_distance_nm=10.0, extra=1)),
])
def test_constructor_is_keyword_only(args, kwargs):
    with pytest.raises(TypeError):
        stelvane.FixTracker(*args, **kwargs)


def test_constructor_conversion_failure_names_the_argument():
    with pytest.raises(TypeError, match="^argument 'max_disambiguation_distance_nm': "):
        stelvane.FixTracker(max_reference_age_s=60.0, max_disambiguation_distance_nm="ten")


@pytest.mark.parametrize("lat, lon, message", [
    (91.0, 0.0, "latitude 91 out of range [-90, 90]"),
    (-90.5, 0.0, "latitude -90.5 out of range [-90, 90]"),
    (math.nan, 0.0, "latitude NaN out of range [-90, 90]"),
    (math.inf, math.nan, "latitude inf out of range [-90, 90]"),
    (0.0, -180.5, "longitude -180.5 out of range [-180, 180]"),
    (0.0, math.nan, "longitude NaN out of range [-180, 180]"),
])
def test_set_last_known_position_refusals(lat, lon, message):
    with pytest.raises(ValueError) as info:
        tracker().set_last_known_position(lat, lon, UTC_TUPLE)
    assert str(info.value) == message and type(info.value) is ValueError


@pytest.mark.parametrize("lat, lon", [(0.0, 180.0), (-90.0, -180.0), (90, 0)])
def test_set_last_known_position_accepts_the_range_edges(lat, lon):
    assert tracker().set_last_known_position(lat, lon, UTC_TUPLE) is None


def test_set_last_known_position_refusals_keep_the_reference(sky):
    t = tracker()
    t.set_last_known_position(LAT, LON_B, UTC_TUPLE)
    with pytest.raises(ValueError):
        t.set_last_known_position(LAT, 200.0, UTC_TUPLE)
    with pytest.raises(StelvaneError):
        t.set_last_known_position(LAT, LON, datetime.datetime(2000, 1, 1, 12))  # naive
    assert at(t.resolve_from_centroids(**sky.args(sky.double)), LAT, LON_B)


def test_set_last_known_position_converts_in_order():
    with pytest.raises(TypeError, match="^argument 'lat_deg': "):
        tracker().set_last_known_position("north", math.nan, "noon")
    with pytest.raises(ValueError, match="^latitude 100 out of range"):
        tracker().set_last_known_position(100.0, math.nan, UTC_TUPLE)


def test_uninitialised_tracker_is_refused_not_crashed():
    t = stelvane.FixTracker.__new__(stelvane.FixTracker)
    with pytest.raises((StelvaneError, TypeError)):
        t.set_last_known_position(0.0, 0.0, UTC_TUPLE)


# ---------------------------------------------------------------------------
# Introspection.

RESOLVE_FIX = ("(self, /, image, focal_px, cx, cy, up_cam, utc, catalog, sigma_arcmin=None, fisheye_fov_deg=None, "
               "k1=0.0, k2=0.0, k3=0.0, k4=0.0, use_sun=False, max_centroids=None, min_matched_stars=None, "
               "max_residual_rms_arcmin=None, mask=None)")
RESOLVE_CENTROIDS = ("(self, /, centroids, focal_px, cx, cy, up_cam, utc, catalog, sigma_arcmin=None, "
                     "fisheye_fov_deg=None, k1=0.0, k2=0.0, k3=0.0, k4=0.0, max_centroids=None, "
                     "min_matched_stars=None, max_residual_rms_arcmin=None)")


def test_signatures():
    assert str(inspect.signature(stelvane.FixTracker)) == "(*, max_reference_age_s, max_disambiguation_distance_nm)"
    assert str(inspect.signature(stelvane.FixTracker.resolve_fix)) == RESOLVE_FIX
    assert str(inspect.signature(stelvane.FixTracker.resolve_from_centroids)) == RESOLVE_CENTROIDS
    assert str(inspect.signature(stelvane.FixTracker.set_last_known_position)) == "(self, /, lat_deg, lon_deg, utc)"
    assert stelvane.FixTracker.__module__ == "stelvane"


@pytest.mark.parametrize("owner, phrases", [
    ("", ["max_reference_age_s", "max_disambiguation_distance_nm", "match_margin == 0", "reinforce",
          "module-level resolve_fix"]),
    ("resolve_fix", ["history", "recorded", "mask"]),
    ("resolve_from_centroids", ["history", "recorded"]),
    ("set_last_known_position", ["satellite-navigation", "last write", "same age and distance bounds"]),
])
def test_docstrings(owner, phrases):
    doc = (getattr(stelvane.FixTracker, owner) if owner else stelvane.FixTracker).__doc__.replace("\n", " ")
    for phrase in phrases:
        assert phrase in doc


def test_tracker_exposes_no_history():
    public = {n for n in dir(tracker()) if not n.startswith("_")}
    assert public == {"resolve_fix", "resolve_from_centroids", "set_last_known_position"}
