#include "continuous/inverse_polynomial.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <queue>
#include <tuple>
#include <utility>

#include "interrupt.hpp"
#include "midpoint.hpp"

namespace drovik {

namespace {

constexpr double eps = std::numeric_limits<double>::epsilon();

// How the u-error budget is spent: the mass cut from each tail, the estimated
// error of the integration grid, and the u-error an interval may show at its
// test levels (the test levels lie near, not at, the interpolation error's
// extremes, so the estimate is kept below the resolution with room to spare).
constexpr double tail_share = 0.05;
constexpr double quadrature_share = 0.01;
constexpr double interpolation_share = 0.7;
// An end whose density exceeds this many times the interval's average gets a
// test level at this share of the way to the first node.
constexpr double steep_end = 2.0;
constexpr double end_test_share = 1.0 / 16.0;

// The integration grid starts with this many equal leaves on each side of the
// center, so that no part of the support is judged by five points alone.
constexpr std::size_t first_leaves_per_side = 16;
constexpr std::size_t max_leaves = 20000;
constexpr int max_halvings = 160;
// An interval that keeps failing is given up after this many shortenings.
constexpr int max_rejections_in_a_row = 60;
// Candidates of the center search: an even grid, and points approaching the
// ends, the middle and zero by halving.
constexpr int center_grid = 64;
constexpr int center_halvings = 30;
constexpr int golden_steps = 60;
// Guide-table entries per interval.
constexpr std::size_t guide_factor = 8;

// Five-point Gauss-Lobatto rule on [-1, 1]: nodes 0, +-sqrt(3/7), +-1.
constexpr double lobatto_offset = 0.65465367070797714379829245624503;
constexpr double lobatto_end_weight = 0.1;
constexpr double lobatto_inner_weight = 49.0 / 90.0;
constexpr double lobatto_middle_weight = 32.0 / 45.0;

// Half the width, never overflowing.
double half_width(double p, double q) { return q * 0.5 - p * 0.5; }

// The rule on [p, q] from the end values and the three inner ones.
double lobatto(double p, double fp, double f1, double fm, double f3, double q, double fq) {
    return half_width(p, q) *
           (lobatto_end_weight * (fp + fq) + lobatto_inner_weight * (f1 + f3) + lobatto_middle_weight * fm);
}

template <class Value>
double lobatto(Value&& value, double p, double fp, double q, double fq) {
    const double m = midpoint(p, q);
    const double d = half_width(p, q) * lobatto_offset;
    const double f1 = value(m - d);
    const double fm = value(m);
    const double f3 = value(m + d);
    return lobatto(p, fp, f1, fm, f3, q, fq);
}

// The knots of an integration grid, the (scaled) density there, and the mass
// from the first knot to each. Inside one leaf the plain rule is as accurate as
// on the whole leaf, which the adaptive pass found accurate enough; whole
// leaves are taken from the running mass without any density call.
struct GridView {
    const std::vector<double>& knots;
    const std::vector<double>& values;
    const std::vector<double>& mass;

    // The leaf k with knots[k] <= x < knots[k + 1], clamped to the leaves.
    std::size_t leaf_of(double x) const {
        const auto it = std::upper_bound(knots.begin(), knots.end(), x);
        const std::size_t k = it == knots.begin() ? 0 : static_cast<std::size_t>(it - knots.begin()) - 1;
        return std::min(k, knots.size() - 2);
    }

    // The running mass at x, linear inside a leaf: an estimate without calls.
    double mass_estimate(double x) const {
        const std::size_t k = leaf_of(x);
        const double t = std::clamp((x - knots[k]) / (knots[k + 1] - knots[k]), 0.0, 1.0);
        return mass[k] + t * (mass[k + 1] - mass[k]);
    }

    template <class Value>
    double integral(Value&& value, double p, double fp, double q, double fq) const {
        if (!(p < q)) return 0.0;
        // Knots i ... j lie in [p, q]; whole leaves between them cost no call.
        const std::size_t i = static_cast<std::size_t>(std::lower_bound(knots.begin(), knots.end(), p) - knots.begin());
        const std::size_t past = static_cast<std::size_t>(std::upper_bound(knots.begin(), knots.end(), q) - knots.begin());
        if (past == 0 || i > past - 1) return lobatto(value, p, fp, q, fq);
        const std::size_t j = past - 1;
        double total = p < knots[i] ? lobatto(value, p, fp, knots[i], values[i]) : 0.0;
        total += mass[j] - mass[i];
        if (knots[j] < q) total += lobatto(value, knots[j], values[j], q, fq);
        return total;
    }
};

}  // namespace

// The state of one build: the density with its checks, the integration grid,
// and the intervals made so far.
class InversePolynomialBuilder {
public:
    using Error = InversePolynomialError;
    using Kind = InversePolynomialError::Kind;

