"""remap_image / remap_mask: destination pixel -> direction -> source pixel, bilinear or nearest.

Expected frames come from the projection formulas written out in the test (pinhole
u = cx + f * x / z, the ideal fisheye r = f * theta with f filling the shorter dimension)
and from sources built so that a destination pixel lands exactly on a chosen source point
(a pixel on the destination's principal point looks straight down the boresight and lands
on the source's principal point, whatever the focal lengths).
"""

from __future__ import annotations

import gc
import inspect
import math

import numpy as np
import pytest

import stelvane

LIMIT = 268435456


def pinhole_pair(src_f, src_cx, src_cy, dst_f, dst_cx, dst_cy, width, height):
    return dict(src_focal_px=src_f, src_cx=src_cx, src_cy=src_cy, dst_focal_px=dst_f, dst_cx=dst_cx,
                dst_cy=dst_cy, dst_width=width, dst_height=height)


def distinct_frame(height, width, seed=0):
    rng = np.random.default_rng(seed)
    return rng.integers(0, 65536, size=(height, width), dtype=np.uint16)


@pytest.mark.parametrize(("height", "width", "focal"), [(48, 64, 500.0), (1, 1, 10.0), (5, 300, 80.0), (240, 320, 4000.0)])
def test_pinhole_onto_itself_is_the_identity(height, width, focal):
    frame = distinct_frame(height, width, seed=width)
    cx, cy = (width - 1) / 2, (height - 1) / 2
    out = stelvane.remap_image(frame, **pinhole_pair(focal, cx, cy, focal, cx, cy, width, height))
    assert out.dtype == np.uint16 and out.shape == (height, width)
    assert np.array_equal(out, frame)
    mask = distinct_frame(height, width, seed=width + 1) % 3 == 0
    assert np.array_equal(stelvane.remap_mask(mask, **pinhole_pair(focal, cx, cy, focal, cx, cy, width, height)),
                          mask)


def test_results_are_writeable_and_outlive_their_views():
    frame = distinct_frame(30, 40, seed=5)
    args = pinhole_pair(100.0, 19.5, 14.5, 100.0, 19.5, 14.5, 40, 30)
    tail = stelvane.remap_image(frame, **args)[10:]
    gc.collect()
    tail[0, 0] = 1
    assert tail.flags.writeable and tail[0, 0] == 1 and np.array_equal(tail[1:], frame[11:])
    stelvane.remap_mask(frame > 30000, **args)[:] = False  # no state shared between calls
    assert np.array_equal(stelvane.remap_mask(frame > 30000, **args), frame > 30000)


def test_uint8_frames_are_widened_by_257():
    frame = (distinct_frame(20, 30) >> 8).astype(np.uint8)
    out = stelvane.remap_image(frame, **pinhole_pair(300.0, 14.5, 9.5, 300.0, 14.5, 9.5, 30, 20))
    assert np.array_equal(out, frame.astype(np.uint16) * 257)


class TestCoverageEdges:
    """Destination pixel (3, 2) sits on the destination's principal point, so it lands exactly
    on the source principal point (src_cx, src_cy); its row neighbours land one pixel apart."""

    frame = (np.arange(6)[:, None] * 1000 + np.arange(8)[None, :] * 10 + 100).astype(np.uint16)  # S(x, y)

    def remap(self, src_cx, src_cy, fill=7):
        return stelvane.remap_image(self.frame, **pinhole_pair(100.0, src_cx, src_cy, 100.0, 3.0, 2.0, 8, 6),
                                    fill=fill)

    def test_u_of_minus_half_is_sampled_at_column_zero(self):
        out = self.remap(-0.5, 2.0)
        assert out[2, 3] == self.frame[2, 0]
        assert (out[:, :3] == 7).all()  # u <= -1.5: off the frame
        # u = +0.5: halfway between columns 0 and 1, S differs by 10 so the mean is whole.
        assert out[2, 4] == (int(self.frame[2, 0]) + int(self.frame[2, 1])) // 2

    def test_u_of_width_minus_half_is_not_sampled(self):
        out = self.remap(7.5, 2.0)
        assert out[2, 3] == 7
        assert (out[:, 4:] == 7).all()
        assert out[2, 2] == (int(self.frame[2, 6]) + int(self.frame[2, 7])) // 2

    def test_v_edges(self):
        assert self.remap(3.0, -0.5)[2, 3] == self.frame[0, 3]
        assert self.remap(3.0, 5.5)[2, 3] == 7
        assert self.remap(3.0, 5.4999)[2, 3] == self.frame[5, 3]

    def test_halves_round_away_from_zero(self):
        frame = np.array([[2, 3, 4]], np.uint16)
        out = stelvane.remap_image(frame, **pinhole_pair(100.0, 0.5, 0.0, 100.0, 1.0, 1.0, 3, 3))
        # Row 1 lands at u = -0.5 (covered, clamped to column 0), 0.5 (2.5 -> 3, where
        # round-half-even would give 2) and 1.5 (3.5 -> 4); rows 0 and 2 land off the one-row frame.
        assert out.tolist() == [[0, 0, 0], [2, 3, 4], [0, 0, 0]]

    def test_mask_nearest_rounds_half_away_and_keeps_the_edges(self):
        mask = np.array([[False, True, False]])
        out = stelvane.remap_mask(mask, **pinhole_pair(100.0, 0.5, 0.0, 100.0, 1.0, 1.0, 3, 3))
        # Row 1: u = -0.5 -> column 0, u = 0.5 -> column 1, u = 1.5 -> column 2, all covered;
        # rows 0 and 2 land at v = -1 and 1: off the one-row mask, so excluded.
        assert out.tolist() == [[True, True, True], [False, True, False], [True, True, True]]
        out = stelvane.remap_mask(mask, **pinhole_pair(100.0, 1.5, 0.0, 100.0, 1.0, 1.0, 3, 3))
        assert out[1].tolist() == [True, False, True]  # u = 0.5 -> 1, 1.5 -> 2, 2.5 uncovered


