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


# --- whole detectors against a direct model ------------------------------------------------
# A literal, slow rendering of the detection rules in NumPy (full sorts, scipy labelling)
# on noisy frames large enough for the engine's bucketed selection and segment skipping.

def model_background(img, mask):
    h, w = img.shape
    nx, ny = -(-w // 32), -(-h // 32)
    mesh = np.zeros((ny, nx))
    empty = []
    for j in range(ny):
        for i in range(nx):
            tile = img[32 * j:32 * j + 32, 32 * i:32 * i + 32][~mask[32 * j:32 * j + 32, 32 * i:32 * i + 32]]
            if tile.size:
                mesh[j, i] = np.sort(tile)[tile.size // 2]
            else:
                empty.append((j, i))
    sky = np.sort(img[~mask])
    for j, i in empty:
        mesh[j, i] = sky[sky.size // 2] if sky.size else 0.0

    def axis(extent, tiles):
        c = [(32 * i + min(32 * i + 32, extent) - 1) / 2 for i in range(tiles)]
        first, nxt, weight = [], [], []
        for p in range(extent):
            j = next((j for j in range(tiles - 1) if p < c[j + 1]), None)
            if j is None:
                first.append(tiles - 1), nxt.append(tiles - 1), weight.append(0.0)
            else:
                first.append(j), nxt.append(j + 1), weight.append(min(max((p - c[j]) / (c[j + 1] - c[j]), 0.0), 1.0))
        return np.array(first), np.array(nxt), np.array(weight)

    i0, i1, s = axis(w, nx)
    j0, j1, t = axis(h, ny)
    s, t = s[None, :], t[:, None]
    top = (1 - s) * mesh[j0][:, i0] + s * mesh[j0][:, i1]
    bottom = (1 - s) * mesh[j1][:, i0] + s * mesh[j1][:, i1]
    return (1 - t) * top + t * bottom


def model_robust_std(values):
    v = np.sort(values)
    m = v[v.size // 2]
    return 1.4826 * np.sort(np.abs(values - m))[v.size // 2]


def model_peak(profile):
    if len(profile) < 3:
        return None
    i = int(np.argmax(profile))
    if i in (0, len(profile) - 1):
        return None
    a, b, c = profile[i - 1:i + 2]
    if min(a, b, c) <= 0:
        return None
    d = math.log(a) - 2 * math.log(b) + math.log(c)
    if d >= 0:
        return None
    delta = 0.5 * (math.log(a) - math.log(c)) / d
    return None if abs(delta) > 1 else i + delta


def model_detect(img, max_count, mask):
    from scipy import ndimage

    h, w = img.shape
    r = img - model_background(img, mask)
    threshold = max(5 * model_robust_std(r[~mask]), 2048.0) if (~mask).any() else 2048.0
    labels, n = ndimage.label((r >= threshold) & ~mask)  # 4-connectivity
    grown = ndimage.binary_dilation(mask)  # pixels 4-adjacent to the mask (or in it)
    found = []
    for k in range(1, n + 1):
        ys, xs = np.nonzero(labels == k)
        if not 3 <= ys.size <= 400 or xs.min() == 0 or ys.min() == 0 or xs.max() == w - 1 or ys.max() == h - 1:
            continue
        if grown[ys, xs].any():
            continue
        x0, x1 = max(xs.min() - 3, 0), min(xs.max() + 3, w - 1)
        y0, y1 = max(ys.min() - 3, 0), min(ys.max() + 3, h - 1)
        box = np.where(mask[y0:y1 + 1, x0:x1 + 1], 0.0, r[y0:y1 + 1, x0:x1 + 1])
        rv = r[ys, xs]
        px, py = model_peak(box.sum(axis=0)), model_peak(box.sum(axis=1))
        x = x0 + px if px is not None else (rv * xs).sum() / rv.sum()
        y = y0 + py if py is not None else (rv * ys).sum() / rv.sum()
        found.append((ys.min() * w + xs[ys == ys.min()].min(), x, y, rv.sum()))
    found.sort(key=lambda f: (-f[3], f[0]))
    return [(x, y, flux) for _, x, y, flux in found[:max_count]]


def model_matched(img, max_count, sigma):
    h, w = img.shape
    res = img - model_background(img, np.zeros(img.shape, bool))
    k = taps(sigma)
    r = len(k) // 2
    padded = np.pad(res, ((0, 0), (r, r)), mode="edge")
    horizontal = np.zeros((h, w))
    for i, tap in enumerate(k):
        horizontal += tap * padded[:, i:i + w]
    padded = np.pad(horizontal, ((r, r), (0, 0)), mode="edge")
    surface = np.zeros((h, w))
    for i, tap in enumerate(k):
        surface += tap * padded[i:i + h, :]
    sf = model_robust_std(surface.ravel())
    found = []
    for y, x in zip(*np.nonzero(surface >= 4 * sf)):
        v = surface[y, x]
        window = surface[max(y - 2, 0):y + 3, max(x - 2, 0):x + 3]
        before = [(yy, xx) for yy in range(max(y - 2, 0), min(y + 3, h)) for xx in range(max(x - 2, 0), min(x + 3, w))
                  if (yy, xx) < (y, x)]
        if any(surface[p] >= v for p in before) or window.max() > v:
            continue
        xs0, ys0 = max(x - 3, 0), max(y - 3, 0)
        px = model_peak(surface[y, xs0:min(x + 3, w - 1) + 1])
        py = model_peak(surface[ys0:min(y + 3, h - 1) + 1, x])
        found.append((xs0 + px if px is not None else float(x), ys0 + py if py is not None else float(y), v))
    found.sort(key=lambda f: -f[2])
    return found[:max_count]


def noisy_field(h, w, noise, seed):
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:h, 0:w]
    img = 3000 + 2 * xx - yy + rng.normal(0, noise, (h, w))
    for _ in range(40):
        cx, cy = rng.uniform(0, w), rng.uniform(0, h)
        img += rng.uniform(2000, 30000) * np.exp(-((xx - cx) ** 2 + (yy - cy) ** 2) / (2 * rng.uniform(0.8, 2.5) ** 2))
    return np.clip(np.round(img), 0, 65535).astype(np.uint16)


def assert_same_detections(got, want):
    assert len(got) == len(want)
    for g, m in zip(got, want):
        assert g == pytest.approx(m, rel=1e-9, abs=1e-9)


@pytest.mark.parametrize("noise", [12.0, 700.0])  # threshold at the 2048 floor, then at 5 sigma
@pytest.mark.parametrize("masked", [False, True])
def test_detect_centroids_matches_the_model(noise, masked):
    img = noisy_field(170, 230, noise, seed=int(noise))
    mask = np.zeros(img.shape, bool)
    if masked:
        mask[120:, :90] = True  # a roof corner
        mask[40:43, 150:153] = True  # a wire crossing
    got = stelvane.detect_centroids(img, 25, mask=mask if masked else None)
    assert len(got) >= 5
    assert_same_detections(got, model_detect(img, 25, mask))


@pytest.mark.parametrize("sigma", [0.7, 1.3, 2.0])
def test_detect_centroids_matched_matches_the_model(sigma):
    img = noisy_field(150, 190, 12.0, seed=3)
    got = stelvane.detect_centroids_matched(img, 30, sigma)
    assert len(got) >= 5
    assert_same_detections(got, model_matched(img, 30, sigma))


# --- the threshold near its floor ---------------------------------------------------


def noise_tile(mad, sky=10000):
    """A 32 x 32 tile whose residuals over `sky` have upper median 0 and upper-median
    absolute deviation `mad`: 212 at -(mad + 10), 100 at -mad, 400 at 0, 100 at +mad,
    212 at +(mad + 10), in a fixed shuffled order."""
    values = [-(mad + 10)] * 212 + [-mad] * 100 + [0] * 400 + [mad] * 100 + [mad + 10] * 212
    order = np.random.default_rng(5).permutation(1024)
    return (sky + np.array(values)[order]).reshape(32, 32)


@pytest.mark.parametrize("mad, faint_found", [
    (12, True), (200, True), (265, True), (276, True),  # 5 x 1.4826 x MAD <= 2048: the floor
    (277, False), (300, False),                         # 5 x 1.4826 x 277 = 2053.4 > 2050
])
def test_threshold_is_the_floor_up_to_its_mad(mad, faint_found):
    img = np.tile(noise_tile(mad), (4, 4)).astype(np.uint16)
    # Two 3 x 3 blobs in tiles of their own (nine values cannot move a tile's median
    # or the frame's MAD off these classes): 2050 counts clears the floor but not
    # 5 sigma for MAD 277; 2300 clears both. No noise value comes near either.
    img[40:43, 40:43] = 10000 + 2050
    img[100:103, 100:103] = 10000 + 2300
    fluxes = sorted(round(f) for _, _, f in stelvane.detect_centroids(img, 10))
    assert fluxes == ([9 * 2050] if faint_found else []) + [9 * 2300]
