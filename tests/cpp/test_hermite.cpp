// Hermite quantile table: the bisection-only build and its linear fallback, the
// monotone slopes and their limiter, and evaluation: clamping, and a direct
// interval lookup that must agree with a scan over the levels for every u. Node
// levels and seeded draws are replayed bit for bit by the Python tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "continuous/hermite.hpp"
#include "error.hpp"
#include "recording.hpp"

namespace drovik {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

using Values = std::vector<double>;

double identity(double x) { return x; }
double square(double x) { return x * x; }

HermitePpfTable table_of(Fn g, std::uint64_t n, std::uint32_t iterations = 128, double lo = 0.0, double hi = 1.0,
                         double tol = 1e-12) {
    return HermitePpfTable::build(Recorder{std::move(g)}, n, iterations, lo, hi, tol).value();
}

// Straight from the definition: i with u_i < u <= u_{i+1} by a scan, then the
// cubic Hermite form in its written grouping and order, then the clamp.
std::size_t reference_interval(const HermitePpfTable& table, double u) {
    std::size_t below = 0;
    for (const double level : table.u_grid()) below += level < u ? 1 : 0;
    return std::min(table.u_grid().size() - 2, below == 0 ? 0 : below - 1);
}

double reference_eval(const HermitePpfTable& table, double u) {
    const Values& us = table.u_grid();
    const Values& xs = table.x_nodes();
    const Values& ms = table.slopes();
    if (u <= us.front()) return xs.front();
    if (u >= us.back()) return xs.back();
    const std::size_t i = reference_interval(table, u);
    const double h = us[i + 1] - us[i];
    if (std::abs(h) < 1e-300) return xs[i];
    const double t = (u - us[i]) / h;
    const double value = (2 * (t * t * t) - 3 * (t * t) + 1) * xs[i] + h * ((t * t * t) - 2 * (t * t) + t) * ms[i] +
                         (3 * (t * t) - 2 * (t * t * t)) * xs[i + 1] + h * ((t * t * t) - (t * t)) * ms[i + 1];
    return std::clamp(value, table.lo(), table.hi());
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b)); }

// `fixed`, then every level with its neighbours and two points whose guessed
// interval lands on either side of it, then 20000 uniforms.
Values probes_around_levels(const HermitePpfTable& table, Values fixed, std::mt19937_64& gen) {
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    for (const double level : table.u_grid()) {
        fixed.insert(fixed.end(), {level, std::nextafter(level, 0.0), std::nextafter(level, 1.0),
                                   level * (1 + 1e-15), level * (1 - 1e-15)});
    }
    for (int k = 0; k < 20000; ++k) fixed.push_back(uniform(gen));
    return fixed;
}

// ------------------------------------------------------------------ build

// Nodes in level order, each inverted by bisection alone: F(lo), F(hi), then
// the whole budget (a negative tolerance is never met), never the density
// (whose readings would be recorded as well).
TEST(HermiteBuild, EachNodeIsOneBisectionInLevelOrder) {
    constexpr std::uint32_t budget = 7;
    const Recorder cdf{identity};
    const auto table = HermitePpfTable::build(cdf, 5, budget, 0.0, 1.0, -1.0).value();
    ASSERT_EQ(cdf.at.size(), 5 * (2 + budget));
    for (std::size_t j = 0; j < 5; ++j) {
        const double* p = cdf.at.data() + j * (2 + budget);
        double lo = 0.0, hi = 1.0;
        EXPECT_EQ(p[0], lo);
        EXPECT_EQ(p[1], hi);
        for (std::uint32_t k = 0; k < budget; ++k) {
            const double mid = (lo + hi) * 0.5;
            EXPECT_EQ(p[2 + k], mid) << "node " << j << ", step " << k;
            (mid < table.u_grid()[j] ? lo : hi) = mid;
        }
        EXPECT_EQ(table.x_nodes()[j], (lo + hi) * 0.5);
    }
}