def all_sky_inside(side):
    # Ideal 180-degree destination fisheye filling side x side: focal = (side / 2) / (pi / 2), so a
    # pixel is in the field when its distance from the centre is below side / 2.
    j, t = np.meshgrid(np.arange(side), np.arange(side))
    c = (side - 1) / 2
    return np.hypot(j - c, t - c) < side / 2


@pytest.mark.parametrize("fill", [0, 65535, 1234])
def test_all_sky_circle_keeps_fill_in_the_corners(fill):
    frame = np.full((200, 200), 5000, np.uint16)
    out = stelvane.remap_image(frame, None, 99.5, 99.5, None, 31.5, 31.5, 64, 64, src_fisheye_fov_deg=200.0,
                               dst_fisheye_fov_deg=180.0, fill=fill)
    inside = all_sky_inside(64)
    assert (out[inside] == 5000).all()
    assert (out[~inside] == fill).all()
    assert out[0, 0] == fill and out[31, 31] == 5000


def test_all_sky_mask_excludes_the_corners():
    mask = np.zeros((200, 200), bool)
    out = stelvane.remap_mask(mask, None, 99.5, 99.5, None, 31.5, 31.5, 64, 64, src_fisheye_fov_deg=200.0,
                              dst_fisheye_fov_deg=180.0)
    assert out.dtype == np.bool_
    assert np.array_equal(out, ~all_sky_inside(64))


def test_destination_fisheye_fills_the_shorter_dimension():
    # A 100 x 40 destination: the ideal fisheye's circle has radius 20, not 50.
    frame = np.full((200, 200), 900, np.uint16)
    out = stelvane.remap_image(frame, None, 99.5, 99.5, None, 49.5, 19.5, 100, 40, src_fisheye_fov_deg=200.0,
                               dst_fisheye_fov_deg=180.0)
    j, t = np.meshgrid(np.arange(100), np.arange(40))
    assert np.array_equal(out == 900, np.hypot(j - 49.5, t - 19.5) < 20)


def test_source_lens_field_and_frame_limit_coverage():
    # A pinhole destination wider than a 90-degree source fisheye: directions beyond 45 degrees
    # from the boresight are outside the source lens's field and keep fill.
    frame = np.full((101, 101), 300, np.uint16)
    out = stelvane.remap_image(frame, None, 50.0, 50.0, 20.0, 40.0, 40.0, 81, 81, src_fisheye_fov_deg=90.0, fill=9)
    j, t = np.meshgrid(np.arange(81), np.arange(81))
    theta = np.arctan2(np.hypot(j - 40.0, t - 40.0), 20.0)
    assert (out[theta < math.radians(44.9)] == 300).all()
    assert (out[theta > math.radians(45.1)] == 9).all()


