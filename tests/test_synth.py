"""synthesize_scene and Scene: stars placed where the camera sees them, noise drawn in its stated order."""

import inspect
import math
import struct

import numpy as np
import pytest

import stelvane
import stelvane.catalogs

DEG = math.pi / 180
ARCMIN = DEG / 60
JD = 2460400.75          # 2024-04-01 06:00 UT
LAT, LON = 48.5, 11.25
# An ideal 180-deg fisheye on 800 x 800 pixels: f = 400 / (pi/2).
SIZE = 800


# ---- an independent model of the sky, the camera and the generator ------------------------------

def local_axes(lat_deg, lon_deg, jd):
    """Up, North, East of the observer in equatorial coordinates of date."""
    lst = math.radians(stelvane.gmst_deg(jd)) + math.radians(lon_deg)
    phi = math.radians(lat_deg)
    up = np.array([math.cos(phi) * math.cos(lst), math.cos(phi) * math.sin(lst), math.sin(phi)])
    north = np.array([-math.sin(phi) * math.cos(lst), -math.sin(phi) * math.sin(lst), math.cos(phi)])
    east = np.array([-math.sin(lst), math.cos(lst), 0.0])
    return up, north, east


def aberration(jd):
    t = (jd - 2451545) / 36525
    m = math.radians(357.528 + 35999.05 * t)
    lam = math.radians(280.46 + 36000.771 * t + 1.915 * math.sin(m) + 0.02 * math.sin(2 * m))
    eps = math.radians(23.4393 - 0.013 * t)
    k = 20.49552 / 3600 * DEG
    return k * np.array([math.sin(lam), -math.cos(lam) * math.cos(eps), -math.cos(lam) * math.sin(eps)])


def refraction_deg(alt_deg):
    """Bennett's refraction in degrees for a true altitude in degrees."""
    return max(1 / math.tan(math.radians(alt_deg + 7.31 / (alt_deg + 4.4))), 0.0) / 60


def precession(jd):
    return np.array([stelvane.precess_vector(jd, e) for e in np.eye(3)]).T  # columns P e_k


def j2000_direction(apparent_alt_deg, az_deg, jd=JD, lat=LAT, lon=LON):
    """The J2000 unit vector of a fixed star seen at this refracted altitude and azimuth."""
    alt = apparent_alt_deg
    for _ in range(50):  # true altitude a with a + R(a) = apparent altitude
        alt = apparent_alt_deg - refraction_deg(alt)
    up, north, east = local_axes(lat, lon, jd)
    a, z = math.radians(alt), math.radians(az_deg)
    s = east * math.cos(a) * math.sin(z) + north * math.cos(a) * math.cos(z) + up * math.sin(a)
    d = aberration(jd)
    # s = (v + d) / |v + d| with |v| = 1  =>  v = k s - d, k = s.d + sqrt((s.d)^2 - d.d + 1).
    sd = s @ d
    v = (sd + math.sqrt(sd * sd - d @ d + 1)) * s - d
    return precession(jd).T @ v


def fisheye_pixel_to_local(x, y, roll_deg=0.0, size=SIZE):
    """(apparent altitude, azimuth) in degrees seen at pixel (x, y) of the size x size zenith fisheye.

    Looking up with roll 0 the image right is West and image down is South; roll turns
    the image axes: x_cam = W cos r + S sin r, y_cam = S cos r - W sin r.
    """
    dx, dy = x - size / 2, y - size / 2
    theta, phi = math.hypot(dx, dy) / (size / 2 / (math.pi / 2)), math.atan2(dy, dx)
    cam = np.array([math.sin(theta) * math.cos(phi), math.sin(theta) * math.sin(phi), math.cos(theta)])
    r = math.radians(roll_deg)
    west, south, up = np.array([-1.0, 0, 0]), np.array([0, -1.0, 0]), np.array([0, 0, 1.0])
    x_cam = west * math.cos(r) + south * math.sin(r)
    y_cam = south * math.cos(r) - west * math.sin(r)
    local = cam[0] * x_cam + cam[1] * y_cam + cam[2] * up
    return math.degrees(math.asin(local[2])), math.degrees(math.atan2(local[0], local[1]))


