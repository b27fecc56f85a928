// The private entry points of polynomial inversion, behind the public
// functions of drovik._inverse_polynomial:
//
//   dist = _drovik._from_pdf_inverse_polynomial(pdf, interval, u_resolution, order, center)
//   max_error, mean_error = _drovik._u_error(dist)
//
// The continuous family registers them with its distribution object, which
// they build and read.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "callable.hpp"
#include "continuous/sampler.hpp"
#include "toolkit.hpp"

namespace drovik::py {

// The sampler of a Python density inverted through a polynomial table; a
// failed build raises BuildError saying why and what to try.
UserPdfSampler inverse_polynomial_sampler(const std::shared_ptr<const PyFloatFn>& density, Support interval,
                                          double u_resolution, std::uint64_t order, std::optional<double> center);

// (max, mean) u-error of a distribution built by polynomial inversion; any
// other distribution raises ValueError.
std::pair<double, double> inverse_polynomial_u_error(const UserPdfSampler& sampler);
[[noreturn]] void not_built_by_polynomial_inversion();
template <class Sampler>
std::pair<double, double> inverse_polynomial_u_error(const Sampler&) {
    not_built_by_polynomial_inversion();
}

template <class Object>
Object from_pdf_inverse_polynomial(Callable pdf, Support interval, double u_resolution, std::uint64_t order,
                                   std::optional<double> center) {
    auto density = make_float_fn(pdf.object);
    return Object{inverse_polynomial_sampler(density, interval, u_resolution, order, center), {{density}}};
}

template <class Object>
std::pair<double, double> u_error_of(const Object& dist) {
    return dist.visit([](const auto& sampler) { return inverse_polynomial_u_error(sampler); });
}

// Object: the continuous family's distribution object, a sampler variant
// with the callables it holds.
template <class Object>
void register_inverse_polynomial(PyObject* module) {
    static PyMethodDef entries[] = {
        function<"_from_pdf_inverse_polynomial(pdf, interval, u_resolution, order, center)",
                 from_pdf_inverse_polynomial<Object>>(),
        function<"_u_error(dist)", u_error_of<Object>>(),
        {},
    };
    add_private_functions(module, entries);
}

}  // namespace drovik::py
