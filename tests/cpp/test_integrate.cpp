// Adaptive Simpson quadrature: evaluation order and counts, exactness, the
// accept rule, stack cap and summation order (against a plain transcription of the
// algorithm), and prompt NaN on inputs where the plain loop would not end.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <vector>

#include "continuous/integrate.hpp"

namespace drovik {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

using Fn = double (*)(double);

// Counts the calls of the wrapped integrand.
struct Counted {
    Fn g;
    long calls = 0;
    double operator()(double x) {
        ++calls;
        return g(x);
    }
};

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// The algorithm as described, line by line: growable stack, no guard of any kind.
// Stops after max_steps pops so that inputs where it never ends can be examined.
struct PlainRun {
    double value = 0.0;
    long calls = 0;
    long cap_accepts = 0;  // records accepted only because more than 48 were pending
    bool ended = true;
};

PlainRun plain_integrate(Fn g, double a, double b, double tol, long max_steps) {
    PlainRun run;
    auto f = [&](double x) {
        ++run.calls;
        return g(x);
    };
    auto simpson3 = [&](double l, double r) {
        const double m = (l + r) * 0.5;
        const double fl = f(l);
        const double fm = f(m);
        const double fr = f(r);
        return ((r - l) / 6) * ((fl + 4 * fm) + fr);
    };
    if (a == b) return run;
    if (b < a) {
        run = plain_integrate(g, b, a, tol, max_steps);
        run.value = -run.value;
        return run;
    }
    std::vector<std::array<double, 3>> stack;
    stack.push_back({a, b, simpson3(a, b)});
    double total = 0.0;
    const double threshold = 15 * tol;
    for (long step = 0; !stack.empty(); ++step) {
        if (step == max_steps) {
            run.ended = false;
            break;
        }
        const auto [l, r, whole] = stack.back();
        stack.pop_back();
        const std::size_t n = stack.size();
        const double m = (l + r) * 0.5;
        const double left = simpson3(l, m);
        const double right = simpson3(m, r);
        const double s = left + right;
        const double err = std::abs(s - whole);
        if (err <= threshold || n > 48) {
            if (!(err <= threshold)) ++run.cap_accepts;
            total += s + (s - whole) / 15;
        } else {
            stack.push_back({m, r, right});
            stack.push_back({l, m, left});
        }
    }
    run.value = total;
    return run;
}

double cubic(double x) { return x * x * x; }
double gaussian(double x) { return std::exp(-x * x / 2); }
double jump(double x) { return x < 1.0 / 3 ? 0.0 : 1.0; }

// ------------------------------------------------------------------ simpson

TEST(IntegrateSimpson, EvaluatesLeftMiddleRightOnce) {
    std::vector<double> points;
    auto square = [&points](double x) {
        points.push_back(x);
        return x * x;
    };
    // (3 / 6) * ((1 + 4 * 6.25) + 16) = 21, the exact integral of x^2 over [1, 4].
    EXPECT_EQ(simpson(square, 1.0, 4.0), 21.0);
    EXPECT_EQ(points, (std::vector<double>{1.0, 2.5, 4.0}));
}

// ------------------------------------------------------------------ integrate_fn

// err = 0 at the first step for a cubic; -0 and 0 accept an exact zero error, inf accepts anything.
TEST(IntegrateFn, CubicIsExactAfterOneStep) {
    for (const double tol : {1e-10, 0.0, -0.0, inf}) {
        SCOPED_TRACE(tol);
        Counted f{cubic};
        EXPECT_EQ(integrate_fn(f, 0.0, 2.0, tol), 4.0);
        EXPECT_EQ(f.calls, 9);
    }
}

// Equal bounds come before every other check, a bad tolerance included.
TEST(IntegrateFn, EqualBoundsReturnZeroWithoutEvaluating) {
    for (const double tol : {1e-10, -1.0, nan}) {
        SCOPED_TRACE(tol);
        Counted f{cubic};
        const double result = integrate_fn(f, 0.75, 0.75, tol);
        EXPECT_EQ(bits(result), bits(0.0));
        EXPECT_EQ(f.calls, 0);
    }
}

TEST(IntegrateFn, SwappedBoundsNegateBitForBit) {
    struct Case {
        const char* name;
        Fn g;
        double a, b, tol;
    };
    const Case cases[] = {
        {"cubic", cubic, 0.0, 2.0, 1e-10},
        {"gaussian", gaussian, -8.0, 8.0, 1e-10},
        {"jump", jump, 0.0, 1.0, 1e-10},
        {"exp", [](double x) { return std::exp(x); }, -1.5, 0.25, 1e-13},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Counted forward{c.g};
        Counted backward{c.g};
        const double there = integrate_fn(forward, c.a, c.b, c.tol);
        const double back = integrate_fn(backward, c.b, c.a, c.tol);
        EXPECT_EQ(bits(back), bits(-there));
        EXPECT_EQ(backward.calls, forward.calls);
    }
}

TEST(IntegrateFn, UnnormalizedNormalOnWideRange) {
    EXPECT_NEAR(integrate_fn(gaussian, -8.0, 8.0, 1e-10), std::sqrt(2 * std::numbers::pi), 1e-10);
}

// The tolerance bounds each accepted interval's estimated error, not the total's.
TEST(IntegrateFn, JumpEndsAfterAFewDozenSteps) {
    Counted f{jump};
    EXPECT_NEAR(integrate_fn(f, 0.0, 1.0, 1e-10), 2.0 / 3.0, 1e-9);
    const long steps = (f.calls - 3) / 6;
    EXPECT_EQ(f.calls, 3 + 6 * steps);
    EXPECT_GE(steps, 24);
    EXPECT_LE(steps, 72);
}

// Bit-for-bit and call-for-call agreement with the plain loop pins the accept rule,
// the push order, the cap and the left-to-right summation.
TEST(IntegrateFn, MatchesPlainLoopBitForBit) {
    struct Case {
        const char* name;
        Fn g;
        double a, b, tol;
        bool reaches_cap;
    };
    const Case cases[] = {
        {"cubic", cubic, 0.0, 2.0, 1e-10, false},
        {"gaussian", gaussian, -8.0, 8.0, 1e-10, false},
        {"jump", jump, 0.0, 1.0, 1e-10, false},
        {"sin", [](double x) { return std::sin(x); }, 0.0, 3.0, 1e-6, false},
        {"exp, tight", [](double x) { return std::exp(x); }, -1.0, 2.0, 1e-14, false},
        {"cusp at 1/3", [](double x) { return std::pow(std::abs(x - 1.0 / 3), 0.01); }, 0.0, 1.0, 1e-10, false},
        // The singular end keeps the leftmost record unresolved until 49 wait beneath it.
        {"inverse sqrt, 0 at 0", [](double x) { return x > 0 ? 1 / std::sqrt(x) : 0.0; }, 0.0, 1.0, 1e-10, true},
        // Nothing passes 1.5e-299 before the cap: the cap accepts over and over.
        {"sqrt, tol 1e-300", [](double x) { return std::sqrt(x); }, 0.0, 1.0, 1e-300, true},
        // b - a overflows: err is NaN at the first record, yet the halves end at exactly 0.
        {"zero, width overflows", [](double) { return 0.0; }, -1e308, 1e308, 1e-10, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const PlainRun plain = plain_integrate(c.g, c.a, c.b, c.tol, 10'000'000);
        ASSERT_TRUE(plain.ended);
        EXPECT_EQ(plain.cap_accepts > 0, c.reaches_cap) << plain.cap_accepts;
        Counted f{c.g};
        const double result = integrate_fn(f, c.a, c.b, c.tol);
        EXPECT_EQ(bits(result), bits(plain.value)) << result << " vs " << plain.value;
        EXPECT_EQ(f.calls, plain.calls);
    }
}

// Each of these would keep the plain loop running (or ends it non-finite); the
// routine returns NaN after at most max_calls evaluations.
TEST(IntegrateFn, PathologicalInputsEndWithNaN) {
    struct Case {
        const char* name;
        Fn g;
        double a, b, tol;
        long max_calls;
    };
    const Case cases[] = {
        {"NaN everywhere", [](double) { return nan; }, 0.0, 1.0, 1e-10, 3},
        {"NaN on [0.3, 0.4]", [](double x) { return x >= 0.3 && x <= 0.4 ? nan : std::exp(x); }, 0.0, 1.0, 1e-10,
         15},
        {"+inf at b", [](double x) { return x == 1.0 ? inf : std::exp(x); }, 0.0, 1.0, 1e-10, 3},
        {"NaN at b", [](double x) { return x == 1.0 ? nan : std::exp(x); }, 0.0, 1.0, 1e-10, 3},
        {"NaN at the midpoint", [](double x) { return x == 0.5 ? nan : std::exp(x); }, 0.0, 1.0, 1e-10, 3},
        {"+inf at the midpoint", [](double x) { return x == 0.5 ? inf : std::exp(x); }, 0.0, 1.0, 1e-10, 3},
        {"pole at a", [](double x) { return 1 / std::sqrt(x); }, 0.0, 1.0, 1e-10, 3},
        {"+inf at a point of the second step", [](double x) { return x == 0.375 ? inf : std::exp(x); }, 0.0, 1.0,
         1e-10, 15},
        // Finite values, but 4 * f(m) overflows in every estimate.
        {"estimates overflow", [](double) { return 1e308; }, 0.0, 1.0, 1e-10, 1200},
        {"NaN lower bound", cubic, nan, 1.0, 1e-10, 0},
        {"NaN upper bound", cubic, 0.0, nan, 1e-10, 0},
        {"-inf lower bound", cubic, -inf, 1.0, 1e-10, 0},
        {"+inf upper bound", cubic, 0.0, inf, 1e-10, 0},
        {"+inf lower bound, swapped", cubic, inf, 1.0, 1e-10, 0},
        {"negative tol", cubic, 0.0, 1.0, -1e-10, 0},
        {"NaN tol", cubic, 0.0, 1.0, nan, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Counted f{c.g};
        EXPECT_TRUE(std::isnan(integrate_fn(f, c.a, c.b, c.tol)));
        EXPECT_LE(f.calls, c.max_calls);
        // Returning NaN loses no finite result.
        const PlainRun plain = plain_integrate(c.g, c.a, c.b, c.tol, 200'000);
        EXPECT_TRUE(!plain.ended || !std::isfinite(plain.value)) << plain.value;
    }
}

TEST(IntegrateFn, ExceptionFromIntegrandPropagates) {
    int calls = 0;
    auto raising = [&calls](double x) {
        if (++calls == 5) throw std::runtime_error("interrupted");
        return std::exp(x);
    };
    EXPECT_THROW(integrate_fn(raising, 0.0, 1.0, 1e-12), std::runtime_error);
    EXPECT_EQ(calls, 5);

    static_assert(!noexcept(integrate_fn(raising, 0.0, 1.0, 1e-12)));
    static_assert(noexcept(integrate_fn([](double x) noexcept { return x; }, 0.0, 1.0, 1e-12)));
}

}  // namespace
}  // namespace drovik