class Xorshift:
    """xorshift64* and Box-Muller (cosine branch), written out from the published recipe."""

    def __init__(self, seed):
        self.s = seed or 1

    def uniform(self):
        s = self.s
        s ^= s >> 12
        s ^= (s << 25) & 0xFFFFFFFFFFFFFFFF
        s ^= s >> 27
        self.s = s
        return (((s * 0x2545F4914F6CDD1D) & 0xFFFFFFFFFFFFFFFF) >> 11) * 2.0**-53

    def normal(self):
        u1, u2 = self.uniform(), self.uniform()
        return math.sqrt(-2 * math.log(max(u1, 2.2250738585072014e-308))) * math.cos(2 * math.pi * u2)


# ---- catalogs written by the tests ---------------------------------------------------------------

def write_catalog(tmp_path, stars, name="sky"):
    """stars: (hr, vmag, J2000 unit vector) with zero motion; an empty pair index."""
    records = b""
    for hr, vmag, v in stars:
        v = np.asarray(v, dtype=float) / np.linalg.norm(v)
        ra, dec = math.atan2(v[1], v[0]) % (2 * math.pi), math.asin(v[2])
        unit = (math.cos(dec) * math.cos(ra), math.cos(dec) * math.sin(ra), math.sin(dec))
        records += struct.pack("<If5d3f", hr, vmag, ra, dec, *unit, 0.0, 0.0, 0.0)
    cat, prs = tmp_path / f"{name}.scat", tmp_path / f"{name}.sprs"
    cat.write_bytes(struct.pack("<4sIId", b"SCAT", 2, len(stars), 2000.0) + records)
    prs.write_bytes(struct.pack("<4sII", b"SPRS", 1, 0))
    return stelvane.Catalog(str(cat), str(prs))


def catalog_at_pixels(tmp_path, placed, roll_deg=0.0, size=SIZE):
    """A catalog whose stars (hr, vmag, x, y) appear at those pixels of the zenith fisheye."""
    return write_catalog(tmp_path, [(hr, vmag, j2000_direction(*fisheye_pixel_to_local(x, y, roll_deg, size)))
                                    for hr, vmag, x, y in placed])


def fisheye_scene(catalog, roll_deg=0.0, size=SIZE, pixel_noise=0.0, up_noise=0.0, background=0.0, seed=1,
                  bit_depth=16, mag_limit=6.5):
    return stelvane.synthesize_scene(catalog, LAT, LON, JD, roll_deg, size, size, None, mag_limit, pixel_noise,
                                     up_noise, background, seed, fisheye_fov_deg=180.0, bit_depth=bit_depth)


PLACED = [(11, 2.0, 400.0, 400.0), (12, 1.0, 250.25, 610.5), (13, 3.5, 650.75, 150.0), (14, 0.5, 90.0, 333.3)]


# ---- geometry ------------------------------------------------------------------------------------

@pytest.mark.parametrize("roll", [0.0, 30.0, -135.0])
def test_stars_land_at_the_projection_of_their_true_directions(tmp_path, roll):
    scene = fisheye_scene(catalog_at_pixels(tmp_path, PLACED, roll), roll_deg=roll)
    # Brightest first; every star at the pixel its direction projects to.
    assert scene.rendered_hr_ids == [14, 12, 11, 13]
    want = {hr: (x, y) for hr, _, x, y in PLACED}
    for hr, (x, y) in zip(scene.rendered_hr_ids, scene.star_pixels):
        assert x == pytest.approx(want[hr][0], abs=1e-6) and y == pytest.approx(want[hr][1], abs=1e-6)
    assert (scene.boresight_alt_deg, scene.boresight_az_deg) == (90.0, 0.0)
    assert scene.up_cam == pytest.approx((0.0, 0.0, 1.0), abs=1e-15)


