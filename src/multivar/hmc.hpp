// Hamiltonian Monte Carlo on a box for a density given without a gradient:
// central differences of ln f, leapfrog trajectories with a unit mass matrix,
// reflected at the walls (position folded back, momentum component turned
// around), a Metropolis test on the total energy.
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

struct HmcParams {
    double step_size = 0.05;
    std::uint64_t leapfrog_steps = 20;
    double grad_eps = 1e-6;
    std::uint64_t max_init_tries = 100000;
};

// Central differences of ln f at x with half-width h, coordinate by
// coordinate, f(x + h e_i) before f(x - h e_i); the perturbed points are not
// folded into the box. Where a central difference is not finite but one side
// is, the one-sided difference from ln f(x) (read once, at the first such
// coordinate) replaces it. `plus` and `minus` are scratch copies of x.
void grad_log_pdf_numeric(const NdFunction& pdf, std::span<const double> x, double h, std::span<double> gradient,
                          std::vector<double>& plus, std::vector<double>& minus);
std::vector<double> grad_log_pdf_numeric(const NdFunction& pdf, std::span<const double> x, double h);

class HmcSamplerNd {
public:
    static std::expected<HmcSamplerNd, BuildError> create(SharedNdFunction pdf, HyperRect support,
                                                          const HmcParams& params);

    std::expected<void, SampleError> init_with_rng(ChachaRng& rng);
    std::expected<void, SampleError> init() { return init_with_rng(ThreadRng::current()); }

    // One transition: 2d uniforms for the momentum, one more when the end
    // point's log density is finite; 2d(L + 1) + 1 density calls, and one more
    // for each gradient that falls back to a one-sided difference. Returns a
    // copy of the current point after it.
    std::expected<std::vector<double>, SampleError> sample_with_rng(ChachaRng& rng);
    std::expected<std::vector<double>, SampleError> sample() { return sample_with_rng(ThreadRng::current()); }

    const std::optional<std::vector<double>>& current() const { return current_; }
    const HyperRect& support() const { return support_; }
    // Accepted transitions over transitions since init (0 before any).
    double accept_rate() const;

private:
    HmcSamplerNd(SharedNdFunction pdf, HyperRect support, const HmcParams& params)
        : support_(std::move(support)), pdf_(std::move(pdf)), params_(params) {}

    HyperRect support_;
    SharedNdFunction pdf_;
    HmcParams params_;
    std::optional<std::vector<double>> current_;
    double current_log_pdf_ = -INFINITY;
    std::uint64_t n_transitions_ = 0;
    std::uint64_t n_accepted_ = 0;
};

}  // namespace drovik
