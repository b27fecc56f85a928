#include "multivar/hmc.hpp"

#include <cmath>
#include <optional>

namespace drovik {

void grad_log_pdf_numeric(const NdFunction& pdf, std::span<const double> x, double h, std::span<double> gradient,
                          std::vector<double>& plus, std::vector<double>& minus) {
    plus.assign(x.begin(), x.end());
    minus.assign(x.begin(), x.end());
    // ln f(x), read once and only where a central difference is not finite.
    std::optional<double> at_x;
    for (std::size_t i = 0; i < x.size(); ++i) {
        plus[i] = h + x[i];
        minus[i] = x[i] - h;
        const double l_plus = log_density(pdf(plus));
        const double l_minus = log_density(pdf(minus));
        gradient[i] = (l_plus - l_minus) / (h + h);
        // A side where f is 0 (beyond a wall where f ends, within h of it)
        // gives an infinite difference, and every trajectory from x would end
        // rejected: the chain would stand still there for good. The one-sided
        // difference on the other side takes its place.
        if (!std::isfinite(gradient[i]) && (std::isfinite(l_plus) || std::isfinite(l_minus))) {
            if (!at_x) at_x = log_density(pdf(x));
            if (std::isfinite(*at_x))
                gradient[i] = std::isfinite(l_plus) ? (l_plus - *at_x) / h : (*at_x - l_minus) / h;
        }
        plus[i] = x[i];
        minus[i] = x[i];
    }
}

std::vector<double> grad_log_pdf_numeric(const NdFunction& pdf, std::span<const double> x, double h) {
    std::vector<double> gradient(x.size());
    std::vector<double> plus;
    std::vector<double> minus;
    grad_log_pdf_numeric(pdf, x, h, gradient, plus, minus);
    return gradient;
}

std::expected<HmcSamplerNd, BuildError> HmcSamplerNd::create(SharedNdFunction pdf, HyperRect support,
                                                             const HmcParams& params) {
    // Outside these every trajectory is rejected (or never leaves its start) and the chain stands still.
    if (!(std::isfinite(params.step_size) && params.step_size > 0.0))
        return std::unexpected(BuildError::invalid_chain_parameter(chain_text::step_size_positive));
    if (params.leapfrog_steps == 0)
        return std::unexpected(BuildError::invalid_chain_parameter(chain_text::leapfrog_steps_positive));
    if (!(std::isfinite(params.grad_eps) && params.grad_eps > 0.0))
        return std::unexpected(BuildError::invalid_chain_parameter(chain_text::grad_eps_positive));
    return HmcSamplerNd(std::move(pdf), std::move(support), params);
}

std::expected<void, SampleError> HmcSamplerNd::init_with_rng(ChachaRng& rng) {
    auto start = uniform_start(support_, *pdf_, params_.max_init_tries, rng);
    if (!start) return std::unexpected(SampleError::of(SampleError::Kind::McmcFailed));
    current_ = std::move(start->point);
    current_log_pdf_ = start->log_pdf;
    n_transitions_ = 0;
    n_accepted_ = 0;
    return {};
}

double HmcSamplerNd::accept_rate() const {
    if (n_transitions_ == 0) return 0.0;
    return static_cast<double>(n_accepted_) / static_cast<double>(n_transitions_);
}

namespace {

double kinetic_energy(std::span<const double> p) {
    double sum = 0.0;
    for (double pi : p) sum += pi * pi;
    return 0.5 * sum;
}

}  // namespace

std::expected<std::vector<double>, SampleError> HmcSamplerNd::sample_with_rng(ChachaRng& rng) {
    if (!current_) return std::unexpected(SampleError::of(SampleError::Kind::McmcNotInitialized));
    const std::size_t d = current_->size();
    ++n_transitions_;
    const double eps = params_.step_size;
    const double half_step = eps * 0.5;
    std::vector<double> q = *current_;
    const double start_log_pdf = current_log_pdf_;

    std::vector<double> p(d);
    for (std::size_t i = 0; i < d; ++i) p[i] = standard_normal(rng);
    const double start_kinetic = kinetic_energy(p);

    std::vector<double> g(d);
    std::vector<double> plus;
    std::vector<double> minus;
    grad_log_pdf_numeric(*pdf_, q, params_.grad_eps, g, plus, minus);
    for (std::size_t i = 0; i < d; ++i) p[i] = p[i] + half_step * g[i];
    for (std::uint64_t step = 0; step < params_.leapfrog_steps; ++step) {
        // A wall reflects the position and turns that momentum component
        // around: folding the position alone makes the trajectory irreversible
        // and biases the chain toward the walls it reaches.
        for (std::size_t i = 0; i < d; ++i) {
            const auto folded = support_.reflect(i, q[i] + eps * p[i]);
            q[i] = folded.value;
            if (folded.odd) p[i] = -p[i];
        }
        grad_log_pdf_numeric(*pdf_, q, params_.grad_eps, g, plus, minus);
        for (std::size_t i = 0; i < d; ++i) p[i] = p[i] + eps * g[i];
    }
    // With the full steps above, this makes the last momentum update a half step.
    for (std::size_t i = 0; i < d; ++i) {
        p[i] = p[i] - half_step * g[i];
        p[i] = -p[i];
    }

    const double end_log_pdf = log_density((*pdf_)(q));
    if (!std::isfinite(end_log_pdf)) return *current_;
    const double end_kinetic = kinetic_energy(p);
    const double u = uniform(rng);
    if (std::log(u) < (start_kinetic - start_log_pdf) - (end_kinetic - end_log_pdf)) {
        current_ = std::move(q);
        current_log_pdf_ = end_log_pdf;
        ++n_accepted_;
    }
    return *current_;
}

}  // namespace drovik
