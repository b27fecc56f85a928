// Transformed density rejection over a bounded support.
//
// Log hat: exponentials of the tangents of log f at fixed construction points,
// a piecewise-exponential envelope sampled segment by segment by exact
// inversion, then thinned by rejection. InvSqrt hat: the box [lo, hi] x
// [0, box_max], box_max being the largest density value found on a grid. The
// two kinds are two types, and a built hat is one of them: a draw never asks
// which kind it has.
//
// Where the plain tangent construction fails for a log-concave density
// (parallel neighbouring tangents on an exponential stretch, a knot clamped
// onto a bound, exp(s * x) out of range), the hat is mended: such points are
// dropped and out-of-range segments take their exponentials relative to their
// construction point. A hat that is shown not to lie above the density (slopes
// that increase, a higher peak beside the box's grid maximum, a candidate
// above the hat) is an error, never a silent wrong sample.
//
// Draws are reproducible to the last bit for a seeded generator, so the hot
// path keeps the exact arithmetic of the textbook formulas: it only hoists
// subexpressions that do not depend on the draw (the exponentials at the
// segment ends, the hat's scale) into per-segment constants, finds segments
// with a guide table that gives what the bisection gives, and skips the
// logarithms of the acceptance test only where they cannot change its outcome.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <utility>
#include <variant>
#include <vector>

#include "bisect.hpp"
#include "continuous/interfaces.hpp"
#include "continuous/options.hpp"
#include "error.hpp"
#include "random/rng.hpp"

namespace drovik {

struct TdrSettings {
    Support support;
    std::uint64_t construction_points = default_tdr_construction_points;
    std::uint64_t max_trials = default_tdr_max_trials;
    TdrTransform transform = TdrTransform::Log;
};

namespace detail {

// Finiteness, then order, then the supports of the density and the derivative
// (the box does not use the derivative, but its support must agree as well).
template <class Pdf, class Dpdf>
std::expected<void, BuildError> check_tdr_supports(const Pdf& pdf, const Dpdf& dpdf, const TdrSettings& settings) {
    const auto checked = check_support(settings.support.lo, settings.support.hi);
    if (!checked) return std::unexpected(checked.error());
    if (!(pdf.support() == settings.support) || !(dpdf.support() == settings.support))
        return std::unexpected(BuildError::invalid_support(support_text::tdr_support_mismatch));
    return {};
}

// x_j = lo + (hi - lo) * ((j + 0.5) / count), the midpoint grid of both hats.
inline double tdr_grid_point(const Support& s, std::uint64_t j, std::uint64_t count) {
    return s.lo + (s.hi - s.lo) * ((static_cast<double>(j) + 0.5) / static_cast<double>(count));
}

// A budget of no trials still tries one candidate.
inline std::uint64_t tdr_trials(std::uint64_t max_trials) { return max_trials > 0 ? max_trials : 1; }

}  // namespace detail

class TdrLogHat {
public:
    // Builds the hat for the normalized density `pdf` and its derivative
    // `dpdf`, or says why none can be built.
    template <class Pdf, class Dpdf>
    static std::expected<TdrLogHat, BuildError> try_build(const Pdf& pdf, const Dpdf& dpdf,
                                                          const TdrSettings& settings);

    // One accepted draw. Per trial the generator gives u1, u2 and, when the
    // density value is usable, u3. A candidate whose density value lies above
    // the hat fails the draw before u3 is drawn.
    template <class Pdf, class Rng>
    std::expected<double, SampleError> sample_with_rng(const Pdf& pdf, Rng& rng) const;

    // One candidate from the normalized hat: u1 picks the segment, u2 the
    // point inside it.
    template <class Rng>
    std::expected<double, SampleError> sample_from_hat(Rng& rng) const;

