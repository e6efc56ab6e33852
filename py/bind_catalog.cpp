// The Catalog class: loads the star catalog and pair index files, answers
// lookups by HR number, and lends its engine catalog to the solve entry points.
#include <algorithm>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "core/catalog.hpp"
#include "core/units.hpp"
#include "py/bindings.hpp"
#include "py/catalog_object.hpp"
#include "py/convert.hpp"
#include "py/entry.hpp"
#include "py/errors.hpp"
#include "py/instance.hpp"

namespace stelvane::pyb {

namespace {

constexpr auto kCatalogParams = params(required("catalog_path"), required("pairs_path"));
constexpr auto kStarParams = params(required("hr_id"));
constexpr auto kStarsParams = ParamList<0>{};
constexpr auto kHasPairParams = params(required("hr_a"), required("hr_b"), required("sep_deg"), required("tol_deg"));

// What a Python Catalog holds: the immutable engine catalog and, for `star`, the
// star indices sorted by HR number (ties in file order, so the first record wins).
struct CatalogObject {
    std::shared_ptr<const Catalog> catalog;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> by_hr;  // (hr, star index)

    explicit CatalogObject(Catalog loaded) : catalog(std::make_shared<const Catalog>(std::move(loaded))) {
        const auto& stars = catalog->stars;
        by_hr.reserve(stars.size());
        for (std::size_t k = 0; k < stars.size(); ++k) by_hr.emplace_back(stars[k].hr, static_cast<std::uint32_t>(k));
        std::sort(by_hr.begin(), by_hr.end());  // (hr, index): equal HR numbers stay in file order
    }

    // The first star in file order numbered `hr`, or null.
    const Star* find(std::uint32_t hr) const {
        const auto it = std::lower_bound(by_hr.begin(), by_hr.end(), std::pair<std::uint32_t, std::uint32_t>{hr, 0});
        if (it == by_hr.end() || it->first != hr) return nullptr;
        return &catalog->stars[it->second];
    }
};

// The loaded catalog of an instance of the class, which Catalog.__new__ alone
// (without __init__) leaves empty: that is refused rather than read.
const CatalogObject& initialised(py::handle obj) {
    return initialised_instance<CatalogObject>(
        obj, "this Catalog was never loaded: create it with stelvane.Catalog(catalog_path, pairs_path)");
}

const CatalogObject& catalog_object(py::handle obj, const char* name) {
    if (!py::isinstance<CatalogObject>(obj)) {
        raise_argument_error(name, "'" + std::string(py::str(py::type::handle_of(obj).attr("__name__"))) +
                                       "' object is not a stelvane.Catalog");
    }
    return initialised(obj);
}

constexpr const char* kClassDoc =
    "Star catalog plus pair index, loaded from the files written by ``python -m stelvane.pipeline``.\n\n"
    "catalog_path names the star catalog file (bright stars keyed by HR number, brightest first) and\n"
    "pairs_path the pair-index file (star pairs sorted by the cosine of their separation); both are\n"
    "str paths. Both files are read whole, the catalog file first, and validated before anything is\n"
    "kept: a missing or unreadable file raises CatalogIOError(\"i/o error: ...\"), a malformed one\n"
    "CatalogFormatError(\"catalog format error: ...\"). A Catalog never changes once loaded and is shared,\n"
    "not copied, by the calls that take a ``catalog`` argument.\n\n"
    "A Catalog pickles by value: the pickle holds the two file images, written back from the loaded\n"
    "records byte for byte, so a copy loads where the files are absent (on another machine, say) and\n"
    "identifies stars exactly as the original does. copy.copy and copy.deepcopy return the catalog itself.\n\n"
    ">>> catalog = stelvane.Catalog(\"stars.bin\", \"pairs.bin\")  # doctest: +SKIP\n"
    ">>> catalog.star(424)  # Polaris: (ra_deg, dec_deg, vmag)  # doctest: +SKIP\n";

py::object star(py::handle self, const Bound& a) {
    const std::uint32_t hr = to_u32(a[kStarParams["hr_id"]]);
    const Star* s = initialised(self).find(hr);
    if (s == nullptr) refuse("HR " + std::to_string(hr) + " not in catalog");
    return py::make_tuple(s->ra * units::RAD_TO_DEG, s->dec * units::RAD_TO_DEG, static_cast<double>(s->vmag));
}

py::object stars(py::handle self, const Bound&) {
    const auto& records = initialised(self).catalog->stars;
    py::list out(records.size());
    for (std::size_t k = 0; k < records.size(); ++k) {
        const Star& s = records[k];
        out[k] = py::make_tuple(s.hr, s.ra * units::RAD_TO_DEG, s.dec * units::RAD_TO_DEG, static_cast<double>(s.vmag));
    }
    return out;
}

py::object has_pair(py::handle self, const Bound& a) {
    const std::uint32_t hr_a = to_u32(a[kHasPairParams["hr_a"]]);
    const std::uint32_t hr_b = to_u32(a[kHasPairParams["hr_b"]]);
    const double sep_deg = to_double(a[kHasPairParams["sep_deg"]]);
    const double tol_deg = to_double(a[kHasPairParams["tol_deg"]]);
    return py::bool_(initialised(self).catalog->has_pair(hr_a, hr_b, sep_deg, tol_deg));
}

// A new bytes object of `size` bytes filled in place by `write`, without an intermediate buffer.
template <class Write>
py::bytes written_bytes(std::size_t size, Write write) {
    auto out = py::reinterpret_steal<py::bytes>(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!out) throw py::error_already_set();
    write(std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.ptr())), size));
    return out;
}

