#include "continuous/histogram.hpp"

#include <cmath>

namespace drovik {

std::expected<HistogramPdf, BuildError> HistogramPdf::create(std::vector<double> edges, std::vector<double> counts,
                                                             bool density) {
    const auto invalid = std::unexpected(BuildError::of(BuildError::Kind::InvalidHistogram));
    if (edges.size() < 2) return invalid;
    if (edges.size() != counts.size() + 1) return invalid;
    for (std::size_t i = 0; i + 1 < edges.size(); ++i) {
        // NaN fails the ordering test as well.
        if (!std::isfinite(edges[i]) || !std::isfinite(edges[i + 1]) || !(edges[i + 1] > edges[i])) return invalid;
    }
    for (double count : counts) {
        if (!std::isfinite(count) || count < 0.0) return invalid;
    }
    double total = 0.0;
    for (double count : counts) total += count;
    if (!(total > 0.0)) return std::unexpected(BuildError::of(BuildError::Kind::NormalizationFailed));

    std::vector<double> heights(counts.size());
    for (std::size_t i = 0; i < counts.size(); ++i) {
        const double width = edges[i + 1] - edges[i];
        if (std::isinf(width)) {
            // A bin wider than the largest double: divide by half its width, then halve.
            const double half = edges[i + 1] * 0.5 - edges[i] * 0.5;
            heights[i] = (density ? counts[i] / half : (counts[i] / total) / half) * 0.5;
        } else if (!density && std::isinf(total * width)) {
            heights[i] = (counts[i] / total) / width;
        } else {
            heights[i] = density ? counts[i] / width : counts[i] / (total * width);
        }
    }
    return HistogramPdf(std::move(edges), std::move(heights));
}

}  // namespace drovik
