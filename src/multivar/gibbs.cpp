#include "multivar/gibbs.hpp"

namespace drovik {

std::expected<GibbsSamplerNd, SampleError> GibbsSamplerNd::create(std::shared_ptr<const ConditionalSampler> cond,
                                                                  HyperRect support, std::uint64_t sweeps_per_sample,
                                                                  std::vector<double> init) {
    if (!cond) throw Panic("GibbsSamplerNd needs a conditional sampler");
    if (init.size() != support.dim()) return std::unexpected(SampleError::of(SampleError::Kind::McmcFailed));
    return GibbsSamplerNd(std::move(support), std::move(cond), std::move(init), sweeps_per_sample);
}

const std::vector<double>& GibbsSamplerNd::step(ChachaRng& rng) {
    const std::span<const double> view(state_);
    for (std::uint64_t sweep = 0; sweep < sweeps_per_sample_; ++sweep) {
        // The user sees the live state: coordinates before i already replaced.
        for (std::size_t i = 0; i < state_.size(); ++i) state_[i] = cond_->sample_coord(rng, i, view);
    }
    return state_;
}

std::vector<double> GibbsSamplerNd::sample() { return step(ThreadRng::current()); }

}  // namespace drovik
