// Exception classes of the module and their C++ translators. The classes are
// created together, once per process, the first time any of them is needed.
#include "py/errors.hpp"

#include <pybind11/gil_safe_call_once.h>

#include <array>
#include <new>
#include <variant>

#include "core/catalog.hpp"

namespace stelvane::pyb {

namespace {

constexpr std::size_t kErrorKinds = std::variant_size_v<Error::Payload>;

// One subclass of StelvaneError: its name, docstring and the engine kind it carries
// (none for the module's own refusals).
struct SubclassSpec {
    const char* name;
    const char* doc;
    std::optional<ErrorKind> kind;
};

// In the engine's declared kind order, the module's own class last. BadPosition has no
// class: the tracker reports it as ValueError and no other entry point meets it.
const SubclassSpec kSubclasses[] = {
    {"InsufficientStarsError",
     "Too few stars or observations for the step that needed them.\n\n"
     "needed and got are the two counts of the message.",
     ErrorKind::InsufficientStars},
    {"AmbiguousMatchError",
     "Two distinct identifications of the star pattern fit equally well, so the matcher refused to guess.\n\n"
     "correspondences_a and correspondences_b are the two identifications, each a list of\n"
     "(camera_index, star_index) pairs: camera_index counts the detections brightest first,\n"
     "star_index is a position in the catalog's stars(). hr_ids_a and hr_ids_b are the HR numbers\n"
     "of those stars in the same order (None only where no catalog was passed). residual_sum_a_rad\n"
     "and residual_sum_b_rad are each identification's summed angular residual in radians. A\n"
     "FixTracker can break the tie with a remembered position.",
     ErrorKind::MatchAmbiguous},
    {"NoMatchError",
     "No identification of the star pattern verified, or the best one failed the matcher's confidence checks.",
     ErrorKind::NoMatch},
    {"SingularGeometryError",
     "The observations cannot fix a position: their lines of position are (nearly) parallel or\n"
     "their weights vanish.",
     ErrorKind::SingularGeometry},
    {"BadImageError", "The frame or its mask cannot be used; detail says why.", ErrorKind::BadImage},
    {"DegenerateUpError", "up_cam has zero length or a non-finite component.", ErrorKind::DegenerateUp},
    {"CatalogFormatError", "A catalog or pair-index file is malformed; detail says where.",
     ErrorKind::CatalogFormat},
    {"CatalogIOError", "A catalog or pair-index file could not be read; detail is the operating system's text.",
     ErrorKind::Io},
    {"ThinLockError",
     "A fix was found but failed a health gate (min_matched_stars or max_residual_rms_arcmin).\n\n"
     "reason is the gate's text, matched the number of identified stars, margin the matcher's vote\n"
     "margin and residual_rms_rad the fit's residual, as in the message.",
     ErrorKind::ThinLock},
    {"CalibrationError",
     "A lens calibration was refused rather than reported doubtful.\n\n"
     "reason is one of \"no frame identified\", \"too few identified stars\", \"stars too close to the\n"
     "centre\" (scale and distortion unobservable) and \"residuals too large for the lens model\"; detail\n"
     "gives the figures behind it.",
     ErrorKind::CalibrationRefused},
    {"InvalidArgumentError",
     "An argument the module refused before any engine work: an image or mask of the wrong form, a\n"
     "focal length the lens model would ignore or cannot do without, a naive datetime, a PSF width out\n"
     "of range, and the like. The message says what to pass instead.",
     std::nullopt},
};
constexpr std::size_t kSubclassCount = std::size(kSubclasses);

struct ErrorClasses {
    py::object base;
    std::array<py::object, kSubclassCount> subclasses;  // in kSubclasses order
    std::array<py::handle, kErrorKinds> by_kind;        // the class each engine kind is raised as
    py::handle invalid_argument;
};

PyObject* new_exception_class(const std::string& qualified_name, const char* doc, PyObject* base) {
    PyObject* cls = PyErr_NewExceptionWithDoc(qualified_name.c_str(), doc, base, nullptr);
    if (cls == nullptr) throw py::error_already_set();
    return cls;
}

ErrorClasses make_error_classes() {
    ErrorClasses c;
    c.base = py::reinterpret_steal<py::object>(new_exception_class(
        "stelvane.StelvaneError", "Celestial navigation pipeline failure.", PyExc_Exception));
    c.by_kind.fill(c.base);
    for (std::size_t i = 0; i < kSubclassCount; ++i) {
        const SubclassSpec& spec = kSubclasses[i];
        c.subclasses[i] = py::reinterpret_steal<py::object>(
            new_exception_class(std::string("stelvane.") + spec.name, spec.doc, c.base.ptr()));
        if (spec.kind) {
            c.by_kind[static_cast<std::size_t>(*spec.kind)] = c.subclasses[i];
        } else {
            c.invalid_argument = c.subclasses[i];
        }
    }
    return c;
}

const ErrorClasses& error_classes() {
    // Never destroyed: the classes live as long as the process, like the module's types.
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<ErrorClasses> storage;
    return storage.call_once_and_store_result(make_error_classes).get_stored();
}

py::list correspondence_tuples(const std::vector<Correspondence>& list) {
    py::list out;
    for (const Correspondence& c : list) out.append(py::make_tuple(c.cam, c.star));
    return out;
}

py::object hr_id_list(const std::vector<std::uint32_t>* ids) {
    if (ids == nullptr) return py::none();
    py::list out;
    for (std::uint32_t hr : *ids) out.append(hr);
    return out;
}

// Sets the payload of an engine error as attributes of its Python instance.
struct PayloadAttributes {
    py::handle instance;
    const EngineFailure& failure;

