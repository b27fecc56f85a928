// Gaussian copula: a correlated standard normal vector through the Cholesky
// factor of a correlation (or covariance) matrix, mapped to probabilities by
// the normal distribution function and to values by the user's marginal
// quantile functions.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "error.hpp"
#include "random/rng.hpp"

namespace drovik {

// Only InvalidCorrelation is produced; DimensionMismatch exists for the binding's
// inventory. The text of a value is its name.
enum class CopulaError : std::uint8_t { InvalidCorrelation, DimensionMismatch };

// "InvalidCorrelation" / "DimensionMismatch".
const char* copula_error_name(CopulaError e);

// A user's marginal quantile function: u in (0, 1) to a value, or
// InversionFailed. May throw.
class QuantileFunction {
public:
    virtual ~QuantileFunction() = default;
    virtual std::expected<double, SampleError> operator()(double u) const = 0;
};

// Phi(y) through a Chebyshev-fitted erfc approximation (fractional error
// below 1.2e-7), clamped to [1e-12, 0.999999999999]; NaN stays NaN. It is not
// exact at 0: normal_cdf(0) = 0.499999985...
double normal_cdf(double y);

class GaussianCopula {
public:
    // InvalidCorrelation for an empty or non-square matrix (every row's length
    // checked before any arithmetic) and for a pivot that is not finite and
    // positive. Only the diagonal and the entries below it are read. A
    // covariance matrix is taken as the correlation matrix it scales: each
    // coordinate is divided by the square root of its diagonal entry before
    // normal_cdf, so that every marginal is the one its quantile function gives.
    static std::expected<GaussianCopula, CopulaError> create(std::vector<std::vector<double>> corr);

    std::size_t dim() const { return chol_.size(); }
    // Lower-triangular L, d rows of d values, zeros above the diagonal.
    const std::vector<std::vector<double>>& cholesky() const { return chol_; }

    // McmcFailed before any draw when ppfs.size() != dim(). Otherwise draws all
    // d normals (2d uniforms) first, then calls the quantile functions in
    // coordinate order; the first failing one ends the draw with its error.
    // The pointers must not be null.
    std::expected<std::vector<double>, SampleError> sample_with_ppfs(
        ChachaRng& rng, std::span<const QuantileFunction* const> ppfs) const;

private:
    GaussianCopula(std::vector<std::vector<double>> chol, std::vector<double> scale)
        : chol_(std::move(chol)), scale_(std::move(scale)) {}
    std::vector<std::vector<double>> chol_;
    std::vector<double> scale_;  // sqrt of the given diagonal: 1.0 for a correlation matrix
};

}  // namespace drovik
