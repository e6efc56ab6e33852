"""stelvane.resolve_from_frames: bursts of frames from a static camera, verified by the
sky's sidereal rotation. Skies are rendered at successive instants for an all-sky fisheye
looking at the zenith, so the camera stays fixed relative to the horizon; expected
rotations and messages come from the Earth's rotation rate written out here."""

from __future__ import annotations

import datetime
import inspect
import math
import threading

import numpy as np
import pytest

import stelvane
import stelvane.catalogs
from stelvane import StelvaneError

SIDEREAL_RATE = 7.292115855300805e-05  # rad/s, the Earth's rotation
UTC = datetime.timezone.utc
T0 = datetime.datetime(2024, 1, 1, 3, 0, tzinfo=UTC)
JD_T0 = 2460310.5 + 3.0 / 24.0  # 2024-01-01 03:00 UTC
LAT, LON = 40.0, -75.0
W, H = 960, 540
FISHEYE = dict(fisheye_fov_deg=180.0)
# Ideal 180-degree fisheye: the field's half-angle fills half the shorter side.
FOCAL = 0.5 * H / (math.pi / 2)
PEDESTAL = 1024  # the renderer's sky level
BAD = "bad image: "


@pytest.fixture(scope="module")
def allsky():
    return stelvane.catalogs.load("allsky")


def times_at(n: int, dt_s: float) -> list[datetime.datetime]:
    return [T0 + datetime.timedelta(seconds=k * dt_s) for k in range(n)]


def render_burst(catalog, n: int = 5, dt_s: float = 300.0):
    """The same sky at T0, T0 + dt, T0 + 2 dt, ... for one static fisheye at the zenith."""
    return [stelvane.synthesize_scene(catalog, LAT, LON, JD_T0 + k * dt_s / 86400.0, 0.0, W, H, None, 3.5, 0.0, 0.0,
                                      5.0, 11 + k, **FISHEYE) for k in range(n)]


@pytest.fixture(scope="module")
def burst(allsky):
    return render_burst(allsky)


def solve_frames(frames, times, catalog, up, **kw):
    return stelvane.resolve_from_frames(frames, times, None, W / 2, H / 2, up, catalog, **{**FISHEYE, **kw})


def fix_tuple(fix) -> tuple:
    return (fix.latitude_deg, fix.longitude_deg, fix.matched_hr_ids, fix.covariance, fix.ellipse_2sigma_nm,
            fix.residual_rms_rad, fix.n_iterations, fix.match_margin, fix.used_sun)


def centroid_fix(frame, up, catalog, utc, drop_near=()):
    """The single-frame solve of the matched-filter detections (4 x 12 of them), optionally without those
    within 3 px of the given points."""
    found = stelvane.detect_centroids_matched(frame, 48, 1.0)
    kept = [c for c in found if all(math.hypot(c[0] - x, c[1] - y) > 3.0 for x, y in drop_near)]
    return stelvane.resolve_from_centroids(kept, None, W / 2, H / 2, up, utc, catalog, **FISHEYE)


def test_the_rendered_camera_is_static(burst):
    # The fisheye looks at the zenith in every frame with the same vertical, so only the sky turns.
    assert {(s.boresight_alt_deg, s.boresight_az_deg, s.up_cam) for s in burst} == {(90.0, 0.0, burst[0].up_cam)}
    # Stars move between frames by the Earth's rotation: the brightest star's pixel changes.
    first = burst[0].rendered_hr_ids[0]
    pixels = [s.star_pixels[s.rendered_hr_ids.index(first)] for s in burst]
    assert len(set(pixels)) == 5