def test_magnified_pinhole_matches_bilinear_formula():
    # Destination focal 3x the source's: u = cx_s + (j - cx_d) / 3, fractions in thirds, so the
    # bilinear value is a multiple of 1/9 and never a rounding tie. 320 x 240 pixels.
    rng = np.random.default_rng(4)
    src = rng.integers(0, 60000, size=(90, 120), dtype=np.uint16)
    out = stelvane.remap_image(src, **pinhole_pair(200.0, 60.0, 45.0, 600.0, 160.0, 120.0, 320, 240), fill=1)
    j, t = np.meshgrid(np.arange(320), np.arange(240))
    u = 60.0 + (j - 160.0) / 3
    v = 45.0 + (t - 120.0) / 3
    covered = (u >= -0.5) & (u < 119.5) & (v >= -0.5) & (v < 89.5)
    uc, vc = np.clip(u, 0, 119), np.clip(v, 0, 89)
    x0, y0 = np.floor(uc + 1e-9).astype(int), np.floor(vc + 1e-9).astype(int)
    x1, y1 = np.minimum(x0 + 1, 119), np.minimum(y0 + 1, 89)
    fx, fy = np.clip(uc - x0, 0, None), np.clip(vc - y0, 0, None)
    s = src.astype(np.float64)
    want = (1 - fy) * ((1 - fx) * s[y0, x0] + fx * s[y0, x1]) + fy * ((1 - fx) * s[y1, x0] + fx * s[y1, x1])
    want = np.where(covered, np.floor(want + 0.5), 1)
    assert np.array_equal(out, want.astype(np.uint16))


def test_mask_is_nearest_neighbour_never_a_blend():
    # Checkerboard source, destination focal 3x: each destination flag is the source flag at
    # (round(u), round(v)); thirds never tie.
    src = (np.add.outer(np.arange(40), np.arange(50)) % 2).astype(bool)
    out = stelvane.remap_mask(src, **pinhole_pair(100.0, 24.0, 19.0, 300.0, 70.0, 60.0, 140, 120))
    j, t = np.meshgrid(np.arange(140), np.arange(120))
    u = 24.0 + (j - 70.0) / 3
    v = 19.0 + (t - 60.0) / 3
    covered = (u >= -0.5) & (u < 49.5) & (v >= -0.5) & (v < 39.5)
    x = np.floor(np.clip(u, 0, 49) + 0.5).astype(int)
    y = np.floor(np.clip(v, 0, 39) + 0.5).astype(int)
    want = np.where(covered, src[np.clip(y, 0, 39), np.clip(x, 0, 49)], True)
    assert np.array_equal(out, want)


@pytest.mark.parametrize(("src_shape", "dst"), [((1, 1), (1, 1)), ((1, 1), (3, 3)), ((0, 0), (4, 3)),
                                                 ((5, 5), (0, 7)), ((5, 5), (6, 0))])
