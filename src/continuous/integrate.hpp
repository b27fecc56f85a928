// Adaptive Simpson quadrature with Richardson correction: the one integration
// routine of the continuous family, instantiated per integrand so that each
// call of the integrand is inlined.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

#include "error.hpp"
#include "interrupt.hpp"
#include "midpoint.hpp"

namespace drovik {

namespace detail {

// The three-point rule: evaluates f(a), f(m), f(b) in that order and caches
// nothing; sets `non_finite` when one of the values is NaN or infinite.
template <class F>
double simpson_rule(F& f, double a, double b, bool& non_finite) noexcept(noexcept(f(a))) {
    const double m = midpoint(a, b);
    const double fa = f(a);
    const double fm = f(m);
    const double fb = f(b);
    non_finite = non_finite || !(std::isfinite(fa) && std::isfinite(fm) && std::isfinite(fb));
    double width = b - a;
    // A width that overflows is taken in halves: (b/2 - a/2) / 3 is (b - a) / 6.
    const double sixth = std::isinf(width) && std::isfinite(a) && std::isfinite(b) ? (b * 0.5 - a * 0.5) / 3
                                                                                  : width / 6;
    return sixth * ((fa + 4 * fm) + fb);
}

}  // namespace detail

// The number of first panels a support is split into before any interval may be
// accepted: sixteen, or one for an integrand known to be a polynomial of degree
// three at most on [a, b] (a histogram bin's constant height).
inline constexpr std::size_t default_first_panels = 16;

// Integral of f from a to b to the absolute tolerance tol on every accepted
// subinterval; may throw from f or from an interrupt check. No error path: a
// result that is not finite (NaN for the inputs on which the plain loop would
// never end) is for the caller to report.
template <class F>
double integrate_fn(F&& f, double a, double b, double tol, std::size_t first_panels = default_first_panels) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    if (a == b) return 0.0;
    if (b < a) return -integrate_fn(f, b, a, tol, first_panels);
    // A NaN or infinite bound never splits into accepted pieces and a negative or
    // NaN tol accepts nothing before the cap, so the loop would not end.
    if (!std::isfinite(a) || !std::isfinite(b) || !(tol >= 0.0)) return nan;

    struct Record {
        double l;
        double r;
        double whole;
    };
    // A record is halved only while at most 48 others wait; the 16 first panels
    // fit below that, so 50 slots suffice.
    constexpr std::size_t max_pending = 48;
    if (first_panels != 1 && first_panels != default_first_panels) throw Panic("unsupported number of first panels");
    std::array<Record, max_pending + 2> stack;
    std::size_t size = 0;

    // No interval is accepted before the support has been halved four times: two
    // Simpson estimates of the whole support can agree by accident (a density
    // whose first five points all lie where it takes one value) and accept
    // everything at once. The panels' ends are those four rounds of halving give.
    std::array<double, default_first_panels + 1> edges;
    edges[0] = a;
    edges[first_panels] = b;
    for (std::size_t step = first_panels; step > 1; step /= 2) {
        for (std::size_t i = 0; i < first_panels; i += step) edges[i + step / 2] = midpoint(edges[i], edges[i + step]);
    }
    // A NaN or infinite value always reaches the total: an estimate holding it is
    // either summed or split into halves that evaluate the same point again. So the
    // result can only be non-finite, and stopping at once changes no finite result.
    bool non_finite = false;
    std::array<double, default_first_panels> panel_estimates;
    for (std::size_t i = 0; i < first_panels; ++i)
        panel_estimates[i] = detail::simpson_rule(f, edges[i], edges[i + 1], non_finite);
    if (non_finite) return nan;
    // Pushed right to left, so that the leftmost panel is processed first and the
    // accepted pieces are still added in left-to-right order.
    for (std::size_t i = first_panels; i-- > 0;) stack[size++] = {edges[i], edges[i + 1], panel_estimates[i]};

    double total = 0.0;
    const double threshold = 15 * tol;
    // Every integral ends in a bounded number of steps: an interval whose error
    // estimate is down to the rounding of its own estimate cannot get better
    // (tol = 0 would otherwise halve it until its ends are adjacent doubles), and
    // an integrand that never settles (noise) exhausts the budget and gets NaN.
    constexpr double rounding_level = 4 * std::numeric_limits<double>::epsilon();
    constexpr std::size_t max_steps = std::size_t{1} << 21;
    for (std::size_t steps = 0; size > 0; ++steps) {
        if (steps == max_steps) return nan;
        poll_interrupt();
        const Record rec = stack[--size];
        const std::size_t pending = size;
        const double m = midpoint(rec.l, rec.r);
        const double left = detail::simpson_rule(f, rec.l, m, non_finite);
        const double right = detail::simpson_rule(f, m, rec.r, non_finite);
        if (non_finite) return nan;
        const double s = left + right;
        const double err = std::abs(s - rec.whole);
        if (err <= threshold || pending > max_pending || err <= rounding_level * std::abs(s)) {
            total += s + (s - rec.whole) / 15;
            continue;
        }
        // Finite values whose estimate overflows can keep err NaN down to an interval
        // that no longer splits; it would come back unchanged forever or be accepted as NaN.
        if (std::isnan(err) && (m == rec.l || m == rec.r)) return nan;
        stack[size++] = {m, rec.r, right};
        stack[size++] = {rec.l, m, left};
    }
    return total;
}

}  // namespace drovik
