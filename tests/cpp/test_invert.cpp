// Quantile inversion: order and text of the checks, the bisection tie rules and
// budget, the Newton polish (clamp, vanishing and non-finite values) and the
// exact points at which the distribution function and the density are read.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <expected>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "continuous/invert.hpp"
#include "error.hpp"
#include "recording.hpp"

namespace drovik {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// NaN as the expected quantile stands for InversionFailed.
void expect_quantile(const std::expected<double, SampleError>& got, double expected) {
    if (std::isnan(expected)) EXPECT_EQ(got, std::unexpected(SampleError::of(SampleError::Kind::InversionFailed)));
    else EXPECT_EQ(got.value_or(nan), expected);
}

double identity(double x) { return x; }
double one(double) { return 1.0; }

// u is checked before anything is read (the flat F would fail the span
// check; the texts for -0, inf and other levels: the Python tests); then
// F(hi) - F(lo) must be finite and positive (a subnormal span will do), a
// failure that comes after reading F(lo), then F(hi).
TEST(InvertChecks, QuantileThenSpanFailInOrder) {
    const Fn flat = [](double) { return 0.25; };
    const char* failed = "failed to invert CDF";
    const Points span = {0.0, 1.0, 0.0, 1.0};
    struct Case { double u; Fn cdf; const char* message; Points reads; };
    const Case cases[] = {
        {0.0, flat, "quantile u=0 not in (0, 1)", {}},       {1.0, flat, "quantile u=1 not in (0, 1)", {}},
        {-0.25, flat, "quantile u=-0.25 not in (0, 1)", {}}, {1.5, flat, "quantile u=1.5 not in (0, 1)", {}},
        {nan, flat, "quantile u=NaN not in (0, 1)", {}},     {0.5, flat, failed, span},
        {0.5, [](double x) { return 1 - x; }, failed, span},
        {0.5, [](double x) { return x == 0.0 ? nan : x; }, failed, span},
        {0.5, [](double x) { return x == 1.0 ? inf : x; }, failed, span},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.message << ", u " << c.u);
        const Recorder cdf{c.cdf}, pdf{one};
        for (const auto& result :
             {ppf(cdf, 50, 0.0, 1.0, c.u, 1e-12), ppf_with_pdf(cdf, pdf, 50, 0.0, 1.0, c.u, 1e-12)}) {
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error().display(), c.message);
            if (c.reads.empty()) {
                EXPECT_EQ(result.error(), SampleError::quantile_out_of_range(c.u));
            }
        }
        EXPECT_EQ(cdf.at, c.reads);
        EXPECT_TRUE(pdf.at.empty());
    }
    const Recorder subnormal{[](double x) { return x == 1.0 ? std::numeric_limits<double>::denorm_min() : 0.0; }};
    EXPECT_TRUE(ppf(subnormal, 10, 0.0, 1.0, 0.5, 0.0).has_value());
}

