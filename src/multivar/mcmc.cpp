#include "multivar/mcmc.hpp"

#include <cmath>
#include <utility>

namespace drovik {

std::expected<MetropolisHastingsNd, BuildError> MetropolisHastingsNd::create(SharedNdFunction pdf,
                                                                             HyperRect support,
                                                                             const MetropolisHastingsParams& params) {
    // A step of 0 grows at the first adapted step; without adaptation it never moves.
    const bool adapts = params.adapt_steps > 0;
    const double step = params.step_size;
    if (!(std::isfinite(step) && (step > 0.0 || (adapts && step == 0.0)))) {
        return std::unexpected(BuildError::invalid_chain_parameter(adapts ? chain_text::step_size_not_negative
                                                                          : chain_text::step_size_positive));
    }
    // NaN would carry into the step size at the first adaptation.
    if (std::isnan(params.target_accept))
        return std::unexpected(BuildError::invalid_chain_parameter(chain_text::target_accept_number));
    return MetropolisHastingsNd(std::move(pdf), std::move(support), params);
}

std::expected<void, SampleError> MetropolisHastingsNd::init_with_rng(ChachaRng& rng) {
    auto start = uniform_start(support_, *pdf_, params_.max_init_tries, rng);
    if (!start) return std::unexpected(SampleError::of(SampleError::Kind::McmcFailed));
    current_ = std::move(start->point);
    current_log_pdf_ = start->log_pdf;
    // The step size keeps its value; adaptation starts again with the counters.
    n_steps_ = 0;
    n_accepted_ = 0;
    return {};
}

std::expected<std::span<const double>, SampleError> MetropolisHastingsNd::step_with_rng(ChachaRng& rng) {
    if (!current_) return std::unexpected(SampleError::of(SampleError::Kind::McmcNotInitialized));
    proposal_ = *current_;
    for (std::size_t i = 0; i < proposal_.size(); ++i) {
        const double z = standard_normal(rng);
        proposal_[i] = support_.reflect_into(i, proposal_[i] + step_size_ * z);
    }
    const double proposed_log_pdf = log_density((*pdf_)(proposal_));
    // Counted only now, so that a step the density interrupted is not counted.
    ++n_steps_;
    if (!std::isfinite(proposed_log_pdf)) return std::span<const double>(*current_);
    const double u = uniform(rng);
    // ln u < 0 for every u in [0, 1): an uphill proposal is accepted without the logarithm.
    const double log_ratio = proposed_log_pdf - current_log_pdf_;
    if (log_ratio >= 0.0 || std::log(u) < log_ratio) {
        std::swap(*current_, proposal_);
        current_log_pdf_ = proposed_log_pdf;
        ++n_accepted_;
    }
    if (params_.adapt_steps != 0 && n_steps_ <= params_.adapt_steps) adapt();
    return std::span<const double>(*current_);
}

void MetropolisHastingsNd::adapt() {
    const double rate = static_cast<double>(n_accepted_) / static_cast<double>(n_steps_);
    const double gain = 1.0 / std::sqrt(static_cast<double>(n_steps_) + 10.0);
    double delta = rate - params_.target_accept;
    if (delta < -0.2) delta = -0.2;
    else if (delta > 0.2) delta = 0.2;
    double adapted = std::exp(std::log(step_size_) + gain * delta);
    // Written out so that a NaN step size stays NaN.
    if (adapted < params_.min_step) adapted = params_.min_step;
    else if (adapted > params_.max_step) adapted = params_.max_step;
    step_size_ = adapted;
}

std::expected<std::vector<double>, SampleError> MetropolisHastingsNd::sample() {
    auto point = step();
    if (!point) return std::unexpected(point.error());
    return std::vector<double>(point->begin(), point->end());
}

std::expected<void, SampleError> MetropolisHastingsNd::burn_in(ChachaRng& rng) {
    if (!current_) return std::unexpected(SampleError::of(SampleError::Kind::McmcNotInitialized));
    for (std::uint64_t i = 0; i < params_.burn_in; ++i) {
        if (auto stepped = step_with_rng(rng); !stepped) return std::unexpected(stepped.error());
    }
    return {};
}

std::expected<std::span<const double>, SampleError> MetropolisHastingsNd::thinned_point(ChachaRng& rng) {
    const std::uint64_t thin = params_.thin == 0 ? 1 : params_.thin;
    for (std::uint64_t i = 1; i < thin; ++i) {
        if (auto stepped = step_with_rng(rng); !stepped) return std::unexpected(stepped.error());
    }
    return step_with_rng(rng);
}

std::expected<std::vector<std::vector<double>>, SampleError> MetropolisHastingsNd::sample_n_with_rng(std::uint64_t n,
                                                                                                    ChachaRng& rng) {
    if (auto burnt = burn_in(rng); !burnt) return std::unexpected(burnt.error());
    std::vector<std::vector<double>> points;
    points.reserve(static_cast<std::size_t>(n));
    for (std::uint64_t i = 0; i < n; ++i) {
        auto point = thinned_point(rng);
        if (!point) return std::unexpected(point.error());
        points.emplace_back(point->begin(), point->end());
    }
    return points;
}

double MetropolisHastingsNd::accept_rate() const {
    if (n_steps_ == 0) return 0.0;
    return static_cast<double>(n_accepted_) / static_cast<double>(n_steps_);
}

}  // namespace drovik
