"""Real skies: how often a frame with planets, the Moon or the flaws of an 8-bit consumer
frame still solves, whether any fix names a star that is not in the frame, and what it costs.

Sections (each prints its own table):

- pinhole: 1920x1080, focal 2200, bundled "pinhole" catalog. Most frames are pointed at a
  planet or the Moon (an observer in darkness with the body at least 25 deg up, the
  boresight within 8 deg of altitude and 15 deg of azimuth of it), so that many hold a
  planet brighter than every star; each is solved with the bodies drawn and without them.
- fisheye: the 180 deg ideal fisheye (1024x1024), bundled "allsky" catalog, random dark
  places and instants, with and without the bodies.
- flaws: the pinhole and fisheye frames above as 8-bit frames with 40 hot pixels, one or two
  trails and two bright points that no catalog holds.
- hopeless: the cost of a frame that cannot be solved (its centroids mirrored, or random
  points) against the same frame solved, from centroids and from the image.
- guard: random and mirrored centroid lists that must never give a fix.

A fix "names a star not in the frame" when a matched HR number is neither drawn nor within
1 arcmin of a drawn star (an unresolved double drawn once). Times are the faster of two runs,
on a shared machine; compare ratios, not absolute figures.

    python bench/bench_real_skies.py [--pinhole 300] [--fisheye 150] [--flaws 150] [--guard 400]
"""

import argparse
import datetime
import math
import random
import statistics
import time

import numpy as np

import stelvane
import stelvane.catalogs as cats
from stelvane import skies

PINHOLE = dict(width=1920, height=1080, focal_px=2200.0, fisheye_fov_deg=None, catalog="pinhole")
FISHEYE = dict(width=1024, height=1024, focal_px=None, fisheye_fov_deg=180.0, catalog="allsky")
JD0 = 2460000.5          # 2023-02-24
SPAN_DAYS = 1500.0
MAG_LIMIT = 6.0
DOUBLE_ARCMIN = 1.0


def utc_of(jd):
    return datetime.datetime(2000, 1, 1, 12, tzinfo=datetime.timezone.utc) + datetime.timedelta(days=jd - 2451545.0)


def unit(ra_deg, dec_deg):
    ra, dec = math.radians(ra_deg), math.radians(dec_deg)
    return [math.cos(dec) * math.cos(ra), math.cos(dec) * math.sin(ra), math.sin(dec)]


def alt_az(ra_deg, dec_deg, jd, lat, lon):
    """Altitude and azimuth (degrees) of a J2000 direction, precessed to the date; no refraction."""
    v = stelvane.precess_vector(jd, unit(ra_deg, dec_deg))
    ra, dec = math.atan2(v[1], v[0]), math.asin(v[2])
    h = math.radians(stelvane.gmst_deg(jd) + lon) - ra
    p = math.radians(lat)
    alt = math.asin(math.sin(p) * math.sin(dec) + math.cos(p) * math.cos(dec) * math.cos(h))
    az = math.atan2(-math.cos(dec) * math.sin(h), math.sin(dec) * math.cos(p) - math.cos(dec) * math.cos(h) * math.sin(p))
    return math.degrees(alt), math.degrees(az) % 360.0


def sun_altitude(jd, lat, lon):
    ra, dec = stelvane.sun_apparent_jd(jd)
    h = math.radians(stelvane.gmst_deg(jd) + lon) - ra
    p = math.radians(lat)
    return math.degrees(math.asin(math.sin(p) * math.sin(dec) + math.cos(p) * math.cos(dec) * math.cos(h)))


def dark_place(rng):
    """A random place and instant with the Sun more than 12 deg below the horizon."""
    while True:
        lat, lon = rng.uniform(-60, 60), rng.uniform(-180, 180)
        jd = JD0 + rng.uniform(0, SPAN_DAYS)
        if sun_altitude(jd, lat, lon) < -12.0:
            return lat, lon, jd


