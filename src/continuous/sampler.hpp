// The univariate continuous sampler: a distribution-function model D and the
// strategy that inverts and samples it.
#pragma once

#include <cmath>
#include <cstdint>
#include <expected>
#include <optional>
#include <variant>
#include <span>
#include <vector>

#include "continuous/cdf.hpp"
#include "continuous/dpdf.hpp"
#include "continuous/hermite.hpp"
#include "continuous/histogram.hpp"
#include "continuous/integrate.hpp"
#include "continuous/interfaces.hpp"
#include "continuous/inverse_polynomial.hpp"
#include "continuous/invert.hpp"
#include "continuous/options.hpp"
#include "continuous/tdr.hpp"
#include "continuous/truncated.hpp"
#include "error.hpp"
#include "random/draws.hpp"
#include "random/rng.hpp"

namespace drovik {

// Numerical inversion, through a precomputed quantile table when one was built.
struct InversionBackend {
    std::optional<HermitePpfTable> table;
    double ppf_tolerance;
    std::uint32_t max_iterations;
    bool use_newton;  // ignored without a density
};

// Rejection from a transformed-density hat of either kind; quantiles still
// invert numerically, with a fixed tolerance and budget.
struct TdrBackend {
    TdrHat hat;
    static constexpr std::uint32_t ppf_max_iterations = default_max_iterations;
    static constexpr double ppf_tolerance = default_ppf_tolerance;
};

// A polynomial quantile table built from the density: draws, quantiles and the
// distribution function all go through it.
struct InversePolynomialBackend {
    InversePolynomialTable table;
};

template <class D>
class ContinuousSampler {
public:
    using Backend = std::variant<InversionBackend, TdrBackend, InversePolynomialBackend>;

    ContinuousSampler(D dist, Backend backend) : dist_(std::move(dist)), backend_(std::move(backend)) {}

    const D& dist() const { return dist_; }
    Support support() const { return dist_.support(); }
    bool uses_tdr() const { return std::holds_alternative<TdrBackend>(backend_); }
    bool uses_hermite_table() const {
        const auto* inversion = std::get_if<InversionBackend>(&backend_);
        return inversion != nullptr && inversion->table.has_value();
    }
    const InversePolynomialTable* inverse_polynomial_table() const {
        const auto* polynomial = std::get_if<InversePolynomialBackend>(&backend_);
        return polynomial != nullptr ? &polynomial->table : nullptr;
    }

    std::expected<double, SampleError> ppf(double u) const {
        if (!(u > 0.0 && u < 1.0)) return std::unexpected(SampleError::quantile_out_of_range(u));
        if (const auto* polynomial = std::get_if<InversePolynomialBackend>(&backend_)) return polynomial->table.eval(u);
        if (std::holds_alternative<TdrBackend>(backend_)) {
            if constexpr (DensityModel<D>) {
                const Support s = support();
                return ppf_with_pdf(dist_, PdfBridge<D>(dist_), TdrBackend::ppf_max_iterations, s.lo, s.hi, u,
                                    TdrBackend::ppf_tolerance);
            }
        }
        return inverse(std::get<InversionBackend>(backend_), u);
    }

    std::expected<double, SampleError> sample(ChachaRng& rng) const {
        if (const auto* tdr = std::get_if<TdrBackend>(&backend_)) {
            return with_tdr_hat<double>(*tdr, [&](const auto& hat, const auto& density) {
                return hat.sample_with_rng(density, rng);
            });
        }
        if (const auto* polynomial = std::get_if<InversePolynomialBackend>(&backend_)) {
            const double u = uniform(rng);
            if (!(u > 0.0)) return std::unexpected(SampleError::quantile_out_of_range(u));
            return polynomial->table.eval(u);
        }
        return inverse_checked(std::get<InversionBackend>(backend_), uniform(rng));
    }

    // The strategy (and the hat kind) is chosen once per batch, not once per draw.
    std::expected<void, SampleError> sample_into(std::span<double> out, ChachaRng& rng) const {
        if (const auto* tdr = std::get_if<TdrBackend>(&backend_)) {
            return with_tdr_hat<void>(*tdr, [&](const auto& hat, const auto& density) {
                return draw_into(out, [&] { return hat.sample_with_rng(density, rng); });
            });
        }
        if (const auto* polynomial = std::get_if<InversePolynomialBackend>(&backend_))
            return fill_from_table(out, rng, polynomial->table);
        const InversionBackend& inversion = std::get<InversionBackend>(backend_);
        if (inversion.table) return fill_from_table(out, rng, *inversion.table);
        return draw_into(out, [&] { return inverse_checked(inversion, uniform(rng)); });
    }

