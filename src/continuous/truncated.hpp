// Densities derived from a user density: location-scale and truncation.
#pragma once

#include <cmath>
#include <expected>

#include "continuous/integrate.hpp"
#include "continuous/interfaces.hpp"
#include "continuous/options.hpp"
#include "error.hpp"

namespace drovik {

// X = loc + scale * Z, Z with density f on [lo, hi].
class LocScalePdf {
public:
    static std::expected<LocScalePdf, BuildError> create(UserPdf base, double loc, double scale) {
        if (!(std::isfinite(scale) && scale > 0.0)) return std::unexpected(BuildError::of(BuildError::Kind::InvalidScale));
        if (auto checked = check_support(base.support.lo, base.support.hi); !checked)
            return std::unexpected(checked.error());
        const double lo = loc + base.support.lo * scale;
        const double hi = loc + base.support.hi * scale;
        auto mapped = check_support(lo, hi);
        if (!mapped) return std::unexpected(mapped.error());
        return LocScalePdf(std::move(base), loc, scale, *mapped);
    }

    // f(z) / scale inside the closed base support; f is not called outside.
    double pdf(double x) const {
        const double z = (x - loc_) / scale_;
        if (z >= base_.support.lo && z <= base_.support.hi) return base_.pdf(z) / scale_;
        return 0.0;
    }

    Support support() const { return mapped_; }

private:
    LocScalePdf(UserPdf base, double loc, double scale, Support mapped)
        : base_(std::move(base)), loc_(loc), scale_(scale), mapped_(mapped) {}

    UserPdf base_;
    double loc_;
    double scale_;
    Support mapped_;
};

// f restricted to [a, b] inside its support, divided by its mass there.
class Truncated {
public:
    static constexpr double mass_tolerance = default_quad_tolerance;

    static std::expected<Truncated, BuildError> create(UserPdf base, double a, double b) {
        auto window = check_support(a, b);
        if (!window) return std::unexpected(window.error());
        if (auto checked = check_support(base.support.lo, base.support.hi); !checked)
            return std::unexpected(checked.error());
        if (!(base.support.lo <= a && b <= base.support.hi))
            return std::unexpected(BuildError::of(BuildError::Kind::TruncationOutsideSupport));
        const double mass = integrate_fn([&](double x) { return base.pdf(x); }, a, b, mass_tolerance);
        if (!(std::isfinite(mass) && mass > 0.0))
            return std::unexpected(BuildError::of(BuildError::Kind::NormalizationFailed));
        return Truncated(std::move(base), *window, mass);
    }

    double pdf(double x) const {
        if (x >= window_.lo && x <= window_.hi) return base_.pdf(x) / mass_;
        return 0.0;
    }

    Support support() const { return window_; }

private:
    Truncated(UserPdf base, Support window, double mass) : base_(std::move(base)), window_(window), mass_(mass) {}

    UserPdf base_;
    Support window_;
    double mass_;
};

}  // namespace drovik
