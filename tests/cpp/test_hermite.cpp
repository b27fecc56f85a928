// Hermite quantile table: node levels and count, the bisection-only build and its
// linear fallback, the monotone slopes with their limiter, and evaluation: tails,
// ties at nodes, clamping, and a direct interval lookup that must agree with the
// bisection over the levels for every u.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "continuous/hermite.hpp"
#include "error.hpp"

namespace drovik {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

using Fn = std::function<double(double)>;
using Values = std::vector<double>;

struct RecordingCdf {
    Fn g;
    mutable std::vector<double> points{};
    double cdf(double x) const {
        points.push_back(x);
        return g(x);
    }
};

// Exposes a density too, so that a build using the Newton polish would show.
struct CdfWithDensity {
    Fn g;
    mutable int cdf_calls = 0;
    mutable int pdf_calls = 0;
    double cdf(double x) const {
        ++cdf_calls;
        return g(x);
    }
    double pdf(double) const {
        ++pdf_calls;
        return 1.0;
    }
};

struct PlainCdf {
    Fn g;
    double cdf(double x) const { return g(x); }
};

double identity(double x) { return x; }
double square(double x) { return x * x; }

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b)); }

// Straight from the definition: i with u_i < u <= u_{i+1} found by a scan, then the
// cubic Hermite form in its written grouping and order, then the clamp.
double reference_eval(const HermitePpfTable& table, double u) {
    const Values& us = table.u_grid();
    const Values& xs = table.x_nodes();
    const Values& ms = table.slopes();
    const std::size_t n = us.size();
    if (u <= us[0]) return xs[0];
    if (u >= us[n - 1]) return xs[n - 1];
    std::size_t below = 0;
    for (double level : us) below += level < u ? 1 : 0;
    const std::size_t i = std::min(n - 2, below == 0 ? 0 : below - 1);
    const double h = us[i + 1] - us[i];
    if (std::abs(h) < 1e-300) return xs[i];
    const double t = (u - us[i]) / h;
    const double value = (2 * (t * t * t) - 3 * (t * t) + 1) * xs[i] + h * ((t * t * t) - 2 * (t * t) + t) * ms[i] +
                         (3 * (t * t) - 2 * (t * t * t)) * xs[i + 1] + h * ((t * t * t) - (t * t)) * ms[i + 1];
    return std::clamp(value, table.lo(), table.hi());
}

std::size_t reference_interval(const HermitePpfTable& table, double u) {
    const Values& us = table.u_grid();
    std::size_t below = 0;
    for (double level : us) below += level < u ? 1 : 0;
    return std::min(us.size() - 2, below == 0 ? 0 : below - 1);
}

// ------------------------------------------------------------------ levels

TEST(HermiteBuild, GridSizesBelowFourGiveFourNodes) {
    for (std::uint64_t grid : {0u, 1u, 2u, 3u, 4u}) {
        SCOPED_TRACE(grid);
        const auto table = HermitePpfTable::build(PlainCdf{identity}, grid, 64, 0.0, 1.0, 1e-12);
        const Values& u = table.u_grid();
        ASSERT_EQ(u.size(), 4u);
        EXPECT_EQ(table.x_nodes().size(), 4u);
        EXPECT_EQ(table.slopes().size(), 4u);
        EXPECT_EQ(u[0], 1e-12);
        EXPECT_NEAR(u[1], 1.0 / 3.0, 1e-12);
        EXPECT_NEAR(u[2], 2.0 / 3.0, 1e-12);
        EXPECT_NEAR(u[3], 1.0 - 1e-12, 1e-16);
        EXPECT_LT(u[3], 1.0);
    }
}