    double cdf(double x) const {
        if constexpr (DensityModel<D>) {
            if (const auto* polynomial = std::get_if<InversePolynomialBackend>(&backend_))
                return polynomial->table.cdf(DensityRef(dist_.density()), x);
        }
        return dist_.cdf(x);
    }

    // The normalized density; none for a model built from a distribution function.
    std::optional<double> pdf(double x) const {
        if constexpr (DensityModel<D>) return PdfBridge<D>(dist_).pdf(x);
        else return std::nullopt;
    }

    // NaN at a NaN argument, as cdf; a NaN distribution function (a failing
    // function) still gives 0.
    double sf(double x) const {
        if (std::isnan(x)) return x;
        const double s = 1.0 - cdf(x);
        return s > 0.0 ? s : 0.0;
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
    // Draws through a quantile table: the uniforms of a run first, then one
    // batched lookup, so that the lookups of independent draws overlap.
    template <class Table>
    static std::expected<void, SampleError> fill_from_table(std::span<double> out, ChachaRng& rng,
                                                            const Table& table) {
        constexpr std::size_t run = 1024;
        for (std::size_t start = 0; start < out.size(); start += run) {
            const std::span<double> part = out.subspan(start, std::min(run, out.size() - start));
            for (std::size_t k = 0; k < part.size(); ++k) {
                const double u = uniform(rng);
                // A table lookup cannot fail; only u = 0 is refused, after
                // the draws before it are filled in.
                if (!(u > 0.0)) {
                    table.eval_batch(part.first(k));
                    return std::unexpected(SampleError::quantile_out_of_range(u));
                }
                part[k] = u;
            }
            table.eval_batch(part);
        }
        return {};
    }

    static double clamp_probability(double c) {
        if (c < 0.0) return 0.0;
        if (c > 1.0) return 1.0;
        return c;  // NaN stays NaN
    }

    std::expected<double, SampleError> inverse_checked(const InversionBackend& inversion, double u) const {
        if (!(u > 0.0 && u < 1.0)) return std::unexpected(SampleError::quantile_out_of_range(u));
        return inverse(inversion, u);
    }

    // u already lies in (0, 1).
    std::expected<double, SampleError> inverse(const InversionBackend& inversion, double u) const {
        if (inversion.table) return inversion.table->eval(u);
        const Support s = support();
        if constexpr (DensityModel<D>) {
            if (inversion.use_newton)
                return ppf_with_pdf(dist_, PdfBridge<D>(dist_), inversion.max_iterations, s.lo, s.hi, u,
                                    inversion.ppf_tolerance);
        }
        return drovik::ppf(dist_, inversion.max_iterations, s.lo, s.hi, u, inversion.ppf_tolerance);
    }

    // body(hat, normalized density) with the hat of its kind.
    template <class R, class Body>
    std::expected<R, SampleError> with_tdr_hat(const TdrBackend& tdr, Body&& body) const {
        if constexpr (DensityModel<D>) {
            const PdfBridge<D> density(dist_);
            return std::visit([&](const auto& hat) { return body(hat, density); }, tdr.hat);
        } else {
            throw Panic("a transformed-density hat needs a density");
        }
    }

    D dist_;
    Backend backend_;
};

namespace detail {

inline InversionBackend inversion_backend(const BuildOptions& options) {
    return {std::nullopt, options.ppf_tolerance, options.max_iterations, options.use_newton};
}

inline TdrSettings tdr_settings(const BuildOptions& options, Support support) {
    return {support, options.tdr_construction_points, options.tdr_max_trials, *options.tdr_transform};
}

// The table or plain inversion, for a model of either kind.
template <class D>
std::expected<InversionBackend, BuildError> inversion_for(const D& dist, const BuildOptions& options) {
    InversionBackend backend = inversion_backend(options);
    if (options.hermite_grid_size) {
        const Support s = dist.support();
        auto table = HermitePpfTable::build(dist, *options.hermite_grid_size, options.max_iterations, s.lo, s.hi,
                                            options.ppf_tolerance);
        if (!table) return std::unexpected(table.error());
        backend.table = std::move(*table);
    }
    return backend;
}

// A user derivative describes the raw density; the hat wants that of the normalized one.
template <class Dp>
struct ScaledDpdf {
    const Dp* derivative;
    double norm;
    double dpdf(double x) const { return derivative->dpdf(x) / norm; }
    Support support() const { return derivative->support; }
};

template <class P, class MakeDpdf>
std::expected<ContinuousSampler<IntegratedPdf<P>>, BuildError> density_sampler(P density, double lo, double hi,
                                                                               const BuildOptions& options,
                                                                               MakeDpdf&& make_dpdf) {
    using Dist = IntegratedPdf<P>;
    const auto support = check_support(lo, hi);
    if (!support) return std::unexpected(support.error());
    options.check_table_sizes();
    // A negative value makes it no density: its distribution function would not be
    // monotone, and every result built on it would be nonsense.
    bool negative = false;
    const double norm = integrate_density(density, support->lo, support->hi, options.quad_tolerance,
                                          [&negative](double, auto&& value) {
                                              const double v = value();
                                              negative = negative || v < 0.0;
                                              return v;
                                          },
                                          1);
    if (negative || !(std::isfinite(norm) && norm > 0.0))
        return std::unexpected(BuildError::of(BuildError::Kind::NormalizationFailed));
    Dist dist(std::move(density), *support, norm, options.quad_tolerance);
    if (options.mode() == BuildOptions::Mode::Tdr) {
        const PdfBridge<Dist> bridge(dist);
        auto hat = build_tdr_hat(bridge, make_dpdf(bridge, dist), tdr_settings(options, *support));
        if (!hat) return std::unexpected(hat.error());
        return ContinuousSampler<Dist>(std::move(dist), TdrBackend{std::move(*hat)});
    }
    auto backend = inversion_for(dist, options);
    if (!backend) return std::unexpected(backend.error());
    return ContinuousSampler<Dist>(std::move(dist), std::move(*backend));
}

}  // namespace detail

// A density P normalized over the support by quadrature; TDR differentiates it numerically.
template <class P>
std::expected<ContinuousSampler<IntegratedPdf<P>>, BuildError> sampler_from_pdf(P density, double lo, double hi,
                                                                                const BuildOptions& options) {
    return detail::density_sampler(std::move(density), lo, hi, options, [&](const auto& bridge, const auto&) {
        return NumericalDpdf<std::remove_cvref_t<decltype(bridge)>>(bridge, options.tdr_dpdf_rel_step);
    });
}

// As sampler_from_pdf, with the user's derivative of the raw density for the hat.
template <class P, class Dp>
std::expected<ContinuousSampler<IntegratedPdf<P>>, BuildError> sampler_from_pdf_with_dpdf(
    P density, Dp derivative, double lo, double hi, const BuildOptions& options) {
    return detail::density_sampler(std::move(density), lo, hi, options, [&](const auto&, const auto& dist) {
        return detail::ScaledDpdf<Dp>{&derivative, dist.norm()};
    });
}

// A density P inverted through a polynomial quantile table; its normalization
// is the table's mass, so that pdf, cdf and ppf agree.
template <class P>
std::expected<ContinuousSampler<IntegratedPdf<P>>, InversePolynomialError> sampler_from_pdf_inverse_polynomial(
    P density, double lo, double hi, const InversePolynomialSettings& settings) {
    auto table = InversePolynomialTable::build(DensityRef(density), lo, hi, settings);
    if (!table) return std::unexpected(table.error());
    IntegratedPdf<P> dist(std::move(density), Support{lo, hi}, table->norm(), BuildOptions{}.quad_tolerance);
    return ContinuousSampler<IntegratedPdf<P>>(std::move(dist), InversePolynomialBackend{std::move(*table)});
}

template <class C>
std::expected<ContinuousSampler<AffineCdf<C>>, BuildError> sampler_from_cdf(C cdf, double lo, double hi,
                                                                           const BuildOptions& options) {
    const auto support = check_support(lo, hi);
    if (!support) return std::unexpected(support.error());
    options.check_table_sizes();
    auto dist = AffineCdf<C>::create(std::move(cdf), support->lo, support->hi);
    if (!dist) return std::unexpected(dist.error());
    if (options.mode() == BuildOptions::Mode::Tdr) {
        return std::unexpected(BuildError::invalid_support(support_text::tdr_needs_density));
    }
    auto backend = detail::inversion_for(*dist, options);
    if (!backend) return std::unexpected(backend.error());
    return ContinuousSampler<AffineCdf<C>>(std::move(*dist), std::move(*backend));
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
