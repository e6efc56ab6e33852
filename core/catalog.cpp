// The star catalog and its pair index: a bounds-checked reader of the two
// untrusted file images, the loader that validates them in a fixed order, the
// writer of the same images (a catalog travels between processes as them), the
// separation lookup of the matcher, and star directions moved to a date.
#include "core/catalog.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "core/ephemeris.hpp"
#include "core/sky_index.hpp"
#include "core/units.hpp"

namespace stelvane {

namespace {

// A failure of the file content, with its detail text.
Error format_error(std::string detail) { return CatalogFormat{std::move(detail)}; }

// Little-endian loads of exactly sizeof(T) bytes, whatever the host's byte order.
std::uint16_t load_u16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t load_u32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t load_u64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(load_u32(p)) | (static_cast<std::uint64_t>(load_u32(p + 4)) << 32);
}

constexpr std::size_t kStarRecordBytes = 60;
constexpr std::size_t kPairRecordBytes = 8;
constexpr std::size_t kCatalogHeaderBytes = 20;  // magic, version, count, epoch
constexpr std::size_t kPairsHeaderBytes = 12;    // magic, version, count
constexpr std::uint32_t kCatalogVersion = 2;
constexpr std::uint32_t kPairsVersion = 1;

// Little-endian stores, the mirror of the loads; each returns the byte after the field.
std::uint8_t* store_u16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    return p + 2;
}
std::uint8_t* store_u32(std::uint8_t* p, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) p[k] = static_cast<std::uint8_t>(v >> (8 * k));
    return p + 4;
}
std::uint8_t* store_u64(std::uint8_t* p, std::uint64_t v) {
    return store_u32(store_u32(p, static_cast<std::uint32_t>(v)), static_cast<std::uint32_t>(v >> 32));
}
std::uint8_t* store_f32(std::uint8_t* p, float v) { return store_u32(p, std::bit_cast<std::uint32_t>(v)); }
std::uint8_t* store_f64(std::uint8_t* p, double v) { return store_u64(p, std::bit_cast<std::uint64_t>(v)); }

// Magic, version and record count; the count of a loaded catalog always fits its u32 field.
std::uint8_t* store_header(std::uint8_t* p, const char (&magic)[5], std::uint32_t version, std::size_t count) {
    std::memcpy(p, magic, 4);
    return store_u32(store_u32(p + 4, version), static_cast<std::uint32_t>(count));
}

// A star record's 60 bytes, the inverse of decode_star.
std::uint8_t* encode_star(std::uint8_t* p, const Star& s) {
    p = store_f32(store_u32(p, s.hr), s.vmag);
    p = store_f64(store_f64(p, s.ra), s.dec);
    p = store_f64(store_f64(store_f64(p, s.unit.x()), s.unit.y()), s.unit.z());
    return store_f32(store_f32(store_f32(p, s.pm_ra), s.pm_dec), s.parallax);
}

// A star record from its 60 bytes.
Star decode_star(const std::uint8_t* p) {
    Star s;
    s.hr = load_u32(p);
    s.vmag = std::bit_cast<float>(load_u32(p + 4));
    s.ra = std::bit_cast<double>(load_u64(p + 8));
    s.dec = std::bit_cast<double>(load_u64(p + 16));
    s.unit = Vec3(std::bit_cast<double>(load_u64(p + 24)), std::bit_cast<double>(load_u64(p + 32)),
                  std::bit_cast<double>(load_u64(p + 40)));
    s.pm_ra = std::bit_cast<float>(load_u32(p + 48));
    s.pm_dec = std::bit_cast<float>(load_u32(p + 52));
    s.parallax = std::bit_cast<float>(load_u32(p + 56));
    return s;
}

