#include "exceptions.hpp"

#include "multivar/copula.hpp"

#include "toolkit.hpp"

namespace drovik::py {

namespace {

PyObject* new_exception_class(const char* qualified_name) {
    PyObject* type = PyErr_NewExceptionWithDoc(qualified_name, nullptr, PyExc_RuntimeError, nullptr);
    if (type == nullptr) {
        PyErr_Clear();
        throw Panic("Failed to initialize new exception type.");
    }
    return type;
}

void set_exception(PyObject* type, const std::string& text) {
    Ref message = Ref::checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    PyErr_SetObject(type, message.get());
}

}  // namespace

PyObject* build_error_type() {
    static PyObject* type = new_exception_class("_drovik.BuildErrorPy");
    return type;
}

PyObject* sample_error_type() {
    static PyObject* type = new_exception_class("_drovik.SampleErrorPy");
    return type;
}

void set_error(const BuildError& error) { set_exception(build_error_type(), error.display()); }
void set_error(const SampleError& error) { set_exception(sample_error_type(), error.display()); }
void set_error(CopulaError error) { PyErr_SetString(PyExc_ValueError, copula_error_name(error)); }

void register_errors(PyObject* module) {
    add(module, "BuildError", build_error_type());
    add(module, "SampleError", sample_error_type());
}

}  // namespace drovik::py