    // Evidence that the hat is not above the density must exceed what rounding
    // and a finite-difference derivative can explain:
    // log f - log h > log_slack + slope_slack * |s_i * (x - x_i)|. A tangent
    // whose slope is off by a relative e drifts from log f by e times the
    // log-distance from its point (on an exponential stretch the central
    // difference errs by (s h)^2 / 6, below 1e-3 with the default step h for
    // any |s| times the width of the support below 775), and a one-sided
    // difference at a bound on a peak leaves the tangent below log f by about
    // h^2 * |(log f)''| / 8 next to its point.
    static constexpr double log_slack = 1e-5;
    static constexpr double slope_slack = 1e-3;

    // log h(x); an x on a knot takes the tangent to its right.
    double hat_log(double x) const { return tangent(knots_le(x), x); }

    const std::vector<double>& points() const { return points_; }
    const std::vector<double>& slopes() const { return slopes_; }
    const std::vector<double>& knots() const { return knots_; }
    const std::vector<double>& areas() const { return areas_; }
    const std::vector<double>& cum_areas() const { return cum_areas_; }

private:
    // What a draw needs of segment i, computed once at build time. The
    // inversion constants are subexpressions of the draw formulas evaluated
    // exactly as they write them, so that hoisting them changes no bit.
    struct Segment {
        double own_lo;     // knots[i - 1]; -inf for the first segment
        double own_hi;     // knots[i];     +inf for the last segment
        double left;       // left_i
        double width;      // right_i - left_i
        double slope;      // s_i
        double point;      // x_i
        double e_left;     // exp(left_i * s_i); relative: exp((left_i - x_i) * s_i)
        double e_span;     // exp(right_i * s_i) - e_left; relative: of right_i - x_i
        double intercept;  // y_i - s_i * x_i; relative: y_i
        double hat_scale;  // exp(intercept): h(x) = hat_scale * exp(s_i * x)
        bool flat;         // |s_i| < flat_slope: the piece is uniform
        bool quick;        // not flat, not relative and hat_scale a normal double: see sample_with_rng
        bool relative;     // exponentials of s_i * (x - x_i): those of s_i * x are out of range
    };

    struct Candidate {
        double x;  // not yet checked for finiteness, not yet clamped
        double w;  // the argument of the inverting logarithm (unset for a flat segment)
        std::size_t segment;
    };

    // Below this slope a hat piece is treated as constant: the exact inversion
    // would divide by (nearly) zero.
    static constexpr double flat_slope = 1e-12;

    // The acceptance test without its logarithms decides only where u3 * hat
    // and v are further apart than this relative margin (see sample_with_rng).
    static constexpr double quick_test_margin = 1e-9;

    TdrLogHat(const TdrSettings& settings, std::vector<double> points, std::vector<double> slopes)
        : settings_(settings), points_(std::move(points)), slopes_(std::move(slopes)) {}

    // The candidate abscissae: the grid and two points just inside the bounds,
    // finite, strictly inside, ascending, at least min_point_gap apart.
    static std::vector<double> candidates(const TdrSettings& settings);

    // Knots, areas and cumulative areas from the usable points.
    static std::expected<TdrLogHat, BuildError> from_points(const TdrSettings& settings, std::vector<double> points,
                                                            std::vector<double> log_values,
                                                            std::vector<double> slopes);

    // The hat over the given points and knots; with `mend`, a segment whose
    // exponentials are out of range takes them relative to its point.
    static std::expected<TdrLogHat, BuildError> assemble(const TdrSettings& settings, std::vector<double> points,
                                                         const std::vector<double>& log_values,
                                                         std::vector<double> slopes, std::vector<double> knots,
                                                         bool mend);

    // 4 k buckets, at most 2^16 (a crowded bucket only costs a bisection).
    static constexpr std::size_t max_guide_size = std::size_t{1} << 16;
    void build_guide();

