// Histogram density: the bin found for x. Bins are half-open, so an x on an
// edge belongs to the bin on its right, the last edge to none, and NaN to none.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <random>
#include <vector>

#include "continuous/histogram.hpp"

namespace drovik {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// Counts over widths, so that bin i has height i + 1 (as density = true keeps them).
HistogramPdf histogram_of(const std::vector<double>& edges) {
    std::vector<double> counts;
    for (std::size_t i = 0; i + 1 < edges.size(); ++i) counts.push_back((i + 1.0) * (edges[i + 1] - edges[i]));
    return HistogramPdf::create(edges, counts, true).value();
}

TEST(HistogramPdf, EdgesBelongToTheBinOnTheirRight) {
    const HistogramPdf h = histogram_of({-0.0, 1.0, 3.0, 4.0});
    ASSERT_EQ(h.heights(), (std::vector<double>{1.0, 2.0, 3.0}));
    struct Case { double x, height; };
    const Case cases[] = {
        {0.0, 1.0},  {-0.0, 1.0}, {0.5, 1.0},  {std::nextafter(1.0, 0.0), 1.0}, {1.0, 2.0},
        {2.0, 2.0},  {std::nextafter(3.0, 0.0), 2.0}, {3.0, 3.0}, {std::nextafter(4.0, 0.0), 3.0},
        {4.0, 0.0},  {std::nextafter(-0.0, -1.0), 0.0}, {5.0, 0.0}, {-inf, 0.0}, {inf, 0.0}, {nan, 0.0},
    };
    for (const auto& c : cases) EXPECT_EQ(h.pdf(c.x), c.height) << c.x;
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
