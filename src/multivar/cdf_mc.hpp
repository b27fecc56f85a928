// Monte Carlo estimate of the multivariate distribution function
// F(x) = P(X_1 <= x_1, ..., X_d <= x_d) of an unnormalized density on a box:
// Z = volume * mean of f at uniform points of the box (cached), and F(x) =
// volume of [lo, min(hi, x)] * mean of f at uniform points in it, divided by Z.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "error.hpp"
#include "multivar/support.hpp"
#include "random/rng.hpp"

namespace drovik {

class CdfMcEstimator {
public:
    // The box is validated by HyperRect itself, so this cannot fail today.
    // `pdf` must not be null (Panic otherwise). A count of 0 acts as 1.
    static std::expected<CdfMcEstimator, BuildError> create(SharedNdFunction pdf, HyperRect support,
                                                            std::uint64_t normalization_samples,
                                                            std::uint64_t cdf_samples);

    // Always a fresh estimate from d uniforms per point. A finite positive Z is
    // cached (replacing an earlier one) and returned; otherwise
    // IntegrationFailed and the cache keeps what it had. A density value adds
    // to the sum only when it is finite and >= 0.
    std::expected<double, SampleError> estimate_normalization_with_rng(ChachaRng& rng);
    std::expected<double, SampleError> estimate_normalization();

    // IntegrationFailed, before anything else, when x.size() != dim. Without a
    // cached Z, estimates it first from the same generator. A NaN coordinate
    // acts as hi[i]; a coordinate with min(hi, x) <= lo takes no uniform (the
    // points sit on lo there and the result is 0). The value is clamped to [0, 1].
    std::expected<double, SampleError> cdf_with_rng(std::span<const double> x, ChachaRng& rng);
    std::expected<double, SampleError> cdf(std::span<const double> x);

    std::optional<double> cached_normalization() const { return normalization_; }
    const HyperRect& support() const { return support_; }

private:
    CdfMcEstimator(HyperRect support, SharedNdFunction pdf, std::uint64_t normalization_samples,
                   std::uint64_t cdf_samples)
        : support_(std::move(support)),
          pdf_(std::move(pdf)),
          normalization_samples_(normalization_samples),
          cdf_samples_(cdf_samples) {}

    std::optional<double> normalization_;
    HyperRect support_;
    SharedNdFunction pdf_;
    std::uint64_t normalization_samples_;
    std::uint64_t cdf_samples_;
};

}  // namespace drovik