def test_clean_burst_equals_the_single_frame_solve_of_the_middle_frame(burst, allsky):
    frames = [s.pixels for s in burst]
    times = times_at(5, 300.0)
    up = burst[2].up_cam
    fix = solve_frames(frames, times, allsky, up)
    # Every star of the middle frame reappears in the others, so the confirmed list is the whole
    # detection list and the solve is the centroid road's on the middle frame.
    assert fix_tuple(fix) == fix_tuple(centroid_fix(frames[2], up, allsky, times[2]))
    single = stelvane.resolve_fix(frames[2], None, W / 2, H / 2, up, times[2], allsky, **FISHEYE)
    assert sorted(fix.matched_hr_ids) == sorted(single.matched_hr_ids)
    assert stelvane.great_circle_nm(fix.latitude_deg, fix.longitude_deg, LAT, LON) < 1.0
    assert stelvane.great_circle_nm(fix.latitude_deg, fix.longitude_deg, single.latitude_deg,
                                    single.longitude_deg) < 1.0


def add_streak(image, x0, y0, x1, y1, level):
    """A satellite-like trail: a 3-pixel-wide bright line."""
    n = int(math.hypot(x1 - x0, y1 - y0))
    for k in range(n + 1):
        x = round(x0 + (x1 - x0) * k / n)
        y = round(y0 + (y1 - y0) * k / n)
        image[y - 1:y + 2, x] = level


def erase(image, x, y, half=6):
    xi, yi = round(x), round(y)
    image[yi - half:yi + half + 1, xi - half:xi + half + 1] = PEDESTAL


# Ten hot 5x5 blocks brighter than most stars, and a trail that the detector breaks into many
# candidates: if they survived verification they would crowd the brightest centroids handed to the
# matcher, as they do when the dirty frame is solved on its own.
HOT = [(300 + 30 * k, 150 + 20 * k) for k in range(10)]
TRAIL = (600, 80, 640, 140)


def near_junk(c) -> bool:
    x0, y0, x1, y1 = TRAIL
    return any(math.hypot(c[0] - x, c[1] - y) < 3 for x, y in HOT) or \
        (x0 - 5 < c[0] < x1 + 5 and y0 - 5 < c[1] < y1 + 5)


def test_hot_pixels_and_a_streak_in_one_frame_are_dropped(burst, allsky):
    frames = [s.pixels for s in burst]
    times = times_at(5, 300.0)
    up = burst[2].up_cam
    dirty = frames[2].copy()
    for x, y in HOT:
        dirty[y - 2:y + 3, x - 2:x + 3] = 65535
    add_streak(dirty, *TRAIL, 60000)
    found = stelvane.detect_centroids_matched(dirty, 48, 1.0)
    assert sum(map(near_junk, found)) >= 20 and sum(map(near_junk, found[:12])) >= 8
    with pytest.raises(StelvaneError, match="^no star pattern match found$"):
        stelvane.resolve_from_centroids(found, None, W / 2, H / 2, up, times[2], allsky, **FISHEYE)
    fix = solve_frames(frames[:2] + [dirty] + frames[3:], times, allsky, up)
    # Only the real stars were confirmed: the solve is the clean middle frame's, bit for bit.
    assert fix_tuple(fix) == fix_tuple(centroid_fix(frames[2], up, allsky, times[2]))


@pytest.mark.parametrize("frame", [0, 1, 3, 4])
def test_a_star_missing_from_one_other_frame_is_dropped_and_the_rest_kept(burst, allsky, frame):
    frames = [s.pixels for s in burst]
    times = times_at(5, 300.0)
    up = burst[2].up_cam
    brightest = burst[2].rendered_hr_ids[0]
    x, y = burst[frame].star_pixels[burst[frame].rendered_hr_ids.index(brightest)]
    gap = frames[frame].copy()
    erase(gap, x, y)
    fix = solve_frames(frames[:frame] + [gap] + frames[frame + 1:], times, allsky, up)
    assert brightest not in fix.matched_hr_ids
    # The burst's solve is the middle frame's with exactly that star taken out.
    mx, my = burst[2].star_pixels[0]
    expected = centroid_fix(frames[2], up, allsky, times[2], drop_near=[(mx, my)])
    assert fix_tuple(fix) == fix_tuple(expected)