    InversePolynomialBuilder(DensityRef density, Support support, const InversePolynomialSettings& settings)
        : density_(density), lo_(support.lo), hi_(support.hi), resolution_(settings.u_resolution),
          order_(settings.order) {
        const std::size_t n = static_cast<std::size_t>(order_);
        // Chebyshev points of the second kind on [0, 1], ends included exactly.
        chebyshev_.resize(n + 1);
        for (std::size_t j = 0; j <= n; ++j)
            chebyshev_[j] = 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(j) / static_cast<double>(n));
        chebyshev_[0] = 0.0;
        chebyshev_[n] = 1.0;
    }

    std::expected<InversePolynomialTable, Error> run(std::optional<double> center) {
        auto found = center ? checked_center(*center) : search_center();
        if (!found) return std::unexpected(found.error());
        center_ = *found;
        if (auto grid = integrate_support(); !grid) return std::unexpected(grid.error());
        cut_tails();
        if (auto regions = find_regions(); !regions) return std::unexpected(regions.error());
        for (const auto& [start, end] : regions_) {
            if (auto covered = cover(start, end); !covered) return std::unexpected(covered.error());
        }
        return finish();
    }

private:
    // ------------------------------------------------------------ density

    // The scaled density. Inside the support a value must be finite and not
    // negative (the first bad one is kept for the error); at an end a value
    // that is not finite is a pole or an undefined end point and counts as 0.
    double value(double x) {
        const double v = density_(x);
        const bool at_end = x == lo_ || x == hi_;
        if (!(std::isfinite(v) && v >= 0.0)) {
            if (at_end && !(v < 0.0)) {
                (x == lo_ ? pole_at_lo_ : pole_at_hi_) = true;
                return 0.0;
            }
            if (!bad_) bad_ = std::pair{x, v};
            return 0.0;
        }
        return v * scale_;
    }

    std::expected<void, Error> no_bad_value() const {
        if (bad_) return std::unexpected(Error::of(Kind::InvalidDensity, bad_->second, bad_->first));
        return {};
    }

    // ------------------------------------------------------------ center

    std::expected<double, Error> checked_center(double c) {
        if (!(c >= lo_ && c <= hi_)) return std::unexpected(Error::of(Kind::CenterOutsideSupport, c));
        const double v = density_(c);
        if (!(std::isfinite(v) && v > 0.0)) return std::unexpected(Error::of(Kind::CenterNotPositive, v, c));
        return scaled_at(c, v);
    }

    // From here on values are relative to v = f(c), so that the integrals of any
    // unnormalized density are of a size double precision handles well: scaled by
    // 1 / v where that is a normal number, else (v above 4.5e307) by the power of
    // two that takes v into [1, 2). A subnormal v has lost the digits a table needs.
    std::expected<double, Error> scaled_at(double c, double v) {
        if (!std::isnormal(v)) return std::unexpected(Error::of(Kind::PeakSubnormal, v, c));
        const double s = 1.0 / v;
        scale_ = std::isnormal(s) ? s : std::ldexp(1.0, -std::ilogb(v));
        return c;
    }

    // The largest density value among candidates that no peak escapes unless it
    // is narrower than the halving steps around where it lies, then a golden
    // section search between that candidate's neighbours.
    std::expected<double, Error> search_center() {
        std::vector<double> candidates;
        const double hw = half_width(lo_, hi_);
        const double mid = midpoint(lo_, hi_);
        for (int k = 0; k < center_grid; ++k) {
            const double t = (k + 0.5) / center_grid;
            candidates.push_back(lo_ + (t * hw) * 2.0);
        }
        const auto approach = [&](double target, double span) {
            for (int j = 1; j <= center_halvings; ++j) {
                const double step = std::ldexp(span, -j);
                candidates.push_back(target - step);
                candidates.push_back(target + step);
            }
            candidates.push_back(target);
        };
        approach(lo_, 2.0 * hw);
        approach(hi_, 2.0 * hw);
        approach(mid, hw);
        if (lo_ < 0.0 && 0.0 < hi_) approach(0.0, std::max(-lo_, hi_));
        std::erase_if(candidates, [&](double x) { return !(x > lo_ && x < hi_); });
        std::sort(candidates.begin(), candidates.end());
        candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
        if (candidates.empty()) candidates.push_back(mid);

        std::size_t best = 0;
        double best_value = -1.0;
        for (std::size_t i = 0; i < candidates.size(); ++i) {
            const double v = value(candidates[i]);
            if (v > best_value) {
                best = i;
                best_value = v;
            }
        }
        if (auto ok = no_bad_value(); !ok) return std::unexpected(ok.error());
        if (!(best_value > 0.0)) return std::unexpected(Error::of(Kind::NoPositiveDensity));

        double a = best > 0 ? candidates[best - 1] : lo_;
        double b = best + 1 < candidates.size() ? candidates[best + 1] : hi_;
        double c = candidates[best];
        double fc = best_value;
        // The inner points lie 0.382 of the bracket from its ends (0.764 of its
        // half width, which cannot overflow).
        const double inner = 3.0 - std::sqrt(5.0);
        double x1 = a + inner * half_width(a, b);
        double x2 = b - inner * half_width(a, b);
        double f1 = value(x1);
        double f2 = value(x2);
        for (int step = 0; step < golden_steps && x1 < x2; ++step) {
            if (f1 > fc) {
                c = x1;
                fc = f1;
            }
            if (f2 > fc) {
                c = x2;
                fc = f2;
            }
            // Equal values (a flat top, or zero on both) keep the side of the best point.
            const bool keep_left = f1 > f2 || (f1 == f2 && c <= x1);
            if (keep_left) {
                b = x2;
                x2 = x1;
                f2 = f1;
                x1 = a + inner * half_width(a, b);
                f1 = value(x1);
            } else {
                a = x1;
                x1 = x2;
                f1 = f2;
                x2 = b - inner * half_width(a, b);
                f2 = value(x2);
            }
        }
        if (auto ok = no_bad_value(); !ok) return std::unexpected(ok.error());
        // Values so far were unscaled (scale 1).
        return scaled_at(c, fc);
    }

