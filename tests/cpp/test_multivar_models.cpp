// Multivariate models driven by user functions: the box and its reflection, the
// Gibbs scan, the conditional factorization, the Gaussian copula (Cholesky,
// normal_cdf, draw order) and the Monte Carlo CDF estimator (values, draws,
// cache). Stream positions are checked against a twin generator of the same seed.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
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
using Matrix = std::vector<std::vector<double>>;
using Span = std::span<const double>;

const SampleError mcmc_failed = SampleError::of(SampleError::Kind::McmcFailed);
const SampleError integration_failed = SampleError::of(SampleError::Kind::IntegrationFailed);

HyperRect box(Point lo, Point hi) { return HyperRect::create(std::move(lo), std::move(hi)).value(); }
HyperRect unit_square() { return box({0.0, 0.0}, {1.0, 1.0}); }

// Both generators give the same next value: same stream, same position.
bool same_position(ChachaRng& a, ChachaRng& b) { return a.next_u64() == b.next_u64(); }

bool same_bits(const Point& a, const Point& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!(a[i] == b[i] || (std::isnan(a[i]) && std::isnan(b[i])))) return false;
    }
    return true;
}

// ---------------------------------------------------------------- HyperRect

TEST(HyperRectModels, ValidationOrderAndMessages) {
    struct Case { const char* name; Point lo, hi; const char* message; };
    const Case cases[] = {
        {"both_empty", {}, {}, "invalid support interval: hyper-rect cannot be empty"},
        {"hi_empty", {0.0}, {}, "invalid support interval: hyper-rect cannot be empty"},
        {"lo_empty_before_lengths", {}, {1.0, 2.0}, "invalid support interval: hyper-rect cannot be empty"},
        {"lengths", {0.0, 0.0}, {1.0}, "invalid support interval: hyper-rect lo/hi must have same dimension"},
        {"lengths_before_bounds", {nan, 0.0}, {1.0}, "invalid support interval: hyper-rect lo/hi must have same dimension"},
        {"nan_bound", {0.0, nan}, {1.0, 1.0}, "non-finite value in hyper-rect bounds"},
        {"infinite_hi", {0.0}, {inf}, "non-finite value in hyper-rect bounds"},
        {"lowest_index_decides_order", {1.0, inf}, {1.0, 2.0}, "invalid support interval: each lo must be < hi"},
        {"lowest_index_decides_finite", {0.0, 2.0}, {-inf, 1.0}, "non-finite value in hyper-rect bounds"},
        {"equal_bounds", {0.0}, {0.0}, "invalid support interval: each lo must be < hi"},
        {"reversed_second", {0.0, 3.0}, {1.0, 2.0}, "invalid support interval: each lo must be < hi"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto made = HyperRect::create(c.lo, c.hi);
        ASSERT_FALSE(made.has_value());
        EXPECT_EQ(made.error().display(), c.message);
    }
    const HyperRect ok = box({0.0, -1.0}, {1.0, 1.0});
    EXPECT_EQ(ok.dim(), 2u);
    EXPECT_EQ(ok.lo(), (Point{0.0, -1.0}));
    EXPECT_EQ(ok.hi(), (Point{1.0, 1.0}));
    EXPECT_EQ(ok.volume(), 2.0);
}

// The plain reflection loop, for values it handles in a few rounds.
double plain_reflection(double lo, double hi, double y) {
    while (!(lo <= y && y <= hi)) {
        if (y < lo) y = lo + (lo - y);
        else y = hi - (y - hi);
    }
    return y;
}

TEST(HyperRectModels, ReflectInto) {
    const HyperRect unit = box({0.0}, {1.0});
    EXPECT_EQ(unit.reflect_into(0, 1.3), 1.0 - (1.3 - 1.0));
    EXPECT_NEAR(unit.reflect_into(0, 1.3), 0.7, 1e-15);
    EXPECT_EQ(unit.reflect_into(0, -0.25), 0.25);
    EXPECT_NEAR(unit.reflect_into(0, 2.6), 0.6, 1e-15);  // 2.6 -> -0.6 -> 0.6
    EXPECT_EQ(unit.reflect_into(0, 1.0), 1.0);
    EXPECT_TRUE(std::isnan(unit.reflect_into(0, nan)));

    // Non-finite values give NaN at once; values far out lose whole periods at
    // once (1e300 is an even multiple of the period 2) instead of looping
    // about |y| / width times.
    EXPECT_TRUE(std::isnan(unit.reflect_into(0, inf)));
    EXPECT_TRUE(std::isnan(unit.reflect_into(0, -inf)));
    for (const double far : {1e300, -1e300}) EXPECT_EQ(unit.reflect_into(0, far), 0.0) << far;
    EXPECT_NEAR(unit.reflect_into(0, 2e9 + 0.3), 0.3, 1e-6);    // 1e9 periods out
    EXPECT_NEAR(unit.reflect_into(0, -2e9 - 0.3), 0.3, 1e-6);
    EXPECT_NEAR(unit.reflect_into(0, 2e9 + 1.3), 0.7, 1e-6);    // odd half-period: mirrored
    // A fold whose offset from lo overflows.
    EXPECT_TRUE(std::isnan(box({-1e308}, {-1e308 + 1e300}).reflect_into(0, 1.7e308)));
    // Boxes near the ends of the double range, where the far-out test or a
    // reflection overflows: the fold ends, inside the box or NaN.
    for (const auto& [lo, hi, y] : {std::tuple{-1e308, -9e307, 1.7e308}, std::tuple{1e308, 1.5e308, -0.7e308}}) {
        const double folded = box({lo}, {hi}).reflect_into(0, y);
        EXPECT_TRUE(std::isnan(folded) || (lo <= folded && folded <= hi)) << folded;
    }
    // The parity tells whether a velocity along the coordinate turns around.
    EXPECT_FALSE(unit.reflect(0, 0.5).odd);
    EXPECT_TRUE(unit.reflect(0, 1.3).odd);
    EXPECT_FALSE(unit.reflect(0, 2.6).odd);  // two reflections
    EXPECT_TRUE(unit.reflect(0, -0.25).odd);

    // Ordinary values, up to about a thousand periods out, are bit-identical to the loop.
    const HyperRect skew = box({-1.5, 0.0}, {2.25, 1e-3});
    for (int k = -4000; k <= 4000; ++k) {
        const double y0 = 1.37 * k + 0.01;
        ASSERT_EQ(skew.reflect_into(0, y0), plain_reflection(-1.5, 2.25, y0)) << y0;
        const double y1 = 1.3e-6 * k;
        ASSERT_EQ(skew.reflect_into(1, y1), plain_reflection(0.0, 1e-3, y1)) << y1;
    }
}

// ---------------------------------------------------------------- Gibbs

class RecordingCoord final : public ConditionalSampler {
public:
    using Fn = std::function<double(ChachaRng&, std::size_t, Span)>;
    explicit RecordingCoord(Fn f) : f_(std::move(f)) {}
    double sample_coord(ChachaRng& rng, std::size_t i, Span state) const override {
        calls.emplace_back(i, Point(state.begin(), state.end()));
        return f_(rng, i, state);
    }
    mutable std::vector<std::pair<std::size_t, Point>> calls;

private:
    Fn f_;
};

double sum_plus_one(ChachaRng&, std::size_t, Span state) {
    double s = 1.0;
    for (double v : state) s += v;
    return s;
}

TEST(GibbsSamplerNd, InPlaceScanForEachSweepCount) {
    struct Case { std::uint64_t sweeps; Point first, second; std::size_t calls_per_step; };
    const Case cases[] = {
        {0, {0.0, 0.0}, {0.0, 0.0}, 0},
        {1, {1.0, 2.0}, {4.0, 7.0}, 2},
        {2, {4.0, 7.0}, {33.0, 54.0}, 4},  // [4,7] -> [12,20] -> [33,54]
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sweeps);
        const auto cond = std::make_shared<RecordingCoord>(sum_plus_one);
        auto gibbs = GibbsSamplerNd::create(cond, unit_square(), c.sweeps, {0.0, 0.0}).value();
        EXPECT_EQ(gibbs.dim(), 2u);
        SeededRng rng(1);
        EXPECT_EQ(gibbs.step(rng), c.first);  // stored unfolded, far outside the box
        EXPECT_EQ(gibbs.sample(), c.second);
        EXPECT_EQ(gibbs.state(), c.second);
        EXPECT_EQ(cond->calls.size(), 2 * c.calls_per_step);
    }
    // Each call sees the coordinates before i from this sweep, those after from the last.
    const auto cond = std::make_shared<RecordingCoord>(sum_plus_one);
    auto gibbs = GibbsSamplerNd::create(cond, unit_square(), 2, {0.0, 0.0}).value();
    SeededRng rng(1);
    gibbs.step(rng);
    const std::vector<std::pair<std::size_t, Point>> expected = {
        {0, {0.0, 0.0}}, {1, {1.0, 0.0}}, {0, {1.0, 2.0}}, {1, {4.0, 2.0}}};
    EXPECT_EQ(cond->calls, expected);
}

