// Gibbs sampler over user conditionals: a running point whose coordinates are
// replaced one after another, in place, by values the user's conditional draws.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <vector>

#include "error.hpp"
#include "multivar/support.hpp"
#include "random/rng.hpp"

namespace drovik {

// A user's conditional draw of coordinate i given the whole current state. It
// never fails (NaN stands for a draw that could not be made), but it may throw:
// that is how an interrupt unwinds through the core.
class ConditionalSampler {
public:
    virtual ~ConditionalSampler() = default;
    virtual double sample_coord(ChachaRng& rng, std::size_t i, std::span<const double> state) const = 0;
};

class GibbsSamplerNd {
public:
    // McmcFailed when init.size() != support.dim(). The init values are not
    // checked against the box and the box is not used beyond its dimension.
    // `cond` must not be null (Panic otherwise).
    static std::expected<GibbsSamplerNd, SampleError> create(std::shared_ptr<const ConditionalSampler> cond,
                                                             HyperRect support, std::uint64_t sweeps_per_sample,
                                                             std::vector<double> init);

    // sweeps_per_sample systematic scans i = 0 .. d-1, each value stored as
    // returned (not folded, NaN kept). The update is in place, so coordinate i
    // sees this sweep's values before it and the previous sweep's after it; a
    // scan cut short by an exception keeps the coordinates already replaced.
    const std::vector<double>& step(ChachaRng& rng);
    // step() with the calling thread's generator; returns a copy of the state.
    std::vector<double> sample();

    const std::vector<double>& state() const { return state_; }
    std::size_t dim() const { return support_.dim(); }

private:
    GibbsSamplerNd(HyperRect support, std::shared_ptr<const ConditionalSampler> cond, std::vector<double> state,
                   std::uint64_t sweeps_per_sample)
        : support_(std::move(support)),
          cond_(std::move(cond)),
          state_(std::move(state)),
          sweeps_per_sample_(sweeps_per_sample) {}

    HyperRect support_;
    std::shared_ptr<const ConditionalSampler> cond_;
    std::vector<double> state_;
    std::uint64_t sweeps_per_sample_;
};

}  // namespace drovik
