"""How the spread of sight azimuths shapes the 2-sigma error ellipse of a fix.

    python examples/covariance_demo.py

Prints the ellipse for a few sight plans with one arcminute of altitude error
each: well-spread azimuths pin the fix down, nearly parallel lines of position
leave it loose across the sights.
"""

import stelvane

PLANS = {
    "two sights at right angles": [0, 90],
    "three sights 120 deg apart": [0, 120, 240],
    "four sights around the sky": [10, 100, 190, 280],
    "two sights 10 deg apart": [0, 10],
    "three sights in the east": [70, 90, 110],
}


def main() -> None:
    print(f"{'plan':32s} {'semi-major nm':>14s} {'semi-minor nm':>14s} {'major axis az':>14s}")
    for name, azimuths in PLANS.items():
        a, b, orientation = stelvane.covariance_ellipse(azimuths, 1.0)
        print(f"{name:32s} {a:14.2f} {b:14.2f} {orientation:13.1f}d")
    try:
        stelvane.covariance_ellipse([45, 225], 1.0)
    except stelvane.StelvaneError as err:
        print(f"{'two opposite sights':32s} {err}")


if __name__ == "__main__":
    main()
