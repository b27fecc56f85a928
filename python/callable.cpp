#include "callable.hpp"

#include <cmath>

#include "toolkit.hpp"

namespace drovik::py {

PyCallable::PyCallable(PyObject* callable) : callable_(callable) { Py_INCREF(callable); }

PyCallable::~PyCallable() {
    for (PyObject* tuple : spare_tuples_) Py_XDECREF(tuple);
    Py_DECREF(callable_);
}

int Callables::traverse(visitproc visit, void* arg) const {
    for (const auto& callable : items) Py_VISIT(callable->object());
    return 0;
}

namespace {

// Errors that must reach the caller instead of becoming a failure value.
bool must_propagate() {
    return PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) || PyErr_ExceptionMatches(panic_exception_type());
}

std::optional<double> discard_failure() {
    if (must_propagate()) throw_python_error();
    PyErr_Clear();
    return std::nullopt;
}

void put(PyObject* tuple, std::size_t at, Ref item) { PyTuple_SetItem(tuple, static_cast<Py_ssize_t>(at), item.release()); }

}  // namespace

template <class Arguments>
std::optional<double> PyCallable::call(const Arguments& arguments) const {
    std::size_t size = 0;
    if constexpr (std::is_same_v<Arguments, OneFloat> || std::is_same_v<Arguments, FloatList>) size = 1;
    else if constexpr (std::is_same_v<Arguments, IndexAndList>) size = 2;
    else size = arguments.xs.size();

    // Reuse a tuple of the previous calls only when nothing kept it and no call
    // through this adapter is in progress (a re-entrant call, or another thread
    // while the callable let go of the interpreter lock).
    PyObject*& spare = spare_tuples_[size == 1 ? 0 : 1];
    const bool reuse = spare != nullptr && calls_in_progress_ == 0 && Py_REFCNT(spare) == 1 &&
                       static_cast<std::size_t>(PyTuple_Size(spare)) == size;
    // PyTuple_SetItem wants a tuple that nobody else holds: fill it before taking a reference.
    PyObject* raw = reuse ? spare : PyTuple_New(static_cast<Py_ssize_t>(size));
    if (raw == nullptr) throw_python_error();
    Ref new_tuple = reuse ? Ref() : Ref::steal(raw);
    if constexpr (std::is_same_v<Arguments, OneFloat>) {
        put(raw, 0, float_object(arguments.x));
    } else if constexpr (std::is_same_v<Arguments, Floats>) {
        for (std::size_t i = 0; i < size; ++i) put(raw, i, float_object(arguments.xs[i]));
    } else if constexpr (std::is_same_v<Arguments, FloatList>) {
        put(raw, 0, float_list(arguments.xs));
    } else {
        put(raw, 0, int_object(arguments.index));
        put(raw, 1, float_list(arguments.xs));
    }
    Ref tuple = reuse ? Ref::borrow(raw) : std::move(new_tuple);

    ++calls_in_progress_;
    PyObject* result = PyObject_Call(callable_, tuple.get(), nullptr);
    --calls_in_progress_;
    if (!reuse && calls_in_progress_ == 0) {
        Py_XDECREF(spare);
        spare = Ref::borrow(tuple.get()).release();
    }
    if (result == nullptr) return discard_failure();
    const double value = PyFloat_AsDouble(result);
    Py_DECREF(result);
    if (value == -1.0 && PyErr_Occurred()) return discard_failure();
    return value;
}

double PyFloatFn::operator()(double x) const { return call(OneFloat{x}).value_or(NAN); }

double PyNdFn::operator()(std::span<const double> x) const {
    // The attempt order is the same at every evaluation: nothing remembers
    // which form worked.
    if (auto value = call(Floats{x})) return *value;
    return call(FloatList{x}).value_or(NAN);
}

std::expected<double, SampleError> PyPpfFn::operator()(double u) const {
    if (auto value = call(OneFloat{u})) return *value;
    return std::unexpected(SampleError::of(SampleError::Kind::InversionFailed));
}

double PyFactorFn::sample_i(ChachaRng&, std::size_t i, std::span<const double> prefix) const {
    return call(IndexAndList{i, prefix}).value_or(NAN);
}

double PyConditionalCoord::sample_coord(ChachaRng&, std::size_t i, std::span<const double> state) const {
    return call(IndexAndList{i, state}).value_or(NAN);
}

std::shared_ptr<const PyFloatFn> make_float_fn(PyObject* callable) {
    return std::make_shared<const PyFloatFn>(callable);
}

std::shared_ptr<const PyNdFn> make_nd_fn(PyObject* callable, std::size_t dim) {
    return std::make_shared<const PyNdFn>(callable, dim);
}

}  // namespace drovik::py