TEST(GibbsSamplerNd, InitLengthMustMatchDimensionOnly) {
    struct Case { HyperRect support; Point init; bool ok; };
    const Case cases[] = {
        {unit_square(), {0.0}, false},
        {unit_square(), {0.0, 0.0, 0.0}, false},
        {box({0.0}, {1.0}), {}, false},
        {unit_square(), {nan, 5.0}, true},  // values are not checked against the box
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.init.size());
        const auto cond = std::make_shared<RecordingCoord>(sum_plus_one);
        const auto made = GibbsSamplerNd::create(cond, c.support, 1, c.init);
        EXPECT_EQ(made.has_value(), c.ok);
        if (made) EXPECT_TRUE(same_bits(made->state(), c.init));
        else EXPECT_EQ(made.error(), mcmc_failed);
        EXPECT_TRUE(cond->calls.empty());
    }
}

TEST(GibbsSamplerNd, UsesGivenGeneratorKeepsNanAndSurvivesAThrow) {
    // The generator reaches the conditional.
    auto draws = GibbsSamplerNd::create(
        std::make_shared<RecordingCoord>([](ChachaRng& rng, std::size_t, Span) { return uniform(rng); }),
        unit_square(), 1, {0.0, 0.0}).value();
    SeededRng rng(5), twin(5);
    const double u0 = uniform(twin), u1 = uniform(twin);
    EXPECT_EQ(draws.step(rng), (Point{u0, u1}));
    EXPECT_TRUE(same_position(rng, twin));

    // NaN is stored and passed on to the next call.
    const auto nan_cond = std::make_shared<RecordingCoord>(
        [](ChachaRng&, std::size_t i, Span s) { return i == 0 ? nan : s[0] + 1.0; });
    auto with_nan = GibbsSamplerNd::create(nan_cond, unit_square(), 1, {0.0, 0.0}).value();
    EXPECT_TRUE(same_bits(with_nan.step(rng), {nan, nan}));
    ASSERT_EQ(nan_cond->calls.size(), 2u);
    EXPECT_TRUE(same_bits(nan_cond->calls[1].second, {nan, 0.0}));

    // An exception half-way keeps the coordinates already replaced.
    int budget = 3;
    const auto throwing = std::make_shared<RecordingCoord>([&](ChachaRng& r, std::size_t i, Span s) {
        if (budget-- == 0) throw std::runtime_error("interrupted");
        return sum_plus_one(r, i, s);
    });
    auto cut = GibbsSamplerNd::create(throwing, unit_square(), 2, {0.0, 0.0}).value();
    EXPECT_THROW(cut.step(rng), std::runtime_error);
    EXPECT_EQ(cut.state(), (Point{4.0, 2.0}));
}

