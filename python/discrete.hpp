#pragma once

#include <Python.h>

namespace drovik::py {

// Adds DiscreteDistribution, then from_pmf.
void register_discrete(PyObject* module);

}  // namespace drovik::py
