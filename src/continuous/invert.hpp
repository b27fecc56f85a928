// Numerical inversion of a distribution function over a finite bracket [lo, hi]:
// bisection on the distribution function, optionally polished by Newton steps with
// the density. Tolerances apply to distribution-function values, never to x.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <expected>

#include "error.hpp"
#include "interrupt.hpp"
#include "midpoint.hpp"

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

// The final bracket of a bisection, and the point it returns.
struct Bisection {
    double lo;
    double hi;
    double x;
};

// The first midpoint whose value is within tol of target, else the midpoint of the
// bracket left when the budget is spent. A NaN value (a function that started
// failing after the build) fails the inversion: it would otherwise pull the bracket
// down to lo, a quantile that is none.
template <class Cdf>
std::expected<Bisection, SampleError> bisect(const Cdf& cdf, std::uint32_t max_iterations, double lo, double hi,
                                             double target, double tol) {
    for (std::uint32_t i = 0; i < max_iterations; ++i) {
        poll_interrupt();
        const double mid = midpoint(lo, hi);
        const double value = cdf.cdf(mid);
        if (std::isnan(value)) return std::unexpected(SampleError::of(SampleError::Kind::InversionFailed));
        if (std::abs(value - target) <= tol) return Bisection{lo, hi, mid};
        // The bracket no longer shrinks: every further step would return this midpoint.
        if (mid == lo || mid == hi) return Bisection{lo, hi, mid};
        if (value < target) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    return Bisection{lo, hi, midpoint(lo, hi)};
}

}  // namespace detail

// Quantile of u by bisection alone.
template <class Cdf>
std::expected<double, SampleError> ppf(const Cdf& cdf, std::uint32_t max_iterations, double lo, double hi,
                                       double u, double tol) {
    const auto target = detail::inversion_target(cdf, lo, hi, u);
    if (!target) return std::unexpected(target.error());
    const auto found = detail::bisect(cdf, max_iterations, lo, hi, *target, tol);
    if (!found) return std::unexpected(found.error());
    return found->x;
}

// Quantile of u by bisection, then at most eight Newton updates inside the final
// bisection bracket: a step that would leave it ends the polish at the best point
// seen (the smallest |F - target|), since the bracket is known to hold the quantile.
template <class Cdf, class Pdf>
std::expected<double, SampleError> ppf_with_pdf(const Cdf& cdf, const Pdf& pdf, std::uint32_t max_iterations,
                                                double lo, double hi, double u,
                                                double tol) {
    constexpr int newton_updates = 8;
    constexpr double vanishing_density = 1e-300;
    const auto target = detail::inversion_target(cdf, lo, hi, u);
    if (!target) return std::unexpected(target.error());
    const auto found = detail::bisect(cdf, max_iterations, lo, hi, *target, tol);
    if (!found) return std::unexpected(found.error());
    double x = found->x;
    double best = x;
    double best_error = INFINITY;
    for (int update = 0; update < newton_updates; ++update) {
        const double value = cdf.cdf(x);
        if (std::isnan(value)) return std::unexpected(SampleError::of(SampleError::Kind::InversionFailed));
        const double error = std::abs(value - *target);
        if (error <= tol) return x;
        if (error < best_error) {
            best = x;
            best_error = error;
        }
        const double density = pdf.pdf(x);
        if (std::abs(density) < vanishing_density) return x;
        const double next = x - (value - *target) / density;
        // A NaN density makes the step NaN: end at the last finite point instead
        // of evaluating F at NaN.
        if (std::isnan(next)) return x;
        if (!(found->lo <= next && next <= found->hi)) return best;
        x = next;
    }
    return x;
}

}  // namespace drovik