def test_noise_free_image_is_pedestal_plus_psfs(tmp_path):
    scene = fisheye_scene(catalog_at_pixels(tmp_path, PLACED))
    img = scene.pixels.astype(float)
    want = np.full((SIZE, SIZE), 1024.0)
    ys, xs = np.mgrid[0:SIZE, 0:SIZE]
    for (x, y), hr in zip(scene.star_pixels, scene.rendered_hr_ids):
        vmag = {h: v for h, v, _, _ in PLACED}[hr]
        stamp = (abs(xs - math.floor(x + 0.5)) <= 4) & (abs(ys - math.floor(y + 0.5)) <= 4)
        want += np.where(stamp, 2.56e5 * 10 ** (-0.4 * vmag) * np.exp(-((xs - x) ** 2 + (ys - y) ** 2) / (2 * 1.3**2)),
                         0.0)
    assert np.array_equal(img, np.minimum(np.round(want), 65535))
    assert img.max() == 65535  # the V 0.5 star saturates


def test_pinhole_scene_points_at_a_grid_direction_and_draws_projected_stars():
    catalog = stelvane.catalogs.load("pinhole")
    scene = stelvane.synthesize_scene(catalog, -33.9, 151.2, 2460310.5, 10.0, 1280, 960, 1400.0, 5.5, 0.0, 0.0,
                                      0.0, 3)
    assert scene.boresight_alt_deg in (45.0, 60.0, 75.0) and scene.boresight_az_deg % 20 == 0
    assert len(scene.rendered_hr_ids) >= 10
    mags = [catalog.star(hr)[2] for hr in scene.rendered_hr_ids]
    assert mags == sorted(mags) and max(mags) <= 5.5
    for x, y in scene.star_pixels:
        assert 5 <= x < 1275 and 5 <= y < 955
        assert scene.pixels[round(y), round(x)] > 1024
    xy = np.array(scene.star_pixels)
    d = np.hypot(xy[:, None, 0] - xy[None, :, 0], xy[:, None, 1] - xy[None, :, 1])
    assert np.all(d[np.triu_indices(len(xy), 1)] >= 6)


@pytest.mark.parametrize("x, drawn", [(4.9, False), (5.0, True), (794.9, True), (795.0, False)])
def test_edge_margin(tmp_path, x, drawn):
    scene = fisheye_scene(catalog_at_pixels(tmp_path, [(5, 3.0, x, 400.0), (6, 3.0, 400.0, 400.0)]))
    assert scene.rendered_hr_ids == ([5, 6] if drawn else [6])


@pytest.mark.parametrize("offset, want", [(5.0, [2]), (5.99, [2]), (6.01, [2, 1])])
def test_crowded_fainter_star_is_dropped(tmp_path, offset, want):
    # The fainter star comes first in the catalog; the brighter one is drawn first.
    placed = [(1, 4.0, 300.0 + offset, 300.0), (2, 3.0, 300.0, 300.0)]
    assert fisheye_scene(catalog_at_pixels(tmp_path, placed)).rendered_hr_ids == want


def test_stars_below_horizon_or_too_faint_leave_a_flat_image(tmp_path):
    up, north, east = local_axes(LAT, LON, JD)
    below = precession(JD).T @ (-up)
    catalog = write_catalog(tmp_path, [(1, 1.0, below), (2, 7.0, j2000_direction(60.0, 10.0))])
    scene = fisheye_scene(catalog, mag_limit=6.5)
    assert scene.rendered_hr_ids == [] and scene.star_pixels == []
    assert np.all(scene.pixels == 1024)


# ---- random numbers ------------------------------------------------------------------------------