    // ------------------------------------------------------------ integration grid

    struct Leaf {
        double l, r;
        double fl, f1, fm, f3, fr;
        double mass;
        double error;
        double change = NAN;  // how much the mass of its parent changed when halved
    };

    Leaf make_leaf(double l, double fl, double r, double fr) {
        const double m = midpoint(l, r);
        const double d = half_width(l, r) * lobatto_offset;
        Leaf leaf{l, r, fl, value(m - d), value(m), value(m + d), fr, 0.0, 0.0};
        leaf.mass = lobatto(l, fl, leaf.f1, leaf.fm, leaf.f3, r, fr);
        return leaf;
    }

    // Globally adaptive: the leaf with the largest error estimate is halved
    // until the estimates add up to a small share of the resolution. The change
    // d of a leaf's mass when halved bounds the error of the leaf; each half
    // then gets d / 2, scaled down by how fast the changes shrink from parent to
    // leaf (about 1 / 512 per halving where the density is smooth, 1 / 2 or
    // slower at a pole or a jump), with a safety factor of 8: a smooth density
    // is not refined far past what it needs, a singular one is trusted no more
    // than the plain bound. The first leaves start from the difference from
    // Simpson's rule on the same points.
    std::expected<void, Error> integrate_support() {
        std::vector<Leaf> leaves;
        const auto side = [&](double l, double r) {
            if (!(l < r)) return;
            std::array<double, first_leaves_per_side + 1> edges;
            edges[0] = l;
            edges[first_leaves_per_side] = r;
            for (std::size_t step = first_leaves_per_side; step > 1; step /= 2)
                for (std::size_t i = 0; i < first_leaves_per_side; i += step)
                    edges[i + step / 2] = midpoint(edges[i], edges[i + step]);
            std::array<double, first_leaves_per_side + 1> values;
            for (std::size_t i = 0; i <= first_leaves_per_side; ++i) values[i] = value(edges[i]);
            for (std::size_t i = 0; i < first_leaves_per_side; ++i) {
                Leaf leaf = make_leaf(edges[i], values[i], edges[i + 1], values[i + 1]);
                const double simpson = half_width(leaf.l, leaf.r) / 3.0 * (leaf.fl + 4.0 * leaf.fm + leaf.fr);
                leaf.error = std::abs(leaf.mass - simpson);
                leaves.push_back(leaf);
            }
        };
        side(lo_, center_);
        side(center_, hi_);
        if (auto ok = no_bad_value(); !ok) return std::unexpected(ok.error());

        const auto by_error = [&](std::size_t i, std::size_t j) { return leaves[i].error < leaves[j].error; };
        std::priority_queue<std::size_t, std::vector<std::size_t>, decltype(by_error)> queue(by_error);
        for (std::size_t i = 0; i < leaves.size(); ++i) queue.push(i);
        const auto exact_sums = [&] {
            double e = 0.0;
            double m = 0.0;
            for (const Leaf& leaf : leaves) {
                e += leaf.error;
                m += leaf.mass;
            }
            return std::pair{e, m};
        };
        auto [error_sum, mass_sum] = exact_sums();
        double largest_sum = error_sum;
        for (;;) {
            const double target = quadrature_share * resolution_ * std::abs(mass_sum);
            // The running sums lose what they once held; near the end they are recomputed.
            if (error_sum <= 2.0 * target + 8.0 * eps * largest_sum) {
                std::tie(error_sum, mass_sum) = exact_sums();
                largest_sum = error_sum;
                if (error_sum <= quadrature_share * resolution_ * std::abs(mass_sum)) break;
            }
            if (!std::isfinite(mass_sum)) return std::unexpected(Error::of(Kind::NotIntegrable, 0.0, center_));
            poll_interrupt();
            const std::size_t i = queue.top();
            if (!(leaves[i].error > 0.0)) break;  // every estimate is 0: the running sum had drifted
            if (leaves.size() >= max_leaves) {
                const double at = midpoint(leaves[i].l, leaves[i].r);
                return std::unexpected(Error::of(Kind::NotIntegrable, 0.0, at));
            }
            queue.pop();
            const Leaf parent = leaves[i];
            const double m = midpoint(parent.l, parent.r);
            if (m == parent.l || m == parent.r) {
                // Down to adjacent doubles: nothing finer exists.
                return std::unexpected(Error::of(Kind::ResolutionNotReached, resolution_, parent.l));
            }
            // An integrable pole needs leaves far narrower than the resolution
            // (the mass of [0, w] under x^-a is w^(1 - a) / (1 - a)), but not this narrow.
            if (half_width(parent.l, parent.r) < std::ldexp(half_width(lo_, hi_), -max_halvings))
                return std::unexpected(Error::of(Kind::NotIntegrable, 0.0, m));
            Leaf left = make_leaf(parent.l, parent.fl, m, parent.fm);
            Leaf right = make_leaf(m, parent.fm, parent.r, parent.fr);
            if (auto ok = no_bad_value(); !ok) return std::unexpected(ok.error());
            const double change = std::abs(parent.mass - (left.mass + right.mass));
            const double rate = parent.change > 0.0 ? std::min(1.0, 8.0 * change / parent.change) : 1.0;
            // A change at the rounding level of the masses is no error left to remove.
            const double estimate = change <= 8.0 * eps * (left.mass + right.mass) ? 0.0 : 0.5 * change * rate;
            left.error = right.error = estimate;
            left.change = right.change = change;
            error_sum += left.error + right.error - parent.error;
            mass_sum += left.mass + right.mass - parent.mass;
            largest_sum = std::max(largest_sum, error_sum);
            leaves[i] = left;
            leaves.push_back(right);
            queue.push(i);
            queue.push(leaves.size() - 1);
        }

        std::sort(leaves.begin(), leaves.end(), [](const Leaf& a, const Leaf& b) { return a.l < b.l; });
        knots_.clear();
        knot_values_.clear();
        knot_mass_.assign(1, 0.0);
        for (const Leaf& leaf : leaves) {
            knots_.push_back(leaf.l);
            knot_values_.push_back(leaf.fl);
            knot_mass_.push_back(knot_mass_.back() + leaf.mass);
            const double m = midpoint(leaf.l, leaf.r);
            const double d = half_width(leaf.l, leaf.r) * lobatto_offset;
            samples_.push_back({leaf.l, leaf.fl});
            samples_.push_back({m - d, leaf.f1});
            samples_.push_back({m, leaf.fm});
            samples_.push_back({m + d, leaf.f3});
        }
        knots_.push_back(leaves.back().r);
        knot_values_.push_back(leaves.back().fr);
        samples_.push_back({leaves.back().r, leaves.back().fr});
        mass_ = knot_mass_.back();
        if (!(mass_ > 0.0)) return std::unexpected(Error::of(Kind::NoPositiveDensity));
        if (!std::isfinite(mass_)) return std::unexpected(Error::of(Kind::NotIntegrable, 0.0, center_));
        return {};
    }

