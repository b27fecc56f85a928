// Distribution-function models of the continuous sampler.
#pragma once

#include <cmath>
#include <concepts>
#include <expected>
#include <utility>

#include "continuous/integrate.hpp"
#include "continuous/interfaces.hpp"
#include "error.hpp"

namespace drovik {

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
        return integrate_fn([this](double t) { return density_.pdf(t); }, support_.lo, x, tol_) / norm_;
    }

    // The unnormalized density.
    double pdf(double x) const { return density_.pdf(x); }

    const P& density() const { return density_; }
    Support support() const { return support_; }
    double norm() const { return norm_; }
    double tol() const { return tol_; }

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

    const C& function() const { return cdf_; }
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
