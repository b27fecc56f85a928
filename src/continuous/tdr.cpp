#include "continuous/tdr.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace drovik {

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

// Below this slope a hat piece is treated as constant: the exact inversion
// would divide by (nearly) zero.
constexpr double flat_slope = 1e-12;

// Neighbouring tangents closer than this in slope meet too far away (or never).
constexpr double parallel_slopes = 1e-14;

// Two construction points closer than this give the same tangent twice.
constexpr double min_point_gap = 1e-12;

BuildError build_failed() { return BuildError::of(BuildError::Kind::TdrBuildFailed); }

}  // namespace

std::vector<double> TdrHat::log_candidates(const TdrSettings& settings) {
    const Support s = settings.support;
    const std::uint64_t n = std::max<std::uint64_t>(4, settings.construction_points);
    std::vector<double> raw;
    raw.reserve(n + 2);
    for (std::uint64_t j = 0; j < n; ++j) raw.push_back(grid_point(s, j, n));
    // The outer grid points leave half a cell uncovered at each end; these two
    // give the tails a tangent of their own.
    raw.push_back(s.lo + (s.hi - s.lo) * 1e-12);
    raw.push_back(s.hi - (s.hi - s.lo) * 1e-12);

    std::vector<double> inside;
    inside.reserve(raw.size());
    for (const double x : raw) {
        if (std::isfinite(x) && s.lo < x && x < s.hi) inside.push_back(x);
    }
    std::sort(inside.begin(), inside.end());

    std::vector<double> kept;
    kept.reserve(inside.size());
    for (const double x : inside) {
        if (!kept.empty() && std::abs(x - kept.back()) < min_point_gap) continue;
        kept.push_back(x);
    }
    return kept;
}

std::expected<TdrHat, BuildError> TdrHat::from_points(const TdrSettings& settings, std::vector<double> points,
                                                      std::vector<double> log_values, std::vector<double> slopes) {
    const std::size_t k = points.size();
    if (k < 4) return std::unexpected(build_failed());
    const double* x = points.data();
    const double* y = log_values.data();
    const double* s = slopes.data();

    // Where neighbouring tangents meet.
    std::vector<double> knots(k - 1);
    for (std::size_t i = 0; i + 1 < k; ++i) {
        if (std::abs(s[i] - s[i + 1]) < parallel_slopes) return std::unexpected(build_failed());
        knots[i] = (y[i + 1] - y[i] + s[i] * x[i] - s[i + 1] * x[i + 1]) / (s[i] - s[i + 1]);
    }
    const double lo = settings.support.lo;
    const double hi = settings.support.hi;
    for (std::size_t i = 0; i < knots.size(); ++i) {
        double& z = knots[i];
        if (!std::isfinite(z)) return std::unexpected(build_failed());
        z = z < lo ? lo : (z > hi ? hi : z);
        // Knots out of order: the tangents do not form a concave envelope.
        if (i > 0 && z < knots[i - 1]) return std::unexpected(build_failed());
    }

    TdrHat hat(settings, std::move(points), std::move(log_values), std::move(slopes));
    x = hat.points_.data();
    y = hat.log_values_.data();
    s = hat.slopes_.data();
    hat.knots_ = std::move(knots);
    const std::vector<double>& z = hat.knots_;

    hat.areas_.resize(k);
    hat.segments_.resize(k);
    for (std::size_t i = 0; i < k; ++i) {
        const double left = i == 0 ? lo : z[i - 1];
        const double right = i + 1 == k ? hi : z[i];
        const double a = y[i] - s[i] * x[i];
        const bool flat = std::abs(s[i]) < flat_slope;
        // The exponentials are of s * x itself, not relative to the point: a
        // large |s * x| overflows and fails the build here rather than a draw.
        const double area = flat ? (right - left) * std::exp(a)
                                 : (std::exp(s[i] * right) - std::exp(s[i] * left)) * (std::exp(a) / s[i]);
        // A zero-width segment (equal knots, a knot clamped onto a bound) lands here too.
        if (!(std::isfinite(area) && area > 0.0)) return std::unexpected(build_failed());
        hat.areas_[i] = area;

        Segment& g = hat.segments_[i];
        g.own_lo = i == 0 ? -inf : left;
        g.own_hi = i + 1 == k ? inf : right;
        g.left = left;
        g.width = right - left;
        g.slope = s[i];
        g.e_left = std::exp(left * s[i]);
        g.e_span = std::exp(right * s[i]) - g.e_left;
        g.intercept = a;
        g.hat_scale = std::exp(a);
        g.flat = flat;
        g.quick = !flat && std::isnormal(g.hat_scale);
    }

    double total = 0.0;
    for (const double area : hat.areas_) total += area;
    if (!(std::isfinite(total) && total > 0.0)) return std::unexpected(build_failed());

    hat.cum_areas_.resize(k);
    double acc = 0.0;
    for (std::size_t i = 0; i < k; ++i) {
        acc = acc + hat.areas_[i] / total;
        hat.cum_areas_[i] = acc;
    }
    // Rounding must not leave a sliver of u above the last entry.
    hat.cum_areas_.back() = 1.0;
    hat.build_guide();
    return hat;
}

void TdrHat::build_guide() {
    // About four buckets per segment, so that most buckets hold at most one
    // entry; a power of two, so that u * size is exact.
    const std::size_t k = cum_areas_.size();
    const std::size_t size = std::bit_ceil(std::clamp<std::size_t>(4 * k, 4, max_guide_size));
    guide_scale_ = static_cast<double>(size);
    guide_.assign(size, 0);
    std::size_t below = 0;  // entries <= b / size
    for (std::size_t b = 0; b < size; ++b) {
        const double start = static_cast<double>(b) / guide_scale_;
        const double end = static_cast<double>(b + 1) / guide_scale_;
        while (below < k && cum_areas_[below] <= start) ++below;
        std::size_t through = below;  // entries <= end
        while (through < k && cum_areas_[through] <= end) ++through;
        guide_[b] = below | (through - below > 1 ? crowded_bucket : 0);
    }
}

void TdrHat::require_log_hat() const {
    if (box_max_) throw Panic("the box hat has no segments to draw from");
}

}  // namespace drovik
