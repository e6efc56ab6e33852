"""resolve_fix, resolve_from_centroids and Fix: rendered skies solved back to the place they were rendered for."""

import datetime
import inspect
import math
import random

import numpy as np
import pytest

import stelvane
import stelvane.catalogs

DEG = math.pi / 180
ARCMIN = DEG / 60
NM_PER_RAD = 3437.746770784939
LAT, LON = 48.5, 11.25
NIGHT = (2024, 4, 1, 22, 0, 0)
# The instant's Julian Date, from the Unix epoch (JD 2440587.5) rather than from the module.
NIGHT_JD = 2440587.5 + datetime.datetime(*NIGHT, tzinfo=datetime.timezone.utc).timestamp() / 86400
# Whole-sky camera: an ideal 180-degree fisheye on 1024 x 1024 pixels, focal 512 / (pi/2).
FISH = dict(focal_px=None, cx=512.0, cy=512.0, fisheye_fov_deg=180.0)
FISH_FOCAL = 512 / (math.pi / 2)
# Narrow camera: a 1920 x 1080 pinhole of focal 1500 px.
PIN = dict(focal_px=1500.0, cx=960.0, cy=540.0)
SUN_EXCLUSION_PX = 4 * math.sqrt(300)  # 69.28 px


@pytest.fixture(scope="module")
def allsky():
    return stelvane.catalogs.load("allsky")


@pytest.fixture(scope="module")
def pinhole():
    return stelvane.catalogs.load("pinhole")


def fisheye_scene(catalog, pixel=0.0, up=0.0, background=0.0, seed=1, lat=LAT, lon=LON, jd=NIGHT_JD, size=1024):
    return stelvane.synthesize_scene(catalog, lat, lon, jd, 0.0, size, size, None, 6.0, pixel, up, background, seed,
                                     fisheye_fov_deg=180.0)


def pinhole_scene(catalog, pixel=0.0, up=0.0, background=0.0, seed=1):
    return stelvane.synthesize_scene(catalog, LAT, LON, NIGHT_JD, 0.0, 1920, 1080, 1500.0, 6.0, pixel, up,
                                     background, seed)


def as_centroids(scene):
    """The drawn star centres with made-up fluxes that keep the drawing (brightest-first) order."""
    return [(x, y, 1000.0 - k) for k, (x, y) in enumerate(scene.star_pixels)]


def seeds(n):
    """Well-mixed seeds: consecutive small seeds start xorshift64* in correlated states."""
    return [(0x9E3779B97F4A7C15 * k) % 2**64 for k in range(1, n + 1)]


def error_nm(fix, lat=LAT, lon=LON):
    """Great-circle distance of the fix from (lat, lon), by the haversine written out here."""
    p1, p2 = math.radians(fix.latitude_deg), math.radians(lat)
    dl = math.radians(fix.longitude_deg - lon)
    a = math.sin((p2 - p1) / 2) ** 2 + math.cos(p1) * math.cos(p2) * math.sin(dl / 2) ** 2
    return 2 * math.asin(min(1.0, math.sqrt(a))) * NM_PER_RAD


def mahalanobis_sq(fix, lat=LAT, lon=LON):
    """Squared distance of the truth from the fix in units of the fix's own north/east covariance."""
    d_north = math.radians(lat - fix.latitude_deg)
    d_east = math.radians((lon - fix.longitude_deg + 180) % 360 - 180) * math.cos(math.radians(lat))
    e = np.array([d_north, d_east])
    return float(e @ np.linalg.solve(np.array(fix.covariance), e))


def destination(lat_deg, lon_deg, az_rad, dist_rad):
    """The point dist_rad of arc from (lat, lon) along the initial azimuth az_rad."""
    p, lam = math.radians(lat_deg), math.radians(lon_deg)
    p2 = math.asin(math.sin(p) * math.cos(dist_rad) + math.cos(p) * math.sin(dist_rad) * math.cos(az_rad))
    lam2 = lam + math.atan2(math.sin(az_rad) * math.sin(dist_rad) * math.cos(p),
                            math.cos(dist_rad) - math.sin(p) * math.sin(p2))
    return math.degrees(p2), math.degrees(lam2)


def separation_deg(a, b):
    """Angle between two (ra_deg, dec_deg, ...) records."""
    (ra1, d1), (ra2, d2) = (map(math.radians, a[:2])), (map(math.radians, b[:2]))
    c = math.sin(d1) * math.sin(d2) + math.cos(d1) * math.cos(d2) * math.cos(ra1 - ra2)
    return math.degrees(math.acos(min(1.0, c)))


def fish_altitude_deg(x, y, size=1024):
    """Apparent altitude of pixel (x, y) of the zenith-pointing ideal fisheye: 90 deg less r / f."""
    return 90.0 - math.degrees(math.hypot(x - size / 2, y - size / 2) / (size / 2 / (math.pi / 2)))


def solve_fish(catalog, centroids, up, **kw):
    return stelvane.resolve_from_centroids(centroids, up_cam=up, utc=NIGHT, catalog=catalog, **FISH, **kw)


# ---- accuracy on noiseless skies --------------------------------------------------------------------------

@pytest.mark.parametrize("road", ["image", "centroids", "detected"])
@pytest.mark.parametrize("lens", ["fisheye", "pinhole"])
def test_noiseless_sky_solves_to_the_rendered_place(allsky, pinhole, lens, road):
    catalog, scene, camera = ((allsky, fisheye_scene(allsky), FISH) if lens == "fisheye"
                              else (pinhole, pinhole_scene(pinhole), PIN))
    if road == "image":
        fix = stelvane.resolve_fix(scene.pixels, up_cam=scene.up_cam, utc=NIGHT, catalog=catalog, **camera)
    else:
        cents = as_centroids(scene) if road == "centroids" else stelvane.detect_centroids(scene.pixels, 12)
        fix = stelvane.resolve_from_centroids(cents, up_cam=scene.up_cam, utc=NIGHT, catalog=catalog, **camera)
    assert error_nm(fix) < 0.01 * 60  # 0.01 deg
    assert len(fix.matched_hr_ids) >= 3
    # Every identified star was drawn, or is the unseen companion of one (the pinhole catalog lists both
    # parts of epsilon Bootis, HR 5505 and 5506, 3 arcseconds apart; only the brighter is drawn).
    # Saturated stars reorder the detector's brightest few; the centroid road keeps the drawing order.
    drawn = scene.rendered_hr_ids[:12] if road == "centroids" else scene.rendered_hr_ids
    for hr in fix.matched_hr_ids:
        assert min(separation_deg(catalog.star(hr), catalog.star(d)) for d in drawn) < 10 / 3600
    assert fix.used_sun is False
    assert 1 <= fix.n_iterations <= 20
    if road == "centroids":
        # Exact centres: renderer and solver share the sky model, and what is left is Bennett's formula
        # applied forward at the true altitude and backward at the apparent one, |dR/dh| * R < 0.015 arcmin
        # at 15 deg (R = 3.5 arcmin, dR/dh = -0.2 arcmin per degree).
        assert fix.residual_rms_rad < 0.015 * ARCMIN
        assert error_nm(fix) < 0.015


