// The binding toolkit: every class and function of the module is declared as
// a table of text signatures and plain C++ callables; this file turns those
// tables into type objects and does argument binding, conversion, borrow
// flags, result conversion and the panic guard in one place.
//
// A method is `method<"name($self, a, b=None)", impl>()`, where impl takes the
// core object (const& for a shared borrow, & for an exclusive one) followed
// by one parameter per signature parameter; a module function is
// `function<"name(a, b)", impl>()`. The parameter's C++ type is its conversion
// kind (double, std::uint64_t, std::uint32_t, bool, std::string, std::optional<T>,
// Sequence, Callable, or a module class such as Interval); the result's type
// picks its conversion back. A class is one ClassTable: its name, constructor
// (or none), methods, properties and __repr__; add_class builds the type.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <expected>
#include <functional>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "error.hpp"
#include "random/rng.hpp"

namespace drovik::py {

// ---------------------------------------------------------------------------
// References and the error boundary

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

// ---------------------------------------------------------------------------
// Text signatures, parsed at compile time

template <std::size_t N>
struct FixedString {
    char text[N]{};
    constexpr FixedString(const char (&s)[N]) { std::copy_n(s, N, text); }
    constexpr std::string_view view() const { return {text, N - 1}; }
};

struct ParamSpec {
    std::string_view name;
    std::string_view default_literal;  // empty: required
    constexpr bool has_default() const { return !default_literal.empty(); }
};

namespace detail {

constexpr std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

constexpr std::string_view parameter_list(std::string_view sig) {
    const auto open = sig.find('(');
    return sig.substr(open + 1, sig.size() - open - 2);
}

// Splits "a, b=None" into its parameters, skipping "$self".
template <std::size_t Max>
struct ParamList {
    std::array<ParamSpec, Max> items{};
    std::size_t count = 0;
    bool has_self = false;
};

template <std::size_t Max>
constexpr ParamList<Max> split_parameters(std::string_view list) {
    ParamList<Max> out;
    while (!trim(list).empty()) {
        const auto comma = list.find(',');
        std::string_view item = trim(list.substr(0, comma));
        list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
        if (item == "$self") {
            out.has_self = true;
            continue;
        }
        const auto eq = item.find('=');
        ParamSpec spec{trim(item.substr(0, eq)), {}};
        if (eq != std::string_view::npos) spec.default_literal = trim(item.substr(eq + 1));
        out.items[out.count++] = spec;
    }
    return out;
}

constexpr std::size_t count_parameters(std::string_view list) {
    return split_parameters<32>(list).count;
}

}  // namespace detail

template <FixedString Sig>
struct Signature {
    static constexpr std::string_view text = Sig.view();
    static constexpr std::string_view name = text.substr(0, text.find('('));
    static constexpr std::size_t count = detail::count_parameters(detail::parameter_list(text));
    static constexpr auto parsed = detail::split_parameters<count == 0 ? 1 : count>(detail::parameter_list(text));
    static constexpr bool is_method = parsed.has_self;
    static constexpr std::span<const ParamSpec> params{parsed.items.data(), count};

    static constexpr std::size_t required = [] {
        std::size_t n = 0;
        for (std::size_t i = 0; i < count; ++i) n += parsed.items[i].has_default() ? 0 : 1;
        return n;
    }();

    // Null-terminated copies for the C API: the name, and the docstring
    // "<signature>\n--\n\n" from which the interpreter derives __text_signature__.
    static constexpr auto c_name = [] {
        std::array<char, name.size() + 1> out{};
        std::copy(name.begin(), name.end(), out.begin());
        return out;
    }();
    static constexpr auto doc = [] {
        constexpr std::string_view tail = "\n--\n\n";
        std::array<char, text.size() + tail.size() + 1> out{};
        std::copy(text.begin(), text.end(), out.begin());
        std::copy(tail.begin(), tail.end(), out.begin() + text.size());
        return out;
    }();