// The pickled state: (catalog file image, pair-index file image).
py::tuple catalog_state(py::handle self) {
    const Catalog& c = *initialised(self).catalog;
    return py::make_tuple(written_bytes(c.catalog_image_size(), [&c](auto out) { c.write_catalog_image(out); }),
                          written_bytes(c.pairs_image_size(), [&c](auto out) { c.write_pairs_image(out); }));
}

std::span<const std::uint8_t> bytes_view(py::handle b) {
    return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(b.ptr())),
            static_cast<std::size_t>(PyBytes_GET_SIZE(b.ptr()))};
}

// The catalog of a pickled state, parsed by the same validating loader as the files.
std::unique_ptr<CatalogObject> catalog_from_state(const py::tuple& state) {
    if (state.size() != 2 || !PyBytes_Check(state[0].ptr()) || !PyBytes_Check(state[1].ptr())) {
        throw py::type_error("a Catalog state is (catalog_image, pairs_image), two bytes objects");
    }
    return std::make_unique<CatalogObject>(unwrap(Catalog::from_bytes(bytes_view(state[0]), bytes_view(state[1]))));
}

}  // namespace

const Catalog& borrow_catalog(py::handle obj, const char* name) { return *catalog_object(obj, name).catalog; }

std::shared_ptr<const Catalog> share_catalog(py::handle obj, const char* name) {
    return catalog_object(obj, name).catalog;
}

void bind_catalog(py::module_& m) {
    const Signature init("Catalog", kCatalogParams);
    py::class_<CatalogObject> cls(m, "Catalog", class_docstring(init, kClassDoc).c_str());
    def_init(cls, init, "Load the star catalog and pair index files; see the class documentation.\n",
             [](const Bound& a) {
                 const std::string catalog_path = to_str(a[kCatalogParams["catalog_path"]]);
                 const std::string pairs_path = to_str(a[kCatalogParams["pairs_path"]]);
                 return std::make_unique<CatalogObject>(unwrap(Catalog::load(catalog_path, pairs_path)));
             });

    def_method<star>(cls, Signature("star", kStarParams),
                     "(ra_deg, dec_deg, vmag) of the star numbered hr_id in the Harvard Revised (Yale Bright\n"
                     "Star) catalogue: right ascension and declination in degrees at the catalog epoch\n"
                     "(equatorial J2000) and the visual magnitude. Where two records carry the same number the\n"
                     "first in file order is returned. Raises InvalidArgumentError(\"HR {hr_id} not in catalog\")\n"
                     "when no record has that number.\n");
    def_method<stars>(cls, Signature("stars", kStarsParams),
                      "Every star as (hr_id, ra_deg, dec_deg, vmag), brightest first (the stored order).\n\n"
                      "Lets callers plot or scan the whole catalogue without probing by HR number; positions are\n"
                      "degrees at the catalog epoch (equatorial J2000).\n");
    def_method<has_pair>(cls, Signature("has_pair", kHasPairParams),
                         "Whether the pair index holds the stars numbered hr_a and hr_b (in either order) at an\n"
                         "angular separation within sep_deg +- tol_deg degrees. A negative tol_deg selects nothing.\n");
    cls.def_property_readonly(
        "n_stars", [](py::handle self) { return initialised(self).catalog->stars.size(); },
        "Number of star records in the catalog.");
    cls.def(py::pickle(&catalog_state, &catalog_from_state));
    def_identity_copies(cls, [](py::handle self) { initialised(self); });
}

}  // namespace stelvane::pyb
