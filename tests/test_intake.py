"""The intake rules every entry point shares: images, masks, the focal rule, extents and PSF width."""

import subprocess
import sys

import numpy as np
import pytest

import stelvane

DTYPE_MSG = "image must be a 2-D uint8 or uint16 numpy array"
LAYOUT_MSG = ("image must be C-contiguous (row-major). A Fortran-ordered or transposed view holds its own "
              "transpose in memory, which would be read as rows: pass numpy.ascontiguousarray(image)")
MASK_DTYPE_MSG = "mask must be a 2-D bool numpy array"
MASK_LAYOUT_MSG = ("mask must be C-contiguous (row-major). A Fortran-ordered or transposed view holds its own "
                   "transpose in memory, which would be read as rows: pass numpy.ascontiguousarray(mask)")


def refused(call, message):
    with pytest.raises(stelvane.StelvaneError) as info:
        call()
    assert str(info.value) == message


class TestImageIntake:
    def test_uint8_widens_by_257(self, testing):
        img = np.zeros((480, 640), np.uint8)
        img[0, 0], img[1, 2], img[479, 639] = 255, 1, 7
        pixels, width, height = testing.extract_u16_image(img)
        assert (width, height) == (640, 480)
        assert pixels[0, 0] == 65535 and pixels[1, 2] == 257 and pixels[479, 639] == 7 * 257

    def test_uint16_copied_unchanged(self, testing):
        img = np.arange(12, dtype=np.uint16).reshape(3, 4) * 5000
        pixels, width, height = testing.extract_u16_image(img)
        assert (width, height) == (4, 3)
        np.testing.assert_array_equal(pixels, img)
        img[0, 0] = 1  # the intake holds a copy
        assert pixels[0, 0] == 0

    def test_big_endian_values_are_read_as_numbers(self, testing):
        img = np.array([[1, 256, 65535]], dtype=">u2")
        pixels, _, _ = testing.extract_u16_image(img)
        np.testing.assert_array_equal(pixels, [[1, 256, 65535]])

    @pytest.mark.parametrize("dtype", ["<u2", ">u2"])
    def test_an_unaligned_view_is_read_as_its_values(self, testing, dtype):
        values = np.array([[1, 256, 65535, 4660], [43981, 2, 0, 515]])
        raw = np.zeros(values.size * 2 + 1, np.uint8)
        raw[1:] = np.frombuffer(values.astype(dtype).tobytes(), np.uint8)
        img = np.frombuffer(raw.data, dtype=dtype, count=values.size, offset=1).reshape(values.shape)
        assert not img.flags.aligned and img.flags.c_contiguous
        pixels, _, _ = testing.extract_u16_image(img)
        np.testing.assert_array_equal(pixels, values)

    @pytest.mark.parametrize(
        "image",
        [np.zeros((4, 4), np.float32), np.zeros((4, 4), np.int16), np.zeros((4, 4), bool),
         np.zeros((4, 4), np.uint32), np.zeros((4, 4, 3), np.uint8), np.zeros(16, np.uint16),
         np.zeros((1, 1, 1), np.uint16), [[1, 2], [3, 4]], None],
    )
    def test_refused_types(self, testing, image):
        refused(lambda: testing.extract_u16_image(image), DTYPE_MSG)

    @pytest.mark.parametrize("make", [lambda a: a.T, lambda a: np.asfortranarray(a), lambda a: a[:, ::2]])
    def test_non_contiguous_refused(self, testing, make):
        img = np.arange(48, dtype=np.uint16).reshape(6, 8)
        refused(lambda: testing.extract_u16_image(make(img)), LAYOUT_MSG)

    def test_contiguous_copy_of_transpose_accepted(self, testing):
        img = np.arange(48, dtype=np.uint16).reshape(6, 8)
        pixels, width, height = testing.extract_u16_image(np.ascontiguousarray(img.T))
        assert (width, height) == (6, 8)
        np.testing.assert_array_equal(pixels, img.T)

    @pytest.mark.parametrize("shape", [(0, 0), (0, 5), (5, 0)])
    def test_empty_passes_intake(self, testing, shape):
        pixels, width, height = testing.extract_u16_image(np.zeros(shape, np.uint16))
        assert (height, width) == shape

    def test_read_only_array_is_accepted(self, testing):
        img = np.full((2, 3), 9, np.uint16)
        img.flags.writeable = False
        assert testing.extract_u16_image(img)[0].sum() == 54


