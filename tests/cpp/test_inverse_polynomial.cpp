// Polynomial inversion, what only the core shows: quantiles that never decrease,
// the mass of the cut tails, the degree's effect on the number of intervals and
// the interrupt polling. Accuracy, draws, messages and bad input are tested
// through Python on a battery of densities.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>

#include "continuous/inverse_polynomial.hpp"
#include "interrupt.hpp"
#include "recording.hpp"

namespace drovik {
namespace {

std::expected<InversePolynomialTable, InversePolynomialError> build(const Recorder& density, double lo, double hi,
                                                                    double resolution = 1e-10, std::uint64_t order = 5,
                                                                    std::optional<double> center = std::nullopt) {
    return InversePolynomialTable::build(DensityRef(density), lo, hi, {resolution, order, center});
}

double normal(double x) { return std::exp(-0.5 * x * x); }
double normal_cdf(double x) { return 0.5 * std::erfc(-x / std::numbers::sqrt2); }

// ------------------------------------------------------------------ table

TEST(InversePolynomialTable, QuantilesNeverDecreaseAndStayInTheSupport) {
    const Recorder density{[](double x) { return std::exp(-std::abs(x)) * (1.0 + std::cos(3.0 * x)); }};
    const auto table = build(density, -20.0, 20.0);
    ASSERT_TRUE(table.has_value());
    double previous = -20.0;
    for (int k = 1; k < 400000; ++k) {
        const double x = table->eval(k / 400000.0);
        ASSERT_GE(x, previous) << "at u=" << k / 400000.0;
        previous = x;
    }
    EXPECT_LE(previous, 20.0);
}

TEST(InversePolynomialTable, CutsTailsOnlyBelowTheirShareOfTheResolution) {
    const Recorder density{normal};
    const auto table = build(density, -50.0, 50.0);
    ASSERT_TRUE(table.has_value());
    // What is cut weighs less than 1/20 of the resolution; what is kept starts
    // where more than that lies beyond.
    EXPECT_LT(normal_cdf(table->first()), 0.05e-10);
    EXPECT_GT(normal_cdf(table->first()), 1e-16);
    EXPECT_LT(normal_cdf(-table->last()), 0.05e-10);
    EXPECT_EQ(table->eval(1e-300), table->first());
    EXPECT_NEAR(table->norm(), std::sqrt(2.0 * std::numbers::pi), 1e-9);
}

TEST(InversePolynomialTable, HigherOrdersNeedFewerIntervals) {
    std::size_t previous = std::numeric_limits<std::size_t>::max();
    for (const std::uint64_t order : {3, 5, 9}) {
        const Recorder density{normal};
        const auto table = build(density, -8.0, 8.0, 1e-12, order);
        ASSERT_TRUE(table.has_value());
        EXPECT_LT(table->intervals(), previous);
        previous = table->intervals();
    }
}

TEST(InversePolynomialTable, AnInstalledInterruptUnwindsTheBuild) {
    struct Stop : std::runtime_error {
        Stop() : std::runtime_error("stop") {}
    };
    // Polled once per step: an oscillating density takes more steps than the polling interval.
    set_interrupt_check([] { throw Stop(); });
    const Recorder density{[](double x) { return 1.0 + 0.5 * std::pow(std::sin(1e7 * x), 2); }};
    EXPECT_THROW((void)build(density, 0.0, 1.0), Stop);
    set_interrupt_check(nullptr);
    EXPECT_EQ(build(density, 0.0, 1.0).error().kind(), InversePolynomialError::Kind::NotIntegrable);
}

}  // namespace
}  // namespace drovik
