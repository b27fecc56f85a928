// Distribution-function models of the continuous sampler.
#pragma once

#include <algorithm>
#include <cmath>
#include <concepts>
#include <expected>
#include <utility>
#include <vector>

#include "continuous/integrate.hpp"
#include "continuous/interfaces.hpp"
#include "error.hpp"

namespace drovik {

// A step density: constant on each half-open bin [edges[i], edges[i+1]).
template <class P>
concept StepDensity = requires(const P& p) {
    { p.edges() } -> std::convertible_to<const std::vector<double>&>;
    { p.heights() } -> std::convertible_to<const std::vector<double>&>;
};

// The integral over [a, b] (a <= b) of integrand(x, value), where value() is
// the density at x. A step density is integrated bin by bin with each bin's
// own height: a single adaptive rule across many jumps is fooled by them (its
// error estimate can vanish on symmetric bins while the result is off by far
// more than the tolerance), while each bin alone is integrated exactly.
// `bin_panels` is how many first panels each bin of a step density takes: one
// when the integrand is the density itself (a constant on each bin), sixteen
// for anything weighted by a function of x.
template <class P, class Integrand>
double integrate_density(const P& density, double a, double b, double tol, Integrand&& integrand,
                         std::size_t bin_panels = default_first_panels) {
    if constexpr (StepDensity<P>) {
        if (std::isnan(a) || std::isnan(b)) return NAN;
        const std::vector<double>& edges = density.edges();
        const std::vector<double>& heights = density.heights();
        double total = 0.0;
        for (std::size_t i = 0; i < heights.size(); ++i) {
            const double left = std::max(a, edges[i]);
            const double right = std::min(b, edges[i + 1]);
            if (!(left < right)) continue;
            const double height = heights[i];
            total += integrate_fn([&](double x) { return integrand(x, [&] { return height; }); }, left, right, tol,
                                  bin_panels);
        }
        return total;
    } else {
        return integrate_fn([&](double x) { return integrand(x, [&] { return density.pdf(x); }); }, a, b, tol);
    }
}

// The plain integral of a density over [a, b].
template <class P>
double integrate_density(const P& density, double a, double b, double tol) {
    return integrate_density(density, a, b, tol, [](double, auto&& value) { return value(); }, 1);
}

// F(x) of a density P by adaptive quadrature from lo, recomputed on every call.
template <class P>
class IntegratedPdf {
public:
    IntegratedPdf(P density, Support support, double norm, double tol)
        : density_(std::move(density)), support_(support), norm_(norm), tol_(tol) {}

    double cdf(double x) const {
        if (std::isnan(x)) return x;  // never hand a NaN bound to the quadrature
        if (x <= support_.lo) return 0.0;
        if (x >= support_.hi) return 1.0;
        return integrate_density(density_, support_.lo, x, tol_) / norm_;
    }

    // The unnormalized density.
    double pdf(double x) const { return density_.pdf(x); }

    const P& density() const { return density_; }
    Support support() const { return support_; }
    double norm() const { return norm_; }

private:
    P density_;
    Support support_;
    double norm_;
    double tol_;
};

// A user distribution function C rescaled to the support: (C(x) - C(lo)) / span,
// at any x, unclamped.
template <class C>
class AffineCdf {
public:
    static std::expected<AffineCdf, BuildError> create(C cdf, double lo, double hi) {
        auto support = check_support(lo, hi);
        if (!support) return std::unexpected(support.error());
        const double c_lo = cdf.cdf(lo);
        const double c_hi = cdf.cdf(hi);
        const double span = c_hi - c_lo;
        if (!(std::isfinite(span) && span > 0.0))
            return std::unexpected(BuildError::of(BuildError::Kind::NormalizationFailed));
        return AffineCdf(std::move(cdf), *support, c_lo, span);
    }

    double cdf(double x) const { return (cdf_.cdf(x) - c_lo_) / span_; }

    Support support() const { return support_; }

private:
    AffineCdf(C cdf, Support support, double c_lo, double span)
        : cdf_(std::move(cdf)), support_(support), c_lo_(c_lo), span_(span) {}

    C cdf_;
    Support support_;
    double c_lo_;
    double span_;
};

// The normalized density of a density-based model.
template <class D>
class PdfBridge {
public:
    explicit PdfBridge(const D& dist) : dist_(&dist) {}
    double pdf(double x) const { return dist_->pdf(x) / dist_->norm(); }
    Support support() const { return dist_->support(); }

private:
    const D* dist_;
};

template <class D>
concept DensityModel = requires(const D& d, double x) {
    { d.pdf(x) } -> std::same_as<double>;
    { d.norm() } -> std::same_as<double>;
};

}  // namespace drovik
