// FixTracker: the module's resolve functions with a memory that breaks tied matches.
#include <cmath>

#include "core/fix.hpp"
#include "core/site.hpp"
#include "py/bindings.hpp"
#include "py/convert.hpp"
#include "py/entry.hpp"
#include "py/errors.hpp"
#include "py/instance.hpp"
#include "py/intake.hpp"
#include "py/solve_args.hpp"

namespace stelvane::pyb {

namespace {

constexpr auto kTrackerParams = params(required("max_reference_age_s"), required("max_disambiguation_distance_nm"));
constexpr auto kPositionParams = params(required("lat_deg"), required("lon_deg"), required("utc"));

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

double positive_bound(const Argument& arg) {
    const double v = to_double(arg);
    if (!std::isfinite(v) || !(v > 0.0)) {
        throw py::value_error(std::string(arg.name) + " must be finite and positive, got " + format_number(v));
    }
    return v;
}

Tracker& tracker_of(py::handle self) {
    return initialised_instance<Tracker>(
        self, "this FixTracker was never constructed: create it with stelvane.FixTracker(max_reference_age_s=..., "
              "max_disambiguation_distance_nm=...)");
}

py::object tracker_resolve_fix(py::handle self, const Bound& a) {
    Tracker& t = tracker_of(self);
    ExclusiveUse use(t);
    const ImageSolveRequest r = prepare_image_solve(a);
    return to_python_fix(unwrap(resolve_at_site(r.source(), r.args.request(r.lens, r.jd), *r.args.catalog,
                                                Tracking{t.history, t.bounds})));
}

py::object tracker_resolve_from_centroids(py::handle self, const Bound& a) {
    Tracker& t = tracker_of(self);
    ExclusiveUse use(t);
    const CentroidSolveRequest r = prepare_centroid_solve(a);
    return to_python_fix(unwrap(resolve_at_site(r.source(), r.args.request(r.lens, r.jd), *r.args.catalog,
                                                Tracking{t.history, t.bounds})));
}

py::object tracker_set_last_known_position(py::handle self, const Bound& a) {
    Tracker& t = tracker_of(self);
    ExclusiveUse use(t);
    const double lat = to_double(a[kPositionParams["lat_deg"]]);
    const double lon = to_double(a[kPositionParams["lon_deg"]]);
    const double jd = utc_to_jd(a[kPositionParams["utc"]]);
    const Status status = t.history.set_last_known_position(lat, lon, jd);
    if (!status) throw py::value_error(status.error().get_if<BadPosition>()->detail);
    return py::none();
}

const char* const kClassDoc =
    "Opt-in tie-breaking across a sequence of solves.\n\n"
    "The star matcher refuses to guess when two distinct identifications of a star pattern verify equally\n"
    "well. A tracker remembers the last fix that passed the health gates (or a position you supply with\n"
    "set_last_known_position) and uses it to break such a tie: the candidate nearest the remembered position\n"
    "wins if the reference is no older than max_reference_age_s seconds and the winner lies within\n"
    "max_disambiguation_distance_nm nautical miles. With no healthy reference, a stale one, or the nearer\n"
    "candidate outside the distance bound, the call raises the same AmbiguousMatchError as the module\n"
    "function. Both tied candidates have already passed the matcher's confidence checks.\n\n"
    "The module-level resolve_fix and resolve_from_centroids are unchanged: only a tracker's methods consult\n"
    "or record history. A fix picked by position reports match_margin == 0. Known limitation: a recorded\n"
    "pick becomes the next reference, so a wrong pick can reinforce itself until the reference ages out.\n"
    "Both bounds are keyword-only, finite and positive.\n";

}  // namespace

void bind_fix_tracker(py::module_& m) {
    const Signature init("FixTracker", kTrackerParams, /*keyword_only=*/true);
    py::class_<Tracker> cls(m, "FixTracker", class_docstring(init, kClassDoc).c_str());
    def_init(cls, init, "Create a tracker with an empty history.\n", [](const Bound& a) {
        const double age = positive_bound(a[kTrackerParams["max_reference_age_s"]]);
        const double distance = positive_bound(a[kTrackerParams["max_disambiguation_distance_nm"]]);
        return Tracker{{age, distance}, {}, false};
    });
    def_method<tracker_resolve_fix>(
        cls, Signature("FixTracker.resolve_fix", kImageSolveParams),
        "stelvane.resolve_fix with this tracker's history: same arguments, same Fix, plus tie-breaking within\n"
        "the constructor's bounds. A successful healthy fix is recorded as the next reference. mask means what\n"
        "it means on the module function.\n");
    def_method<tracker_resolve_from_centroids>(
        cls, Signature("FixTracker.resolve_from_centroids", kCentroidSolveParams),
        "stelvane.resolve_from_centroids with this tracker's history: same arguments, same Fix, plus\n"
        "tie-breaking within the constructor's bounds. A successful healthy fix is recorded as the next\n"
        "reference.\n");
    def_method<tracker_set_last_known_position>(
        cls, Signature("FixTracker.set_last_known_position", kPositionParams),
        "Accept an outside position as the tie-breaking reference: the last satellite-navigation reading, an\n"
        "inertial estimate or a known launch site. It replaces whatever the tracker remembered (last write\n"
        "wins); the same age and distance bounds govern its use. lat_deg in [-90, 90], lon_deg in\n"
        "[-180, 180] (ValueError otherwise); utc takes the same forms as resolve_fix.\n");
}

}  // namespace stelvane::pyb
