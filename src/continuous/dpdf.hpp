// Derivative of a density by finite differences, for building a transformed-
// density hat when the user supplied no derivative.
#pragma once

#include <cmath>
#include <limits>

#include "continuous/interfaces.hpp"

namespace drovik {

// Borrows the density P, which must outlive it. The step is proportional to the
// width of the support, never below the square root of the machine epsilon.
template <class P>
class NumericalDpdf {
public:
    NumericalDpdf(const P& pdf, double rel_step) : pdf_(&pdf), rel_step_(rel_step) {}

    // NaN when no estimate can be formed: both neighbours outside the support,
    // x NaN, or a density value that is not finite. Exactly two density
    // evaluations (or none), the higher abscissa first.
    double dpdf(double x) const {
        constexpr double min_step = 0x1p-26;
        const Support s = pdf_->support();
        const double scaled = rel_step_ * (s.hi - s.lo);
        const double h = scaled > min_step ? scaled : min_step;  // a NaN product takes the floor
        const double below = x - h;
        const double above = x + h;
        const bool below_inside = below >= s.lo;
        const bool above_inside = above <= s.hi;
        double a;
        double b;
        double width;
        if (below_inside && above_inside) {
            a = pdf_->pdf(above);
            b = pdf_->pdf(below);
            width = h + h;
        } else if (below_inside && above > s.hi) {
            a = pdf_->pdf(x);
            b = pdf_->pdf(below);
            width = h;
        } else if (below < s.lo && above_inside) {
            a = pdf_->pdf(above);
            b = pdf_->pdf(x);
            width = h;
        } else {
            return std::numeric_limits<double>::quiet_NaN();
        }
        if (!std::isfinite(a) || !std::isfinite(b)) return std::numeric_limits<double>::quiet_NaN();
        return (a - b) / width;
    }

    Support support() const { return pdf_->support(); }

private:
    const P* pdf_;
    double rel_step_;
};

}  // namespace drovik