    static_assert(text.back() == ')', "a text signature must end with ')'");
    static_assert([] {
        bool seen_default = false;
        for (std::size_t i = 0; i < count; ++i) {
            if (parsed.items[i].has_default()) seen_default = true;
            else if (seen_default) return false;
        }
        return true;
    }(), "parameters with defaults must come last");
};

// ---------------------------------------------------------------------------
// Argument binding and conversion

// Binds positional and keyword arguments to the parameters, with the
// interpreter's rules and messages; `display` is "name()" or "Class.name()".
// Defaults are filled in from their literals (borrowed references to
// immortal-for-our-purposes singletons or cached constants).
void bind_arguments(std::string_view display, std::span<const ParamSpec> params, std::size_t required,
                    PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

// Re-raises a pending TypeError as TypeError("argument '<name>': <message>")
// with the first error as its cause; any other pending error passes unchanged.
[[noreturn]] void argument_error(std::string_view name);

std::string type_name(PyObject* object);

// A `list`, a `tuple` or a `collections.abc.Sequence`, checked at binding
// time and read later (all arguments are checked before any is read).
struct Sequence {
    PyObject* object;  // borrowed from the argument tuple
};

// Iterates any iterable and converts each item to double; the item's own
// conversion error propagates unchanged.
std::vector<double> extract_f64_list(PyObject* iterable);

// Any object, taken as it is; nothing is checked until it is called.
struct Callable {
    PyObject* object;  // borrowed from the argument tuple
};

// The class registered for a core type, filled in when the class is added.
template <class Core>
struct ClassInfo {
    static inline const char* name = nullptr;
    static inline PyTypeObject* type = nullptr;
};

[[noreturn]] void cannot_convert(PyObject* object, std::string_view name, std::string_view target);

// Module classes: an instance of exactly the class, its core value copied.
template <class T>
struct Converter {
    static T from_python(PyObject* object, std::string_view name);
};

template <>
struct Converter<double> {
    static double from_python(PyObject* object, std::string_view name) {
        const double value = PyFloat_AsDouble(object);
        if (value == -1.0 && PyErr_Occurred()) argument_error(name);
        return value;
    }
};

template <>
struct Converter<std::uint64_t> {
    static std::uint64_t from_python(PyObject* object, std::string_view name);
};

template <class T>
struct Converter<std::optional<T>> {
    static std::optional<T> from_python(PyObject* object, std::string_view name) {
        if (object == Py_None) return std::nullopt;
        return Converter<T>::from_python(object, name);
    }
};

template <>
struct Converter<std::uint32_t> {
    static std::uint32_t from_python(PyObject* object, std::string_view name);
};

template <>
struct Converter<bool> {
    static bool from_python(PyObject* object, std::string_view name);
};

template <>
struct Converter<std::string> {
    static std::string from_python(PyObject* object, std::string_view name);
};

template <>
struct Converter<Sequence> {
    static Sequence from_python(PyObject* object, std::string_view name);
};

template <>
struct Converter<Callable> {
    static Callable from_python(PyObject* object, std::string_view) { return {object}; }
};

// ---------------------------------------------------------------------------
// Result conversion

Ref float_object(double value);
Ref int_object(std::uint64_t value);
Ref float_list(std::span<const double> values);

// Builds a list of n floats without an intermediate buffer of n doubles:
// `fill(span, rng)` writes each chunk; the list is allocated first, so a
// count that cannot be held fails with MemoryError before any draw.
// Ctrl-C is honoured between chunks.
void check_interrupt();

template <class Fill>
Ref sampled_float_list(std::uint64_t n, Fill&& fill) {
    if (n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        throw_python_error();
    }
    Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(n)));
    // Draws may run Python code (a user density) that could find the half-filled
    // list through the cycle collector; keep it out of sight until it is whole.
    PyObject_GC_UnTrack(list.get());
    constexpr std::size_t chunk = 2048;
    double buffer[chunk];
    for (std::uint64_t start = 0; start < n; start += chunk) {
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, n - start));
        auto filled = fill(std::span<double>(buffer, count));
        if (!filled) {
            set_error(filled.error());
            throw_python_error();
        }
        for (std::size_t i = 0; i < count; ++i) {
            PyObject* item = PyFloat_FromDouble(buffer[i]);
            if (item == nullptr) throw_python_error();
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(start + i), item);
        }
        check_interrupt();
    }
    PyObject_GC_Track(list.get());
    return list;
}

// Runs `body(rng)` on a fresh seeded generator, or on this thread's generator.
template <class Body>
decltype(auto) with_rng(std::optional<std::uint64_t> seed, Body&& body) {
    if (seed) {
        SeededRng rng(*seed);
        return body(static_cast<ChachaRng&>(rng));
    }
    return body(static_cast<ChachaRng&>(ThreadRng::current()));
}

// n draws of a sampler as a list, from a seeded generator or this thread's.
template <class Sampler>
Ref sample_list(const Sampler& sampler, std::uint64_t n, std::optional<std::uint64_t> seed) {
    return with_rng(seed, [&](ChachaRng& rng) {
        return sampled_float_list(n, [&](std::span<double> chunk) { return sampler.sample_into(chunk, rng); });
    });
}

template <class Core>
PyObject* new_instance(Core&& core);