def test_detected_centroids_take_the_same_road_as_the_image(allsky):
    scene = fisheye_scene(allsky, pixel=2.0, background=200.0, seed=7)
    a = stelvane.resolve_fix(scene.pixels, up_cam=scene.up_cam, utc=NIGHT, catalog=allsky, **FISH)
    b = solve_fish(allsky, stelvane.detect_centroids(scene.pixels, 12), scene.up_cam)
    assert (a.latitude_deg, a.longitude_deg, a.covariance, a.matched_hr_ids, a.match_margin, a.residual_rms_rad) == (
        b.latitude_deg, b.longitude_deg, b.covariance, b.matched_hr_ids, b.match_margin, b.residual_rms_rad)


def test_a_datetime_and_the_tuple_are_the_same_instant(allsky):
    scene = fisheye_scene(allsky)
    local = datetime.datetime(2024, 4, 2, 1, 30, tzinfo=datetime.timezone(datetime.timedelta(hours=3, minutes=30)))
    a = solve_fish(allsky, as_centroids(scene), scene.up_cam)
    b = stelvane.resolve_from_centroids(as_centroids(scene), up_cam=scene.up_cam, utc=local, catalog=allsky, **FISH)
    assert (a.latitude_deg, a.longitude_deg) == (b.latitude_deg, b.longitude_deg)


# ---- accuracy under noise ---------------------------------------------------------------------------------

# The altitude of a star is measured along the image radius of the zenith fisheye, whose radial scale is
# uniform, so centroid noise of p arcminutes per axis is altitude noise of exactly p arcminutes. With
# sigma_arcmin = p the fix's covariance is then the true covariance of its error, and the squared
# Mahalanobis distance of the truth follows chi-square with 2 degrees of freedom: P(d2 <= 1) = 1 - e^-0.5
# = 0.393 (1-sigma ellipse), P(d2 <= 4) = 1 - e^-2 = 0.865 (2-sigma ellipse). Over 40 independent seeds the
# binomial spreads are 0.077 and 0.054; the bounds below sit about 2.5 spreads out. A fix that fails to
# solve counts as a miss.
def test_fisheye_covariance_matches_the_centroid_noise(allsky):
    d2 = []
    for seed in seeds(40):
        scene = fisheye_scene(allsky, pixel=3.0, seed=seed)
        try:
            d2.append(mahalanobis_sq(solve_fish(allsky, as_centroids(scene), scene.up_cam, sigma_arcmin=3.0)))
        except stelvane.StelvaneError:
            d2.append(math.inf)
    d2 = np.array(d2)
    assert np.isfinite(d2).sum() >= 38
    assert 0.20 <= np.mean(d2 <= 1.0) <= 0.60
    assert np.mean(d2 <= 4.0) >= 0.75


# The pinhole's angular pixel shrinks off axis (by cos^2 of the field angle, 0.65 in the corners of this
# frame), so p arcminutes of noise in boresight pixels is at most p arcminutes of altitude: the 2-sigma
# ellipse computed with sigma = p is conservative and must hold the truth at least at the 0.865 rate.
def test_pinhole_two_sigma_ellipse_holds_the_truth(pinhole):
    hits = 0
    for seed in seeds(30):
        scene = pinhole_scene(pinhole, pixel=1.0, seed=seed)
        try:
            fix = stelvane.resolve_from_centroids(as_centroids(scene), up_cam=scene.up_cam, utc=NIGHT,
                                                  catalog=pinhole, sigma_arcmin=1.0, **PIN)
        except stelvane.StelvaneError:
            continue
        hits += mahalanobis_sq(fix) <= 4.0
    assert hits >= 0.75 * 30


# A tilt of the up vector by theta tilts the measured zenith by theta: every altitude moves by
# theta cos(az - az_tilt) and the fix moves theta of arc (theta arcminutes = theta nautical miles) while the
# residual stays near zero. The tilt is read back from the scene's noisy up vector against the true (0, 0, 1).
@pytest.mark.parametrize("seed", seeds(6))
def test_up_vector_noise_moves_the_fix_by_the_tilt(allsky, seed):
    scene = fisheye_scene(allsky, up=10.0, seed=seed)
    tilt_nm = math.acos(min(1.0, scene.up_cam[2])) * NM_PER_RAD
    fix = solve_fish(allsky, as_centroids(scene), scene.up_cam)
    assert error_nm(fix) == pytest.approx(tilt_nm, rel=0.01, abs=0.05)


# All three knobs on the image road. The up tilt is removed by moving the truth to the place whose
# zenith the noisy up vector points at (looking up with roll 0, camera +x is West and +y South); what is
# left is centroid error: the rendered jitter p plus the detector's own budget of 0.1 px (quantised PSF
# samples and 300 counts of sensor noise on stars of 10^4 counts peak give a few hundredths of a pixel),
# 1.05 arcminutes at 10.5 arcminutes per pixel. With sigma = hypot(p, 1.05) the 2-sigma ellipse must hold
# the shifted truth at about the 0.865 rate.
def test_image_road_with_every_noise_knob(allsky):
    p, budget = 3.0, 0.1 * (1 / FISH_FOCAL) / ARCMIN
    hits = 0
    for seed in seeds(16):
        scene = fisheye_scene(allsky, pixel=p, up=10.0, background=300.0, seed=seed)
        ux, uy, uz = scene.up_cam
        east, north = -ux, -uy
        lat, lon = destination(LAT, LON, math.atan2(east, north), math.acos(min(1.0, uz)))
        try:
            fix = stelvane.resolve_fix(scene.pixels, up_cam=scene.up_cam, utc=NIGHT, catalog=allsky,
                                       sigma_arcmin=math.hypot(p, budget), **FISH)
        except stelvane.StelvaneError:
            continue
        hits += mahalanobis_sq(fix, lat, lon) <= 4.0
    assert hits >= 12


# ---- the covariance, its ellipse and sigma ----------------------------------------------------------------

def test_fix_attribute_types_and_the_ellipse_of_the_covariance(allsky):
    scene = fisheye_scene(allsky)
    fix = solve_fish(allsky, as_centroids(scene), scene.up_cam)
    cov = fix.covariance
    assert type(cov) is list and len(cov) == 2
    assert all(type(row) is list and len(row) == 2 and all(type(v) is float for v in row) for row in cov)
    assert cov[0][1] == cov[1][0] and cov[0][0] > 0 and cov[1][1] > 0
    e = fix.ellipse_2sigma_nm
    assert type(e) is tuple and len(e) == 3 and all(type(v) is float for v in e)
    vn, c, ve = cov[0][0], cov[0][1], cov[1][1]
    lo, hi = np.linalg.eigvalsh(np.array(cov))
    assert e[0] == pytest.approx(2 * math.sqrt(hi) * NM_PER_RAD, rel=1e-9)
    assert e[1] == pytest.approx(2 * math.sqrt(lo) * NM_PER_RAD, rel=1e-9)
    assert e[2] == pytest.approx(math.degrees(0.5 * math.atan2(2 * c, vn - ve)), abs=1e-9)
    assert -90 < e[2] <= 90
    for name, kind in [("latitude_deg", float), ("longitude_deg", float), ("matched_hr_ids", list),
                       ("n_iterations", int), ("used_sun", bool), ("residual_rms_rad", float),
                       ("match_margin", int)]:
        assert type(getattr(fix, name)) is kind, name
    assert all(type(h) is int for h in fix.matched_hr_ids)
    assert fix.covariance is not fix.covariance  # a fresh object per read
    fix.covariance[0][0] = 99.0
    assert fix.covariance[0][0] == vn