class Frame:
    """One rendered sky, drawn with and without the planets and Moon."""

    def __init__(self, catalogs, cam, lat, lon, jd, roll, seed, boresight=None, bit_depth=16):
        self.cam, self.lat, self.lon, self.jd = cam, lat, lon, jd
        self.catalog = catalogs[cam["catalog"]]
        args = (self.catalog, lat, lon, jd, roll, cam["width"], cam["height"], cam["focal_px"], MAG_LIMIT, 0.5,
                1.0, 10.0, seed, cam["fisheye_fov_deg"], 0.0, 0.0, 0.0, 0.0, bit_depth)
        self.sky = skies.synthesize_sky(*args, boresight_deg=boresight)
        self.clean = skies.synthesize_sky(*args, boresight_deg=boresight, bodies=False)

    def stars_brighter_than_all(self):
        """Names of drawn planets brighter than every drawn star (a drawn star's magnitude from the catalog)."""
        mags = {hr: m for hr, _, _, m in self.catalog.stars()}
        brightest = min((mags[h] for h in self.sky.rendered_hr_ids), default=99.0)
        return [b[0] for b in self.sky.bodies if b[0] != "Moon" and b[3] < brightest]

    def solve(self, image):
        kw = {"fisheye_fov_deg": self.cam["fisheye_fov_deg"]} if self.cam["fisheye_fov_deg"] else {}
        cx, cy = self.cam["width"] / 2, self.cam["height"] / 2
        best, result = math.inf, None
        for _ in range(2):
            t = time.perf_counter()
            try:
                result = stelvane.resolve_fix(image, self.cam["focal_px"], cx, cy, self.sky.up_cam, utc_of(self.jd),
                                              self.catalog, **kw)
            except stelvane.StelvaneError as err:
                result = err
            best = min(best, time.perf_counter() - t)
        return result, best


def star_table(catalog):
    return {hr: unit(ra, dec) for hr, ra, dec, _ in catalog.stars()}


def names_a_stranger(fix, scene, table):
    """Whether a matched star is neither drawn nor within DOUBLE_ARCMIN of a drawn one."""
    drawn = [table[h] for h in scene.rendered_hr_ids]
    limit = math.cos(math.radians(DOUBLE_ARCMIN / 60.0))
    for hr in set(fix.matched_hr_ids) - set(scene.rendered_hr_ids):
        if not any(np.dot(table[hr], d) > limit for d in drawn):
            return True
    return False


class Tally:
    def __init__(self, name):
        self.name, self.n, self.solved, self.strangers, self.errors_nm, self.times = name, 0, 0, 0, [], []
        self.failures = {}

    def add(self, result, seconds, frame, scene, table):
        self.n += 1
        self.times.append(seconds)
        if isinstance(result, stelvane.Fix):
            self.solved += 1
            self.strangers += names_a_stranger(result, scene, table)
            self.errors_nm.append(stelvane.great_circle_nm(frame.lat, frame.lon, result.latitude_deg,
                                                           result.longitude_deg))
        else:
            key = type(result).__name__
            self.failures[key] = self.failures.get(key, 0) + 1

    def row(self):
        if self.n == 0:
            return f"  {self.name:<44} no frames"
        worst = max(self.errors_nm, default=float("nan"))
        fails = ", ".join(f"{k} {v}" for k, v in sorted(self.failures.items())) or "-"
        return (f"  {self.name:<44} {self.solved:>4}/{self.n:<4} {100.0 * self.solved / self.n:6.1f} %  strangers "
                f"{self.strangers}  worst error {worst:6.2f} nm  median {1000 * statistics.median(self.times):6.1f} ms"
                f"  failures: {fails}")


def aimed_frames(catalogs, rng, count, bit_depth=16):
    """Pinhole frames pointed near a planet or the Moon standing at least 25 deg up in darkness,
    made one at a time (a frame holds two 4-MB images)."""
    made = 0
    while made < count:
        lat, lon, jd = dark_place(rng)
        places = skies.body_places(utc_of(jd), lat, lon)
        body = rng.choice(places)
        alt, az = alt_az(body.ra_deg, body.dec_deg, jd, lat, lon)
        if alt < 25.0:
            continue
        boresight = (min(max(alt + rng.uniform(-8, 8), 20.0), 85.0), az + rng.uniform(-15, 15))
        made += 1
        yield Frame(catalogs, PINHOLE, lat, lon, jd, rng.uniform(-180, 180), made, boresight, bit_depth)


def fisheye_frames(catalogs, rng, count, bit_depth=16):
    for k in range(count):
        lat, lon, jd = dark_place(rng)
        yield Frame(catalogs, FISHEYE, lat, lon, jd, rng.uniform(-180, 180), 5000 + k, None, bit_depth)