    // Segment of u1: the last cum_areas entry equal to u1, else the first
    // entry above it. A bisection over k entries is a chain of dependent loads
    // that costs more than the rest of the candidate; the guide table answers
    // in one step wherever its bucket holds at most one entry, and the same
    // rule holds there: with c entries <= u, the segment is c - 1 when
    // cum_areas[c - 1] == u, else c.
    std::size_t segment_of(double u) const {
        const double* cum = cum_areas_.data();
        // u * guide size is exact (a power of two) and below the size for u < 1.
        const std::size_t bucket = std::min(static_cast<std::size_t>(u * guide_scale_), guide_.size() - 1);
        const std::size_t g = guide_[bucket];
        if (g & crowded_bucket) [[unlikely]]
            return bisect_segment(u);
        const std::size_t c = g + (cum[g] <= u ? 1 : 0);
        const std::size_t index = (c > 0 && cum[c - 1] == u) ? c - 1 : c;
        const std::size_t last = cum_areas_.size() - 1;
        return index < last ? index : last;
    }

    // The same by bisection.
    std::size_t bisect_segment(double u) const {
        const std::size_t index = cumulative_index(cum_areas_, u);
        const std::size_t last = cum_areas_.size() - 1;
        return index < last ? index : last;
    }

    // The number of knots <= x: the segment whose tangent holds at x.
    std::size_t knots_le(double x) const { return knots_.empty() ? 0 : count_at_most(knots_, x); }

    double tangent(std::size_t i, double x) const {
        const Segment& g = segments_[i];
        if (g.relative) [[unlikely]]
            return g.intercept + g.slope * (x - g.point);
        return x * g.slope + g.intercept;
    }

    // log f(x) - log h(x) above this proves the hat wrong at x in segment i.
    double log_hat_allowance(std::size_t i, double x) const {
        const Segment& g = segments_[i];
        return log_slack + slope_slack * std::abs(g.slope * (x - g.point));
    }

    template <class Rng>
    Candidate candidate(Rng& rng) const {
        const double u1 = uniform(rng);
        const std::size_t i = segment_of(u1);
        const double u2 = uniform(rng);
        const Segment& g = segments_[i];
        if (g.flat) return {g.left + g.width * u2, 0.0, i};
        const double w = g.e_left + g.e_span * u2;
        if (g.relative) [[unlikely]]
            return {g.point + std::log(w) / g.slope, w, i};
        return {std::log(w) / g.slope, w, i};
    }

    double clamp_to_support(double x) const {
        if (x < settings_.support.lo) return settings_.support.lo;
        if (x > settings_.support.hi) return settings_.support.hi;
        return x;
    }

    TdrSettings settings_;
    std::vector<double> points_;
    std::vector<double> slopes_;
    std::vector<double> knots_;
    std::vector<double> areas_;
    std::vector<double> cum_areas_;
    std::vector<Segment> segments_;
    // Bucket b covers u in [b, b + 1) / guide size: the number of cum_areas
    // entries <= b / guide size, flagged crowded when more than one entry
    // falls inside the bucket.
    static constexpr std::size_t crowded_bucket = std::size_t{1} << (sizeof(std::size_t) * 8 - 1);
    std::vector<std::size_t> guide_;
    double guide_scale_ = 0.0;
};

class TdrBoxHat {
public:
    // Builds the box for the normalized density `pdf`; `dpdf` is only checked
    // for its support.
    template <class Pdf, class Dpdf>
    static std::expected<TdrBoxHat, BuildError> try_build(const Pdf& pdf, const Dpdf& dpdf,
                                                          const TdrSettings& settings);

    // One accepted draw. Per trial the generator gives u1 and, when the density
    // value is usable, u2. A density value above the box fails the draw before
    // u2 is drawn.
    template <class Pdf, class Rng>
    std::expected<double, SampleError> sample_with_rng(const Pdf& pdf, Rng& rng) const;

    // Evidence that the box is not above the density: f > box_max * (1 + box_slack).
    static constexpr double box_slack = 1e-9;
    // Density calls of the search beside the grid maximum, per cell.
    static constexpr int peak_search_calls = 20;
    // The smallest grid the box is taken from.
    static constexpr std::uint64_t min_grid_size = 32;

    double box_max() const { return box_max_; }

private:
    TdrBoxHat(const TdrSettings& settings, double box_max) : settings_(settings), box_max_(box_max) {}

    // The largest finite density value a golden-section search for the peak
    // in [a, b] meets (0 when it meets none).
    template <class Pdf>
    static double peak_near(const Pdf& pdf, double a, double b);

