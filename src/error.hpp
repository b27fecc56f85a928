// Error values of the numeric core. Every fallible operation returns
// std::expected<T, BuildError> or std::expected<T, SampleError>; only a broken
// invariant throws (Panic), and the binding turns that into PanicException.
#pragma once

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
    };

    static constexpr BuildError invalid_support(const char* detail) { return {Kind::InvalidSupport, detail}; }
    static constexpr BuildError non_finite(const char* what) { return {Kind::NonFinite, what}; }
    static constexpr BuildError of(Kind kind) { return {kind, nullptr}; }

    constexpr Kind kind() const { return kind_; }
    // The static text of InvalidSupport and NonFinite; nullptr for the others.
    constexpr const char* detail() const { return detail_; }
    std::string display() const;

    friend constexpr bool operator==(const BuildError&, const BuildError&) = default;

private:
    constexpr BuildError(Kind kind, const char* detail) : kind_(kind), detail_(detail) {}
    Kind kind_;
    const char* detail_;
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
    };

    static constexpr SampleError quantile_out_of_range(double u) { return {Kind::QuantileOutOfRange, u}; }
    static constexpr SampleError confidence_out_of_range(double c) { return {Kind::ConfidenceOutOfRange, c}; }
    static constexpr SampleError of(Kind kind) { return {kind, 0.0}; }

    constexpr Kind kind() const { return kind_; }
    // The offending value of QuantileOutOfRange and ConfidenceOutOfRange.
    constexpr double value() const { return value_; }
    std::string display() const;

    // Bitwise payload comparison, so that NaN payloads compare equal in tests.
    friend bool operator==(const SampleError& a, const SampleError& b);

private:
    constexpr SampleError(Kind kind, double value) : kind_(kind), value_(value) {}
    Kind kind_;
    double value_;
};

namespace support_text {
inline constexpr const char* lo_not_below_hi = "lo must be strictly less than hi";
inline constexpr const char* bounds = "support bounds";
inline constexpr const char* length_mismatch = "points and pmf must have the same length";
}  // namespace support_text

}  // namespace drovik