    GridView grid() const { return {knots_, knot_values_, knot_mass_}; }

    double integral(double p, double fp, double q, double fq) {
        return grid().integral([this](double x) { return value(x); }, p, fp, q, fq);
    }

    // ------------------------------------------------------------ tails and regions

    // Whole leaves whose mass from the end stays below the tail share go.
    void cut_tails() {
        const double cut = tail_share * resolution_ * mass_;
        const std::size_t last = knots_.size() - 1;
        first_knot_ = 0;
        while (first_knot_ + 1 < last && knot_mass_[first_knot_ + 1] <= cut) ++first_knot_;
        last_knot_ = last;
        while (last_knot_ > first_knot_ + 1 && mass_ - knot_mass_[last_knot_ - 1] <= cut) --last_knot_;
        left_tail_ = knot_mass_[first_knot_];
        right_tail_ = mass_ - knot_mass_[last_knot_];
    }

    // Where the density is positive between the cut ends: every change between
    // a zero and a positive sample is narrowed to adjacent doubles, the side
    // where it is zero becoming the region's end, so that no interval reaches
    // into a gap.
    std::expected<void, Error> find_regions() {
        const double first = knots_[first_knot_];
        const double last = knots_[last_knot_];
        const auto positive = [&](double x, double v) {
            return v > 0.0 || (x == lo_ && pole_at_lo_) || (x == hi_ && pole_at_hi_);
        };
        std::vector<std::pair<double, double>> inside;
        for (const auto& s : samples_)
            if (s.first >= first && s.first <= last) inside.push_back(s);
        bool in_region = positive(inside.front().first, inside.front().second);
        double start = first;
        for (std::size_t i = 1; i < inside.size(); ++i) {
            const bool is = positive(inside[i].first, inside[i].second);
            if (in_region == is) continue;
            const auto [x_before, x_after] = std::pair{inside[i - 1].first, inside[i].first};
            const double edge = in_region ? zero_side_of_edge(x_before, x_after) : zero_side_of_edge(x_after, x_before);
            if (in_region) regions_.push_back({start, edge});
            start = edge;
            in_region = is;
        }
        if (in_region) regions_.push_back({start, last});
        if (auto ok = no_bad_value(); !ok) return std::unexpected(ok.error());
        // The center is a break point: no interval reaches across the peak.
        std::vector<std::pair<double, double>> split;
        for (const auto& [a, b] : regions_) {
            if (a < center_ && center_ < b) {
                split.push_back({a, center_});
                split.push_back({center_, b});
            } else if (a < b) {
                split.push_back({a, b});
            }
        }
        regions_ = std::move(split);
        return {};
    }

