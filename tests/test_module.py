"""The module surface: registration order, the exception class, text signatures and argument binding."""

import inspect

import pytest

import stelvane
from stelvane import _lib

# Every public name in registration order: classes, functions, then the exception class.
REGISTRATION_ORDER = [
    "Camera", "Catalog", "Fix", "FixTracker", "Scene",
    "julian_date", "gmst_deg", "precess_vector", "detect_centroids", "detect_centroids_matched",
    "foreground_mask", "great_circle_nm", "covariance_ellipse", "synthesize_scene", "resolve_fix",
    "resolve_from_centroids", "resolve_from_frames", "remap_image", "remap_mask", "sun_apparent_jd",
    "StelvaneError",
]

TEXT_SIGNATURES = {
    "julian_date": "(year, month, day, hour, minute, second)",
    "gmst_deg": "(jd_ut)",
    "precess_vector": "(jd_tt, v)",
    "sun_apparent_jd": "(jd)",
    "great_circle_nm": "(lat1_deg, lon1_deg, lat2_deg, lon2_deg)",
    "covariance_ellipse": "(azimuths_deg, sigma_arcmin)",
    "detect_centroids": "(image, max_count, mask=None)",
    "detect_centroids_matched": "(image, max_count, psf_sigma_px)",
    "foreground_mask": "(image)",
}


def test_all_follows_registration_order():
    assert stelvane.__all__ == [n for n in REGISTRATION_ORDER if n in stelvane.__all__]
    assert stelvane.__all__[-1] == "StelvaneError"
    assert {"julian_date", "gmst_deg", "precess_vector", "great_circle_nm", "covariance_ellipse",
            "sun_apparent_jd"} <= set(stelvane.__all__)


def test_all_is_the_extension_list_and_module_dict_order():
    assert stelvane.__all__ is _lib.__all__
    registered = [k for k in vars(_lib) if k in REGISTRATION_ORDER]
    assert registered == stelvane.__all__


@pytest.mark.parametrize("name", [n for n in REGISTRATION_ORDER if hasattr(stelvane, n)])
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


@pytest.mark.parametrize("name, signature", [(n, s) for n, s in TEXT_SIGNATURES.items() if hasattr(stelvane, n)])
def test_text_signatures(name, signature):
    func = getattr(stelvane, name)
    assert str(inspect.signature(func)) == signature
    assert func.__doc__.strip()
    assert not func.__doc__.startswith(name + "(")


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