class TestMaskIntake:
    def test_flags_copied(self, testing):
        mask = np.zeros((3, 5), bool)
        mask[2, 4] = True
        flags, width, height = testing.extract_bool_mask(mask)
        assert (width, height) == (5, 3)
        np.testing.assert_array_equal(flags, mask)

    @pytest.mark.parametrize("mask", [np.zeros((3, 3), np.uint8), np.zeros(9, bool), np.zeros((3, 3, 1), bool), True])
    def test_refused_types(self, testing, mask):
        refused(lambda: testing.extract_bool_mask(mask), MASK_DTYPE_MSG)

    def test_transposed_refused(self, testing):
        refused(lambda: testing.extract_bool_mask(np.zeros((3, 4), bool).T), MASK_LAYOUT_MSG)


PINHOLE_MSG = ("focal_px is required for the pinhole camera (fisheye_fov_deg=None); focal_px=None is only "
               "meaningful for the ideal equidistant fisheye")
IGNORED_MSG = ("focal_px is ignored for the ideal equidistant fisheye (fisheye_fov_deg set with k1..k4 all zero), "
               "whose focal length fills the shorter image dimension: pass focal_px=None, or pass the calibrated "
               "k1..k4 that make focal_px the real radial scale")
CALIBRATED_MSG = ("focal_px is required for a calibrated fisheye (a non-zero k1..k4): it is the lens's real radial "
                  "scale, which no image dimension can supply")
NAN = float("nan")


class TestFocalRule:
    @pytest.mark.parametrize(
        "focal, fov, ks, want",
        [(500.0, None, (0, 0, 0, 0), 500.0), (500.0, None, (1, 2, 3, 4), 500.0), (None, 180.0, (0, 0, 0, 0), 0.0),
         (500.0, 180.0, (0, 0, 0, 1e-6), 500.0), (-3.0, 180.0, (NAN, 0, 0, 0), -3.0), (NAN, None, (0, 0, 0, 0), NAN)],
    )
    def test_accepted(self, testing, focal, fov, ks, want):
        got = testing.focal_for_projection(focal, fov, *ks)
        assert got == want or (np.isnan(want) and np.isnan(got))

    @pytest.mark.parametrize(
        "focal, fov, ks, message",
        [(None, None, (0, 0, 0, 0), PINHOLE_MSG), (None, None, (1, 0, 0, 0), PINHOLE_MSG),
         (500.0, 180.0, (0, 0, 0, 0), IGNORED_MSG), (500.0, 180.0, (0.0, -0.0, 0, 0), IGNORED_MSG),
         (None, 180.0, (0, 0.01, 0, 0), CALIBRATED_MSG)],
    )
    def test_refused(self, testing, focal, fov, ks, message):
        refused(lambda: testing.focal_for_projection(focal, fov, *ks), message)


class TestDerivedExtent:
    @pytest.mark.parametrize("centre, want", [(319.75, 640), (320.0, 640), (0.25, 1), (0.2, 0), (1e30, 2**32 - 1)])
    def test_rounds_and_saturates(self, testing, centre, want):
        assert testing.derived_extent("width", "cx", centre) == want

    @pytest.mark.parametrize(
        "extent, name, centre, shown",
        [("width", "cx", 0.0, "0"), ("width", "cx", -4.0, "-4"), ("height", "cy", NAN, "NaN"),
         ("height", "cy", -0.5, "-0.5")],
    )
    def test_refused(self, testing, extent, name, centre, shown):
        refused(lambda: testing.derived_extent(extent, name, centre),
                f"{extent} defaults to 2 * {name}, so {name} must be positive (got {shown}); pass {extent} "
                "explicitly for an off-centre principal point")


class TestPsfSigma:
    @pytest.mark.parametrize("value", [64.0, 1.0, 1e-300])
    def test_accepted(self, testing, value):
        assert testing.check_psf_sigma_px(value) == value

    @pytest.mark.parametrize(
        "value, shown",
        [(64.0000001, "64.0000001"), (0.0, "0"), (-1.0, "-1"), (NAN, "NaN"), (float("inf"), "inf"),
         (float("-inf"), "-inf"), (1e-7 * -1, "-0.0000001")],
    )
    def test_refused(self, testing, value, shown):
        refused(lambda: testing.check_psf_sigma_px(value),
                f"psf_sigma_px must be finite and in (0, 64] pixels (got {shown}); a star PSF is 1-2 px sigma")


