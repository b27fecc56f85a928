// Finite-difference density derivative: the step and its floor, the choice of
// central, backward or forward difference at the closed support ends, the NaN
// cases, and the exact points (and their order) at which the density is read.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "continuous/dpdf.hpp"
#include "continuous/interfaces.hpp"

namespace drovik {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double floor_step = 1.4901161193847656e-8;  // 2^-26

using Fn = std::function<double(double)>;
using Points = std::vector<double>;

struct RecordingPdf {
    Fn g;
    Support s;
    mutable Points points{};
    double pdf(double x) const {
        points.push_back(x);
        return g(x);
    }
    Support support() const { return s; }
};

double cubic_density(double x) { return 3.0 * x * x; }
double identity(double x) { return x; }

struct Case {
    const char* name;
    Fn f;
    Support support;
    double rel_step;
    double x;
    Points points;    // expected evaluation points, in order
    double expected;  // NaN when the result must be NaN
    double tolerance;  // 0: bit-exact
};

class DpdfCases : public ::testing::TestWithParam<Case> {};

TEST_P(DpdfCases, EvaluatesExactlyTheseNeighboursAndGivesThisValue) {
    const Case& c = GetParam();
    const RecordingPdf pdf{c.f, c.support};
    const NumericalDpdf<RecordingPdf> dpdf(pdf, c.rel_step);
    const double value = dpdf.dpdf(c.x);
    ASSERT_EQ(pdf.points.size(), c.points.size());
    for (std::size_t k = 0; k < c.points.size(); ++k) EXPECT_EQ(pdf.points[k], c.points[k]) << "evaluation " << k;
    if (std::isnan(c.expected)) {
        EXPECT_TRUE(std::isnan(value)) << value;
    } else if (c.tolerance == 0.0) {
        EXPECT_EQ(value, c.expected);
    } else {
        EXPECT_NEAR(value, c.expected, c.tolerance);
    }
}

constexpr double e10 = 0x1p-10;
constexpr double e11 = 0x1p-11;

INSTANTIATE_TEST_SUITE_P(
    NumericalDpdf, DpdfCases,
    ::testing::Values(
        // h = 1e-4 on [0, 1]; central difference of 3x^2 is 6x up to rounding.
        Case{"central_3x2_at_half", cubic_density, {0.0, 1.0}, 1e-4, 0.5, {0.5 + 1e-4, 0.5 - 1e-4}, 3.0, 1e-9},
        // Left neighbour below 0: forward difference from x itself.
        Case{"forward_near_lo", cubic_density, {0.0, 1.0}, 1e-4, 1e-12, {1e-12 + 1e-4, 1e-12}, 3e-4, 1e-9},
        // Right neighbour above 1: backward difference; (3 - 3(1 - 1e-4)^2) / 1e-4.
        Case{"backward_near_hi", cubic_density, {0.0, 1.0}, 1e-4, 1.0 - 1e-12,
             {1.0 - 1e-12, 1.0 - 1e-12 - 1e-4}, 5.9997, 1e-8},
        // The support is closed: a neighbour exactly on an end still counts as inside.
        Case{"neighbour_on_lo_is_inside", identity, {0.0, 1.0}, e10, e10, {2 * e10, 0.0}, 1.0, 0.0},
        Case{"neighbour_on_hi_is_inside", identity, {0.0, 1.0}, e10, 1.0 - e10, {1.0, 1.0 - 2 * e10}, 1.0, 0.0},
        Case{"just_below_lo_goes_forward", identity, {0.0, 1.0}, e10, e11, {e11 + e10, e11}, 1.0, 0.0},
        // The step scales with the width of the support.
        Case{"step_is_rel_step_times_width", [](double x) { return x * x; }, {2.0, 6.0}, 0.25, 4.0, {5.0, 3.0}, 8.0,
             0.0},
        // Floor 2^-26 when the product is smaller, zero, negative or NaN.
        Case{"rel_step_zero_takes_floor", identity, {0.0, 1000.0}, 0.0, 500.0,
             {500.0 + floor_step, 500.0 - floor_step}, 1.0, 0.0},
        Case{"rel_step_negative_takes_floor", identity, {0.0, 1000.0}, -1.0, 500.0,
             {500.0 + floor_step, 500.0 - floor_step}, 1.0, 0.0},
        Case{"rel_step_nan_takes_floor", identity, {0.0, 1000.0}, nan, 500.0,
             {500.0 + floor_step, 500.0 - floor_step}, 1.0, 0.0},
        Case{"tiny_product_takes_floor", identity, {0.0, 1.0}, 1e-12, 0.5, {0.5 + floor_step, 0.5 - floor_step},
             1.0, 1e-7},
        // Support narrower than 2^-26: both neighbours outside, no evaluation.
        Case{"support_narrower_than_floor", cubic_density, {0.0, 1e-9}, 1e-4, 5e-10, {}, nan, 0.0},
        // An infinite step puts both neighbours outside.
        Case{"rel_step_infinite", identity, {0.0, 1.0}, inf, 0.5, {}, nan, 0.0},
        Case{"x_nan", identity, {0.0, 1.0}, 1e-4, nan, {}, nan, 0.0},
        // Non-finite density values spoil the estimate, after both evaluations.
        Case{"infinite_value_above", [](double x) { return x > 0.5 ? inf : 1.0; }, {0.0, 1.0}, 1e-4, 0.5,
             {0.5 + 1e-4, 0.5 - 1e-4}, nan, 0.0},
        Case{"nan_value_below", [](double x) { return x < 0.5 ? nan : 1.0; }, {0.0, 1.0}, 1e-4, 0.5,
             {0.5 + 1e-4, 0.5 - 1e-4}, nan, 0.0},
        Case{"infinite_value_at_x_backward", [](double x) { return x == 1.0 ? -inf : 1.0; }, {0.0, 1.0}, 1e-4, 1.0,
             {1.0, 1.0 - 1e-4}, nan, 0.0},
        Case{"nan_value_at_x_forward", [](double x) { return x == 0.0 ? nan : 1.0; }, {0.0, 1.0}, 1e-4, 0.0,
             {1e-4, 0.0}, nan, 0.0}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(NumericalDpdf, ReportsTheSupportOfItsDensity) {
    const RecordingPdf pdf{identity, {-3.0, 7.5}};
    const NumericalDpdf<RecordingPdf> dpdf(pdf, 1e-4);
    EXPECT_EQ(dpdf.support(), (Support{-3.0, 7.5}));
    EXPECT_TRUE(pdf.points.empty());
}

TEST(NumericalDpdf, CachesNothingBetweenCalls) {
    const RecordingPdf pdf{cubic_density, {0.0, 1.0}};
    const NumericalDpdf<RecordingPdf> dpdf(pdf, 1e-4);
    const double first = dpdf.dpdf(0.25);
    const double second = dpdf.dpdf(0.25);
    EXPECT_EQ(first, second);
    EXPECT_EQ(pdf.points, (Points{0.25 + 1e-4, 0.25 - 1e-4, 0.25 + 1e-4, 0.25 - 1e-4}));
}

}  // namespace
}  // namespace drovik
