"""Which bundled catalog solves a pinhole frame of a given field: the basis of the command's default.

For pinhole lenses from a 23 to a 103 degree diagonal, renders skies at varied places and instants
(pinhole catalog, centroid noise 0.3 arcmin, no vertical error) and solves each with "allsky" and with
"pinhole"; prints how many fixes land within 3 nm of the truth and the median solve time. Prints figures only.

    python bench/bench_catalog_choice.py [skies per lens]
"""

import datetime as dt
import math
import sys
import time

import numpy as np

import stelvane
from stelvane import catalogs

LENSES = [(1920, 1080, 1200.0), (1920, 1080, 1500.0), (1920, 1080, 2200.0), (1280, 960, 4000.0),
          (4000, 3000, 2000.0)]
SOLVED_NM = 3.0


def main(skies: int) -> None:
    loaded = {name: catalogs.load(name) for name in catalogs.NAMES}
    jd0 = stelvane.julian_date(2024, 3, 20, 3, 6, 0)
    print(f"{'frame':>10} {'focal':>6} {'diagonal':>9}   " + "   ".join(f"{n + ' solved':>14} {'ms':>5}"
                                                              for n in catalogs.NAMES))
    for width, height, focal in LENSES:
        diagonal = 2 * math.degrees(math.atan(math.hypot(width / 2, height / 2) / focal))
        solved = dict.fromkeys(catalogs.NAMES, 0)
        times: dict[str, list[float]] = {n: [] for n in catalogs.NAMES}
        for k in range(skies):
            lat, lon, jd = -50 + 13 * k, -170 + 41 * k, jd0 + 0.37 * k
            scene = stelvane.synthesize_scene(loaded["pinhole"], lat, lon, jd, 0.0, width, height, focal, 6.0,
                                              0.3, 0.0, 30.0, k + 1)
            when = dt.datetime(2000, 1, 1, 12, tzinfo=dt.timezone.utc) + dt.timedelta(days=jd - 2451545.0)
            for name, catalog in loaded.items():
                t0 = time.perf_counter()
                try:
                    fix = stelvane.resolve_fix(scene.pixels, focal, width / 2, height / 2, scene.up_cam, when,
                                               catalog)
                    solved[name] += stelvane.great_circle_nm(lat, lon, fix.latitude_deg,
                                                             fix.longitude_deg) < SOLVED_NM
                except stelvane.StelvaneError:
                    pass
                times[name].append(time.perf_counter() - t0)
        cells = "   ".join(f"{f'{solved[n]} of {skies}':>14} {np.median(times[n]) * 1e3:5.0f}" for n in catalogs.NAMES)
        print(f"{f'{width}x{height}':>10} {focal:6.0f} {diagonal:8.1f}d   {cells}")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 8)
