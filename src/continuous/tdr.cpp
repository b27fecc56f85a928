#include "continuous/tdr.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

namespace drovik {

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

// Neighbouring tangents closer than this in slope meet too far away (or never).
constexpr double parallel_slopes = 1e-14;

// Two construction points closer than this give the same tangent twice.
constexpr double min_point_gap = 1e-12;

// The two candidates beside the bounds lie this fraction of the width inside.
constexpr double bound_offset = 1e-12;

// Two slopes closer than this are one slope, up to the rounding of the density
// values and their finite differences: relative to the slopes, with a floor on
// the scale of the support.
double slope_tolerance(double a, double b, double width) {
    return std::max(parallel_slopes, 1e-8 * (std::abs(a) + std::abs(b) + 1.0 / width));
}

BuildError build_failed() { return BuildError::of(BuildError::Kind::TdrBuildFailed); }

}  // namespace

std::vector<double> TdrLogHat::candidates(const TdrSettings& settings) {
    const Support s = settings.support;
    const std::uint64_t n = std::max<std::uint64_t>(4, settings.construction_points);
    std::vector<double> raw;
    raw.reserve(n + 2);
    for (std::uint64_t j = 0; j < n; ++j) raw.push_back(detail::tdr_grid_point(s, j, n));
    // The outer grid points leave half a cell uncovered at each end; these two
    // give the tails a tangent of their own.
    raw.push_back(s.lo + (s.hi - s.lo) * bound_offset);
    raw.push_back(s.hi - (s.hi - s.lo) * bound_offset);

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

namespace {

// Where neighbouring tangents meet, clamped into [lo, hi]; none where two are
// parallel, a knot is not finite or the knots are out of order.
std::optional<std::vector<double>> tangent_knots(const std::vector<double>& x, const std::vector<double>& y,
                                                 const std::vector<double>& s, double lo, double hi) {
    const std::size_t k = x.size();
    std::vector<double> knots(k - 1);
    for (std::size_t i = 0; i + 1 < k; ++i) {
        if (std::abs(s[i] - s[i + 1]) < parallel_slopes) return std::nullopt;
        knots[i] = (y[i + 1] - y[i] + s[i] * x[i] - s[i + 1] * x[i + 1]) / (s[i] - s[i + 1]);
    }
    for (std::size_t i = 0; i < knots.size(); ++i) {
        double& z = knots[i];
        if (!std::isfinite(z)) return std::nullopt;
        z = z < lo ? lo : (z > hi ? hi : z);
        // Knots out of order: the tangents do not form a concave envelope.
        if (i > 0 && z < knots[i - 1]) return std::nullopt;
    }
    return knots;
}

template <class T>
std::vector<T> pick(const std::vector<T>& all, const std::vector<std::size_t>& indices) {
    std::vector<T> out;
    out.reserve(indices.size());
    for (const std::size_t i : indices) out.push_back(all[i]);
    return out;
}

}  // namespace

std::expected<TdrLogHat, BuildError> TdrLogHat::from_points(const TdrSettings& settings, std::vector<double> points,
                                                            std::vector<double> log_values,
                                                            std::vector<double> slopes) {
    const std::size_t k = points.size();
    if (k < 4) return std::unexpected(build_failed());
    const double* x = points.data();
    const double* y = log_values.data();
    const double* s = slopes.data();
    const double lo = settings.support.lo;
    const double hi = settings.support.hi;

    // A log-concave density's slopes never increase; an infinite one gives no knot.
    for (std::size_t i = 0; i < k; ++i) {
        if (!std::isfinite(s[i])) return std::unexpected(build_failed());
        if (i > 0 && s[i] - s[i - 1] > slope_tolerance(s[i - 1], s[i], hi - lo)) return std::unexpected(build_failed());
    }

    if (auto knots = tangent_knots(points, log_values, slopes, lo, hi)) {
        auto hat = assemble(settings, points, log_values, slopes, std::move(*knots), false);
        if (hat) return hat;
    }

    // The plain construction failed. Drop points whose tangent is parallel to
    // the last one kept: on a stretch where log f is linear both tangents are
    // that line, and the one kept is the one passing above the other's point
    // (a finite-difference slope errs towards one side).
    std::vector<std::size_t> kept;
    kept.reserve(k);
    for (std::size_t j = 0; j < k; ++j) {
        bool keep = true;
        while (!kept.empty()) {
            const std::size_t a = kept.back();
            if (!(std::abs(s[a] - s[j]) <= slope_tolerance(s[a], s[j], hi - lo))) break;
            const double dx = x[j] - x[a];
            const double above_new = y[a] + s[a] * dx - y[j];
            const double above_old = y[j] - s[j] * dx - y[a];
            const double allowance = log_slack + slope_slack * std::max(std::abs(s[a]), std::abs(s[j])) * dx;
            // Parallel tangents on two different lines: log f is not concave between them.
            if (!(std::abs(above_new) <= allowance && std::abs(above_old) <= allowance))
                return std::unexpected(build_failed());
            if (above_new >= above_old) {
                keep = false;
                break;
            }
            kept.pop_back();
        }
        if (keep) kept.push_back(j);
    }

    // Then drop points whose segment has no width (a knot clamped onto a
    // bound, or three tangents through one point): the envelope of the other
    // tangents is the same. And drop the steeper of two tangents that do not
    // meet at their knot: one too steep for the double grid around the knot
    // (the one-sided difference just inside a bound where the density
    // vanishes), whose hat an ulp of the knot would change by a large factor.
    // Any subset of the tangents of a log-concave density is still a hat.
    for (;;) {
        const std::size_t n = kept.size();
        std::vector<double> knots(n - 1);
        for (std::size_t i = 0; i + 1 < n; ++i) {
            const std::size_t a = kept[i], b = kept[i + 1];
            double z = (y[b] - y[a] + s[a] * x[a] - s[b] * x[b]) / (s[a] - s[b]);
            if (!std::isfinite(z)) return std::unexpected(build_failed());
            z = z < lo ? lo : (z > hi ? hi : z);
            if (i > 0 && z < knots[i - 1]) return std::unexpected(build_failed());
            knots[i] = z;
        }
        std::vector<std::size_t> wide;
        wide.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            const double left = i == 0 ? lo : knots[i - 1];
            const double right = i + 1 == n ? hi : knots[i];
            if (right > left) wide.push_back(kept[i]);
        }
        // The knots are ordered and span hi - lo > 0, so some segment is wide.
        if (wide.size() < n) {
            kept = std::move(wide);
            continue;
        }
        std::vector<std::size_t> resolved;
        resolved.reserve(n);
        std::vector<bool> steep(n, false);
        for (std::size_t i = 0; i + 1 < n; ++i) {
            const std::size_t a = kept[i], b = kept[i + 1];
            const double z = knots[i];
            if (!(lo < z && z < hi)) continue;
            const double gap = (y[a] + s[a] * (z - x[a])) - (y[b] + s[b] * (z - x[b]));
            if (!(std::abs(gap) <= log_slack)) steep[std::abs(s[a]) > std::abs(s[b]) ? i : i + 1] = true;
        }
        for (std::size_t i = 0; i < n; ++i)
            if (!steep[i]) resolved.push_back(kept[i]);
        if (resolved.size() == n)
            return assemble(settings, pick(points, kept), pick(log_values, kept), pick(slopes, kept),
                            std::move(knots), true);
        kept = std::move(resolved);
    }
}