def test_sigma_scales_the_covariance_and_defaults_to_half_a_pixel(allsky, pinhole):
    scene = fisheye_scene(allsky)
    one = solve_fish(allsky, as_centroids(scene), scene.up_cam, sigma_arcmin=1.0)
    two = solve_fish(allsky, as_centroids(scene), scene.up_cam, sigma_arcmin=2.0)
    default = solve_fish(allsky, as_centroids(scene), scene.up_cam)
    assert (two.latitude_deg, two.longitude_deg) == pytest.approx((one.latitude_deg, one.longitude_deg), abs=1e-12)
    assert np.array(two.covariance) == pytest.approx(4 * np.array(one.covariance), rel=1e-9)
    half_pixel = 0.5 * (1 / FISH_FOCAL) / ARCMIN  # 5.27 arcminutes: above the 1-arcminute floor
    assert np.array(default.covariance) == pytest.approx(half_pixel**2 * np.array(one.covariance), rel=1e-9)
    # A pinhole whose half pixel is below one arcminute takes the floor of 1.0.
    long_lens = stelvane.synthesize_scene(pinhole, LAT, LON, NIGHT_JD, 0.0, 1920, 1080, 4000.0, 7.0, 0, 0, 0, 1)
    kw = dict(up_cam=long_lens.up_cam, utc=NIGHT, catalog=pinhole, focal_px=4000.0, cx=960.0, cy=540.0)
    floor = stelvane.resolve_from_centroids(as_centroids(long_lens), **kw)
    unit = stelvane.resolve_from_centroids(as_centroids(long_lens), sigma_arcmin=1.0, **kw)
    assert floor.covariance == unit.covariance


def test_zero_sigma_makes_the_geometry_singular(allsky):
    scene = fisheye_scene(allsky)
    with pytest.raises(stelvane.StelvaneError, match=r"^observation geometry is singular$"):
        solve_fish(allsky, as_centroids(scene), scene.up_cam, sigma_arcmin=0.0)


# ---- the up vector and the order of checks ----------------------------------------------------------------

UP_DEGENERATE = "up vector is degenerate: zero length or non-finite"


@pytest.mark.parametrize("up", [(0, 0, 0), (math.nan, 0, 1), (0, math.inf, 1), (0, 0, 1e-10), (1e200, 1e200, 1e200)])
@pytest.mark.parametrize("road", ["image", "centroids"])
def test_degenerate_up_is_refused(allsky, up, road):
    scene = fisheye_scene(allsky)
    with pytest.raises(stelvane.StelvaneError) as e:
        if road == "image":
            stelvane.resolve_fix(scene.pixels, up_cam=up, utc=NIGHT, catalog=allsky, **FISH)
        else:
            solve_fish(allsky, as_centroids(scene), up)
    assert str(e.value) == UP_DEGENERATE


def test_the_shortest_accepted_up_vector_is_only_a_direction(allsky):
    scene = fisheye_scene(allsky)
    tiny = solve_fish(allsky, as_centroids(scene), (0.0, 0.0, 1e-9))
    unit = solve_fish(allsky, as_centroids(scene), (0.0, 0.0, 1.0))
    assert (tiny.latitude_deg, tiny.longitude_deg) == pytest.approx((unit.latitude_deg, unit.longitude_deg),
                                                                     abs=1e-12)


def test_a_bad_mask_is_reported_before_a_degenerate_up(allsky):
    scene = fisheye_scene(allsky)
    with pytest.raises(stelvane.StelvaneError) as e:
        stelvane.resolve_fix(scene.pixels, up_cam=(0, 0, 0), utc=NIGHT, catalog=allsky,
                             mask=np.zeros((3, 4), bool), **FISH)
    assert str(e.value) == "bad image: mask 4x3 (12 flags) does not match the 1024x1024 frame"


@pytest.mark.parametrize("count, got", [(3, 3), (0, 0)])
@pytest.mark.parametrize("road", ["image", "centroids"])
def test_too_few_centroids(allsky, count, got, road):
    scene = fisheye_scene(allsky)
    with pytest.raises(stelvane.StelvaneError) as e:
        if road == "image":
            stelvane.resolve_fix(scene.pixels, up_cam=scene.up_cam, utc=NIGHT, catalog=allsky,
                                 max_centroids=count, **FISH)
        else:
            solve_fish(allsky, as_centroids(scene), scene.up_cam, max_centroids=count)
    assert str(e.value) == f"insufficient stars: needed 4, got {got}"


def test_three_centroids_are_too_few_whatever_the_limit(allsky):
    scene = fisheye_scene(allsky)
    with pytest.raises(stelvane.StelvaneError, match=r"^insufficient stars: needed 4, got 3$"):
        solve_fish(allsky, as_centroids(scene)[:3], scene.up_cam, max_centroids=50)


def test_a_sky_with_no_stars_finds_no_match(allsky):
    blank = np.full((1024, 1024), 1024, np.uint16)
    # Four points that form no catalog triangle at any tolerance worth the name.
    with pytest.raises(stelvane.StelvaneError) as e:
        stelvane.resolve_from_centroids([(500, 500, 4), (501, 500, 3), (500, 501, 2), (501, 501, 1)],
                                        up_cam=(0, 0, 1), utc=NIGHT, catalog=allsky, **FISH)
    assert str(e.value) == "no star pattern match found"
    with pytest.raises(stelvane.StelvaneError, match=r"^insufficient stars: needed 4, got 0$"):
        stelvane.resolve_fix(blank, up_cam=(0, 0, 1), utc=NIGHT, catalog=allsky, **FISH)


# ---- which stars enter the fit ----------------------------------------------------------------------------

def rotate_toward(v, target, angle):
    """v (unit) turned by `angle` radians in the plane of v and target, toward target."""
    v, target = np.asarray(v, float), np.asarray(target, float)
    axis = np.cross(v, target)
    axis /= np.linalg.norm(axis)
    return v * math.cos(angle) + np.cross(axis, v) * math.sin(angle) + axis * (axis @ v) * (1 - math.cos(angle))


def fish_direction(x, y, size=1024):
    dx, dy = x - size / 2, y - size / 2
    theta = math.hypot(dx, dy) / FISH_FOCAL
    phi = math.atan2(dy, dx)
    return np.array([math.sin(theta) * math.cos(phi), math.sin(theta) * math.sin(phi), math.cos(theta)])