// A distribution without a usable span (flat, or NaN at its ends) puts node j
// at lo + (hi - lo) * j / (n - 1), node by node, after its two end readings.
TEST(HermiteBuild, NodeWithoutASpanFallsBackToTheLinearNode) {
    for (const Fn& f : {Fn([](double) { return 0.25; }), Fn([](double) { return nan; })}) {
        const Recorder cdf{f};
        const auto table = HermitePpfTable::build(cdf, 6, 50, -2.0, 3.0, 1e-12).value();
        EXPECT_EQ(cdf.at.size(), 6u * 2);
        EXPECT_EQ(table.x_nodes(), (Values{-2.0, -1.0, 0.0, 1.0, 2.0, 3.0}));
    }
    // F(hi) is NaN on its second reading only: node 1 falls back, the others invert.
    int hi_readings = 0;
    const auto table = table_of([&](double x) { return x == 1.0 && ++hi_readings == 2 ? nan : x; }, 4, 60, 0.0, 1.0,
                                1e-14);
    EXPECT_EQ(table.x_nodes()[1], 1.0 / 3.0);
    EXPECT_NEAR(table.x_nodes()[2], table.u_grid()[2], 1e-14);
    EXPECT_NE(table.x_nodes()[2], 2.0 / 3.0);
}

// NaN inside the support (a user function that fails there) is no quantile of
// anything: the build fails at the first such node instead of falling back.
TEST(HermiteBuild, NaNInsideTheSupportFailsTheBuild) {
    const Recorder cdf{[](double x) { return x > 0.6 && x < 0.7 ? nan : x; }};
    const auto table = HermitePpfTable::build(cdf, 64, 60, 0.0, 1.0, 1e-14);
    ASSERT_FALSE(table.has_value());
    EXPECT_EQ(table.error().display(), "failed to invert CDF while building the quantile table");
    EXPECT_TRUE(cdf.at.back() > 0.6 && cdf.at.back() < 0.7);
}

// ------------------------------------------------------------------ slopes

