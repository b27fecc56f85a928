// Method and function trampolines, and the class and module tables they go into.
#pragma once

#include <Python.h>

#include <array>
#include <functional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "toolkit/convert.hpp"
#include "toolkit/instance.hpp"
#include "toolkit/refs.hpp"
#include "toolkit/signature.hpp"

namespace drovik::py {

namespace detail {

template <class F>
struct FnTraits;
template <class R, class... A>
struct FnTraits<R (*)(A...)> {
    using Result = R;
    using Args = std::tuple<A...>;
};

template <class Tuple>
struct SplitSelf;
template <class Head, class... Tail>
struct SplitSelf<std::tuple<Head, Tail...>> {
    using Self = Head;
    using Rest = std::tuple<Tail...>;
};

template <class Args>
struct DecayedTuple;
template <class... A>
struct DecayedTuple<std::tuple<A...>> {
    using type = std::tuple<std::remove_cvref_t<A>...>;
};
template <class Args>
using Decayed = typename DecayedTuple<Args>::type;

template <class Sig, class ArgTuple, std::size_t... I>
ArgTuple convert_arguments(std::span<Ref> bound, std::index_sequence<I...>) {
    // Braced initialisation converts left to right, so the first bad argument is the one reported.
    return ArgTuple{Converter<std::tuple_element_t<I, ArgTuple>>::from_python(bound[I].get(), Sig::params[I].name)...};
}

// Binds and converts the arguments, then runs body(converted) while the bound
// references are still held.
template <class Sig, class ArgTuple, class Body>
PyObject* with_arguments(const char* owner, PyObject* args, PyObject* kwargs, Body&& body) {
    constexpr std::size_t n = std::tuple_size_v<ArgTuple>;
    static_assert(n == Sig::count, "the callable's parameters must match the text signature");
    std::array<Ref, n == 0 ? 1 : n> bound{};
    bind_arguments(owner, Sig::name, Sig::params, Sig::required, args, kwargs, std::span<Ref>(bound.data(), n));
    ArgTuple converted =
        convert_arguments<Sig, ArgTuple>(std::span<Ref>(bound.data(), n), std::make_index_sequence<n>{});
    return body(std::move(converted));
}

template <class F>
PyCFunction as_cfunction(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

template <auto Impl>
using SelfOf = typename SplitSelf<typename FnTraits<decltype(Impl)>::Args>::Self;

template <auto Impl>
using CoreOf = std::remove_cvref_t<SelfOf<Impl>>;

// Runs body(core) on the instance behind self under its borrow.
template <auto Impl, class Body>
PyObject* on_instance(PyObject* self, Borrow borrow, Body&& body) {
    auto* instance = instance_of<CoreOf<Impl>>(self);
    BorrowGuard guard(instance, borrow);
    return body(instance->core());
}

}  // namespace detail

// A method: Impl(const Core&, args...) takes a shared borrow, Impl(Core&, args...) an exclusive one.
template <FixedString SigText, auto Impl>
PyMethodDef method() {
    using Sig = Signature<SigText>;
    using SelfRef = detail::SelfOf<Impl>;
    using Core = detail::CoreOf<Impl>;
    using Rest =
        detail::Decayed<typename detail::SplitSelf<typename detail::FnTraits<decltype(Impl)>::Args>::Rest>;
    static_assert(Sig::is_method, "a method's text signature starts with $self");
    static_assert(std::is_reference_v<SelfRef>, "a method takes its core object by reference");
    constexpr Borrow borrow = std::is_const_v<std::remove_reference_t<SelfRef>> ? Borrow::Shared : Borrow::Exclusive;

    if constexpr (Sig::count == 0) {
        static_assert(std::tuple_size_v<Rest> == 0, "the callable's parameters must match the text signature");
        PyCFunction trampoline = [](PyObject* self, PyObject*) -> PyObject* {
            return guarded([&] {
                return detail::on_instance<Impl>(self, borrow, [](SelfRef core) {
                    return call_to_python([&]() -> decltype(auto) { return Impl(core); });
                });
            });
        };
        return {Sig::c_name.data(), trampoline, METH_NOARGS, Sig::doc.data()};
    } else {
        PyCFunctionWithKeywords trampoline = [](PyObject* self, PyObject* args, PyObject* kwargs) -> PyObject* {
            return guarded([&] {
                return detail::with_arguments<Sig, Rest>(ClassInfo<Core>::name, args, kwargs, [&](Rest&& converted) {
                    return detail::on_instance<Impl>(self, borrow, [&](SelfRef core) {
                        return call_to_python([&]() -> decltype(auto) {
                            return std::apply([&](auto&&... a) { return Impl(core, std::move(a)...); },
                                              std::move(converted));
                        });
                    });
                });
            });
        };
        return {Sig::c_name.data(), detail::as_cfunction(trampoline), METH_VARARGS | METH_KEYWORDS, Sig::doc.data()};
    }
}

// A static method of the class of Owner (no instance involved).
template <class Owner, FixedString SigText, auto Impl>
PyMethodDef static_method() {
    using Sig = Signature<SigText>;
    using Args = detail::Decayed<typename detail::FnTraits<decltype(Impl)>::Args>;
    static_assert(!Sig::is_method, "a static method takes no $self");
    PyCFunctionWithKeywords trampoline = [](PyObject*, PyObject* args, PyObject* kwargs) -> PyObject* {
        return guarded([&] {
            return detail::with_arguments<Sig, Args>(ClassInfo<Owner>::name, args, kwargs, [](Args&& converted) {
                return call_to_python([&]() -> decltype(auto) { return std::apply(Impl, std::move(converted)); });
            });
        });
    };
    return {Sig::c_name.data(), detail::as_cfunction(trampoline), METH_STATIC | METH_VARARGS | METH_KEYWORDS,
            Sig::doc.data()};
}

template <FixedString SigText, auto Impl>
PyMethodDef function() {
    using Sig = Signature<SigText>;
    using Args = detail::Decayed<typename detail::FnTraits<decltype(Impl)>::Args>;
    static_assert(!Sig::is_method, "a module function takes no $self");
    PyCFunctionWithKeywords trampoline = [](PyObject*, PyObject* args, PyObject* kwargs) -> PyObject* {
        return guarded([&] {
            return detail::with_arguments<Sig, Args>(nullptr, args, kwargs, [](Args&& converted) {
                return call_to_python([&]() -> decltype(auto) { return std::apply(Impl, std::move(converted)); });
            });
        });
    };
    return {Sig::c_name.data(), detail::as_cfunction(trampoline), METH_VARARGS | METH_KEYWORDS, Sig::doc.data()};
}

// A read-only property: Impl(const Core&).
template <FixedString Name, auto Impl>
PyGetSetDef property() {
    getter get = [](PyObject* self, void*) -> PyObject* {
        return guarded([&] {
            return detail::on_instance<Impl>(self, Borrow::Shared, [](const auto& core) { return to_python(Impl(core)); });
        });
    };
    return {Name.text, get, nullptr, nullptr, nullptr};
}

// __repr__: Impl(const Core&) -> std::string.
template <auto Impl>
reprfunc repr() {
    return [](PyObject* self) -> PyObject* {
        return guarded([&] {
            return detail::on_instance<Impl>(self, Borrow::Shared, [](const auto& core) { return to_python(Impl(core)); });
        });
    };
}

struct Constructor {
    newfunc create = nullptr;
    const char* doc = nullptr;  // "<Class>(<parameters>)\n--\n\n": the class's text signature
};

// The Python-callable constructor: Impl(args...) -> Core or expected<Core, E>.
template <FixedString SigText, auto Impl>
Constructor constructor() {
    using Sig = Signature<SigText>;
    using Traits = detail::FnTraits<decltype(Impl)>;
    using Args = detail::Decayed<typename Traits::Args>;
    using Result = typename Traits::Result;
    newfunc create = [](PyTypeObject* type, PyObject* args, PyObject* kwargs) -> PyObject* {
        return guarded([&]() -> PyObject* {
            return detail::with_arguments<Sig, Args>(nullptr, args, kwargs, [&](Args&& converted) -> PyObject* {
                Result built = std::apply(Impl, std::move(converted));
                if constexpr (requires { built.error(); }) {
                    if (!built) {
                        set_error(built.error());
                        return nullptr;
                    }
                    return allocate_instance(type, std::move(*built));
                } else {
                    return allocate_instance(type, std::move(built));
                }
            });
        });
    };
    return {create, Sig::doc.data()};
}

// ---------------------------------------------------------------------------
// Classes and the module

// The description of a Python type to create: what add_type turns into the
// slots and the PyType_Spec of a heap type.
struct TypeSlots {
    const char* name;  // short class name, e.g. "DiscreteDistribution"
    std::size_t basic_size;
    destructor dealloc;
    Constructor constructor;  // none: calling the class raises TypeError
    PyMethodDef* methods;     // each table ends with a zeroed entry, or is null
    PyGetSetDef* getters;
    reprfunc repr;
    traverseproc traverse;  // set for classes that hold Python objects
    inquiry clear;
};

// Creates the final, dict-less type "_drovik.<name>" and adds it to the module.
PyTypeObject* add_type(PyObject* module, const TypeSlots& type_slots);

// Binds `name` in the module and appends it to the module's __all__.
void add(PyObject* module, const char* name, PyObject* value);
void add_function(PyObject* module, PyMethodDef* def);
// Adds every function of a table that ends with a zeroed entry.
void add_functions(PyObject* module, PyMethodDef* defs);
// The same for private entry points of the package: set on the module, not listed in __all__.
void add_private_functions(PyObject* module, PyMethodDef* defs);

// One class of the module, declared as a table.
struct ClassTable {
    const char* name;
    Constructor constructor = {};
    PyMethodDef* methods = nullptr;
    PyGetSetDef* getters = nullptr;
    reprfunc repr = nullptr;
};

template <class Core>
void add_class(PyObject* module, const ClassTable& table) {
    static_assert(ModuleClass<Core>::value, "declare the core type a ModuleClass before adding its class");
    ClassInfo<Core>::name = table.name;
    TypeSlots type_slots{table.name,    sizeof(Instance<Core>), &dealloc_instance<Core>, table.constructor,
                         table.methods, table.getters, table.repr, nullptr, nullptr};
    if constexpr (HoldsPythonObjects<Core>) {
        type_slots.traverse = &traverse_instance<Core>;
        type_slots.clear = &clear_instance<Core>;
    }
    ClassInfo<Core>::type = add_type(module, type_slots);
}

template <class Core>
PyObject* new_instance(Core&& core) {
    return allocate_instance(ClassInfo<Core>::type, std::move(core));
}

template <class T>
T Converter<T>::from_python(PyObject* object, std::string_view name) {
    if (Py_TYPE(object) != ClassInfo<T>::type) cannot_convert(object, name, ClassInfo<T>::name);
    auto* instance = instance_of<T>(object);
    BorrowGuard guard(instance, Borrow::Shared);
    return instance->core();
}

}  // namespace drovik::py
