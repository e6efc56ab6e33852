// The engine's closed set of failure kinds, the Result type every engine
// operation returns, and the plain-decimal number formatting used in messages.
// Nothing here throws; callers inspect the Result and map the Error at the
// module boundary.
#pragma once

#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace stelvane {

// One identified star: a camera-vector index paired with a catalog star index.
struct Correspondence {
    std::size_t cam;
    std::size_t star;
    bool operator==(const Correspondence&) const = default;
};

// Error payloads, in the declared order of the kinds (the variant index is the kind).
struct InsufficientStars { std::size_t needed; std::size_t got; };
struct MatchAmbiguous {
    std::vector<Correspondence> list_a;  // the identification that led when the tie was recorded
    std::vector<Correspondence> list_b;  // its rival
    double residual_a;
    double residual_b;
};
// `detail` is empty for a search that found nothing; otherwise it says why no
// search was completed (a tolerance too wide for the catalog to search in bounded time).
struct NoMatch { std::string detail; };
struct SingularGeometry {};
struct BadImage { std::string detail; };
struct DegenerateUp {};
struct BadPosition { std::string detail; };
struct CatalogFormat { std::string detail; };
struct Io { std::string detail; };
enum class ThinLockReason { TooFewMatched, ResidualTooLarge };
// The fixed text of a thin-lock reason, as the message prints it.
const char* thin_lock_reason_text(ThinLockReason reason);
struct ThinLock {
    ThinLockReason reason;
    std::size_t matched;
    std::size_t margin;
    double residual_rms_rad;
};
// Why a lens calibration was refused.
enum class CalibrationRefusal { NoIdentification, TooFewStars, StarsNearCentre, ResidualsTooLarge };
// The fixed text of a calibration refusal, as the message prints it.
const char* calibration_refusal_text(CalibrationRefusal reason);
struct CalibrationRefused {
    CalibrationRefusal reason;
    std::string detail;  // the figures behind the reason
};

enum class ErrorKind {
    InsufficientStars,
    MatchAmbiguous,
    NoMatch,
    SingularGeometry,
    BadImage,
    DegenerateUp,
    BadPosition,
    CatalogFormat,
    Io,
    ThinLock,
    CalibrationRefused,
};

class Error {
public:
    using Payload = std::variant<InsufficientStars, MatchAmbiguous, NoMatch, SingularGeometry, BadImage,
                                 DegenerateUp, BadPosition, CatalogFormat, Io, ThinLock, CalibrationRefused>;

    template <class P>
        requires std::is_constructible_v<Payload, P&&>
    Error(P&& payload) : payload_(std::forward<P>(payload)) {}  // NOLINT: implicit by design

    ErrorKind kind() const { return static_cast<ErrorKind>(payload_.index()); }
    const Payload& payload() const { return payload_; }
    template <class P> const P* get_if() const { return std::get_if<P>(&payload_); }

    // The user-facing text of this error, exactly as the module raises it.
    std::string message() const;

private:
    Payload payload_;
};

// A value or an Error. Engine operations return this instead of throwing.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
    Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT: implicit by design
    // Straight from a payload, so `return NoMatch{};` works in a function returning Result<T>.
    template <class P>
        requires(std::is_constructible_v<Error::Payload, P &&> && !std::is_convertible_v<P &&, T>)
    Result(P&& payload) : v_(std::in_place_index<1>, Error(std::forward<P>(payload))) {}  // NOLINT

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T* operator->() { return &std::get<0>(v_); }
    const T* operator->() const { return &std::get<0>(v_); }
    T& operator*() & { return std::get<0>(v_); }
    const T& operator*() const& { return std::get<0>(v_); }

    const Error& error() const& { return std::get<1>(v_); }
    Error&& error() && { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, Error> v_;
};

// Success with no value, for operations that only validate or mutate.
struct Ok {};
using Status = Result<Ok>;

// Shortest decimal that reads back to the same double, never with an exponent:
// 64.0 -> "64", 0.5 -> "0.5", 1e-7 -> "0.0000001", 1e21 -> "1000000000000000000000",
// NaN -> "NaN", infinities -> "inf" / "-inf".
std::string format_number(double value);

// Fixed-point with exactly `decimals` digits after the point (rounded half to even
// on the binary value, as printf does); NaN -> "NaN", infinities -> "inf" / "-inf".
std::string format_fixed(double value, int decimals);

}  // namespace stelvane
