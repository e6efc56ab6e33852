"""Records, then re-checks bit for bit, the results of ~110 varied single-image solves.

A guard for speed work on the matcher and the attitude solution: every output of
resolve_from_centroids / resolve_fix (fix values as exact float hex, matched HR
numbers, margin, iterations, error messages) must stay identical. The scenes mix
both bundled catalogs, pinhole and fisheye cameras, places, times, rolls, seeds and
noise levels, plus doctored centroid lists that fail (random points, mirrored
skies, a too-wide tolerance, too few stars) and ambiguous matches, which a
FixTracker then settles by position so that both tied lists are exercised. Narrow
fields (focal 4000 px), fisheyes of several fields and distortions, skies salted
with false detections, long centroid lists and a sweep of wide tolerances guard
the matcher's pruning where it matters most.

    python bench/check_fix_results.py record [--out FILE]   # before a change
    python bench/check_fix_results.py check [--out FILE]    # after: exit 1 on any difference
"""

import argparse
import json
import random
import sys
import time

import stelvane
import stelvane.catalogs as cats

DEFAULT_FILE = "bench/fix_results.json"

PLACES = [(51.5, -0.1), (-33.9, 151.2), (64.1, -21.9), (19.4, -99.1), (-54.8, -68.3), (35.7, 139.7), (0.5, 32.6)]
TIMES = [(2024, 3, 20, 3, 6, 0), (2023, 12, 24, 22, 0, 0), (2025, 7, 1, 1, 30, 0), (2024, 10, 5, 19, 45, 0)]

PINHOLE = dict(width=1920, height=1080, focal=2200.0, fov=None)
WIDE = dict(width=1280, height=960, focal=900.0, fov=None)
FISHEYE = dict(width=1024, height=1024, focal=None, fov=180.0)
NARROW = dict(width=1280, height=960, focal=4000.0, fov=None)
FISHEYE_120 = dict(width=1024, height=768, focal=None, fov=120.0)
DISTORTED = dict(width=1024, height=1024, focal=326.0, fov=180.0, k=(0.02, -0.01, 0.003, 0.0))


def hexed(value):
    if isinstance(value, float):
        return value.hex()
    if isinstance(value, (list, tuple)):
        return [hexed(v) for v in value]
    return value


def fix_record(fix):
    return {
        "latitude_deg": hexed(fix.latitude_deg),
        "longitude_deg": hexed(fix.longitude_deg),
        "covariance": hexed(fix.covariance),
        "ellipse_2sigma_nm": hexed(fix.ellipse_2sigma_nm),
        "matched_hr_ids": list(fix.matched_hr_ids),
        "n_iterations": fix.n_iterations,
        "used_sun": fix.used_sun,
        "residual_rms_rad": hexed(fix.residual_rms_rad),
        "match_margin": fix.match_margin,
    }


def outcome(call):
    try:
        return {"fix": fix_record(call())}
    except stelvane.StelvaneError as err:
        return {"error": str(err)}


def camera_kwargs(cam):
    kwargs = {"fisheye_fov_deg": cam["fov"]} if cam["fov"] is not None else {}
    for name, value in zip(("k1", "k2", "k3", "k4"), cam.get("k", ())):
        kwargs[name] = value
    return kwargs


