// Summary statistics of a continuous sampler: moments, entropy and
// expectations by quadrature of the normalized density, median and central
// intervals by its quantile function.
#pragma once

#include <cmath>
#include <expected>
#include <utility>

#include "continuous/cdf.hpp"
#include "continuous/integrate.hpp"
#include "continuous/options.hpp"
#include "error.hpp"
#include "midpoint.hpp"

namespace drovik {

// Statistics use a fixed tolerance, whatever the distribution was built with.
inline constexpr double stats_tolerance = default_quad_tolerance;

namespace detail {

inline std::expected<double, SampleError> finite_or_failed(double value) {
    if (!std::isfinite(value)) return std::unexpected(SampleError::of(SampleError::Kind::IntegrationFailed));
    return value;
}

inline std::unexpected<SampleError> pdf_required() {
    return std::unexpected(SampleError::of(SampleError::Kind::PdfRequired));
}

// The integral over the support of integrand(x, p) where p() is the
// normalized density at x.
template <class Sampler, class Integrand>
std::expected<double, SampleError> density_integral(const Sampler& sampler, Integrand&& integrand) {
    using D = std::remove_cvref_t<decltype(sampler.dist())>;
    if constexpr (DensityModel<D>) {
        const D& dist = sampler.dist();
        const double norm = dist.norm();
        const Support s = sampler.support();
        const auto normalized = [&](double x, auto&& value) {
            return integrand(x, [&] { return value() / norm; });
        };
        return finite_or_failed(integrate_density(dist.density(), s.lo, s.hi, stats_tolerance, normalized));
    } else {
        return pdf_required();
    }
}

// The integral of g(x) * p(x); g is evaluated before the density, both may be Python calls.
template <class Sampler, class G>
std::expected<double, SampleError> weighted_integral(const Sampler& sampler, G&& g) {
    return density_integral(sampler, [&](double x, auto&& p) {
        const double gx = g(x);
        return gx * p();
    });
}

}  // namespace detail

// The integral of x p(x). The normalization is good to a relative 1e-11 or
// so, and that error scales the whole integral: on a support further from 0
// than it is wide the integral is taken of (x - middle) p(x), so that the
// error scales with the width, and middle is added back.
template <class Sampler>
std::expected<double, SampleError> mean(const Sampler& sampler) {
    const Support s = sampler.support();
    const double middle = midpoint(s.lo, s.hi);
    if (!(std::abs(middle) > s.hi - s.lo)) return detail::weighted_integral(sampler, [](double x) { return x; });
    const auto about_middle = detail::weighted_integral(sampler, [middle](double x) { return x - middle; });
    if (!about_middle) return about_middle;
    return middle + *about_middle;
}

// The integral of (x - mean)^2 p(x), clamped to +0: m2 - m1^2 would cancel every
// digit for a distribution far from 0.
template <class Sampler>
std::expected<double, SampleError> variance(const Sampler& sampler) {
    const auto m1 = mean(sampler);
    if (!m1) return m1;
    const double center = *m1;
    const auto v = detail::weighted_integral(sampler, [center](double x) {
        const double d = x - center;
        return d * d;
    });
    if (!v) return v;
    return *v > 0.0 ? *v : 0.0;
}

template <class Sampler>
std::expected<double, SampleError> std_dev(const Sampler& sampler) {
    const auto v = variance(sampler);
    if (!v) return v;
    return std::sqrt(*v);
}

// -p ln p, with no contribution where p is 0, negative or NaN. A distribution
// without a density has no entropy to compute: it fails like the moments.
template <class Sampler>
std::expected<double, SampleError> entropy(const Sampler& sampler) {
    return detail::density_integral(sampler, [](double, auto&& p) {
        const double v = p();
        return v > 0.0 ? -v * std::log(v) : 0.0;
    });
}

// E[g(X)]; g is evaluated at every quadrature point, also where p is 0.
template <class Sampler, class G>
std::expected<double, SampleError> expect(const Sampler& sampler, G&& g) {
    return detail::weighted_integral(sampler, std::forward<G>(g));
}

template <class Sampler>
std::expected<double, SampleError> median(const Sampler& sampler) {
    return sampler.ppf(0.5);
}

template <class Sampler>
std::expected<std::pair<double, double>, SampleError> central_interval(const Sampler& sampler, double confidence) {
    if (!(confidence > 0.0 && confidence < 1.0))
        return std::unexpected(SampleError::confidence_out_of_range(confidence));
    const double a = (1.0 - confidence) * 0.5;
    const auto lower = sampler.ppf(a);
    if (!lower) return std::unexpected(lower.error());
    const auto upper = sampler.ppf(1.0 - a);
    if (!upper) return std::unexpected(upper.error());
    return std::pair{*lower, *upper};
}

}  // namespace drovik
