#include "discrete/custom.hpp"

#include <cmath>

#include "bisect.hpp"
#include "random/draws.hpp"

namespace drovik {

std::expected<DiscreteSampler, BuildError> DiscreteSampler::from_pmf(std::vector<double> points,
                                                                     std::vector<double> pmf) {
    if (points.empty() || pmf.empty()) return std::unexpected(BuildError::of(BuildError::Kind::EmptySupport));
    if (points.size() != pmf.size())
        return std::unexpected(BuildError::invalid_support(support_text::length_mismatch));
    for (double mass : pmf) {
        // A mass of exactly zero is allowed; NaN fails this test too.
        if (!std::isfinite(mass) || mass < 0.0)
            return std::unexpected(BuildError::of(BuildError::Kind::NonPositiveMass));
    }
    double total = 0.0;
    for (double mass : pmf) total += mass;
    if (!std::isfinite(total) || total <= 0.0)
        return std::unexpected(BuildError::of(BuildError::Kind::NormalizationFailed));

    // Normalize in place: each mass is divided before it is added.
    double running = 0.0;
    for (double& entry : pmf) {
        running += entry / total;
        entry = running;
    }
    pmf.back() = 1.0;
    return DiscreteSampler(std::move(points), std::move(pmf));
}

double DiscreteSampler::pmf(double x) const {
    for (std::size_t i = 0; i < points_.size(); ++i) {
        if (std::fabs(points_[i] - x) < 1e-12) return mass(i);
    }
    return 0.0;
}

double DiscreteSampler::pmf_at(std::uint64_t index) const {
    // cdf[index - 1] is read before cdf[index], so that is the index reported.
    if (index > cdf_.size()) panic_index_out_of_bounds(cdf_.size(), index - 1);
    if (index == cdf_.size()) panic_index_out_of_bounds(cdf_.size(), index);
    return mass(index);
}

double DiscreteSampler::cdf_at(std::uint64_t index) const {
    if (index >= cdf_.size()) panic_index_out_of_bounds(cdf_.size(), index);
    return cdf_[index];
}

std::size_t DiscreteSampler::quantile_index(double u) const { return cumulative_index(cdf_, u); }

std::expected<double, SampleError> DiscreteSampler::ppf(double u) const {
    if (!(u > 0.0 && u < 1.0)) return std::unexpected(SampleError::quantile_out_of_range(u));
    return points_[quantile_index(u)];
}

std::expected<void, SampleError> DiscreteSampler::sample_into(std::span<double> out, ChachaRng& rng) const {
    return draw_into(out, [&] { return sample(rng); });
}

double DiscreteSampler::mean() const {
    double sum = 0.0;
    for (std::size_t i = 0; i < points_.size(); ++i) sum += points_[i] * mass(i);
    return sum;
}

double DiscreteSampler::var() const {
    const double mu = mean();
    double sum = 0.0;
    for (std::size_t i = 0; i < points_.size(); ++i) {
        const double d = points_[i] - mu;
        sum += mass(i) * (d * d);
    }
    return sum;
}

double DiscreteSampler::std() const { return std::sqrt(var()); }

}  // namespace drovik
