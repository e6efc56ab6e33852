"""Star detection: detect_centroids (connected components over the background mesh,
with an optional obstruction mask) and detect_centroids_matched (Gaussian matched
filter). Expected values are worked by hand from the detectors' rules."""

import inspect
import math

import numpy as np
import pytest

import stelvane
from stelvane import StelvaneError

SKY = 1000  # a flat sky: on frames whose sides are multiples of 32 the mesh is exact
FLOOR = 2048  # the threshold floor on the 16-bit scale


def flat(h=64, w=64, level=SKY):
    return np.full((h, w), level, np.uint16)


def paint(img, pixels, excess):
    for x, y in pixels:
        img[y, x] = SKY + excess
    return img


def block(x0, y0, bw, bh):
    return [(x, y) for y in range(y0, y0 + bh) for x in range(x0, x0 + bw)]


# --- text signatures and docstrings -------------------------------------------------


@pytest.mark.parametrize("fn, text", [
    (stelvane.detect_centroids, "(image, max_count, mask=None)"),
    (stelvane.detect_centroids_matched, "(image, max_count, psf_sigma_px)"),
])
def test_text_signature(fn, text):
    assert str(inspect.signature(fn)) == text
    assert fn.__text_signature__ == text


@pytest.mark.parametrize("phrase", [
    "brightest first", "uint8", "not sky", "neither the", "dropped whole", "frame edge", "median", "mask=None",
])
def test_detect_centroids_docstring_covers_the_mask_rules(phrase):
    assert phrase in stelvane.detect_centroids.__doc__


@pytest.mark.parametrize("phrase", [
    "psf_sigma_px", "3 pixels", "pi * psf_sigma_px^2", "cloud edge", "5x5", "4 robust sigma", "log-parabola",
    "no mask keyword", "(0, 64]", "2 * ceil(3 * sigma) + 1",
])
def test_detect_centroids_matched_docstring(phrase):
    assert phrase in stelvane.detect_centroids_matched.__doc__


# --- connected components -------------------------------------------------------------


def test_three_pixel_line_falls_back_to_the_weighted_mean():
    # Column and row profiles have zeros next to their first maximum: weighted means.
    img = paint(flat(), [(40, 31), (41, 31), (42, 31)], 5000)
    assert stelvane.detect_centroids(img, 10) == [(41.0, 31.0, 15000.0)]