    void set(const char* name, py::object value) const { py::setattr(instance, name, value); }

    void operator()(const InsufficientStars& p) const {
        set("needed", py::int_(p.needed));
        set("got", py::int_(p.got));
    }
    void operator()(const MatchAmbiguous& p) const {
        const auto& named = failure.tied_hr_ids();
        set("correspondences_a", correspondence_tuples(p.list_a));
        set("correspondences_b", correspondence_tuples(p.list_b));
        set("hr_ids_a", hr_id_list(named ? &named->first : nullptr));
        set("hr_ids_b", hr_id_list(named ? &named->second : nullptr));
        set("residual_sum_a_rad", py::float_(p.residual_a));
        set("residual_sum_b_rad", py::float_(p.residual_b));
    }
    void operator()(const BadImage& p) const { set("detail", py::str(p.detail)); }
    void operator()(const CatalogFormat& p) const { set("detail", py::str(p.detail)); }
    void operator()(const Io& p) const { set("detail", py::str(p.detail)); }
    void operator()(const ThinLock& p) const {
        set("reason", py::str(thin_lock_reason_text(p.reason)));
        set("matched", py::int_(p.matched));
        set("margin", py::int_(p.margin));
        set("residual_rms_rad", py::float_(p.residual_rms_rad));
    }
    void operator()(const CalibrationRefused& p) const {
        set("reason", py::str(calibration_refusal_text(p.reason)));
        set("detail", py::str(p.detail));
    }
    // Kinds without a payload, and BadPosition, which is raised as the base class.
    template <class Other>
    void operator()(const Other&) const {}
};

// Raises the engine failure as an instance of its kind's class, created now.
void raise_engine_failure(const EngineFailure& failure) {
    const py::handle cls = error_classes().by_kind[static_cast<std::size_t>(failure.error().kind())];
    try {
        const py::object instance = cls(failure.what());
        std::visit(PayloadAttributes{instance, failure}, failure.error().payload());
        PyErr_SetObject(cls.ptr(), instance.ptr());
    } catch (py::error_already_set& e) {
        e.restore();  // building the instance failed (out of memory): that error is raised instead
    }
}

// Sets the Python error for the module's own exceptions; rethrows any other.
void translate_module_exception(std::exception_ptr p) {
    try {
        std::rethrow_exception(p);
    } catch (const Refusal& e) {
        PyErr_SetString(error_classes().invalid_argument.ptr(), e.what());
    } catch (const EngineFailure& e) {
        raise_engine_failure(e);
    } catch (const std::logic_error& e) {
        PyErr_SetString(internal_fault_type().ptr(), e.what());
    }
}

}  // namespace

void EngineFailure::name_tied_stars(const Catalog& catalog) {
    const auto* tie = error_.get_if<MatchAmbiguous>();
    if (tie == nullptr) return;
    const auto hr_ids = [&](const std::vector<Correspondence>& list) {
        std::vector<std::uint32_t> out;
        out.reserve(list.size());
        for (const Correspondence& c : list) out.push_back(catalog.stars.at(c.star).hr);
        return out;
    };
    tied_hr_ids_.emplace(hr_ids(tie->list_a), hr_ids(tie->list_b));
}

py::handle stelvane_error_type() { return error_classes().base; }

std::vector<ErrorClass> stelvane_error_subclasses() {
    const ErrorClasses& classes = error_classes();
    std::vector<ErrorClass> out;
    for (std::size_t i = 0; i < kSubclassCount; ++i) out.push_back({kSubclasses[i].name, classes.subclasses[i]});
    return out;
}

py::handle internal_fault_type() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> storage;
    return storage
        .call_once_and_store_result([] {
            return py::reinterpret_steal<py::object>(new_exception_class(
                "stelvane.InternalFault",
                "An invariant of the stelvane engine was broken. This is a bug: please report it with the "
                "call that raised it. Derived from BaseException so ordinary handlers do not swallow it.",
                PyExc_BaseException));
        })
        .get_stored();
}

void set_python_error(std::exception_ptr p) {
    try {
        translate_module_exception(p);
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

void register_error_translators() { py::register_local_exception_translator(translate_module_exception); }

}  // namespace stelvane::pyb
