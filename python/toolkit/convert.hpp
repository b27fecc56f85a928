// Conversions: binding arguments to parameters, each declared kind from
// Python, and each result kind back to Python. A type without a conversion
// is a compile error, never a run-time surprise.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "random/rng.hpp"
#include "toolkit/refs.hpp"
#include "toolkit/signature.hpp"

namespace drovik::py {

// ---------------------------------------------------------------------------
// Argument binding

// Binds positional and keyword arguments to the parameters, with the
// interpreter's rules and messages, as strong references held for the whole
// call (user code run by a later conversion cannot free a bound argument).
// The display name "name()" or "Class.name()" is formed only for a message.
void bind_arguments(const char* owner, std::string_view name, std::span<const ParamSpec> params,
                    std::size_t required, PyObject* args, PyObject* kwargs, std::span<Ref> out);

// Re-raises a pending TypeError as TypeError("argument '<name>': <message>")
// with the first error as its cause; any other pending error passes unchanged.
[[noreturn]] void argument_error(std::string_view name);
[[noreturn]] void cannot_convert(PyObject* object, std::string_view name, std::string_view target);

std::string type_name(PyObject* object);

// ---------------------------------------------------------------------------
// Argument kinds

// A `list`, a `tuple`, a `collections.abc.Sequence` or a numpy array, checked
// at binding time and read later (all arguments are checked before any is read).
struct Sequence {
    PyObject* object;  // held by the call's bound arguments, or by `as_list`
    Ref as_list;       // an array's items as a list, so they convert like a list's
    std::vector<double> doubles() const;
};

// The items of a numpy array as a (nested) list, or null when `object` is not
// an array or is one of no dimension. Never imports numpy.
Ref array_items(PyObject* object);

// Iterates any iterable and converts each item to double; the item's own
// conversion error propagates unchanged.
std::vector<double> extract_f64_list(PyObject* iterable);

// Any object, taken as it is; nothing is checked until it is called.
struct Callable {
    PyObject* object;  // held by the call's bound arguments
};

// Classes of the module whose instances convert to and from their core
// value; a family declares each with a specialization next to its table.
template <class T>
struct ModuleClass : std::false_type {};

// The class registered for a core type, filled in when the class is added.
template <class Core>
struct ClassInfo {
    static inline const char* name = nullptr;
    static inline PyTypeObject* type = nullptr;
};

template <class T>
struct Converter {
    static_assert(ModuleClass<T>::value,
                  "no conversion from Python for this parameter type: use a supported kind (double, "
                  "std::uint64_t, std::uint32_t, bool, std::string, std::optional, Sequence, Callable, "
                  "std::vector of double, of std::vector<double> or of Ref) or declare a ModuleClass");
    // An instance of exactly the class, its core value copied (defined with the instances).
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

template <>
struct Converter<std::uint32_t> {
    static std::uint32_t from_python(PyObject* object, std::string_view name);
};

template <class T>
struct Converter<std::optional<T>> {
    static std::optional<T> from_python(PyObject* object, std::string_view name) {
        if (object == Py_None) return std::nullopt;
        return Converter<T>::from_python(object, name);
    }
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

// The vector kinds: any object passing the C-API sequence check except a
// `str`, its length only a capacity hint; each item converted as the
// element kind, a failing item's TypeError prefixed with the argument name.
namespace detail {
// Calls item(object) for each item of the sequence.
void for_each_item(PyObject* sequence, std::string_view name, void (*item)(PyObject*, std::string_view, void*),
                   void* context);
}  // namespace detail

template <class Element>
struct Converter<std::vector<Element>> {
    static std::vector<Element> from_python(PyObject* object, std::string_view name) {
        std::vector<Element> out;
        if (PyList_CheckExact(object)) out.reserve(static_cast<std::size_t>(PyList_Size(object)));
        else if (PyTuple_CheckExact(object)) out.reserve(static_cast<std::size_t>(PyTuple_Size(object)));
        detail::for_each_item(
            object, name,
            [](PyObject* item, std::string_view item_name, void* context) {
                auto& values = *static_cast<std::vector<Element>*>(context);
                if constexpr (std::is_same_v<Element, Ref>) values.push_back(Ref::borrow(item));
                else values.push_back(Converter<Element>::from_python(item, item_name));
            },
            &out);
        return out;
    }
    static_assert(std::is_same_v<Element, double> || std::is_same_v<Element, Ref> ||
                      std::is_same_v<Element, std::vector<double>>,
                  "vector parameters hold doubles, vectors of doubles or objects (Ref)");
};

// ---------------------------------------------------------------------------
// Results

Ref float_object(double value);
Ref int_object(std::uint64_t value);
Ref float_list(std::span<const double> values);
Ref float_rows(std::span<const std::vector<double>> rows);

void check_interrupt();

namespace detail {
// A new list of n slots, kept from the cycle collector until it is whole:
// draws may run Python code that could find the half-filled list there.
// A count that cannot be held fails with MemoryError before any draw.
Ref untracked_list(std::uint64_t n);
void set_list_item(PyObject* list, std::uint64_t index, Ref item);
void track(PyObject* list);
}  // namespace detail

// Raises a core error as its Python exception.
template <class Result>
void raise_if_failed(const Result& result) {
    if (!result) {
        set_error(result.error());
        throw_python_error();
    }
}

// Draws are made in chunks of this many, with Ctrl-C honoured between chunks.
inline constexpr std::size_t draw_chunk = 2048;

// Calls `body(start, count)` for consecutive chunks of [0, n), checking Ctrl-C after each.
template <class Body>
void for_each_chunk(std::uint64_t n, Body&& body) {
    for (std::uint64_t start = 0; start < n; start += draw_chunk) {
        body(start, static_cast<std::size_t>(std::min<std::uint64_t>(draw_chunk, n - start)));
        check_interrupt();
    }
}

// Builds a list of n floats without an intermediate buffer of n doubles:
// `fill(span)` writes each chunk.
template <class Fill>
Ref sampled_float_list(std::uint64_t n, Fill&& fill) {
    Ref list = detail::untracked_list(n);
    // On the heap: a density that re-enters sample_n must not stack one buffer per level.
    std::vector<double> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(draw_chunk, n)));
    for_each_chunk(n, [&](std::uint64_t start, std::size_t count) {
        raise_if_failed(fill(std::span<double>(buffer.data(), count)));
        for (std::size_t i = 0; i < count; ++i) detail::set_list_item(list.get(), start + i, float_object(buffer[i]));
    });
    detail::track(list.get());
    return list;
}

// Builds a list of n points, each a new list of floats: `start()` runs first
// (after the list is allocated, before any point; it may fail with a core
// error), then `next()` gives each point (a span or vector of doubles) or a
// core error. Ctrl-C is honoured between points.
template <class Start, class Next>
Ref sampled_point_list(std::uint64_t n, Start&& start, Next&& next) {
    Ref list = detail::untracked_list(n);
    raise_if_failed(start());
    for (std::uint64_t i = 0; i < n; ++i) {
        auto point = next();
        raise_if_failed(point);
        // Each point too stays out of the collector's young generation until the
        // list is whole: n new containers would otherwise trigger a collection every
        // few hundred points.
        Ref row = float_list(*point);
        PyObject_GC_UnTrack(row.get());
        detail::set_list_item(list.get(), i, std::move(row));
        check_interrupt();
    }
    for (std::uint64_t i = 0; i < n; ++i) detail::track(PyList_GetItem(list.get(), static_cast<Py_ssize_t>(i)));
    detail::track(list.get());
    return list;
}

template <class Next>
Ref sampled_point_list(std::uint64_t n, Next&& next) {
    return sampled_point_list(n, [] { return std::expected<void, SampleError>{}; }, std::forward<Next>(next));
}

// The array forms of the two above: one bytearray of n * width doubles in
// machine order, written in place (no float object per draw), returned as
// (buffer, shape) with shape (n,) for draws and (n, width) for points. Only
// this call holds the buffer while user code runs, so nothing can resize it.
namespace detail {
// A size that cannot be held fails with MemoryError before any draw.
Ref double_buffer(std::uint64_t n, std::uint64_t width);
double* buffer_doubles(PyObject* buffer);
Ref buffer_and_shape(Ref buffer, std::uint64_t n, std::optional<std::uint64_t> width);
}  // namespace detail

template <class Fill>
Ref sampled_float_buffer(std::uint64_t n, Fill&& fill) {
    Ref buffer = detail::double_buffer(n, 1);
    double* data = detail::buffer_doubles(buffer.get());
    for_each_chunk(n, [&](std::uint64_t start, std::size_t count) {
        raise_if_failed(fill(std::span<double>(data + start, count)));
    });
    return detail::buffer_and_shape(std::move(buffer), n, std::nullopt);
}

template <class Start, class Next>
Ref sampled_point_buffer(std::uint64_t n, std::size_t width, Start&& start, Next&& next) {
    Ref buffer = detail::double_buffer(n, width);
    double* data = detail::buffer_doubles(buffer.get());
    raise_if_failed(start());
    for (std::uint64_t i = 0; i < n; ++i) {
        auto point = next();
        raise_if_failed(point);
        if (point->size() != width) throw Panic("a sampler gave a point of the wrong dimension");
        std::copy(point->begin(), point->end(), data + i * width);
        check_interrupt();
    }
    return detail::buffer_and_shape(std::move(buffer), n, width);
}

template <class Next>
Ref sampled_point_buffer(std::uint64_t n, std::size_t width, Next&& next) {
    return sampled_point_buffer(n, width, [] { return std::expected<void, SampleError>{}; }, std::forward<Next>(next));
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

// The same n draws as one array buffer (see sampled_float_buffer).
template <class Sampler>
Ref sample_buffer(const Sampler& sampler, std::uint64_t n, std::optional<std::uint64_t> seed) {
    return with_rng(seed, [&](ChachaRng& rng) {
        return sampled_float_buffer(n, [&](std::span<double> chunk) { return sampler.sample_into(chunk, rng); });
    });
}

// n points of a sampler as a list of lists (sample_with_rng each), from a
// seeded generator or this thread's.
template <class Sampler>
Ref sample_point_list(Sampler& sampler, std::uint64_t n, std::optional<std::uint64_t> seed) {
    return with_rng(seed, [&](ChachaRng& rng) {
        return sampled_point_list(n, [&] { return sampler.sample_with_rng(rng); });
    });
}

// The same n points as one array buffer of n rows (see sampled_point_buffer).
template <class Sampler>
Ref sample_point_buffer(Sampler& sampler, std::size_t width, std::uint64_t n, std::optional<std::uint64_t> seed) {
    return with_rng(seed, [&](ChachaRng& rng) {
        return sampled_point_buffer(n, width, [&] { return sampler.sample_with_rng(rng); });
    });
}

template <class Core>
PyObject* new_instance(Core&& core);

template <class T>
struct IsTuple : std::false_type {};
template <class... Items>
struct IsTuple<std::tuple<Items...>> : std::true_type {};

template <class T>
PyObject* to_python(T&& value);

// A tuple of convertible kinds as a Python tuple.
template <class... Items>
Ref tuple_object(std::tuple<Items...>&& items) {
    Ref tuple = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(sizeof...(Items))));
    std::apply(
        [&](auto&&... item) {
            Py_ssize_t index = 0;
            // Each item is converted in order; the first failure stops the rest.
            ((PyTuple_SetItem(tuple.get(), index++, Ref::checked(to_python(std::move(item))).release())), ...);
        },
        std::move(items));
    return tuple;
}

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
    } else if constexpr (std::is_same_v<V, std::uint64_t> || std::is_same_v<V, std::size_t>) {
        return int_object(value).release();
    } else if constexpr (std::is_same_v<V, std::pair<double, double>>) {
        Ref first = float_object(value.first);
        Ref second = float_object(value.second);
        return Ref::checked(PyTuple_Pack(2, first.get(), second.get())).release();
    } else if constexpr (IsTuple<V>::value) {
        return tuple_object(std::move(value)).release();
    } else if constexpr (std::is_same_v<V, std::vector<double>> || std::is_same_v<V, std::span<const double>>) {
        // A span is read before anything else runs: it may point into the object's state.
        return float_list(value).release();
    } else if constexpr (std::is_same_v<V, std::vector<std::vector<double>>>) {
        return float_rows(value).release();
    } else if constexpr (requires { value.has_value(); value.error(); }) {
        if (!value) {
            set_error(value.error());
            return nullptr;
        }
        if constexpr (std::is_void_v<typename V::value_type>) return Ref::borrow(Py_None).release();
        else return to_python(std::move(*value));
    } else if constexpr (requires { value.has_value(); value.value(); typename V::value_type; }) {
        if (!value) return Ref::borrow(Py_None).release();
        return to_python(std::move(*value));
    } else {
        static_assert(ModuleClass<V>::value,
                      "no conversion to Python for this result type: return a supported kind (double, bool, "
                      "std::uint64_t, std::string, a pair of doubles, a vector or span of doubles, a vector of vectors, "
                      "std::optional, std::expected, void, Ref) or declare a ModuleClass");
        return new_instance<V>(std::move(value));
    }
}

// Calls f and converts what it returns; a void result is None.
template <class F>
PyObject* call_to_python(F&& f) {
    if constexpr (std::is_void_v<std::invoke_result_t<F>>) {
        f();
        return Ref::borrow(Py_None).release();
    } else {
        return to_python(f());
    }
}

}  // namespace drovik::py