def make_scenes():
    """Deterministic list of (name, catalog name, camera, scene args, centroid doctoring)."""
    rng = random.Random(20240320)
    scenes = []
    for n in range(16):
        lat, lon = PLACES[n % len(PLACES)]
        scenes.append(dict(name=f"pinhole-{n}", catalog="pinhole", cam=PINHOLE, place=(lat, lon),
                           utc=TIMES[n % len(TIMES)], roll=rng.uniform(-180, 180), mag=6.0,
                           pixel_noise=[0.0, 0.3, 1.0, 2.0][n % 4], up_noise=[0.0, 1.0, 3.0][n % 3],
                           seed=n + 1, max_centroids=[None, 12, 20, 8][n % 4], sigma=[None, None, 1.5, 4.0][n % 4],
                           doctor=None))
    for n in range(4):
        lat, lon = PLACES[(n + 2) % len(PLACES)]
        scenes.append(dict(name=f"wide-{n}", catalog="pinhole", cam=WIDE, place=(lat, lon), utc=TIMES[n],
                           roll=rng.uniform(-180, 180), mag=5.5, pixel_noise=0.5, up_noise=1.0, seed=100 + n,
                           max_centroids=None, sigma=None, doctor=None))
    for n in range(12):
        lat, lon = PLACES[(n + 3) % len(PLACES)]
        scenes.append(dict(name=f"fisheye-{n}", catalog="allsky", cam=FISHEYE, place=(lat, lon),
                           utc=TIMES[(n + 1) % len(TIMES)], roll=rng.uniform(-180, 180), mag=6.0,
                           pixel_noise=[0.0, 1.0, 3.0][n % 3], up_noise=[0.0, 2.0][n % 2], seed=200 + n,
                           max_centroids=[None, 12, 20, 6][n % 4], sigma=[None, 10.0, None, 30.0][n % 4],
                           doctor=None))
    # Doctored centroid lists: failures and ambiguities.
    doctors = ["random", "mirror", "wide_sigma", "few", "subset4", "subset5", "subset5", "subset4"]
    for n, doctor in enumerate(doctors):
        for cam, catalog in ((PINHOLE, "pinhole"), (FISHEYE, "allsky")):
            lat, lon = PLACES[n % len(PLACES)]
            scenes.append(dict(name=f"{doctor}-{catalog}-{n}", catalog=catalog, cam=cam, place=(lat, lon),
                               utc=TIMES[n % len(TIMES)], roll=rng.uniform(-180, 180), mag=6.0, pixel_noise=1.0,
                               up_noise=1.0, seed=300 + n, max_centroids=None,
                               sigma=(20.0 if catalog == "pinhole" else 60.0) if doctor == "wide_sigma" else None,
                               doctor=doctor))
    # A fisheye subset of six stars with a 30' sigma that ties two identifications.
    scenes.append(dict(name="ambiguous-allsky", catalog="allsky", cam=FISHEYE, place=PLACES[3], utc=TIMES[1],
                       roll=280.0, mag=6.0, pixel_noise=0.0, up_noise=0.0, seed=540, max_centroids=None, sigma=30.0,
                       doctor="tie"))
    scenes += extended_scenes(rng)
    return scenes


