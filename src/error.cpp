#include "error.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <string_view>

namespace drovik {

std::string format_double(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    // Shortest round-trip digits come from the scientific form ("d.ddde+XX");
    // they are then written out positionally, padded with zeros.
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    if (ec != std::errc{}) throw Panic("double does not fit its formatting buffer");
    const std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
    const std::size_t e = text.find('e');
    std::string_view mantissa = text.substr(0, e);
    int exponent = 0;
    std::from_chars(text.data() + e + 1 + (text[e + 1] == '+' ? 1 : 0), text.data() + text.size(), exponent);

    std::string out;
    if (mantissa.front() == '-') {
        out += '-';
        mantissa.remove_prefix(1);
    }
    std::string digits;
    for (char c : mantissa) {
        if (c != '.') digits += c;
    }
    // value = 0.digits * 10^(exponent + 1)
    const int point = exponent + 1;
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (static_cast<std::size_t>(point) >= digits.size()) {
        out += digits;
        out.append(static_cast<std::size_t>(point) - digits.size(), '0');
    } else {
        out += digits.substr(0, static_cast<std::size_t>(point));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(point));
    }
    return out;
}

std::string BuildError::display() const {
    switch (kind_) {
        case Kind::InvalidSupport: return std::string("invalid support interval: ") + detail_;
        case Kind::EmptySupport: return "discrete distribution has no support points";
        case Kind::NonPositiveMass: return "probability mass must be positive";
        case Kind::NonFinite: return std::string("non-finite value in ") + detail_;
        case Kind::NormalizationFailed: return "failed to normalize PDF on support";
        case Kind::InvalidScale: return "scale must be finite and positive";
        case Kind::InvalidHistogram: return "invalid histogram edges or counts";
        case Kind::TruncationOutsideSupport: return "truncation interval must lie inside base support";
        case Kind::InvalidDimension: return "invalid dimension";
        case Kind::InvalidPdfMax: return "pdf_max must be finite and positive";
        case Kind::TdrBuildFailed:
            return "tdr failed to build hat function (try InvSqrt transform or explicit dpdf)";
    }
    throw Panic("unknown BuildError variant");
}

std::string SampleError::display() const {
    switch (kind_) {
        case Kind::QuantileOutOfRange: return "quantile u=" + format_double(value_) + " not in (0, 1)";
        case Kind::InversionFailed: return "failed to invert CDF";
        case Kind::PdfRequired: return "operation requires an underlying PDF";
        case Kind::IntegrationFailed: return "numerical integration failed";
        case Kind::ConfidenceOutOfRange: return "confidence " + format_double(value_) + " must be in (0, 1)";
        case Kind::RejectionFailed: return "rejection sampler failed to accept";
        case Kind::TdrHatFailed: return "tdr failed to build hat function";
        case Kind::TdrDrawFailed: return "tdr failed to draw a sample";
        case Kind::McmcNotInitialized: return "mcmc sampler not initialized (call init)";
        case Kind::McmcFailed: return "mcmc sampler failed";
    }
    throw Panic("unknown SampleError variant");
}

void panic_index_out_of_bounds(std::size_t len, std::uint64_t index) {
    throw Panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                std::to_string(index));
}

void panic_rng_init_failed(const std::string& reason) { throw Panic("could not initialize ThreadRng: " + reason); }

void panic_rng_reseed_failed(const std::string& reason) { throw Panic("could not reseed ThreadRng: " + reason); }

bool operator==(const SampleError& a, const SampleError& b) {
    return a.kind_ == b.kind_ &&
           std::bit_cast<std::uint64_t>(a.value_) == std::bit_cast<std::uint64_t>(b.value_);
}

}  // namespace drovik
