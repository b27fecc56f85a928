// Transformed density rejection with the cheapest density there is (a C++
// lambda for the standard normal on [-8, 8]): what the hat itself costs per
// draw, beside the bare cost of the density calls a draw makes (about 1.012
// with the Log hat). Subtract the two for the hat's own share.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <variant>
#include <vector>

#include "continuous/tdr.hpp"
#include "random/rng.hpp"

namespace {

using drovik::Support;
using drovik::TdrHat;
using drovik::TdrLogHat;
using drovik::TdrTransform;

constexpr Support normal_support{-8.0, 8.0};
const double inv_sqrt_2pi = 1.0 / std::sqrt(2.0 * std::numbers::pi);

// The box hat needs its peak on a grid point (-7.75 + 0.5 j for 32 cells), so
// that normal is centred at 0.25; the log hat's at 0.
double centre_for(TdrTransform transform) { return transform == TdrTransform::InvSqrt ? 0.25 : 0.0; }

struct NormalPdf {
    std::uint64_t* calls;
    double centre;
    double pdf(double x) const {
        ++*calls;
        return std::exp(-0.5 * (x - centre) * (x - centre)) * inv_sqrt_2pi;
    }
    Support support() const { return normal_support; }
};

struct NormalDpdf {
    double centre;
    double dpdf(double x) const {
        return -(x - centre) * std::exp(-0.5 * (x - centre) * (x - centre)) * inv_sqrt_2pi;
    }
    Support support() const { return normal_support; }
};

TdrHat build(TdrTransform transform) {
    std::uint64_t calls = 0;
    const double centre = centre_for(transform);
    const drovik::TdrSettings settings{.support = normal_support, .transform = transform};  // default points, trials
    auto hat = drovik::build_tdr_hat(NormalPdf{&calls, centre}, NormalDpdf{centre}, settings);
    if (!hat) throw drovik::Panic("normal hat did not build");
    return *hat;
}

TdrLogHat build_log() { return std::get<TdrLogHat>(build(TdrTransform::Log)); }

// Draws as the sampler makes them: the hat's kind chosen once, outside the loop.
template <class Rng>
void draw(benchmark::State& state, TdrTransform transform, Rng& rng) {
    const TdrHat hat = build(transform);
    std::uint64_t calls = 0;
    const NormalPdf pdf{&calls, centre_for(transform)};
    std::visit(
        [&](const auto& kind) {
            for (auto _ : state) {
                auto x = kind.sample_with_rng(pdf, rng);
                benchmark::DoNotOptimize(x);
            }
        },
        hat);
    state.SetItemsProcessed(state.iterations());
    state.counters["density_calls_per_draw"] =
        benchmark::Counter(static_cast<double>(calls) / static_cast<double>(state.iterations()));
}

void BM_TdrLog_Seeded(benchmark::State& state) {
    drovik::SeededRng rng(1);
    draw(state, TdrTransform::Log, rng);
}
BENCHMARK(BM_TdrLog_Seeded);

void BM_TdrLog_Thread(benchmark::State& state) { draw(state, TdrTransform::Log, drovik::ThreadRng::current()); }
BENCHMARK(BM_TdrLog_Thread);

void BM_TdrInvSqrt_Seeded(benchmark::State& state) {
    drovik::SeededRng rng(1);
    draw(state, TdrTransform::InvSqrt, rng);
}
BENCHMARK(BM_TdrInvSqrt_Seeded);

// A candidate from the hat alone: two uniforms, a segment lookup, one logarithm.
void BM_TdrLog_SampleFromHat(benchmark::State& state) {
    const TdrLogHat hat = build_log();
    drovik::SeededRng rng(1);
    for (auto _ : state) {
        auto x = hat.sample_from_hat(rng);
        benchmark::DoNotOptimize(x);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TdrLog_SampleFromHat);

// The bare density call, at points spread like the draws.
void BM_NormalDensity_Bare(benchmark::State& state) {
    const TdrLogHat hat = build_log();
    drovik::SeededRng rng(1);
    std::vector<double> xs(4096);
    for (double& x : xs) x = *hat.sample_from_hat(rng);
    std::uint64_t calls = 0;
    const NormalPdf pdf{&calls, 0.0};
    std::size_t i = 0;
    for (auto _ : state) {
        double v = pdf.pdf(xs[i]);
        benchmark::DoNotOptimize(v);
        i = (i + 1) & (xs.size() - 1);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NormalDensity_Bare);

void BM_TdrLog_Build(benchmark::State& state) {
    for (auto _ : state) {
        auto hat = build(TdrTransform::Log);
        benchmark::DoNotOptimize(hat);
    }
}
BENCHMARK(BM_TdrLog_Build);

}  // namespace