TEST(HermiteBuild, LevelsAreEvenlySpacedFractionsOfTheTrimmedUnitInterval) {
    // u_j = (j / (n - 1)) * 0.999999999998 + 1e-12, bit for bit: a level computed
    // as j * (1 / (n - 1)) or with a fused multiply-add differs in the last bits.
    for (std::uint64_t n : {5u, 7u, 10u, 127u, 1000u}) {
        SCOPED_TRACE(n);
        const auto table = HermitePpfTable::build(PlainCdf{identity}, n, 1, 0.0, 1.0, 1e-12);
        ASSERT_EQ(table.u_grid().size(), n);
        for (std::uint64_t j = 0; j < n; ++j) {
            const volatile double t = static_cast<double>(j) / static_cast<double>(n - 1);
            const volatile double scaled = t * 0.999999999998;
            EXPECT_EQ(table.u_grid()[j], scaled + 1e-12) << j;
        }
    }
}

// ------------------------------------------------------------------ build

// Full bisection budget on each node (the tolerance can never be met), nodes in
// order of their level, each inversion opening with F(lo) and F(hi).
TEST(HermiteBuild, EachNodeIsOneBisectionInversionInLevelOrder) {
    constexpr std::uint32_t budget = 7;
    constexpr std::uint64_t n = 5;
    const RecordingCdf cdf{identity};
    const auto table = HermitePpfTable::build(cdf, n, budget, 0.0, 1.0, -1.0);
    ASSERT_EQ(cdf.points.size(), n * (2 + budget));
    for (std::uint64_t j = 0; j < n; ++j) {
        SCOPED_TRACE(j);
        const double* p = cdf.points.data() + j * (2 + budget);
        EXPECT_EQ(p[0], 0.0);
        EXPECT_EQ(p[1], 1.0);
        // Independent bisection towards the node's level.
        const double target = table.u_grid()[j];
        double lo = 0.0;
        double hi = 1.0;
        for (std::uint32_t k = 0; k < budget; ++k) {
            const double mid = (lo + hi) * 0.5;
            EXPECT_EQ(p[2 + k], mid) << "step " << k;
            (mid < target ? lo : hi) = mid;
        }
        EXPECT_EQ(table.x_nodes()[j], (lo + hi) * 0.5);
    }
}

TEST(HermiteBuild, NeverUsesTheDensityEvenWhenOneExists) {
    const CdfWithDensity cdf{identity};
    const auto table = HermitePpfTable::build(cdf, 16, 128, 0.0, 1.0, 1e-3);
    EXPECT_EQ(cdf.pdf_calls, 0);
    EXPECT_GT(cdf.cdf_calls, 16 * 2);
    EXPECT_EQ(table.x_nodes().size(), 16u);
}

TEST(HermiteBuild, ZeroBudgetPutsEveryNodeAtTheMidpointAndTheTableIsFlat) {
    const RecordingCdf cdf{square};
    const auto table = HermitePpfTable::build(cdf, 6, 0, -1.0, 3.0, 1e-12);
    EXPECT_EQ(cdf.points.size(), 6u * 2);
    EXPECT_EQ(table.x_nodes(), Values(6, 1.0));
    EXPECT_EQ(table.slopes(), Values(6, 0.0));
    for (double u : {1e-6, 0.1, 0.5, 0.77, 0.999}) EXPECT_EQ(table.eval(u), 1.0) << u;
}

TEST(HermiteBuild, FailedInversionFallsBackToTheLinearNode) {
    // Constant (span 0) and NaN distribution functions: every inversion fails after
    // its two end evaluations; node j = lo + (hi - lo) * j / (n - 1).
    const Fn failing[] = {[](double) { return 0.25; }, [](double) { return nan; }};
    for (const Fn& f : failing) {
        const RecordingCdf cdf{f};
        const auto table = HermitePpfTable::build(cdf, 6, 50, -2.0, 3.0, 1e-12);
        EXPECT_EQ(cdf.points.size(), 6u * 2);
        EXPECT_EQ(table.x_nodes(), (Values{-2.0, -1.0, 0.0, 1.0, 2.0, 3.0}));
        EXPECT_EQ(table.u_grid()[0], 1e-12);
        for (double s : table.slopes()) EXPECT_NEAR(s, 5.0, 1e-9);
    }
}