// The truncation error of a record cut short: its fields are read one by one, in
// file order, so the message names the field at which the image ends.
template <class... Read>
Error truncation_in_record(Reader& r, Read... read) {
    std::optional<Error> error;
    auto step = [&](auto read_field) {
        if (error) return;
        auto field = (r.*read_field)();
        if (!field) error = std::move(field).error();
    };
    (step(read), ...);
    // Callers only come here for a record that the image cuts short.
    return error ? std::move(*error) : format_error("record cut short");
}

// One star record: decoded in one step when wholly present, else the truncation.
Result<Star> read_star(Reader& r) {
    if (r.remaining() >= kStarRecordBytes) return decode_star(r.block(kStarRecordBytes)->data());
    return truncation_in_record(r, &Reader::u32, &Reader::f32, &Reader::f64, &Reader::f64, &Reader::f64,
                                &Reader::f64, &Reader::f64, &Reader::f32, &Reader::f32, &Reader::f32);
}

// The star records after the catalog header; N is the header's claim, not a promise.
Status read_stars(Reader& r, std::uint32_t count, std::size_t image_size, std::vector<Star>& out) {
    // Reserve only what the image could hold, so a forged count cannot force a huge allocation.
    out.reserve(std::min<std::size_t>(count, image_size / kStarRecordBytes));
    for (std::uint32_t k = 0; k < count; ++k) {
        auto star = read_star(r);
        if (!star) return star.error();
        out.push_back(*star);
    }
    return Ok{};
}

// The pair records after the pair header: each is read whole, then its order
// against its predecessor is checked, then its indices against the star count.
Status read_pairs(Reader& r, std::uint32_t count, std::size_t n_stars, std::vector<Pair>& out) {
    // The records wholly present are decoded straight from one block (this also
    // bounds the reservation by what the image could hold); a record cut short
    // after them is then read field by field for its truncation message.
    const std::size_t whole = std::min<std::size_t>(count, r.remaining() / kPairRecordBytes);
    const std::uint8_t* p = r.block(whole * kPairRecordBytes)->data();
    out.reserve(whole);
    double previous = -std::numeric_limits<double>::infinity();
    for (std::size_t k = 0; k < whole; ++k, p += kPairRecordBytes) {
        const Pair pair{std::bit_cast<float>(load_u32(p)), load_u16(p + 4), load_u16(p + 6)};
        const double c = pair.cos_theta;
        // Written as "not in order" rather than "previous > c" so that a NaN, which
        // would break the binary searches over this list, is refused as unsorted.
        if (!(previous <= c)) return format_error("pairs not sorted by cos_theta");
        if (pair.i >= n_stars || pair.j >= n_stars) {
            return format_error("pair index out of range: " + std::to_string(pair.i) + "," + std::to_string(pair.j));
        }
        out.push_back(pair);
        previous = c;
    }
    if (whole < count) return truncation_in_record(r, &Reader::f32, &Reader::u16, &Reader::u16);
    return Ok{};
}

