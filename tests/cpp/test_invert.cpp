// Quantile inversion: order of the checks and their messages, the bisection tie
// rules and budget, the Newton polish (clamp, vanishing and NaN densities) and the
// exact points at which the distribution function and the density are evaluated.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "continuous/invert.hpp"
#include "error.hpp"

namespace drovik {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

using Fn = std::function<double(double)>;

// Records every point it is evaluated at; evaluating at NaN is a fault in itself.
struct RecordingCdf {
    Fn g;
    mutable std::vector<double> points{};
    double cdf(double x) const {
        if (std::isnan(x)) ADD_FAILURE() << "distribution function evaluated at NaN";
        points.push_back(x);
        return g(x);
    }
};

struct RecordingPdf {
    Fn g;
    mutable std::vector<double> points{};
    double pdf(double x) const {
        if (std::isnan(x)) ADD_FAILURE() << "density evaluated at NaN";
        points.push_back(x);
        return g(x);
    }
};

using Points = std::vector<double>;

double identity(double x) { return x; }

// ------------------------------------------------------------------ common start

TEST(InvertCommonStart, QuantileOutsideOpenUnitIntervalFailsBeforeAnyEvaluation) {
    struct Case {
        double u;
        const char* message;
    };
    const Case cases[] = {
        {0.0, "quantile u=0 not in (0, 1)"},     {1.0, "quantile u=1 not in (0, 1)"},
        {nan, "quantile u=NaN not in (0, 1)"},   {-0.0, "quantile u=-0 not in (0, 1)"},
        {-0.25, "quantile u=-0.25 not in (0, 1)"}, {1.5, "quantile u=1.5 not in (0, 1)"},
        {inf, "quantile u=inf not in (0, 1)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        // A flat distribution function would fail the span check if it were reached.
        const RecordingCdf cdf{[](double) { return 0.5; }};
        const RecordingPdf pdf{[](double) { return 1.0; }};
        const auto plain = ppf(cdf, 50, 0.0, 1.0, c.u, 1e-12);
        const auto polished = ppf_with_pdf(cdf, pdf, 50, 0.0, 1.0, c.u, 1e-12);
        for (const auto& result : {plain, polished}) {
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error(), SampleError::quantile_out_of_range(c.u));
            EXPECT_EQ(result.error().display(), c.message);
        }
        EXPECT_TRUE(cdf.points.empty());
        EXPECT_TRUE(pdf.points.empty());
    }
}

TEST(InvertCommonStart, SpanNotFiniteAndPositiveFailsAfterTwoEvaluations) {
    struct Case {
        const char* name;
        Fn g;
    };
    const Case cases[] = {
        {"constant", [](double) { return 0.25; }},
        {"decreasing", [](double x) { return 1 - x; }},
        {"NaN at lo", [](double x) { return x == 0.0 ? nan : x; }},
        {"NaN at hi", [](double x) { return x == 1.0 ? nan : x; }},
        {"+inf at hi", [](double x) { return x == 1.0 ? inf : x; }},
        {"-inf at lo", [](double x) { return x == 0.0 ? -inf : x; }},
        {"infinite at both ends", [](double x) { return x == 0.0 ? -inf : inf; }},
        {"NaN everywhere", [](double) { return nan; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const RecordingCdf cdf{c.g};
        const RecordingPdf pdf{[](double) { return 1.0; }};
        const auto plain = ppf(cdf, 50, 0.0, 1.0, 0.5, 1e-12);
        const auto polished = ppf_with_pdf(cdf, pdf, 50, 0.0, 1.0, 0.5, 1e-12);
        for (const auto& result : {plain, polished}) {
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error(), SampleError::of(SampleError::Kind::InversionFailed));
            EXPECT_EQ(result.error().display(), "failed to invert CDF");
        }
        EXPECT_EQ(cdf.points, (Points{0.0, 1.0, 0.0, 1.0}));
        EXPECT_TRUE(pdf.points.empty());
    }
}

TEST(InvertCommonStart, SubnormalSpanIsAccepted) {
    const RecordingCdf cdf{[](double x) { return x == 1.0 ? std::numeric_limits<double>::denorm_min() : 0.0; }};
    EXPECT_TRUE(ppf(cdf, 10, 0.0, 1.0, 0.5, 0.0).has_value());
}

// ------------------------------------------------------------------ ppf (bisection)

TEST(InvertPpf, UniformHalfAfterOneBisection) {
    const RecordingCdf cdf{identity};
    const auto x = ppf(cdf, 50, 0.0, 1.0, 0.5, 1e-12);
    ASSERT_TRUE(x.has_value());
    EXPECT_EQ(*x, 0.5);
    EXPECT_EQ(cdf.points, (Points{0.0, 1.0, 0.5}));
}

TEST(InvertPpf, BisectionRules) {
    struct Case {
        const char* name;
        Fn g;
        double lo, hi, u, tol;
        std::uint32_t max_iterations;
        double expected;
        Points points;
    };
    const Case cases[] = {
        // target 0.5 is met exactly but tol < 0 rejects it: equality moves hi.
        {"equal value moves hi", identity, 0.0, 1.0, 0.5, -1.0, 1, 0.25, {0.0, 1.0, 0.5}},
        {"NaN value moves hi", [](double x) { return x == 0.5 ? nan : x; }, 0.0, 1.0, 0.5, 1e-12, 1, 0.25,
         {0.0, 1.0, 0.5}},
        {"lower value moves lo", identity, 0.0, 1.0, 0.75, 1e-12, 1, 0.75, {0.0, 1.0, 0.5}},
        {"tolerance is inclusive", identity, 0.0, 1.0, 0.75, 0.25, 5, 0.5, {0.0, 1.0, 0.5}},
        {"met tolerance returns that midpoint", identity, 0.0, 1.0, 0.75, 0.0, 10, 0.75, {0.0, 1.0, 0.5, 0.75}},
        {"zero budget gives the midpoint", identity, 1.0, 4.0, 0.9, 1e-12, 0, 2.5, {1.0, 4.0}},
        // Budget spent: midpoint of the last bracket [0.25, 0.375].
        {"spent budget gives the final midpoint", identity, 0.0, 1.0, 0.3, 1e-12, 3, 0.3125,
         {0.0, 1.0, 0.5, 0.25, 0.375}},
        // F(lo) = 1 shifts the target to 1 + u * 2.
        {"target is relative to F(lo)", [](double x) { return 1 + x; }, 0.0, 2.0, 0.25, 0.0, 10, 0.5,
         {0.0, 2.0, 1.0, 0.5}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const RecordingCdf cdf{c.g};
        const auto x = ppf(cdf, c.max_iterations, c.lo, c.hi, c.u, c.tol);
        ASSERT_TRUE(x.has_value());
        EXPECT_EQ(*x, c.expected);
        EXPECT_EQ(cdf.points, c.points);
    }
}

// ------------------------------------------------------------------ ppf_with_pdf (Newton polish)

// Bisection with three iterations on F(x) = x, u = 0.3 ends at 0.3125 (last bracket [0.25, 0.375]).
const Points three_bisections = {0.0, 1.0, 0.5, 0.25, 0.375};

Points then(Points head, const Points& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// The polish tests the bisection result once more before any density is needed.
TEST(InvertPpfWithPdf, UniformHalfNeedsNoDensity) {
    const RecordingCdf cdf{identity};
    const RecordingPdf pdf{[](double) { return 1.0; }};
    const auto x = ppf_with_pdf(cdf, pdf, 50, 0.0, 1.0, 0.5, 1e-12);
    ASSERT_TRUE(x.has_value());
    EXPECT_EQ(*x, 0.5);
    EXPECT_EQ(cdf.points, (Points{0.0, 1.0, 0.5, 0.5}));
    EXPECT_TRUE(pdf.points.empty());
}

TEST(InvertPpfWithPdf, ZeroBudgetStartsNewtonAtTheMidpoint) {
    // F(x) = x - 1 on [1, 2], u = 0.25: one exact Newton step from 1.5 to 1.25.
    const RecordingCdf cdf{[](double x) { return x - 1; }};
    const RecordingPdf pdf{[](double) { return 1.0; }};
    const auto x = ppf_with_pdf(cdf, pdf, 0, 1.0, 2.0, 0.25, 1e-12);
    ASSERT_TRUE(x.has_value());
    EXPECT_EQ(*x, 1.25);
    EXPECT_EQ(cdf.points, (Points{1.0, 2.0, 1.5, 1.25}));
    EXPECT_EQ(pdf.points, (Points{1.5}));
}

TEST(InvertPpfWithPdf, VanishingDensityReturnsTheBisectionPoint) {
    for (const double density : {0.0, -0.0, 1e-301, -1e-301, std::numeric_limits<double>::denorm_min()}) {
        SCOPED_TRACE(density);
        const RecordingCdf cdf{identity};
        const RecordingPdf pdf{[density](double) { return density; }};
        const auto x = ppf_with_pdf(cdf, pdf, 3, 0.0, 1.0, 0.3, 1e-12);
        ASSERT_TRUE(x.has_value());
        EXPECT_EQ(*x, 0.3125);
        EXPECT_EQ(cdf.points, then(three_bisections, {0.3125}));
        EXPECT_EQ(pdf.points, (Points{0.3125}));
    }
}

// Steps far out of the bracket land exactly on the initial ends (not on the narrowed
// bracket [0.25, 0.375]); the eighth update is returned without a further test.
TEST(InvertPpfWithPdf, StepsLeavingTheBracketLandOnItsEnds) {
    for (const double density : {1e-3, 1e-300}) {
        SCOPED_TRACE(density);
        const RecordingCdf cdf{identity};
        const RecordingPdf pdf{[density](double) { return density; }};
        const auto x = ppf_with_pdf(cdf, pdf, 3, 0.0, 1.0, 0.3, 1e-12);
        ASSERT_TRUE(x.has_value());
        EXPECT_EQ(*x, 1.0);
        const Points newton = {0.3125, 0.0, 1.0, 0.0, 1.0, 0.0, 1.0, 0.0};
        EXPECT_EQ(cdf.points, then(three_bisections, newton));
        EXPECT_EQ(pdf.points, newton);
    }
}

TEST(InvertPpfWithPdf, NonFiniteValuesInThePolishEndCleanly) {
    struct Case {
        const char* name;
        Fn cdf, pdf;
        double expected;
        Points cdf_points, pdf_points;
    };
    // One bisection iteration for u = 0.375 leaves x = 0.25 with F = 0.25.
    const Case cases[] = {
        {"NaN density at the bisection point", identity, [](double) { return nan; }, 0.25,
         {0.0, 1.0, 0.5, 0.25}, {0.25}},
        {"NaN density after a finite step", identity, [](double x) { return x < 0.4 ? 0.5 : nan; }, 0.5,
         {0.0, 1.0, 0.5, 0.25, 0.5}, {0.25, 0.5}},
        {"NaN distribution value at a Newton point", [](double x) { return x > 0.7 && x < 0.9 ? nan : x; },
         [](double) { return 0.25; }, 0.75, {0.0, 1.0, 0.5, 0.25, 0.75}, {0.25, 0.75}},
        {"infinite density at the bisection point", identity, [](double) { return inf; }, 0.25,
         {0.0, 1.0, 0.5, 0.25, 0.25, 0.25, 0.25, 0.25, 0.25, 0.25, 0.25}, Points(8, 0.25)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const RecordingCdf cdf{c.cdf};
        const RecordingPdf pdf{c.pdf};
        const auto x = ppf_with_pdf(cdf, pdf, 1, 0.0, 1.0, 0.375, 1e-12);
        ASSERT_TRUE(x.has_value());
        EXPECT_EQ(*x, c.expected);
        EXPECT_EQ(cdf.points, c.cdf_points);
        EXPECT_EQ(pdf.points, c.pdf_points);
    }
}

// A smooth distribution: both routines meet the tolerance on F, bisection alone
// spends one evaluation per halving, Newton from a coarse bracket a handful.
TEST(InvertPpfWithPdf, LogisticMeetsToleranceWithFewEvaluations) {
    auto logistic = [](double x) { return 1 / (1 + std::exp(-x)); };
    auto density = [](double x) {
        const double e = std::exp(-x);
        return e / ((1 + e) * (1 + e));
    };
    const double lo = -10.0;
    const double hi = 10.0;
    const double tol = 1e-12;
    for (const double u : {1e-6, 0.1, 0.3, 0.7, 0.999}) {
        SCOPED_TRACE(u);
        const double target = logistic(lo) + u * (logistic(hi) - logistic(lo));

        const RecordingCdf bisection_cdf{logistic};
        const auto plain = ppf(bisection_cdf, 128, lo, hi, u, tol);
        ASSERT_TRUE(plain.has_value());
        EXPECT_LE(std::abs(logistic(*plain) - target), tol);
        // The met test is the last evaluation; 20 / 2^k shrinks F-steps below 1e-12 by k = 45.
        EXPECT_EQ(bisection_cdf.points.back(), *plain);
        EXPECT_LE(bisection_cdf.points.size(), 2u + 45u);

        const RecordingCdf cdf{logistic};
        const RecordingPdf pdf{density};
        const auto polished = ppf_with_pdf(cdf, pdf, 6, lo, hi, u, tol);
        ASSERT_TRUE(polished.has_value());
        EXPECT_LE(std::abs(logistic(*polished) - target), tol);
        // Two ends, six halvings, then one test per Newton point; a density per update.
        EXPECT_LT(pdf.points.size(), 8u);
        EXPECT_EQ(cdf.points.size(), 2 + 6 + pdf.points.size() + 1);
        EXPECT_EQ(cdf.points.back(), *polished);
    }
}

}  // namespace
}  // namespace drovik