@pytest.mark.parametrize("huge", [2**62, 2**62 + 3])
def test_a_huge_centroid_limit_keeps_every_detection(burst, allsky, huge):
    # Four detections per kept centroid: the limit saturates instead of wrapping round to none.
    frames = [s.pixels for s in burst]
    times = times_at(5, 300.0)
    up = burst[2].up_cam
    assert fix_tuple(solve_frames(frames, times, allsky, up, max_centroids=huge)) == \
        fix_tuple(solve_frames(frames, times, allsky, up, max_centroids=10**6))


def test_repeated_calls_give_identical_results(burst, allsky):
    frames = [s.pixels for s in burst]
    times = times_at(5, 300.0)
    runs = [fix_tuple(solve_frames(frames, times, allsky, burst[2].up_cam)) for _ in range(3)]
    assert runs[0] == runs[1] == runs[2]


def test_two_threads_match_serial_runs(allsky):
    bursts = [render_burst(allsky, 5, 300.0), render_burst(allsky, 3, 420.0)]
    jobs = [([s.pixels for s in b], times_at(len(b), dt), b[len(b) // 2].up_cam)
            for b, dt in zip(bursts, (300.0, 420.0))]
    serial = [fix_tuple(solve_frames(f, t, allsky, up)) for f, t, up in jobs]
    results: list = [None, None]
    start = threading.Barrier(2)

    def run(i):
        start.wait()
        for _ in range(3):
            got = fix_tuple(solve_frames(*jobs[i][:2], allsky, jobs[i][2]))
            results[i] = got if results[i] in (None, got) else "differs"

    threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == serial


# ---------------------------------------------------------------------------
# Refusals. Blank frames detect nothing, which is enough to reach the checks.

PINHOLE = dict(focal_px=1000.0, cx=32.0, cy=24.0)


def blank(w=64, h=48):
    return np.full((h, w), PEDESTAL, dtype=np.uint16)


def refuse(frames, times, allsky, **kw) -> str:
    args = {**PINHOLE, "up_cam": (0.0, 0.0, 1.0), "catalog": allsky, **kw}
    with pytest.raises(StelvaneError) as info:
        stelvane.resolve_from_frames(frames, times, **args)
    return str(info.value)


def spacing_message(dt_s: float, tol: float) -> str:
    """The refusal with both angles in three-decimal scientific notation, exponent without padding."""
    def sci(v: float) -> str:
        mantissa, exponent = f"{v:.3e}".split("e")
        return f"{mantissa}e{int(exponent)}"
    theta = dt_s * SIDEREAL_RATE
    return (BAD + "frames too closely spaced for temporal verification at this tolerance: smallest inter-frame "
            f"rotation |theta| = {sci(theta)} rad is only {theta / tol:.2f}x the inlier tolerance "
            f"{sci(tol)} rad (need >= 1.5x)")


def test_frames_one_second_apart_fail_the_spacing_test(allsky):
    message = refuse([blank()] * 3, times_at(3, 1.0), allsky)
    assert message == spacing_message(1.0, 2.0 / 1000.0)
    assert message == (BAD + "frames too closely spaced for temporal verification at this tolerance: smallest "
                       "inter-frame rotation |theta| = 7.292e-5 rad is only 0.04x the inlier tolerance 2.000e-3 rad "
                       "(need >= 1.5x)")


def test_sixty_seconds_pass_the_spacing_test(allsky):
    # 60 s turn the sky by 4.375e-3 rad, 2.19x the tolerance: the next refusal is the empty middle frame.
    assert 60.0 * SIDEREAL_RATE / 2e-3 == pytest.approx(2.19, abs=5e-3)
    assert refuse([blank()] * 3, times_at(3, 60.0), allsky) == "insufficient stars: needed 8, got 0"


def test_spacing_uses_the_smallest_rotation_and_the_derived_fisheye_focal(allsky):
    # Gaps of 600 s and 100 s around the middle frame: the smaller one counts.
    times = [T0, T0 + datetime.timedelta(seconds=600), T0 + datetime.timedelta(seconds=700)]
    focal = 0.5 * 48 / (math.pi / 2)
    message = refuse([blank()] * 3, times, allsky, focal_px=None, fisheye_fov_deg=180.0)
    assert message == spacing_message(100.0, 2.0 / focal)


@pytest.mark.parametrize("n", [1, 2, 4, 6])
def test_frame_count_must_be_odd_and_at_least_three(allsky, n):
    assert refuse([blank()] * n, times_at(n, 60.0), allsky) == BAD + f"need an odd number of frames >= 3, got {n}"


@pytest.mark.parametrize("n_frames, n_times", [(5, 4), (3, 5), (0, 3)])
def test_frame_and_time_counts_must_agree(allsky, n_frames, n_times):
    assert refuse([blank()] * n_frames, times_at(n_times, 60.0), allsky) == \
        BAD + f"detections has {n_frames} frames but times_jd has {n_times}"


def test_frame_count_is_checked_after_detection_and_before_the_times(allsky):
    # Four frames with descending times: the parity refusal comes first.
    assert refuse([blank()] * 4, times_at(4, -60.0), allsky) == BAD + "need an odd number of frames >= 3, got 4"


@pytest.mark.parametrize("n_frames, n_times, dt", [(2, 2, 60.0), (4, 4, 60.0), (5, 4, 60.0), (3, 3, -60.0)])
def test_a_detector_refusal_comes_before_the_count_and_time_checks(allsky, n_frames, n_times, dt):
    empty = [np.zeros((0, 0), np.uint16)] * n_frames
    assert refuse(empty, times_at(n_times, dt), allsky) == BAD + "0x0 does not match 0 pixels"


@pytest.mark.parametrize("times", [
    times_at(3, 0.0),
    [T0, T0 + datetime.timedelta(seconds=60), T0 + datetime.timedelta(seconds=60)],
    [T0, T0 + datetime.timedelta(seconds=120), T0 + datetime.timedelta(seconds=60)],
    times_at(3, -60.0),
])
def test_times_must_be_strictly_increasing(allsky, times):
    assert refuse([blank()] * 3, times, allsky) == BAD + "times_jd must be strictly increasing"


@pytest.mark.parametrize("times", [times_at(5, 60.0), times_at(5, -60.0), times_at(2, 60.0)])
def test_frame_size_mismatch_is_reported_first(allsky, times):
    frames = [blank(), blank(), blank(64, 50), blank(10, 10), blank()]
    assert refuse(frames, times, allsky) == \
        BAD + "frame 2 is 64x50 but frame 0 is 64x48; all frames must share one size"


def test_uint8_frames_are_accepted(allsky):
    frames = [np.zeros((48, 64), np.uint8)] * 3
    assert refuse(frames, times_at(3, 1.0), allsky) == spacing_message(1.0, 2.0 / 1000.0)


PSF = "psf_sigma_px must be finite and in (0, 64] pixels (got {}); a star PSF is 1-2 px sigma"


@pytest.mark.parametrize("psf, shown", [(0.0, "0"), (-1.0, "-1"), (64.0000001, "64.0000001"),
                                        (math.nan, "NaN"), (math.inf, "inf")])
def test_psf_width_is_checked_before_the_focal_rule_and_any_frame(allsky, psf, shown):
    # The frames are not images and the focal would be refused: neither is looked at.
    assert refuse([None, "x"], [None], allsky, psf_sigma_px=psf, focal_px=500.0, fisheye_fov_deg=180.0) == \
        PSF.format(shown)


def test_focal_rule_comes_before_the_frames(allsky):
    message = refuse([None], [], allsky, focal_px=500.0, fisheye_fov_deg=180.0)
    assert message.startswith("focal_px is ignored for the ideal equidistant fisheye")


@pytest.mark.parametrize("frames, message", [
    ([np.zeros((4, 4), np.uint16), np.zeros((4, 4), np.float32), np.zeros((4, 4, 3), np.uint16)],
     "image must be a 2-D uint8 or uint16 numpy array"),
    ([np.zeros((4, 4), np.uint16), np.zeros((4, 6), np.uint16).T],
     "image must be C-contiguous (row-major). A Fortran-ordered or transposed view holds its own transpose in "
     "memory, which would be read as rows: pass numpy.ascontiguousarray(image)"),
])
def test_first_refused_frame_ends_the_call_before_the_times(allsky, frames, message):
    naive = datetime.datetime(2024, 1, 1)
    assert refuse(frames, [naive] * len(frames), allsky) == message


def test_times_are_converted_after_every_frame(allsky):
    message = refuse([blank()] * 3, [T0, datetime.datetime(2024, 1, 1), T0], allsky)
    assert "naive" in message


@pytest.mark.parametrize("arg", ["frames", "times_utc"])
def test_a_str_is_not_a_sequence(allsky, arg):
    args = dict(frames=[blank()] * 3, times_utc=times_at(3, 60.0), **PINHOLE, up_cam=(0, 0, 1), catalog=allsky)
    args[arg] = "abc"
    with pytest.raises(TypeError, match=f"^argument '{arg}': expected a sequence, not str$"):
        stelvane.resolve_from_frames(**args)


def test_any_sequence_of_frames_and_times(allsky):
    # A 3-D array is a sequence of 2-D frames; instants may be six-field tuples in a tuple.
    frames = np.stack([blank()] * 3)
    times = ((2024, 1, 1, 3, 0, 0), (2024, 1, 1, 3, 0, 1), (2024, 1, 1, 3, 0, 2.0))
    assert refuse(frames, times, allsky) == spacing_message(1.0, 2.0 / 1000.0)


def test_a_generator_is_not_a_sequence(allsky):
    with pytest.raises(TypeError, match="^argument 'frames': expected a sequence, not generator$"):
        stelvane.resolve_from_frames((blank() for _ in range(3)), times_at(3, 60.0), **PINHOLE, up_cam=(0, 0, 1),
                                     catalog=allsky)


def test_signature_and_docstring():
    assert str(inspect.signature(stelvane.resolve_from_frames)) == (
        "(frames, times_utc, focal_px, cx, cy, up_cam, catalog, sigma_arcmin=None, fisheye_fov_deg=None, k1=0.0, "
        "k2=0.0, k3=0.0, k4=0.0, psf_sigma_px=1.0, max_centroids=None, min_matched_stars=None, "
        "max_residual_rms_arcmin=None)")
    doc = stelvane.resolve_from_frames.__doc__
    for phrase in ("MIDDLE frame", "static", "naive datetime is", "(0, 64]", "before any frame is read"):
        assert phrase in doc.replace("\n", " ")


class ClearingZone(datetime.tzinfo):
    """A UTC zone whose utcoffset() empties the list the instant came from."""

    def __init__(self, victim: list):
        self.victim = victim

    def utcoffset(self, dt):
        self.victim.clear()
        return datetime.timedelta(0)

    def dst(self, dt):
        return None


def test_a_callback_that_empties_the_times_list_does_not_pull_the_items_away(allsky):
    # Converting the first instant runs Python code that clears the caller's list; the call goes
    # on with the three instants it was given (here too close together) instead of reading freed items.
    times: list = []
    times.extend([datetime.datetime(2024, 1, 1, 3, 0, tzinfo=ClearingZone(times)), T0 + datetime.timedelta(seconds=1),
                  T0 + datetime.timedelta(seconds=2)])
    assert refuse([blank()] * 3, times, allsky) == spacing_message(1.0, 2.0 / 1000.0)
    assert times == []
