#include "callable.hpp"

#include <cmath>

#include "toolkit.hpp"

namespace drovik::py {

PyCallable::PyCallable(PyObject* callable) : callable_(callable) { Py_INCREF(callable); }

PyCallable::~PyCallable() {
    Py_XDECREF(arguments_);
    Py_DECREF(callable_);
}

namespace {

// Errors that must reach the caller instead of becoming a NaN.
bool must_propagate() {
    return PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) || PyErr_ExceptionMatches(panic_exception_type());
}

double discard_failure() {
    if (must_propagate()) throw_python_error();
    PyErr_Clear();
    return NAN;
}

}  // namespace

double PyCallable::call_with_float(double x) const {
    Ref argument = Ref::checked(PyFloat_FromDouble(x));
    // Reuse the tuple of the previous call only when nothing kept it and no call
    // through this adapter is in progress (a re-entrant call, or another thread
    // while the callable let go of the interpreter lock).
    const bool reuse = arguments_ != nullptr && calls_in_progress_ == 0 && Py_REFCNT(arguments_) == 1;
    // PyTuple_SetItem wants a tuple that nobody else holds: fill it before taking a reference.
    PyObject* fresh = reuse ? arguments_ : PyTuple_New(1);
    if (fresh == nullptr) throw_python_error();
    PyTuple_SetItem(fresh, 0, argument.release());
    Ref tuple = reuse ? Ref::borrow(fresh) : Ref::steal(fresh);
    ++calls_in_progress_;
    PyObject* result = PyObject_Call(callable_, tuple.get(), nullptr);
    --calls_in_progress_;
    if (!reuse && calls_in_progress_ == 0) {
        Py_XDECREF(arguments_);
        arguments_ = Ref::borrow(tuple.get()).release();
    }
    if (result == nullptr) return discard_failure();
    const double value = PyFloat_AsDouble(result);
    Py_DECREF(result);
    if (value == -1.0 && PyErr_Occurred()) return discard_failure();
    return value;
}

std::shared_ptr<const PyFloatFn> make_float_fn(PyObject* callable) {
    return std::make_shared<const PyFloatFn>(callable);
}

}  // namespace drovik::py
