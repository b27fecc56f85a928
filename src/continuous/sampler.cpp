#include "continuous/sampler.hpp"

namespace drovik {

template class ContinuousSampler<IntegratedPdf<UserPdf>>;
template class ContinuousSampler<AffineCdf<UserCdf>>;

}  // namespace drovik
