"""Catalog, Camera and Fix travel between processes by pickle: the copies load, project and read exactly as the
originals. A Catalog's pickle carries its two files' bytes, compared here with the files themselves."""

from __future__ import annotations

import copy
import datetime
import math
import pickle
from pathlib import Path

import numpy as np
import pytest

import stelvane
from stelvane import catalogs

PROTOCOLS = (2, pickle.HIGHEST_PROTOCOL)  # the oldest that rebuilds pybind11 objects, and the newest
NIGHT = (2024, 3, 20, 3, 6, 0)
# The instant's Julian Date from the Unix epoch (JD 2440587.5), not from the module.
NIGHT_JD = 2440587.5 + datetime.datetime(*NIGHT, tzinfo=datetime.timezone.utc).timestamp() / 86400
LAT, LON = 35.0, -120.0


def bits(values) -> np.ndarray:
    return np.asarray(values, dtype=np.float64).view(np.int64)


@pytest.fixture(scope="module")
def allsky():
    return catalogs.load("allsky")


@pytest.fixture(scope="module")
def scene(allsky):
    return stelvane.synthesize_scene(allsky, LAT, LON, NIGHT_JD, 0.0, 640, 640, None, 3.5, 0.2, 0.0, 30.0, 3,
                                     fisheye_fov_deg=180.0)


def fisheye_fix(scene, catalog):
    return stelvane.resolve_fix(scene.pixels, None, 320.0, 320.0, scene.up_cam, NIGHT, catalog, fisheye_fov_deg=180.0)


# ---- Catalog -------------------------------------------------------------------------------------------------


@pytest.mark.parametrize("name", catalogs.NAMES)
def test_a_bundled_catalog_pickles_as_its_files_bytes(name):
    catalog_path, pairs_path = catalogs.paths(name)
    state = catalogs.load(name).__getstate__()
    assert state == (Path(catalog_path).read_bytes(), Path(pairs_path).read_bytes())


def test_a_catalog_copy_solves_a_sky_to_the_same_bits(allsky, scene):
    clone = pickle.loads(pickle.dumps(allsky))
    assert clone.stars() == allsky.stars() and copy.copy(allsky) is allsky and copy.deepcopy(allsky) is allsky
    want, got = fisheye_fix(scene, allsky), fisheye_fix(scene, clone)
    assert got.matched_hr_ids == want.matched_hr_ids
    assert np.array_equal(bits([got.latitude_deg, got.longitude_deg, *got.ellipse_2sigma_nm]),
                          bits([want.latitude_deg, want.longitude_deg, *want.ellipse_2sigma_nm]))
    assert abs(got.latitude_deg - LAT) < 0.05 and abs(got.longitude_deg - LON) < 0.05


# ---- Camera --------------------------------------------------------------------------------------------------

CAMERAS = {
    "pinhole": dict(focal_px=2200.0, cx=959.5, cy=539.25),
    # An explicit extent other than 2 * (cx, cy): the copy keeps the focal derived from it.
    "ideal fisheye": dict(focal_px=None, cx=700.0, cy=500.0, width=1024, height=768, fisheye_fov_deg=185.0),
    "calibrated fisheye": dict(focal_px=331.7, cx=512.3, cy=511.8, fisheye_fov_deg=190.0, k1=-0.021, k2=0.0013,
                               k3=-1e-4, k4=3e-6),
}


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("kind", CAMERAS)
def test_a_camera_copy_projects_as_the_original(kind, protocol):
    camera = stelvane.Camera(**CAMERAS[kind])
    clone = pickle.loads(pickle.dumps(camera, protocol=protocol))
    assert clone == camera and hash(clone) == hash(camera) and repr(clone) == repr(camera)
    assert clone.effective_focal_px == camera.effective_focal_px
    assert copy.copy(camera) is camera and copy.deepcopy(camera) is camera
    xs, ys = np.meshgrid(np.linspace(0.0, 1023.0, 9), np.linspace(0.0, 767.0, 7))
    vecs = camera.pixel_to_vec(xs.ravel(), ys.ravel())
    assert np.array_equal(bits(clone.pixel_to_vec(xs.ravel(), ys.ravel())), bits(vecs))
    assert np.array_equal(bits(clone.vec_to_pixel(vecs)), bits(camera.vec_to_pixel(vecs)))


# ---- Fix -----------------------------------------------------------------------------------------------------


def public_attributes(fix) -> dict:
    names = [n for n in dir(stelvane.Fix) if not n.startswith("_")]
    return {n: getattr(fix, n) for n in names}


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_a_fix_copy_reads_every_attribute_as_the_original(allsky, scene, protocol):
    fix = fisheye_fix(scene, allsky)
    clone = pickle.loads(pickle.dumps(fix, protocol=protocol))
    assert type(clone) is stelvane.Fix
    want, got = public_attributes(fix), public_attributes(clone)
    assert len(want) >= 14
    # The sights are a structured array: compared by their bytes.
    want_sights, got_sights = want.pop("sights"), got.pop("sights")
    assert len(want_sights) == len(fix.matched_hr_ids) and got_sights.dtype == want_sights.dtype
    assert got_sights.tobytes() == want_sights.tobytes()
    assert got == want
    assert np.array_equal(bits([clone.latitude_deg, clone.longitude_deg, clone.residual_rms_rad]),
                          bits([fix.latitude_deg, fix.longitude_deg, fix.residual_rms_rad]))
    assert pickle.dumps(clone, protocol=protocol) == pickle.dumps(fix, protocol=protocol)


def test_a_fix_pickles_by_reference_to_its_class(allsky, scene):
    fix = fisheye_fix(scene, allsky)
    rebuild, (state,) = fix.__reduce__()
    assert rebuild == stelvane.Fix._from_state
    # The class method pickles as getattr(stelvane.Fix, "_from_state"): no module-private name, no eval.
    assert rebuild.__reduce__() == (getattr, (stelvane.Fix, "_from_state"))
    # The hidden attitude travels too: a unit quaternion.
    assert len(state["attitude"]) == 4 and math.isclose(math.hypot(*state["attitude"]), 1.0, rel_tol=1e-12)
    assert copy.copy(fix) is fix and copy.deepcopy(fix) is fix
