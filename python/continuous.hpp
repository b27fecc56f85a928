#pragma once

#include <Python.h>

namespace drovik::py {

// Adds Interval, BuildOptions, ContinuousDistribution, then the factories.
void register_continuous(PyObject* module);

}  // namespace drovik::py