@pytest.mark.parametrize("measured_deg, enters", [(14.9, False), (15.1, True)])
def test_stars_below_fifteen_degrees_leave_the_fit(allsky, measured_deg, enters):
    scene = fisheye_scene(allsky)
    cents = as_centroids(scene)
    dirs = [fish_direction(x, y) for x, y, _ in cents[:12]]
    alts = [fish_altitude_deg(x, y) for x, y, _ in cents[:12]]
    # The lowest of the twelve brightest that still stands above 15 deg; tilt the up vector away from it
    # until its measured altitude is `measured_deg`.
    k = min((i for i in range(12) if alts[i] >= 15.0), key=lambda i: alts[i])
    up = rotate_toward((0.0, 0.0, 1.0), dirs[k], math.radians(measured_deg - alts[k]))
    fix = solve_fish(allsky, cents, tuple(up))
    measured = [90 - math.degrees(math.acos(np.clip(d @ up, -1, 1))) for d in dirs]
    # Every one of the twelve is identified without noise; those measured at 15 deg or more enter, in order.
    assert fix.matched_hr_ids == [scene.rendered_hr_ids[i] for i in range(12) if measured[i] >= 15.0]
    assert (scene.rendered_hr_ids[k] in fix.matched_hr_ids) is enters


# ---- the Sun ----------------------------------------------------------------------------------------------

def paint_disc(image, cx, cy, radius=12.0):
    """A saturated disc; returns its pixel count and the mean of its pixel coordinates (x, y)."""
    ys, xs = np.mgrid[0:image.shape[0], 0:image.shape[1]]
    inside = (xs - cx) ** 2 + (ys - cy) ** 2 <= radius**2
    image[inside] = 65535
    return int(inside.sum()), (float(xs[inside].mean()), float(ys[inside].mean()))


def sun_pixel(utc, lat=LAT, lon=LON):
    """Where the zenith fisheye sees the apparent Sun: (x, y, apparent altitude in degrees)."""
    jd = 2440587.5 + datetime.datetime(*utc, tzinfo=datetime.timezone.utc).timestamp() / 86400
    ra, dec = stelvane.sun_apparent_jd(jd)
    h = math.radians(stelvane.gmst_deg(jd) + lon) - ra
    p = math.radians(lat)
    alt = math.asin(math.sin(p) * math.sin(dec) + math.cos(p) * math.cos(dec) * math.cos(h))
    az = math.atan2(-math.cos(dec) * math.sin(h), math.cos(p) * math.sin(dec) - math.sin(p) * math.cos(dec) * math.cos(h))
    a = math.degrees(alt)
    apparent = a + max(1 / math.tan(math.radians(a + 7.31 / (a + 4.4))), 0) / 60  # Bennett, arcmin -> deg
    theta = math.radians(90 - apparent)
    east, north = math.sin(az), math.cos(az)  # camera +x is West, +y South
    r = FISH_FOCAL * theta
    return 512 - r * east, 512 - r * north, apparent


def test_the_sun_enters_the_fit_and_clears_its_glare(allsky):
    utc = (2024, 4, 1, 10, 0, 0)
    jd = 2440587.5 + datetime.datetime(*utc, tzinfo=datetime.timezone.utc).timestamp() / 86400
    scene = fisheye_scene(allsky, jd=jd)
    x, y, alt = sun_pixel(utc)
    assert alt > 30
    image = scene.pixels
    area, (sx, sy) = paint_disc(image, x, y)
    assert area >= 300 and math.hypot(sx - x, sy - y) < 0.05  # the painted disc sits where the Sun is
    fix = stelvane.resolve_fix(image, up_cam=scene.up_cam, utc=utc, catalog=allsky, use_sun=True, **FISH)
    assert fix.used_sun is True
    assert error_nm(fix) < 0.01 * 60
    near = {hr for hr, (px, py) in zip(scene.rendered_hr_ids, scene.star_pixels)
            if math.hypot(px - sx, py - sy) <= SUN_EXCLUSION_PX}
    assert not near & set(fix.matched_hr_ids)
    plain = stelvane.resolve_fix(image, up_cam=scene.up_cam, utc=utc, catalog=allsky, **FISH)
    assert plain.used_sun is False
    # The Sun weighs like (5.27 / 1)^2 = 28 stars: its fix is tighter than the stars' alone.
    assert fix.ellipse_2sigma_nm[0] < plain.ellipse_2sigma_nm[0]


def disc_centre_at(star, outward, distance, others):
    """An integer pixel near star + distance * outward whose distance from the star lies within 0.1 px of
    `distance`, clear of every other star's stamp by 20 px beyond the disc; None when there is none."""
    sx, sy = star
    bx, by = sx + distance * outward[0], sy + distance * outward[1]
    for dx in range(-8, 9):
        for dy in range(-8, 9):
            cx, cy = round(bx) + dx, round(by) + dy
            if abs(math.hypot(cx - sx, cy - sy) - distance) <= 0.1 and all(
                    math.hypot(cx - ox, cy - oy) > 20 for ox, oy in others):
                return cx, cy
    return None


@pytest.mark.parametrize("distance, kept", [(SUN_EXCLUSION_PX - 0.3, False), (SUN_EXCLUSION_PX + 0.3, True)])
def test_stars_within_the_glare_radius_are_dropped_even_with_the_sun_low(allsky, distance, kept):
    scene = fisheye_scene(allsky)
    pixels = scene.star_pixels
    alts = [fish_altitude_deg(x, y) for x, y in pixels[:12]]
    for k in (i for i in range(12) if 17.0 <= alts[i] <= 27.0):  # a bright star low in the sky
        sx, sy = pixels[k]
        outward = np.array([sx - 512, sy - 512]) / math.hypot(sx - 512, sy - 512)
        centre = disc_centre_at((sx, sy), outward, distance, [p for i, p in enumerate(pixels) if i != k])
        if centre is not None:
            break
    else:
        pytest.fail("no bright low star with room for the disc")
    cx, cy = centre
    assert fish_altitude_deg(cx, cy) < 15.0  # the Sun itself stays out of the fit
    image = scene.pixels
    count, _ = paint_disc(image, cx, cy)
    hr = scene.rendered_hr_ids[k]
    # Without use_sun the disc is a blown-out region, whose glare reaches 4 * sqrt(its pixel count).
    without = stelvane.resolve_fix(image, up_cam=scene.up_cam, utc=NIGHT, catalog=allsky, **FISH)
    assert (hr in without.matched_hr_ids) is (distance > 4 * math.sqrt(count))
    fix = stelvane.resolve_fix(image, up_cam=scene.up_cam, utc=NIGHT, catalog=allsky, use_sun=True, **FISH)
    assert fix.used_sun is False
    assert (hr in fix.matched_hr_ids) is kept


# ---- health gates -----------------------------------------------------------------------------------------

def thin_lock(reason, fix):
    return (f"thin lock: {reason} (matched {len(fix.matched_hr_ids)} stars, margin {fix.match_margin}, "
            f"residual rms {fix.residual_rms_rad:.6f} rad)")


