"""The module surface: registration order, the exception class, text signatures and argument binding."""

import inspect

import numpy as np
import pytest

import stelvane
import stelvane.catalogs
from stelvane import _lib

# Every public name in registration order: classes, functions, then the exception class.
REGISTRATION_ORDER = [
    "Camera", "Catalog", "Fix", "FixTracker", "Scene",
    "julian_date", "gmst_deg", "precess_vector", "detect_centroids", "detect_centroids_matched",
    "foreground_mask", "great_circle_nm", "covariance_ellipse", "synthesize_scene", "resolve_fix",
    "resolve_from_centroids", "resolve_from_frames", "remap_image", "remap_mask", "sun_apparent_jd",
    "StelvaneError",
]

# Names added beyond the original surface, registered after the error classes and ahead of the rest.
ADDITIONS = ["Calibration", "calibrate_camera"]

# The text signature of every public callable, as published for the module.
TEXT_SIGNATURES = {
    "calibrate_camera": "(images, catalog, *, focal_px=None, cx=None, cy=None, fisheye_fov_deg=None, k1=0.0, "
                        "k2=0.0, k3=0.0, k4=0.0, scale_tolerance=0.05, times_utc=None, up_cam=None, width=None, "
                        "height=None, fit_distortion=None, centre_tolerance_px=None, sigma_arcmin=None, "
                        "psf_sigma_px=1.0, max_stars=300, max_residual_rms_px=1.0)",
    "julian_date": "(year, month, day, hour, minute, second)",
    "gmst_deg": "(jd_ut)",
    "precess_vector": "(jd_tt, v)",
    "sun_apparent_jd": "(jd)",
    "great_circle_nm": "(lat1_deg, lon1_deg, lat2_deg, lon2_deg)",
    "detect_centroids": "(image, max_count, mask=None)",
    "detect_centroids_matched": "(image, max_count, psf_sigma_px)",
    "foreground_mask": "(image)",
    "remap_image": "(image, src_focal_px, src_cx, src_cy, dst_focal_px, dst_cx, dst_cy, dst_width, dst_height, "
                   "src_fisheye_fov_deg=None, src_k1=0.0, src_k2=0.0, src_k3=0.0, src_k4=0.0, "
                   "dst_fisheye_fov_deg=None, dst_k1=0.0, dst_k2=0.0, dst_k3=0.0, dst_k4=0.0, fill=0)",
    "remap_mask": "(mask, src_focal_px, src_cx, src_cy, dst_focal_px, dst_cx, dst_cy, dst_width, dst_height, "
                  "src_fisheye_fov_deg=None, src_k1=0.0, src_k2=0.0, src_k3=0.0, src_k4=0.0, "
                  "dst_fisheye_fov_deg=None, dst_k1=0.0, dst_k2=0.0, dst_k3=0.0, dst_k4=0.0)",
    "resolve_fix": "(image, focal_px, cx, cy, up_cam, utc, catalog, sigma_arcmin=None, fisheye_fov_deg=None, "
                   "k1=0.0, k2=0.0, k3=0.0, k4=0.0, use_sun=False, max_centroids=None, min_matched_stars=None, "
                   "max_residual_rms_arcmin=None, mask=None)",
    "resolve_from_centroids": "(centroids, focal_px, cx, cy, up_cam, utc, catalog, sigma_arcmin=None, "
                              "fisheye_fov_deg=None, k1=0.0, k2=0.0, k3=0.0, k4=0.0, max_centroids=None, "
                              "min_matched_stars=None, max_residual_rms_arcmin=None)",
    "resolve_from_frames": "(frames, times_utc, focal_px, cx, cy, up_cam, catalog, sigma_arcmin=None, "
                           "fisheye_fov_deg=None, k1=0.0, k2=0.0, k3=0.0, k4=0.0, psf_sigma_px=1.0, "
                           "max_centroids=None, min_matched_stars=None, max_residual_rms_arcmin=None)",
    "covariance_ellipse": "(azimuths_deg, sigma_arcmin)",
    "synthesize_scene": "(catalog, lat_deg, lon_deg, jd_ut, roll_deg, width, height, focal_px, mag_limit, "
                        "pixel_noise_arcmin, up_noise_arcmin, background_noise, seed, fisheye_fov_deg=None, k1=0.0, "
                        "k2=0.0, k3=0.0, k4=0.0, bit_depth=16)",
    "Camera": "(focal_px, cx, cy, width=None, height=None, fisheye_fov_deg=None, k1=0.0, k2=0.0, k3=0.0, k4=0.0)",
    "Catalog": "(catalog_path, pairs_path)",
    "FixTracker": "(*, max_reference_age_s, max_disambiguation_distance_nm)",
}
# Instances of these come only from the functions that return them.
WITHOUT_CONSTRUCTOR = ["Fix", "Scene", "Calibration"]


# The subclasses of StelvaneError, which lead __all__ ahead of the registered names.
ERROR_CLASSES = [
    "InsufficientStarsError", "AmbiguousMatchError", "NoMatchError", "SingularGeometryError", "BadImageError",
    "DegenerateUpError", "CatalogFormatError", "CatalogIOError", "ThinLockError", "CalibrationError",
    "InvalidArgumentError",
]


