// Image, mask, camera-parameter and time intake.
#include "py/intake.hpp"

#include <pybind11/numpy.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "core/error.hpp"
#include "core/timescale.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"

namespace stelvane::pyb {

namespace {

// NumPy type numbers of the element types intake accepts.
constexpr int kNpyBool = 0;
constexpr int kNpyUint8 = 2;
constexpr int kNpyUint16 = 4;

struct ArrayRules {
    const char* dtype_message;
    const char* layout_message;
    const char* short_layout_message;
};

constexpr ArrayRules kImageRules{
    "image must be a 2-D uint8 or uint16 numpy array",
    "image must be C-contiguous (row-major). A Fortran-ordered or transposed view holds its own transpose in "
    "memory, which would be read as rows: pass numpy.ascontiguousarray(image)",
    "image must be C-contiguous",
};
constexpr ArrayRules kMaskRules{
    "mask must be a 2-D bool numpy array",
    "mask must be C-contiguous (row-major). A Fortran-ordered or transposed view holds its own transpose in "
    "memory, which would be read as rows: pass numpy.ascontiguousarray(mask)",
    "mask must be C-contiguous",
};

// The array if it is 2-D with one of the accepted type numbers, else nothing.
std::optional<py::array> two_dimensional(py::handle obj, int type_a, int type_b) {
    if (!py::isinstance<py::array>(obj)) return std::nullopt;
    auto arr = py::reinterpret_borrow<py::array>(obj);
    const int num = arr.dtype().num();
    if (arr.ndim() != 2 || (num != type_a && num != type_b)) return std::nullopt;
    return arr;
}

// A C-contiguous buffer over the array's data, released when it goes out of scope.
class ContiguousView {
public:
    ContiguousView(const py::array& arr, const ArrayRules& rules) {
        if ((arr.flags() & py::array::c_style) == 0) refuse(rules.layout_message);
        if (PyObject_GetBuffer(arr.ptr(), &view_, PyBUF_C_CONTIGUOUS) != 0) {
            PyErr_Clear();
            refuse(rules.short_layout_message);
        }
    }
    ~ContiguousView() { PyBuffer_Release(&view_); }
    ContiguousView(const ContiguousView&) = delete;
    ContiguousView& operator=(const ContiguousView&) = delete;