@pytest.mark.parametrize("road", ["image", "centroids"])
def test_minimum_matched_stars_gate(allsky, road):
    scene = fisheye_scene(allsky)

    def solve(**kw):
        if road == "image":
            return stelvane.resolve_fix(scene.pixels, up_cam=scene.up_cam, utc=NIGHT, catalog=allsky, **FISH, **kw)
        return solve_fish(allsky, as_centroids(scene), scene.up_cam, **kw)

    free = solve()
    n = len(free.matched_hr_ids)
    gated = solve(min_matched_stars=n)
    assert gated.matched_hr_ids == free.matched_hr_ids
    with pytest.raises(stelvane.StelvaneError) as e:
        solve(min_matched_stars=n + 1)
    assert str(e.value) == thin_lock("fewer matched stars than the configured minimum", free)
    with pytest.raises(stelvane.StelvaneError) as e:
        solve(max_residual_rms_arcmin=0.0)
    assert str(e.value) == thin_lock("residual rms above the configured maximum", free)
    # The first gate trips first when both would.
    with pytest.raises(stelvane.StelvaneError) as e:
        solve(min_matched_stars=n + 1, max_residual_rms_arcmin=0.0)
    assert str(e.value) == thin_lock("fewer matched stars than the configured minimum", free)


def test_a_residual_equal_to_the_limit_passes(allsky):
    scene = fisheye_scene(allsky, pixel=2.0, seed=3)
    free = solve_fish(allsky, as_centroids(scene), scene.up_cam)
    rms = free.residual_rms_rad
    # An arcminute limit whose conversion (value / 60) * pi / 180 gives back exactly this residual.
    limit = rms / (math.pi / 180) * 60
    for _ in range(8):
        if (limit / 60) * (math.pi / 180) == rms:
            break
        limit = math.nextafter(limit, math.inf if (limit / 60) * (math.pi / 180) < rms else -math.inf)
    assert (limit / 60) * (math.pi / 180) == rms
    assert solve_fish(allsky, as_centroids(scene), scene.up_cam, max_residual_rms_arcmin=limit).residual_rms_rad == rms
    below = math.nextafter(limit, 0.0)
    assert (below / 60) * (math.pi / 180) < rms
    with pytest.raises(stelvane.StelvaneError, match="residual rms above the configured maximum"):
        solve_fish(allsky, as_centroids(scene), scene.up_cam, max_residual_rms_arcmin=below)


# ---- longitude at the date line ---------------------------------------------------------------------------

@pytest.mark.parametrize("lon, low, high", [(180.0, None, None), (179.95, 179.94, 180.0), (-179.95, -180.0, -179.94)])
def test_longitude_near_the_date_line(allsky, lon, low, high):
    scene = fisheye_scene(allsky, lon=lon)
    fix = solve_fish(allsky, as_centroids(scene), scene.up_cam)
    assert -180.0 < fix.longitude_deg <= 180.0
    assert error_nm(fix, LAT, lon) < 0.01 * 60
    if low is not None:
        assert low < fix.longitude_deg <= high


# ---- centroid order ---------------------------------------------------------------------------------------

def test_centroid_order_does_not_matter(allsky):
    scene = fisheye_scene(allsky, pixel=1.0, seed=5)
    cents = as_centroids(scene)
    shuffled = cents[:]
    random.Random(4).shuffle(shuffled)
    a = solve_fish(allsky, cents, scene.up_cam)
    b = solve_fish(allsky, shuffled, scene.up_cam)
    assert (a.latitude_deg, a.longitude_deg, a.covariance, a.matched_hr_ids, a.match_margin, a.residual_rms_rad) == (
        b.latitude_deg, b.longitude_deg, b.covariance, b.matched_hr_ids, b.match_margin, b.residual_rms_rad)


@pytest.mark.parametrize("star_first", [True, False])
def test_equal_fluxes_keep_their_list_order_at_the_cut(allsky, star_first):
    scene = fisheye_scene(allsky)
    cents = as_centroids(scene)[:12]
    alts = [fish_altitude_deg(x, y) for x, y, _ in cents]
    k = max(range(12), key=lambda i: alts[i])  # the highest star, surely in the fit when present
    x, y, _ = cents.pop(k)
    star, junk = (x, y, 1.0), (300.0, 700.0, 1.0)  # equal fluxes, both below the other eleven
    pair = [star, junk] if star_first else [junk, star]
    fix = solve_fish(allsky, cents + pair, scene.up_cam)  # twelve are kept: the first of the pair
    assert (scene.rendered_hr_ids[k] in fix.matched_hr_ids) is star_first


@pytest.mark.parametrize("flux, kept", [(math.nan, True), (math.inf, True), (-math.inf, False),
                                         (-math.nan, False), (-0.0, False)])
def test_fluxes_rank_in_ieee_total_order(allsky, flux, kept):
    # A positive NaN ranks above every number and a negative NaN below every number: the star given
    # `flux` survives the cut to eleven only when it ranks above the other eleven (fluxes 989..999).
    assert math.copysign(1.0, -math.nan) == -1.0
    scene = fisheye_scene(allsky)
    cents = as_centroids(scene)[:12]
    k = max(range(12), key=lambda i: fish_altitude_deg(*cents[i][:2]))
    x, y, _ = cents.pop(k)
    fix = solve_fish(allsky, [(x, y, flux)] + cents, scene.up_cam, max_centroids=11)
    assert (scene.rendered_hr_ids[k] in fix.matched_hr_ids) is kept


# ---- the centroid road's camera ---------------------------------------------------------------------------

def test_centroid_road_derives_the_ideal_fisheye_extent_from_the_centre(allsky):
    # A 640 x 480 frame: the derived extent is 640 x 480 and the focal 240 / (pi / 2).
    scene = stelvane.synthesize_scene(allsky, LAT, LON, NIGHT_JD, 0.0, 640, 480, None, 6.0, 0, 0, 0, 1,
                                      fisheye_fov_deg=180.0)
    cents = as_centroids(scene)
    kw = dict(up_cam=scene.up_cam, utc=NIGHT, catalog=allsky)
    ideal = stelvane.resolve_from_centroids(cents, None, 320.0, 240.0, fisheye_fov_deg=180.0, **kw)
    assert error_nm(ideal) < 0.01 * 60
    # The same lens stated as a calibrated fisheye with that focal and a negligible k4 lands on the same place.
    calibrated = stelvane.resolve_from_centroids(cents, 240 / (math.pi / 2), 320.0, 240.0, fisheye_fov_deg=180.0,
                                                 k4=1e-30, **kw)
    assert (ideal.latitude_deg, ideal.longitude_deg) == pytest.approx(
        (calibrated.latitude_deg, calibrated.longitude_deg), abs=1e-9)


# ---- the Python surface -----------------------------------------------------------------------------------

