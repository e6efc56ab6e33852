// The star catalog ("SCAT" v2) and its pair index ("SPRS" v1): the loader
// that validates both untrusted byte images, the separation lookup the matcher
// uses, and star directions moved to a date by proper motion and parallax.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/vec.hpp"

namespace stelvane {

struct Star {
    double ra = 0.0;   // right ascension at the catalog epoch, radians
    double dec = 0.0;  // declination at the catalog epoch, radians
    Vec3 unit{0.0, 0.0, 1.0};  // (cos dec cos ra, cos dec sin ra, sin dec), equatorial J2000
    std::uint32_t hr = 0;      // HR (Yale Bright Star) number
    float vmag = 0.0f;         // visual magnitude
    float pm_ra = 0.0f;        // proper motion in RA, already times cos(dec), mas/yr
    float pm_dec = 0.0f;       // proper motion in Dec, mas/yr
    float parallax = 0.0f;     // annual parallax, mas

    // Apparent unit direction at Julian Date `jd` for positions at Julian year `epoch`:
    // proper motion, then annual parallax against a low-precision Sun. A star with all
    // three motion fields exactly zero returns `unit` bit for bit.
    Vec3 unit_at(double jd, double epoch) const;
};

struct Pair {
    float cos_theta = 0.0f;  // cosine of the two stars' angular separation
    std::uint16_t i = 0;     // star indices; a pair stands for both orderings
    std::uint16_t j = 0;
};

// A bounds-checked little-endian cursor over one byte image.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}

    std::size_t position() const { return pos_; }
    std::size_t remaining() const { return data_.size() - pos_; }
    bool at_end() const { return pos_ == data_.size(); }

    Result<std::uint16_t> u16();
    Result<std::uint32_t> u32();
    Result<float> f32();
    Result<double> f64();
    // The next `width` bytes as one block, with the same truncation rule as a field.
    Result<std::span<const std::uint8_t>> block(std::size_t width);
    // Reads 4 bytes of magic, the u32 version and the u32 record count; returns the count.
    Result<std::uint32_t> expect_header(const char (&magic)[5], std::uint32_t version);

private:
    // The next `width` bytes, or "truncated: wanted {width} bytes at offset {position}".
    Result<const std::uint8_t*> take(std::size_t width);

    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
};

// The run of `pairs` (sorted by cos_theta) with lo <= cos_theta <= hi, cos_theta
// widened to double, found by two binary searches; empty when lo > hi or either is NaN.
std::span<const Pair> pairs_in_range(std::span<const Pair> pairs, double lo, double hi);

class SkyIndexSet;

struct Catalog {
    std::vector<Star> stars;  // file order, brightest first; the index is the star index
    std::vector<Pair> pairs;  // sorted by cos_theta, non-decreasing
    double epoch = 2000.0;    // Julian year of the positions
    // Lookups of stars near a direction, built by from_bytes for the matcher (null for
    // a catalog assembled by hand, whose matcher builds its own per call).
    std::shared_ptr<const SkyIndexSet> sky_indexes;

    // Parses and validates both file images; the first failure wins.
    static Result<Catalog> from_bytes(std::span<const std::uint8_t> catalog_image,
                                      std::span<const std::uint8_t> pairs_image);
    // Reads both files whole (catalog file first), then parses them.
    static Result<Catalog> load(const std::string& catalog_path, const std::string& pairs_path);

    // The two file images of these records, the inverse of from_bytes: parsing them
    // gives back an equal catalog, every field bit for bit (NaN payloads included),
    // and a catalog loaded from files writes those files' bytes again. The sizes are
    // 20 + 60 * stars.size() and 12 + 8 * pairs.size(); `out` must be exactly that long.
    std::size_t catalog_image_size() const;
    std::size_t pairs_image_size() const;
    void write_catalog_image(std::span<std::uint8_t> out) const;
    void write_pairs_image(std::span<std::uint8_t> out) const;

    // The run of pairs with lo <= cos_theta <= hi (the free pairs_in_range over `pairs`).
    std::span<const Pair> pairs_in_range(double lo, double hi) const { return stelvane::pairs_in_range(pairs, lo, hi); }

    // Whether the index holds the stars numbered hr_a and hr_b (either order) at a
    // separation within sep_deg +- tol_deg degrees.
    bool has_pair(std::uint32_t hr_a, std::uint32_t hr_b, double sep_deg, double tol_deg) const;
};

}  // namespace stelvane