class TestConversions:
    @pytest.mark.parametrize("value", [0, 7, 2**32 - 1, np.uint16(9), True])
    def test_u32_accepts_integers(self, testing, value):
        assert testing.to_u32(value) == int(value)

    @pytest.mark.parametrize(
        "value, exc, message",
        [(-1, OverflowError, "can't convert negative int to unsigned"),
         (2**32, OverflowError, "int too large to convert to an unsigned 32-bit integer"),
         (-(2**70), OverflowError, "can't convert negative int to unsigned"),
         (1.0, TypeError, "argument 'value': 'float' object cannot be interpreted as an integer"),
         ("3", TypeError, "argument 'value': 'str' object cannot be interpreted as an integer"),
         (None, TypeError, "argument 'value': 'NoneType' object cannot be interpreted as an integer")],
    )
    def test_u32_refusals(self, testing, value, exc, message):
        with pytest.raises(exc) as info:
            testing.to_u32(value)
        assert str(info.value) == message

    @pytest.mark.parametrize(
        "values, want",
        [([1, 2.5], [1.0, 2.5]), ((3,), [3.0]), ([], []), (np.array([1, 2], np.int64), [1.0, 2.0]),
         (np.array([0.5, 1.5], np.float32), [0.5, 1.5]), (range(3), [0.0, 1.0, 2.0])],
    )
    def test_double_lists(self, testing, values, want):
        assert testing.to_double_list(values) == want

    @pytest.mark.parametrize(
        "values, message",
        [("12", "argument 'values': expected a sequence, not str"),
         (12, "argument 'values': expected a sequence, not int"),
         ([1, None], "argument 'values': must be real number, not NoneType"),
         ({1.0: 2}, "argument 'values': expected a sequence, not dict"),
         ([1j], "argument 'values': must be real number, not complex"),
         ([np.complex128(1)], "argument 'values': must be real number, not numpy.complex128")],
    )
    def test_double_list_refusals(self, testing, values, message):
        with pytest.raises(TypeError) as info:
            testing.to_double_list(values)
        assert str(info.value) == message

    @pytest.mark.parametrize("value, want", [
        (2.5, 2.5), (3, 3.0), (True, 1.0), (np.float32(0.5), 0.5), (np.int64(-7), -7.0), (np.uint8(200), 200.0),
        (np.bool_(True), 1.0), (np.longdouble(0.25), 0.25),
    ])
    def test_reals(self, testing, value, want):
        got = testing.to_double(value)
        assert type(got) is float and got == want

    # NumPy's complex scalars have __float__, which would drop the imaginary part; complex128 alone
    # is also a Python complex.
    @pytest.mark.parametrize("value, type_name", [
        (np.complex64(1), "numpy.complex64"), (np.complex128(1), "numpy.complex128"),
        (np.clongdouble(1), "numpy.clongdouble"), (1j, "complex"), ("1", "str"), (b"1", "bytes"), (None, "NoneType"),
    ])
    def test_complex_and_other_non_reals_are_refused(self, testing, value, type_name):
        with pytest.raises(TypeError) as info:
            testing.to_double(value)
        assert str(info.value) == f"argument 'value': must be real number, not {type_name}"

    @pytest.mark.parametrize("value, want", [(True, True), (False, False), (np.True_, True), (np.False_, False)])
    def test_bools(self, testing, value, want):
        assert testing.to_bool(value) is want

    @pytest.mark.parametrize("value, type_name", [
        (1, "int"), (0.0, "float"), (np.int8(1), "numpy.int8"), (np.array(True), "numpy.ndarray"), (None, "NoneType"),
    ])
    def test_only_bools_are_bools(self, testing, value, type_name):
        with pytest.raises(TypeError) as info:
            testing.to_bool(value)
        assert str(info.value) == f"argument 'value': '{type_name}' object is not a bool"

    def test_conversions_do_not_import_numpy(self):
        # No object is a NumPy scalar before NumPy is loaded, so refusing one is no reason to load it.
        code = ("import sys, stelvane\n"
                "for bad in (1j, 'x'):\n"
                "    try:\n"
                "        stelvane.gmst_deg(bad)\n"
                "    except TypeError as e:\n"
                "        print(e)\n"
                "print('numpy' in sys.modules)\n")
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
        assert out.splitlines() == ["argument 'jd_ut': must be real number, not complex",
                                    "argument 'jd_ut': must be real number, not str", "False"]
