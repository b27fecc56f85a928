// Throughput of the random source: raw 64-bit draws (bytes of keystream per
// second) and the uniform and normal conversions on top of them; the normal
// distribution function of the copula.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>

#include "multivar/copula.hpp"
#include "random/chacha.hpp"
#include "random/rng.hpp"

namespace {

constexpr int draws_per_iteration = 1024;

template <class Rng>
void drain_u64(benchmark::State& state, Rng& rng) {
    for (auto _ : state) {
        std::uint64_t acc = 0;
        for (int i = 0; i < draws_per_iteration; ++i) acc ^= rng.next_u64();
        benchmark::DoNotOptimize(acc);
    }
    state.SetBytesProcessed(state.iterations() * draws_per_iteration * 8);
    state.SetItemsProcessed(state.iterations() * draws_per_iteration);
}

void BM_SeededRng_NextU64(benchmark::State& state) {
    drovik::SeededRng rng(42);
    drain_u64(state, rng);
}
BENCHMARK(BM_SeededRng_NextU64);

// Includes the rekey from the OS entropy source every 8192 draws.
void BM_ThreadRng_NextU64(benchmark::State& state) {
    drain_u64(state, drovik::ThreadRng::current());
}
BENCHMARK(BM_ThreadRng_NextU64);

template <class Rng>
void drain_uniform(benchmark::State& state, Rng& rng) {
    for (auto _ : state) {
        double acc = 0.0;
        for (int i = 0; i < draws_per_iteration; ++i) acc += drovik::uniform(rng);
        benchmark::DoNotOptimize(acc);
    }
    state.SetItemsProcessed(state.iterations() * draws_per_iteration);
}

void BM_SeededRng_Uniform(benchmark::State& state) {
    drovik::SeededRng rng(42);
    drain_uniform(state, rng);
}
BENCHMARK(BM_SeededRng_Uniform);

void BM_ThreadRng_Uniform(benchmark::State& state) {
    drain_uniform(state, drovik::ThreadRng::current());
}
BENCHMARK(BM_ThreadRng_Uniform);

void BM_SeededRng_StandardNormal(benchmark::State& state) {
    drovik::SeededRng rng(42);
    for (auto _ : state) {
        double acc = 0.0;
        for (int i = 0; i < draws_per_iteration; ++i) acc += drovik::standard_normal(rng);
        benchmark::DoNotOptimize(acc);
    }
    state.SetItemsProcessed(state.iterations() * draws_per_iteration);
}
BENCHMARK(BM_SeededRng_StandardNormal);

// The copula's map of a normal coordinate to a uniform, per coordinate.
void BM_NormalCdf(benchmark::State& state) {
    std::array<double, draws_per_iteration> ys{};
    for (int i = 0; i < draws_per_iteration; ++i) ys[i] = -4.0 + 8.0 * i / draws_per_iteration;
    for (auto _ : state) {
        double acc = 0.0;
        for (double y : ys) acc += drovik::normal_cdf(y);
        benchmark::DoNotOptimize(acc);
    }
    state.SetItemsProcessed(state.iterations() * draws_per_iteration);
}
BENCHMARK(BM_NormalCdf);

// The block function alone, per implementation the machine supports;
// argument 0 is the number of double rounds.
void BM_ChachaBlocks4(benchmark::State& state, drovik::ChachaKernel kernel) {
    if (!drovik::chacha_kernel_supported(kernel)) {
        state.SkipWithError("not supported by this processor");
        return;
    }
    const drovik::ChachaKey key = drovik::pcg32_key(42);
    const int double_rounds = static_cast<int>(state.range(0));
    alignas(64) std::array<std::uint32_t, 64> out{};
    std::uint64_t counter = 0;
    for (auto _ : state) {
        drovik::chacha_blocks4_using(kernel, key, counter, double_rounds, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
        counter += 4;
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(sizeof out));
}
BENCHMARK_CAPTURE(BM_ChachaBlocks4, sse2, drovik::ChachaKernel::sse2)->Arg(4)->Arg(6);
BENCHMARK_CAPTURE(BM_ChachaBlocks4, avx2, drovik::ChachaKernel::avx2)->Arg(4)->Arg(6);
BENCHMARK_CAPTURE(BM_ChachaBlocks4, avx512vl, drovik::ChachaKernel::avx512vl)->Arg(4)->Arg(6);

void BM_ChachaBlockScalar(benchmark::State& state) {
    const drovik::ChachaKey key = drovik::pcg32_key(42);
    const int double_rounds = static_cast<int>(state.range(0));
    alignas(64) std::array<std::uint32_t, 16> out{};
    std::uint64_t counter = 0;
    for (auto _ : state) {
        drovik::chacha_block_scalar(key, counter, double_rounds, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
        ++counter;
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(sizeof out));
}
BENCHMARK(BM_ChachaBlockScalar)->Arg(4)->Arg(6);

}  // namespace
