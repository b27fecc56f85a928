// Module entry point: builds _drovik once per process and registers its
// names in inventory order.
#include <Python.h>

#include "continuous.hpp"
#include "discrete.hpp"
#include "exceptions.hpp"
#include "interrupt.hpp"
#include "multivar.hpp"
#include "toolkit.hpp"

namespace drovik::py {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_drovik",
    "",
    -1,  // no per-module state; the module cannot be re-initialised
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

bool module_created = false;

PyObject* init_module() {
    return guarded([]() -> PyObject* {
        if (module_created) {
            // Built for a stable-ABI level that cannot tell sub-interpreters apart.
            raise(PyExc_ImportError, "_drovik may be initialized only once per interpreter process");
        }
        Ref module = Ref::checked(PyModule_Create(&module_def));
        register_errors(module.get());
        register_continuous(module.get());
        register_discrete(module.get());
        register_multivar(module.get());
        // Reachable as drovik.PanicException, but not one of the public names.
        if (PyObject_SetAttrString(module.get(), "PanicException", panic_exception_type()) < 0)
            throw_python_error();
        // Native loops that call no Python code still stop on Ctrl-C.
        set_interrupt_check([] {
            if (PyErr_CheckSignals() < 0) throw PythonErrorSet{};
        });
        module_created = true;
        return module.release();
    });
}

}  // namespace

}  // namespace drovik::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__drovik(void) {
    return drovik::py::init_module();
}
