// Adaptive Simpson quadrature: evaluation order and counts, the accept rule,
// stack cap and summation order (against a plain transcription of the
// algorithm), and prompt NaN on inputs where the plain loop would not end.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "continuous/integrate.hpp"
#include "recording.hpp"

namespace drovik {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

using Integrand = double (*)(double);

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// The algorithm as described (sixteen first panels, the tolerance, the rounding
// level and the cap), with a growable stack and none of the guards against
// non-finite values; stops after max_steps pops so that inputs where it never
// ends can be examined.
struct PlainRun {
    double value = 0.0;
    long calls = 0;
    long cap_accepts = 0;  // records accepted only because more than 48 were pending
    bool ended = true;
};

PlainRun plain_integrate(Integrand g, double a, double b, double tol, long max_steps) {
    PlainRun run;
    auto simpson3 = [&](double l, double r) {
        const double m = (l + r) * 0.5;
        const double fl = g(l), fm = g(m), fr = g(r);
        run.calls += 3;
        return ((r - l) / 6) * ((fl + 4 * fm) + fr);
    };
    if (a == b) return run;
    if (b < a) {
        run = plain_integrate(g, b, a, tol, max_steps);
        run.value = -run.value;
        return run;
    }
    // Sixteen panels from four rounds of halving, estimated left to right, the leftmost on top.
    std::vector<double> edges{a, b};
    for (int round = 0; round < 4; ++round) {
        std::vector<double> finer{edges[0]};
        for (std::size_t i = 0; i + 1 < edges.size(); ++i) finer.insert(finer.end(), {(edges[i] + edges[i + 1]) * 0.5, edges[i + 1]});
        edges = finer;
    }
    std::vector<std::array<double, 3>> panels;
    for (std::size_t i = 0; i + 1 < edges.size(); ++i) panels.push_back({edges[i], edges[i + 1], simpson3(edges[i], edges[i + 1])});
    std::vector<std::array<double, 3>> stack(panels.rbegin(), panels.rend());
    for (long step = 0; !stack.empty(); ++step) {
        if (step == max_steps) {
            run.ended = false;
            return run;
        }
        const auto [l, r, whole] = stack.back();
        stack.pop_back();
        const double m = (l + r) * 0.5, left = simpson3(l, m), right = simpson3(m, r), s = left + right;
        const double err = std::abs(s - whole);
        const bool rounded = err <= 4 * std::numeric_limits<double>::epsilon() * std::abs(s);
        if (err <= 15 * tol || stack.size() > 48 || rounded) {
            run.cap_accepts += !(err <= 15 * tol) && !rounded;
            run.value += s + (s - whole) / 15;
        } else {
            stack.push_back({m, r, right});
            stack.push_back({l, m, left});
        }
    }
    return run;
}

double cubic(double x) { return x * x * x; }

// err = 0 at the first step for a cubic, accepted by tol 0 and -0; equal
// bounds give +0 before any check, a NaN tolerance included. Each three-point
// rule reads its left end, middle and right end in this order and keeps none.
TEST(IntegrateFn, CubicAfterOneStepAndEqualBoundsWithoutEvaluating) {
    for (const double tol : {0.0, -0.0}) {
        Counter f{cubic};
        EXPECT_EQ(integrate_fn(f, 0.0, 2.0, tol), 4.0);
        EXPECT_EQ(f.calls, 16 * 9);  // each first panel estimated, halved once and accepted
    }
    const Recorder recorded{cubic};
    (void)integrate_fn(recorded, 0.0, 2.0, 0.0);
    EXPECT_EQ(Points(recorded.at.begin(), recorded.at.begin() + 6), (Points{0.0, 0.0625, 0.125, 0.125, 0.1875, 0.25}));
    Counter f{cubic};
    EXPECT_EQ(bits(integrate_fn(f, 0.75, 0.75, nan)), bits(0.0));
    EXPECT_EQ(f.calls, 0);
}

// Bit-for-bit and call-for-call agreement with the plain loop pins the accept
// rule, the push order, the cap, the left-to-right sum and the swap of bounds.
TEST(IntegrateFn, MatchesPlainLoopBitForBit) {
    struct Case { const char* name; Integrand g; double a, b, tol; bool reaches_cap; };
    const Case cases[] = {
        {"gaussian", [](double x) { return std::exp(-x * x / 2); }, -8.0, 8.0, 1e-10, false},
        {"jump, swapped", [](double x) { return x < 1.0 / 3 ? 0.0 : 1.0; }, 1.0, 0.0, 1e-10, false},
        // The singular end keeps the leftmost record unresolved until 49 wait beneath it.
        {"inverse sqrt, 0 at 0", [](double x) { return x > 0 ? 1 / std::sqrt(x) : 0.0; }, 0.0, 1.0, 1e-10, true},
        // Nothing passes 1.5e-299: the rounding level and the cap end it.
        {"sqrt, tol 1e-300", [](double x) { return std::sqrt(x); }, 0.0, 1.0, 1e-300, true},
        {"zero, wide support", [](double) { return 0.0; }, -1e300, 1e300, 1e-10, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const PlainRun plain = plain_integrate(c.g, c.a, c.b, c.tol, 10'000'000);
        ASSERT_TRUE(plain.ended);
        EXPECT_EQ(plain.cap_accepts > 0, c.reaches_cap) << plain.cap_accepts;
        Counter f{c.g};
        const double result = integrate_fn(f, c.a, c.b, c.tol);
        EXPECT_EQ(bits(result), bits(plain.value)) << result << " vs " << plain.value;
        EXPECT_EQ(f.calls, plain.calls);
    }
}

// Each of these keeps the plain loop running or ends it non-finite, so NaN
// loses no finite result; the routine returns it within max_calls evaluations.
TEST(IntegrateFn, PathologicalInputsEndWithNaN) {
    struct Case { const char* name; Integrand g; double a, b, tol; long max_calls; };
    const Case cases[] = {
        // The sixteen first panels (48 calls) see these values.
        {"NaN everywhere", [](double) { return nan; }, 0.0, 1.0, 1e-10, 48},
        {"+inf at b", [](double x) { return x == 1.0 ? inf : std::exp(x); }, 0.0, 1.0, 1e-10, 48},
        {"NaN on [0.3, 0.4]", [](double x) { return x >= 0.3 && x <= 0.4 ? nan : std::exp(x); }, 0.0, 1.0, 1e-10, 48},
        // Finite values, but 4 * f(m) overflows in every estimate.
        {"estimates overflow", [](double) { return 1e308; }, 0.0, 1.0, 1e-10, 1200},
        {"NaN lower bound", cubic, nan, 1.0, 1e-10, 0},
        {"+inf lower bound, swapped", cubic, inf, 1.0, 1e-10, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Counter f{c.g};
        EXPECT_TRUE(std::isnan(integrate_fn(f, c.a, c.b, c.tol)));
        EXPECT_LE(f.calls, c.max_calls);
        const PlainRun plain = plain_integrate(c.g, c.a, c.b, c.tol, 200'000);
        EXPECT_TRUE(!plain.ended || !std::isfinite(plain.value)) << plain.value;
    }
    // A tolerance that is negative or NaN is refused before any call.
    for (const double tol : {-1e-10, nan}) {
        Counter f{cubic};
        EXPECT_TRUE(std::isnan(integrate_fn(f, 0.0, 1.0, tol)));
        EXPECT_EQ(f.calls, 0);
    }
}

// A zero tolerance stops where the error estimate reaches the rounding of the
// estimate; an integrand that never settles runs out of steps with NaN.
TEST(IntegrateFn, EveryIntegralEndsInBoundedSteps) {
    Counter smooth{[](double x) { return std::exp(-0.5 * x * x); }};
    EXPECT_NEAR(integrate_fn(smooth, -8.0, 8.0, 0.0), std::sqrt(2 * std::acos(-1.0)), 1e-12);
    EXPECT_LT(smooth.calls, 4'000'000);
    Counter noise{[](double) {
        static std::uint64_t state = 88172645463325252ull;  // xorshift: values that never settle
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<double>(state >> 11) * 0x1.0p-53;
    }};
    EXPECT_TRUE(std::isnan(integrate_fn(noise, -8.0, 8.0, 1e-10)));
    EXPECT_LE(noise.calls, 48 + 6l * (1l << 21));
}

// Beyond half the largest double, b - a and a + b overflow: the width is taken
// in halves and the midpoints as a / 2 + b / 2.
TEST(IntegrateFn, SupportsNearTheEndsOfTheDoubleRange) {
    EXPECT_DOUBLE_EQ(integrate_fn([](double) { return 1e-308; }, -1e308, 1e308, 1e-10), 2.0);
    EXPECT_NEAR(integrate_fn([](double x) { return x > 1.6e308 ? 1e-308 : 0.0; }, 1.5e308, 1.7e308, 1e-10), 0.1,
                1e-8);
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
}

}  // namespace
}  // namespace drovik
