// Finite discrete distribution over caller-given points and masses.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "error.hpp"
#include "random/rng.hpp"

namespace drovik {

class DiscreteSampler {
public:
    // Points are kept exactly as given (order, duplicates, any value); masses
    // are normalized into a cumulative table whose last entry is exactly 1.
    static std::expected<DiscreteSampler, BuildError> from_pmf(std::vector<double> points,
                                                               std::vector<double> pmf);

    std::size_t len() const { return points_.size(); }
    const std::vector<double>& points() const { return points_; }

    // Mass of the first point within 1e-12 of x, else 0.
    double pmf(double x) const;
    // Throw Panic with the index-out-of-bounds text when index >= len().
    double pmf_at(std::uint64_t index) const;
    double cdf_at(std::uint64_t index) const;

    std::expected<double, SampleError> ppf(double u) const;
    std::expected<double, SampleError> sample(ChachaRng& rng) const { return ppf(uniform(rng)); }
    // Fills `out` draw by draw; the first failing draw ends the fill.
    std::expected<void, SampleError> sample_into(std::span<double> out, ChachaRng& rng) const;

    double mean() const;
    double var() const;
    double std() const;

private:
    DiscreteSampler(std::vector<double> points, std::vector<double> cdf)
        : points_(std::move(points)), cdf_(std::move(cdf)) {}

    double mass(std::size_t i) const { return i == 0 ? cdf_[0] : cdf_[i] - cdf_[i - 1]; }
    std::size_t quantile_index(double u) const;

    std::vector<double> points_;
    std::vector<double> cdf_;
};

}  // namespace drovik
