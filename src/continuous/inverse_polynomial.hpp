// Inversion by a table of Newton polynomials of the quantile function, built
// from the density alone: the published method of inversion by Newton
// interpolation of the inverse distribution function with Gauss-Lobatto
// integration of the density.
//
// The build integrates the density adaptively with a five-point Gauss-Lobatto
// rule over the support split at a point of high density, cuts the tails whose
// mass is below the resolution, finds where the density drops to zero, and then
// covers what is left, left to right, by intervals. On each interval the
// density is integrated between Chebyshev points x_0 < ... < x_n, and the
// points (u_j, x_j) are interpolated by a Newton polynomial x(u) of degree n;
// an interval is accepted once the u-error F(x(u)) - u, checked between the
// nodes, is below the resolution, and shortened otherwise. A quantile is then
// one guide-table lookup and one polynomial.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "continuous/interfaces.hpp"
#include "error.hpp"

namespace drovik {

struct InversePolynomialSettings {
    // The largest u-error |F(ppf(u)) - u| the table may have.
    double u_resolution = 1e-10;
    // The degree of each interval's polynomial.
    std::uint64_t order = 5;
    // A point of high density; searched for when absent.
    std::optional<double> center;

    // Double precision cannot hold a distribution function much closer than
    // 1e-13 (the sum of the interval masses alone loses more near u = 1); above
    // 1e-5 a table is hardly cheaper than a coarser method.
    static constexpr double min_u_resolution = 1e-13;
    static constexpr double max_u_resolution = 1e-5;
    static constexpr std::uint64_t min_order = 3;
    static constexpr std::uint64_t max_order = 17;
};

// A density borrowed for one call: anything with pdf(x), through one indirect
// call (each evaluation may be a Python call, which costs far more).
class DensityRef {
public:
    template <class P>
    explicit DensityRef(const P& density)
        : object_(&density), call_([](const void* p, double x) { return static_cast<const P*>(p)->pdf(x); }) {}
    double operator()(double x) const { return call_(object_, x); }

private:
    const void* object_;
    double (*call_)(const void*, double);
};

class InversePolynomialTable {
public:
    // Bounds the build: each interval costs about 8 * order density calls.
    static constexpr std::size_t max_intervals = inverse_polynomial_max_intervals;

    // Checks, in this order: the support, u_resolution, order, center.
    static std::expected<InversePolynomialTable, InversePolynomialError> build(DensityRef density, double lo, double hi,
                                                                           const InversePolynomialSettings& settings);

    // The quantile at u, 0 < u < 1 (checked by the caller). No density call.
    double eval(double u) const;
    // eval on every level of inout, in place, with the same results; the
    // polynomial's degree is chosen once for the batch.
    void eval_batch(std::span<double> inout) const;

    // The distribution function of the table: the mass of the intervals left
    // of x plus the integral of the density from the start of x's interval.
    // 0 below the cut left tail, 1 above the cut right tail.
    double cdf(DensityRef density, double x) const;

    // Maximal and mean |F(ppf(u)) - u| over a fixed grid of 2 * order levels
    // per interval, F integrated afresh from the support's lower end with
    // other split points than the build used, the cut tails included.
    std::pair<double, double> u_error(DensityRef density) const;

    // The integral of the density over the table's intervals (the cut tails
    // left out): the normalization under which pdf agrees with cdf and ppf.
    double norm() const { return norm_; }
    std::size_t intervals() const { return cum_.size() - 1; }
    // Where the tails were cut: the table covers [first(), last()].
    double first() const { return rows_[a_at]; }
    double last() const { return last_; }

private:
    InversePolynomialTable() = default;
    friend class InversePolynomialBuilder;

    // One row per interval: its cumulative (scaled) mass, 1 / its mass, its
    // ends and width, the scaled density at both ends, then the Newton
    // coefficients and nodes in local coordinates s = (U - cum) / mass and
    // y = (x - a) / (b - a) (both 0 to 1), highest coefficient first:
    // c_n, s_{n-1}, c_{n-1}, ..., s_1, c_1 (c_0 = 0 at s_0 = 0).
    static constexpr std::size_t cum_at = 0, inv_mass_at = 1, a_at = 2, b_at = 3, width_at = 4, fa_at = 5, fb_at = 6,
                                 poly_at = 7;
    std::size_t stride() const { return poly_at + 2 * static_cast<std::size_t>(order_) - 1; }
    double eval_row(const double* row, double un) const;
    template <std::size_t Order>
    void eval_batch_of_order(std::span<double> inout) const;
    // The interval holding the scaled level un = u * total_.
    std::size_t interval_of(double u, double un) const;

    std::uint64_t order_ = 0;
    double last_ = 0.0;
    double scale_ = 1.0;  // the density is integrated as density * scale_
    double total_ = 0.0;  // the scaled mass of all intervals
    double left_tail_ = 0.0;
    double right_tail_ = 0.0;
    double norm_ = 0.0;
    std::vector<double> rows_;
    std::vector<double> cum_;  // cum_[i]: scaled mass left of interval i; cum_.back() = total_
    std::vector<double> lefts_;  // a of every interval, for cdf
    std::vector<std::uint32_t> guide_;
    // The integration grid of the build: its knots, the scaled density there
    // and the running mass at each knot from lo.
    std::vector<double> knots_;
    std::vector<double> knot_values_;
    std::vector<double> knot_mass_;
};

}  // namespace drovik
