// The module's exception classes and the mapping of core errors onto them.
#pragma once

#include <Python.h>

#include <string_view>

#include "continuous/options.hpp"
#include "error.hpp"  // the core's error values

namespace drovik::py {

PyObject* build_error_type();
PyObject* sample_error_type();

// "log" -> Log; "inv_sqrt", "inv-sqrt", "invsqrt" -> InvSqrt, ASCII case folded;
// anything else raises ValueError.
TdrTransform parse_tdr_transform(std::string_view text);

// Adds BuildError, then SampleError, to the module.
void register_errors(PyObject* module);

}  // namespace drovik::py
