// The one-operation interfaces through which continuous code evaluates
// functions, and the finite support they are built for.
#pragma once

#include <cmath>
#include <expected>
#include <memory>

#include "error.hpp"

namespace drovik {

struct Support {
    double lo;
    double hi;
    friend bool operator==(const Support&, const Support&) = default;
};

// Finiteness first, then lo < hi.
inline std::expected<Support, BuildError> check_support(double lo, double hi) {
    if (!std::isfinite(lo) || !std::isfinite(hi)) return std::unexpected(BuildError::non_finite(support_text::bounds));
    if (!(lo < hi)) return std::unexpected(BuildError::invalid_support(support_text::lo_not_below_hi));
    return Support{lo, hi};
}

// A real function supplied from outside the core (a user's callable). It
// never fails: NaN stands for a value that could not be computed.
class RealFunction {
public:
    virtual ~RealFunction() = default;
    virtual double operator()(double x) const = 0;
};

using SharedFunction = std::shared_ptr<const RealFunction>;

// A user density, distribution function or density derivative, tagged with
// the support it was given. Several core objects may share one function.
struct UserPdf {
    SharedFunction f;
    Support support;
    double pdf(double x) const { return (*f)(x); }
};

struct UserCdf {
    SharedFunction f;
    Support support;
    double cdf(double x) const { return (*f)(x); }
};

struct UserDpdf {
    SharedFunction f;
    Support support;
    double dpdf(double x) const { return (*f)(x); }
};

}  // namespace drovik
