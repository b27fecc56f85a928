// Numerical inversion of a distribution function over a finite bracket [lo, hi]:
// bisection on the distribution function, optionally polished by Newton steps with
// the density. Tolerances apply to distribution-function values, never to x.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <expected>

#include "error.hpp"

namespace drovik {

namespace detail {

// Checks u, then the bracket; the level to reach is F(lo) + u * (F(hi) - F(lo)).
template <class Cdf>
std::expected<double, SampleError> inversion_target(const Cdf& cdf, double lo, double hi,
                                                    double u) noexcept(noexcept(cdf.cdf(lo))) {
    if (!(u > 0.0 && u < 1.0)) return std::unexpected(SampleError::quantile_out_of_range(u));
    const double f_lo = cdf.cdf(lo);
    const double f_hi = cdf.cdf(hi);
    const double span = f_hi - f_lo;
    // Any positive span is usable, a subnormal one included.
    if (!(std::isfinite(span) && span > 0.0)) {
        return std::unexpected(SampleError::of(SampleError::Kind::InversionFailed));
    }
    return f_lo + u * span;
}

// The first midpoint whose value is within tol of target, else the midpoint of the
// bracket left when the budget is spent. A NaN value (a function that started
// failing after the build) fails the inversion: it would otherwise pull the bracket
// down to lo, a quantile that is none.
template <class Cdf>
std::expected<double, SampleError> bisect(const Cdf& cdf, std::uint32_t max_iterations, double lo, double hi,
                                          double target, double tol) noexcept(noexcept(cdf.cdf(lo))) {
    for (std::uint32_t i = 0; i < max_iterations; ++i) {
        const double mid = (lo + hi) * 0.5;
        const double value = cdf.cdf(mid);
        if (std::isnan(value)) return std::unexpected(SampleError::of(SampleError::Kind::InversionFailed));
        if (std::abs(value - target) <= tol) return mid;
        if (value < target) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    return (lo + hi) * 0.5;
}

}  // namespace detail

// Quantile of u by bisection alone.
template <class Cdf>
std::expected<double, SampleError> ppf(const Cdf& cdf, std::uint32_t max_iterations, double lo, double hi,
                                       double u, double tol) noexcept(noexcept(cdf.cdf(lo))) {
    const auto target = detail::inversion_target(cdf, lo, hi, u);
    if (!target) return std::unexpected(target.error());
    return detail::bisect(cdf, max_iterations, lo, hi, *target, tol);
}

// Quantile of u by bisection, then at most eight Newton updates clamped to the
// initial bracket.
template <class Cdf, class Pdf>
std::expected<double, SampleError> ppf_with_pdf(const Cdf& cdf, const Pdf& pdf, std::uint32_t max_iterations,
                                                double lo, double hi, double u,
                                                double tol) noexcept(noexcept(cdf.cdf(lo)) &&
                                                                     noexcept(pdf.pdf(lo))) {
    constexpr int newton_updates = 8;
    constexpr double vanishing_density = 1e-300;
    const auto target = detail::inversion_target(cdf, lo, hi, u);
    if (!target) return std::unexpected(target.error());
    const auto start = detail::bisect(cdf, max_iterations, lo, hi, *target, tol);
    if (!start) return start;
    double x = *start;
    for (int update = 0; update < newton_updates; ++update) {
        const double value = cdf.cdf(x);
        if (std::isnan(value)) return std::unexpected(SampleError::of(SampleError::Kind::InversionFailed));
        if (std::abs(value - *target) <= tol) return x;
        const double density = pdf.pdf(x);
        if (std::abs(density) < vanishing_density) return x;
        const double next = x - (value - *target) / density;
        // A NaN density makes the step NaN, which the clamp would keep: end at the
        // last finite point instead of evaluating F at NaN.
        if (std::isnan(next)) return x;
        x = std::clamp(next, lo, hi);
    }
    return x;
}

}  // namespace drovik
