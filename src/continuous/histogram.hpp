// A step density over bin edges, built from bin counts.
#pragma once

#include <expected>
#include <vector>

#include "bisect.hpp"
#include "continuous/interfaces.hpp"
#include "error.hpp"

namespace drovik {

class HistogramPdf {
public:
    // With `density` false the heights integrate to 1, with true to the sum of
    // the counts; the sampler normalizes either way.
    static std::expected<HistogramPdf, BuildError> create(std::vector<double> edges, std::vector<double> counts,
                                                          bool density);

    // The height of the half-open bin holding x (an x on an edge is in the bin
    // to its right); 0 outside [first edge, last edge) and for NaN.
    double pdf(double x) const {
        if (!(x >= lo_ && x < hi_)) return 0.0;
        // Inside, between one and heights_.size() edges lie at or below x.
        return heights_[count_at_most(edges_, x) - 1];
    }

    Support support() const { return {lo_, hi_}; }
    const std::vector<double>& edges() const { return edges_; }
    const std::vector<double>& heights() const { return heights_; }

private:
    HistogramPdf(std::vector<double> edges, std::vector<double> heights)
        : edges_(std::move(edges)), heights_(std::move(heights)), lo_(edges_.front()), hi_(edges_.back()) {}

    std::vector<double> edges_;
    std::vector<double> heights_;
    double lo_;
    double hi_;
};

}  // namespace drovik