@pytest.mark.parametrize("fn, text", [
    (stelvane.resolve_fix, "(image, focal_px, cx, cy, up_cam, utc, catalog, sigma_arcmin=None, fisheye_fov_deg=None, "
     "k1=0.0, k2=0.0, k3=0.0, k4=0.0, use_sun=False, max_centroids=None, min_matched_stars=None, "
     "max_residual_rms_arcmin=None, mask=None)"),
    (stelvane.resolve_from_centroids, "(centroids, focal_px, cx, cy, up_cam, utc, catalog, sigma_arcmin=None, "
     "fisheye_fov_deg=None, k1=0.0, k2=0.0, k3=0.0, k4=0.0, max_centroids=None, min_matched_stars=None, "
     "max_residual_rms_arcmin=None)"),
])
def test_text_signatures(fn, text):
    assert str(inspect.signature(fn)) == text
    assert fn.__text_signature__ == text


@pytest.mark.parametrize("phrase", [
    "r_px = focal_px * (theta + k1*theta^3 + k2*theta^5 + k3*theta^7 + k4*theta^9)",
    "focal_px=None", "naive", "Camera.default_sigma_arcmin", "mask=None",
])
def test_resolve_fix_docstring(phrase):
    assert phrase in stelvane.resolve_fix.__doc__


def test_fix_class_surface():
    fix_cls = stelvane.Fix
    assert fix_cls.__doc__ == "Result of a resolved celestial fix."
    assert fix_cls.__module__ == "stelvane"
    names = [n for n in vars(fix_cls) if not n.startswith("_")]
    assert names[:9] == [
        "latitude_deg", "longitude_deg", "covariance", "ellipse_2sigma_nm", "matched_hr_ids", "n_iterations",
        "used_sun", "residual_rms_rad", "match_margin"]
    # Later additions follow the first nine: the observation geometry an error budget reads, then
    # the lens check.
    assert names[9:] == ["sights", "up_cam", "jd", "arcmin_per_pixel", "bodies_seen",
                         "plate_scale_ratio", "plate_scale_ratio_sigma"]
    assert fix_cls.covariance.__doc__ == "[[var_north, cov_ne], [cov_ne, var_east]] in radians squared."
    assert fix_cls.ellipse_2sigma_nm.__doc__ == "(semi_major_nm, semi_minor_nm, orientation_deg)."
    assert fix_cls.residual_rms_rad.__doc__ == "RMS, in radians, of the converged per-observation altitude residuals."
    assert "strongest distinct rival" in fix_cls.match_margin.__doc__
    assert not fix_cls.latitude_deg.__doc__
    with pytest.raises(TypeError):
        fix_cls()
    with pytest.raises(TypeError):
        fix_cls.__new__(fix_cls)


def test_fix_attributes_are_read_only(allsky):
    scene = fisheye_scene(allsky)
    fix = solve_fish(allsky, as_centroids(scene), scene.up_cam)
    with pytest.raises(AttributeError):
        fix.latitude_deg = 0.0


# Each later argument is broken as well: the first rule in the order wins.
PINHOLE_NEEDS_FOCAL = ("focal_px is required for the pinhole camera (fisheye_fov_deg=None); focal_px=None is only "
                       "meaningful for the ideal equidistant fisheye")
NAIVE_UTC = ("utc is a naive datetime, which fixes no instant in time: attach the tzinfo the timestamp was recorded "
             "in (datetime.timezone.utc when it is already UTC)")


@pytest.mark.parametrize("focal_px, image, utc, mask, message", [
    (None, np.zeros((8, 8), np.float32), datetime.datetime(2024, 1, 1), np.zeros((8, 8), np.uint8),
     PINHOLE_NEEDS_FOCAL),
    (900.0, np.zeros((8, 8), np.float32), datetime.datetime(2024, 1, 1), np.zeros((8, 8), np.uint8),
     "image must be a 2-D uint8 or uint16 numpy array"),
    (900.0, np.zeros((8, 8), np.uint16), datetime.datetime(2024, 1, 1), np.zeros((8, 8), np.uint8), NAIVE_UTC),
    (900.0, np.zeros((8, 8), np.uint16), NIGHT, np.zeros((8, 8), np.uint8), "mask must be a 2-D bool numpy array"),
])
def test_conversion_order_of_the_image_road(allsky, focal_px, image, utc, mask, message):
    with pytest.raises(stelvane.StelvaneError) as e:
        stelvane.resolve_fix(image, focal_px, 4.0, 4.0, (0, 0, 0), utc, allsky, mask=mask)
    assert str(e.value) == message


def test_conversion_order_of_the_centroid_road(allsky):
    with pytest.raises(stelvane.StelvaneError) as e:
        stelvane.resolve_from_centroids([], None, 4.0, 4.0, (0, 0, 0), datetime.datetime(2024, 1, 1), allsky)
    assert str(e.value) == PINHOLE_NEEDS_FOCAL
    with pytest.raises(stelvane.StelvaneError) as e:
        stelvane.resolve_from_centroids([], 900.0, 4.0, 4.0, (0, 0, 0), datetime.datetime(2024, 1, 1), allsky)
    assert str(e.value) == NAIVE_UTC
    # Only the engine looks at the up vector, after the list of centroids.
    with pytest.raises(stelvane.StelvaneError) as e:
        stelvane.resolve_from_centroids([], 900.0, 4.0, 4.0, (0, 0, 0), NIGHT, allsky)
    assert str(e.value) == UP_DEGENERATE


def test_the_focal_rule_on_the_image_road(allsky):
    image = np.zeros((8, 8), np.uint16)
    with pytest.raises(stelvane.StelvaneError, match=r"^focal_px is ignored for the ideal equidistant fisheye"):
        stelvane.resolve_fix(image, 500.0, 4.0, 4.0, (0, 0, 1), NIGHT, allsky, fisheye_fov_deg=180.0)
    with pytest.raises(stelvane.StelvaneError, match=r"^focal_px is required for a calibrated fisheye"):
        stelvane.resolve_fix(image, None, 4.0, 4.0, (0, 0, 1), NIGHT, allsky, fisheye_fov_deg=180.0, k4=1e-6)


@pytest.mark.parametrize("fn, first", [(stelvane.resolve_fix, np.zeros((8, 8), np.uint16)),
                                       (stelvane.resolve_from_centroids, [])])
def test_catalog_must_be_a_catalog(fn, first):
    with pytest.raises(TypeError) as e:
        fn(first, 900.0, 4.0, 4.0, (0, 0, 1), NIGHT, "allsky")
    assert str(e.value) == "argument 'catalog': 'str' object is not a stelvane.Catalog"


@pytest.mark.parametrize("centroids, message", [
    ([(1.0, 2.0, 3.0), (1.0, 2.0)], "argument 'centroids': centroid 1 must be an (x, y, flux) triple, got 2 values"),
    ([(1.0, 2.0, 3.0, 4.0)], "argument 'centroids': centroid 0 must be an (x, y, flux) triple, got 4 values"),
])
def test_centroid_triples_of_the_wrong_length(allsky, centroids, message):
    with pytest.raises(TypeError) as e:
        stelvane.resolve_from_centroids(centroids, 900.0, 4.0, 4.0, (0, 0, 1), NIGHT, allsky)
    assert str(e.value) == message