def test_tiny_and_empty_frames(src_shape, dst):
    frame = np.full(src_shape, 4321, np.uint16)
    w, h = dst
    out = stelvane.remap_image(frame, **pinhole_pair(10.0, 0.0, 0.0, 10.0, (w - 1) // 2, (h - 1) // 2, w, h),
                               fill=11)
    assert out.shape == (h, w)
    want = np.full((h, w), 11, np.uint16)
    if src_shape == (1, 1) and w and h:
        want[(h - 1) // 2, (w - 1) // 2] = 4321
    assert np.array_equal(out, want)
    mask = stelvane.remap_mask(np.zeros(src_shape, bool),
                               **pinhole_pair(10.0, 0.0, 0.0, 10.0, (w - 1) // 2, (h - 1) // 2, w, h))
    assert mask.shape == (h, w) and mask.dtype == np.bool_
    assert np.array_equal(mask, want == 11)


@pytest.mark.parametrize(
    "changes",
    [
        {"src_cx": math.nan},
        {"dst_cy": math.nan},
        {"src_focal_px": math.inf},
        {"dst_focal_px": 0.0},
        {"src_focal_px": -50.0},
        {"dst_focal_px": None, "dst_fisheye_fov_deg": 0.0},
        {"dst_focal_px": None, "dst_fisheye_fov_deg": math.nan},
        {"src_focal_px": 50.0, "src_fisheye_fov_deg": 180.0, "src_k1": math.nan},
        {"dst_cx": 1e308, "dst_cy": -1e308},
    ],
)
def test_degenerate_camera_numbers_leave_fill_instead_of_failing(changes):
    # The camera accepts any numbers; directions that are not finite, or source points that
    # are NaN or far off the frame, are simply not covered.
    frame = np.full((30, 40), 777, np.uint16)
    args = {**pinhole_pair(50.0, 19.5, 14.5, 50.0, 19.5, 14.5, 40, 30), **changes}
    out = stelvane.remap_image(frame, **args, fill=3)
    mask = stelvane.remap_mask(np.zeros((30, 40), bool), **args)
    assert out.shape == (30, 40) and mask.shape == (30, 40)
    assert set(np.unique(out)) <= {3, 777}
    assert np.array_equal(mask, out == 3)


@pytest.mark.parametrize(
    ("width", "height", "detail"),
    [
        (16384, 16385, "16384x16385 is 268451840 pixels, over the 268435456 limit"),
        (LIMIT + 1, 1, "268435457x1 is 268435457 pixels, over the 268435456 limit"),
        (2**32, 2**32, "4294967296x4294967296 overflows a pixel count"),
        (2**63 - 1, 3, "9223372036854775807x3 overflows a pixel count"),
    ],
)
def test_destination_extent_refusals(width, height, detail):
    frame = np.zeros((2, 2), np.uint16)
    with pytest.raises(stelvane.StelvaneError) as info:
        stelvane.remap_image(frame, **pinhole_pair(10.0, 1.0, 1.0, 10.0, 1.0, 1.0, width, height))
    assert str(info.value) == "bad image: destination image " + detail
    with pytest.raises(stelvane.StelvaneError) as info:
        stelvane.remap_mask(frame > 0, **pinhole_pair(10.0, 1.0, 1.0, 10.0, 1.0, 1.0, width, height))
    assert str(info.value) == "bad image: destination mask " + detail


def test_argument_refusals_in_conversion_order():
    img = np.zeros((4, 4), np.uint16)
    ok = pinhole_pair(10.0, 1.0, 1.0, 10.0, 1.0, 1.0, 4, 4)
    # image intake first, even with a bad camera
    with pytest.raises(stelvane.StelvaneError, match="^image must be a 2-D uint8 or uint16 numpy array$"):
        stelvane.remap_image(np.zeros((4, 4), np.float32), **{**ok, "src_focal_px": None})
    with pytest.raises(stelvane.StelvaneError, match="^mask must be a 2-D bool numpy array$"):
        stelvane.remap_mask(img, **ok)
    # source camera before destination camera
    with pytest.raises(stelvane.StelvaneError, match="^focal_px is required for the pinhole camera"):
        stelvane.remap_image(img, **{**ok, "src_focal_px": None, "dst_focal_px": 5.0, "dst_fisheye_fov_deg": 180.0})
    with pytest.raises(stelvane.StelvaneError, match="^focal_px is ignored for the ideal equidistant fisheye"):
        stelvane.remap_image(img, **{**ok, "dst_fisheye_fov_deg": 180.0})
    with pytest.raises(stelvane.StelvaneError, match="^focal_px is required for a calibrated fisheye"):
        stelvane.remap_mask(img > 0, **{**ok, "dst_focal_px": None, "dst_fisheye_fov_deg": 180.0, "dst_k2": 0.1})
    with pytest.raises(TypeError, match="^argument 'src_cx': "):
        stelvane.remap_image(img, **{**ok, "src_cx": "1"})
    with pytest.raises(TypeError, match="^argument 'dst_k3': "):
        stelvane.remap_image(img, **{**ok, "dst_k3": None})
    with pytest.raises(TypeError, match="^argument 'dst_width': "):
        stelvane.remap_image(img, **{**ok, "dst_width": 4.0})
    with pytest.raises(OverflowError):
        stelvane.remap_image(img, **{**ok, "dst_height": -1})
    with pytest.raises(TypeError, match="^argument 'fill': "):
        stelvane.remap_image(img, **ok, fill=1.5)
    for fill in (-1, 65536, 2**40):
        with pytest.raises(OverflowError):
            stelvane.remap_image(img, **ok, fill=fill)


def test_signatures_and_binding():
    sig = ("(image, src_focal_px, src_cx, src_cy, dst_focal_px, dst_cx, dst_cy, dst_width, dst_height, "
           "src_fisheye_fov_deg=None, src_k1=0.0, src_k2=0.0, src_k3=0.0, src_k4=0.0, dst_fisheye_fov_deg=None, "
           "dst_k1=0.0, dst_k2=0.0, dst_k3=0.0, dst_k4=0.0, fill=0)")
    assert str(inspect.signature(stelvane.remap_image)) == sig
    mask_sig = sig.replace("(image,", "(mask,").replace(", fill=0)", ")")
    assert str(inspect.signature(stelvane.remap_mask)) == mask_sig
    assert stelvane.__all__.index("remap_image") + 1 == stelvane.__all__.index("remap_mask")
    assert stelvane.__all__.index("remap_mask") + 1 == stelvane.__all__.index("sun_apparent_jd")
    with pytest.raises(TypeError):
        stelvane.remap_image(np.zeros((2, 2), np.uint16), 1.0, 0.5, 0.5, 1.0, 0.5, 0.5, 2)
    with pytest.raises(TypeError):
        stelvane.remap_mask(np.zeros((2, 2), bool), 1.0, 0.5, 0.5, 1.0, 0.5, 0.5, 2, 2, fill=0)
