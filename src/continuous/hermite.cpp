#include "continuous/hermite.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "error.hpp"

namespace drovik {

HermitePpfTable::HermitePpfTable(std::vector<double> u_grid, std::vector<double> x_nodes, double lo, double hi)
    : u_grid_(std::move(u_grid)), x_nodes_(std::move(x_nodes)), lo_(lo), hi_(hi) {
    const std::size_t n = u_grid_.size();
    if (n < 2 || x_nodes_.size() != n) throw Panic("quantile table needs two or more nodes");
    if (std::isinf(hi - lo)) unit_ = 2.0;
    std::vector<double> table_x(x_nodes_);
    for (double& x : table_x) x /= unit_;
    table_lo_ = lo / unit_;
    table_hi_ = hi / unit_;
    slopes_ = monotone_slopes(u_grid_, table_x);
    segments_.resize(n - 1);
    for (std::size_t i = 0; i + 1 < n; ++i) {
        segments_[i] = Segment{u_grid_[i],  u_grid_[i + 1],  u_grid_[i + 1] - u_grid_[i], table_x[i],
                               table_x[i + 1], slopes_[i], slopes_[i + 1]};
    }
    for (double& m : slopes_) m *= unit_;
    u_first_ = u_grid_.front();
    u_last_ = u_grid_.back();
    x_first_ = table_x.front();
    x_last_ = table_x.back();
    last_index_ = static_cast<double>(n - 2);
    index_scale_ = static_cast<double>(n - 1) / (u_last_ - u_first_);
}

void HermitePpfTable::eval_batch(std::span<double> inout) const {
#ifdef DROVIK_HERMITE_AVX512
    static const bool wide = __builtin_cpu_supports("avx512f");
    if (wide && unit_ == 1.0) return eval_batch_avx512(inout);
#endif
    eval_batch_scalar(inout);
}

void HermitePpfTable::eval_batch_scalar(std::span<double> inout) const {
    for (double& u : inout) u = eval(u);
}


std::vector<double> HermitePpfTable::monotone_slopes(std::span<const double> xs, std::span<const double> ys) {
    const std::size_t n = xs.size();
    if (n < 2 || ys.size() != n) {
        throw Panic("monotone_slopes needs two or more points and as many values, got " + std::to_string(n) +
                    " and " + std::to_string(ys.size()));
    }
    std::vector<double> d(n - 1);
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const double h = xs[i + 1] - xs[i];
        d[i] = std::abs(h) > negligible ? (ys[i + 1] - ys[i]) / h : 0.0;
    }
    std::vector<double> m(n);
    m[0] = d[0];
    m[n - 1] = d[n - 2];
    for (std::size_t i = 1; i + 1 < n; ++i) {
        // A sign change or a flat neighbour gives a flat node, so the
        // interpolant never turns back.
        if (d[i - 1] * d[i] <= 0.0) {
            m[i] = 0.0;
        } else {
            m[i] = 2.0 / (1.0 / d[i - 1] + 1.0 / d[i]);
        }
    }
    detail::limit_hermite_slopes(d, m);
    return m;
}

namespace detail {

void limit_hermite_slopes(std::span<const double> secants, std::span<double> slopes) {
    if (slopes.size() != secants.size() + 1) throw Panic("limit_hermite_slopes needs one slope more than secants");
    for (std::size_t i = 0; i < secants.size(); ++i) {
        const double d = secants[i];
        if (std::abs(d) < HermitePpfTable::negligible) continue;
        const double a = slopes[i] / d;
        const double b = slopes[i + 1] / d;
        const double s = a * a + b * b;
        if (s > 9.0) {
            const double tau = 3.0 / std::sqrt(s);
            slopes[i] *= tau;
            slopes[i + 1] *= tau;
        }
    }
}

}  // namespace detail

}  // namespace drovik