template <class T>
PyObject* to_python(T&& value) {
    using V = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<V, Ref>) {
        return value.release();
    } else if constexpr (std::is_same_v<V, bool>) {
        return Ref::borrow(value ? Py_True : Py_False).release();
    } else if constexpr (std::is_same_v<V, double>) {
        return float_object(value).release();
    } else if constexpr (std::is_same_v<V, std::string>) {
        return Ref::checked(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()))).release();
    } else if constexpr (requires { value.has_value(); value.value(); typename V::value_type; } &&
                         !requires { value.error(); }) {
        if (!value) return Ref::borrow(Py_None).release();
        return to_python(std::move(*value));
    } else if constexpr (std::is_same_v<V, std::uint64_t> || std::is_same_v<V, std::size_t>) {
        return int_object(value).release();
    } else if constexpr (std::is_same_v<V, std::pair<double, double>>) {
        Ref first = float_object(value.first);
        Ref second = float_object(value.second);
        return Ref::checked(PyTuple_Pack(2, first.get(), second.get())).release();
    } else if constexpr (std::is_same_v<V, std::vector<double>>) {
        return float_list(value).release();
    } else if constexpr (requires { value.has_value(); value.error(); }) {
        if (!value) {
            set_error(value.error());
            return nullptr;
        }
        return to_python(std::move(*value));
    } else {
        return new_instance<V>(std::move(value));
    }
}

// ---------------------------------------------------------------------------
// Instances: the core object lives inside the Python object

enum class Borrow { Shared, Exclusive };

struct InstanceHeader {
    PyObject_HEAD
    // > 0: that many shared borrows; -1: borrowed exclusively.
    std::int32_t borrow;
    // False once the cycle collector has cleared the core object.
    bool ready;
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

// Core types that hold Python objects report them to the cycle collector.
template <class Core>
concept HoldsPythonObjects = requires(const Core& core, visitproc visit, void* arg) {
    { core.traverse(visit, arg) } -> std::same_as<int>;
};

template <class Core>
PyObject* allocate_instance(PyTypeObject* type, Core&& core) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Ref object = Ref::checked(alloc(type, 0));
    auto* instance = instance_of<Core>(object.get());
    instance->borrow = 0;
    new (instance->storage) Core(std::move(core));
    instance->ready = true;
    return object.release();
}

template <class Core>
PyObject* new_instance(Core&& core) {
    return allocate_instance(ClassInfo<Core>::type, std::move(core));
}

template <class Core>
void destroy_core(Instance<Core>* instance) {
    if (instance->ready) {
        instance->ready = false;
        instance->core().~Core();
    }
}

template <class Core>
void dealloc_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if constexpr (HoldsPythonObjects<Core>) PyObject_GC_UnTrack(self);
    destroy_core(instance_of<Core>(self));
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

template <class Core>
int traverse_instance(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    auto* instance = instance_of<Core>(self);
    if (!instance->ready) return 0;
    return instance->core().traverse(visit, arg);
}

template <class Core>
int clear_instance(PyObject* self) {
    // Dropping the core releases the Python objects it holds, which breaks the cycle.
    destroy_core(instance_of<Core>(self));
    return 0;
}

// ---------------------------------------------------------------------------
// Method and function trampolines

