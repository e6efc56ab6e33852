// Messages of the engine's error kinds and the number formatting they use.
#include "core/error.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace stelvane {

namespace {

// Non-finite values print the same way in both formats.
bool format_non_finite(double value, std::string& out) {
    if (std::isnan(value)) {
        out = "NaN";
        return true;
    }
    if (std::isinf(value)) {
        out = value > 0 ? "inf" : "-inf";
        return true;
    }
    return false;
}

struct MessageOf {
    std::string operator()(const InsufficientStars& e) const {
        return "insufficient stars: needed " + std::to_string(e.needed) + ", got " + std::to_string(e.got);
    }
    std::string operator()(const MatchAmbiguous& e) const {
        return "star pattern match is ambiguous: " + std::to_string(e.list_a.size()) + " vs " +
               std::to_string(e.list_b.size()) + " correspondences";
    }
    std::string operator()(const NoMatch& e) const {
        return e.detail.empty() ? "no star pattern match found" : "no star pattern match found: " + e.detail;
    }
    std::string operator()(const SingularGeometry&) const { return "observation geometry is singular"; }
    std::string operator()(const BadImage& e) const { return "bad image: " + e.detail; }
    std::string operator()(const DegenerateUp&) const {
        return "up vector is degenerate: zero length or non-finite";
    }
    std::string operator()(const BadPosition& e) const { return "bad position: " + e.detail; }
    std::string operator()(const CatalogFormat& e) const { return "catalog format error: " + e.detail; }
    std::string operator()(const Io& e) const { return "i/o error: " + e.detail; }
    std::string operator()(const ThinLock& e) const {
        return std::string("thin lock: ") + thin_lock_reason_text(e.reason) + " (matched " +
               std::to_string(e.matched) + " stars, margin " + std::to_string(e.margin) + ", residual rms " +
               format_fixed(e.residual_rms_rad, 6) + " rad)";
    }
    std::string operator()(const CalibrationRefused& e) const {
        return std::string("calibration refused: ") + calibration_refusal_text(e.reason) + " (" + e.detail + ")";
    }
};

}  // namespace

const char* thin_lock_reason_text(ThinLockReason reason) {
    switch (reason) {
        case ThinLockReason::TooFewMatched: return "fewer matched stars than the configured minimum";
        case ThinLockReason::ResidualTooLarge: return "residual rms above the configured maximum";
    }
    return "";
}

const char* calibration_refusal_text(CalibrationRefusal reason) {
    switch (reason) {
        case CalibrationRefusal::NoIdentification: return "no frame identified";
        case CalibrationRefusal::TooFewStars: return "too few identified stars";
        case CalibrationRefusal::StarsNearCentre: return "stars too close to the centre";
        case CalibrationRefusal::ResidualsTooLarge: return "residuals too large for the lens model";
    }
    return "";
}

std::string Error::message() const { return std::visit(MessageOf{}, payload_); }

std::string format_number(double value) {
    std::string out;
    if (format_non_finite(value, out)) return out;
    // The shortest round-trip digits come from scientific notation ("d.ddde+XX");
    // they are then written out in plain decimal, padding with zeros.
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    if (ec != std::errc{}) return "NaN";  // unreachable with this buffer size
    const std::string_view text(buf, static_cast<std::size_t>(end - buf));
    const std::size_t e_pos = text.find('e');
    std::string_view mantissa = text.substr(0, e_pos);
    const int exponent = std::atoi(std::string(text.substr(e_pos + 1)).c_str());
    if (!mantissa.empty() && mantissa.front() == '-') {
        out.push_back('-');
        mantissa.remove_prefix(1);
    }
    std::string digits;
    for (char c : mantissa) {
        if (c != '.') digits.push_back(c);
    }
    // The value is 0.digits * 10^(exponent + 1): the point goes after `point` digits.
    const long point = static_cast<long>(exponent) + 1;
    if (point <= 0) {
        out.append("0.");
        out.append(static_cast<std::size_t>(-point), '0');
        out.append(digits);
    } else if (static_cast<std::size_t>(point) >= digits.size()) {
        out.append(digits);
        out.append(static_cast<std::size_t>(point) - digits.size(), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(point));
    }
    return out;
}

std::string format_fixed(double value, int decimals) {
    std::string out;
    if (format_non_finite(value, out)) return out;
    char buf[400];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    if (ec != std::errc{}) {
        // Only a huge decimal count overflows the buffer; fall back to printf's bounded form.
        int n = std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
        return std::string(buf, n > 0 ? std::min<std::size_t>(n, sizeof buf - 1) : 0);
    }
    return std::string(buf, end);
}

}  // namespace stelvane
