// The two star detectors: connected components over the background mesh
// (with an optional obstruction mask) and the Gaussian matched filter.
#include <optional>
#include <vector>

#include "core/centroid.hpp"
#include "py/bindings.hpp"
#include "py/convert.hpp"
#include "py/entry.hpp"
#include "py/errors.hpp"
#include "py/intake.hpp"

namespace stelvane::pyb {

namespace {

constexpr auto kDetectParams = params(required("image"), required("max_count"), optional("mask"));
constexpr auto kMatchedParams = params(required("image"), required("max_count"), required("psf_sigma_px"));

py::list centroid_tuples(const std::vector<Centroid>& centroids) {
    py::list out;
    for (const Centroid& c : centroids) out.append(py::make_tuple(c.x, c.y, c.flux));
    return out;
}

}  // namespace

void bind_detect_centroids(py::module_& m) {
    def_function(
        m, Signature("detect_centroids", kDetectParams),
        "Star centroids of a frame as a list of (x, y, flux) float tuples, brightest first.\n\n"
        "image is a 2-D uint16 array, or a uint8 array whose values are widened by 257 to the 16-bit\n"
        "scale. x is the column and y the row in pixels, the centre of the first pixel being (0, 0).\n"
        "A star is a 4-connected blob of 3 to 400 pixels standing at least max(5 robust sigma, 2048)\n"
        "counts above a 32-pixel tiled median background; blobs that reach the frame edge are dropped.\n"
        "flux is the blob's summed excess over the background; at most max_count stars are returned.\n\n"
        "mask marks the pixels that are not sky (a tree, a roof, a cloud flagged by a segmentation\n"
        "model) with True. A masked pixel seeds no blob and joins none, and it feeds neither the\n"
        "background mesh nor the noise estimate. A blob that reaches the mask is dropped whole, just as\n"
        "a blob reaching the frame edge is. Prefer this to painting the obstruction with the frame\n"
        "median before calling: the mesh would still sample that flat patch, and a star cut in half by\n"
        "the obstruction could not be recognised and dropped. A mask whose shape differs from the\n"
        "image's is refused. mask=None detects over the whole frame.\n\n"
        ">>> img = numpy.zeros((64, 64), numpy.uint16); img[30:33, 40:43] = 5000\n"
        ">>> stelvane.detect_centroids(img, 10)\n"
        "[(41.0, 31.0, 45000.0)]\n",
        [](const Bound& a) {
            const std::size_t max_count = to_usize(a[kDetectParams["max_count"]]);
            const OwnedImage image = extract_u16_image(a[kDetectParams["image"]]);
            const std::optional<OwnedMask> mask = extract_optional_mask(a[kDetectParams["mask"]]);
            return centroid_tuples(unwrap(detect_centroids_masked(image.view(), max_count, optional_view(mask))));
        });
}

void bind_detect_centroids_matched(py::module_& m) {
    def_function(
        m, Signature("detect_centroids_matched", kMatchedParams),
        "Star centroids from a Gaussian matched filter of width psf_sigma_px, as a list of (x, y, flux)\n"
        "float tuples, brightest first.\n\n"
        "Made for sharp stars whose PSF is only 1-2 px sigma: they light fewer than the 3 pixels that\n"
        "detect_centroids needs for a blob, so it rejects them. The same 32-pixel tiled median\n"
        "background as detect_centroids is subtracted, the residual is convolved with the Gaussian\n"
        "template (edges repeat the border pixels), and every 5x5 local maximum of the filtered surface\n"
        "at least 4 robust sigma of that surface above zero is refined with a log-parabola fit. flux is\n"
        "the filtered value at the peak, on a scale of its own (not comparable with detect_centroids).\n\n"
        "The template rejects junk smaller than itself: a hot pixel must be pi * psf_sigma_px^2 times\n"
        "brighter than a star's peak to outrank it. Extended structure is barely demoted, so a cloud edge\n"
        "much brighter than a star still outranks it: exclude foreground with detect_centroids and its\n"
        "mask. There is no mask keyword because the engine's matched filter takes none.\n\n"
        "image is a 2-D uint16 array, or uint8 widened by 257, C-contiguous. psf_sigma_px must be finite\n"
        "and in (0, 64] pixels: the engine takes the width on trust (zero makes the whole filtered\n"
        "surface NaN, and a huge width builds a kernel of 2 * ceil(3 * sigma) + 1 taps that runs for\n"
        "minutes or exhausts memory), and 64 px is far above any real star PSF and above the widest\n"
        "defocus worth filtering for.\n\n"
        ">>> img = numpy.zeros((64, 64), numpy.uint16); img[20, 30] = 1000\n"
        ">>> [(x, y) for x, y, _ in stelvane.detect_centroids_matched(img, 5, 1.0)]\n"
        "[(30.0, 20.0)]\n",
        [](const Bound& a) {
            const std::size_t max_count = to_usize(a[kMatchedParams["max_count"]]);
            const double sigma = check_psf_sigma_px(to_double(a[kMatchedParams["psf_sigma_px"]]));
            const OwnedImage image = extract_u16_image(a[kMatchedParams["image"]]);
            return centroid_tuples(unwrap(detect_centroids_matched(image.view(), max_count, sigma)));
        });
}

}  // namespace stelvane::pyb
