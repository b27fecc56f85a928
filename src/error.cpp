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
        case Kind::TableInversionFailed: return "failed to invert CDF while building the quantile table";
        case Kind::InvalidChainParameter: return detail_;
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
        case Kind::AbovePdfMax: return "rejection sampler met the density above pdf_max";
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

std::string InversePolynomialError::display() const {
    const std::string v = format_double(value_);
    const std::string x = format_double(at_);
    switch (kind_) {
        case Kind::Support: return build_.display();
        case Kind::ResolutionOutOfRange:
            return "u_resolution " + v +
                   " is outside [1e-13, 1e-5]: double precision holds u-errors down to about 1e-13; choose a "
                   "value in that range";
        case Kind::OrderOutOfRange:
            return "order " + std::to_string(order_) +
                   " is outside [3, 17]: choose a polynomial degree in that range (5 suits most densities)";
        case Kind::CenterOutsideSupport:
            return "center " + v + " is not inside the support: give a point of the interval, or center=None to search for one";
        case Kind::CenterNotPositive:
            return "the density at center " + x + " is " + v +
                   ", not finite and positive: give a point where the density is positive, or center=None";
        case Kind::NoPositiveDensity:
            return "the density has no positive mass where a search over the support looked: give center= a point "
                   "where it is positive, or check the support";
        case Kind::InvalidDensity:
            return "the density is " + v + " at x=" + x +
                   ": it must be finite and non-negative inside the support (a density that raises counts as NaN; "
                   "a pole may sit only at an end of the interval)";
        case Kind::NotIntegrable:
            return "the integral of the density does not settle near x=" + x +
                   ": a pole there that is not integrable, a peak far narrower than the interval, or a density "
                   "that oscillates or is noisy; give an interval that leaves it out or is narrower, or a larger "
                   "u_resolution";
        case Kind::ResolutionNotReached:
            return "the table cannot reach u_resolution " + v + " near x=" + x +
                   ": the density has a pole, a jump or a gap there that the interpolation cannot resolve; try a "
                   "larger u_resolution, or an interval that ends at that point";
        case Kind::TooManyIntervals:
            return "the table needs more than " + std::to_string(inverse_polynomial_max_intervals) +
                   " intervals to reach u_resolution " + v + ": try a larger u_resolution or a higher order";
        case Kind::PeakSubnormal:
            return "the density at center " + x + " is " + v +
                   ", below the smallest normal double: values that small carry too few digits for a table; "
                   "multiply the density by a large constant (it need not be normalized)";
    }
    throw Panic("unknown InversePolynomialError variant");
}

}  // namespace drovik