@pytest.mark.parametrize("centroids", ["xyz", 5, [(1.0, "a", 2.0)]])
def test_centroids_that_are_not_number_triples(allsky, centroids):
    with pytest.raises(TypeError, match=r"^argument 'centroids': "):
        stelvane.resolve_from_centroids(centroids, 900.0, 4.0, 4.0, (0, 0, 1), NIGHT, allsky)


def test_a_numpy_array_of_centroids_is_the_same_list(allsky):
    scene = fisheye_scene(allsky)
    cents = as_centroids(scene)
    a = solve_fish(allsky, cents, scene.up_cam)
    b = solve_fish(allsky, np.array(cents), scene.up_cam)
    assert (a.latitude_deg, a.longitude_deg, a.matched_hr_ids) == (b.latitude_deg, b.longitude_deg, b.matched_hr_ids)


@pytest.mark.parametrize("kw, error, message", [
    (dict(max_centroids=-1), OverflowError, "can't convert negative int to unsigned"),
    (dict(min_matched_stars=-2), OverflowError, "can't convert negative int to unsigned"),
    (dict(max_centroids=1.5), TypeError, "argument 'max_centroids': 'float' object cannot be interpreted as an integer"),
    (dict(up_cam=(0, 1)), ValueError, "expected a sequence of length 3 (got 2)"),
    (dict(up_cam="xyz"), TypeError, "argument 'up_cam': expected a sequence, not str"),
    (dict(up_cam=(0, 1, "z")), TypeError, "argument 'up_cam': must be real number, not str"),
    (dict(use_sun=True), TypeError, "resolve_from_centroids() got an unexpected keyword argument 'use_sun'"),
])
def test_argument_conversion_errors_of_the_centroid_road(allsky, kw, error, message):
    args = dict(centroids=[], focal_px=900.0, cx=4.0, cy=4.0, up_cam=(0, 0, 1), utc=NIGHT, catalog=allsky) | kw
    with pytest.raises(error) as e:
        stelvane.resolve_from_centroids(**args)
    assert str(e.value) == message


def test_use_sun_must_be_a_bool(allsky):
    with pytest.raises(TypeError) as e:
        stelvane.resolve_fix(np.zeros((8, 8), np.uint16), 900.0, 4.0, 4.0, (0, 0, 1), NIGHT, allsky, use_sun=1)
    assert str(e.value) == "argument 'use_sun': 'int' object is not a bool"


# ---- observations before the fit --------------------------------------------------------------------------

def up_leaving(dirs, count, rng_seed=11):
    """A unit up vector under which exactly `count` of the directions stand at 15.5 deg or more and none
    within half a degree of 15 deg (so refraction and rounding cannot move one across)."""
    rng = np.random.default_rng(rng_seed)
    for _ in range(20000):
        up = rng.normal(size=3)
        up /= np.linalg.norm(up)
        alts = [90 - math.degrees(math.acos(np.clip(d @ up, -1, 1))) for d in dirs]
        if sum(a >= 15.5 for a in alts) == count and not any(14.5 < a < 15.5 for a in alts):
            return up, alts
    pytest.fail(f"no up vector leaves {count} stars")


@pytest.mark.parametrize("count", [0, 1, 2])
def test_fewer_than_three_observations(allsky, count):
    scene = fisheye_scene(allsky)
    cents = as_centroids(scene)
    up, _ = up_leaving([fish_direction(x, y) for x, y, _ in cents[:12]], count)
    with pytest.raises(stelvane.StelvaneError) as e:
        solve_fish(allsky, cents, tuple(up))
    assert str(e.value) == f"insufficient stars: needed 3, got {count}"


def test_the_sun_makes_two_stars_enough(allsky):
    scene = fisheye_scene(allsky)
    pixels = scene.star_pixels
    dirs = [fish_direction(x, y) for x, y in pixels[:12]]
    up, alts = up_leaving(dirs, 2)
    # A disc high under this up vector and clear of every drawn star by more than the glare radius.
    best = None
    for gy in range(40, 1000, 8):
        for gx in range(40, 1000, 8):
            if fish_altitude_deg(gx, gy) < 1 or min(math.hypot(gx - x, gy - y) for x, y in pixels) < 80:
                continue
            h = 90 - math.degrees(math.acos(np.clip(fish_direction(gx, gy) @ up, -1, 1)))
            if best is None or h > best[0]:
                best = (h, gx, gy)
    assert best is not None and best[0] >= 20
    image = scene.pixels
    paint_disc(image, best[1], best[2])
    kw = dict(up_cam=tuple(up), utc=NIGHT, catalog=allsky, **FISH)
    with pytest.raises(stelvane.StelvaneError, match=r"^insufficient stars: needed 3, got 2$"):
        stelvane.resolve_fix(image, **kw)
    fix = stelvane.resolve_fix(image, use_sun=True, **kw)
    assert fix.used_sun is True
    assert len(fix.matched_hr_ids) == 2
    assert fix.matched_hr_ids == [scene.rendered_hr_ids[i] for i in range(12) if alts[i] >= 15.0]
    # The Sun never counts toward the minimum of matched stars.
    with pytest.raises(stelvane.StelvaneError, match=r"^thin lock: fewer matched stars than the configured minimum "
                                                     r"\(matched 2 stars, "):
        stelvane.resolve_fix(image, use_sun=True, min_matched_stars=3, **kw)


# ---- image intake on the solve ----------------------------------------------------------------------------

