// Reprojection of frames and exclusion masks from one camera model to another.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/remap.hpp"
#include "py/arrays.hpp"
#include "py/bindings.hpp"
#include "py/camera_args.hpp"
#include "py/convert.hpp"
#include "py/entry.hpp"
#include "py/errors.hpp"
#include "py/intake.hpp"

namespace stelvane::pyb {

namespace {

// Camera extents are 32-bit; a larger extent saturates (its pixel count is refused later,
// or it has no pixels and the camera is never used).
std::uint32_t camera_extent(std::uint64_t n) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(n, std::numeric_limits<std::uint32_t>::max()));
}

// Both cameras' scalars: the required ones first, then each camera's model.
constexpr auto kCameraPairParams =
    params(required("src_focal_px"), required("src_cx"), required("src_cy"), required("dst_focal_px"),
           required("dst_cx"), required("dst_cy"), required("dst_width"), required("dst_height"),
           optional("src_fisheye_fov_deg"), optional("src_k1", "0.0"), optional("src_k2", "0.0"),
           optional("src_k3", "0.0"), optional("src_k4", "0.0"), optional("dst_fisheye_fov_deg"),
           optional("dst_k1", "0.0"), optional("dst_k2", "0.0"), optional("dst_k3", "0.0"), optional("dst_k4", "0.0"));
constexpr auto kRemapImageParams = join(params(required("image")), kCameraPairParams, params(optional("fill", "0")));
constexpr auto kRemapMaskParams = join(params(required("mask")), kCameraPairParams);

// The source camera from the src_ scalars, with the source's own extent.
template <const auto& P>
Camera source_camera(const Bound& a, std::uint64_t width, std::uint64_t height) {
    const CameraArgs lens =
        convert_camera_args(a[P["src_focal_px"]], a[P["src_cx"]], a[P["src_cy"]], a[P["src_fisheye_fov_deg"]],
                            a[P["src_k1"]], a[P["src_k2"]], a[P["src_k3"]], a[P["src_k4"]], "src_");
    return lens.build(lens.focal_rule(), camera_extent(width), camera_extent(height));
}

struct Destination {
    Camera camera;
    std::uint64_t width;
    std::uint64_t height;
};

// The destination camera from the dst_ scalars, with dst_width x dst_height as its extent
// (an ideal fisheye fills min(dst_width, dst_height)).
template <const auto& P>
Destination destination(const Bound& a) {
    const CameraArgs lens =
        convert_camera_args(a[P["dst_focal_px"]], a[P["dst_cx"]], a[P["dst_cy"]], a[P["dst_fisheye_fov_deg"]],
                            a[P["dst_k1"]], a[P["dst_k2"]], a[P["dst_k3"]], a[P["dst_k4"]], "dst_");
    const std::uint64_t width = to_usize(a[P["dst_width"]]);
    const std::uint64_t height = to_usize(a[P["dst_height"]]);
    return {lens.build(lens.focal_rule(), camera_extent(width), camera_extent(height)), width, height};
}

// An integer in 0 ... 65535; a negative or larger one raises OverflowError.
std::uint16_t to_u16(const Argument& arg) {
    const std::size_t value = to_usize(arg);
    if (value > std::numeric_limits<std::uint16_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "int too large to convert to an unsigned 16-bit integer");
        throw py::error_already_set();
    }
    return static_cast<std::uint16_t>(value);
}

constexpr const char* kRemapImageDoc =
    "Reproject a frame from one camera model to another, for example a bench fisheye frame into\n"
    "the circular all-sky form a segmentation model was trained on.\n\n"
    "Both cameras share one orientation (both rigs point straight up), so no rotation is applied:\n"
    "each destination pixel centre is turned into a camera-frame direction by the destination\n"
    "camera, that direction is projected through the source camera, and the source is sampled\n"
    "there bilinearly (rounded to the nearest integer). fill (an integer in 0 ... 65535) is\n"
    "written wherever the destination pixel images nothing: outside the destination lens's own\n"
    "field (the corners beyond an all-sky circle), outside the source lens's field, or off the\n"
    "source frame.\n\n"
    "The src_ and dst_ scalars follow exactly the camera rules of resolve_fix: *_focal_px=None\n"
    "with *_fisheye_fov_deg set and all coefficients zero is the ideal equidistant fisheye (a focal\n"
    "given there is refused); any non-zero coefficient makes a calibrated fisheye whose focal is\n"
    "the lens's real radial scale; *_fisheye_fov_deg=None is a pinhole. The source camera's extent\n"
    "is the image's own; the destination's is dst_width x dst_height, so an ideal destination\n"
    "fisheye fills the shorter dimension min(dst_width, dst_height).\n\n"
    "image is a 2-D C-contiguous uint16 array (full scale 65535) or uint8 array (widened by 257).\n"
    "Returns a new uint16 array of shape (dst_height, dst_width). A source buffer that does not\n"
    "match its shape, or an extent over 2^28 pixels on either side, is refused.\n\n"
    ">>> frame = numpy.zeros((1080, 1920), numpy.uint16)\n"
    ">>> sky = stelvane.remap_image(frame, None, 959.5, 539.5, None, 511.5, 511.5, 1024, 1024,\n"
    "...                            src_fisheye_fov_deg=185.0, dst_fisheye_fov_deg=180.0)\n"
    ">>> sky.shape\n"
    "(1024, 1024)\n";

constexpr const char* kRemapMaskDoc =
    "Carry an exclusion mask from one camera model to another, for example a mask predicted on\n"
    "the all-sky form back to the camera's own pixels.\n\n"
    "The road is that of remap_image (shared orientation; destination camera to direction, source\n"
    "camera to source pixel), but the mask is resampled nearest-neighbour, so no destination pixel\n"
    "takes a value between the two states. True means excluded, and a destination pixel that\n"
    "images nothing (outside either lens's field or off the source mask) is True: uncovered sky\n"
    "is excluded rather than silently trusted.\n\n"
    "The src_ and dst_ scalars follow the camera rules of resolve_fix, as in remap_image; the\n"
    "source camera's extent is the mask's shape, the destination's dst_width x dst_height.\n"
    "mask is a 2-D C-contiguous bool array. Returns a new bool array of shape\n"
    "(dst_height, dst_width). A source buffer that does not match its shape, or an extent over\n"
    "2^28 pixels on either side, is refused, as in remap_image.\n";

}  // namespace

void bind_remap_image(py::module_& m) {
    def_function(m, Signature("remap_image", kRemapImageParams), kRemapImageDoc, [](const Bound& a) {
        const OwnedImage image = extract_u16_image(a[kRemapImageParams["image"]]);
        const Camera src = source_camera<kRemapImageParams>(a, image.width, image.height);
        const Destination dst = destination<kRemapImageParams>(a);
        const std::uint16_t fill = to_u16(a[kRemapImageParams["fill"]]);
        return to_u16_array(unwrap(remap_image(image.view(), src, dst.camera, dst.width, dst.height, fill)));
    });
}

void bind_remap_mask(py::module_& m) {
    def_function(m, Signature("remap_mask", kRemapMaskParams), kRemapMaskDoc, [](const Bound& a) {
        const OwnedMask mask = extract_bool_mask(a[kRemapMaskParams["mask"]]);
        const Camera src = source_camera<kRemapMaskParams>(a, mask.width, mask.height);
        const Destination dst = destination<kRemapMaskParams>(a);
        return to_bool_array(unwrap(remap_mask(mask.view(), src, dst.camera, dst.width, dst.height)));
    });
}

}  // namespace stelvane::pyb