def extended_scenes(rng):
    """Narrow fields, more fisheyes, salted skies, long lists and wide tolerances."""
    scenes = []
    base = dict(pixel_noise=0.5, up_noise=1.0, doctor=None, max_centroids=None, sigma=None)
    for n in range(12):
        lat, lon = PLACES[(n + 1) % len(PLACES)]
        scenes.append(dict(base, name=f"narrow-{n}", catalog="pinhole", cam=NARROW, place=(lat, lon),
                           utc=TIMES[(n + 2) % len(TIMES)], roll=rng.uniform(-180, 180), mag=6.5,
                           pixel_noise=[0.0, 0.3, 1.0][n % 3], seed=600 + n,
                           max_centroids=[None, 12, 20, 30][n % 4], sigma=[None, None, 2.0, 1.0, 3.0, None][n % 6]))
    for n in range(8):
        lat, lon = PLACES[(n + 4) % len(PLACES)]
        scenes.append(dict(base, name=f"fisheye-more-{n}", catalog="allsky", cam=FISHEYE, place=(lat, lon),
                           utc=TIMES[n % len(TIMES)], roll=rng.uniform(-180, 180), mag=6.0, seed=700 + n,
                           max_centroids=[20, 30, None, 16][n % 4], sigma=[None, 5.0, 15.0, None][n % 4]))
    for n in range(4):
        lat, lon = PLACES[n % len(PLACES)]
        scenes.append(dict(base, name=f"fisheye120-{n}", catalog="allsky", cam=FISHEYE_120, place=(lat, lon),
                           utc=TIMES[(n + 3) % len(TIMES)], roll=rng.uniform(-180, 180), mag=6.0, seed=740 + n,
                           max_centroids=[None, 20][n % 2]))
    for n in range(4):
        lat, lon = PLACES[(n + 5) % len(PLACES)]
        scenes.append(dict(base, name=f"distorted-{n}", catalog="allsky", cam=DISTORTED, place=(lat, lon),
                           utc=TIMES[(n + 1) % len(TIMES)], roll=rng.uniform(-180, 180), mag=6.0, seed=760 + n))
    # False detections among the true ones (hot pixels, planes): brightest, faintest and mixed.
    for n, (cam, catalog) in enumerate([(PINHOLE, "pinhole"), (NARROW, "pinhole"), (FISHEYE, "allsky")] * 3):
        lat, lon = PLACES[(n + 2) % len(PLACES)]
        scenes.append(dict(base, name=f"salted-{catalog}-{cam['focal'] or 'fisheye'}-{n}", catalog=catalog, cam=cam,
                           place=(lat, lon), utc=TIMES[n % len(TIMES)], roll=rng.uniform(-180, 180),
                           mag=6.5 if cam is NARROW else 6.0, seed=800 + n,
                           max_centroids=[None, 20, 30][n // 3], doctor=f"salt{n // 3}"))
    # Doctored lists on the narrow field.
    for n, doctor in enumerate(["random", "mirror", "subset5", "few", "subset4", "random"]):
        lat, lon = PLACES[n % len(PLACES)]
        scenes.append(dict(base, name=f"{doctor}-narrow-{n}", catalog="pinhole", cam=NARROW, place=(lat, lon),
                           utc=TIMES[n % len(TIMES)], roll=rng.uniform(-180, 180), mag=6.5, seed=860 + n,
                           max_centroids=[None, 30][n % 2], doctor=doctor))
    # Wide tolerances: the chance test, long hypothesis lists and the search's worst cases.
    sweep = [("allsky", FISHEYE, s, mc) for s, mc in ((20.0, None), (25.0, 6), (40.0, 6), (40.0, None), (80.0, None),
                                                     (80.0, 30), (120.0, None))]
    sweep += [("pinhole", PINHOLE, s, mc) for s, mc in ((6.0, None), (10.0, 20))]
    sweep += [("pinhole", NARROW, s, mc) for s, mc in ((4.0, None), (8.0, 20))]
    for n, (catalog, cam, sigma, max_centroids) in enumerate(sweep):
        lat, lon = PLACES[n % len(PLACES)]
        scenes.append(dict(base, name=f"sigma{sigma:g}-{catalog}-{cam['focal'] or 'fisheye'}-{n}", catalog=catalog,
                           cam=cam, place=(lat, lon), utc=TIMES[n % len(TIMES)], roll=rng.uniform(-180, 180),
                           mag=6.5 if cam is NARROW else 6.0, seed=900 + n, max_centroids=max_centroids,
                           sigma=sigma))
    return scenes


def salted(cents, cam, rng, where):
    """cents with false detections added: bright (`where` 0), faint (1) or interleaved (2)."""
    fluxes = sorted(f for _, _, f in cents)
    if not fluxes:
        return cents
    n_false = max(3, len(cents) // 3)
    out = list(cents)
    for k in range(n_false):
        x, y = rng.uniform(0, cam["width"] - 1), rng.uniform(0, cam["height"] - 1)
        if where == 0:
            flux = fluxes[-1] * (1.5 + k)
        elif where == 1:
            flux = fluxes[0] * 0.5 / (1 + k)
        else:
            flux = fluxes[rng.randrange(len(fluxes))] * 1.0001
        out.append((x, y, flux))
    return out


def centroids_for(scene, catalogs):
    cam = scene["cam"]
    cat = catalogs[scene["catalog"]]
    jd = stelvane.julian_date(*scene["utc"])
    lat, lon = scene["place"]
    sky = stelvane.synthesize_scene(cat, lat, lon, jd, scene["roll"], cam["width"], cam["height"], cam["focal"],
                                    scene["mag"], scene["pixel_noise"], scene["up_noise"], 10.0, scene["seed"],
                                    **camera_kwargs(cam))
    cents = [tuple(c) for c in stelvane.detect_centroids(sky.pixels, 30)]
    rng = random.Random(scene["seed"])
    cx, cy = (cam["width"] - 1) / 2.0, (cam["height"] - 1) / 2.0
    doctor = scene["doctor"]
    if doctor == "random":
        cents = [(rng.uniform(0, cam["width"] - 1), rng.uniform(0, cam["height"] - 1), f) for _, _, f in cents]
    elif doctor == "mirror":
        cents = [(2 * cx - x, y, f) for x, y, f in cents]
    elif doctor == "few":
        cents = cents[:3]
    elif doctor in ("subset4", "subset5"):
        k = 4 if doctor == "subset4" else 5
        cents = rng.sample(cents, min(k, len(cents)))
    elif doctor is not None and doctor.startswith("salt"):
        cents = salted(cents, cam, rng, int(doctor[4:]))
    elif doctor == "tie":
        draw = random.Random(40)
        for k in (4, 4, 4, 5, 5, 5, 6, 6, 6):
            subset = draw.sample(cents, k)
        cents = subset
    return sky, cents


def run_scene(scene, catalogs, sky, cents):
    cam = scene["cam"]
    cat = catalogs[scene["catalog"]]
    cx, cy = (cam["width"] - 1) / 2.0, (cam["height"] - 1) / 2.0
    kwargs = dict(camera_kwargs(cam))
    if scene["max_centroids"] is not None:
        kwargs["max_centroids"] = scene["max_centroids"]
    if scene["sigma"] is not None:
        kwargs["sigma_arcmin"] = scene["sigma"]
    up = sky.up_cam
    result = {"centroids": [hexed(list(c)) for c in cents]}
    result["from_centroids"] = outcome(
        lambda: stelvane.resolve_from_centroids(cents, cam["focal"], cx, cy, up, scene["utc"], cat, **kwargs))
    if scene["doctor"] is None and scene["name"].endswith(("-0", "-1", "-5")):
        result["from_image"] = outcome(
            lambda: stelvane.resolve_fix(sky.pixels, cam["focal"], cx, cy, up, scene["utc"], cat, **kwargs))
    if "ambiguous" in result["from_centroids"].get("error", ""):
        tracker = stelvane.FixTracker(max_reference_age_s=1e9, max_disambiguation_distance_nm=20000.0)
        tracker.set_last_known_position(*scene["place"], scene["utc"])
        result["tracker"] = outcome(
            lambda: tracker.resolve_from_centroids(cents, cam["focal"], cx, cy, up, scene["utc"], cat, **kwargs))
    return result


def collect(slowest=0):
    catalogs = {"pinhole": cats.load("pinhole"), "allsky": cats.load("allsky")}
    results = {}
    seconds = {}
    for scene in make_scenes():
        sky, cents = centroids_for(scene, catalogs)
        t0 = time.perf_counter()
        results[scene["name"]] = run_scene(scene, catalogs, sky, cents)
        seconds[scene["name"]] = time.perf_counter() - t0
    for name in sorted(seconds, key=seconds.get, reverse=True)[:slowest]:
        print(f"{seconds[name]:8.3f} s  {name}")
    return results


def summary(results):
    kinds = {}
    for r in results.values():
        o = r["from_centroids"]
        key = "fix" if "fix" in o else o["error"].split(":")[0]
        kinds[key] = kinds.get(key, 0) + 1
    return ", ".join(f"{k}: {v}" for k, v in sorted(kinds.items()))


def record_or_read(mode, path, results):
    """"record": writes `results` to `path` and returns None; "check": returns what `path` holds."""
    if mode == "record":
        with open(path, "w") as fh:
            json.dump(results, fh, indent=1, sort_keys=True)
        print(f"recorded to {path}")
        return None
    with open(path) as fh:
        return json.load(fh)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("mode", choices=["record", "check"])
    parser.add_argument("--out", default=DEFAULT_FILE)
    parser.add_argument("--slowest", type=int, default=0, help="print the wall time of the N slowest scenes")
    args = parser.parse_args(argv)
    results = collect(args.slowest)
    print(f"{len(results)} scenes ({summary(results)})")
    recorded = record_or_read(args.mode, args.out, results)
    if recorded is None:
        return 0
    differing = [name for name in sorted(set(recorded) | set(results)) if recorded.get(name) != results.get(name)]
    for name in differing:
        print(f"DIFFERS: {name}\n  recorded {recorded.get(name)}\n  now      {results.get(name)}")
    print("identical" if not differing else f"{len(differing)} scenes differ")
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
