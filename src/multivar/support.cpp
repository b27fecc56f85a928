#include "multivar/support.hpp"

namespace drovik {

std::expected<HyperRect, BuildError> HyperRect::create(std::vector<double> lo, std::vector<double> hi) {
    if (lo.empty() || hi.empty()) return std::unexpected(BuildError::invalid_support(support_text::hyper_rect_empty));
    if (lo.size() != hi.size())
        return std::unexpected(BuildError::invalid_support(support_text::hyper_rect_dimension_mismatch));
    for (std::size_t i = 0; i < lo.size(); ++i) {
        if (!std::isfinite(lo[i]) || !std::isfinite(hi[i]))
            return std::unexpected(BuildError::non_finite(support_text::hyper_rect_bounds));
        if (lo[i] >= hi[i])
            return std::unexpected(BuildError::invalid_support(support_text::hyper_rect_lo_not_below_hi));
        // Every draw and every fold works with hi - lo: an infinite width puts points outside the box.
        if (!std::isfinite(hi[i] - lo[i]))
            return std::unexpected(BuildError::non_finite(support_text::hyper_rect_widths));
    }
    return HyperRect(std::move(lo), std::move(hi));
}

void HyperRect::uniform_point(ChachaRng& rng, std::span<double> out) const {
    for (std::size_t i = 0; i < lo_.size(); ++i) out[i] = lo_[i] + uniform(rng) * (hi_[i] - lo_[i]);
}

std::vector<double> HyperRect::uniform_point(ChachaRng& rng) const {
    std::vector<double> x(lo_.size());
    uniform_point(rng, x);
    return x;
}

HyperRect::Reflected HyperRect::reflect(std::size_t i, double y) const {
    const double lo = lo_[i];
    const double hi = hi_[i];
    const double width = hi - lo;
    if (!(width > 0.0)) return {lo, false};
    if (std::isnan(y)) return {y, false};
    // The reflection loop alone never ends for an infinity (it flips sign) and
    // takes |y| / width rounds for a huge value: drop whole periods first
    // (two reflections each, so the parity stays).
    const double offset = y - lo;
    if (!std::isfinite(offset)) return {NAN, false};
    const double period = width + width;
    constexpr double far_periods = 1048576.0;
    // Divided, not multiplied, so that a huge box cannot overflow the test.
    if (std::fabs(offset) / far_periods > period) {
        double folded = std::fmod(offset, period);  // exact
        if (folded < 0.0) folded += period;
        y = lo + folded;
    }
    bool odd = false;
    while (!(lo <= y && y <= hi)) {
        if (y < lo) y = lo + (lo - y);
        else y = hi - (y - hi);
        // Near the ends of the double range a reflection can overflow.
        if (!std::isfinite(y)) return {NAN, false};
        odd = !odd;
    }
    return {y, odd};
}

double HyperRect::volume() const {
    double v = 1.0;
    for (std::size_t i = 0; i < lo_.size(); ++i) v *= hi_[i] - lo_[i];
    return v;
}

std::optional<ChainStart> uniform_start(const HyperRect& support, const NdFunction& pdf, std::uint64_t tries,
                                        ChachaRng& rng) {
    std::vector<double> x(support.dim());
    for (std::uint64_t attempt = 0; attempt < tries; ++attempt) {
        support.uniform_point(rng, x);
        const double log_pdf = log_density(pdf(x));
        if (std::isfinite(log_pdf)) return ChainStart{std::move(x), log_pdf};
    }
    return std::nullopt;
}

}  // namespace drovik