def section_bodies(title, frames, table, keep):
    """Solves every frame; returns the first `keep` frames for the hopeless section."""
    with_body, brighter, no_body, clean = (Tally("frames with a body in the field"),
                                           Tally("  of which a planet brighter than every star"),
                                           Tally("frames without a body"), Tally("the same frames drawn without bodies"))
    ratios, seen_right, kept, n = [], 0, [], 0
    for f in frames:
        n += 1
        if len(kept) < keep:
            kept.append(f)
        result, t = f.solve(f.sky.pixels)
        plain, t_clean = f.solve(f.clean.pixels)
        clean.add(plain, t_clean, f, f.clean, table)
        ratios.append(t / t_clean)
        tally = with_body if f.sky.bodies else no_body
        tally.add(result, t, f, f.sky, table)
        if f.stars_brighter_than_all():
            brighter.add(result, t, f, f.sky, table)
        if isinstance(result, stelvane.Fix) and set(result.bodies_seen) <= {b[0] for b in f.sky.bodies}:
            seen_right += 1
    print(title.format(n=n))
    for tally in (with_body, brighter, no_body, clean):
        print(tally.row())
    solved = with_body.solved + no_body.solved
    print(f"  time with bodies / without, median of per-frame ratios: {statistics.median(ratios):.2f}"
          f" (max {max(ratios):.2f});  bodies_seen within the drawn bodies in {seen_right}/{solved} fixes",
          flush=True)
    return kept


def add_flaws(image, rng, cam):
    """40 hot pixels, one or two trails, two bright unknown points; 8-bit again."""
    h, w = image.shape
    out = skies.add_hot_pixels(image, 40, seed=rng.randrange(2**31))
    for _ in range(rng.choice((1, 2))):
        x0, y0 = rng.uniform(20, w - 20), rng.uniform(20, h - 20)
        length, angle = rng.uniform(30, 300), rng.uniform(0, math.pi)
        x1 = min(max(x0 + length * math.cos(angle), 10), w - 10)
        y1 = min(max(y0 + length * math.sin(angle), 10), h - 10)
        out = skies.add_trail(out, x0, y0, x1, y1, peak=rng.uniform(4000, 30000))
    for _ in range(2):
        margin = 40 if cam is PINHOLE else 200
        out = skies.add_point(out, rng.uniform(margin, w - margin), rng.uniform(margin, h - margin),
                              peak=rng.uniform(4e4, 4e5))
    return skies.quantise(out, 8)


def section_flaws(title, frames, table, rng):
    flawed, clean = Tally("8-bit, 40 hot pixels, trails, 2 unknown points"), Tally("the same 8-bit frames, no flaws")
    ratios, n = [], 0
    for f in frames:
        n += 1
        image = add_flaws(f.sky.pixels, rng, f.cam)
        result, t = f.solve(image)
        plain, t_clean = f.solve(f.sky.pixels)
        flawed.add(result, t, f, f.sky, table)
        clean.add(plain, t_clean, f, f.sky, table)
        ratios.append(t / t_clean)
    print(title.format(n=n))
    print(flawed.row())
    print(clean.row())
    print(f"  time flawed / clean, median of per-frame ratios: {statistics.median(ratios):.2f} (max {max(ratios):.2f})",
          flush=True)


def timed(call, repeats=3):
    best = math.inf
    for _ in range(repeats):
        t = time.perf_counter()
        try:
            call()
        except stelvane.StelvaneError:
            pass
        best = min(best, time.perf_counter() - t)
    return best


