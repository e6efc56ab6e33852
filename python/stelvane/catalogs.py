"""The star catalogs shipped with stelvane, ready to load.

>>> import stelvane.catalogs
>>> catalog = stelvane.catalogs.load("pinhole")

``"allsky"``
    the 287 stars of V magnitude 3.5 or brighter with every pair, for wide fields
    (fisheye lenses and whole-sky frames);
``"pinhole"``
    the 5080 stars of V magnitude 6.0 or brighter with the pairs up to 30 degrees
    apart, for ordinary lenses.

Both were built with ``python -m stelvane.pipeline`` from the Yale Bright Star
Catalogue with Hipparcos (new reduction) positions, proper motions and parallaxes
at epoch J1991.25; data/README.md records the commands.
"""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from stelvane import Catalog

__all__ = ["NAMES", "load", "paths"]

_DATA = Path(__file__).resolve().parent / "data"

# The bundled catalogs by name.
NAMES: tuple[str, ...] = ("allsky", "pinhole")


def paths(name: str) -> tuple[str, str]:
    """The (catalog_path, pairs_path) of a bundled catalog, for `stelvane.Catalog` or other tools."""
    if name not in NAMES:
        choices = ", ".join(repr(n) for n in NAMES)
        raise ValueError(f"no bundled catalog named {name!r}; choose one of {choices}")
    return str(_DATA / f"{name}.scat"), str(_DATA / f"{name}.sprs")


def load(name: str) -> "Catalog":
    """The bundled catalog `name` ("allsky" or "pinhole") as a `stelvane.Catalog`."""
    from stelvane import Catalog

    return Catalog(*paths(name))
