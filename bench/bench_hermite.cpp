// Quantile table of a standard normal on [-8, 8]: cost of one evaluation (the
// per-draw cost of table sampling), of the interval lookup alone against the
// bisection over the levels, and of building the table.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "bisect.hpp"
#include "continuous/hermite.hpp"

namespace {

struct NormalCdf {
    mutable std::uint64_t calls = 0;
    double cdf(double x) const {
        ++calls;
        return 0.5 * std::erfc(-x / std::sqrt(2.0));
    }
};

const drovik::HermitePpfTable& normal_table(std::uint64_t grid_size) {
    static const drovik::HermitePpfTable t1024 =
        drovik::HermitePpfTable::build(NormalCdf{}, 1024, 128, -8.0, 8.0, 1e-12).value();
    static const drovik::HermitePpfTable t64 =
        drovik::HermitePpfTable::build(NormalCdf{}, 64, 128, -8.0, 8.0, 1e-12).value();
    return grid_size == 64 ? t64 : t1024;
}

// Fixed uniforms in (0, 1), so the timing covers lookups in random order.
const std::vector<double>& levels() {
    static const std::vector<double> us = [] {
        std::mt19937_64 gen(1);
        std::uniform_real_distribution<double> uniform(0.0, 1.0);
        std::vector<double> v(1 << 16);
        for (double& u : v) u = uniform(gen);
        return v;
    }();
    return us;
}

void BM_HermiteEval(benchmark::State& state) {
    const auto& table = normal_table(static_cast<std::uint64_t>(state.range(0)));
    const auto& us = levels();
    for (auto _ : state) {
        double acc = 0.0;
        for (double u : us) acc += table.eval(u);
        benchmark::DoNotOptimize(acc);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(us.size()));
}
BENCHMARK(BM_HermiteEval)->Arg(64)->Arg(1024);

// The same levels through the batched lookup that table sampling uses, in runs
// of the length the sampler hands it.
void BM_HermiteEvalBatch(benchmark::State& state) {
    const auto& table = normal_table(static_cast<std::uint64_t>(state.range(0)));
    const auto& us = levels();
    std::vector<double> buffer(1024);
    for (auto _ : state) {
        double acc = 0.0;
        for (std::size_t start = 0; start < us.size(); start += buffer.size()) {
            std::copy_n(us.begin() + static_cast<std::ptrdiff_t>(start), buffer.size(), buffer.begin());
            table.eval_batch(buffer);
            acc += buffer.back();
        }
        benchmark::DoNotOptimize(acc);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(us.size()));
}
BENCHMARK(BM_HermiteEvalBatch)->Arg(64)->Arg(1024);

void BM_HermiteInterval(benchmark::State& state) {
    const auto& table = normal_table(1024);
    const auto& us = levels();
    for (auto _ : state) {
        std::size_t acc = 0;
        for (double u : us) acc += table.interval(u);
        benchmark::DoNotOptimize(acc);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(us.size()));
}
BENCHMARK(BM_HermiteInterval);

// The index interval() gives, by bisection over the levels instead.
std::size_t bisected_interval(const drovik::HermitePpfTable& table, double u) {
    const std::vector<double>& grid = table.u_grid();
    const auto below_u = [u](double v) { return v < u; };
    const std::size_t below = drovik::bisect_table(grid, below_u, below_u);
    return std::min(grid.size() - 2, below > 0 ? below - 1 : 0);
}

void BM_HermiteBisectInterval(benchmark::State& state) {
    const auto& table = normal_table(1024);
    const auto& us = levels();
    for (auto _ : state) {
        std::size_t acc = 0;
        for (double u : us) acc += bisected_interval(table, u);
        benchmark::DoNotOptimize(acc);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(us.size()));
}
BENCHMARK(BM_HermiteBisectInterval);

// Distribution-function evaluations per build are reported as cdf_calls.
void BM_HermiteBuild(benchmark::State& state) {
    const auto grid = static_cast<std::uint64_t>(state.range(0));
    std::uint64_t calls = 0;
    for (auto _ : state) {
        const NormalCdf cdf;
        auto table = drovik::HermitePpfTable::build(cdf, grid, 128, -8.0, 8.0, 1e-12);
        benchmark::DoNotOptimize(table);
        calls = cdf.calls;
    }
    state.counters["cdf_calls"] = static_cast<double>(calls);
}
BENCHMARK(BM_HermiteBuild)->Arg(64)->Arg(256)->Arg(1024);

}  // namespace
