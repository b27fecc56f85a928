// Transformed density rejection: order and text of the build checks, the
// construction points, the build failures, the tie rules of
// the segment lookup and of the knots, the acceptance test, the draws that fail
// on a density above the hat, the trial budget and the uniforms each trial
// takes. Seeded Log-hat draws are compared bit for bit with the plain
// transcription of the build and the draw loop in tests/reference; mended hats
// are replayed end to end by the Python tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "continuous/tdr.hpp"
#include "error.hpp"
#include "random/rng.hpp"
#include "../reference/plain_log_hat.hpp"
#include "recording.hpp"

namespace drovik {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr TdrTransform Log = TdrTransform::Log;
constexpr TdrTransform Box = TdrTransform::InvSqrt;

// Hands out a fixed list of uniforms; running out is a test failure.
struct Scripted { Points values; std::size_t next = 0; };

double uniform(Scripted& rng) {
    if (rng.next >= rng.values.size()) throw std::out_of_range("scripted uniforms exhausted");
    return rng.values[rng.next++];
}

// True when `rng` has handed out exactly `count` uniforms of the stream of `seed`.
bool consumed_exactly(ChachaRng& rng, std::uint64_t seed, std::uint64_t count) {
    SeededRng twin(seed);
    for (std::uint64_t i = 0; i < count; ++i) (void)drovik::uniform(twin);
    return drovik::uniform(twin) == drovik::uniform(rng);
}

std::optional<double> opt(const std::expected<double, SampleError>& x) {
    return x ? std::optional<double>(*x) : std::nullopt;
}

const double inv_sqrt_2pi = 1.0 / std::sqrt(2.0 * std::numbers::pi);
double phi(double x) { return std::exp(-0.5 * x * x) * inv_sqrt_2pi; }
double dphi(double x) { return -x * phi(x); }
constexpr Support normal_support{-8.0, 8.0};
// A normal density peaked on grid point 16 of the box's 32, so that the box is a true hat.
double peaked(double x) { return phi(x - 0.25); }

// Normal density that is zero, NaN and negative on three short stretches, so
// that trials also take the paths that skip the last uniform.
double patchy(double x) {
    if (x > 0.3 && x < 0.5) return 0.0;
    if (x > -0.9 && x < -0.7) return nan;
    if (x > 1.0 && x < 1.2) return -1.0;
    return phi(x);
}

std::expected<TdrHat, BuildError> build(const Fn& f, const Fn& d, Support s, TdrTransform t,
                                        std::uint64_t points = 30, std::uint64_t trials = 100000) {
    return build_tdr_hat(Recorder{f, s}, Recorder{d, s}, TdrSettings{s, points, trials, t});
}

std::expected<TdrLogHat, BuildError> log_hat(const Fn& f, const Fn& d, Support s, std::uint64_t points = 30,
                                             std::uint64_t trials = 100000) {
    return TdrLogHat::try_build(Recorder{f, s}, Recorder{d, s}, TdrSettings{s, points, trials, Log});
}

std::expected<TdrBoxHat, BuildError> box_hat(const Fn& f, Support s, std::uint64_t points = 30,
                                             std::uint64_t trials = 100000) {
    return TdrBoxHat::try_build(Recorder{f, s}, Recorder{dphi, s}, TdrSettings{s, points, trials, Box});
}

// One draw from a hat of either kind: the transform picks the kind.
template <class Pdf, class Rng>
std::expected<double, SampleError> draw(const TdrHat& hat, const Pdf& pdf, Rng& rng) {
    return std::visit([&](const auto& kind) { return kind.sample_with_rng(pdf, rng); }, hat);
}

// ------------------------------------------------------------------ build

// Finiteness, then order, then agreement of the supports; nothing is evaluated.
TEST(TdrBuild, SupportChecksInOrderBeforeAnyEvaluation) {
    const Support good{0.0, 1.0};
    const std::string non_finite = "non-finite value in support bounds";
    const std::string reversed = "invalid support interval: lo must be strictly less than hi";
    const std::string mismatch = "invalid support interval: pdf/dpdf support must match opts.support";
    struct Case { Support settings, pdf, dpdf; std::string message; };
    const Case cases[] = {
        {{0.0, inf}, {0.0, inf}, {0.0, inf}, non_finite},  {{nan, -1.0}, good, good, non_finite},
        {{1.0, 1.0}, {1.0, 1.0}, {1.0, 1.0}, reversed},    {{1.0, 0.0}, good, good, reversed},
        {good, {0.0, std::nextafter(1.0, 2.0)}, good, mismatch}, {good, good, {0.0, 0.5}, mismatch},
    };
    for (const auto& c : cases) {
        for (const TdrTransform t : {Log, Box}) {
            SCOPED_TRACE(c.message);
            const Recorder pdf{[](double) { return 1.0; }, c.pdf}, dpdf{[](double) { return 0.0; }, c.dpdf};
            const auto hat = build_tdr_hat(pdf, dpdf, TdrSettings{c.settings, 30, 100000, t});
            ASSERT_FALSE(hat.has_value());
            EXPECT_EQ(hat.error().display(), c.message);
            EXPECT_TRUE(pdf.at.empty() && dpdf.at.empty());
        }
    }
    const Recorder zero_lo{[](double) { return 1.0; }, {-0.0, 1.0}};
    EXPECT_TRUE(TdrBoxHat::try_build(zero_lo, Recorder{phi, good}, TdrSettings{good, 30, 100000, Box}).has_value());
}

// The Log hat reads max(n, 4) midpoints and two points just inside the
// bounds, sorted, each dropped when it rounds onto a bound or lies within 1e-12
// of the last one kept. The box reads max(n, 32) midpoints, then 20 points in
// each of the two cells beside the largest value, never the derivative.
TEST(TdrBuild, ConstructionPoints) {
    struct Case { Support s; std::uint64_t n; Points read; };
    const Case cases[] = {
        {{0.0, 1.0}, 3, {1e-12, 0.125, 0.375, 0.625, 0.875, 1 - 1e-12}},
        {{0.0, 1.0}, 5, {1e-12, 0.1, 0.3, 0.5, 0.7, 0.9, 1 - 1e-12}},
        {{1e6, 1e6 + 1.0}, 4, {1e6 + 0.125, 1e6 + 0.375, 1e6 + 0.625, 1e6 + 0.875}},
        // 1.875e-12 goes (0.75e-12 after 1.125e-12); 2.625e-12 stays, 0.75e-12 after the dropped one.
        {{0.0, 3e-12}, 4, {3e-24, 1.125e-12, 2.625e-12}},
    };
    for (const auto& c : cases) {
        const Recorder pdf{[](double) { return 1.0; }, c.s}, dpdf{[](double x) { return -x; }, c.s};
        (void)TdrLogHat::try_build(pdf, dpdf, TdrSettings{c.s, c.n, 100000, Log});
        ASSERT_EQ(pdf.at.size(), c.read.size());
        for (std::size_t i = 0; i < c.read.size(); ++i) EXPECT_DOUBLE_EQ(pdf.at[i], c.read[i]);
        EXPECT_EQ(dpdf.at, pdf.at);
    }
    for (const std::uint64_t n : {31u, 33u}) {
        const std::uint64_t m = std::max<std::uint64_t>(n, 32);
        // Largest on grid point 7 (a plateau from there on): the search looks between points 6 and 8.
        const Support s{0.0, 1.0};
        const double top = (7 + 0.5) / double(m);
        const Recorder pdf{[top](double x) { return std::min(x, top); }, s}, dpdf{dphi, s};
        ASSERT_TRUE(TdrBoxHat::try_build(pdf, dpdf, TdrSettings{s, n, 100000, Box}).has_value());
        ASSERT_EQ(pdf.at.size(), m + 40);
        for (std::uint64_t j = 0; j < m; ++j) EXPECT_EQ(pdf.at[j], (double(j) + 0.5) / double(m));
        EXPECT_TRUE(std::all_of(pdf.at.begin() + m, pdf.at.end(),
                                [m](double x) { return x > 6.5 / double(m) && x < 8.5 / double(m); }));
        EXPECT_TRUE(dpdf.at.empty());
    }
}

// A density value not finite and positive skips the derivative; a derivative
// not finite drops the point. Four usable points are enough.
TEST(TdrBuild, UnusableValuesDropTheirPoint) {
    const Support s{0.0, 1.0};
    const Fn f = [](double x) {
        if (x == 0.0625) return 0.0;
        if (x == 0.1875) return nan;
        if (x == 0.3125) return -1.0;
        if (x == 0.4375) return inf;
        return std::exp(-x * x);
    };
    const Fn d = [](double x) { return x == 0.5625 ? nan : x == 0.6875 ? inf : -2 * x * std::exp(-x * x); };
    const Recorder pdf{f, s}, dpdf{d, s};
    const auto hat = TdrLogHat::try_build(pdf, dpdf, TdrSettings{s, 8, 100000, Log});
    ASSERT_TRUE(hat.has_value());
    EXPECT_EQ(pdf.at.size(), 10u);
    EXPECT_EQ(dpdf.at, (Points{1e-12, 0.5625, 0.6875, 0.8125, 0.9375, 1.0 - 1e-12}));
    EXPECT_EQ(hat->points(), (Points{1e-12, 0.8125, 0.9375, 1.0 - 1e-12}));
}

TEST(TdrBuild, FailuresAgreeWithThePlainBuild) {
    const Support unit{0.0, 1.0};
    const Fn gauss = [](double x) { return std::exp(-x * x); };
    const Fn dgauss = [](double x) { return -2 * x * std::exp(-x * x); };
    const Fn two_modes = [](double x) { return phi(x - 2) + phi(x + 2); };
    const Fn dtwo_modes = [](double x) { return dphi(x - 2) + dphi(x + 2); };
    struct Case { const char* name; Support s; Fn f, d; TdrTransform t; std::uint64_t points; };
    const Case cases[] = {
        {"three usable points", unit,
         [gauss](double x) { return x == 0.125 || x == 0.375 || x == 0.625 ? gauss(x) : 0.0; }, dgauss, Log, 4},
        // The slope (derivative over a tiny density) overflows.
        {"infinite slope", unit, [gauss](double x) { return x > 0.5 ? 1e-310 : gauss(x); }, dgauss, Log, 4},
        // A derivative of the wrong sign on one side: slopes that increase.
        {"slopes that increase", unit, gauss, [dgauss](double x) { return x < 0.5 ? -dgauss(x) : dgauss(x); }, Log, 4},
        // In the valley between the modes the slopes increase again.
        {"two modes", normal_support, two_modes, dtwo_modes, Log, 30},
        // Flat on two levels: parallel tangents that are not one line.
        {"steps", unit, [](double x) { return x < 0.5 ? 1.0 : 0.5; }, [](double) { return 0.0; }, Log, 4},
        {"box: no positive finite value", unit,
         [](double x) { return x < 0.5 ? 0.0 : x < 0.75 ? nan : x < 0.9 ? -2.0 : inf; }, dgauss, Box, 4},
        // The peak at 0 lies between grid points -0.25 and 0.25.
        {"box: peak between grid points", normal_support, phi, dphi, Box, 30},
        // Largest at lo: the half cell below the first grid point holds more.
        {"box: peak at a bound", unit, gauss, dgauss, Box, 30},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto hat = build(c.f, c.d, c.s, c.t, c.points);
        ASSERT_FALSE(hat.has_value());
        EXPECT_EQ(hat.error().display(), "tdr failed to build hat function (try InvSqrt transform or explicit dpdf)");
        if (c.t == Log) {
            EXPECT_FALSE(ref_build(c.f, c.d, c.s, c.points).has_value());
        }
    }
}

// ------------------------------------------------------------------ candidates

// The guide table gives the segment of the tie rule for every kind of u1:
// cum_areas entries and their neighbours, dyadic fractions (bucket edges) and
// ordinary values; on a small table, on runs of equal entries (tails too light
// to move the running sum) and on many crowded buckets (1000 points).
TEST(TdrSampleFromHat, SegmentLookupFollowsTheTieRule) {
    struct Case { Support s; std::uint64_t points; };
    for (const Case c : {Case{normal_support, 4}, Case{{-20.0, 20.0}, 30}, Case{normal_support, 1000}}) {
        SCOPED_TRACE(c.points);
        const auto hat = log_hat(phi, dphi, c.s, c.points);
        const auto ref = ref_build(phi, dphi, c.s, c.points);
        ASSERT_TRUE(hat && ref);
        Points us{0.0, std::nextafter(1.0, 0.0)};
        for (const double e : ref->cum) {
            for (const double u : {e, std::nextafter(e, 0.0), std::nextafter(e, 1.0)})
                if (u < 1.0) us.push_back(u);
        }
        for (int n = 2; n <= 4096; n *= 2) {
            for (int j = 1; j < n; ++j) us.insert(us.end(), {double(j) / n, std::nextafter(double(j) / n, 0.0)});
        }
        SeededRng rng(3);
        for (int i = 0; i < 20000; ++i) us.push_back(drovik::uniform(rng));
        std::size_t runs = 0;
        for (std::size_t i = 0; i + 1 < ref->cum.size(); ++i)
            runs += ref->cum[i] == ref->cum[i + 1] && ref->cum[i] < 1.0;
        EXPECT_TRUE(c.s.hi != 20.0 || runs > 0);
        for (const double u : us) {
            Scripted scripted{{u, 0.5}};
            const double want = std::clamp(ref->invert(ref->segment(u), 0.5), c.s.lo, c.s.hi);
            ASSERT_EQ(opt(hat->sample_from_hat(scripted)), want) << "u1 = " << u;
        }
    }
}

// log f(x) = x - x^2 / 40000 on [-760, 0]: exp(lo * s0) underflows to 0 while
// the first segment keeps a positive area, so u2 = 0 there gives -inf. The
// draw fails at once, after two uniforms and without evaluating the density.
TEST(TdrSampleFromHat, NonFiniteCandidateFailsAtOnce) {
    const Support s{-760.0, 0.0};
    const Fn f = [](double x) { return std::exp(x - x * x / 40000.0); };
    const auto hat = log_hat(f, [f](double x) { return (1.0 - x / 20000.0) * f(x); }, s, 4, 1000);
    ASSERT_TRUE(hat.has_value());
    ASSERT_EQ(std::exp(-760.0 * hat->slopes()[0]), 0.0);
    ASSERT_GT(hat->cum_areas()[0], 0.0);
    Scripted direct{{0.0, 0.0}}, in_loop{{0.0, 0.0}};
    const auto x = hat->sample_from_hat(direct);
    ASSERT_FALSE(x.has_value());
    EXPECT_EQ(x.error().display(), "tdr failed to draw a sample");
    const Recorder pdf{f, s};
    const auto drawn = hat->sample_with_rng(pdf, in_loop);
    ASSERT_FALSE(drawn.has_value());
    EXPECT_EQ(drawn.error(), SampleError::of(SampleError::Kind::TdrDrawFailed));
    EXPECT_EQ(in_loop.next, 2u);
    EXPECT_TRUE(pdf.at.empty());
}

// ------------------------------------------------------------------ acceptance

// On [-3, -2.7] with log f = -x - x^2 / 10, u1 = u2 = 0 rounds the candidate
// below -3: it is clamped onto the bound before the density is read. Trial 1
// (u3 = 2^-53) rejects a density far below the hat; trial 2 draws the same
// candidate with u3 = 0, whose logarithm -inf accepts anything.
TEST(TdrSampleWithRng, ClampedCandidateAndZeroUniformAccepts) {
    const Support s{-3.0, -2.7};
    const Fn f = [](double x) { return std::exp(-x - 0.1 * x * x); };
    const Fn d = [f](double x) { return (-1.0 - 0.2 * x) * f(x); };
    const auto hat = log_hat(f, d, s, 4);
    const auto ref = ref_build(f, d, s, 4);
    ASSERT_TRUE(hat && ref);
    ASSERT_LT(ref->invert(0, 0.0), -3.0);
    const Recorder tiny{[](double) { return 1e-300; }, s};
    Scripted rng{{0.0, 0.0, 0x1p-53, 0.0, 0.0, 0.0}};
    EXPECT_EQ(opt(hat->sample_with_rng(tiny, rng)), -3.0);
    EXPECT_EQ(rng.next, 6u);
    EXPECT_EQ(tiny.at, (Points{-3.0, -3.0}));
}

// A density value v within 200 ulps of `centre` for which `wanted(v)` holds.
template <class Wanted>
std::optional<double> value_near(double centre, Wanted wanted) {
    double down = centre, up = centre;
    for (int step = 0; step < 200; ++step, down = std::nextafter(down, 0.0), up = std::nextafter(up, inf)) {
        if (wanted(down)) return down;
        if (wanted(up)) return up;
    }
    return std::nullopt;
}

// log(u3) <= log(v) - h is inclusive, and h is the tangent of the segment
// holding x, the right one on a knot, also when x was drawn from the segment on
// the other side (u1 on a cum_areas entry with u2 = 0, or on the entry before
// with u2 just below 1). Every v sits within ulps of the boundary, where the
// shortcut that skips the logarithms must defer to the exact test.
TEST(TdrSampleWithRng, AcceptanceIsInclusiveAndJudgedByTheHoldingTangent) {
    const auto hat = log_hat(phi, dphi, normal_support, 30, 1);
    const auto ref = ref_build(phi, dphi, normal_support, 30);
    ASSERT_TRUE(hat && ref);
    // log(v) - h == log(u3) needs log(u3) in the binade of log(v): not every candidate has such a v.
    const double u3_equal = 3.0 / 32.0;
    int equal = 0;
    for (double u2 = 0.05; u2 < 1.0; u2 += 0.1) {
        Scripted probe{{0.5, u2}};
        const double at = *hat->sample_from_hat(probe), h = ref->log_hat(at);
        const auto v = value_near(std::exp(std::log(u3_equal) + h),
                                  [&](double v) { return std::log(v) - h == std::log(u3_equal); });
        if (!v) continue;
        Scripted rng{{0.5, u2, u3_equal}};
        EXPECT_EQ(opt(hat->sample_with_rng(Recorder{[&](double) { return *v; }, normal_support}, rng)), at) << u2;
        ++equal;
    }
    EXPECT_GT(equal, 0);

    const double u3 = 0.5;
    int on_knot = 0, crossed = 0;
    for (std::size_t i = 1; i < ref->cum.size(); ++i) {
        for (int j = 0; j <= 64; ++j) {
            const double u1 = j == 0 ? ref->cum[i] : ref->cum[i - 1], u2 = j == 0 ? 0.0 : 1.0 - j * 0x1p-53;
            Scripted probe{{u1, u2}};
            const double at = *hat->sample_from_hat(probe);
            const std::size_t drawn = ref->segment(u1);
            std::size_t holding = 0, other;
            for (const double z : ref->z) holding += z <= at;
            if (drawn != holding) other = drawn;
            else if (holding > 0 && at == ref->z[holding - 1]) other = holding - 1;
            else continue;
            const double right = ref->tangent(holding, at), wrong = ref->tangent(other, at);
            EXPECT_EQ(hat->hat_log(at), right);
            const auto v = value_near(std::exp(std::log(u3) + right), [&](double v) {
                return (std::log(u3) <= std::log(v) - right) != (std::log(u3) <= std::log(v) - wrong);
            });
            if (!v) continue;
            Scripted rng{{u1, u2, u3}};
            const auto got = opt(hat->sample_with_rng(Recorder{[&](double) { return *v; }, normal_support}, rng));
            EXPECT_EQ(got, std::log(u3) <= std::log(*v) - right ? std::optional<double>(at) : std::nullopt)
                << u1 << " " << u2;
            ++(drawn == holding ? on_knot : crossed);
        }
    }
    EXPECT_GT(on_knot, 0);
    EXPECT_GT(crossed, 0);
}

// The box is the largest density value on its grid; it accepts
// v == box_max * u2 and rejects one ulp less.
TEST(TdrSampleWithRng, BoxEdgeIsInclusive) {
    const auto hat = box_hat(peaked, normal_support);
    ASSERT_TRUE(hat.has_value());
    EXPECT_EQ(hat->box_max(), phi(0.0));
    const double edge = hat->box_max() * 0.5;
    const Recorder at_edge{[edge](double) { return edge; }, normal_support};
    const Recorder below{[edge](double) { return std::nextafter(edge, 0.0); }, normal_support};
    Scripted accept{{0.5, 0.5}}, reject{{0.5, 0.5, 0.25, 0.0}};
    EXPECT_EQ(opt(hat->sample_with_rng(at_edge, accept)), 0.0);
    EXPECT_EQ(opt(hat->sample_with_rng(below, reject)), -4.0);
    EXPECT_EQ(reject.next, 4u);
}

// Every trial rejected: the draw fails after max(max_trials, 1) trials, having
// taken u1 (and u2 for Log) each time and the last uniform only for a usable
// value: finite and > 0 for Log, finite and >= 0 for the box (0 rejected unless u2 = 0).
TEST(TdrSampleWithRng, TrialBudgetAndUniformsPerRejectedTrial) {
    struct Case { TdrTransform t; double v; std::uint64_t uniforms; };
    const Case cases[] = {{Log, 0.0, 2}, {Log, nan, 2}, {Log, -1.0, 2},  {Log, inf, 2},
                          {Box, 0.0, 2}, {Box, nan, 1}, {Box, -0.5, 1}, {Box, inf, 1}};
    for (const auto& c : cases) {
        for (const std::uint64_t budget : {0u, 1u, 7u}) {
            SCOPED_TRACE(testing::Message() << (c.t == Log ? "Log " : "box ") << c.v << ", max_trials " << budget);
            const auto hat = build(c.t == Log ? phi : peaked, dphi, normal_support, c.t, 30, budget);
            ASSERT_TRUE(hat.has_value());
            const Recorder pdf{[&c](double) { return c.v; }, normal_support};
            SeededRng rng(99);
            const auto x = draw(*hat, pdf, rng);
            const std::uint64_t trials = std::max<std::uint64_t>(budget, 1);
            ASSERT_FALSE(x.has_value());
            EXPECT_EQ(x.error(), SampleError::of(SampleError::Kind::TdrDrawFailed));
            EXPECT_EQ(pdf.at.size(), trials);
            EXPECT_TRUE(consumed_exactly(rng, 99, trials * c.uniforms));
        }
    }
}

// A density value above the hat proves the hat wrong: the draw fails at once,
// before the uniform of the acceptance test, instead of accepting. Within the
// allowance for rounding and finite-difference slopes it is accepted as before,
// also where the acceptance test skips its logarithms (u1 = u2 = 0.5 draws a
// candidate inside its own segment).
TEST(TdrSampleWithRng, DensityAboveTheHatFailsTheDraw) {
    const auto hat = log_hat(phi, dphi, normal_support);
    const auto ref = ref_build(phi, dphi, normal_support, 30);
    ASSERT_TRUE(hat && ref);
    Scripted probe{{0.5, 0.5}};
    const double at = *hat->sample_from_hat(probe);
    const double h = ref->log_hat(at), allowance = ref->allowance(at);
    const auto highest_within = value_near(std::exp(h + allowance), [&](double v) {
        return std::log(v) - h <= allowance && std::log(std::nextafter(v, inf)) - h > allowance;
    });
    ASSERT_TRUE(highest_within.has_value());
    for (const double v : {*highest_within, std::nextafter(*highest_within, inf), 2.0 * std::exp(h)}) {
        SCOPED_TRACE(v);
        const bool above = v > *highest_within;
        const Recorder pdf{[v](double) { return v; }, normal_support};
        Scripted rng{{0.5, 0.5, 1.0 - 0x1p-53}};
        const auto x = hat->sample_with_rng(pdf, rng);
        EXPECT_EQ(opt(x), above ? std::nullopt : std::optional<double>(at));
        if (above) {
            EXPECT_EQ(x.error().display(), "tdr failed to draw a sample");
        }
        EXPECT_EQ(rng.next, above ? 2u : 3u);
        EXPECT_EQ(pdf.at.size(), 1u);
    }

    // The box: above box_max * (1 + 1e-9) fails after the first uniform (a narrow
    // peak the grid misses: the Python replay).
    const auto box = box_hat(peaked, normal_support);
    ASSERT_TRUE(box.has_value());
    const double ceiling = box->box_max() * (1.0 + 1e-9);
    for (const double v : {ceiling, std::nextafter(ceiling, inf)}) {
        const Recorder pdf{[v](double) { return v; }, normal_support};
        Scripted rng{{0.5, 1.0 - 0x1p-53}};
        EXPECT_EQ(opt(box->sample_with_rng(pdf, rng)), v == ceiling ? std::optional<double>(0.0) : std::nullopt);
        EXPECT_EQ(rng.next, v == ceiling ? 2u : 1u);
    }
}

// ------------------------------------------------------------------ seeded streams

// Long streams with densities the hat was not built for, so that many
// acceptance tests fall close to their boundary, and some above the hat, whose
// draws fail; a flat middle segment (a point on the mode); points lost to
// holes; a one-trial budget whose failures the stream outlives.
TEST(TdrSeeded, LogDrawsMatchThePlainLoop) {
    struct Case { const char* name; Fn built, sampled; std::uint64_t points, trials; int draws; bool failures; };
    const Case cases[] = {
        {"normal", phi, phi, 30, 100000, 100000, false},
        {"0.99 times the normal", phi, [](double x) { return 0.99 * phi(x); }, 30, 100000, 100000, false},
        {"1.01 times the normal", phi, [](double x) { return 1.01 * phi(x); }, 30, 100000, 100000, true},
        {"tilted normal", phi, [](double x) { return phi(x) * std::exp(0.3 * x) * 0.95; }, 30, 100000, 100000, true},
        {"31 points", phi, phi, 31, 100000, 2000, false},
        {"holes", patchy, patchy, 30, 100000, 2000, false},
        {"holes, one trial", patchy, patchy, 30, 1, 2000, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto hat = log_hat(c.built, dphi, normal_support, c.points, c.trials);
        const auto ref = ref_build(c.built, dphi, normal_support, c.points);
        ASSERT_TRUE(hat && ref);
        EXPECT_EQ(hat->knots(), ref->z);
        EXPECT_EQ(hat->areas(), ref->area);
        EXPECT_EQ(hat->cum_areas(), ref->cum);
        EXPECT_EQ(std::count(ref->s.begin(), ref->s.end(), 0.0), c.points == 31 ? 1 : 0);
        const Recorder sampled{c.sampled, normal_support};
        SeededRng rng(2024), ref_rng(2024);
        int failures = 0;
        for (int i = 0; i < c.draws; ++i) {
            const auto want = ref_draw_log(*ref, c.sampled, ref_rng, c.trials);
            ASSERT_EQ(opt(hat->sample_with_rng(sampled, rng)), want) << "draw " << i;
            failures += !want;
        }
        EXPECT_EQ(drovik::uniform(rng), drovik::uniform(ref_rng));
        EXPECT_EQ(failures > 0, c.failures);
    }
}

}  // namespace
}  // namespace drovik
