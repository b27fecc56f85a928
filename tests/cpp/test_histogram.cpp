// Histogram density: the bin found for x by bisection, against a scan over the
// half-open bins (the rule at edges, infinities and NaN: the Python tests).
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <random>
#include <vector>

#include "continuous/histogram.hpp"

namespace drovik {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

// Counts over widths, so that bin i has height i + 1 (as density = true keeps them).
HistogramPdf histogram_of(const std::vector<double>& edges) {
    std::vector<double> counts;
    for (std::size_t i = 0; i + 1 < edges.size(); ++i) counts.push_back((i + 1.0) * (edges[i + 1] - edges[i]));
    return HistogramPdf::create(edges, counts, true).value();
}

// Bin counts around the powers of two the bisection halves, uneven widths:
// every edge, its neighbours and points between give the bin of a plain scan.
TEST(HistogramPdf, BinLookupAgreesWithAScanForEveryTableSize) {
    std::mt19937_64 gen(5);
    std::uniform_real_distribution<double> width(0.01, 2.0);
    for (const std::size_t bins : {1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 64u, 1000u}) {
        SCOPED_TRACE(bins);
        std::vector<double> edges{-3.0};
        for (std::size_t i = 0; i < bins; ++i) edges.push_back(edges.back() + width(gen));
        const HistogramPdf h = histogram_of(edges);
        std::vector<double> probes;
        for (const double e : edges) probes.insert(probes.end(), {e, std::nextafter(e, -inf), std::nextafter(e, inf)});
        std::uniform_real_distribution<double> inside(edges.front() - 1.0, edges.back() + 1.0);
        for (int k = 0; k < 2000; ++k) probes.push_back(inside(gen));
        for (const double x : probes) {
            double expected = 0.0;
            for (std::size_t i = 0; i < bins; ++i) {
                if (edges[i] <= x && x < edges[i + 1]) expected = h.heights()[i];
            }
            ASSERT_EQ(h.pdf(x), expected) << x;
        }
    }
}

}  // namespace
}  // namespace drovik