def test_all_is_the_error_classes_the_additions_then_the_registration_order():
    assert stelvane.__all__ == ERROR_CLASSES + ADDITIONS + REGISTRATION_ORDER


def test_all_is_the_extension_list_and_module_dict_order():
    assert stelvane.__all__ is _lib.__all__
    registered = [k for k in vars(_lib) if k in ERROR_CLASSES + ADDITIONS + REGISTRATION_ORDER]
    assert registered == stelvane.__all__


@pytest.mark.parametrize("name", [n for n in ADDITIONS + REGISTRATION_ORDER if hasattr(stelvane, n)])
def test_public_names_belong_to_stelvane(name):
    assert getattr(stelvane, name).__module__ == "stelvane"


def test_stelvane_error_class():
    err = stelvane.StelvaneError
    assert issubclass(err, Exception)
    assert err.__bases__ == (Exception,)
    assert err.__name__ == "StelvaneError"
    assert err.__qualname__ == "StelvaneError"
    assert err.__module__ == "stelvane"
    assert err.__doc__ == "Celestial navigation pipeline failure."
    assert _lib.StelvaneError is err


def test_engine_refusal_is_stelvane_error_with_single_argument():
    with pytest.raises(stelvane.StelvaneError) as info:
        stelvane.covariance_ellipse([45], 1.0)
    assert info.value.args == ("need at least two azimuths",)


def test_internal_fault_is_not_an_exception():
    fault = _lib._InternalFault
    assert issubclass(fault, BaseException)
    assert not issubclass(fault, Exception)
    assert fault.__module__ == "stelvane"


def test_every_public_callable_has_a_published_signature():
    callables = [n for n in stelvane.__all__ if not n.endswith("Error")]
    assert sorted(callables) == sorted([*TEXT_SIGNATURES, *WITHOUT_CONSTRUCTOR])


@pytest.mark.parametrize("name, signature", TEXT_SIGNATURES.items())
def test_text_signatures(name, signature):
    func = getattr(stelvane, name)
    assert str(inspect.signature(func)) == signature
    # The interpreter took the signature line off the docstring and kept the prose.
    assert func.__text_signature__ == signature
    assert func.__doc__.strip()
    assert not func.__doc__.startswith(name + "(")


@pytest.mark.parametrize("name, signature", [(n, s) for n, s in TEXT_SIGNATURES.items() if n[0].isupper()])
def test_constructors_show_the_class_signature_after_self(name, signature):
    init = getattr(stelvane, name).__init__
    assert init.__text_signature__ == "(self, " + signature[1:]
    assert init.__doc__.strip() and not init.__doc__.startswith("__init__(")


@pytest.mark.parametrize("name", WITHOUT_CONSTRUCTOR)
def test_classes_without_a_constructor_publish_no_signature(name):
    assert getattr(stelvane, name).__text_signature__ is None


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: stelvane.julian_date(2000, 1), "julian_date() missing 4 required positional arguments: "
                                                "'day', 'hour', 'minute', and 'second'"),
        (lambda: stelvane.gmst_deg(), "gmst_deg() missing 1 required positional argument: 'jd_ut'"),
        (lambda: stelvane.gmst_deg(1.0, 2.0), "gmst_deg() takes 1 positional argument but 2 were given"),
        (lambda: stelvane.gmst_deg(jd=1.0), "gmst_deg() got an unexpected keyword argument 'jd'"),
        (lambda: stelvane.gmst_deg(1.0, jd_ut=1.0), "gmst_deg() got multiple values for argument 'jd_ut'"),
        (lambda: stelvane.great_circle_nm(0, 0, 0), "great_circle_nm() missing 1 required positional argument: "
                                                    "'lon2_deg'"),
    ],
)
def test_binding_failures_are_type_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_bind_by_name():
    assert stelvane.great_circle_nm(lon2_deg=1, lat2_deg=0, lon1_deg=0, lat1_deg=0) == pytest.approx(60.0)


def published_defaults(func):
    return {n: p.default for n, p in inspect.signature(func).parameters.items() if p.default is not p.empty}


SPOT = np.zeros((32, 32), np.uint16)
SPOT[14:17, 20:23] = 5000


@pytest.mark.parametrize("name, args, given", [
    ("Camera", (None, 320.0, 240.0), dict(fisheye_fov_deg=180.0)),
    ("detect_centroids", (SPOT, 5), {}),
    ("remap_image", (SPOT, 40.0, 15.5, 15.5, 30.0, 15.5, 15.5, 32, 32), {}),
    ("remap_mask", (SPOT > 0, 40.0, 15.5, 15.5, 30.0, 15.5, 15.5, 32, 32), {}),
    ("synthesize_scene", (None, 48.5, 11.25, 2460402.4, 0.0, 64, 64, 60.0, 6.0, 0.5, 0.5, 10.0, 3), {}),
])
def test_omitted_arguments_take_the_published_defaults(name, args, given):
    func = getattr(stelvane, name)
    if name == "synthesize_scene":
        args = (stelvane.catalogs.load("allsky"), *args[1:])
    omitted, explicit = func(*args, **given), func(*args, **{**published_defaults(func), **given})
    if isinstance(omitted, stelvane.Scene):
        omitted, explicit = omitted.pixels, explicit.pixels
    assert np.array_equal(omitted, explicit) if isinstance(omitted, np.ndarray) else omitted == explicit
