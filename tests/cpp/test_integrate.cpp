// Adaptive Simpson quadrature: evaluation counts, and prompt NaN on inputs
// where the plain loop would not end. The evaluation points, the accept rule, the
// stack cap and the summation order are replayed bit for bit by the Python tests.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "continuous/integrate.hpp"
#include "recording.hpp"

namespace drovik {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

using Integrand = double (*)(double);

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

double cubic(double x) { return x * x * x; }

// err = 0 at the first step for a cubic, accepted by tol 0 and -0; equal
// bounds give +0 before any check, a NaN tolerance included.
TEST(IntegrateFn, CubicAfterOneStepAndEqualBoundsWithoutEvaluating) {
    for (const double tol : {0.0, -0.0}) {
        Counter f{cubic};
        EXPECT_EQ(integrate_fn(f, 0.0, 2.0, tol), 4.0);
        EXPECT_EQ(f.calls, 16 * 9);  // each first panel estimated, halved once and accepted
    }
    Counter f{cubic};
    EXPECT_EQ(bits(integrate_fn(f, 0.75, 0.75, nan)), bits(0.0));
    EXPECT_EQ(f.calls, 0);
}

// Each of these keeps the plain loop running or ends it non-finite, so NaN
// loses no finite result; the routine returns it within max_calls evaluations.
TEST(IntegrateFn, PathologicalInputsEndWithNaN) {
    struct Case { const char* name; Integrand g; double a, b, tol; long max_calls; };
    const Case cases[] = {
        // The sixteen first panels (48 calls) see these values.
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
    }
    // A tolerance that is negative or NaN is refused before any call.
    for (const double tol : {-1e-10, nan}) {
        Counter f{cubic};
        EXPECT_TRUE(std::isnan(integrate_fn(f, 0.0, 1.0, tol)));
        EXPECT_EQ(f.calls, 0);
    }
}

}  // namespace
}  // namespace drovik