// ---------------------------------------------------------------- factorization

class RecordingFactors final : public ConditionalFactorization {
public:
    using Fn = std::function<double(ChachaRng&, std::size_t, Span)>;
    RecordingFactors(std::size_t d, Fn f) : d_(d), f_(std::move(f)) {}
    std::size_t dimension() const override { return d_; }
    double sample_i(ChachaRng& rng, std::size_t i, Span prefix) const override {
        prefixes.emplace_back(prefix.begin(), prefix.end());
        return f_(rng, i, prefix);
    }
    mutable std::vector<Point> prefixes;

private:
    std::size_t d_;
    Fn f_;
};

TEST(ConditionalFactorSampler, PrefixesGrowAndDimensionZeroFails) {
    const auto length = std::make_shared<RecordingFactors>(
        3, [](ChachaRng&, std::size_t, Span prefix) { return static_cast<double>(prefix.size()); });
    const ConditionalFactorSampler sampler(length);
    EXPECT_EQ(sampler.dim(), 3u);
    EXPECT_EQ(sampler.sample().value(), (Point{0.0, 1.0, 2.0}));
    EXPECT_EQ(sampler.sample().value(), (Point{0.0, 1.0, 2.0}));  // nothing remembered
    const std::vector<Point> prefixes = {{}, {0.0}, {0.0, 1.0}, {}, {0.0}, {0.0, 1.0}};
    EXPECT_EQ(length->prefixes, prefixes);

    const auto empty = std::make_shared<RecordingFactors>(0, [](ChachaRng&, std::size_t, Span) { return 1.0; });
    const ConditionalFactorSampler none(empty);
    SeededRng rng(3), twin(3);
    EXPECT_EQ(none.sample_with_rng(rng).error(), mcmc_failed);
    EXPECT_EQ(none.sample().error(), mcmc_failed);
    EXPECT_TRUE(empty->prefixes.empty());
    EXPECT_TRUE(same_position(rng, twin));

    // The given generator reaches every call; NaN is stored like any value.
    const ConditionalFactorSampler drawing(std::make_shared<RecordingFactors>(
        3, [](ChachaRng& r, std::size_t i, Span) { return i == 1 ? nan : uniform(r); }));
    const double u0 = uniform(twin), u2 = uniform(twin);
    EXPECT_TRUE(same_bits(drawing.sample_with_rng(rng).value(), {u0, nan, u2}));
    EXPECT_TRUE(same_position(rng, twin));
}