@pytest.mark.parametrize("size, reported", [(2, False), (3, True), (400, True), (401, False)])
def test_component_size_limits(size, reported):
    # A 20-wide ribbon of `size` pixels in a 96x96 frame; no tile is mostly bright.
    pixels = [(30 + i % 20, 30 + i // 20) for i in range(size)]
    img = paint(flat(96, 96), pixels, 5000)
    got = stelvane.detect_centroids(img, 10)
    assert len(got) == (1 if reported else 0)
    if reported:
        assert got[0][2] == size * 5000.0


@pytest.mark.parametrize("x0, y0", [(0, 30), (30, 0), (61, 30), (30, 61)])
def test_component_reaching_the_border_is_dropped(x0, y0):
    img = paint(flat(), block(x0, y0, 3, 3), 60000)
    assert stelvane.detect_centroids(img, 10) == []


def test_component_one_pixel_from_the_border_is_kept():
    img = paint(flat(), block(1, 1, 3, 3), 5000)
    got = stelvane.detect_centroids(img, 10)
    assert got == [(2.0, 2.0, 45000.0)]


def test_threshold_floor_on_a_flat_frame():
    assert stelvane.detect_centroids(paint(flat(), block(20, 20, 3, 3), FLOOR - 1), 10) == []
    assert stelvane.detect_centroids(paint(flat(), block(20, 20, 3, 3), FLOOR), 10) == [(21.0, 21.0, 9 * 2048.0)]


def test_diagonal_contact_joins_nothing():
    img = paint(flat(), block(20, 20, 2, 2) + block(22, 22, 2, 2), 5000)
    got = stelvane.detect_centroids(img, 10)
    assert sorted(got) == [(20.5, 20.5, 20000.0), (22.5, 22.5, 20000.0)]


def test_symmetric_profile_lands_exactly_on_its_column():
    # Columns 48..52 with 3000, 6000, 9000, 6000, 3000 on rows 30..32 of a 128x64 frame.
    img = flat(64, 128)
    for dx, v in zip(range(-2, 3), (3000, 6000, 9000, 6000, 3000)):
        img[30:33, 50 + dx] = SKY + v
    (x, y, flux), = stelvane.detect_centroids(img, 10)
    assert x == 50.0
    assert flux == 3 * 27000.0
    assert y == pytest.approx(31.0, abs=1e-12)


def test_peak_beside_a_zero_falls_back_to_the_weighted_mean():
    # 9000, 5000, 5000 along row 31: the column maximum has a zero left neighbour.
    img = paint(flat(), [(40, 31)], 9000)
    paint(img, [(41, 31), (42, 31)], 5000)
    (x, y, flux), = stelvane.detect_centroids(img, 10)
    assert x == pytest.approx((9000 * 40 + 5000 * 41 + 5000 * 42) / 19000, abs=1e-12)
    assert (y, flux) == (31.0, 19000.0)


def test_log_parabola_refines_a_gaussian_star():
    img = flat(64, 64).astype(float)
    yy, xx = np.mgrid[0:64, 0:64]
    cx, cy = 30.3, 25.8
    img += 20000 * np.exp(-((xx - cx) ** 2 + (yy - cy) ** 2) / (2 * 1.5 ** 2))
    (x, y, _), = stelvane.detect_centroids(np.round(img).astype(np.uint16), 10)
    assert x == pytest.approx(cx, abs=0.02)
    assert y == pytest.approx(cy, abs=0.02)


def test_order_by_flux_then_detection_order_then_truncation():
    img = flat(96, 96)
    paint(img, block(10, 40, 3, 3), 3000)  # A: flux 27000, seeded at row 40
    paint(img, block(50, 20, 3, 3), 3000)  # B: flux 27000, seeded at row 20 -> before A
    paint(img, block(70, 70, 3, 3), 9000)  # C: brightest, found last
    got = stelvane.detect_centroids(img, 10)
    assert got == [(71.0, 71.0, 81000.0), (51.0, 21.0, 27000.0), (11.0, 41.0, 27000.0)]
    assert stelvane.detect_centroids(img, 2) == got[:2]
    assert stelvane.detect_centroids(img, 0) == []
    assert stelvane.detect_centroids(img, 2**63 - 1) == got  # the largest count the module takes


@pytest.mark.parametrize("count, message", [
    (2**63, "int too large to convert to an unsigned count"),
    (2**64, "int too large to convert to an unsigned count"),
    (-1, "can't convert negative int to unsigned"),
])
def test_max_count_out_of_range(count, message):
    with pytest.raises(OverflowError) as e:
        stelvane.detect_centroids(flat(), count)
    assert str(e.value) == message


def test_uint8_is_widened_by_257():
    img = np.zeros((64, 64), np.uint8)
    img[30:33, 40:43] = 255
    assert stelvane.detect_centroids(img, 5) == [(41.0, 31.0, 9 * 65535.0)]


# --- the obstruction mask ---------------------------------------------------------------


def masked_frame():
    img = paint(flat(), block(30, 30, 3, 3), 5000)
    return img, np.zeros(img.shape, bool)


@pytest.mark.parametrize("mx, my, reported", [
    (29, 31, False),  # left of the star, 4-adjacent
    (33, 30, False),  # right
    (31, 29, False),  # above
    (32, 33, False),  # below
    (29, 29, True),   # diagonal contact only
    (33, 33, True),
])
def test_mask_adjacency(mx, my, reported):
    img, mask = masked_frame()
    mask[my, mx] = True
    got = stelvane.detect_centroids(img, 10, mask=mask)
    assert got == ([(31.0, 31.0, 45000.0)] if reported else [])


def test_masked_bright_pixels_seed_nothing_and_join_nothing():
    img, mask = masked_frame()
    paint(img, block(10, 10, 4, 4), 60000)  # a streetlight under the mask
    mask[10:14, 10:14] = True
    assert stelvane.detect_centroids(img, 10, mask=mask) == [(31.0, 31.0, 45000.0)]
    assert len(stelvane.detect_centroids(img, 10)) == 2


def test_masked_values_do_not_move_the_background_or_the_noise():
    rng = np.random.default_rng(5)
    img = (1000 + rng.normal(0, 300, (96, 96))).astype(np.uint16)
    paint(img, block(60, 60, 3, 3), 30000)
    mask = np.zeros(img.shape, bool)
    mask[:, :20] = True
    other = img.copy()
    other[:, :20] = 65535
    a = stelvane.detect_centroids(img, 10, mask=mask)
    assert a and a == stelvane.detect_centroids(other, 10, mask=mask)


def test_mask_none_is_the_unmasked_road():
    img, _ = masked_frame()
    assert stelvane.detect_centroids(img, 10, None) == stelvane.detect_centroids(img, 10)


def test_all_masked_frame_detects_nothing():
    img, mask = masked_frame()
    assert stelvane.detect_centroids(img, 10, mask=np.ones_like(mask)) == []


# --- robustness ---------------------------------------------------------------------------


@pytest.mark.parametrize("shape", [(1, 1), (1, 7), (9, 1), (2, 2), (3, 500)])
def test_tiny_frames_have_nothing_off_the_border(shape):
    img = np.full(shape, 65535, np.uint16)
    img.flat[0] = 0
    assert stelvane.detect_centroids(img, 10) == []
    assert isinstance(stelvane.detect_centroids_matched(img, 10, 1.0), list)


def test_all_saturated_frame():
    img = np.full((64, 64), 65535, np.uint16)
    assert stelvane.detect_centroids(img, 10) == []
    assert stelvane.detect_centroids_matched(img, 10, 1.0) == []


def test_one_giant_bright_region_does_not_exhaust_the_stack():
    # A comb of 1-pixel lines every 3 rows joined by a spine: each tile stays mostly
    # dark (so the mesh is the sky) while one component spans most of a 1500x1500 frame.
    img = flat(1500, 1500)
    img[1:-1:3, 1:-1] = 40000
    img[1:-1, 1] = 40000
    assert stelvane.detect_centroids(img, 10) == []  # far above 400 pixels: dropped whole


# --- errors and argument order ------------------------------------------------------------


def test_mask_shape_is_checked_by_the_engine():
    img = np.zeros((481, 640), np.uint16)
    mask = np.zeros((480, 640), bool)
    with pytest.raises(StelvaneError) as e:
        stelvane.detect_centroids(img, 5, mask=mask)
    assert str(e.value) == "bad image: mask 640x480 (307200 flags) does not match the 640x481 frame"


@pytest.mark.parametrize("fn", [
    lambda img: stelvane.detect_centroids(img, 5),
    lambda img: stelvane.detect_centroids_matched(img, 5, 1.0),
])
def test_empty_frame_is_a_bad_image(fn):
    with pytest.raises(StelvaneError) as e:
        fn(np.zeros((0, 5), np.uint16))
    assert str(e.value) == "bad image: 5x0 does not match 0 pixels"


def test_detect_centroids_conversion_order():
    bad_image = np.zeros((8, 8), np.float32)
    bad_mask = np.zeros((8, 8), np.uint8)
    with pytest.raises(OverflowError):
        stelvane.detect_centroids(bad_image, -1, mask=bad_mask)
    with pytest.raises(TypeError, match="^argument 'max_count': "):
        stelvane.detect_centroids(bad_image, 1.5, mask=bad_mask)
    with pytest.raises(StelvaneError, match="^image must be a 2-D uint8 or uint16 numpy array$"):
        stelvane.detect_centroids(bad_image, 5, mask=bad_mask)
    with pytest.raises(StelvaneError, match="^mask must be a 2-D bool numpy array$"):
        stelvane.detect_centroids(np.zeros((8, 8), np.uint16), 5, mask=bad_mask)
    with pytest.raises(StelvaneError, match=r"pass numpy.ascontiguousarray\(mask\)$"):
        stelvane.detect_centroids(np.zeros((8, 8), np.uint16), 5, mask=np.zeros((8, 8), bool).T)


PSF_MESSAGE = "psf_sigma_px must be finite and in (0, 64] pixels (got {}); a star PSF is 1-2 px sigma"


@pytest.mark.parametrize("value, shown", [
    (0.0, "0"), (-1.0, "-1"), (math.nan, "NaN"), (math.inf, "inf"), (64.0000001, "64.0000001"),
])
def test_psf_sigma_refusals(value, shown):
    with pytest.raises(StelvaneError) as e:
        stelvane.detect_centroids_matched(np.zeros((8, 8), np.uint16), 5, value)
    assert str(e.value) == PSF_MESSAGE.format(shown)


def test_detect_centroids_matched_conversion_order():
    bad_image = np.zeros((8, 8), np.int16)
    with pytest.raises(OverflowError):
        stelvane.detect_centroids_matched(bad_image, -1, "x")
    with pytest.raises(TypeError, match="^argument 'psf_sigma_px': "):
        stelvane.detect_centroids_matched(bad_image, 5, "x")
    with pytest.raises(StelvaneError, match=r"^psf_sigma_px must be finite"):
        stelvane.detect_centroids_matched(bad_image, 5, 0.0)
    with pytest.raises(StelvaneError, match="^image must be a 2-D uint8 or uint16 numpy array$"):
        stelvane.detect_centroids_matched(bad_image, 5, 1.0)


# --- matched filter -------------------------------------------------------------------------


def taps(sigma):
    r = max(math.ceil(3 * sigma), 1)
    raw = [math.exp(-(i * i) / (2 * sigma * sigma)) for i in range(-r, r + 1)]
    return [t / sum(raw) for t in raw]


def test_single_bright_pixel_is_found_exactly_where_it_is():
    img = flat()
    img[20, 30] = SKY + 1000
    (x, y, flux), = stelvane.detect_centroids_matched(img, 5, 1.0)
    assert (x, y) == (30.0, 20.0)
    centre = taps(1.0)[3]
    assert flux == pytest.approx(1000 * centre * centre, rel=1e-12)


def test_uniform_frame_gives_nothing():
    assert stelvane.detect_centroids_matched(flat(), 10, 1.0) == []
    assert stelvane.detect_centroids_matched(flat(), 10, 64.0) == []


@pytest.mark.parametrize("vertical", [False, True])
@pytest.mark.parametrize("gap, count", [(1, 1), (2, 1), (3, 2), (4, 2)])
def test_equal_peaks_inside_the_5x5_window_keep_the_first(vertical, gap, count):
    # sigma 0.5: the filtered peaks of two equal pixels are exactly equal and stay
    # the local maxima; closer than 3 pixels only the first in row-major order counts.
    img = flat()
    a = (20, 30)
    b = (20, 30 + gap) if vertical else (20 + gap, 30)
    for x, y in (a, b):
        img[y, x] = SKY + 4000
    got = stelvane.detect_centroids_matched(img, 10, 0.5)
    if gap == 1:
        assert len(got) == 1  # the pair is one bump
        return
    assert len(got) == count
    x, y, _ = got[0]
    assert (round(x), round(y)) == a
    if count == 2:
        assert got[0][2] == got[1][2]
        assert (round(got[1][0]), round(got[1][1])) == b


def test_star_beside_the_border_is_found():
    img = flat()
    img[30, 1] = SKY + 3000
    (x, y, _), = stelvane.detect_centroids_matched(img, 5, 1.0)
    assert (x, y) == (1.0, 30.0)


def test_matched_order_and_max_count():
    img = flat()
    img[10, 10] = SKY + 1000
    img[40, 40] = SKY + 3000
    img[50, 20] = SKY + 2000
    got = stelvane.detect_centroids_matched(img, 10, 1.0)
    assert [(x, y) for x, y, _ in got] == [(40.0, 40.0), (20.0, 50.0), (10.0, 10.0)]
    assert stelvane.detect_centroids_matched(img, 2, 1.0) == got[:2]
    assert stelvane.detect_centroids_matched(img, 0, 1.0) == []


def test_sharp_star_missed_by_components_is_found_by_the_filter():
    img = flat()
    img[32, 32] = SKY + 9000
    img[32, 33] = SKY + 3000
    assert stelvane.detect_centroids(img, 5) == []  # two pixels: too small for a blob
    (x, y, _), = stelvane.detect_centroids_matched(img, 5, 1.0)
    assert 32.0 < x < 33.0 and y == 32.0


def test_widest_psf_runs_on_a_small_frame():
    img = flat(40, 40)
    img[18, 21] = SKY + 30000
    got = stelvane.detect_centroids_matched(img, 3, 64.0)
    assert 1 <= len(got) <= 3
    assert all(0 <= x <= 39 and 0 <= y <= 39 for x, y, _ in got)
