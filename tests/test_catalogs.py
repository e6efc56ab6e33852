"""The bundled catalogs and their accessor `stelvane.catalogs`."""

import math
import os
import struct

import numpy as np
import pytest

import stelvane
import stelvane.catalogs

# Counts recorded in data/README.md when the files were built.
BUNDLED = {"allsky": (287, 41041, 3.5, 180.0), "pinhole": (5080, 937731, 6.0, 30.0)}


def headers(name):
    cat_path, pairs_path = stelvane.catalogs.paths(name)
    with open(cat_path, "rb") as f:
        cat = f.read()
    with open(pairs_path, "rb") as f:
        prs = f.read()
    magic, version, n_stars, epoch = struct.unpack_from("<4sIId", cat)
    assert (magic, version, len(cat)) == (b"SCAT", 2, 20 + 60 * n_stars)
    magic, version, n_pairs = struct.unpack_from("<4sII", prs)
    assert (magic, version, len(prs)) == (b"SPRS", 1, 12 + 8 * n_pairs)
    stars = np.frombuffer(cat, offset=20, dtype=[("hr", "<u4"), ("vmag", "<f4"), ("ra", "<f8"), ("dec", "<f8"),
                                                 ("unit", "<f8", (3,)), ("pm", "<f4", (3,))])
    pairs = np.frombuffer(prs, offset=12, dtype=[("c", "<f4"), ("i", "<u2"), ("j", "<u2")])
    return epoch, stars, pairs


@pytest.mark.parametrize("name", sorted(BUNDLED))
def test_bundled_files_hold_what_the_readme_records(name):
    n_stars, n_pairs, mag_limit, max_sep = BUNDLED[name]
    epoch, stars, pairs = headers(name)
    assert (epoch, len(stars), len(pairs)) == (1991.25, n_stars, n_pairs)
    assert stars["hr"][0] == 2491  # Sirius leads
    assert np.all(np.diff(stars["vmag"]) >= 0) and stars["vmag"][-1] <= np.float32(mag_limit)
    assert len(np.unique(stars["hr"])) == n_stars
    ra, dec = stars["ra"], stars["dec"]
    want = np.stack([np.cos(dec) * np.cos(ra), np.cos(dec) * np.sin(ra), np.sin(dec)], axis=1)
    assert np.max(np.abs(stars["unit"] - want)) < 1e-15
    assert np.all(np.diff(pairs["c"]) >= 0)
    assert pairs["c"][-1] <= 1.0 and pairs["c"][0] >= np.float32(math.cos(math.radians(max_sep))) - 1e-7
    if max_sep == 180.0:
        assert n_pairs == n_stars * (n_stars - 1) // 2


def test_package_data_stays_small():
    total = sum(os.path.getsize(p) for name in stelvane.catalogs.NAMES for p in stelvane.catalogs.paths(name))
    assert total < 12 * 1024 * 1024


@pytest.mark.parametrize("name", ["", "Allsky", "allsky.scat", "tycho"])
def test_unknown_name_refused(name):
    with pytest.raises(ValueError, match=rf"^no bundled catalog named {name!r}; choose one of 'allsky', 'pinhole'$"):
        stelvane.catalogs.paths(name)


def test_module_names_unchanged():
    assert "catalogs" not in stelvane.__all__ and "pipeline" not in stelvane.__all__


@pytest.mark.parametrize("name", sorted(BUNDLED))
def test_load_gives_a_catalog_with_hipparcos_places(name):
    catalog = stelvane.catalogs.load(name)
    assert isinstance(catalog, stelvane.Catalog) and catalog.n_stars == BUNDLED[name][0]
    # Sirius (HR 2491) at the Hipparcos epoch J1991.25: RA 06h45m09.25s, Dec -16 42' 47.3" (ESA 1997).
    ra_deg, dec_deg, vmag = catalog.star(2491)
    assert ra_deg == pytest.approx((6 + 45 / 60 + 9.25 / 3600) * 15, abs=0.5 / 3600)
    assert dec_deg == pytest.approx(-(16 + 42 / 60 + 47.3 / 3600), abs=0.5 / 3600)
    assert vmag == pytest.approx(-1.46, abs=1e-6)
    # Arcturus and Vega (J2000 14h15m39.7s +19 10' 57", 18h36m56.3s +38 47' 01") are 59.12 deg
    # apart: a pair only the all-sky index keeps.
    assert catalog.has_pair(5340, 7001, 59.12, 0.02) == (name == "allsky")


@pytest.mark.parametrize("name", sorted(BUNDLED))
def test_the_pointers_of_ursa_major_are_a_pair(name):
    # Merak (HR 4295) and Dubhe (HR 4301) stand 5.374 deg apart (Hipparcos places).
    catalog = stelvane.catalogs.load(name)
    assert catalog.has_pair(4295, 4301, 5.374, 0.01)
    assert catalog.has_pair(4301, 4295, 5.374, 0.01)
    assert not catalog.has_pair(4295, 4301, 5.5, 0.05)