TEST(HermiteSlopes, MonotoneSlopesByCase) {
    struct Case { const char* name; Values xs, ys, slopes; };
    const Case cases[] = {
        // Harmonic mean of the neighbouring secants inside, one-sided secants at the ends.
        {"harmonic_mean", {0, 1, 3}, {0, 1, 5}, {1, 4.0 / 3.0, 2}},
        {"decreasing", {0, 1, 3}, {5, 4, 0}, {-1, -4.0 / 3.0, -2}},
        // A flat neighbour or a sign change makes the node flat, so the interpolant never turns back.
        {"flat_neighbours", {0, 1, 2, 3, 4}, {0, 1, 1, 2, 2}, {1, 0, 0, 0, 0}},
        {"sign_change", {0, 1, 2}, {0, 2, 1}, {2, 0, -1}},
        // A step in xs narrower than 1e-300 has secant 0.
        {"subnormal_width", {0, 1e-301, 1}, {0, 1, 2}, {0, 0, 1}},
        // The sign test is on the product of the secants, which underflows here.
        {"secant_product_underflows", {0, 1, 2}, {0, 1e-200, 2e-200}, {1e-200, 0, 1e-200}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Values m = HermitePpfTable::monotone_slopes(c.xs, c.ys);
        ASSERT_EQ(m.size(), c.slopes.size());
        for (std::size_t i = 0; i < m.size(); ++i) EXPECT_DOUBLE_EQ(m[i], c.slopes[i]) << i;
    }
    EXPECT_THROW(HermitePpfTable::monotone_slopes(Values{0.0}, Values{0.0}), Panic);
    EXPECT_THROW(HermitePpfTable::monotone_slopes(Values{0.0, 1.0}, Values{0.0, 1.0, 2.0}), Panic);
}

// Harmonic means keep (m_i / d_i, m_{i+1} / d_i) within [0, 2]^2, so the
// limiter is driven on its own with slopes outside the circle of radius 3.
TEST(HermiteSlopes, LimiterPullsSlopesOntoTheCircleOfRadiusThree) {
    const double r2 = std::sqrt(2.0);
    struct Case { const char* name; Values secants, in, out; };
    const Case cases[] = {
        // (3, 3) -> 3/sqrt(2) each; interval 1 starts from the reduced slope:
        // (3/sqrt(2), 3), s = 13.5, scale 3/sqrt(13.5), giving sqrt(3) and sqrt(6).
        {"carries_reduced_slope", {1, 1}, {3, 3, 3}, {3 / r2, std::sqrt(3.0), std::sqrt(6.0)}},
        {"scaled_secant", {2}, {6, 6}, {6 / r2, 6 / r2}},
        {"just_inside", {1}, {2.9, 0.5}, {2.9, 0.5}},
        {"negligible_secant_skipped", {1e-301, 0}, {5, 5, 5}, {5, 5, 5}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Values m = c.in;
        detail::limit_hermite_slopes(c.secants, m);
        ASSERT_EQ(m.size(), c.out.size());
        for (std::size_t i = 0; i < m.size(); ++i) EXPECT_DOUBLE_EQ(m[i], c.out[i]) << i;
    }
}

// ------------------------------------------------------------------ eval

// The interval guessed from the even spacing of the levels and corrected
// against them is the one the scan gives, ties at nodes included, and the
// value is bit-identical to the cubic of the stored nodes. The batched lookup
// (eight lanes at a time where the CPU allows) gives eval's value bit for bit:
// at NaN (which sends its run of eight through eval), on flat intervals and
// where the clamp bites; runs of every length leave tails that are not a whole
// vector. An atom at an end puts nodes exactly on it, and the cubic of the flat
// interval between them rounds one ulp past the end: the clamp keeps values in
// the support.
TEST(HermiteEval, LookupAgreesWithAScanAndTheBatchWithEvalWithinTheSupport) {
    struct Case { const char* name; Fn cdf; double lo, hi; };
    const Case cases[] = {
        {"square", square, 0.0, 1.0},
        {"atom_in_middle", [](double x) { return x < 0.5 ? 0.5 * x : 0.5 * x + 0.5; }, 0.0, 1.0},
        {"atom_at_hi", [](double x) { return x < 3.0 ? x / 6.0 : 1.0; }, 0.0, 3.0},
        {"atom_at_lo", [](double x) { return x <= -3.0 ? 0.0 : 0.5 + (x + 3.0) / 6.0; }, -3.0, 0.0},
    };
    std::mt19937_64 gen(2024);
    for (const auto& c : cases) {
        for (const std::uint64_t n : {4u, 5u, 6u, 7u, 100u, 128u, 1000u, 1024u, 1025u, 4097u}) {
            SCOPED_TRACE(std::string(c.name) + ", n " + std::to_string(n));
            const auto table = table_of(c.cdf, n, 60, c.lo, c.hi, 1e-13);
            Values probes = probes_around_levels(
                table, {0.0, 1.0, -0.0, 1e-300, 0.5, 1.0 / 3.0, 2.0 / 3.0, std::nextafter(1.0, 0.0)}, gen);
            std::shuffle(probes.begin(), probes.end(), gen);
            probes.insert(probes.begin() + 3, nan);
            std::size_t mismatches = 0;
            for (const double u : probes) {
                const std::size_t direct = table.interval(u), scanned = reference_interval(table, u);
                const double value = table.eval(u), expected = reference_eval(table, u);
                const bool inside = std::isnan(u) || (value >= c.lo && value <= c.hi);
                if ((direct != scanned || !same_bits(value, expected) || !inside) && ++mismatches <= 5) {
                    ADD_FAILURE() << "u=" << u << " direct=" << direct << " scanned=" << scanned << " value=" << value
                                  << " expected=" << expected;
                }
            }
            for (const std::size_t run : {1u, 7u, 8u, 13u, 1024u}) {
                Values batched = probes;
                for (std::size_t start = 0; start < batched.size(); start += run) {
                    table.eval_batch(std::span<double>(batched).subspan(start, std::min(run, batched.size() - start)));
                }
                for (std::size_t k = 0; k < probes.size(); ++k) {
                    if (!same_bits(batched[k], table.eval(probes[k])) && ++mismatches <= 5) {
                        ADD_FAILURE() << "run " << run << ", u=" << probes[k] << " batched=" << batched[k];
                    }
                }
            }
            EXPECT_EQ(mismatches, 0u);
        }
    }
}

}  // namespace
}  // namespace drovik
