// The univariate continuous sampler: a distribution-function model D and the
// strategy that inverts and samples it.
#pragma once

#include <cmath>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "continuous/cdf.hpp"
#include "continuous/histogram.hpp"
#include "continuous/integrate.hpp"
#include "continuous/interfaces.hpp"
#include "continuous/invert.hpp"
#include "continuous/options.hpp"
#include "continuous/truncated.hpp"
#include "error.hpp"
#include "random/draws.hpp"
#include "random/rng.hpp"

namespace drovik {

struct InversionBackend {
    double ppf_tolerance;
    std::uint32_t max_iterations;
    bool use_newton;  // ignored without a density
};

template <class D>
class ContinuousSampler {
public:
    ContinuousSampler(D dist, InversionBackend backend) : dist_(std::move(dist)), backend_(backend) {}

    const D& dist() const { return dist_; }
    Support support() const { return dist_.support(); }
    bool uses_tdr() const { return false; }
    bool uses_hermite_table() const { return false; }

    std::expected<double, SampleError> ppf(double u) const {
        if (!(u > 0.0 && u < 1.0)) return std::unexpected(SampleError::quantile_out_of_range(u));
        const Support s = support();
        if constexpr (DensityModel<D>) {
            if (backend_.use_newton)
                return ppf_with_pdf(dist_, PdfBridge<D>(dist_), backend_.max_iterations, s.lo, s.hi, u,
                                    backend_.ppf_tolerance);
        }
        return drovik::ppf(dist_, backend_.max_iterations, s.lo, s.hi, u, backend_.ppf_tolerance);
    }

    // Exactly one uniform per draw.
    std::expected<double, SampleError> sample(ChachaRng& rng) const { return ppf(uniform(rng)); }

    std::expected<void, SampleError> sample_into(std::span<double> out, ChachaRng& rng) const {
        return draw_into(out, [&] { return sample(rng); });
    }

    std::expected<std::vector<double>, SampleError> sample_n(std::uint64_t n, ChachaRng& rng) const {
        return draw_n(n, [&] { return sample(rng); });
    }

    double cdf(double x) const { return dist_.cdf(x); }

    // The normalized density; none for a model built from a distribution function.
    std::optional<double> pdf(double x) const {
        if constexpr (DensityModel<D>) return PdfBridge<D>(dist_).pdf(x);
        else return std::nullopt;
    }

    double sf(double x) const {
        const double s = 1.0 - cdf(x);
        return s > 0.0 ? s : 0.0;  // a NaN difference gives 0 as well
    }

    double logcdf(double x) const {
        const double c = clamp_probability(cdf(x));
        return c == 0.0 ? -INFINITY : std::log(c);
    }

    double logsf(double x) const {
        const double c = clamp_probability(cdf(x));
        return c == 1.0 ? -INFINITY : std::log(1.0 - c);
    }

    // None where the density vanishes, is negative or NaN.
    std::optional<double> logpdf(double x) const {
        const std::optional<double> p = pdf(x);
        if (p && *p > 0.0) return std::log(*p);
        return std::nullopt;
    }

private:
    static double clamp_probability(double c) {
        if (c < 0.0) return 0.0;
        if (c > 1.0) return 1.0;
        return c;  // NaN stays NaN
    }

    D dist_;
    InversionBackend backend_;
};

namespace detail {

inline InversionBackend inversion_backend(const BuildOptions& options) {
    return {options.ppf_tolerance, options.max_iterations, options.use_newton};
}

[[noreturn]] inline void mode_not_built() { throw Panic("sampling mode not available in this build"); }

}  // namespace detail

// A density P normalized over the support by quadrature.
template <class P>
std::expected<ContinuousSampler<IntegratedPdf<P>>, BuildError> sampler_from_pdf(P density, double lo, double hi,
                                                                                const BuildOptions& options) {
    const auto support = check_support(lo, hi);
    if (!support) return std::unexpected(support.error());
    const double norm =
        integrate_fn([&](double x) { return density.pdf(x); }, support->lo, support->hi, options.quad_tolerance);
    if (!(std::isfinite(norm) && norm > 0.0))
        return std::unexpected(BuildError::of(BuildError::Kind::NormalizationFailed));
    IntegratedPdf<P> dist(std::move(density), *support, norm, options.quad_tolerance);
    if (options.mode() != BuildOptions::Mode::Inversion) detail::mode_not_built();
    return ContinuousSampler<IntegratedPdf<P>>(std::move(dist), detail::inversion_backend(options));
}

// As sampler_from_pdf; the derivative serves only the transformed-density hat.
template <class P, class Dp>
std::expected<ContinuousSampler<IntegratedPdf<P>>, BuildError> sampler_from_pdf_with_dpdf(
    P density, Dp /*derivative*/, double lo, double hi, const BuildOptions& options) {
    return sampler_from_pdf(std::move(density), lo, hi, options);
}

template <class C>
std::expected<ContinuousSampler<AffineCdf<C>>, BuildError> sampler_from_cdf(C cdf, double lo, double hi,
                                                                           const BuildOptions& options) {
    const auto support = check_support(lo, hi);
    if (!support) return std::unexpected(support.error());
    auto dist = AffineCdf<C>::create(std::move(cdf), support->lo, support->hi);
    if (!dist) return std::unexpected(dist.error());
    if (options.mode() == BuildOptions::Mode::Tdr) {
        return std::unexpected(
            BuildError::invalid_support("TDR sampling requires a PDF (use from_pdf_fn, not from_cdf_fn)"));
    }
    if (options.mode() != BuildOptions::Mode::Inversion) detail::mode_not_built();
    return ContinuousSampler<AffineCdf<C>>(std::move(*dist), detail::inversion_backend(options));
}

// The five kinds of continuous distribution, compiled once in the core.
using UserPdfSampler = ContinuousSampler<IntegratedPdf<UserPdf>>;
using UserCdfSampler = ContinuousSampler<AffineCdf<UserCdf>>;
using HistogramSampler = ContinuousSampler<IntegratedPdf<HistogramPdf>>;
using LocScaleSampler = ContinuousSampler<IntegratedPdf<LocScalePdf>>;
using TruncatedSampler = ContinuousSampler<IntegratedPdf<Truncated>>;

extern template class ContinuousSampler<IntegratedPdf<UserPdf>>;
extern template class ContinuousSampler<AffineCdf<UserCdf>>;
extern template class ContinuousSampler<IntegratedPdf<HistogramPdf>>;
extern template class ContinuousSampler<IntegratedPdf<LocScalePdf>>;
extern template class ContinuousSampler<IntegratedPdf<Truncated>>;

}  // namespace drovik
