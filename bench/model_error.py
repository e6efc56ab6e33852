"""How far stelvane's low-precision astronomy moves a fix, measured against ERFA (pyerfa).

The solver models the sky without nutation, takes UTC for UT1 (|UT1 - UTC| < 0.9 s by the IERS
rule), aberrates against a low-precision Sun and removes Bennett's refraction at standard
conditions. Here the true sky is ERFA's (eraAtco13: IAU 2006/2000A, space motion, deflection,
annual and diurnal aberration, refraction for the given air): exact centroids of the catalog
stars on ideal cameras at a known attitude go to `resolve_from_centroids`, and the fix is
compared with the true position. No centroid noise and no vertical error enter, so every
nautical mile printed is the model's own.

Cases: instants drawn uniformly over 1990-2050, sites uniform over the sphere up to 70 deg of
latitude, UT1 - UTC uniform in (-0.9, 0.9) s; the allsky catalog on a 1024 px 180 deg zenith
fisheye, the pinhole catalog on a 1920x1080 pinhole (focal 2200 px) at a random boresight
40-75 deg high. Truth skies, one row each:

- astronomy: ERFA at the drawn UT1 - UTC, standard air (1010 hPa, 10 C, dry): the model error;
- astronomy, UT1 = UTC: the same with UT1 - UTC = 0, what nutation and the small terms leave;
- no nutation: ERFA's equinox chain without nutation (sky_reference.mean_places), what the
  precession, aberration and refraction models leave;
- weather: as astronomy, but the air drawn over 980-1040 hPa, -20..35 C and 0-100 % humidity,
  so Bennett at standard conditions meets a real night; and the same with UT1 - UTC = 0.

Per star it compares stelvane's rendered altitude (synthesize_scene, noise off) with ERFA's, for
every star at or above 15 deg, in arcminutes. Last it derives the constants of
python/stelvane/_model_error.py and checks how often the 2-sigma ellipse they give holds the
truth. Prints figures only.

    python bench/model_error.py [--cases N] [--seed S]     # needs pyerfa (pip install .[test])
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import erfa  # noqa: E402
import sky_reference as ref  # noqa: E402

import stelvane  # noqa: E402
import stelvane.catalogs  # noqa: E402

NM_PER_DEG = 60.0
# Earth rotation in longitude per second of UT1: 360 deg per sidereal day, in nautical miles.
NM_PER_UT1_SECOND = 360.0 * 1.00273781191135448 / 86400.0 * NM_PER_DEG
MIN_ALTITUDE_DEG = 15.0
UT1_BOUND_S = 0.9
# Probability that a 2-D Gaussian lands inside its 2-sigma ellipse: 1 - exp(-2).
TWO_SIGMA_SHARE = 1.0 - math.exp(-2.0)

SKIES = ("astronomy", "astronomy, UT1 = UTC", "no nutation", "weather", "weather, UT1 = UTC")


@dataclass
class Case:
    utc: ref.Utc
    lat_deg: float
    lon_deg: float
    ut1_minus_utc_s: float
    air: tuple[float, float, float]  # pressure hPa, temperature C, humidity 0..1


@dataclass
class Errors:
    """Fix errors (north, east, nautical miles) of one sky, and the latitude of each case."""

    north: list[float] = field(default_factory=list)
    east: list[float] = field(default_factory=list)
    lat_deg: list[float] = field(default_factory=list)
    residual_rms_arcmin: list[float] = field(default_factory=list)
    failures: list[str] = field(default_factory=list)

    def total(self) -> np.ndarray:
        return np.hypot(self.north, self.east)


def draw_case(rng: np.random.Generator) -> Case:
    with ref.quiet_erfa():
        start, end = (sum(erfa.dtf2d("UTC", y, 1, 1, 0, 0, 0.0)) for y in (1990, 2050))
        y, mo, d, fraction = erfa.d2dtf("UTC", 3, rng.uniform(start, end), 0.0)
    h, mi, s, ms = (int(v) for v in fraction)
    utc = (int(y), int(mo), int(d), h, mi, s + ms / 1000.0)
    lat = math.degrees(math.asin(rng.uniform(-1.0, 1.0) * math.sin(math.radians(70.0))))
    air = (rng.uniform(980.0, 1040.0), rng.uniform(-20.0, 35.0), rng.uniform(0.0, 1.0))
    return Case(utc, lat, rng.uniform(-180.0, 180.0), rng.uniform(-UT1_BOUND_S, UT1_BOUND_S), air)


def camera_for(catalog_name: str, rng: np.random.Generator) -> tuple[ref.IdealCamera, dict]:
    """The ideal camera of a catalog, and the lens arguments that tell the solver about it."""
    if catalog_name == "allsky":
        cam = ref.zenith_fisheye(rng.uniform(0.0, 360.0), 1024)
        return cam, dict(focal_px=None, cx=512.0, cy=512.0, fisheye_fov_deg=180.0)
    cam = ref.pinhole_camera(rng.uniform(40.0, 75.0), rng.uniform(0.0, 360.0), rng.uniform(-30.0, 30.0), 1920, 1080, 2200.0)
    return cam, dict(focal_px=2200.0, cx=960.0, cy=540.0)


def truth_sky(sky: str, stars: ref.CatalogStars, case: Case) -> tuple[np.ndarray, np.ndarray]:
    where = (stars, case.utc, case.lat_deg, case.lon_deg)
    if sky == "astronomy":
        return ref.observed_places(*where, ut1_minus_utc_s=case.ut1_minus_utc_s)
    if sky == "astronomy, UT1 = UTC":
        return ref.observed_places(*where)
    if sky == "no nutation":
        return ref.mean_places(*where)
    pressure, temperature, humidity = case.air
    ut1_minus_utc_s = case.ut1_minus_utc_s if sky == "weather" else 0.0
    return ref.observed_places(
        *where, ut1_minus_utc_s=ut1_minus_utc_s, pressure_hpa=pressure, temperature_c=temperature, humidity=humidity
    )


def fix_error_nm(fix: stelvane.Fix, case: Case) -> tuple[float, float]:
    north = (fix.latitude_deg - case.lat_deg) * NM_PER_DEG
    dlon = (fix.longitude_deg - case.lon_deg + 180.0) % 360.0 - 180.0
    return north, dlon * NM_PER_DEG * math.cos(math.radians(case.lat_deg))


def star_altitude_errors_arcmin(catalog: stelvane.Catalog, stars: ref.CatalogStars, case: Case, mag_limit: float) -> np.ndarray:
    """stelvane's rendered altitude minus ERFA's ("astronomy" sky), stars at or above 15 deg."""
    hr_ids, alt, _ = ref.rendered_places(catalog, case.utc, case.lat_deg, case.lon_deg, mag_limit)
    truth, _ = ref.observed_places(stars.take(hr_ids), case.utc, case.lat_deg, case.lon_deg, ut1_minus_utc_s=case.ut1_minus_utc_s)
    keep = truth >= MIN_ALTITUDE_DEG
    return (alt[keep] - truth[keep]) * 60.0


def run(n_cases: int, seed: int) -> None:
    rng = np.random.default_rng(seed)
    cases = [draw_case(rng) for _ in range(n_cases)]
    fixes = {sky: Errors() for sky in SKIES}
    star_errors: list[np.ndarray] = []
    per_catalog: dict[str, Errors] = {}
    t0 = time.perf_counter()
    for name, mag_limit in (("allsky", 3.5), ("pinhole", 6.0)):
        catalog = stelvane.catalogs.load(name)
        stars = ref.read_catalog(name)
        per_catalog[name] = Errors()
        for case in cases:
            camera, lens = camera_for(name, rng)
            for sky in SKIES:
                alt, az = truth_sky(sky, stars, case)
                try:
                    fix = stelvane.resolve_from_centroids(
                        ref.centroids(camera, stars, alt, az), up_cam=camera.up_cam, utc=case.utc, catalog=catalog, **lens
                    )
                except stelvane.StelvaneError as e:
                    fixes[sky].failures.append(f"{name} {case.utc}: {e}")
                    continue
                north, east = fix_error_nm(fix, case)
                for errors in (fixes[sky],) + ((per_catalog[name],) if sky == "astronomy" else ()):
                    errors.north.append(north)
                    errors.east.append(east)
                    errors.lat_deg.append(case.lat_deg)
                    errors.residual_rms_arcmin.append(math.degrees(fix.residual_rms_rad) * 60.0)
            star_errors.append(star_altitude_errors_arcmin(catalog, stars, case, mag_limit))
    elapsed = time.perf_counter() - t0
    print(f"{n_cases} instants and sites x 2 catalogs, seed {seed}, {elapsed:.1f} s\n")
    report_fixes(fixes, per_catalog)
    report_stars(np.concatenate(star_errors))
    propose(fixes)


def quantiles(values: np.ndarray) -> str:
    return f"{np.median(values):8.3f} {np.percentile(values, 95):8.3f} {np.max(values):8.3f}"


def report_fixes(fixes: dict[str, Errors], per_catalog: dict[str, Errors]) -> None:
    print("Fix error, nautical miles (distance from the true position)")
    print(f"{'truth sky':<24} {'fixes':>6} {'median':>8} {'p95':>8} {'max':>8} {'rms N':>8} {'rms E':>8} {'failed':>7}"
          "   fit residual rms, arcmin: median, p95")
    rows = [(sky, fixes[sky]) for sky in SKIES] + [(f"astronomy, {name} only", e) for name, e in per_catalog.items()]
    for label, e in rows:
        rms_n, rms_e = (float(np.sqrt(np.mean(np.square(v)))) for v in (e.north, e.east))
        residual = np.asarray(e.residual_rms_arcmin)
        print(f"{label:<24} {len(e.north):6d} {quantiles(e.total())} {rms_n:8.3f} {rms_e:8.3f} {len(e.failures):7d}"
              f"   {np.median(residual):.3f} {np.percentile(residual, 95):.3f}")
    for sky in SKIES:
        for failure in fixes[sky].failures[:3]:
            print(f"  failed ({sky}): {failure}")
    print()


def report_stars(errors_arcmin: np.ndarray) -> None:
    magnitude = np.abs(errors_arcmin)
    print("Per-star altitude error at or above 15 deg, arcminutes (stelvane's rendered sky - ERFA's, astronomy sky)")
    print(f"{'stars':>8} {'median':>8} {'p95':>8} {'max':>8} {'mean':>8} {'std':>8}")
    print(f"{len(magnitude):8d} {quantiles(magnitude)} {np.mean(errors_arcmin):8.3f} {np.std(errors_arcmin):8.3f}\n")


def floor_nm(errors: Errors) -> float:
    """Per-axis rms of the fix errors: the sigma of an isotropic position floor."""
    return float(np.sqrt((np.mean(np.square(errors.north)) + np.mean(np.square(errors.east))) / 2.0))


def propose(fixes: dict[str, Errors]) -> None:
    """The model term as a position floor (isotropic, per axis) plus UT1 - UTC as clock error."""
    ut1_sigma_s = UT1_BOUND_S / math.sqrt(3.0)  # standard deviation of a uniform (-0.9, 0.9) s
    standard, weather = floor_nm(fixes["astronomy, UT1 = UTC"]), floor_nm(fixes["weather, UT1 = UTC"])
    print("Model term of the error budget: a position floor (per axis) and UT1 - UTC as clock error")
    print(f"  floor, standard air: {standard:.4f} nm; floor, drawn air: {weather:.4f} nm"
          f" (per-axis rms of the UT1 = UTC fix errors)")
    print(f"  UT1 - UTC: {ut1_sigma_s:.4f} s (standard deviation of a uniform error within 0.9 s)")
    terms = [("standard-air floor", standard, ut1_sigma_s), ("drawn-air floor", weather, ut1_sigma_s)]
    try:
        from stelvane import _model_error as documented
    except ImportError:
        pass
    else:
        terms.append(("documented", documented.MODEL_POSITION_SIGMA_NM, documented.MODEL_UT1_SIGMA_S))
    print(f"  share of fixes whose truth lies inside the term's 2-sigma ellipse (a Gaussian: {100 * TWO_SIGMA_SHARE:.1f} %)")
    for label, floor, ut1 in terms:
        shares = ", ".join(f"{sky} sky {100 * coverage(fixes[sky], floor, ut1):.1f} %" for sky in ("astronomy", "weather"))
        print(f"    {label} ({floor:.4f} nm, {ut1:.4f} s): {shares}")


def coverage(errors: Errors, floor_nm: float, ut1_sigma_s: float) -> float:
    """Share of fixes inside the 2-sigma ellipse of the floor plus UT1 - UTC (east only)."""
    north, east = np.asarray(errors.north), np.asarray(errors.east)
    sigma_east = np.hypot(floor_nm, ut1_sigma_s * NM_PER_UT1_SECOND * np.cos(np.radians(errors.lat_deg)))
    mahalanobis_sq = (north / floor_nm) ** 2 + (east / sigma_east) ** 2
    return float(np.mean(mahalanobis_sq <= 4.0))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cases", type=int, default=200, help="instants and sites (default 200)")
    parser.add_argument("--seed", type=int, default=2024)
    args = parser.parse_args()
    run(args.cases, args.seed)


if __name__ == "__main__":
    main()
