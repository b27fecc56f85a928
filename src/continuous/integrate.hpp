// Adaptive Simpson quadrature with Richardson correction: the one integration
// routine of the continuous family, instantiated per integrand so that each
// call of the integrand is inlined.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

namespace drovik {

namespace detail {

// The three-point rule; sets `non_finite` when one of the values is NaN or infinite.
template <class F>
double simpson_rule(F& f, double a, double b, bool& non_finite) noexcept(noexcept(f(a))) {
    const double m = (a + b) * 0.5;
    const double fa = f(a);
    const double fm = f(m);
    const double fb = f(b);
    non_finite = non_finite || !(std::isfinite(fa) && std::isfinite(fm) && std::isfinite(fb));
    return ((b - a) / 6) * ((fa + 4 * fm) + fb);
}

}  // namespace detail

// Simpson estimate of the integral of f over [a, b]; evaluates f(a), f(m), f(b) in
// that order and caches nothing.
template <class F>
double simpson(F&& f, double a, double b) noexcept(noexcept(f(a))) {
    bool non_finite = false;
    return detail::simpson_rule(f, a, b, non_finite);
}

// Integral of f from a to b to the absolute tolerance tol on every accepted
// subinterval. No error path: a result that is not finite (NaN for the inputs on
// which the plain loop would never end) is for the caller to report.
template <class F>
double integrate_fn(F&& f, double a, double b, double tol) noexcept(noexcept(f(a))) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    if (a == b) return 0.0;
    if (b < a) return -integrate_fn(f, b, a, tol);
    // A NaN or infinite bound never splits into accepted pieces and a negative or
    // NaN tol accepts nothing before the cap, so the loop would not end.
    if (!std::isfinite(a) || !std::isfinite(b) || !(tol >= 0.0)) return nan;

    struct Record {
        double l;
        double r;
        double whole;
    };
    // A record is halved only while at most 48 others wait, so 50 slots suffice.
    constexpr std::size_t max_pending = 48;
    std::array<Record, max_pending + 2> stack;
    std::size_t size = 0;

    // A NaN or infinite value always reaches the total: an estimate holding it is
    // either summed or split into halves that evaluate the same point again. So the
    // result can only be non-finite, and stopping at once changes no finite result.
    bool non_finite = false;
    stack[size++] = {a, b, detail::simpson_rule(f, a, b, non_finite)};
    if (non_finite) return nan;

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
        const Record rec = stack[--size];
        const std::size_t pending = size;
        const double m = (rec.l + rec.r) * 0.5;
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
