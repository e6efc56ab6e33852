// The foreground obstruction mask derived from the frame itself.
#include <utility>
#include <vector>

#include "core/mask.hpp"
#include "py/arrays.hpp"
#include "py/bindings.hpp"
#include "py/entry.hpp"
#include "py/errors.hpp"
#include "py/intake.hpp"

namespace stelvane::pyb {

namespace {
constexpr auto kForegroundParams = params(required("image"));
}  // namespace

void bind_foreground_mask(py::module_& m) {
    def_function(
        m, Signature("foreground_mask", kForegroundParams),
        "Exclusion mask of the foreground (trees, a roofline, furniture) derived from the frame itself.\n\n"
        "A fixed rig never points exactly the same way twice, so a hand-drawn mask does not carry over\n"
        "from one night to the next; this one is measured on each frame. Foreground shows up as dense\n"
        "clusters of bright pixels, a star as an isolated point: a pixel more than 2.5 robust standard\n"
        "deviations (1.4826 x the median absolute deviation) above the frame median is bright, a pixel\n"
        "whose 61 x 61 box holds more than 10 per cent bright pixels is foreground, and the foreground\n"
        "is then grown by 15 pixels (city-block distance). One star covers well under one per cent of\n"
        "such a box, so stars never trip it. The constants are the ones measured on real frames of the\n"
        "rig.\n\n"
        "image is a 2-D C-contiguous uint16 array (full scale 65535) or uint8 array (widened by 257),\n"
        "the same forms detect_centroids accepts. Returns a new bool array of shape (height, width),\n"
        "True where the pixel is not sky: feed it straight to the mask= keyword of detect_centroids or\n"
        "resolve_fix. A uniform frame or a clear starry sky gives an all-False mask.\n\n"
        ">>> frame = numpy.zeros((200, 100), numpy.uint16); frame[150:] = 40000\n"
        ">>> int(stelvane.foreground_mask(frame)[:, 0].argmax())  # 39 rows above the bright band\n"
        "111\n",
        [](const Bound& a) {
            const OwnedImage image = extract_u16_image(a[kForegroundParams["image"]]);
            ForegroundMask result = unwrap(foreground_mask(image.view()));
            return to_bool_array(std::move(result.mask));
        });
}

}  // namespace stelvane::pyb