TEST(InvertPpf, BisectionRules) {
    struct Case {
        const char* name; Fn g; double lo, hi, u, tol; std::uint32_t budget; double expected; Points points;
    };
    const Case cases[] = {
        // The target 0.5 is met exactly but tol < 0 rejects it: equality moves hi.
        {"equal value moves hi", identity, 0.0, 1.0, 0.5, -1.0, 1, 0.25, {0.0, 1.0, 0.5}},
        // A distribution function that fails after the build must not pull the bracket to lo.
        {"NaN value fails the inversion", [](double x) { return x == 0.5 ? nan : x; }, 0.0, 1.0, 0.5, 1e-12, 9, nan,
         {0.0, 1.0, 0.5}},
        {"met tolerance, inclusive, returns that midpoint", identity, 0.0, 1.0, 0.75, 0.25, 5, 0.5, {0.0, 1.0, 0.5}},
        {"zero budget gives the midpoint", identity, 1.0, 4.0, 0.9, 1e-12, 0, 2.5, {1.0, 4.0}},
        {"spent budget gives the last midpoint", identity, 0.0, 1.0, 0.3, 1e-12, 3, 0.3125,
         {0.0, 1.0, 0.5, 0.25, 0.375}},
        // F(lo) = 1 shifts the target to 1 + u * 2.
        {"target is relative to F(lo)", [](double x) { return 1 + x; }, 0.0, 2.0, 0.25, 0.0, 10, 0.5,
         {0.0, 2.0, 1.0, 0.5}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Recorder cdf{c.g};
        expect_quantile(ppf(cdf, c.budget, c.lo, c.hi, c.u, c.tol), c.expected);
        EXPECT_EQ(cdf.at, c.points);
    }
}

// A jump that no level meets: with tol = 0 the bracket closes around it after
// some 60 steps, and the bisection stops there with the point the full budget
// would give, also near the ends of the double range where lo + hi overflows.
TEST(InvertPpf, StopsWhenTheBracketNoLongerShrinks) {
    for (const auto& [lo, hi, jump] : {std::tuple{0.0, 1.0, 0.3}, std::tuple{-1e308, 1.7e308, 1.5e308}}) {
        const double at = jump;
        const Recorder cdf{[at](double x) { return x < at ? 0.0 : 1.0; }};
        double a = lo, b = hi;  // the plain loop, run well past the point where it stalls
        for (int i = 0; i < 3000; ++i) {
            const double mid = a * 0.5 + b * 0.5;
            (mid < at ? a : b) = mid;
        }
        const auto x = ppf(cdf, 4'000'000'000u, lo, hi, 0.5, 0.0);
        ASSERT_TRUE(x.has_value());
        EXPECT_EQ(*x, a * 0.5 + b * 0.5);
        EXPECT_LT(cdf.at.size(), 2200u);
        EXPECT_TRUE(std::isfinite(*x) && lo <= *x && *x <= hi);
    }
}

// The polish tests the bisection point once more before it reads a density,
// steps with F / f inside the final bisection bracket, stops on a density below
// 1e-300 in magnitude, a NaN step or a step out of the bracket, and returns the
// eighth update untested.
TEST(InvertPpfWithPdf, NewtonPolish) {
    struct Case {
        const char* name; Fn cdf, pdf; std::uint32_t budget; double u, expected; Points cdf_points, pdf_points;
    };
    const Points three = {0.0, 1.0, 0.5, 0.25, 0.375};  // bisection for u = 0.3, ending at 0.3125
    auto then = [](Points head, const Points& tail) {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    const Case cases[] = {
        {"bisection point meets the tolerance", identity, one, 50, 0.5, 0.5, {0.0, 1.0, 0.5, 0.5}, {}},
        // A step to a worse point 0.2625 where the density vanishes ends there, not at the better 0.3125.
        {"density below 1e-300 in magnitude after a step", identity,
         [](double x) { return x > 0.3 ? 0.25 : -1e-301; }, 3, 0.3, 0.26249999999999996,
         then(three, {0.3125, 0.26249999999999996}), {0.3125, 0.26249999999999996}},
        // 1e-300 is not vanishing: the step leaves the final bracket [0.25, 0.375], which ends the polish at
        // the best point seen instead of landing on an end of the support.
        {"a step leaves the bracket", identity, [](double) { return 1e-300; }, 3, 0.3, 0.3125, then(three, {0.3125}),
         {0.3125}},
        // One bisection step for u = 0.375 leaves x = 0.25, as good as the step to 0.5.
        {"NaN density after a finite step", identity, [](double x) { return x < 0.4 ? 0.5 : nan; }, 1, 0.375, 0.5,
         {0.0, 1.0, 0.5, 0.25, 0.5}, {0.25, 0.5}},
        {"NaN value at a Newton point fails", [](double x) { return x > 0.3 && x < 0.4 ? nan : x; }, one, 1, 0.375,
         nan, {0.0, 1.0, 0.5, 0.25, 0.375}, {0.25}},
        {"infinite density", identity, [](double) { return inf; }, 1, 0.375, 0.25,
         then({0.0, 1.0, 0.5}, Points(8, 0.25)), Points(8, 0.25)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Recorder cdf{c.cdf}, pdf{c.pdf};
        expect_quantile(ppf_with_pdf(cdf, pdf, c.budget, 0.0, 1.0, c.u, 1e-12), c.expected);
        EXPECT_EQ(cdf.at, c.cdf_points);
        EXPECT_EQ(pdf.at, c.pdf_points);
    }
}

}  // namespace
}  // namespace drovik
