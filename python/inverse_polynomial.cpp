// Polynomial inversion from Python: the build of the sampler, its u-error, and
// the registration of private module functions.
//
//   dist = _drovik._from_pdf_inverse_polynomial(lambda x: math.exp(-0.5 * x * x),
//                                               Interval(-8.0, 8.0), 1e-10, 5, None)
//   _drovik._u_error(dist)   # (max, mean)
#include "inverse_polynomial.hpp"

#include "exceptions.hpp"

namespace drovik::py {

UserPdfSampler inverse_polynomial_sampler(const std::shared_ptr<const PyFloatFn>& density, Support interval,
                                          double u_resolution, std::uint64_t order, std::optional<double> center) {
    const InversePolynomialSettings settings{u_resolution, order, center};
    auto built = sampler_from_pdf_inverse_polynomial(UserPdf{density, interval}, interval.lo, interval.hi, settings);
    if (!built) raise(build_error_type(), built.error().display());
    return std::move(*built);
}

std::pair<double, double> inverse_polynomial_u_error(const UserPdfSampler& sampler) {
    const InversePolynomialTable* table = sampler.inverse_polynomial_table();
    if (table == nullptr) not_built_by_polynomial_inversion();
    return table->u_error(DensityRef(sampler.dist().density()));
}

void not_built_by_polynomial_inversion() {
    raise(PyExc_ValueError, "u_error needs a distribution built by from_pdf_inverse_polynomial");
}

}  // namespace drovik::py