def test_an_eight_bit_frame_solves_like_its_sixteen_bit_widening(allsky):
    scene = stelvane.synthesize_scene(allsky, LAT, LON, NIGHT_JD, 0.0, 1024, 1024, None, 6.0, 0, 0, 0, 1,
                                      fisheye_fov_deg=180.0, bit_depth=8)
    wide = scene.pixels
    assert not (wide % 257).any()
    narrow = (wide // 257).astype(np.uint8)
    a = stelvane.resolve_fix(wide, up_cam=scene.up_cam, utc=NIGHT, catalog=allsky, **FISH)
    b = stelvane.resolve_fix(narrow, up_cam=scene.up_cam, utc=NIGHT, catalog=allsky, **FISH)
    assert (a.latitude_deg, a.longitude_deg, a.matched_hr_ids) == (b.latitude_deg, b.longitude_deg, b.matched_hr_ids)
    assert error_nm(a) < 0.01 * 60


def test_a_mask_hides_a_star_from_the_fit(allsky):
    scene = fisheye_scene(allsky)
    kw = dict(up_cam=scene.up_cam, utc=NIGHT, catalog=allsky, **FISH)
    plain = stelvane.resolve_fix(scene.pixels, **kw)
    clear = stelvane.resolve_fix(scene.pixels, mask=np.zeros((1024, 1024), bool), **kw)
    assert (clear.latitude_deg, clear.longitude_deg, clear.matched_hr_ids) == (
        plain.latitude_deg, plain.longitude_deg, plain.matched_hr_ids)
    hr = plain.matched_hr_ids[0]
    x, y = scene.star_pixels[scene.rendered_hr_ids.index(hr)]
    mask = np.zeros((1024, 1024), bool)
    mask[round(y) - 10:round(y) + 11, round(x) - 10:round(x) + 11] = True
    hidden = stelvane.resolve_fix(scene.pixels, mask=mask, **kw)
    assert hr not in hidden.matched_hr_ids
    assert error_nm(hidden) < 0.01 * 60


# ---- what the fix must not do -----------------------------------------------------------------------------

def test_a_mirrored_sky_finds_no_match(allsky, pinhole):
    scene = fisheye_scene(allsky)
    mirrored = [(1024 - x, y, f) for x, y, f in as_centroids(scene)]
    with pytest.raises(stelvane.StelvaneError) as e:
        solve_fish(allsky, mirrored, scene.up_cam)
    assert str(e.value) == "no star pattern match found"
    narrow = pinhole_scene(pinhole)
    with pytest.raises(stelvane.StelvaneError) as e:
        stelvane.resolve_fix(np.ascontiguousarray(narrow.pixels[:, ::-1]), up_cam=narrow.up_cam, utc=NIGHT,
                             catalog=pinhole, **PIN)
    assert str(e.value) == "no star pattern match found"


@pytest.mark.parametrize("hours", [1.0, -2.5])
def test_a_wrong_clock_moves_the_fix_west_at_the_sidereal_rate(allsky, hours):
    # The sky turns 360.98564736629 deg per day of UT: a clock `hours` fast puts the fix that much west
    # (precession and aberration move by less than 0.001 deg in a few hours).
    scene = fisheye_scene(allsky)
    late = datetime.datetime(*NIGHT, tzinfo=datetime.timezone.utc) + datetime.timedelta(hours=hours)
    fix = stelvane.resolve_from_centroids(as_centroids(scene), up_cam=scene.up_cam, utc=late, catalog=allsky,
                                          **FISH)
    assert fix.latitude_deg == pytest.approx(LAT, abs=0.005)
    assert fix.longitude_deg == pytest.approx(LON - 360.98564736629 / 24 * hours, abs=0.005)


@pytest.mark.parametrize("focal, sigma", [(1000.0, 1.7188728124350185), (1500.0, 0.5 * math.atan(1 / 1500) / ARCMIN),
                                          (4000.0, 1.0)])
def test_default_sigma_of_a_pinhole(pinhole, focal, sigma):
    # Half of atan(1 / focal) in arcminutes, floored at 1: 1.7189 for 1000 px (half of 3.4377). The frame
    # stays under 60 deg across: the pinhole catalog pairs stars up to 30 deg apart only.
    scene = stelvane.synthesize_scene(pinhole, LAT, LON, NIGHT_JD, 0.0, 1200, 800, focal, 6.5, 0, 0, 0, 1)
    kw = dict(up_cam=scene.up_cam, utc=NIGHT, catalog=pinhole, focal_px=focal, cx=600.0, cy=400.0)
    default = stelvane.resolve_from_centroids(as_centroids(scene), **kw)
    given = stelvane.resolve_from_centroids(as_centroids(scene), sigma_arcmin=sigma, **kw)
    assert default.matched_hr_ids == given.matched_hr_ids
    assert np.array(default.covariance) == pytest.approx(np.array(given.covariance), rel=1e-12)
    # and the covariance does follow sigma: a tenth more sigma is a fifth more variance
    wider = stelvane.resolve_from_centroids(as_centroids(scene), sigma_arcmin=1.1 * sigma, **kw)
    assert np.array(wider.covariance) == pytest.approx(1.21 * np.array(default.covariance), rel=1e-9)


# ---- the fit's sights -------------------------------------------------------------------------------------

SIGHT_FIELDS = ["hr", "x_px", "y_px", "azimuth_deg", "altitude_deg", "sigma_arcmin", "residual_arcmin"]


def bennett_arcmin(apparent_deg):
    return max(1 / math.tan(math.radians(apparent_deg + 7.31 / (apparent_deg + 4.4))), 0.0)


# The zenith fisheye with roll 0 has camera +x to the West and +y to the South, so a pixel's azimuth is
# atan2(east, north) of its offset from the centre, and its apparent altitude 90 deg less r / f.
@pytest.mark.parametrize("road", ["centroids", "image"])
def test_sights_are_the_fits_observations_where_they_were_seen(allsky, road):
    scene = fisheye_scene(allsky)
    if road == "image":
        fix = stelvane.resolve_fix(scene.pixels, up_cam=scene.up_cam, utc=NIGHT, catalog=allsky, **FISH)
    else:
        fix = solve_fish(allsky, as_centroids(scene), scene.up_cam)
    sights = fix.sights
    assert sights.dtype.names == tuple(SIGHT_FIELDS)
    assert sights.dtype["hr"] == np.uint32 and sights.dtype["x_px"] == np.float64
    assert sights["hr"].tolist() == fix.matched_hr_ids
    drawn = dict(zip(scene.rendered_hr_ids, scene.star_pixels))
    tol_px = 1e-6 if road == "centroids" else 0.1
    for row in sights:
        x, y = drawn[int(row["hr"])]
        assert (row["x_px"], row["y_px"]) == pytest.approx((x, y), abs=tol_px)
        assert row["azimuth_deg"] == pytest.approx(math.degrees(math.atan2(-(x - 512), -(y - 512))), abs=0.02)
        apparent = fish_altitude_deg(x, y)
        assert row["altitude_deg"] == pytest.approx(apparent - bennett_arcmin(apparent) / 60, abs=0.02)
    assert sights["sigma_arcmin"] == pytest.approx(0.5 / FISH_FOCAL / ARCMIN, rel=1e-12)  # half a pixel
    rms_arcmin = fix.residual_rms_rad / ARCMIN
    assert math.sqrt(np.mean(sights["residual_arcmin"] ** 2)) == pytest.approx(rms_arcmin, rel=1e-9)
    assert fix.up_cam == pytest.approx(np.asarray(scene.up_cam) / np.linalg.norm(scene.up_cam), abs=1e-15)
    assert fix.jd == pytest.approx(NIGHT_JD, abs=1e-9)
    assert fix.arcmin_per_pixel == pytest.approx(1 / FISH_FOCAL / ARCMIN, rel=1e-12)


def test_the_sun_is_the_last_sight(allsky):
    utc = (2024, 4, 1, 10, 0, 0)
    jd = 2440587.5 + datetime.datetime(*utc, tzinfo=datetime.timezone.utc).timestamp() / 86400
    scene = fisheye_scene(allsky, jd=jd)
    x, y, _ = sun_pixel(utc)
    image = scene.pixels
    _, (sx, sy) = paint_disc(image, x, y)
    fix = stelvane.resolve_fix(image, up_cam=scene.up_cam, utc=utc, catalog=allsky, use_sun=True, **FISH)
    sun = fix.sights[-1]
    assert len(fix.sights) == len(fix.matched_hr_ids) + 1
    assert sun["hr"] == 0 and sun["sigma_arcmin"] == pytest.approx(1.0, rel=1e-12)
    assert (sun["x_px"], sun["y_px"]) == pytest.approx((sx, sy), abs=0.05)
    assert fix.sights["hr"][:-1].tolist() == fix.matched_hr_ids