def test_same_seed_same_scene_and_seed_zero_is_one(tmp_path):
    catalog = catalog_at_pixels(tmp_path, PLACED)
    scenes = [fisheye_scene(catalog, size=200, pixel_noise=2.0, up_noise=5.0, background=30.0, seed=s)
              for s in (0, 1, 1, 2)]
    for a in scenes[1:3]:
        assert np.array_equal(a.pixels, scenes[0].pixels)
        assert (a.up_cam, a.star_pixels, a.rendered_hr_ids) == (scenes[0].up_cam, scenes[0].star_pixels,
                                                                 scenes[0].rendered_hr_ids)
    assert not np.array_equal(scenes[3].pixels, scenes[0].pixels) and scenes[3].up_cam != scenes[0].up_cam


def test_generator_consumed_centroids_then_pixels_then_up_vector(tmp_path):
    # 100 x 100 zenith fisheye: f = 50 / (pi/2). Three stars, all inside the lens.
    size = 100
    f = 50 / (math.pi / 2)
    placed = [(1, 1.0, 50.0, 50.0), (2, 2.0, 30.0, 60.0), (3, 3.0, 2.0, 50.0)]  # HR 3 outside the margin
    catalog = catalog_at_pixels(tmp_path, placed, size=size)
    seed, pixel_noise, up_noise, background = 987654321, 3.0, 30.0, 7.5
    scene = fisheye_scene(catalog, size=size, pixel_noise=pixel_noise, up_noise=up_noise, background=background,
                          seed=seed)
    rng = Xorshift(seed)
    sigma_px = pixel_noise * ARCMIN * f
    jittered = [(x + sigma_px * rng.normal(), y + sigma_px * rng.normal()) for _, _, x, y in placed]
    # The third is jittered, then dropped at the edge.
    assert np.array(scene.star_pixels) == pytest.approx(np.array(jittered[:2]), abs=1e-6)
    for _ in range(size * size):
        rng.normal()
    n = np.array([rng.normal() for _ in range(4)])
    t = np.array([0.0, 0.0, 1.0])
    w = n[:3] - (n[:3] @ t) * t
    a = w / np.linalg.norm(w)
    theta = n[3] * up_noise * ARCMIN
    want = t * math.cos(theta) + np.cross(a, t) * math.sin(theta)
    assert scene.up_cam == pytest.approx(tuple(want / np.linalg.norm(want)), abs=1e-12)


def test_background_noise_shifts_the_up_vector_draws(tmp_path):
    catalog = catalog_at_pixels(tmp_path, PLACED)
    quiet = fisheye_scene(catalog, size=120, up_noise=10.0, seed=5)
    noisy = fisheye_scene(catalog, size=120, up_noise=10.0, background=1.0, seed=5)
    assert quiet.up_cam != noisy.up_cam
    for s in (quiet, noisy):
        tilt = math.acos(min(1.0, s.up_cam[2]))
        assert 0 < tilt < 5 * 10.0 * ARCMIN


# ---- quantisation --------------------------------------------------------------------------------

@pytest.mark.parametrize("bits", [1, 2, 3, 8, 12, 16])
def test_bit_depths_hold_only_adc_codes(tmp_path, bits):
    catalog = catalog_at_pixels(tmp_path, PLACED)
    deep = fisheye_scene(catalog, background=40.0, seed=9).pixels.astype(float)
    scene = fisheye_scene(catalog, background=40.0, seed=9, bit_depth=bits)
    step = 65535 / (2**bits - 1)
    px = scene.pixels.astype(float)
    codes = np.round(px / step)
    assert np.array_equal(px, np.floor(np.minimum(codes * step, 65535)))
    # Same noise draws: the coarse image is the deep one rounded to the nearest code.
    assert np.max(np.abs(px - deep)) <= step / 2 + 1
    if bits == 8:
        assert np.all(scene.pixels % 257 == 0) and scene.pixels.max() == 65535


# ---- refusals and the Python surface -------------------------------------------------------------

ARGS = dict(lat_deg=LAT, lon_deg=LON, jd_ut=JD, roll_deg=0.0, width=64, height=48, focal_px=500.0, mag_limit=6.0,
            pixel_noise_arcmin=0.0, up_noise_arcmin=0.0, background_noise=0.0, seed=1)