    // Bisection between a point where the density is positive and one where it
    // is zero, down to adjacent doubles; returns the zero side.
    double zero_side_of_edge(double positive_at, double zero_at) {
        for (;;) {
            const double m = midpoint(positive_at, zero_at);
            if (m == positive_at || m == zero_at) return zero_at;
            (value(m) > 0.0 ? positive_at : zero_at) = m;
        }
    }

    // ------------------------------------------------------------ intervals

    struct Attempt {
        bool accepted = false;
        double error = 0.0;  // NaN for an interpolant that is not usable at all
        double fb = 0.0;
        double mass = 0.0;
        std::vector<double> coefficients;  // c_1 ... c_n
        std::vector<double> nodes;         // s_0 ... s_n
        bool linear = false;
    };

    std::expected<void, Error> cover(double start, double end) {
        const double tol = interpolation_share * resolution_ * mass_;
        double a = start;
        double fa = known_value(start);
        // The integration grid's leaf there gives the local scale to start from.
        const std::size_t leaf = grid().leaf_of(start);
        double h = knots_[leaf + 1] - knots_[leaf];
        int rejections = 0;
        while (a < end) {
            poll_interrupt();
            double b = a + h;
            // A short remainder is taken along rather than left as a sliver.
            if (!(b < end) || end - b < 0.1 * h) b = end;
            if (!(b > a)) return std::unexpected(Error::of(Kind::ResolutionNotReached, resolution_, a));
            const Attempt attempt = interpolate(a, fa, b, tol);
            if (auto ok = no_bad_value(); !ok) return std::unexpected(ok.error());
            const double width = b - a;
            const double exponent = 1.0 / static_cast<double>(order_ + 1);
            if (attempt.accepted) {
                if (attempt.mass > 0.0) {
                    if (cum_.size() > InversePolynomialTable::max_intervals)
                        return std::unexpected(Error::of(Kind::TooManyIntervals, resolution_));
                    store(a, fa, b, attempt);
                }
                // After a straight line (an interval lighter than the tolerance) the
                // next interval is tried much wider, as a polynomial.
                const double growth = attempt.linear || !(attempt.error > 0.0)
                                          ? 4.0
                                          : 0.9 * std::pow(tol / attempt.error, exponent);
                h = width * std::clamp(growth, 0.5, 4.0);
                a = b;
                fa = attempt.fb;
                rejections = 0;
                continue;
            }
            const double shrink = std::isfinite(attempt.error) && attempt.error > 0.0
                                      ? 0.9 * std::pow(tol / attempt.error, exponent)
                                      : 0.5;
            h = width * std::clamp(shrink, 0.1, 0.8);
            const double scale = std::max(std::abs(a), std::abs(b));
            if (++rejections > max_rejections_in_a_row || !(a + h > a) || h < 64.0 * eps * scale)
                return std::unexpected(Error::of(Kind::ResolutionNotReached, resolution_, a));
        }
        return {};
    }

    // The density at a point that is a knot, a sample or a region edge (all of
    // whose values were seen), else a fresh call.
    double known_value(double x) {
        const auto it = std::lower_bound(knots_.begin(), knots_.end(), x);
        if (it != knots_.end() && *it == x) return knot_values_[static_cast<std::size_t>(it - knots_.begin())];
        return value(x);
    }

