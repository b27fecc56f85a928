// Adaptive random-walk Metropolis-Hastings on a box: Gaussian steps in every
// coordinate, folded back by reflection; during the first adapt_steps steps
// after init the step size moves toward a target acceptance rate.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "error.hpp"
#include "multivar/support.hpp"
#include "random/rng.hpp"

namespace drovik {

struct MetropolisHastingsParams {
    double step_size = 0.25;
    std::uint64_t burn_in = 1000;
    std::uint64_t thin = 1;  // 0 acts as 1
    double target_accept = 0.25;
    std::uint64_t adapt_steps = 2000;  // 0: no adaptation
    double min_step = 1e-4;
    double max_step = 10.0;
    std::uint64_t max_init_tries = 100000;
};

class MetropolisHastingsNd {
public:
    static std::expected<MetropolisHastingsNd, BuildError> create(SharedNdFunction pdf, HyperRect support,
                                                                  const MetropolisHastingsParams& params);

    // Starts (or restarts) the chain at the first usable uniform point; on
    // failure the previous state stays.
    std::expected<void, SampleError> init_with_rng(ChachaRng& rng);
    std::expected<void, SampleError> init() { return init_with_rng(ThreadRng::current()); }

    // One step: 2d uniforms for the proposal, one more when its log density is
    // finite. Returns the current point after the step. A step that does not
    // finish (the density unwinds) leaves the state and counters as they were.
    std::expected<std::span<const double>, SampleError> step_with_rng(ChachaRng& rng);
    std::expected<std::span<const double>, SampleError> step() { return step_with_rng(ThreadRng::current()); }
    std::expected<std::vector<double>, SampleError> sample();

    // sample_n in two parts, so that a caller can stream the points: the
    // burn-in (after the initialisation check), then one thinned point at a time.
    std::expected<void, SampleError> burn_in(ChachaRng& rng);
    std::expected<std::span<const double>, SampleError> thinned_point(ChachaRng& rng);
    std::expected<std::vector<std::vector<double>>, SampleError> sample_n_with_rng(std::uint64_t n, ChachaRng& rng);
    std::expected<std::vector<std::vector<double>>, SampleError> sample_n(std::uint64_t n) {
        return sample_n_with_rng(n, ThreadRng::current());
    }

    // n_accepted / n_steps, or 0 before the first step.
    double accept_rate() const;
    double step_size() const { return step_size_; }
    std::uint64_t n_steps() const { return n_steps_; }
    std::uint64_t n_accepted() const { return n_accepted_; }
    const std::optional<std::vector<double>>& current() const { return current_; }
    const HyperRect& support() const { return support_; }

private:
    MetropolisHastingsNd(SharedNdFunction pdf, HyperRect support, const MetropolisHastingsParams& params)
        : support_(std::move(support)), pdf_(std::move(pdf)), params_(params), step_size_(params.step_size) {}

    void adapt();

    HyperRect support_;
    SharedNdFunction pdf_;
    MetropolisHastingsParams params_;
    std::optional<std::vector<double>> current_;
    std::vector<double> proposal_;  // reused; swapped in on acceptance
    double step_size_;
    double current_log_pdf_ = -INFINITY;
    std::uint64_t n_steps_ = 0;
    std::uint64_t n_accepted_ = 0;
};

}  // namespace drovik