def section_hopeless(frames):
    print("hopeless frames (no fix possible) against the same frame solved; median of per-frame ratios")
    for cam in (PINHOLE, FISHEYE):
        own = [f for f in frames if f.cam is cam]
        ratios = {"mirrored centroids": [], "random centroids": [], "mirrored image": []}
        solvable_ms = []
        for f in own:
            kw = {"fisheye_fov_deg": cam["fisheye_fov_deg"]} if cam["fisheye_fov_deg"] else {}
            cx, cy = cam["width"] / 2, cam["height"] / 2
            cents = stelvane.detect_centroids(f.clean.pixels, 12)
            rng = random.Random(len(cents))
            mirrored = [(2 * cx - x, y, v) for x, y, v in cents]
            scattered = [(rng.uniform(0, cam["width"]), rng.uniform(0, cam["height"]), v) for _, _, v in cents]

            def from_centroids(c):
                return lambda: stelvane.resolve_from_centroids(c, cam["focal_px"], cx, cy, f.clean.up_cam,
                                                               utc_of(f.jd), f.catalog, **kw)

            def from_image(img, up):
                return lambda: stelvane.resolve_fix(img, cam["focal_px"], cx, cy, up, utc_of(f.jd), f.catalog, **kw)
            base = timed(from_centroids(cents))
            solvable_ms.append(1000 * base)
            ratios["mirrored centroids"].append(timed(from_centroids(mirrored)) / base)
            ratios["random centroids"].append(timed(from_centroids(scattered)) / base)
            up = f.clean.up_cam
            mirror_up = (-up[0], up[1], up[2])
            ratios["mirrored image"].append(timed(from_image(np.ascontiguousarray(f.clean.pixels[:, ::-1]), mirror_up))
                                            / timed(from_image(f.clean.pixels, up)))
        label = cam["catalog"]
        print(f"  {label:<8} solvable from centroids: median {statistics.median(solvable_ms):.2f} ms")
        for name, values in ratios.items():
            print(f"  {label:<8} {name:<20} {statistics.median(values):5.2f}x  (max {max(values):.2f}x)")


def section_guard(catalogs, rng, trials):
    fixes, tried = 0, 0
    for cam in (PINHOLE, FISHEYE):
        kw = {"fisheye_fov_deg": cam["fisheye_fov_deg"]} if cam["fisheye_fov_deg"] else {}
        cx, cy = cam["width"] / 2, cam["height"] / 2
        catalog = catalogs[cam["catalog"]]
        for k in range(trials):
            lat, lon, jd = dark_place(rng)
            n = rng.choice((6, 8, 12, 20))
            if k % 2 == 0:
                cents = [(rng.uniform(0, cam["width"]), rng.uniform(0, cam["height"]), rng.uniform(1, 100))
                         for _ in range(n)]
            else:
                scene = stelvane.synthesize_scene(catalog, lat, lon, jd, rng.uniform(-180, 180), cam["width"],
                                                  cam["height"], cam["focal_px"], MAG_LIMIT, 0.5, 1.0, 10.0, k + 1,
                                                  **kw)
                cents = [(2 * cx - x, y, v) for x, y, v in stelvane.detect_centroids(scene.pixels, n)]
            tried += 1
            try:
                stelvane.resolve_from_centroids(cents, cam["focal_px"], cx, cy, (0.0, -0.5, 0.8), utc_of(jd),
                                                catalog, **kw)
                fixes += 1
            except stelvane.StelvaneError:
                pass
    print(f"guard: random and mirrored centroid lists: {fixes} fixes in {tried} lists", flush=True)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pinhole", type=int, default=300)
    parser.add_argument("--fisheye", type=int, default=150)
    parser.add_argument("--flaws", type=int, default=150)
    parser.add_argument("--hopeless", type=int, default=20)
    parser.add_argument("--guard", type=int, default=400)
    parser.add_argument("--seed", type=int, default=14)
    args = parser.parse_args(argv)
    catalogs = {"pinhole": cats.load("pinhole"), "allsky": cats.load("allsky")}
    tables = {name: star_table(c) for name, c in catalogs.items()}
    rng = random.Random(args.seed)
    started = time.perf_counter()

    kept = section_bodies("pinhole 1920x1080 f 2200, {n} frames pointed near a body",
                          aimed_frames(catalogs, rng, args.pinhole), tables["pinhole"], args.hopeless)
    kept += section_bodies("fisheye 180 deg 1024x1024, {n} frames", fisheye_frames(catalogs, rng, args.fisheye),
                           tables["allsky"], args.hopeless)
    half = args.flaws // 2
    section_flaws("pinhole, {n} 8-bit frames", aimed_frames(catalogs, rng, half, bit_depth=8), tables["pinhole"], rng)
    section_flaws("fisheye, {n} 8-bit frames", fisheye_frames(catalogs, rng, args.flaws - half, bit_depth=8),
                  tables["allsky"], rng)
    section_hopeless(kept)
    section_guard(catalogs, rng, args.guard)
    print(f"({time.perf_counter() - started:.0f} s)")


if __name__ == "__main__":
    main()
