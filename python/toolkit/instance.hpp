// Instances: the core object lives inside the Python object, with its borrow
// flag, its creating thread (for thread-bound classes) and its state word.
#pragma once

#include <Python.h>

#include <concepts>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "toolkit/refs.hpp"

namespace drovik::py {

enum class Borrow { Shared, Exclusive };

struct InstanceHeader {
    PyObject_HEAD
    // > 0: that many shared borrows; -1: borrowed exclusively.
    std::int32_t borrow;
    // Whether the core object lives in the storage; the zeroed memory of an
    // object allocated past its factory reads as never constructed.
    enum class State : std::uint8_t { NeverConstructed, Ready, Cleared } state;
    // The creating thread of a thread-bound class; 0 for the others.
    unsigned long owner_thread;
};

template <class Core>
struct Instance : InstanceHeader {
    alignas(Core) unsigned char storage[sizeof(Core)];
    Core& core() { return *std::launder(reinterpret_cast<Core*>(storage)); }
};

template <class Core>
Instance<Core>* instance_of(PyObject* self) {
    return reinterpret_cast<Instance<Core>*>(self);
}

// Taken by every entry point on an instance: refuses a thread-bound instance
// on another thread (a panic), then takes the borrow.
class BorrowGuard {
public:
    BorrowGuard(InstanceHeader* instance, Borrow kind);
    ~BorrowGuard();
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;

private:
    InstanceHeader* instance_;
    Borrow kind_;
};

class PyCallable;

// The user callables a core object keeps alive, reported to the cycle
// collector. A class whose core value has a member `callables` of this type
// joins the collector; no class writes its own traverse.
struct Callables {
    std::vector<std::shared_ptr<const PyCallable>> items;
    int traverse(visitproc visit, void* arg) const;
};

template <class Core>
concept HoldsPythonObjects = requires(const Core& core) {
    { core.callables } -> std::convertible_to<const Callables&>;
};

// A class whose core value declares `static constexpr bool thread_bound = true`
// may be used only on the thread that created it.
template <class Core>
concept ThreadBound = requires { requires Core::thread_bound; };

unsigned long current_thread();

// Reports through the unraisable hook that an instance of `type` is dropped on
// a thread other than its own, so it is leaked instead of destroyed.
void report_foreign_drop(PyTypeObject* type);

template <class Core>
PyObject* allocate_instance(PyTypeObject* type, Core&& core) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Ref object = Ref::checked(alloc(type, 0));
    auto* instance = instance_of<Core>(object.get());
    instance->borrow = 0;
    instance->owner_thread = 0;
    if constexpr (ThreadBound<Core>) instance->owner_thread = current_thread();
    new (instance->storage) Core(std::move(core));
    instance->state = InstanceHeader::State::Ready;
    return object.release();
}

template <class Core>
void destroy_core(Instance<Core>* instance) {
    if (instance->state == InstanceHeader::State::Ready) {
        instance->state = InstanceHeader::State::Cleared;
        instance->core().~Core();
    }
}

template <class Core>
void dealloc_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if constexpr (HoldsPythonObjects<Core>) PyObject_GC_UnTrack(self);
    auto* instance = instance_of<Core>(self);
    if (instance->owner_thread != 0 && instance->owner_thread != current_thread()) report_foreign_drop(type);
    else destroy_core(instance);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

template <class Core>
int traverse_instance(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    auto* instance = instance_of<Core>(self);
    if (instance->state != InstanceHeader::State::Ready) return 0;
    return instance->core().callables.traverse(visit, arg);
}

template <class Core>
int clear_instance(PyObject* self) {
    // Dropping the core releases the Python objects it holds, which breaks the cycle.
    // A thread-bound instance is cleared only on its own thread.
    auto* instance = instance_of<Core>(self);
    if (instance->owner_thread != 0 && instance->owner_thread != current_thread()) return 0;
    destroy_core(instance);
    return 0;
}

}  // namespace drovik::py
