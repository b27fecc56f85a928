#include "multivar/cdf_mc.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace drovik {

namespace {

// Negative values, NaN from a failing user function and infinities add nothing;
// their points still count in the number of samples.
bool counts(double y) { return std::isfinite(y) && y >= 0.0; }

}  // namespace

std::expected<CdfMcEstimator, BuildError> CdfMcEstimator::create(SharedNdFunction pdf, HyperRect support,
                                                                 std::uint64_t normalization_samples,
                                                                 std::uint64_t cdf_samples) {
    if (!pdf) throw Panic("CdfMcEstimator needs a density");
    return CdfMcEstimator(std::move(support), std::move(pdf), normalization_samples, cdf_samples);
}

std::expected<double, SampleError> CdfMcEstimator::estimate_normalization_with_rng(ChachaRng& rng) {
    const std::uint64_t n = std::max<std::uint64_t>(normalization_samples_, 1);
    std::vector<double> point(support_.dim());
    double sum = 0.0;
    for (std::uint64_t k = 0; k < n; ++k) {
        support_.uniform_point(rng, point);
        const double y = (*pdf_)(point);
        if (counts(y)) sum += y;
    }
    const double z = (sum / static_cast<double>(n)) * support_.volume();
    if (!(std::isfinite(z) && z > 0.0)) return std::unexpected(SampleError::of(SampleError::Kind::IntegrationFailed));
    // Only now, after every evaluation returned, is the cache touched.
    normalization_ = z;
    return z;
}

std::expected<double, SampleError> CdfMcEstimator::estimate_normalization() {
    return estimate_normalization_with_rng(ThreadRng::current());
}

std::expected<double, SampleError> CdfMcEstimator::cdf_with_rng(std::span<const double> x, ChachaRng& rng) {
    const std::size_t d = support_.dim();
    if (x.size() != d) return std::unexpected(SampleError::of(SampleError::Kind::IntegrationFailed));
    double z;
    if (normalization_) {
        z = *normalization_;
    } else {
        auto estimated = estimate_normalization_with_rng(rng);
        if (!estimated) return std::unexpected(estimated.error());
        z = *estimated;
    }
    const std::uint64_t m = std::max<std::uint64_t>(cdf_samples_, 1);
    const std::vector<double>& lo = support_.lo();
    const std::vector<double>& hi = support_.hi();

    // One buffer: the upper corner b of the lower box, then the point.
    std::vector<double> buffer(d + d);
    const std::span<double> b(buffer.data(), d);
    const std::span<double> point(buffer.data() + d, d);
    for (std::size_t i = 0; i < d; ++i) b[i] = std::isnan(x[i]) ? hi[i] : std::min(hi[i], x[i]);

    double sum = 0.0;
    for (std::uint64_t k = 0; k < m; ++k) {
        for (std::size_t i = 0; i < d; ++i) {
            // An empty edge draws nothing; its coordinate stays on lo.
            point[i] = b[i] <= lo[i] ? lo[i] : lo[i] + (b[i] - lo[i]) * uniform(rng);
        }
        const double y = (*pdf_)(std::span<const double>(point));
        if (counts(y)) sum += y;
    }
    double v = 1.0;
    for (std::size_t i = 0; i < d; ++i) v *= std::max(b[i] - lo[i], 0.0);
    double f = ((sum / static_cast<double>(m)) * v) / z;
    if (f < 0.0) f = 0.0;
    if (f > 1.0) f = 1.0;
    return f;
}

std::expected<double, SampleError> CdfMcEstimator::cdf(std::span<const double> x) {
    return cdf_with_rng(x, ThreadRng::current());
}

}  // namespace drovik
