// FixTracker: the module's resolve functions with a memory that breaks tied matches.
#include <cmath>

#include "core/fix.hpp"
#include "core/site.hpp"
#include "py/bindings.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/intake.hpp"
#include "py/method.hpp"
#include "py/signature.hpp"
#include "py/solve_args.hpp"

namespace stelvane::pyb {

namespace {

using Bound = std::vector<py::object>;

struct Tracker {
    TrackerBounds bounds;
    FixHistory history;
    bool busy = false;
};

// Exclusive use of a tracker for one call; a re-entrant call (from a callback
// run during argument conversion) is refused instead of corrupting the history.
class ExclusiveUse {
public:
    explicit ExclusiveUse(Tracker& t) : tracker_(t) {
        if (tracker_.busy) throw std::runtime_error("Already borrowed");
        tracker_.busy = true;
    }
    ~ExclusiveUse() { tracker_.busy = false; }
    ExclusiveUse(const ExclusiveUse&) = delete;
    ExclusiveUse& operator=(const ExclusiveUse&) = delete;

private:
    Tracker& tracker_;
};

double positive_bound(py::handle obj, const char* name) {
    const double v = to_double(obj, name);
    if (!std::isfinite(v) || !(v > 0.0)) {
        throw py::value_error(std::string(name) + " must be finite and positive, got " + format_number(v));
    }
    return v;
}

Tracker& tracker_of(py::handle self) {
    return initialised_instance<Tracker>(
        self, "this FixTracker was never constructed: create it with stelvane.FixTracker(max_reference_age_s=..., "
              "max_disambiguation_distance_nm=...)");
}

// Signatures live as long as the process, like the methods (they hold Python defaults).
const Signature& signature_of_resolve_fix() {
    static const Signature& sig = *new Signature(solve_signature("FixTracker.resolve_fix", SolveRoad::Image));
    return sig;
}
const Signature& signature_of_resolve_from_centroids() {
    static const Signature& sig =
        *new Signature(solve_signature("FixTracker.resolve_from_centroids", SolveRoad::Centroids));
    return sig;
}

py::object tracker_resolve_fix(py::handle self, const py::args& args, const py::kwargs& kwargs) {
    Tracker& t = tracker_of(self);
    const Bound a = signature_of_resolve_fix().bind(args, kwargs);
    ExclusiveUse use(t);
    const ImageSolveRequest r = prepare_image_solve(a);
    return to_python_fix(unwrap(resolve_at_site(r.source(), r.args.request(r.lens, r.jd), *r.args.catalog,
                                                Tracking{t.history, t.bounds})));
}

py::object tracker_resolve_from_centroids(py::handle self, const py::args& args, const py::kwargs& kwargs) {
    Tracker& t = tracker_of(self);
    const Bound a = signature_of_resolve_from_centroids().bind(args, kwargs);
    ExclusiveUse use(t);
    const CentroidSolveRequest r = prepare_centroid_solve(a);
    return to_python_fix(unwrap(resolve_at_site(r.source(), r.args.request(r.lens, r.jd), *r.args.catalog,
                                                Tracking{t.history, t.bounds})));
}

py::object tracker_set_last_known_position(py::handle self, const py::args& args, const py::kwargs& kwargs) {
    static const Signature& sig = *new Signature("FixTracker.set_last_known_position",
                                                 {required("lat_deg"), required("lon_deg"), required("utc")});
    Tracker& t = tracker_of(self);
    const Bound a = sig.bind(args, kwargs);
    ExclusiveUse use(t);
    const double lat = to_double(a[0], "lat_deg");
    const double lon = to_double(a[1], "lon_deg");
    const double jd = utc_to_jd(a[2]);
    const Status status = t.history.set_last_known_position(lat, lon, jd);
    if (!status) throw py::value_error(status.error().get_if<BadPosition>()->detail);
    return py::none();
}

const char* const kClassDoc =
    "FixTracker(*, max_reference_age_s, max_disambiguation_distance_nm)\n--\n\n"
    "Opt-in tie-breaking across a sequence of solves.\n\n"
    "The star matcher refuses to guess when two distinct identifications of a star pattern verify equally\n"
    "well. A tracker remembers the last fix that passed the health gates (or a position you supply with\n"
    "set_last_known_position) and uses it to break such a tie: the candidate nearest the remembered position\n"
    "wins if the reference is no older than max_reference_age_s seconds and the winner lies within\n"
    "max_disambiguation_distance_nm nautical miles. With no healthy reference, a stale one, or the nearer\n"
    "candidate outside the distance bound, the call raises the same ambiguous-match StelvaneError as the\n"
    "module function. Both tied candidates have already passed the matcher's confidence checks.\n\n"
    "The module-level resolve_fix and resolve_from_centroids are unchanged: only a tracker's methods consult\n"
    "or record history. A fix picked by position reports match_margin == 0. Known limitation: a recorded\n"
    "pick becomes the next reference, so a wrong pick can reinforce itself until the reference ages out.\n"
    "Both bounds are keyword-only, finite and positive.\n";

}  // namespace

void bind_fix_tracker(py::module_& m) {
    py::class_<Tracker> cls(m, "FixTracker", kClassDoc);
    // Signatures are captured by the bound callables (no function statics: they hold Python objects).
    Signature init_sig("FixTracker", {required("max_reference_age_s"), required("max_disambiguation_distance_nm")},
                       /*keyword_only=*/true);
    cls.def(py::init([sig = std::move(init_sig)](const py::args& args, const py::kwargs& kwargs) {
                const Bound a = sig.bind(args, kwargs);
                const double age = positive_bound(a[0], "max_reference_age_s");
                const double distance = positive_bound(a[1], "max_disambiguation_distance_nm");
                return Tracker{{age, distance}, {}, false};
            }),
            "__init__(self, *, max_reference_age_s, max_disambiguation_distance_nm)\n--\n\n"
            "Create a tracker with an empty history.\n");
    def_method<tracker_resolve_fix>(
        cls, "resolve_fix",
        "resolve_fix($self, image, focal_px, cx, cy, up_cam, utc, catalog, sigma_arcmin=None, "
        "fisheye_fov_deg=None, k1=0.0, k2=0.0, k3=0.0, k4=0.0, use_sun=False, max_centroids=None, "
        "min_matched_stars=None, max_residual_rms_arcmin=None, mask=None)\n--\n\n"
        "stelvane.resolve_fix with this tracker's history: same arguments, same Fix, plus tie-breaking within\n"
        "the constructor's bounds. A successful healthy fix is recorded as the next reference. mask means what\n"
        "it means on the module function.\n");
    def_method<tracker_resolve_from_centroids>(
        cls, "resolve_from_centroids",
        "resolve_from_centroids($self, centroids, focal_px, cx, cy, up_cam, utc, catalog, sigma_arcmin=None, "
        "fisheye_fov_deg=None, k1=0.0, k2=0.0, k3=0.0, k4=0.0, max_centroids=None, min_matched_stars=None, "
        "max_residual_rms_arcmin=None)\n--\n\n"
        "stelvane.resolve_from_centroids with this tracker's history: same arguments, same Fix, plus\n"
        "tie-breaking within the constructor's bounds. A successful healthy fix is recorded as the next\n"
        "reference.\n");
    def_method<tracker_set_last_known_position>(
        cls, "set_last_known_position",
        "set_last_known_position($self, lat_deg, lon_deg, utc)\n--\n\n"
        "Accept an outside position as the tie-breaking reference: the last satellite-navigation reading, an\n"
        "inertial estimate or a known launch site. It replaces whatever the tracker remembered (last write\n"
        "wins); the same age and distance bounds govern its use. lat_deg in [-90, 90], lon_deg in\n"
        "[-180, 180] (ValueError otherwise); utc takes the same forms as resolve_fix.\n");
}

}  // namespace stelvane::pyb
