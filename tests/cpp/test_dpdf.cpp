// Finite-difference density derivative: the step and its floor, central,
// backward or forward difference at the closed support ends, the NaN cases, and
// the exact points (and their order) at which the density is read.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "continuous/dpdf.hpp"
#include "continuous/interfaces.hpp"
#include "recording.hpp"

namespace drovik {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double floor_step = 0x1p-26;
constexpr double e10 = 0x1p-10;

double cubic_density(double x) { return 3.0 * x * x; }
double identity(double x) { return x; }

TEST(NumericalDpdf, EvaluatesExactlyTheseNeighboursAndGivesThisValue) {
    // expected NaN: the result must be NaN; tolerance 0: bit-exact.
    struct Case {
        const char* name; Fn f; Support support; double rel_step, x; Points points; double expected, tolerance;
    };
    const Case cases[] = {
        // h = 1e-4 on [0, 1]: forward difference of 3x^2 at lo, backward at hi.
        {"forward_near_lo", cubic_density, {0.0, 1.0}, 1e-4, 1e-12, {1e-12 + 1e-4, 1e-12}, 3e-4, 1e-9},
        {"backward_near_hi", cubic_density, {0.0, 1.0}, 1e-4, 1.0 - 1e-12, {1.0 - 1e-12, 1.0 - 1e-12 - 1e-4}, 5.9997,
         1e-8},
        // The support is closed: a neighbour exactly on an end is inside.
        {"neighbour_on_lo", identity, {0.0, 1.0}, e10, e10, {2 * e10, 0.0}, 1.0, 0.0},
        {"neighbour_on_hi", identity, {0.0, 1.0}, e10, 1.0 - e10, {1.0, 1.0 - 2 * e10}, 1.0, 0.0},
        {"step_is_rel_step_times_width", [](double x) { return x * x; }, {2.0, 6.0}, 0.25, 4.0, {5.0, 3.0}, 8.0, 0.0},
        // The floor 2^-26 replaces a smaller or NaN product.
        {"nan_rel_step", identity, {0.0, 1000.0}, nan, 500.0, {500.0 + floor_step, 500.0 - floor_step}, 1.0, 0.0},
        {"tiny_product", identity, {0.0, 1.0}, 1e-12, 0.5, {0.5 + floor_step, 0.5 - floor_step}, 1.0, 1e-7},
        // Both neighbours outside (or x NaN): nothing is read.
        {"support_narrower_than_floor", cubic_density, {0.0, 1e-9}, 1e-4, 5e-10, {}, nan, 0.0},
        {"x_nan", identity, {0.0, 1.0}, 1e-4, nan, {}, nan, 0.0},
        // A non-finite density value spoils the estimate, after both readings.
        {"infinite_value_above", [](double x) { return x > 0.5 ? inf : 1.0; }, {0.0, 1.0}, 1e-4, 0.5,
         {0.5 + 1e-4, 0.5 - 1e-4}, nan, 0.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Recorder pdf{c.f, c.support};
        const double value = NumericalDpdf<Recorder>(pdf, c.rel_step).dpdf(c.x);
        EXPECT_EQ(pdf.at, c.points);
        if (std::isnan(c.expected)) {
            EXPECT_TRUE(std::isnan(value)) << value;
        } else if (c.tolerance == 0.0) {
            EXPECT_EQ(value, c.expected);
        } else {
            EXPECT_NEAR(value, c.expected, c.tolerance);
        }
    }
}

}  // namespace
}  // namespace drovik
