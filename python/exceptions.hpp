// The module's exception classes and the mapping of core errors onto them.
#pragma once

#include <Python.h>

#include "error.hpp"  // the core's error values

namespace drovik::py {

PyObject* build_error_type();
PyObject* sample_error_type();

// Adds BuildError, then SampleError, to the module.
void register_errors(PyObject* module);

}  // namespace drovik::py
