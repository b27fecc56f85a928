// Adapters through which the core calls user Python functions.
//
// A failing call never raises into the core: the Python error is discarded
// and the core sees NaN (or its own failure value). Two errors are not
// discarded, because discarding them would hide what the user asked for:
// KeyboardInterrupt (Ctrl-C must stop a long computation, not turn into a
// NaN) and PanicException. Those unwind through the core as PythonErrorSet
// and the call raises them.
//
// Every adapter calls through one path (PyCallable::call): fresh argument
// objects on each call, the argument tuple reused only when nobody kept it.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>

#include "continuous/interfaces.hpp"
#include "multivar/copula.hpp"
#include "multivar/factor.hpp"
#include "multivar/gibbs.hpp"
#include "multivar/support.hpp"

namespace drovik::py {

// Holds one strong reference to a Python object; the owning instance reports
// it to the cycle collector through its Callables.
class PyCallable {
public:
    explicit PyCallable(PyObject* callable);
    virtual ~PyCallable();
    PyCallable(const PyCallable&) = delete;
    PyCallable& operator=(const PyCallable&) = delete;

    PyObject* object() const { return callable_; }

protected:
    // The shapes of argument lists the adapters pass.
    struct OneFloat {
        double x;
    };
    struct Floats {
        std::span<const double> xs;  // as separate float arguments
    };
    struct FloatList {
        std::span<const double> xs;  // as one new list
    };
    struct IndexAndList {
        std::size_t index;
        std::span<const double> xs;
    };

    // Calls the object; the result converted to double, or nullopt when the
    // call raised or its result did not convert (the error discarded).
    template <class Arguments>
    std::optional<double> call(const Arguments& arguments) const;

private:
    PyObject* callable_;
    // Argument tuples kept for reuse: one of one item, one of any other size.
    mutable std::array<PyObject*, 2> spare_tuples_{};
    // Calls through this adapter that have not returned: re-entrant ones, or
    // other threads' while the callable let go of the interpreter lock.
    mutable int calls_in_progress_ = 0;
};

// f(x) -> float: a density, distribution function, derivative or integrand.
class PyFloatFn final : public PyCallable, public RealFunction {
public:
    using PyCallable::PyCallable;
    double operator()(double x) const override;
};

// f(x0, ..., x_{d-1}) -> float, else f([x0, ..., x_{d-1}]): a multivariate density.
class PyNdFn final : public PyCallable, public NdFunction {
public:
    PyNdFn(PyObject* callable, std::size_t dim) : PyCallable(callable), dim_(dim) {}
    double operator()(std::span<const double> x) const override;
    std::size_t dim() const { return dim_; }

private:
    std::size_t dim_;
};

// ppf(u) -> float; a failing call or an unconvertible result is InversionFailed.
class PyPpfFn final : public PyCallable, public QuantileFunction {
public:
    using PyCallable::PyCallable;
    std::expected<double, SampleError> operator()(double u) const override;
};

// sample_i(i, [x0, ..., x_{i-1}]) -> float. The generator is not used: the
// user's function draws its own randomness.
class PyFactorFn final : public PyCallable, public ConditionalFactorization {
public:
    PyFactorFn(PyObject* callable, std::size_t dim) : PyCallable(callable), dim_(dim) {}
    std::size_t dimension() const override { return dim_; }
    double sample_i(ChachaRng& rng, std::size_t i, std::span<const double> prefix) const override;

private:
    std::size_t dim_;
};

// sample_coord(i, [x0, ..., x_{d-1}]) -> float, the generator not used either.
class PyConditionalCoord final : public PyCallable, public ConditionalSampler {
public:
    using PyCallable::PyCallable;
    double sample_coord(ChachaRng& rng, std::size_t i, std::span<const double> state) const override;
};

std::shared_ptr<const PyFloatFn> make_float_fn(PyObject* callable);
std::shared_ptr<const PyNdFn> make_nd_fn(PyObject* callable, std::size_t dim);

}  // namespace drovik::py