@pytest.mark.parametrize("change, message", [
    (dict(width=0), "bad image: zero-sized image"),
    (dict(height=0, lat_deg=math.nan), "bad image: zero-sized image"),
    (dict(lat_deg=math.nan), "bad image: non-finite lat/lon/jd"),
    (dict(jd_ut=math.inf), "bad image: non-finite lat/lon/jd"),
    (dict(bit_depth=17), "bad image: bit_depth 17 out of range 1..=16"),
    (dict(bit_depth=0), "bad image: bit_depth 0 out of range 1..=16"),
    (dict(roll_deg=math.nan), "bad image: non-finite roll_deg"),
    (dict(width=65536, height=4097), "bad image: image of 65536 x 4097 pixels is too large to render (at most "
                                     "268435456 pixels)"),
    (dict(focal_px=None), "focal_px is required for the pinhole camera (fisheye_fov_deg=None); focal_px=None is "
                          "only meaningful for the ideal equidistant fisheye"),
    (dict(fisheye_fov_deg=180.0, width=0), "focal_px is ignored for the ideal equidistant fisheye"),
    (dict(fisheye_fov_deg=180.0, focal_px=None, k2=0.1), "focal_px is required for a calibrated fisheye"),
])
def test_refusals(tmp_path, change, message):
    catalog = write_catalog(tmp_path, [])
    with pytest.raises(stelvane.StelvaneError) as e:
        stelvane.synthesize_scene(catalog, **{**ARGS, **change})
    assert str(e.value).startswith(message)


@pytest.mark.parametrize("change, error, message", [
    (dict(catalog="stars.scat"), TypeError, "argument 'catalog': "),
    (dict(width=-1), OverflowError, "can't convert negative int to unsigned"),
    (dict(seed=-1), OverflowError, "can't convert negative int to unsigned"),
    (dict(seed=2**64), OverflowError, ""),
    (dict(seed=1.5), TypeError, "argument 'seed': "),
    (dict(mag_limit="6"), TypeError, "argument 'mag_limit': "),
])
def test_argument_conversion(tmp_path, change, error, message):
    args = {"catalog": write_catalog(tmp_path, []), **ARGS, **change}
    with pytest.raises(error) as e:
        stelvane.synthesize_scene(**args)
    assert str(e.value).startswith(message)


def test_largest_seed_accepted(tmp_path):
    scene = stelvane.synthesize_scene(write_catalog(tmp_path, []), **{**ARGS, "seed": 2**64 - 1,
                                                                       "background_noise": 1.0})
    assert scene.pixels.shape == (48, 64)


def test_signature_and_scene_class(tmp_path):
    assert str(inspect.signature(stelvane.synthesize_scene)) == (
        "(catalog, lat_deg, lon_deg, jd_ut, roll_deg, width, height, focal_px, mag_limit, pixel_noise_arcmin, "
        "up_noise_arcmin, background_noise, seed, fisheye_fov_deg=None, k1=0.0, k2=0.0, k3=0.0, k4=0.0, "
        "bit_depth=16)")
    with pytest.raises(TypeError):
        stelvane.Scene()
    scene = stelvane.synthesize_scene(write_catalog(tmp_path, []), **ARGS)
    assert isinstance(scene, stelvane.Scene)
    first = scene.pixels
    assert first.dtype == np.uint16 and first.shape == (48, 64) and first.flags.c_contiguous
    first[:] = 0
    assert np.all(scene.pixels == 1024)  # a fresh copy on every access
    assert (scene.width, scene.height) == (64, 48)
    assert isinstance(scene.up_cam, tuple) and len(scene.up_cam) == 3
    assert (scene.boresight_alt_deg, scene.boresight_az_deg) == (55.0, 0.0)  # nothing to point at
    for name in ("pixels", "up_cam", "star_pixels", "rendered_hr_ids", "width", "height", "boresight_alt_deg",
                 "boresight_az_deg"):
        with pytest.raises(AttributeError):
            setattr(scene, name, None)
