#pragma once

#include <Python.h>

namespace drovik::py {

// Adds the multivariate classes, then their factories.
void register_multivar(PyObject* module);

}  // namespace drovik::py