// ---------------------------------------------------------------- copula

TEST(GaussianCopula, CholeskyReadsTheLowerTriangleOnly) {
    const double r = std::sqrt(0.75);
    struct Case { const char* name; Matrix corr, chol; };
    const Case cases[] = {
        {"correlation", {{1.0, 0.5}, {0.5, 1.0}}, {{1.0, 0.0}, {0.5, r}}},
        {"upper_ignored", {{1.0, 99.0}, {0.5, 1.0}}, {{1.0, 0.0}, {0.5, r}}},
        {"upper_nan_ignored", {{1.0, nan}, {0.5, 1.0}}, {{1.0, 0.0}, {0.5, r}}},
        {"covariance", {{4.0}}, {{2.0}}},
        {"covariance_2d", {{4.0, 2.0}, {2.0, 5.0}}, {{2.0, 0.0}, {1.0, 2.0}}},
        {"identity_3d", {{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}},
         {{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto copula = GaussianCopula::create(c.corr);
        ASSERT_TRUE(copula.has_value());
        EXPECT_EQ(copula->dim(), c.corr.size());
        EXPECT_EQ(copula->cholesky(), c.chol);
    }
}

TEST(GaussianCopula, InvalidCorrelation) {
    const Matrix cases[] = {
        {},                                   // empty
        {{1.0}, {0.5}},                       // 2 x 1
        {{1.0, 0.0}, {0.5}},                  // ragged: checked before row 1 is read
        {{1.0, 2.0}, {2.0, 1.0}},             // not positive definite
        {{0.0}},                              // zero pivot
        {{-1.0}},
        {{nan}},
        {{inf}},
        {{1.0, 0.0}, {nan, 1.0}},             // non-finite below the diagonal reaches the pivot
        {{1.0, 0.0}, {inf, 1.0}},
        {{1e-300, 0.0}, {1.0, 1.0}},          // huge L[1][0], negative pivot
    };
    for (std::size_t k = 0; k < std::size(cases); ++k) {
        const auto copula = GaussianCopula::create(cases[k]);
        ASSERT_FALSE(copula.has_value()) << k;
        EXPECT_EQ(copula.error(), CopulaError::InvalidCorrelation) << k;
    }
    EXPECT_STREQ(copula_error_name(CopulaError::InvalidCorrelation), "InvalidCorrelation");
    EXPECT_STREQ(copula_error_name(CopulaError::DimensionMismatch), "DimensionMismatch");
}

TEST(GaussianCopula, NormalCdfApproximationAndClamps) {
    EXPECT_NEAR(normal_cdf(0.0), 0.499999985, 1e-9);
    EXPECT_NE(normal_cdf(0.0), 0.5);
    double worst = 0.0;
    for (int k = -100000; k <= 100000; ++k) {
        const double y = k * 1e-4;
        const double exact = 0.5 * std::erfc(-y / std::sqrt(2.0));
        worst = std::max(worst, std::fabs(normal_cdf(y) - exact));
    }
    EXPECT_LE(worst, 1.5e-7);
    EXPECT_NEAR(normal_cdf(1.0), 0.5 * std::erfc(-1.0 / std::sqrt(2.0)), 1e-7);
    for (const double y : {10.0, 40.0, inf}) EXPECT_EQ(normal_cdf(y), 0.999999999999) << y;
    for (const double y : {-10.0, -40.0, -inf}) EXPECT_EQ(normal_cdf(y), 1e-12) << y;
    EXPECT_TRUE(std::isnan(normal_cdf(nan)));
}

// Golden values of the written operation order, from an independent evaluation
// in Python floats; Horner's rule would already differ in the last bit at the
// first four points.
TEST(GaussianCopula, NormalCdfIsBitExact) {
    struct Case { double y, u; };
    const Case cases[] = {
        {0.0, 0x1.fffffefe4d4d0p-2}, {0.3, 0x1.3c5ee261ccd76p-1},  {-0.7, 0x1.ef8aa18f58328p-3},
        {1.0, 0x1.aec4bcd1ef3adp-1}, {-3.3, 0x1.fae83067d3400p-12}, {5.0, 0x1.fffff661ae88dp-1},
    };
    for (const auto& c : cases) EXPECT_EQ(normal_cdf(c.y), c.u) << c.y;
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

TEST(GaussianCopula, DrawsAllNormalsFirstThenMapsEachCoordinate) {
    const auto copula = GaussianCopula::create({{1.0, 0.5, 0.2}, {0.5, 1.0, 0.3}, {0.2, 0.3, 1.0}}).value();
    const auto& l = copula.cholesky();
    SeededRng rng(11), twin(11);
    const ProbingPpf ppfs[3] = {ProbingPpf(&rng), ProbingPpf(&rng), ProbingPpf(&rng)};
    const QuantileFunction* const table[3] = {&ppfs[0], &ppfs[1], &ppfs[2]};
    const Point x = copula.sample_with_ppfs(rng, table).value();

    Point z(3), expected(3);
    for (double& zi : z) zi = standard_normal(twin);
    SeededRng after_draws = twin;
    const std::uint64_t position = after_draws.next_u64();
    for (std::size_t i = 0; i < 3; ++i) {
        double y = 0.0;
        for (std::size_t j = 0; j <= i; ++j) y += l[i][j] * z[j];
        expected[i] = normal_cdf(y);
        ASSERT_EQ(ppfs[i].calls.size(), 1u);
        EXPECT_EQ(ppfs[i].calls[0].first, expected[i]);
        EXPECT_EQ(ppfs[i].calls[0].second, position) << "quantile " << i << " called before all 6 uniforms";
    }
    EXPECT_EQ(x, expected);
    EXPECT_TRUE(same_position(rng, twin));  // exactly 2d uniforms

    SeededRng again(11);
    EXPECT_EQ(copula.sample_with_ppfs(again, table).value(), x);
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

    const SampleError errors[] = {SampleError::of(SampleError::Kind::InversionFailed),
                                  SampleError::quantile_out_of_range(0.25)};
    for (const SampleError& error : errors) {
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

class RecordingDensity final : public NdFunction {
public:
    using Fn = std::function<double(Span)>;
    explicit RecordingDensity(Fn f, bool keep_points = false) : f_(std::move(f)), keep_points_(keep_points) {}
    double operator()(Span x) const override {
        ++calls;
        if (keep_points_) points.emplace_back(x.begin(), x.end());
        return f_(x);
    }
    mutable std::uint64_t calls = 0;
    mutable std::vector<Point> points;

private:
    Fn f_;
    bool keep_points_;
};

double one(Span) { return 1.0; }

CdfMcEstimator estimator(std::shared_ptr<const NdFunction> f, HyperRect support, std::uint64_t n, std::uint64_t m) {
    return CdfMcEstimator::create(std::move(f), std::move(support), n, m).value();
}

TEST(CdfMcEstimator, UniformSquareIsExact) {
    auto est = estimator(std::make_shared<RecordingDensity>(one), unit_square(), 1000, 1000);
    EXPECT_FALSE(est.cached_normalization().has_value());
    EXPECT_EQ(est.estimate_normalization().value(), 1.0);
    EXPECT_EQ(est.cached_normalization(), 1.0);
    struct Case { Point x; double f; };
    const Case cases[] = {
        {{0.5, 0.5}, 0.25}, {{2.0, 2.0}, 1.0}, {{1.0, 1.0}, 1.0}, {{nan, 0.5}, 0.5},
        {{0.5, inf}, 0.5},  {{0.25, 0.5}, 0.125},
    };
    for (const auto& c : cases) EXPECT_EQ(est.cdf(c.x).value(), c.f) << c.x[0] << ", " << c.x[1];
    EXPECT_EQ(est.support().dim(), 2u);
}

TEST(CdfMcEstimator, PointsAndDrawsOfACdfEstimate) {
    // With Z cached (1.0), every cdf point is checked against the twin's uniforms.
    struct Case { Point x; double f; };
    const Case cases[] = {
        {{-1.0, 0.5}, 0.0}, {{0.0, 0.5}, 0.0}, {{0.5, -inf}, 0.0}, {{-1.0, -1.0}, 0.0},
        {{0.5, nan}, 0.5},  {{0.25, 2.0}, 0.25},
    };
    constexpr std::uint64_t m = 50;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.x[0] << ", " << c.x[1]);
        const auto density = std::make_shared<RecordingDensity>(one, true);
        auto est = estimator(density, unit_square(), 10, m);
        SeededRng setup(1);
        ASSERT_EQ(est.estimate_normalization_with_rng(setup).value(), 1.0);
        density->points.clear();
        SeededRng rng(9), twin(9);
        EXPECT_EQ(est.cdf_with_rng(c.x, rng).value(), c.f);
        ASSERT_EQ(density->points.size(), m);  // M evaluations even for an empty lower box
        for (const Point& p : density->points) {
            for (std::size_t i = 0; i < 2; ++i) {
                const double b = std::isnan(c.x[i]) ? 1.0 : std::min(1.0, c.x[i]);
                const double expected = b <= 0.0 ? 0.0 : 0.0 + (b - 0.0) * uniform(twin);
                ASSERT_EQ(p[i], expected);
            }
        }
        EXPECT_TRUE(same_position(rng, twin));
    }
}

TEST(CdfMcEstimator, WrongLengthFailsBeforeAnything) {
    const auto density = std::make_shared<RecordingDensity>(one);
    auto est = estimator(density, unit_square(), 10, 10);
    SeededRng rng(4), twin(4);
    for (const Point& x : {Point{}, Point{0.5}, Point{0.5, 0.5, 0.5}}) {
        EXPECT_EQ(est.cdf_with_rng(x, rng).error(), integration_failed) << x.size();
    }
    EXPECT_EQ(density->calls, 0u);
    EXPECT_FALSE(est.cached_normalization().has_value());
    EXPECT_TRUE(same_position(rng, twin));
}

TEST(CdfMcEstimator, ValuesThatDoNotCountAndEmptyNormalization) {
    // Every second value is `other`: it adds nothing but its point counts, Z = 2/4.
    for (const double other : {nan, -1.0, inf, -inf, 0.0, -0.0}) {
        std::uint64_t k = 0;
        auto est = estimator(std::make_shared<RecordingDensity>([&](Span) { return k++ % 2 == 0 ? 1.0 : other; }),
                             unit_square(), 4, 1);
        EXPECT_EQ(est.estimate_normalization().value(), 0.5) << other;
    }
    // No value counts: IntegrationFailed, the cache stays empty, later calls try again.
    for (const double value : {0.0, -0.0, -1.0, nan, inf, -inf}) {
        SCOPED_TRACE(value);
        const auto density = std::make_shared<RecordingDensity>([=](Span) { return value; });
        auto est = estimator(density, unit_square(), 7, 5);
        EXPECT_EQ(est.estimate_normalization().error(), integration_failed);
        EXPECT_EQ(est.cdf(Point{0.5, 0.5}).error(), integration_failed);
        SeededRng rng(8);
        EXPECT_EQ(est.cdf_with_rng(Point{0.5, 0.5}, rng).error(), integration_failed);
        EXPECT_EQ(density->calls, 21u);
        EXPECT_FALSE(est.cached_normalization().has_value());
    }
}

TEST(CdfMcEstimator, ZeroSamplesActAsOneAndResultIsClamped) {
    const auto density = std::make_shared<RecordingDensity>(one);
    auto est = estimator(density, box({0.0, 0.0}, {2.0, 1.0}), 0, 0);
    EXPECT_EQ(est.cdf(Point{1.0, 1.0}).value(), 0.5);  // Z = 2, then (1 * 1) / 2
    EXPECT_EQ(density->calls, 2u);
    EXPECT_EQ(est.cached_normalization(), 2.0);

    // Z from a value of 1, then the density grows to 5: F = 5 V, clamped at 1.
    double value = 1.0;
    auto noisy = estimator(std::make_shared<RecordingDensity>([&](Span) { return value; }), unit_square(), 3, 3);
    ASSERT_EQ(noisy.estimate_normalization().value(), 1.0);
    value = 5.0;
    EXPECT_EQ(noisy.cdf(Point{0.5, 0.125}).value(), 0.3125);
    EXPECT_EQ(noisy.cdf(Point{0.5, 0.5}).value(), 1.0);
}

TEST(CdfMcEstimator, CacheIsFilledAndReplacedOnlyBySuccess) {
    double scale = 1.0;
    const auto sum = [&](Span x) { return scale * (x[0] + x[1]); };
    const Point x{0.4, 0.7};
    const auto make = [&] { return estimator(std::make_shared<RecordingDensity>(sum), unit_square(), 200, 200); };

    // A first cdf estimates Z and then F from one generator.
    auto a = make();
    SeededRng a_rng(3);
    const double first = a.cdf_with_rng(x, a_rng).value();
    auto b = make();
    SeededRng b_rng(3);
    const double z = b.estimate_normalization_with_rng(b_rng).value();
    EXPECT_EQ(b.cdf_with_rng(x, b_rng).value(), first);
    EXPECT_EQ(a.cached_normalization(), z);

    // A second cdf with the same seed uses the cached Z: its draws start over.
    SeededRng a_rng2(3);
    const double second = a.cdf_with_rng(x, a_rng2).value();
    EXPECT_NE(second, first);
    EXPECT_EQ(a.cached_normalization(), z);
    auto c = make();
    SeededRng c_setup(3), c_rng(3);
    ASSERT_EQ(c.estimate_normalization_with_rng(c_setup).value(), z);
    EXPECT_EQ(c.cdf_with_rng(x, c_rng).value(), second);

    // Every successful estimate replaces the cache; a failed one leaves it.
    SeededRng other(4);
    const double z4 = a.estimate_normalization_with_rng(other).value();
    EXPECT_NE(z4, z);
    EXPECT_EQ(a.cached_normalization(), z4);
    scale = 0.0;
    EXPECT_EQ(a.estimate_normalization().error(), integration_failed);
    EXPECT_EQ(a.cached_normalization(), z4);
    EXPECT_EQ(a.cdf(x).value(), 0.0);  // still the cached Z4, and a zero sum
}

TEST(CdfMcEstimator, InterruptedEstimateLeavesTheCache) {
    std::uint64_t budget = 0;
    const auto density = std::make_shared<RecordingDensity>([&](Span) {
        if (budget == 0) throw std::runtime_error("interrupted");
        --budget;
        return 1.0;
    });
    auto est = estimator(density, unit_square(), 10, 10);
    budget = 5;
    EXPECT_THROW(est.estimate_normalization(), std::runtime_error);
    EXPECT_FALSE(est.cached_normalization().has_value());
    budget = 15;  // the normalization of cdf completes, the cdf part is cut short
    EXPECT_THROW(est.cdf(Point{0.5, 0.5}), std::runtime_error);
    EXPECT_EQ(est.cached_normalization(), 1.0);
    budget = 5;
    EXPECT_THROW(est.estimate_normalization(), std::runtime_error);
    EXPECT_EQ(est.cached_normalization(), 1.0);
}

// f = exp(-x0 - x1 / 2) on [0, 2] x [0, 3]: a product of two truncated exponentials.
TEST(CdfMcEstimator, MatchesProductOfTruncatedExponentials) {
    const auto f = [](Span x) { return std::exp(-x[0] - 0.5 * x[1]); };
    auto est = estimator(std::make_shared<RecordingDensity>(f), box({0.0, 0.0}, {2.0, 3.0}), 50000, 50000);
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