TEST(HermiteBuild, OneFailedNodeDoesNotStopTheBuild) {
    // F(hi) is NaN on its second reading only: node 1 falls back, the others invert.
    int hi_readings = 0;
    const RecordingCdf cdf{[&](double x) {
        if (x == 1.0 && ++hi_readings == 2) return nan;
        return x;
    }};
    const auto table = HermitePpfTable::build(cdf, 4, 60, 0.0, 1.0, 1e-14);
    const Values& x = table.x_nodes();
    EXPECT_EQ(x[1], 1.0 / 3.0);
    EXPECT_NEAR(x[0], 1e-12, 1e-14);
    EXPECT_NEAR(x[2], table.u_grid()[2], 1e-14);
    EXPECT_NEAR(x[3], table.u_grid()[3], 1e-14);
    EXPECT_NE(x[2], 2.0 / 3.0);
}

// ------------------------------------------------------------------ slopes

struct SlopeCase {
    const char* name;
    Values xs;
    Values ys;
    Values slopes;
};

TEST(HermiteSlopes, MonotoneSlopesByCase) {
    const SlopeCase cases[] = {
        // Interior: harmonic mean of the neighbouring secants 1 and 2.
        {"harmonic_mean", {0, 1, 3}, {0, 1, 5}, {1, 4.0 / 3.0, 2}},
        // Ends take their one-sided secant.
        {"two_points", {2, 4}, {1, 7}, {3, 3}},
        // A flat neighbour makes the node flat, inside and at the ends.
        {"flat_neighbours", {0, 1, 2, 3, 4}, {0, 1, 1, 2, 2}, {1, 0, 0, 0, 0}},
        {"flat_first_interval", {0, 1, 2}, {5, 5, 6}, {0, 0, 1}},
        // A sign change makes the node flat.
        {"sign_change", {0, 1, 2}, {0, 2, 1}, {2, 0, -1}},
        {"decreasing", {0, 1, 3}, {5, 4, 0}, {-1, -4.0 / 3.0, -2}},
        // A zero-width (or narrower than 1e-300) step in xs gives a zero secant.
        {"zero_width", {0, 0, 1}, {0, 1, 2}, {0, 0, 1}},
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
}

TEST(HermiteSlopes, RejectsMismatchedOrTooShortInput) {
    EXPECT_THROW(HermitePpfTable::monotone_slopes(Values{0.0}, Values{0.0}), Panic);
    EXPECT_THROW(HermitePpfTable::monotone_slopes(Values{0.0, 1.0}, Values{0.0, 1.0, 2.0}), Panic);
}

struct LimiterCase {
    const char* name;
    Values secants;
    Values slopes_in;
    Values slopes_out;
};

// Harmonic-mean slopes keep (a, b) within the square [0, 2]^2, so the limiter is
// exercised on its own with slopes chosen outside the circle of radius 3.
TEST(HermiteSlopes, LimiterPullsSlopesOntoTheCircleOfRadiusThree) {
    const double r2 = std::sqrt(2.0);
    const LimiterCase cases[] = {
        // Interval 0: (3, 3) -> scale 3/sqrt(18), both slopes 3/sqrt(2). Interval 1
        // starts from the reduced 3/sqrt(2): (3/sqrt(2), 3), s = 13.5, scale
        // 3/sqrt(13.5), giving sqrt(3) and sqrt(6).
        {"carries_reduced_slope", {1, 1}, {3, 3, 3}, {3 / r2, std::sqrt(3.0), std::sqrt(6.0)}},
        // Same picture scaled by the secant 2 and mirrored for a decreasing run.
        {"scaled_secant", {2}, {6, 6}, {6 / r2, 6 / r2}},
        {"negative_secant", {-1}, {-3, -3}, {-3 / r2, -3 / r2}},
        {"inside", {1}, {2, 2}, {2, 2}},
        // Intervals with a secant below 1e-300 are skipped.
        {"negligible_secant", {1e-301, 0}, {5, 5, 5}, {5, 5, 5}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Values m = c.slopes_in;
        detail::limit_hermite_slopes(c.secants, m);
        ASSERT_EQ(m.size(), c.slopes_out.size());
        for (std::size_t i = 0; i < m.size(); ++i) EXPECT_DOUBLE_EQ(m[i], c.slopes_out[i]) << i;
    }
}

// ------------------------------------------------------------------ eval

TEST(HermiteEval, TailsReturnTheOuterNodes) {
    const auto table = HermitePpfTable::build(PlainCdf{square}, 128, 128, 0.0, 1.0, 1e-12);
    const Values& x = table.x_nodes();
    const double first = x.front();
    const double last = x.back();
    for (double u : {1e-13, 1e-12, 5e-324, std::nextafter(1e-12, 0.0)}) EXPECT_EQ(table.eval(u), first) << u;
    for (double u : {0.9999999999999, table.u_grid().back(), std::nextafter(1.0, 0.0)})
        EXPECT_EQ(table.eval(u), last) << u;
}

TEST(HermiteEval, UniformDistributionReproducesU) {
    const auto table = HermitePpfTable::build(PlainCdf{identity}, 128, 128, 0.0, 1.0, 1e-12);
    const Values& u = table.u_grid();
    const Values& x = table.x_nodes();
    for (std::size_t j = 0; j < u.size(); ++j) EXPECT_NEAR(x[j], u[j], 1e-12) << j;
    for (double m : table.slopes()) EXPECT_NEAR(m, 1.0, 1e-9);
    std::mt19937_64 gen(7);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    for (int k = 0; k < 10000; ++k) {
        const double v = uniform(gen);
        if (v <= u.front() || v >= u.back()) continue;
        EXPECT_NEAR(table.eval(v), v, 2e-12) << v;
    }
}

TEST(HermiteEval, ANodeLevelUsesTheIntervalEndingThereAndGivesTheNode) {
    const auto table = HermitePpfTable::build(PlainCdf{square}, 9, 128, 0.0, 1.0, 1e-12);
    const Values& u = table.u_grid();
    for (std::size_t k = 1; k + 1 < u.size(); ++k) {
        EXPECT_EQ(table.interval(u[k]), k - 1) << k;
        EXPECT_EQ(table.bisect_interval(u[k]), k - 1) << k;
        EXPECT_EQ(table.eval(u[k]), table.x_nodes()[k]) << k;
        EXPECT_EQ(table.interval(std::nextafter(u[k], 1.0)), k) << k;
    }
}

// A distribution function with an atom at 0.5 (a jump from 0.25 to 0.75): every node
// with its level in (0.25, 0.75) lands on the same point, and the table is flat there.
TEST(HermiteEval, EqualNeighbouringNodesGiveAFlatInterval) {
    const PlainCdf atom{[](double x) { return x < 0.5 ? 0.5 * x : 0.5 * x + 0.5; }};
    const auto table = HermitePpfTable::build(atom, 41, 128, 0.0, 1.0, 1e-12);
    const Values& u = table.u_grid();
    const Values& x = table.x_nodes();
    const Values& m = table.slopes();
    std::size_t flat_intervals = 0;
    for (std::size_t i = 0; i + 1 < u.size(); ++i) {
        if (x[i] != x[i + 1]) continue;
        ++flat_intervals;
        EXPECT_EQ(m[i], 0.0) << i;
        EXPECT_EQ(m[i + 1], 0.0) << i;
        for (double t : {0.1, 0.5, 0.9}) {
            const double v = table.eval(u[i] + t * (u[i + 1] - u[i]));
            EXPECT_NEAR(v, x[i], 4 * std::numeric_limits<double>::epsilon()) << i;
        }
    }
    EXPECT_GE(flat_intervals, 15u);
    // Never decreasing, the jump included.
    double previous = table.eval(1e-12);
    for (int k = 1; k < 20000; ++k) {
        const double v = table.eval(k / 20000.0);
        EXPECT_GE(v, previous - 4 * std::numeric_limits<double>::epsilon()) << k;
        previous = v;
    }
}

struct TableCase {
    const char* name;
    Fn cdf;
    double lo;
    double hi;
};

// Tables whose interpolant runs along or into the ends of the support.
const TableCase clamp_cases[] = {
    {"uniform", identity, 0.0, 1.0},
    // Nodes exactly at hi = 3 make a flat interval whose cubic rounds one ulp above 3.
    {"atom_at_hi", [](double x) { return x < 3.0 ? x / 6.0 : 1.0; }, 0.0, 3.0},
    {"atom_at_lo", [](double x) { return x <= -1.0 ? 0.0 : 0.75 + 0.125 * (x + 1.0); }, -1.0, 1.0},
    {"steep_near_lo", [](double x) { return std::pow(x, 0.05); }, 0.0, 1.0},
    {"steep_near_hi", [](double x) { return 1.0 - std::pow(1.0 - x, 0.05); }, 0.0, 1.0},
    {"logistic_wide", [](double x) { return 1.0 / (1.0 + std::exp(-x)); }, -40.0, 40.0},
};

TEST(HermiteEval, ValuesStayWithinTheSupport) {
    std::mt19937_64 gen(11);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    for (const auto& c : clamp_cases) {
        SCOPED_TRACE(c.name);
        for (std::uint64_t n : {4u, 33u}) {
            const auto table = HermitePpfTable::build(PlainCdf{c.cdf}, n, 128, c.lo, c.hi, 1e-12);
            for (int k = 0; k < 20000; ++k) {
                const double v = table.eval(uniform(gen));
                ASSERT_GE(v, c.lo);
                ASSERT_LE(v, c.hi);
            }
        }
    }
}

// The interval found from the even spacing of the levels, corrected against the
// stored levels, is the one the bisection gives, ties at nodes included; and the
// value is bit-identical to the cubic evaluated from the stored nodes.
TEST(HermiteEval, DirectLookupAgreesWithBisectionEverywhere) {
    std::mt19937_64 gen(2024);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    for (std::uint64_t n : {4u, 5u, 6u, 7u, 100u, 128u, 1000u, 1024u, 1025u, 4097u}) {
        SCOPED_TRACE(n);
        const auto table = HermitePpfTable::build(PlainCdf{square}, n, 60, 0.0, 1.0, 1e-13);
        Values probes = {0.0, 1.0, nan, 1e-300, 0.5, 1.0 / 3.0, 2.0 / 3.0, std::nextafter(1.0, 0.0)};
        for (double level : table.u_grid()) {
            probes.push_back(level);
            probes.push_back(std::nextafter(level, 0.0));
            probes.push_back(std::nextafter(level, 1.0));
            // Where the guess from the spacing lands on either side of the level.
            probes.push_back(level * (1 + 1e-15));
            probes.push_back(level * (1 - 1e-15));
        }
        for (int k = 0; k < 20000; ++k) probes.push_back(uniform(gen));
        std::size_t mismatches = 0;
        for (double u : probes) {
            const std::size_t direct = table.interval(u);
            const std::size_t bisected = table.bisect_interval(u);
            const std::size_t scanned = reference_interval(table, u);
            const double value = table.eval(u);
            const double expected = reference_eval(table, u);
            if (direct != bisected || bisected != scanned || !same_bits(value, expected)) {
                if (++mismatches <= 5) {
                    ADD_FAILURE() << "u=" << u << " direct=" << direct << " bisected=" << bisected
                                  << " scanned=" << scanned << " value=" << value << " expected=" << expected;
                }
            }
        }
        EXPECT_EQ(mismatches, 0u);
    }
}

}  // namespace
}  // namespace drovik