    const void* data() const { return view_.buf; }

private:
    Py_buffer view_{};
};

bool native_byte_order(const py::array& arr) {
    const char order = arr.dtype().byteorder();
    constexpr char native = std::endian::native == std::endian::little ? '<' : '>';
    return order == '=' || order == '|' || order == native;
}

}  // namespace

OwnedImage extract_u16_image(py::handle obj) {
    auto arr = two_dimensional(obj, kNpyUint16, kNpyUint8);
    if (!arr) refuse(kImageRules.dtype_message);
    const ContiguousView buf(*arr, kImageRules);
    OwnedImage image;
    image.height = static_cast<std::size_t>(arr->shape(0));
    image.width = static_cast<std::size_t>(arr->shape(1));
    const std::size_t n = image.width * image.height;
    if (arr->dtype().num() == kNpyUint8) {
        const auto* src = static_cast<const std::uint8_t*>(buf.data());
        image.pixels.resize(n);
        // 8-bit full scale maps exactly onto 16-bit full scale: 255 * 257 = 65535.
        for (std::size_t i = 0; i < n; ++i) image.pixels[i] = static_cast<std::uint16_t>(src[i] * 257u);
    } else {
        // An aligned array (NumPy's own) is copied in one pass; an unaligned view, through bytes.
        if (reinterpret_cast<std::uintptr_t>(buf.data()) % alignof(std::uint16_t) == 0) {
            const auto* src = static_cast<const std::uint16_t*>(buf.data());
            image.pixels.assign(src, src + n);
        } else {
            image.pixels.resize(n);
            if (n != 0) std::memcpy(image.pixels.data(), buf.data(), n * sizeof(std::uint16_t));
        }
        if (!native_byte_order(*arr)) {
            for (auto& p : image.pixels) p = static_cast<std::uint16_t>((p >> 8) | (p << 8));
        }
    }
    return image;
}

OwnedMask extract_bool_mask(py::handle obj) {
    auto arr = two_dimensional(obj, kNpyBool, kNpyBool);
    if (!arr) refuse(kMaskRules.dtype_message);
    const ContiguousView buf(*arr, kMaskRules);
    OwnedMask mask;
    mask.height = static_cast<std::size_t>(arr->shape(0));
    mask.width = static_cast<std::size_t>(arr->shape(1));
    const auto* src = static_cast<const std::uint8_t*>(buf.data());
    mask.flags.assign(src, src + mask.width * mask.height);
    return mask;
}

std::optional<OwnedMask> extract_optional_mask(py::handle obj) {
    if (obj.is_none()) return std::nullopt;
    return extract_bool_mask(obj);
}

double focal_for_projection(std::optional<double> focal_px, bool fisheye_fov_given, double k1, double k2, double k3,
                            double k4) {
    if (!fisheye_fov_given) {
        if (!focal_px) {
            refuse("focal_px is required for the pinhole camera (fisheye_fov_deg=None); focal_px=None is only "
                   "meaningful for the ideal equidistant fisheye");
        }
        return *focal_px;
    }
    // NaN compares unequal to zero, so a NaN coefficient counts as a calibration.
    const bool ideal = k1 == 0.0 && k2 == 0.0 && k3 == 0.0 && k4 == 0.0;
    if (ideal) {
        if (focal_px) {
            refuse("focal_px is ignored for the ideal equidistant fisheye (fisheye_fov_deg set with k1..k4 all "
                   "zero), whose focal length fills the shorter image dimension: pass focal_px=None, or pass the "
                   "calibrated k1..k4 that make focal_px the real radial scale");
        }
        return 0.0;
    }
    if (!focal_px) {
        refuse("focal_px is required for a calibrated fisheye (a non-zero k1..k4): it is the lens's real radial "
               "scale, which no image dimension can supply");
    }
    return *focal_px;
}

std::uint32_t derived_extent(const char* extent_name, const char* centre_name, double centre) {
    if (!(centre > 0.0)) {
        refuse(std::string(extent_name) + " defaults to 2 * " + centre_name + ", so " + centre_name +
               " must be positive (got " + format_number(centre) + "); pass " + extent_name +
               " explicitly for an off-centre principal point");
    }
    const double extent = std::round(2.0 * centre);  // halves away from zero
    constexpr double kMax = static_cast<double>(std::numeric_limits<std::uint32_t>::max());
    return extent >= kMax ? std::numeric_limits<std::uint32_t>::max() : static_cast<std::uint32_t>(extent);
}

double check_psf_sigma_px(double value) {
    if (!(std::isfinite(value) && value > 0.0 && value <= 64.0)) {
        refuse("psf_sigma_px must be finite and in (0, 64] pixels (got " + format_number(value) +
               "); a star PSF is 1-2 px sigma");
    }
    return value;
}

namespace {

const char* const kUtcFormMessage =
    "utc must be a (year, month, day, hour, minute, second) tuple or a timezone-aware datetime.datetime";

// The Julian Date of a six-field tuple, or nothing when an item does not convert.
std::optional<double> tuple_to_jd(py::handle obj) {
    if (!PyTuple_Check(obj.ptr()) || PyTuple_GET_SIZE(obj.ptr()) != 6) return std::nullopt;
    auto item = [&](Py_ssize_t i) { return py::handle(PyTuple_GET_ITEM(obj.ptr(), i)); };
    try {
        const std::int32_t year = convert_i32(item(0));
        const std::uint32_t month = convert_u32(item(1));
        const std::uint32_t day = convert_u32(item(2));
        const std::uint32_t hour = convert_u32(item(3));
        const std::uint32_t minute = convert_u32(item(4));
        const double second = convert_double(item(5));
        return julian_date(year, month, day, hour, minute, second);
    } catch (const ConversionError&) {
        return std::nullopt;
    } catch (py::error_already_set&) {
        return std::nullopt;  // an out-of-range field: the tuple's own error is discarded
    }
}

// getattr that reports a missing attribute as nothing and lets any other error propagate.
py::object optional_attr(py::handle obj, const char* attr) {
    PyObject* value = PyObject_GetAttrString(obj.ptr(), attr);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        return py::object();
    }
    return py::reinterpret_steal<py::object>(value);
}

}  // namespace

double utc_to_jd(py::handle obj, const char* name) {
    if (auto jd = tuple_to_jd(obj)) return *jd;
    py::object utcoffset = optional_attr(obj, "utcoffset");
    py::object astimezone = utcoffset ? optional_attr(obj, "astimezone") : py::object();
    if (!utcoffset || !astimezone) refuse(kUtcFormMessage);
    if (utcoffset().is_none()) {
        refuse("utc is a naive datetime, which fixes no instant in time: attach the tzinfo the timestamp was "
               "recorded in (datetime.timezone.utc when it is already UTC)");
    }
    py::object utc_zone = py::module_::import("datetime").attr("timezone").attr("utc");
    py::object t = astimezone(utc_zone);
    return convert_argument(name, [&] {
        const std::uint32_t second = convert_u32(t.attr("second"));
        const std::uint32_t microsecond = convert_u32(t.attr("microsecond"));
        const std::int32_t year = convert_i32(t.attr("year"));
        const std::uint32_t month = convert_u32(t.attr("month"));
        const std::uint32_t day = convert_u32(t.attr("day"));
        const std::uint32_t hour = convert_u32(t.attr("hour"));
        const std::uint32_t minute = convert_u32(t.attr("minute"));
        return julian_date(year, month, day, hour, minute,
                           static_cast<double>(second) + static_cast<double>(microsecond) / 1000000.0);
    });
}

}  // namespace stelvane::pyb
