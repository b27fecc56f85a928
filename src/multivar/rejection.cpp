#include "multivar/rejection.hpp"

#include <cmath>

namespace drovik {

std::expected<RejectionSamplerNd, BuildError> RejectionSamplerNd::create(SharedNdFunction pdf, HyperRect support,
                                                                         double pdf_max, std::uint64_t max_trials) {
    if (!std::isfinite(pdf_max) || !(pdf_max > 0.0)) return std::unexpected(BuildError::of(BuildError::Kind::InvalidPdfMax));
    return RejectionSamplerNd(std::move(pdf), std::move(support), pdf_max, max_trials);
}

std::expected<std::vector<double>, SampleError> RejectionSamplerNd::sample_with_rng(ChachaRng& rng) const {
    std::vector<double> x(support_.dim());
    for (std::uint64_t trial = 0; trial < max_trials_; ++trial) {
        support_.uniform_point(rng, x);
        const double y = (*pdf_)(x);
        // A negative, NaN or infinite value loses the trial without a second uniform.
        if (!(std::isfinite(y) && y >= 0.0)) continue;
        // Proof that the bound is wrong: accepting would sample a flattened density.
        if (y > pdf_max_) return std::unexpected(SampleError::of(SampleError::Kind::AbovePdfMax));
        if (pdf_max_ * uniform(rng) <= y) return x;
    }
    return std::unexpected(SampleError::of(SampleError::Kind::RejectionFailed));
}

}  // namespace drovik