    TdrSettings settings_;
    double box_max_;
};

// The hat of the settings' transform, chosen once at build.
using TdrHat = std::variant<TdrLogHat, TdrBoxHat>;

template <class Pdf, class Dpdf>
std::expected<TdrHat, BuildError> build_tdr_hat(const Pdf& pdf, const Dpdf& dpdf, const TdrSettings& settings) {
    if (settings.transform == TdrTransform::InvSqrt) return TdrBoxHat::try_build(pdf, dpdf, settings);
    return TdrLogHat::try_build(pdf, dpdf, settings);
}

template <class Pdf, class Dpdf>
std::expected<TdrLogHat, BuildError> TdrLogHat::try_build(const Pdf& pdf, const Dpdf& dpdf,
                                                          const TdrSettings& settings) {
    if (auto checked = detail::check_tdr_supports(pdf, dpdf, settings); !checked)
        return std::unexpected(checked.error());
    const std::vector<double> xs = candidates(settings);
    std::vector<double> points, log_values, slopes;
    points.reserve(xs.size());
    log_values.reserve(xs.size());
    slopes.reserve(xs.size());
    for (const double x : xs) {
        const double v = pdf.pdf(x);
        if (!(std::isfinite(v) && v > 0.0)) continue;
        const double dv = dpdf.dpdf(x);
        if (!std::isfinite(dv)) continue;
        points.push_back(x);
        log_values.push_back(std::log(v));
        slopes.push_back(dv / v);
    }
    return from_points(settings, std::move(points), std::move(log_values), std::move(slopes));
}

template <class Rng>
std::expected<double, SampleError> TdrLogHat::sample_from_hat(Rng& rng) const {
    const Candidate c = candidate(rng);
    if (!std::isfinite(c.x)) return std::unexpected(SampleError::of(SampleError::Kind::TdrDrawFailed));
    return clamp_to_support(c.x);
}

template <class Pdf, class Rng>
std::expected<double, SampleError> TdrLogHat::sample_with_rng(const Pdf& pdf, Rng& rng) const {
    const std::uint64_t t_max = detail::tdr_trials(settings_.max_trials);
    for (std::uint64_t t = 0; t < t_max; ++t) {
        const Candidate c = candidate(rng);
        if (!std::isfinite(c.x)) return std::unexpected(SampleError::of(SampleError::Kind::TdrDrawFailed));
        const double x = clamp_to_support(c.x);
        const double v = pdf.pdf(x);
        if (!(std::isfinite(v) && v > 0.0)) continue;
        // Almost always x lies in the segment it was drawn from; only a clamp
        // or the last rounding of the inversion can move it into a neighbour.
        const Segment& g = segments_[c.segment];
        const bool own = g.own_lo <= x && x < g.own_hi;
        if (own && g.quick && x == c.x) {
            // x came from w by x = log(w) / s_i, so h = x * s_i + intercept
            // equals log(hat) to within 1e-12 (every term is below 750 in
            // magnitude while the products stay normal). A v up to hat is
            // therefore not above the hat by more than the allowance.
            const double hat = g.hat_scale * c.w;
            if (v <= hat && hat >= std::numeric_limits<double>::min()) {
                const double u3 = uniform(rng);
                // The test log(u3) <= log(v) - h without its two logarithms:
                // the rounded logarithms are off by less than 1e-12 as well, so
                // where u3 * hat is further than quick_test_margin from v the
                // test comes out the same; elsewhere it is evaluated.
                const double p = u3 * hat;
                if (p >= std::numeric_limits<double>::min() && p <= std::numeric_limits<double>::max() &&
                    v >= std::numeric_limits<double>::min()) {
                    if (p < v * (1.0 - quick_test_margin)) return x;
                    if (p > v * (1.0 + quick_test_margin)) continue;
                }
                if (std::log(u3) <= std::log(v) - tangent(c.segment, x)) return x;
                continue;
            }
        }
        const std::size_t i = own ? c.segment : knots_le(x);
        const double margin = std::log(v) - tangent(i, x);
        // A density above its hat: it is not log-concave here (or its derivative is wrong).
        if (margin > log_hat_allowance(i, x))
            return std::unexpected(SampleError::of(SampleError::Kind::TdrDrawFailed));
        if (std::log(uniform(rng)) <= margin) return x;  // u3 == 0 gives -inf: accepted
    }
    return std::unexpected(SampleError::of(SampleError::Kind::TdrDrawFailed));
}

template <class Pdf, class Dpdf>
std::expected<TdrBoxHat, BuildError> TdrBoxHat::try_build(const Pdf& pdf, const Dpdf& dpdf,
                                                          const TdrSettings& settings) {
    if (auto checked = detail::check_tdr_supports(pdf, dpdf, settings); !checked)
        return std::unexpected(checked.error());
    const Support s = settings.support;
    const std::uint64_t m = std::max<std::uint64_t>(min_grid_size, settings.construction_points);
    double box_max = 0.0;
    std::uint64_t peak = 0;
    for (std::uint64_t j = 0; j < m; ++j) {
        const double v = pdf.pdf(detail::tdr_grid_point(s, j, m));
        if (std::isfinite(v) && v > box_max) {
            box_max = v;
            peak = j;
        }
    }
    if (box_max == 0.0) return std::unexpected(BuildError::of(BuildError::Kind::TdrBuildFailed));
    // A peak between grid points would rise through the box: look for it in
    // the two cells beside the grid maximum (half cells at a bound).
    const double at = detail::tdr_grid_point(s, peak, m);
    const double before = peak == 0 ? s.lo : detail::tdr_grid_point(s, peak - 1, m);
    const double after = peak + 1 == m ? s.hi : detail::tdr_grid_point(s, peak + 1, m);
    const double higher = std::max(peak_near(pdf, before, at), peak_near(pdf, at, after));
    if (higher > box_max * (1.0 + box_slack)) return std::unexpected(BuildError::of(BuildError::Kind::TdrBuildFailed));
    return TdrBoxHat(settings, box_max);
}

template <class Pdf>
double TdrBoxHat::peak_near(const Pdf& pdf, double a, double b) {
    // 1 / golden ratio; each call after the first two narrows [a, b] by it.
    constexpr double ratio = 0.6180339887498949;
    const auto value = [&pdf](double x) {
        const double v = pdf.pdf(x);
        return std::isfinite(v) ? v : -std::numeric_limits<double>::infinity();
    };
    double x1 = b - ratio * (b - a);
    double x2 = a + ratio * (b - a);
    double f1 = value(x1);
    double f2 = value(x2);
    double best = std::max({0.0, f1, f2});
    for (int call = 2; call < peak_search_calls; ++call) {
        if (f1 >= f2) {
            b = x2;
            x2 = x1;
            f2 = f1;
            x1 = b - ratio * (b - a);
            f1 = value(x1);
            best = std::max(best, f1);
        } else {
            a = x1;
            x1 = x2;
            f1 = f2;
            x2 = a + ratio * (b - a);
            f2 = value(x2);
            best = std::max(best, f2);
        }
    }
    return best;
}

template <class Pdf, class Rng>
std::expected<double, SampleError> TdrBoxHat::sample_with_rng(const Pdf& pdf, Rng& rng) const {
    const std::uint64_t t_max = detail::tdr_trials(settings_.max_trials);
    const double lo = settings_.support.lo;
    const double width = settings_.support.hi - settings_.support.lo;
    const double height = box_max_;
    const double ceiling = height * (1.0 + box_slack);
    for (std::uint64_t t = 0; t < t_max; ++t) {
        const double x = lo + width * uniform(rng);
        const double v = pdf.pdf(x);
        if (!(std::isfinite(v) && v >= 0.0)) continue;
        // The density rises through the box: it has a peak the build missed.
        if (v > ceiling) return std::unexpected(SampleError::of(SampleError::Kind::TdrDrawFailed));
        if (height * uniform(rng) <= v) return x;
    }
    return std::unexpected(SampleError::of(SampleError::Kind::TdrDrawFailed));
}

}  // namespace drovik
