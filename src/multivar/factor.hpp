// Sequential conditional factorization: each point is built from scratch,
// coordinate i drawn by the user's function given coordinates 0 .. i-1.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <vector>

#include "error.hpp"
#include "random/rng.hpp"

namespace drovik {

// The user's factorization: its dimension and the draw of coordinate i given the
// i values drawn so far. Never fails (NaN is stored like any value); may throw.
class ConditionalFactorization {
public:
    virtual ~ConditionalFactorization() = default;
    virtual std::size_t dimension() const = 0;
    virtual double sample_i(ChachaRng& rng, std::size_t i, std::span<const double> prefix) const = 0;
};

class ConditionalFactorSampler {
public:
    // `factors` must not be null (Panic otherwise).
    explicit ConditionalFactorSampler(std::shared_ptr<const ConditionalFactorization> factors);

    // One point of dimension() values, or McmcFailed when dimension() == 0.
    // Nothing is remembered between draws.
    std::expected<std::vector<double>, SampleError> sample_with_rng(ChachaRng& rng) const;
    // sample_with_rng with the calling thread's generator.
    std::expected<std::vector<double>, SampleError> sample() const;

    std::size_t dim() const { return factors_->dimension(); }

private:
    std::shared_ptr<const ConditionalFactorization> factors_;
};

}  // namespace drovik