    Attempt interpolate(double a, double fa, double b, double tol) {
        const std::size_t n = static_cast<std::size_t>(order_);
        Attempt attempt;
        // An interval lighter than the tolerance has a small enough u-error
        // with any increasing map: the straight line, and no test levels.
        if (grid().mass_estimate(b) - grid().mass_estimate(a) <= 0.25 * tol) {
            attempt.fb = known_value(b);
            attempt.mass = integral(a, fa, b, attempt.fb);
            if (attempt.mass <= tol) {
                attempt.accepted = true;
                attempt.linear = true;
                attempt.error = attempt.mass;
                return attempt;
            }
        }
        const double hw = half_width(a, b);
        std::vector<double> x(n + 1), f(n + 1), u(n + 1);
        x[0] = a;
        f[0] = fa;
        u[0] = 0.0;
        for (std::size_t j = 1; j <= n; ++j) {
            x[j] = j == n ? b : a + (chebyshev_[j] * hw) * 2.0;
            f[j] = j == n && attempt.mass > 0.0 ? attempt.fb : known_value(x[j]);
            u[j] = u[j - 1] + integral(x[j - 1], f[j - 1], x[j], f[j]);
        }
        attempt.fb = f[n];
        attempt.mass = u[n];
        if (!(attempt.mass > 0.0)) {
            // No mass at all (the density underflows here): nothing to store.
            attempt.accepted = attempt.mass == 0.0;
            attempt.error = attempt.accepted ? 0.0 : NAN;
            return attempt;
        }
        if (attempt.mass <= tol) {
            attempt.accepted = true;
            attempt.linear = true;
            attempt.error = attempt.mass;
            return attempt;
        }
        // Local coordinates s = u / mass and y = (x - a) / (b - a), both from 0 to 1.
        std::vector<double>& s = attempt.nodes;
        s.resize(n + 1);
        std::vector<double> c(n + 1);
        for (std::size_t j = 0; j <= n; ++j) {
            s[j] = j == n ? 1.0 : u[j] / attempt.mass;
            c[j] = j == 0 ? 0.0 : j == n ? 1.0 : (x[j] - a) / (hw * 2.0);
        }
        for (std::size_t j = 1; j <= n; ++j) {
            if (!(s[j] > s[j - 1])) {
                attempt.error = NAN;  // a piece without mass: the inverse jumps here
                return attempt;
            }
        }
        // Newton's divided differences of y over s.
        for (std::size_t k = 1; k <= n; ++k)
            for (std::size_t j = n; j >= k; --j) c[j] = (c[j] - c[j - 1]) / (s[j] - s[j - k]);
        for (std::size_t k = 1; k <= n; ++k) {
            if (!std::isfinite(c[k])) {
                attempt.error = NAN;
                return attempt;
            }
        }
        attempt.coefficients.assign(c.begin() + 1, c.end());
        // The u-error halfway between the nodes, where the interpolation error
        // of Chebyshev-like nodes is near its largest; and close to an end
        // where the density is far above its average on the interval (a pole):
        // there a tiny error in x costs much in u.
        std::vector<std::pair<std::size_t, double>> tests;
        for (std::size_t j = 1; j <= n; ++j) tests.push_back({j, (s[j - 1] + s[j]) * 0.5});
        // A pole at an end of the support reads as 0 there, so it is asked for by name.
        const double average = attempt.mass / (hw * 2.0);
        const bool pole_at_a = a == lo_ && pole_at_lo_;
        const bool pole_at_b = b == hi_ && pole_at_hi_;
        if (pole_at_a || f[0] > steep_end * average) tests.push_back({1, s[1] * end_test_share});
        if (pole_at_b || f[n] > steep_end * average) tests.push_back({n, 1.0 - (1.0 - s[n - 1]) * end_test_share});
        double largest = 0.0;
        for (const auto& [j, level] : tests) {
            const double xt = a + (newton(attempt, level) * hw) * 2.0;
            if (!(xt >= x[j - 1] && xt <= x[j])) {
                attempt.error = NAN;  // not increasing between the nodes
                return attempt;
            }
            const double ft = value(xt);
            const double reached = u[j - 1] + integral(x[j - 1], f[j - 1], xt, ft);
            largest = std::max(largest, std::abs(reached - level * attempt.mass));
        }
        attempt.error = largest;
        attempt.accepted = largest <= tol;
        return attempt;
    }

