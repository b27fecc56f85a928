// Errors and references: the owned reference type, the pending-Python-error
// unwind, and the guard that every entry point from the interpreter runs in.
#pragma once

#include <Python.h>

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "error.hpp"

namespace drovik {
enum class CopulaError : std::uint8_t;
}

namespace drovik::py {

// A Python error indicator is set; unwind to the entry point, which returns NULL.
struct PythonErrorSet {};

[[noreturn]] void throw_python_error();
[[noreturn]] void raise(PyObject* type, const std::string& message);

// Owned strong reference.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(p); }
    // Steals p; a NULL means the C API failed with a Python error set.
    static Ref checked(PyObject* p) {
        if (p == nullptr) throw_python_error();
        return Ref(p);
    }
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// The internal-error exception class (derived from BaseException).
PyObject* panic_exception_type();

// Sets the Python exception that matches a core error.
void set_error(const BuildError& error);
void set_error(const SampleError& error);
// ValueError with the error value's name.
void set_error(CopulaError error);

void set_panic(const char* message) noexcept;

// Runs an entry point: C++ panics become PanicException, std::bad_alloc
// becomes MemoryError, PythonErrorSet passes the pending Python error on.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const PythonErrorSet&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::exception& panic) {
        set_panic(panic.what());
        return nullptr;
    } catch (...) {
        set_panic("unknown internal error");
        return nullptr;
    }
}

}  // namespace drovik::py
