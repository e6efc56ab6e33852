"""foreground_mask: bright pixels above median + 2.5 robust sigma, dense 61 x 61 boxes, 15-pixel growth.

Expected masks come from the worked examples of the rule (a bright band flags every row from
39 rows above it) or from an independent NumPy reading of the rule: numpy.median, a
symmetric pad with an integral image for the box, and 15 rounds of 4-neighbour dilation
for the city-block growth.
"""

from __future__ import annotations

import inspect

import numpy as np
import pytest

import stelvane

SIGMAS = 2.5
MAD_TO_SIGMA = 1.4826
BOX = 61
HALF = 30
GROWTH = 15


def reference_mask(frame: np.ndarray) -> np.ndarray:
    values = frame.astype(np.float64)
    median = np.median(values)
    mad = np.median(np.abs(values - median))
    bright = (values > median + SIGMAS * MAD_TO_SIGMA * mad).astype(np.int64)
    padded = np.pad(bright, HALF, mode="symmetric")
    integral = np.zeros((padded.shape[0] + 1, padded.shape[1] + 1), np.int64)
    integral[1:, 1:] = padded.cumsum(0).cumsum(1)
    h, w = frame.shape
    count = (integral[BOX : BOX + h, BOX : BOX + w] - integral[:h, BOX : BOX + w]
             - integral[BOX : BOX + h, :w] + integral[:h, :w])
    grown = count / (BOX * BOX) > 0.1
    for _ in range(GROWTH):
        step = grown.copy()
        step[1:, :] |= grown[:-1, :]
        step[:-1, :] |= grown[1:, :]
        step[:, 1:] |= grown[:, :-1]
        step[:, :-1] |= grown[:, 1:]
        grown = step
    return grown


def cluttered_frame(height: int, width: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    frame = rng.normal(800.0, 20.0, size=(height, width))
    for _ in range(6):  # foreground blobs of assorted sizes, some touching the borders
        y, x = rng.integers(0, height), rng.integers(0, width)
        r = int(rng.integers(3, 40))
        frame[max(0, y - r) : y + r, max(0, x - r) : x + r] += 15000.0
    stars = rng.integers(0, height * width, 60)
    frame.flat[stars] += 30000.0
    return np.clip(frame, 0, 65535).astype(np.uint16)


@pytest.mark.parametrize(
    ("height", "width", "seed"),
    [(240, 320, 1), (97, 203, 2), (300, 17, 3), (13, 400, 4), (61, 61, 5), (1, 250, 6), (250, 1, 7), (45, 29, 8)],
)
def test_matches_independent_reading_of_the_rule(height, width, seed):
    frame = cluttered_frame(height, width, seed)
    got = stelvane.foreground_mask(frame)
    want = reference_mask(frame)
    assert got.dtype == np.bool_ and got.shape == (height, width)
    assert np.array_equal(got, want), f"{np.count_nonzero(got != want)} pixels differ"


@pytest.mark.parametrize("width", [640, 100, 20])
@pytest.mark.parametrize("band", [100, 45])
def test_bottom_band_flags_every_row_from_39_above(width, band):
    # A pixel k rows above the band sees (31 - k) / 61 bright rows: dense up to k = 24,
    # plus the 15-row growth, so the first flagged row is 39 rows above the band.
    height = 300
    frame = np.full((height, width), 900, np.uint16)
    frame[height - band :, :] = 30000
    mask = stelvane.foreground_mask(frame)
    first = height - band - 39
    assert mask[first:].all()
    assert not mask[:first].any()


def test_clear_starry_sky_gives_no_mask():
    rng = np.random.default_rng(11)
    frame = rng.normal(1000.0, 25.0, size=(400, 600))
    frame.flat[rng.integers(0, frame.size, 500)] += 20000.0
    for y, x in rng.integers(10, 390, size=(40, 2)):  # 3 x 3 star images
        frame[y - 1 : y + 2, x - 1 : x + 2] += 10000.0
    mask = stelvane.foreground_mask(np.clip(frame, 0, 65535).astype(np.uint16))
    assert not mask.any()


@pytest.mark.parametrize(("height", "width", "value"),
                         [(1, 1, 0), (1, 1, 65535), (3, 2, 7), (80, 90, 65535), (50, 5, 1234)])
def test_uniform_frames_have_no_bright_pixel(height, width, value):
    mask = stelvane.foreground_mask(np.full((height, width), value, np.uint16))
    assert mask.shape == (height, width)
    assert not mask.any()


def test_even_count_median_is_the_mean_of_the_two_middle_values():
    # Half the pixels 0, a 70 x 70 block of 5 in a corner, the rest 2. Mean-of-middle rule:
    # m = 1, MAD = 1, threshold 4.71, so the block is bright and dense. The upper median
    # (m = 2, MAD = 2, threshold 9.41) would leave it dark and the mask empty.
    frame = np.full((200, 200), 2, np.uint16)
    frame.flat[: frame.size // 2] = 0
    frame[-70:, -70:] = 5
    assert np.count_nonzero(frame == 0) == frame.size // 2
    mask = stelvane.foreground_mask(frame)
    assert mask[-1, -1] and mask[-70, -70]
    assert np.array_equal(mask, reference_mask(frame))


def test_uint8_frames_are_widened_by_257():
    frame16 = cluttered_frame(90, 120, 9)
    frame8 = (frame16 >> 8).astype(np.uint8)
    assert np.array_equal(stelvane.foreground_mask(frame8),
                          stelvane.foreground_mask(frame8.astype(np.uint16) * 257))


@pytest.mark.parametrize(
    ("image", "message"),
    [
        (np.zeros((0, 5), np.uint16), "bad image: 5x0 does not match 0 pixels"),
        (np.zeros((4, 0), np.uint8), "bad image: 0x4 does not match 0 pixels"),
        (np.zeros((4, 4), np.float32), "image must be a 2-D uint8 or uint16 numpy array"),
        (np.zeros(16, np.uint16), "image must be a 2-D uint8 or uint16 numpy array"),
        ([[1, 2], [3, 4]], "image must be a 2-D uint8 or uint16 numpy array"),
        (np.zeros((4, 6), np.uint16).T, "image must be C-contiguous (row-major). A Fortran-ordered or transposed "
         "view holds its own transpose in memory, which would be read as rows: pass numpy.ascontiguousarray(image)"),
    ],
)
def test_refusals(image, message):
    with pytest.raises(stelvane.StelvaneError) as info:
        stelvane.foreground_mask(image)
    assert str(info.value) == message


def test_signature_and_binding():
    assert str(inspect.signature(stelvane.foreground_mask)) == "(image)"
    frame = np.zeros((3, 3), np.uint16)
    assert not stelvane.foreground_mask(image=frame).any()
    with pytest.raises(TypeError):
        stelvane.foreground_mask()
    with pytest.raises(TypeError):
        stelvane.foreground_mask(frame, frame)
    assert stelvane.foreground_mask.__module__ == "stelvane"