    // y at level s of the attempt's polynomial (c_0 = 0 at s_0 = 0).
    static double newton(const Attempt& attempt, double s) {
        const std::size_t n = attempt.coefficients.size();
        double p = attempt.coefficients[n - 1];
        for (std::size_t k = n - 1; k >= 1; --k) p = attempt.coefficients[k - 1] + (s - attempt.nodes[k]) * p;
        return p * s;
    }

    void store(double a, double fa, double b, const Attempt& attempt) {
        const std::size_t n = static_cast<std::size_t>(order_);
        const double cum = cum_.back();
        rows_.push_back(cum);
        rows_.push_back(1.0 / attempt.mass);
        rows_.push_back(a);
        rows_.push_back(b);
        rows_.push_back(half_width(a, b) * 2.0);
        rows_.push_back(fa);
        rows_.push_back(attempt.fb);
        // c_n, s_{n-1}, c_{n-1}, ..., s_1, c_1; a straight line is y = s.
        for (std::size_t k = n; k >= 1; --k) {
            rows_.push_back(attempt.linear ? (k == 1 ? 1.0 : 0.0) : attempt.coefficients[k - 1]);
            if (k > 1) rows_.push_back(attempt.linear ? 0.0 : attempt.nodes[k - 1]);
        }
        cum_.push_back(cum + attempt.mass);
        lefts_.push_back(a);
        last_ = b;
    }

    std::expected<InversePolynomialTable, Error> finish() {
        InversePolynomialTable table;
        if (lefts_.empty()) return std::unexpected(Error::of(Kind::NoPositiveDensity));
        table.order_ = order_;
        table.last_ = last_;
        table.scale_ = scale_;
        table.total_ = cum_.back();
        table.left_tail_ = left_tail_;
        table.right_tail_ = right_tail_;
        table.norm_ = table.total_ / scale_;
        table.rows_ = std::move(rows_);
        table.cum_ = std::move(cum_);
        table.lefts_ = std::move(lefts_);
        table.knots_ = std::move(knots_);
        table.knot_values_ = std::move(knot_values_);
        table.knot_mass_ = std::move(knot_mass_);
        // guide_[k]: the interval holding the level k / G. Masses differ by many orders
        // between the middle and the tails, so G is several times the number of
        // intervals: a draw then almost never steps from its guess, and the branch
        // that would step is predicted.
        const std::size_t count = table.lefts_.size();
        const std::size_t size = guide_factor * count;
        table.guide_.resize(size);
        std::size_t i = 0;
        for (std::size_t k = 0; k < size; ++k) {
            const double level = static_cast<double>(k) / static_cast<double>(size) * table.total_;
            while (i + 1 < count && table.cum_[i + 1] <= level) ++i;
            table.guide_[k] = static_cast<std::uint32_t>(i);
        }
        return table;
    }

    DensityRef density_;
    double lo_;
    double hi_;
    double resolution_;
    std::uint64_t order_;
    std::vector<double> chebyshev_;
    double scale_ = 1.0;
    double center_ = 0.0;
    std::optional<std::pair<double, double>> bad_;
    bool pole_at_lo_ = false;
    bool pole_at_hi_ = false;

    std::vector<double> knots_;
    std::vector<double> knot_values_;
    std::vector<double> knot_mass_;
    std::vector<std::pair<double, double>> samples_;
    double mass_ = 0.0;
    std::size_t first_knot_ = 0;
    std::size_t last_knot_ = 0;
    double left_tail_ = 0.0;
    double right_tail_ = 0.0;
    std::vector<std::pair<double, double>> regions_;

    std::vector<double> rows_;
    std::vector<double> cum_{0.0};
    std::vector<double> lefts_;
    double last_ = 0.0;
};

std::expected<InversePolynomialTable, InversePolynomialError> InversePolynomialTable::build(
    DensityRef density, double lo, double hi, const InversePolynomialSettings& settings) {
    using Kind = InversePolynomialError::Kind;
    const auto support = check_support(lo, hi);
    if (!support) return std::unexpected(InversePolynomialError::support(support.error()));
    const double resolution = settings.u_resolution;
    if (!(resolution >= InversePolynomialSettings::min_u_resolution &&
          resolution <= InversePolynomialSettings::max_u_resolution))
        return std::unexpected(InversePolynomialError::of(Kind::ResolutionOutOfRange, resolution));
    if (settings.order < InversePolynomialSettings::min_order || settings.order > InversePolynomialSettings::max_order)
        return std::unexpected(InversePolynomialError::order_out_of_range(settings.order));
    return InversePolynomialBuilder(density, *support, settings).run(settings.center);
}

std::size_t InversePolynomialTable::interval_of(double u, double un) const {
    const std::size_t count = lefts_.size();
    const std::size_t size = guide_.size();
    std::size_t i = guide_[std::min(size - 1, static_cast<std::size_t>(u * static_cast<double>(size)))];
    while (i + 1 < count && cum_[i + 1] <= un) ++i;
    while (i > 0 && cum_[i] > un) --i;
    return i;
}

