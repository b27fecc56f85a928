// Exact sampling from an unnormalized density on a box by uniform proposals:
// a uniform point x is accepted with probability f(x) / pdf_max, the bound
// being the caller's promise. A finite value above it is proof that the promise
// is broken: the draw fails rather than sample from a flattened density.
#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include "error.hpp"
#include "multivar/support.hpp"
#include "random/rng.hpp"

namespace drovik {

class RejectionSamplerNd {
public:
    // pdf_max is checked before the box: finite and > 0.
    static std::expected<RejectionSamplerNd, BuildError> create(SharedNdFunction pdf, HyperRect support,
                                                                double pdf_max, std::uint64_t max_trials);

    std::size_t dim() const { return support_.dim(); }
    double pdf_max() const { return pdf_max_; }
    const HyperRect& support() const { return support_; }

    // Each trial takes d uniforms, and one more only when f(x) is finite and
    // in [0, pdf_max]; above pdf_max, AbovePdfMax at once; after max_trials lost
    // trials, RejectionFailed.
    std::expected<std::vector<double>, SampleError> sample_with_rng(ChachaRng& rng) const;
    std::expected<std::vector<double>, SampleError> sample() const { return sample_with_rng(ThreadRng::current()); }

private:
    RejectionSamplerNd(SharedNdFunction pdf, HyperRect support, double pdf_max, std::uint64_t max_trials)
        : support_(std::move(support)), pdf_(std::move(pdf)), pdf_max_(pdf_max), max_trials_(max_trials) {}

    HyperRect support_;
    SharedNdFunction pdf_;
    double pdf_max_;
    std::uint64_t max_trials_;
};

}  // namespace drovik
