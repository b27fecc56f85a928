// A monotone piecewise-cubic approximation of the quantile function, built once
// by bisection on the distribution function so that each later quantile costs a
// table lookup and one cubic, with no call of the distribution function.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "continuous/invert.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#define DROVIK_HERMITE_AVX512 1  // eval_batch has an AVX-512 kernel, chosen at run time
#endif

namespace drovik {

class HermitePpfTable {
public:
    // Below this a width or a secant counts as zero.
    static constexpr double negligible = 1e-300;

    // Nodes at levels evenly spaced in u from 1e-12 to about 1 - 1e-12, at least
    // four of them. Where the distribution has no usable span the node falls back
    // to the point at the same fraction of [lo, hi]. A distribution function that
    // turns NaN inside the support fails the build: a node put at the fallback
    // would make the table sample from where the distribution has no mass.
    template <class Cdf>
    static std::expected<HermitePpfTable, BuildError> build(const Cdf& dist, std::uint64_t grid_size,
                                                            std::uint32_t max_iterations, double lo, double hi,
                                                            double tol) {
        const std::uint64_t n = std::max<std::uint64_t>(grid_size, 4);
        std::vector<double> u_grid(n);
        std::vector<double> x_nodes(n);
        const double last = static_cast<double>(n - 1);
        for (std::uint64_t j = 0; j < n; ++j) {
            const double t = static_cast<double>(j) / last;
            const double u = t * 0.999999999998 + 1e-12;
            u_grid[j] = u;
            const auto target = detail::inversion_target(dist, lo, hi, u);
            if (!target) {
                // Taken in halves where hi - lo overflows.
                x_nodes[j] = std::isinf(hi - lo) ? lo + ((hi * 0.5 - lo * 0.5) * t) * 2.0 : lo + (hi - lo) * t;
                continue;
            }
            const auto found = detail::bisect(dist, max_iterations, lo, hi, *target, tol);
            if (!found) return std::unexpected(BuildError::of(BuildError::Kind::TableInversionFailed));
            x_nodes[j] = found->x;
        }
        return HermitePpfTable(std::move(u_grid), std::move(x_nodes), lo, hi);
    }

    // The approximate quantile at u; callers have checked 0 < u < 1. Levels
    // beyond the outer nodes get the outer nodes, not an extrapolation.
    double eval(double u) const {
        if (u <= u_first_) return x_first_ * unit_;
        if (u >= u_last_) return x_last_ * unit_;
        const Segment& s = segments_[locate(u)];
        if (std::abs(s.h) < negligible) return s.x_lo * unit_;
        const double t = (u - s.u_lo) / s.h;
        const double t2 = t * t;
        const double t3 = t2 * t;
        // Grouped and summed exactly as the cubic Hermite form reads, so values
        // do not depend on how the lookup was done.
        const double value = (2.0 * t3 - 3.0 * t2 + 1.0) * s.x_lo + s.h * (t3 - 2.0 * t2 + t) * s.m_lo +
                             (3.0 * t2 - 2.0 * t3) * s.x_hi + s.h * (t3 - t2) * s.m_hi;
        return std::clamp(value, table_lo_, table_hi_) * unit_;
    }

    // eval on every level of inout, in place, with bit-identical results. On a
    // CPU with AVX-512 eight levels go through one vector (their segments read
    // as rows and transposed); elsewhere, and for the tail, this is eval.
    void eval_batch(std::span<double> inout) const;

    // Index i of the interval used for u: u_i < u <= u_{i+1} inside the grid, 0
    // below it (and for NaN), n - 2 at or above the last level.
    std::size_t interval(double u) const {
        if (!(u > u_first_)) return 0;
        if (u >= u_last_) return segments_.size() - 1;
        return locate(u);
    }

    // Fritsch-Carlson slopes of a monotone cubic Hermite interpolant of ys over
    // xs (equal lengths, at least two points).
    static std::vector<double> monotone_slopes(std::span<const double> xs, std::span<const double> ys);

    const std::vector<double>& u_grid() const { return u_grid_; }
    const std::vector<double>& x_nodes() const { return x_nodes_; }
    const std::vector<double>& slopes() const { return slopes_; }
    double lo() const { return lo_; }
    double hi() const { return hi_; }

private:
    // Everything eval reads for one interval, in one cache line.
    struct alignas(64) Segment {
        double u_lo;
        double u_hi;
        double h;  // u_hi - u_lo
        double x_lo;
        double x_hi;
        double m_lo;
        double m_hi;
    };

    HermitePpfTable(std::vector<double> u_grid, std::vector<double> x_nodes, double lo, double hi);

    void eval_batch_scalar(std::span<double> inout) const;
#ifdef DROVIK_HERMITE_AVX512
    // In hermite_avx512.cpp, the one function compiled for AVX-512.
    void eval_batch_avx512(std::span<double> inout) const;
#endif

    // For u_0 < u <= u_{n-1}. The levels are evenly spaced, so the index is
    // guessed from u and then moved to the interval whose ends bracket u;
    // rounding makes the guess at most one off. A NaN u ends on a valid index.
    std::size_t locate(double u) const {
        const double guess = (u - u_first_) * index_scale_;
        std::size_t i = guess < last_index_ ? static_cast<std::size_t>(guess) : segments_.size() - 1;
        while (u <= segments_[i].u_lo) --i;
        while (u > segments_[i].u_hi) ++i;
        return i;
    }

    std::vector<double> u_grid_;
    std::vector<double> x_nodes_;
    std::vector<double> slopes_;
    double lo_;
    double hi_;
    // The table holds x / unit_: 2 where hi - lo overflows (slopes and sums of
    // values near the ends of the double range would), else 1, exact either way.
    double unit_ = 1.0;
    double table_lo_;
    double table_hi_;
    std::vector<Segment> segments_;
    double u_first_;
    double u_last_;
    double x_first_;
    double x_last_;
    double index_scale_;  // intervals per unit of u
    double last_index_;   // n - 2
};

namespace detail {

// Step of the slope computation that pulls (m_i / d_i, m_{i+1} / d_i) back onto
// the circle of radius 3 wherever it lies outside, interval by interval in
// ascending order, each interval starting from the slopes its predecessor left.
void limit_hermite_slopes(std::span<const double> secants, std::span<double> slopes);

}  // namespace detail

}  // namespace drovik
