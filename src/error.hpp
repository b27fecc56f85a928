// Error values of the numeric core. Every fallible operation returns
// std::expected<T, BuildError> or std::expected<T, SampleError>; only a broken
// invariant throws (Panic), and the binding turns that into PanicException.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <stdexcept>
#include <string>

namespace drovik {

// A broken internal invariant (an index out of range, an entropy source that
// fails). Never used for a failure that the caller could cause by its input.
class Panic : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Shortest decimal that reads back as the same double, positional notation,
// "NaN" / "inf" / "-inf" for the special values.
std::string format_double(double value);

class BuildError {
public:
    enum class Kind : std::uint8_t {
        InvalidSupport,
        EmptySupport,
        NonPositiveMass,
        NonFinite,
        NormalizationFailed,
        InvalidScale,
        InvalidHistogram,
        TruncationOutsideSupport,
        InvalidDimension,
        InvalidPdfMax,
        TdrBuildFailed,
        TableInversionFailed,
        InvalidChainParameter,
    };

    static constexpr BuildError invalid_support(const char* detail) { return {Kind::InvalidSupport, detail}; }
    static constexpr BuildError non_finite(const char* what) { return {Kind::NonFinite, what}; }
    static constexpr BuildError of(Kind kind) { return {kind, nullptr}; }
    static constexpr BuildError invalid_chain_parameter(const char* rule) {
        return {Kind::InvalidChainParameter, rule};
    }

    std::string display() const;

    friend constexpr bool operator==(const BuildError&, const BuildError&) = default;

private:
    constexpr BuildError(Kind kind, const char* detail) : kind_(kind), detail_(detail) {}
    Kind kind_;
    const char* detail_;  // the text of InvalidSupport and NonFinite, from support_text; else nullptr
};

class SampleError {
public:
    enum class Kind : std::uint8_t {
        QuantileOutOfRange,
        InversionFailed,
        PdfRequired,
        IntegrationFailed,
        ConfidenceOutOfRange,
        RejectionFailed,
        TdrHatFailed,
        TdrDrawFailed,
        McmcNotInitialized,
        McmcFailed,
        AbovePdfMax,
    };

    static constexpr SampleError quantile_out_of_range(double u) { return {Kind::QuantileOutOfRange, u}; }
    static constexpr SampleError confidence_out_of_range(double c) { return {Kind::ConfidenceOutOfRange, c}; }
    static constexpr SampleError of(Kind kind) { return {kind, 0.0}; }

    std::string display() const;

    // Bitwise payload comparison, so that NaN payloads compare equal in tests.
    friend bool operator==(const SampleError& a, const SampleError& b);

private:
    constexpr SampleError(Kind kind, double value) : kind_(kind), value_(value) {}
    Kind kind_;
    double value_;  // the offending value of QuantileOutOfRange and ConfidenceOutOfRange
};

// The detail texts of InvalidSupport and NonFinite, and below those of
// InvalidChainParameter. With the texts of error.cpp they are every message the
// core shows.
namespace support_text {
inline constexpr const char* lo_not_below_hi = "lo must be strictly less than hi";
inline constexpr const char* bounds = "support bounds";
inline constexpr const char* length_mismatch = "points and pmf must have the same length";
inline constexpr const char* tdr_support_mismatch = "pdf/dpdf support must match opts.support";
inline constexpr const char* tdr_needs_density = "TDR sampling requires a PDF (use from_pdf_fn, not from_cdf_fn)";
inline constexpr const char* hyper_rect_empty = "hyper-rect cannot be empty";
inline constexpr const char* hyper_rect_dimension_mismatch = "hyper-rect lo/hi must have same dimension";
inline constexpr const char* hyper_rect_lo_not_below_hi = "each lo must be < hi";
inline constexpr const char* hyper_rect_bounds = "hyper-rect bounds";
inline constexpr const char* hyper_rect_widths = "hyper-rect widths";
}  // namespace support_text

// What a chain's parameters must be: outside these a chain never moves or leaves its box.
namespace chain_text {
inline constexpr const char* step_size_positive = "step_size must be finite and positive";
inline constexpr const char* step_size_not_negative = "step_size must be finite and not negative";
inline constexpr const char* target_accept_number = "target_accept must not be NaN";
inline constexpr const char* leapfrog_steps_positive = "leapfrog_steps must be at least 1";
inline constexpr const char* grad_eps_positive = "grad_eps must be finite and positive";
}  // namespace chain_text

// The panics a caller can meet: an index past the end of a table (a Python
// caller's index is not checked before), and an entropy source that fails.
[[noreturn]] void panic_index_out_of_bounds(std::size_t len, std::uint64_t index);
[[noreturn]] void panic_rng_init_failed(const std::string& reason);
[[noreturn]] void panic_rng_reseed_failed(const std::string& reason);

// The most intervals a polynomial quantile table may have.
inline constexpr std::size_t inverse_polynomial_max_intervals = 20000;

// Why a table could not be built. Its display text says what went wrong and
// what to try; the binding raises it as BuildError.
class InversePolynomialError {
public:
    enum class Kind : std::uint8_t {
        Support,               // the BuildError of the support check
        ResolutionOutOfRange,  // value: u_resolution
        OrderOutOfRange,       // the order
        CenterOutsideSupport,  // value: center
        CenterNotPositive,     // at: center, value: the density there
        NoPositiveDensity,
        InvalidDensity,        // at: x, value: the density there
        NotIntegrable,         // at: where the quadrature did not settle
        ResolutionNotReached,  // value: u_resolution, at: where the refinement stalled
        TooManyIntervals,      // value: u_resolution
        PeakSubnormal,         // at: the center, value: the density there
    };

    static InversePolynomialError support(BuildError error) { return {Kind::Support, error, 0.0, 0.0}; }
    static InversePolynomialError of(Kind kind, double value = 0.0, double at = 0.0) {
        return {kind, BuildError::of(BuildError::Kind::InvalidSupport), value, at};
    }
    static InversePolynomialError order_out_of_range(std::uint64_t order) {
        InversePolynomialError error = of(Kind::OrderOutOfRange);
        error.order_ = order;
        return error;
    }

    Kind kind() const { return kind_; }
    double value() const { return value_; }
    double at() const { return at_; }
    std::string display() const;

    friend bool operator==(const InversePolynomialError&, const InversePolynomialError&) = default;

private:
    InversePolynomialError(Kind kind, BuildError build, double value, double at)
        : kind_(kind), build_(build), value_(value), at_(at) {}
    Kind kind_;
    BuildError build_;
    double value_;
    double at_;
    std::uint64_t order_ = 0;
};

}  // namespace drovik
