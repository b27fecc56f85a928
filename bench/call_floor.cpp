// The floor under every "against the bare calls" ratio of the benchmarks.
//
// The bare loop replays recorded calls whose argument objects already exist.
// A sampler cannot: each of its calls needs new float objects (the limited API
// has no way to change the value of an existing float) and, below 3.12, a
// tuple for PyObject_Call. This module replays the same calls from C paying
// exactly that and nothing else: no random numbers, no sampler, no result
// kept. What it costs over the bare loop is the least any sampler pays.
//
//   packed = call_floor.pack(calls)    # outside the timed span
//   call_floor.replay(f, packed)       # f(*fresh args) for each recorded call
//
// A recorded call is a tuple of floats, or (int, list of floats) as the
// conditional samplers pass them; the replay builds the same shape.
#include <Python.h>

#include <cstring>
#include <vector>

namespace {

// Packed layout, one record per call: kind, item count, then the values.
// Kind 0: floats as separate arguments; kind 1: an int and a list of floats.
struct Packer {
    std::vector<double> values;

    bool add_floats(PyObject* items, double kind) {
        const Py_ssize_t size = PySequence_Size(items);
        if (size < 0) return false;
        values.push_back(kind);
        values.push_back(static_cast<double>(size));
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject* item = PySequence_GetItem(items, i);
            if (item == nullptr) return false;
            const double x = PyFloat_AsDouble(item);
            Py_DECREF(item);
            if (x == -1.0 && PyErr_Occurred()) return false;
            values.push_back(x);
        }
        return true;
    }

    bool add(PyObject* call) {
        if (PyTuple_Size(call) == 2 && PyLong_Check(PyTuple_GetItem(call, 0)) &&
            PyList_Check(PyTuple_GetItem(call, 1))) {
            const double index = static_cast<double>(PyLong_AsLong(PyTuple_GetItem(call, 0)));
            if (!add_floats(PyTuple_GetItem(call, 1), 1.0)) return false;
            values.push_back(index);
            return true;
        }
        return add_floats(call, 0.0);
    }
};

PyObject* pack(PyObject*, PyObject* calls) {
    PyObject* iterator = PyObject_GetIter(calls);
    if (iterator == nullptr) return nullptr;
    Packer packer;
    while (PyObject* call = PyIter_Next(iterator)) {
        const bool ok = PyTuple_Check(call) && packer.add(call);
        Py_DECREF(call);
        if (!ok) {
            Py_DECREF(iterator);
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a recorded call must be a tuple");
            return nullptr;
        }
    }
    Py_DECREF(iterator);
    if (PyErr_Occurred()) return nullptr;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(packer.values.data()),
                                     static_cast<Py_ssize_t>(packer.values.size() * sizeof(double)));
}

PyObject* float_list(const double* xs, Py_ssize_t size) {
    PyObject* list = PyList_New(size);
    if (list == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* x = PyFloat_FromDouble(xs[i]);
        if (x == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SetItem(list, i, x);
    }
    return list;
}

// Fills a tuple that nobody else holds; a new one when the last call kept it.
PyObject* arguments(PyObject*& spare, const double* record, const double*& next) {
    const bool index_and_list = record[0] == 1.0;
    const auto size = static_cast<Py_ssize_t>(record[1]);
    const double* xs = record + 2;
    next = xs + size + (index_and_list ? 1 : 0);
    const Py_ssize_t arity = index_and_list ? 2 : size;
    if (spare == nullptr || Py_REFCNT(spare) != 1 || PyTuple_Size(spare) != arity) {
        Py_XDECREF(spare);
        spare = PyTuple_New(arity);
        if (spare == nullptr) return nullptr;
    }
    if (index_and_list) {
        PyObject* index = PyLong_FromLong(static_cast<long>(xs[size]));
        PyObject* list = index == nullptr ? nullptr : float_list(xs, size);
        if (list == nullptr) {
            Py_XDECREF(index);
            return nullptr;
        }
        PyTuple_SetItem(spare, 0, index);
        PyTuple_SetItem(spare, 1, list);
    } else {
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject* x = PyFloat_FromDouble(xs[i]);
            if (x == nullptr) return nullptr;
            PyTuple_SetItem(spare, i, x);
        }
    }
    return spare;
}

PyObject* replay(PyObject*, PyObject* args) {
    PyObject* function = nullptr;
    PyObject* packed = nullptr;
    if (!PyArg_ParseTuple(args, "OO!", &function, &PyBytes_Type, &packed)) return nullptr;
    char* data = nullptr;
    Py_ssize_t length = 0;
    if (PyBytes_AsStringAndSize(packed, &data, &length) < 0) return nullptr;
    std::vector<double> values(static_cast<std::size_t>(length) / sizeof(double));
    std::memcpy(values.data(), data, values.size() * sizeof(double));
    PyObject* spare = nullptr;
    const double* end = values.data() + values.size();
    for (const double* record = values.data(); record < end;) {
        PyObject* tuple = arguments(spare, record, record);
        if (tuple == nullptr) break;
        PyObject* result = PyObject_Call(function, tuple, nullptr);
        if (result == nullptr) break;
        // Converted like a sampler converts it, then dropped.
        const double value = PyFloat_AsDouble(result);
        Py_DECREF(result);
        if (value == -1.0 && PyErr_Occurred()) break;
    }
    Py_XDECREF(spare);
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"pack", pack, METH_O, "pack(calls) -> bytes: recorded argument tuples, packed for replay()"},
    {"replay", replay, METH_VARARGS, "replay(f, packed): f called once per packed call with fresh arguments"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "call_floor", "The floor of calling Python from C.", -1, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_call_floor() { return PyModule_Create(&module); }