namespace detail {

template <class F>
struct FnTraits;
template <class R, class... A>
struct FnTraits<R (*)(A...)> {
    using Result = R;
    using Args = std::tuple<A...>;
};

template <class Tuple>
struct TailOf;
template <class Head, class... Tail>
struct TailOf<std::tuple<Head, Tail...>> {
    using Self = Head;
    using Rest = std::tuple<Tail...>;
};

template <class Args>
using Decayed = decltype(std::apply([](auto... a) { return std::tuple<std::remove_cvref_t<decltype(a)>...>{}; },
                                    std::declval<Args>()));

template <class Sig>
std::string display_name(const char* owner) {
    std::string out;
    if (owner != nullptr) {
        out += owner;
        out += '.';
    }
    out += Sig::name;
    out += "()";
    return out;
}

template <class Sig, class ArgTuple, std::size_t... I>
ArgTuple convert_arguments(std::span<PyObject*> bound, std::index_sequence<I...>) {
    // Braced initialisation converts left to right, so the first bad argument is the one reported.
    return ArgTuple{Converter<std::tuple_element_t<I, ArgTuple>>::from_python(bound[I], Sig::params[I].name)...};
}

template <class Sig, class ArgTuple>
ArgTuple bind_and_convert(const char* owner, PyObject* args, PyObject* kwargs) {
    constexpr std::size_t n = std::tuple_size_v<ArgTuple>;
    static_assert(n == Sig::count, "the callable's parameters must match the text signature");
    std::array<PyObject*, n == 0 ? 1 : n> bound{};
    bind_arguments(display_name<Sig>(owner), Sig::params, Sig::required, args, kwargs,
                   std::span<PyObject*>(bound.data(), n));
    return convert_arguments<Sig, ArgTuple>(std::span<PyObject*>(bound.data(), n), std::make_index_sequence<n>{});
}

template <class F>
PyCFunction as_cfunction(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace detail

// A method: Impl(const Core&, args...) takes a shared borrow, Impl(Core&, args...) an exclusive one.
template <FixedString SigText, auto Impl>
PyMethodDef method() {
    using Sig = Signature<SigText>;
    using Traits = detail::FnTraits<decltype(Impl)>;
    using SelfRef = typename detail::TailOf<typename Traits::Args>::Self;
    using Core = std::remove_cvref_t<SelfRef>;
    using Rest = detail::Decayed<typename detail::TailOf<typename Traits::Args>::Rest>;
    static_assert(Sig::is_method, "a method's text signature starts with $self");
    static_assert(std::is_reference_v<SelfRef>, "a method takes its core object by reference");
    constexpr Borrow borrow = std::is_const_v<std::remove_reference_t<SelfRef>> ? Borrow::Shared : Borrow::Exclusive;

    if constexpr (Sig::count == 0) {
        static_assert(std::tuple_size_v<Rest> == 0, "the callable's parameters must match the text signature");
        PyCFunction trampoline = [](PyObject* self, PyObject*) -> PyObject* {
            return guarded([&] {
                auto* instance = instance_of<Core>(self);
                BorrowGuard guard(instance, borrow);
                return to_python(Impl(instance->core()));
            });
        };
        return {Sig::c_name.data(), trampoline, METH_NOARGS, Sig::doc.data()};
    } else {
        PyCFunctionWithKeywords trampoline = [](PyObject* self, PyObject* args, PyObject* kwargs) -> PyObject* {
            return guarded([&] {
                auto converted = detail::bind_and_convert<Sig, Rest>(ClassInfo<Core>::name, args, kwargs);
                auto* instance = instance_of<Core>(self);
                BorrowGuard guard(instance, borrow);
                return to_python(std::apply(
                    [&](auto&&... a) { return Impl(instance->core(), std::move(a)...); }, std::move(converted)));
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
            auto converted = detail::bind_and_convert<Sig, Args>(ClassInfo<Owner>::name, args, kwargs);
            return to_python(std::apply(Impl, std::move(converted)));
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
            auto converted = detail::bind_and_convert<Sig, Args>(nullptr, args, kwargs);
            return to_python(std::apply(Impl, std::move(converted)));
        });
    };
    return {Sig::c_name.data(), detail::as_cfunction(trampoline), METH_VARARGS | METH_KEYWORDS, Sig::doc.data()};
}

// A read-only property: Impl(const Core&).
template <FixedString Name, auto Impl>
PyGetSetDef property() {
    using SelfRef = typename detail::TailOf<typename detail::FnTraits<decltype(Impl)>::Args>::Self;
    using Core = std::remove_cvref_t<SelfRef>;
    getter get = [](PyObject* self, void*) -> PyObject* {
        return guarded([&] {
            auto* instance = instance_of<Core>(self);
            BorrowGuard guard(instance, Borrow::Shared);
            return to_python(Impl(instance->core()));
        });
    };
    return {Name.text, get, nullptr, nullptr, nullptr};
}

// __repr__: Impl(const Core&) -> std::string.
template <auto Impl>
reprfunc repr() {
    using SelfRef = typename detail::TailOf<typename detail::FnTraits<decltype(Impl)>::Args>::Self;
    using Core = std::remove_cvref_t<SelfRef>;
    return [](PyObject* self) -> PyObject* {
        return guarded([&] {
            auto* instance = instance_of<Core>(self);
            BorrowGuard guard(instance, Borrow::Shared);
            return to_python(Impl(instance->core()));
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
            auto converted = detail::bind_and_convert<Sig, Args>(nullptr, args, kwargs);
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
    };
    return {create, Sig::doc.data()};
}

// ---------------------------------------------------------------------------
// Classes and the module

struct TypeParts {
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
PyTypeObject* add_type(PyObject* module, const TypeParts& parts);

// Binds `name` in the module and appends it to the module's __all__.
void add(PyObject* module, const char* name, PyObject* value);
void add_function(PyObject* module, PyMethodDef* def);

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
    ClassInfo<Core>::name = table.name;
    TypeParts parts{table.name, sizeof(Instance<Core>), &dealloc_instance<Core>, table.constructor,
                    table.methods, table.getters, table.repr, nullptr, nullptr};
    if constexpr (HoldsPythonObjects<Core>) {
        parts.traverse = &traverse_instance<Core>;
        parts.clear = &clear_instance<Core>;
    }
    ClassInfo<Core>::type = add_type(module, parts);
}

template <class T>
T Converter<T>::from_python(PyObject* object, std::string_view name) {
    if (Py_TYPE(object) != ClassInfo<T>::type) cannot_convert(object, name, ClassInfo<T>::name);
    auto* instance = instance_of<T>(object);
    BorrowGuard guard(instance, Borrow::Shared);
    return instance->core();
}

}  // namespace drovik::py
