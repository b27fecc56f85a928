// Adapters through which the core calls user Python functions.
//
// A failing call never raises into the core: the Python error is discarded
// and the core sees NaN. Two errors are not discarded, because discarding
// them would hide what the user asked for: KeyboardInterrupt (Ctrl-C must
// stop a long computation, not turn into a NaN) and PanicException. Those
// unwind through the core as PythonErrorSet and the call raises them.
#pragma once

#include <Python.h>

#include <memory>

#include "continuous/interfaces.hpp"

namespace drovik::py {

// Holds one strong reference to a Python object; the owning instance reports
// it to the cycle collector.
class PyCallable {
public:
    explicit PyCallable(PyObject* callable);
    virtual ~PyCallable();
    PyCallable(const PyCallable&) = delete;
    PyCallable& operator=(const PyCallable&) = delete;

    PyObject* object() const { return callable_; }

protected:
    // Calls the object with one float argument; the result converted to
    // double, or NaN on a discarded failure.
    double call_with_float(double x) const;

private:
    PyObject* callable_;
    // Reused for the next call when nothing else kept a reference to it.
    mutable PyObject* arguments_ = nullptr;
    // Calls through this adapter that have not returned: re-entrant ones, or
    // other threads' while the callable let go of the interpreter lock.
    mutable int calls_in_progress_ = 0;
};

// f(x) -> float: a density, distribution function, derivative or integrand.
class PyFloatFn final : public PyCallable, public RealFunction {
public:
    using PyCallable::PyCallable;
    double operator()(double x) const override { return call_with_float(x); }
};

std::shared_ptr<const PyFloatFn> make_float_fn(PyObject* callable);

}  // namespace drovik::py