std::expected<TdrLogHat, BuildError> TdrLogHat::assemble(const TdrSettings& settings, std::vector<double> points,
                                                         const std::vector<double>& log_values,
                                                         std::vector<double> slopes, std::vector<double> knots,
                                                         bool mend) {
    const std::size_t k = points.size();
    const double lo = settings.support.lo;
    const double hi = settings.support.hi;
    TdrLogHat hat(settings, std::move(points), std::move(slopes));
    const double* x = hat.points_.data();
    const double* y = log_values.data();
    const double* s = hat.slopes_.data();
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
        double area = flat ? (right - left) * std::exp(a)
                           : (std::exp(s[i] * right) - std::exp(s[i] * left)) * (std::exp(a) / s[i]);
        // A mended hat takes them relative to the point instead: exp(s * (x - x_i))
        // stays in range wherever the hat is within a factor e^709 of f(x_i).
        const bool relative = mend && !(std::isfinite(area) && area > 0.0);
        if (relative) {
            area = flat ? (right - left) * std::exp(y[i])
                        : (std::exp(s[i] * (right - x[i])) - std::exp(s[i] * (left - x[i]))) * (std::exp(y[i]) / s[i]);
        }
        // A zero-width segment (equal knots, a knot clamped onto a bound) lands here too.
        if (!(std::isfinite(area) && area > 0.0)) return std::unexpected(build_failed());
        hat.areas_[i] = area;

        Segment& g = hat.segments_[i];
        g.own_lo = i == 0 ? -inf : left;
        g.own_hi = i + 1 == k ? inf : right;
        g.left = left;
        g.width = right - left;
        g.slope = s[i];
        g.point = x[i];
        g.e_left = relative ? std::exp((left - x[i]) * s[i]) : std::exp(left * s[i]);
        g.e_span = (relative ? std::exp((right - x[i]) * s[i]) : std::exp(right * s[i])) - g.e_left;
        g.intercept = relative ? y[i] : a;
        g.hat_scale = std::exp(g.intercept);
        g.flat = flat;
        g.relative = relative;
        g.quick = !flat && !relative && std::isnormal(g.hat_scale);
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

void TdrLogHat::build_guide() {
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

}  // namespace drovik
