#include "multivar/factor.hpp"

#include <new>

namespace drovik {

ConditionalFactorSampler::ConditionalFactorSampler(std::shared_ptr<const ConditionalFactorization> factors)
    : factors_(std::move(factors)) {
    if (!factors_) throw Panic("ConditionalFactorSampler needs a factorization");
}

std::expected<std::vector<double>, SampleError> ConditionalFactorSampler::sample_with_rng(ChachaRng& rng) const {
    const std::size_t d = factors_->dimension();
    if (d == 0) return std::unexpected(SampleError::of(SampleError::Kind::McmcFailed));
    std::vector<double> point;
    // A dimension no vector can hold is an allocation failure, not a length error.
    if (d > point.max_size()) throw std::bad_alloc();
    point.reserve(d);
    for (std::size_t i = 0; i < d; ++i) {
        const double value = factors_->sample_i(rng, i, std::span<const double>(point.data(), i));
        point.push_back(value);
    }
    return point;
}

std::expected<std::vector<double>, SampleError> ConditionalFactorSampler::sample() const {
    return sample_with_rng(ThreadRng::current());
}

}  // namespace drovik