namespace {

// The polynomial of one row at the scaled level un; Order 0 reads the degree
// from the call, a fixed Order lets the loop unroll. Both do the same
// operations in the same order.
template <std::size_t Order>
double eval_newton_row(const double* row, double un, std::size_t order) {
    constexpr std::size_t cum_at = 0, inv_mass_at = 1, a_at = 2, b_at = 3, width_at = 4, poly_at = 7;
    const std::size_t n = Order == 0 ? order : Order;
    const double s = (un - row[cum_at]) * row[inv_mass_at];
    const double* c = row + poly_at;
    double p = c[0];
    for (std::size_t k = 1; k < 2 * n - 1; k += 2) p = c[k + 1] + (s - c[k]) * p;
    const double x = row[a_at] + row[width_at] * (p * s);
    return std::clamp(x, row[a_at], row[b_at]);
}

}  // namespace

double InversePolynomialTable::eval_row(const double* row, double un) const {
    return eval_newton_row<0>(row, un, static_cast<std::size_t>(order_));
}

template <std::size_t Order>
void InversePolynomialTable::eval_batch_of_order(std::span<double> inout) const {
    constexpr std::size_t row_size = poly_at + 2 * Order - 1;
    static_assert(cum_at == 0 && inv_mass_at == 1 && a_at == 2 && b_at == 3 && width_at == 4 && poly_at == 7);
    const double* rows = rows_.data();
    for (double& level : inout) {
        const double un = level * total_;
        level = eval_newton_row<Order>(rows + interval_of(level, un) * row_size, un, Order);
    }
}

void InversePolynomialTable::eval_batch(std::span<double> inout) const {
    using Batch = void (InversePolynomialTable::*)(std::span<double>) const;
    static constexpr auto batches = []<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<Batch, sizeof...(I)>{
            &InversePolynomialTable::eval_batch_of_order<I + InversePolynomialSettings::min_order>...};
    }(std::make_index_sequence<InversePolynomialSettings::max_order - InversePolynomialSettings::min_order + 1>{});
    (this->*batches[order_ - InversePolynomialSettings::min_order])(inout);
}

double InversePolynomialTable::eval(double u) const {
    const double un = u * total_;
    return eval_row(&rows_[interval_of(u, un) * stride()], un);
}

double InversePolynomialTable::cdf(DensityRef density, double x) const {
    if (std::isnan(x)) return x;
    if (x <= first()) return 0.0;
    if (x >= last_) return 1.0;
    const auto it = std::upper_bound(lefts_.begin(), lefts_.end(), x);
    const std::size_t i = static_cast<std::size_t>(it - lefts_.begin()) - 1;
    const double* row = &rows_[i * stride()];
    if (x >= row[b_at]) return cum_[i + 1] / total_;
    const auto value = [&](double t) { return density(t) * scale_; };
    const GridView grid{knots_, knot_values_, knot_mass_};
    const double within = grid.integral(value, row[a_at], row[fa_at], x, value(x));
    return std::clamp(cum_[i] + within, cum_[i], cum_[i + 1]) / total_;
}

std::pair<double, double> InversePolynomialTable::u_error(DensityRef density) const {
    const auto value = [&](double t) { return density(t) * scale_; };
    const GridView grid{knots_, knot_values_, knot_mass_};
    const std::size_t levels = 2 * static_cast<std::size_t>(order_);
    // Pairs of (mass reached from lo, the table's level), normalized at the end.
    std::vector<std::pair<double, double>> points;
    points.reserve(lefts_.size() * levels);
    double reached = left_tail_;
    for (std::size_t i = 0; i < lefts_.size(); ++i) {
        poll_interrupt();
        const double* row = &rows_[i * stride()];
        double p = row[a_at];
        double fp = row[fa_at];
        for (std::size_t k = 0; k < levels; ++k) {
            const double level = (static_cast<double>(k) + 0.5) / static_cast<double>(levels);
            const double un = cum_[i] + level * (cum_[i + 1] - cum_[i]);
            const double x = eval_row(row, un);
            const double fx = value(x);
            reached += grid.integral(value, p, fp, x, fx);
            points.push_back({reached, un / total_});
            p = x;
            fp = fx;
        }
        reached += grid.integral(value, p, fp, row[b_at], row[fb_at]);
    }
    const double all = reached + right_tail_;
    double largest = 0.0;
    double sum = 0.0;
    for (const auto& [mass, level] : points) {
        const double error = std::abs(mass / all - level);
        largest = std::max(largest, error);
        sum += error;
    }
    return {largest, points.empty() ? 0.0 : sum / static_cast<double>(points.size())};
}

}  // namespace drovik