// strerror_r comes in a GNU flavour (returns the text) and an XSI one (fills the buffer).
[[maybe_unused]] const char* strerror_text(int result, const char* buffer) {
    return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* strerror_text(const char* result, const char*) { return result; }

// "{description} (os error {code})", the system's own text for errno `code`.
Error io_error(int code) {
    char buffer[256] = {0};
    const char* text = strerror_text(strerror_r(code, buffer, sizeof buffer), buffer);
    return Io{std::string(text) + " (os error " + std::to_string(code) + ")"};
}

// Closes the descriptor on every path out of read_whole_file.
struct FileDescriptor {
    int fd;
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
};

// The largest up-front allocation a file's reported size may ask for; larger files grow as read.
constexpr std::size_t kMaxSizeHint = std::size_t{1} << 30;

// The whole content of the file at `path`, or the system's error for it.
Result<std::vector<std::uint8_t>> read_whole_file(const std::string& path) {
    // A path with an embedded NUL would silently name a different (shorter) path.
    if (path.find('\0') != std::string::npos) return io_error(EINVAL);
    FileDescriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) return io_error(errno);
    // A regular file is read in one pass when its size is known (plus one byte to
    // see the end); the size is only a hint, since the file may change meanwhile.
    std::size_t capacity = 4096;
    struct stat info {};
    if (::fstat(file.fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        capacity = std::max(capacity, std::min<std::size_t>(static_cast<std::size_t>(info.st_size) + 1, kMaxSizeHint));
    }
    std::vector<std::uint8_t> bytes(capacity);
    std::size_t used = 0;
    for (;;) {
        if (used == bytes.size()) bytes.resize(2 * bytes.size());
        const ssize_t n = ::read(file.fd, bytes.data() + used, bytes.size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            return io_error(errno);
        }
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    bytes.resize(used);
    return bytes;
}

}  // namespace

// --- Reader -----------------------------------------------------------------

Result<std::span<const std::uint8_t>> Reader::block(std::size_t width) {
    auto p = take(width);
    if (!p) return p.error();
    return std::span<const std::uint8_t>(*p, width);
}

Result<const std::uint8_t*> Reader::take(std::size_t width) {
    if (remaining() < width) {
        return format_error("truncated: wanted " + std::to_string(width) + " bytes at offset " +
                             std::to_string(pos_));
    }
    const std::uint8_t* p = data_.data() + pos_;
    pos_ += width;
    return p;
}

Result<std::uint16_t> Reader::u16() {
    auto p = take(2);
    if (!p) return p.error();
    return load_u16(*p);
}

Result<std::uint32_t> Reader::u32() {
    auto p = take(4);
    if (!p) return p.error();
    return load_u32(*p);
}

Result<float> Reader::f32() {
    auto p = take(4);
    if (!p) return p.error();
    return std::bit_cast<float>(load_u32(*p));
}

Result<double> Reader::f64() {
    auto p = take(8);
    if (!p) return p.error();
    return std::bit_cast<double>(load_u64(*p));
}

Result<std::uint32_t> Reader::expect_header(const char (&magic)[5], std::uint32_t version) {
    auto found_magic = take(4);
    if (!found_magic) return found_magic.error();
    if (std::memcmp(*found_magic, magic, 4) != 0) {
        return format_error("bad magic, expected \"" + std::string(magic, 4) + "\"");
    }
    auto found_version = u32();
    if (!found_version) return found_version.error();
    if (*found_version != version) {
        return format_error("unsupported version " + std::to_string(*found_version) + "; this build reads version " +
                             std::to_string(version));
    }
    return u32();
}

// --- Catalog ----------------------------------------------------------------

Result<Catalog> Catalog::from_bytes(std::span<const std::uint8_t> catalog_image,
                                    std::span<const std::uint8_t> pairs_image) {
    Catalog catalog;

    Reader stars(catalog_image);
    auto n_stars = stars.expect_header("SCAT", kCatalogVersion);
    if (!n_stars) return n_stars.error();
    auto epoch = stars.f64();
    if (!epoch) return epoch.error();
    catalog.epoch = *epoch;
    if (auto s = read_stars(stars, *n_stars, catalog_image.size(), catalog.stars); !s) return s.error();
    if (!stars.at_end()) return format_error("trailing bytes after catalog records");

    Reader pairs(pairs_image);
    auto n_pairs = pairs.expect_header("SPRS", kPairsVersion);
    if (!n_pairs) return n_pairs.error();
    if (auto s = read_pairs(pairs, *n_pairs, catalog.stars.size(), catalog.pairs); !s) return s.error();
    if (!pairs.at_end()) return format_error("trailing bytes after pairs records");
    catalog.sky_indexes = SkyIndexSet::build(catalog.stars);
    return catalog;
}

std::size_t Catalog::catalog_image_size() const { return kCatalogHeaderBytes + kStarRecordBytes * stars.size(); }

std::size_t Catalog::pairs_image_size() const { return kPairsHeaderBytes + kPairRecordBytes * pairs.size(); }

void Catalog::write_catalog_image(std::span<std::uint8_t> out) const {
    std::uint8_t* p = store_f64(store_header(out.data(), "SCAT", kCatalogVersion, stars.size()), epoch);
    for (const Star& s : stars) p = encode_star(p, s);
}

void Catalog::write_pairs_image(std::span<std::uint8_t> out) const {
    std::uint8_t* p = store_header(out.data(), "SPRS", kPairsVersion, pairs.size());
    for (const Pair& pair : pairs) p = store_u16(store_u16(store_f32(p, pair.cos_theta), pair.i), pair.j);
}

Result<Catalog> Catalog::load(const std::string& catalog_path, const std::string& pairs_path) {
    // Both files are read before either is parsed: an unreadable pair file is
    // reported even when the catalog file would fail to parse.
    auto catalog_image = read_whole_file(catalog_path);
    if (!catalog_image) return catalog_image.error();
    auto pairs_image = read_whole_file(pairs_path);
    if (!pairs_image) return pairs_image.error();
    return from_bytes(*catalog_image, *pairs_image);
}

std::span<const Pair> pairs_in_range(std::span<const Pair> pairs, double lo, double hi) {
    // Also empty for a NaN bound, which no cos_theta can satisfy.
    if (!(lo <= hi)) return {};
    const auto first = std::partition_point(pairs.begin(), pairs.end(),
                                            [lo](const Pair& p) { return static_cast<double>(p.cos_theta) < lo; });
    const auto last = std::partition_point(first, pairs.end(),
                                           [hi](const Pair& p) { return static_cast<double>(p.cos_theta) <= hi; });
    return {first, last};
}

bool Catalog::has_pair(std::uint32_t hr_a, std::uint32_t hr_b, double sep_deg, double tol_deg) const {
    const double lo = std::cos((sep_deg + tol_deg) * units::DEG);
    const double hi = std::cos((sep_deg - tol_deg) * units::DEG);
    for (const Pair& p : pairs_in_range(lo, hi)) {
        const std::uint32_t hr_i = stars[p.i].hr;
        const std::uint32_t hr_j = stars[p.j].hr;
        if ((hr_i == hr_a && hr_j == hr_b) || (hr_i == hr_b && hr_j == hr_a)) return true;
    }
    return false;
}

// --- Star -------------------------------------------------------------------

Vec3 Star::unit_at(double jd, double epoch) const {
    if (pm_ra == 0.0f && pm_dec == 0.0f && parallax == 0.0f) return unit;
    const double d = jd - units::J2000_JD;
    const double t = d / 365.25 + 2000.0 - epoch;  // years from the catalog epoch

    // Proper motion; pm_ra already carries the cos(dec) factor.
    const double ra1 = ra + static_cast<double>(pm_ra) * units::MAS * t / std::cos(dec);
    const double dec1 = dec + static_cast<double>(pm_dec) * units::MAS * t;
    const double ux = std::cos(ra1) * std::cos(dec1);
    const double uy = std::sin(ra1) * std::cos(dec1);
    const double uz = std::sin(dec1);

    // Geocentric direction of the Sun, low precision (about 0.01 deg).
    const Vec3 sun = sun_unit(jd);
    const double sx = sun.x();
    const double sy = sun.y();
    const double sz = sun.z();

    // Annual parallax displaces the star towards the Sun's direction projected
    // onto the sky plane at the star, by the parallax angle.
    const double p = static_cast<double>(parallax) * units::MAS;
    const double dot = ux * sx + uy * sy + uz * sz;
    const double vx = ux + p * (sx - dot * ux);
    const double vy = uy + p * (sy - dot * uy);
    const double vz = uz + p * (sz - dot * uz);
    const double norm = std::sqrt(vx * vx + vy * vy + vz * vz);
    return Vec3(vx / norm, vy / norm, vz / norm);
}

}  // namespace stelvane
