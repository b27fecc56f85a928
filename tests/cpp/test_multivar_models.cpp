// What only the core shows of the multivariate models: the reflection's
// overflow guards, how many uniforms each model takes (against a twin
// generator of the same seed), the state an exception leaves, and closed-form
// values. The Python tests pin seeded draws against the independent replica
// end to end.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <tuple>
#include <utility>
#include <vector>

#include "error.hpp"
#include "multivar/cdf_mc.hpp"
#include "multivar/copula.hpp"
#include "multivar/factor.hpp"
#include "multivar/gibbs.hpp"
#include "multivar/support.hpp"
#include "random/rng.hpp"

namespace drovik {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

using Point = std::vector<double>;
using Span = std::span<const double>;

const SampleError mcmc_failed = SampleError::of(SampleError::Kind::McmcFailed);
const SampleError integration_failed = SampleError::of(SampleError::Kind::IntegrationFailed);

HyperRect box(Point lo, Point hi) { return HyperRect::create(std::move(lo), std::move(hi)).value(); }
HyperRect unit_square() { return box({0.0, 0.0}, {1.0, 1.0}); }

// Both generators give the same next value: same stream, same position.
bool same_position(ChachaRng& a, ChachaRng& b) { return a.next_u64() == b.next_u64(); }

// ---------------------------------------------------------------- HyperRect

// Ordinary, far-out, infinite and NaN values and the parity: the Python chain
// replays. Here, boxes near the ends of the double range, where the far-out
// test or a reflection overflows: the fold ends, inside the box or NaN.
TEST(HyperRectModels, ReflectIntoEndsNearTheEndsOfTheDoubleRange) {
    EXPECT_TRUE(std::isnan(box({-1e308}, {-1e308 + 1e300}).reflect_into(0, 1.7e308)));  // the offset overflows
    for (const auto& [lo, hi, y] : {std::tuple{-1e308, -9e307, 1.7e308}, std::tuple{1e308, 1.5e308, -0.7e308}}) {
        const double folded = box({lo}, {hi}).reflect_into(0, y);
        EXPECT_TRUE(std::isnan(folded) || (lo <= folded && folded <= hi)) << folded;
    }
}

// ---------------------------------------------------------------- Gibbs and factorization

using CoordFn = std::function<double(ChachaRng&, std::size_t, Span)>;

class Coord final : public ConditionalSampler {
public:
    explicit Coord(CoordFn f) : f_(std::move(f)) {}
    double sample_coord(ChachaRng& rng, std::size_t i, Span state) const override { return f_(rng, i, state); }

private:
    CoordFn f_;
};

class Factors final : public ConditionalFactorization {
public:
    Factors(std::size_t d, CoordFn f) : d_(d), f_(std::move(f)) {}
    std::size_t dimension() const override { return d_; }
    double sample_i(ChachaRng& rng, std::size_t i, Span prefix) const override {
        ++calls;
        return f_(rng, i, prefix);
    }
    mutable int calls = 0;

private:
    std::size_t d_;
    CoordFn f_;
};

// The state an interrupted sweep leaves: the Python interrupt tests.
TEST(GibbsSamplerNd, PassesTheGeneratorOn) {
    auto draws = GibbsSamplerNd::create(
        std::make_shared<Coord>([](ChachaRng& rng, std::size_t, Span) { return uniform(rng); }),
        unit_square(), 1, {0.0, 0.0}).value();
    SeededRng rng(5), twin(5);
    const double u0 = uniform(twin), u1 = uniform(twin);
    EXPECT_EQ(draws.step(rng), (Point{u0, u1}));
    EXPECT_TRUE(same_position(rng, twin));  // nothing drawn besides the conditional's own
}

TEST(ConditionalFactorSampler, DimensionZeroDrawsNothingAndTheGeneratorReachesEveryCall) {
    const auto empty = std::make_shared<Factors>(0, [](ChachaRng&, std::size_t, Span) { return 1.0; });
    const ConditionalFactorSampler none(empty);
    SeededRng rng(3), twin(3);
    EXPECT_EQ(none.sample_with_rng(rng).error(), mcmc_failed);
    EXPECT_EQ(empty->calls, 0);
    EXPECT_TRUE(same_position(rng, twin));

    const ConditionalFactorSampler drawing(std::make_shared<Factors>(
        3, [](ChachaRng& r, std::size_t i, Span) { return i == 1 ? nan : uniform(r); }));
    const double u0 = uniform(twin), u2 = uniform(twin);
    const Point x = drawing.sample_with_rng(rng).value();
    EXPECT_TRUE(x.size() == 3 && x[0] == u0 && std::isnan(x[1]) && x[2] == u2);
    EXPECT_TRUE(same_position(rng, twin));
}

// ---------------------------------------------------------------- copula

// The written operation order, bit for bit: the Python copula replays. Here,
// NaN, the clamp (out of reach of the copula's standardized coordinates but for
// |z| > 7) and the distance to Phi.
TEST(GaussianCopula, NormalCdfPassesNanOnAndIsCloseToPhi) {
    EXPECT_TRUE(std::isnan(normal_cdf(nan)));
    EXPECT_EQ(normal_cdf(10.0), 0.999999999999);
    EXPECT_EQ(normal_cdf(-10.0), 1e-12);
    double worst = 0.0;
    for (int k = -100000; k <= 100000; ++k) {
        const double y = k * 1e-4;
        worst = std::max(worst, std::fabs(normal_cdf(y) - 0.5 * std::erfc(-y / std::sqrt(2.0))));
    }
    EXPECT_LE(worst, 1.5e-7);
    EXPECT_STREQ(copula_error_name(CopulaError::InvalidCorrelation), "InvalidCorrelation");
    EXPECT_STREQ(copula_error_name(CopulaError::DimensionMismatch), "DimensionMismatch");
}

// Records each u and the generator's next raw value at the moment of the call.
class ProbingPpf final : public QuantileFunction {
public:
    explicit ProbingPpf(const SeededRng* rng, std::optional<SampleError> fail = std::nullopt)
        : rng_(rng), fail_(fail) {}
    std::expected<double, SampleError> operator()(double u) const override {
        SeededRng probe = *rng_;
        calls.emplace_back(u, probe.next_u64());
        if (fail_) return std::unexpected(*fail_);
        return u;
    }
    mutable std::vector<std::pair<double, std::uint64_t>> calls;

private:
    const SeededRng* rng_;
    std::optional<SampleError> fail_;
};

// The levels themselves: the Python copula replays.
TEST(GaussianCopula, DrawsAllNormalsBeforeTheFirstQuantile) {
    const auto copula = GaussianCopula::create({{1.0, 0.5, 0.2}, {0.5, 1.0, 0.3}, {0.2, 0.3, 1.0}}).value();
    SeededRng rng(11), twin(11);
    const ProbingPpf ppfs[3] = {ProbingPpf(&rng), ProbingPpf(&rng), ProbingPpf(&rng)};
    const QuantileFunction* const table[3] = {&ppfs[0], &ppfs[1], &ppfs[2]};
    ASSERT_TRUE(copula.sample_with_ppfs(rng, table).has_value());
    for (int k = 0; k < 6; ++k) uniform(twin);
    SeededRng after_draws = twin;
    const std::uint64_t position = after_draws.next_u64();
    for (std::size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(ppfs[i].calls.size(), 1u);
        EXPECT_EQ(ppfs[i].calls[0].second, position) << "quantile " << i << " called before all 6 uniforms";
    }
    EXPECT_TRUE(same_position(rng, twin));  // exactly 2d uniforms
}

TEST(GaussianCopula, WrongCountFailsBeforeAnyDrawAndFirstFailureEnds) {
    const auto copula = GaussianCopula::create({{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}).value();
    SeededRng rng(2), twin(2);
    const ProbingPpf ok(&rng);
    for (const std::size_t count : {0u, 2u, 4u}) {
        const std::vector<const QuantileFunction*> table(count, &ok);
        EXPECT_EQ(copula.sample_with_ppfs(rng, table).error(), mcmc_failed) << count;
        EXPECT_TRUE(same_position(rng, twin)) << count;
    }
    EXPECT_TRUE(ok.calls.empty());

    // The quantile function's own error comes out unchanged.
    for (const SampleError& error : {SampleError::of(SampleError::Kind::InversionFailed),
                                     SampleError::quantile_out_of_range(0.25)}) {
        const ProbingPpf first(&rng), failing(&rng, error), never(&rng);
        const QuantileFunction* const table[3] = {&first, &failing, &never};
        EXPECT_EQ(copula.sample_with_ppfs(rng, table).error(), error);
        EXPECT_EQ(first.calls.size(), 1u);
        EXPECT_EQ(failing.calls.size(), 1u);
        EXPECT_TRUE(never.calls.empty());
        for (int k = 0; k < 6; ++k) uniform(twin);
        EXPECT_TRUE(same_position(rng, twin));
    }
}

// ---------------------------------------------------------------- CDF estimator

class Density final : public NdFunction {
public:
    using Fn = std::function<double(Span)>;
    explicit Density(Fn f) : f_(std::move(f)) {}
    double operator()(Span x) const override {
        points.emplace_back(x.begin(), x.end());
        return f_(x);
    }
    mutable std::vector<Point> points;

private:
    Fn f_;
};

double one(Span) { return 1.0; }

CdfMcEstimator estimator(std::shared_ptr<const NdFunction> f, HyperRect support, std::uint64_t n, std::uint64_t m) {
    return CdfMcEstimator::create(std::move(f), std::move(support), n, m).value();
}

// The coordinates of the points and the estimates: the Python replay. A point
// of the wrong length fails before anything is drawn or cached.
TEST(CdfMcEstimator, WrongLengthFailsBeforeAnyDraw) {
    const auto density = std::make_shared<Density>(one);
    auto fresh = estimator(density, unit_square(), 10, 10);
    SeededRng rng(4), twin(4);
    for (const Point& x : {Point{}, Point{0.5}, Point{0.5, 0.5, 0.5}}) {
        EXPECT_EQ(fresh.cdf_with_rng(x, rng).error(), integration_failed) << x.size();
    }
    EXPECT_TRUE(density->points.empty());
    EXPECT_FALSE(fresh.cached_normalization().has_value());
    EXPECT_TRUE(same_position(rng, twin));
}

// f = exp(-x0 - x1 / 2) on [0, 2] x [0, 3]: a product of two truncated exponentials.
TEST(CdfMcEstimator, MatchesProductOfTruncatedExponentials) {
    const auto f = [](Span x) { return std::exp(-x[0] - 0.5 * x[1]); };
    auto est = estimator(std::make_shared<Density>(f), box({0.0, 0.0}, {2.0, 3.0}), 50000, 50000);
    const double z_exact = (1.0 - std::exp(-2.0)) * (1.0 - std::exp(-1.5)) / 0.5;
    SeededRng rng(2024);
    EXPECT_NEAR(est.estimate_normalization_with_rng(rng).value() / z_exact, 1.0, 0.01);
    const auto exact = [](double a, double b) {
        a = std::min(a, 2.0);
        b = std::min(b, 3.0);
        return (1.0 - std::exp(-a)) / (1.0 - std::exp(-2.0)) * (1.0 - std::exp(-0.5 * b)) / (1.0 - std::exp(-1.5));
    };
    for (const Point& x : {Point{1.0, 1.5}, Point{0.5, 2.5}, Point{3.0, 1.0}, Point{0.2, 0.3}}) {
        EXPECT_NEAR(est.cdf_with_rng(x, rng).value(), exact(x[0], x[1]), 0.005) << x[0] << ", " << x[1];
    }
}

TEST(MultivarModels, NullHandlesAreBrokenInvariants) {
    EXPECT_THROW((void)GibbsSamplerNd::create(nullptr, unit_square(), 1, {0.0, 0.0}), Panic);
    EXPECT_THROW(ConditionalFactorSampler(nullptr), Panic);
    EXPECT_THROW((void)CdfMcEstimator::create(nullptr, unit_square(), 1, 1), Panic);
    const auto copula = GaussianCopula::create({{1.0}}).value();
    const QuantileFunction* const table[1] = {nullptr};
    SeededRng rng(1);
    EXPECT_THROW((void)copula.sample_with_ppfs(rng, table), Panic);
}

}  // namespace
}  // namespace drovik
