#include "continuous/sampler.hpp"

namespace drovik {

template class ContinuousSampler<IntegratedPdf<UserPdf>>;
template class ContinuousSampler<AffineCdf<UserCdf>>;
template class ContinuousSampler<IntegratedPdf<HistogramPdf>>;
template class ContinuousSampler<IntegratedPdf<LocScalePdf>>;
template class ContinuousSampler<IntegratedPdf<Truncated>>;

}  // namespace drovik
