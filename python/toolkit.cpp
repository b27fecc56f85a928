#include "toolkit.hpp"

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <pythread.h>

namespace drovik::py {

void throw_python_error() { throw PythonErrorSet{}; }

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw PythonErrorSet{};
}

namespace {

std::string utf8(PyObject* text) {
    Ref bytes = Ref::checked(PyUnicode_AsUTF8String(text));
    return std::string(PyBytes_AsString(bytes.get()), static_cast<std::size_t>(PyBytes_Size(bytes.get())));
}

std::string quoted_list(const std::vector<std::string_view>& names) {
    // 'a' / 'a' and 'b' / 'a', 'b', and 'c', as the interpreter writes them.
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

// The value of a default literal of a text signature (checked at compile
// time); numbers are made once and kept for the life of the process.
PyObject* default_value(std::string_view literal) {
    if (literal == "None") return Py_None;
    if (literal == "True") return Py_True;
    if (literal == "False") return Py_False;
    static std::vector<std::pair<std::string_view, PyObject*>> numbers;
    for (const auto& [text, value] : numbers) {
        if (text == literal) return value;
    }
    const std::string text(literal);
    const bool integral = text.find_first_of(".eE") == std::string::npos;
    Ref value = integral ? Ref::checked(PyLong_FromString(text.c_str(), nullptr, 10))
                         : Ref::checked(PyFloat_FromDouble(std::strtod(text.c_str(), nullptr)));
    numbers.emplace_back(literal, value.get());
    return value.release();
}

std::string display_name(const char* owner, std::string_view name) {
    std::string out;
    if (owner != nullptr) {
        out += owner;
        out += '.';
    }
    out += name;
    out += "()";
    return out;
}

[[noreturn]] void keyword_error(const char* owner, std::string_view name, const char* what, PyObject* key) {
    const std::string prefix = display_name(owner, name) + " " + what + " '";
    PyErr_Format(PyExc_TypeError, "%s%U'", prefix.c_str(), key);
    throw_python_error();
}

}  // namespace

std::string type_name(PyObject* object) {
    Ref name = Ref::checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
    return utf8(name.get());
}

// ---------------------------------------------------------------------------
// Panics

PyObject* panic_exception_type() {
    static PyObject* type = [] {
        PyObject* created = PyErr_NewExceptionWithDoc(
            "drovik.PanicException",
            "Raised when native code called from Python panics (an internal error).\n\n"
            "Like SystemExit, it derives from BaseException, so that it is not caught by\n"
            "`except Exception` and typically propagates all the way up and ends the interpreter.",
            PyExc_BaseException, nullptr);
        if (created == nullptr) {
            PyErr_Print();
            std::fputs("failed to create PanicException\n", stderr);
            std::abort();
        }
        return created;
    }();
    return type;
}

void set_panic(const char* message) noexcept {
    try {
        PyErr_SetString(panic_exception_type(), message);
    } catch (...) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
}

// ---------------------------------------------------------------------------
// Argument binding

void bind_arguments(const char* owner, std::string_view name, std::span<const ParamSpec> params,
                    std::size_t required, PyObject* args, PyObject* kwargs, std::span<Ref> out) {
    const std::size_t given = static_cast<std::size_t>(PyTuple_Size(args));
    const std::size_t max = params.size();
    if (given > max) {
        std::string message = display_name(owner, name);
        message += " takes ";
        message += required == max ? std::to_string(max)
                                   : "from " + std::to_string(required) + " to " + std::to_string(max);
        message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
                   " given";
        raise(PyExc_TypeError, message);
    }
    for (std::size_t i = 0; i < given; ++i) out[i] = Ref::borrow(PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)));

    if (kwargs != nullptr) {
        // No user code runs in this loop (exact code-point comparison, no __eq__),
        // so the dictionary cannot change under it.
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "keywords must be strings");
            std::size_t index = 0;
            while (index < max && PyUnicode_CompareWithASCIIString(key, params[index].name.data()) != 0) ++index;
            if (index == max) keyword_error(owner, name, "got an unexpected keyword argument", key);
            if (out[index]) keyword_error(owner, name, "got multiple values for argument", key);
            out[index] = Ref::borrow(value);
        }
    }

    std::size_t missing_count = 0;
    for (std::size_t i = 0; i < max; ++i) {
        if (out[i]) continue;
        if (params[i].has_default()) out[i] = Ref::borrow(default_value(params[i].default_literal));
        else ++missing_count;
    }
    if (missing_count != 0) {
        std::vector<std::string_view> missing;
        for (std::size_t i = 0; i < max; ++i) {
            if (!out[i]) missing.push_back(params[i].name);
        }
        raise(PyExc_TypeError, display_name(owner, name) + " missing " + std::to_string(missing.size()) +
                                   " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                                   quoted_list(missing));
    }
}

void argument_error(std::string_view name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_python_error();
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref cause = Ref::steal(value);
    Ref cause_type = Ref::steal(type);
    Ref cause_traceback = Ref::steal(traceback);
    if (cause_traceback) PyException_SetTraceback(cause.get(), cause_traceback.get());
    Ref text = Ref::checked(PyObject_Str(cause.get()));
    const std::string message = "argument '" + std::string(name) + "': " + utf8(text.get());
    Ref replacement = Ref::checked(PyObject_CallFunction(PyExc_TypeError, "s", message.c_str()));
    PyException_SetCause(replacement.get(), cause.release());  // steals
    PyErr_SetObject(PyExc_TypeError, replacement.get());
    throw_python_error();
}

std::uint64_t Converter<std::uint64_t>::from_python(PyObject* object, std::string_view name) {
    Ref index = Ref::steal(PyNumber_Index(object));
    if (!index) argument_error(name);
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    // Negative or too large: the interpreter's OverflowError, unprefixed.
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) argument_error(name);
    return value;
}

void cannot_convert(PyObject* object, std::string_view name, std::string_view target) {
    raise(PyExc_TypeError, "argument '" + std::string(name) + "': '" + type_name(object) +
                               "' object cannot be converted to '" + std::string(target) + "'");
}

std::uint32_t Converter<std::uint32_t>::from_python(PyObject* object, std::string_view name) {
    Ref index = Ref::steal(PyNumber_Index(object));
    if (!index) argument_error(name);
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) argument_error(name);
    if (overflow != 0 || value < 0 || value > 0xFFFFFFFFLL)
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::uint32_t>(value);
}

bool Converter<bool>::from_python(PyObject* object, std::string_view name) {
    if (object == Py_True) return true;
    if (object == Py_False) return false;
    // numpy's booleans are accepted too; nothing else is truth-tested.
    Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__module__"));
    if (!module) PyErr_Clear();
    else if (PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0) {
        const std::string type = type_name(object);
        if (type == "bool_" || type == "bool") {
            const int truth = PyObject_IsTrue(object);
            if (truth < 0) throw_python_error();
            return truth == 1;
        }
    }
    cannot_convert(object, name, "PyBool");
}

std::string Converter<std::string>::from_python(PyObject* object, std::string_view name) {
    if (!PyUnicode_Check(object)) cannot_convert(object, name, "PyString");
    return utf8(object);
}

namespace {

PyObject* sequence_abc() {
    static PyObject* abc = [] {
        Ref module = Ref::checked(PyImport_ImportModule("collections.abc"));
        return Ref::checked(PyObject_GetAttrString(module.get(), "Sequence")).release();
    }();
    return abc;
}

// numpy's array type once numpy is imported; an array cannot exist before.
PyObject* numpy_array_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        PyObject* numpy = PyDict_GetItemString(PyImport_GetModuleDict(), "numpy");  // borrowed
        if (numpy == nullptr) return nullptr;
        type = PyObject_GetAttrString(numpy, "ndarray");  // kept for the process
        if (type == nullptr) throw_python_error();
    }
    return type;
}

}  // namespace

Ref array_items(PyObject* object) {
    PyObject* array_type = numpy_array_type();
    if (array_type == nullptr) return {};
    const int is_array = PyObject_IsInstance(object, array_type);
    if (is_array < 0) throw_python_error();
    if (is_array == 0) return {};
    Ref items = Ref::checked(PyObject_CallMethod(object, "tolist", nullptr));
    if (!PyList_Check(items.get())) return {};  // a 0-d array gives a scalar
    return items;
}

namespace {
// The items of an array that stands where a sequence was asked for; anything else is refused.
Ref array_items_or_refuse(PyObject* object, std::string_view name) {
    Ref items = array_items(object);
    if (!items) cannot_convert(object, name, "Sequence");
    return items;
}
}  // namespace

Sequence Converter<Sequence>::from_python(PyObject* object, std::string_view name) {
    if (PyList_Check(object) || PyTuple_Check(object)) return {object, {}};
    const int is_sequence = PyObject_IsInstance(object, sequence_abc());
    if (is_sequence < 0) throw_python_error();
    if (is_sequence == 0) {
        Ref items = array_items_or_refuse(object, name);
        PyObject* list = items.get();
        return {list, std::move(items)};
    }
    return {object, {}};
}

std::vector<double> extract_f64_list(PyObject* iterable) {
    Ref iterator = Ref::checked(PyObject_GetIter(iterable));
    std::vector<double> out;
    // Only a hint: a sequence's __len__ may claim anything.
    const Py_ssize_t hint = PyObject_Size(iterable);
    if (hint < 0) {
        // A failing __len__ costs only the hint; KeyboardInterrupt and the like still stop the call.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_python_error();
        PyErr_Clear();
    }
    else out.reserve(std::min<std::size_t>(static_cast<std::size_t>(hint), 1 << 16));
    while (PyObject* raw = PyIter_Next(iterator.get())) {
        Ref item = Ref::steal(raw);
        const double value = PyFloat_AsDouble(item.get());
        if (value == -1.0 && PyErr_Occurred()) throw_python_error();
        out.push_back(value);
    }
    if (PyErr_Occurred()) throw_python_error();
    return out;
}

std::vector<double> Sequence::doubles() const { return extract_f64_list(object); }

namespace detail {

void for_each_item(PyObject* sequence, std::string_view name, void (*item)(PyObject*, std::string_view, void*),
                   void* context) {
    if (PyUnicode_Check(sequence)) raise(PyExc_TypeError, "argument '" + std::string(name) + "': Can't extract `str` to `Vec`");
    // A plain list or tuple by index: what its iterator would give, without
    // the iterator object. The size is read again at every step because an
    // item's conversion may run code that changes the list.
    const bool list = PyList_CheckExact(sequence);
    if (list || PyTuple_CheckExact(sequence)) {
        for (Py_ssize_t i = 0; i < (list ? PyList_Size(sequence) : PyTuple_Size(sequence)); ++i) {
            Ref held = Ref::borrow(list ? PyList_GetItem(sequence, i) : PyTuple_GetItem(sequence, i));
            item(held.get(), name, context);
        }
        return;
    }
    Ref items;
    if (!PySequence_Check(sequence)) {
        items = array_items_or_refuse(sequence, name);
        sequence = items.get();
    }
    Ref iterator = Ref::steal(PyObject_GetIter(sequence));
    if (!iterator) argument_error(name);
    while (PyObject* raw = PyIter_Next(iterator.get())) {
        Ref held = Ref::steal(raw);
        item(held.get(), name, context);
    }
    if (PyErr_Occurred()) argument_error(name);
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Results

Ref float_object(double value) { return Ref::checked(PyFloat_FromDouble(value)); }

Ref int_object(std::uint64_t value) { return Ref::checked(PyLong_FromUnsignedLongLong(value)); }

Ref float_list(std::span<const double> values) {
    Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) detail::set_list_item(list.get(), i, float_object(values[i]));
    return list;
}

Ref float_rows(std::span<const std::vector<double>> rows) {
    Ref list = detail::untracked_list(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) detail::set_list_item(list.get(), i, float_list(rows[i]));
    detail::track(list.get());
    return list;
}

namespace detail {

Ref untracked_list(std::uint64_t n) {
    if (n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        throw_python_error();
    }
    Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(n)));
    PyObject_GC_UnTrack(list.get());
    return list;
}

void set_list_item(PyObject* list, std::uint64_t index, Ref item) {
    PyList_SetItem(list, static_cast<Py_ssize_t>(index), item.release());
}

void track(PyObject* list) { PyObject_GC_Track(list); }

Ref double_buffer(std::uint64_t n, std::uint64_t width) {
    constexpr std::uint64_t max_doubles = static_cast<std::uint64_t>(PY_SSIZE_T_MAX) / sizeof(double);
    if (width != 0 && n > max_doubles / width) {
        PyErr_NoMemory();
        throw_python_error();
    }
    const auto bytes = static_cast<Py_ssize_t>(n * width * sizeof(double));
    return Ref::checked(PyByteArray_FromStringAndSize(nullptr, bytes));
}

double* buffer_doubles(PyObject* buffer) { return reinterpret_cast<double*>(PyByteArray_AsString(buffer)); }

Ref buffer_and_shape(Ref buffer, std::uint64_t n, std::optional<std::uint64_t> width) {
    Ref rows = int_object(n);
    Ref shape = width ? Ref::checked(PyTuple_Pack(2, rows.get(), int_object(*width).get()))
                      : Ref::checked(PyTuple_Pack(1, rows.get()));
    return Ref::checked(PyTuple_Pack(2, buffer.get(), shape.get()));
}

}  // namespace detail

void check_interrupt() {
    if (PyErr_CheckSignals() < 0) throw_python_error();
}

// ---------------------------------------------------------------------------
// Borrow flags

unsigned long current_thread() { return PyThread_get_thread_ident(); }

BorrowGuard::BorrowGuard(InstanceHeader* instance, Borrow kind) : instance_(instance), kind_(kind) {
    if (instance->owner_thread != 0 && instance->owner_thread != current_thread()) {
        throw Panic(type_name(reinterpret_cast<PyObject*>(instance)) +
                    " is bound to the thread that created it and cannot be used from another thread");
    }
    if (instance->state == InstanceHeader::State::NeverConstructed) {
        raise(PyExc_RuntimeError, type_name(reinterpret_cast<PyObject*>(instance)) +
                                      " object was not created by its factory function and cannot be used");
    }
    // Only reachable from a finalizer that runs after the cycle collector cleared the object.
    if (instance->state == InstanceHeader::State::Cleared)
        raise(PyExc_RuntimeError, "object was cleared by the garbage collector");
    if (kind == Borrow::Shared) {
        if (instance->borrow < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
        ++instance->borrow;
    } else {
        if (instance->borrow != 0) raise(PyExc_RuntimeError, "Already borrowed");
        instance->borrow = -1;
    }
}

BorrowGuard::~BorrowGuard() {
    if (kind_ == Borrow::Shared) --instance_->borrow;
    else instance_->borrow = 0;
}

void report_foreign_drop(PyTypeObject* type) {
    // Deallocation may run while an exception is being handled: keep it.
    PyObject* saved_type = nullptr;
    PyObject* saved_value = nullptr;
    PyObject* saved_traceback = nullptr;
    PyErr_Fetch(&saved_type, &saved_value, &saved_traceback);
    try {
        const std::string name = type_name(reinterpret_cast<PyObject*>(type));
        PyErr_SetString(PyExc_RuntimeError, (name + " is being dropped on a thread other than the one that "
                                                    "created it; it is leaked instead of destroyed").c_str());
    } catch (const PythonErrorSet&) {
    }
    PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(type));
    PyErr_Restore(saved_type, saved_value, saved_traceback);
}

// ---------------------------------------------------------------------------
// Types and the module

namespace {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        Ref name = Ref::checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
        raise(PyExc_TypeError, "No constructor defined for " + utf8(name.get()));
    });
}

}  // namespace

PyTypeObject* add_type(PyObject* module, const TypeSlots& type_slots) {
    // The type keeps a pointer to its qualified name for its whole life.
    static std::deque<std::string> qualified_names;
    qualified_names.push_back(std::string("_drovik.") + type_slots.name);

    std::vector<PyType_Slot> slots = {
        {Py_tp_dealloc, reinterpret_cast<void*>(type_slots.dealloc)},
        {Py_tp_new,
         reinterpret_cast<void*>(type_slots.constructor.create ? type_slots.constructor.create : &no_constructor)},
    };
    if (type_slots.constructor.doc) slots.push_back({Py_tp_doc, const_cast<char*>(type_slots.constructor.doc)});
    if (type_slots.methods) slots.push_back({Py_tp_methods, type_slots.methods});
    if (type_slots.getters) slots.push_back({Py_tp_getset, type_slots.getters});
    if (type_slots.repr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(type_slots.repr)});
    unsigned flags = Py_TPFLAGS_DEFAULT;
    if (type_slots.traverse) {
        flags |= Py_TPFLAGS_HAVE_GC;
        slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(type_slots.traverse)});
        slots.push_back({Py_tp_clear, reinterpret_cast<void*>(type_slots.clear)});
    }
    slots.push_back({0, nullptr});
    PyType_Spec spec{qualified_names.back().c_str(), static_cast<int>(type_slots.basic_size), 0, flags, slots.data()};
    Ref type = Ref::checked(PyType_FromSpec(&spec));
    auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
    add(module, type_slots.name, type.get());
    type.release();  // kept for the life of the process, like the module
    return type_object;
}

void add(PyObject* module, const char* name, PyObject* value) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr) throw_python_error();
        if (PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_DECREF(all);
            throw_python_error();
        }
    }
    Ref all_ref = Ref::steal(all);
    Ref text = Ref::checked(PyUnicode_FromString(name));
    if (PyList_Append(all, text.get()) < 0) throw_python_error();
    if (PyObject_SetAttrString(module, name, value) < 0) throw_python_error();
}

void add_functions(PyObject* module, PyMethodDef* defs) {
    for (PyMethodDef* def = defs; def->ml_name != nullptr; ++def) add_function(module, def);
}

namespace {
Ref module_function(PyMethodDef* def) {
    Ref module_name = Ref::checked(PyUnicode_FromString("_drovik"));
    return Ref::checked(PyCFunction_NewEx(def, nullptr, module_name.get()));
}
}  // namespace

void add_function(PyObject* module, PyMethodDef* def) { add(module, def->ml_name, module_function(def).get()); }

void add_private_functions(PyObject* module, PyMethodDef* defs) {
    for (PyMethodDef* def = defs; def->ml_name != nullptr; ++def) {
        if (PyObject_SetAttrString(module, def->ml_name, module_function(def).get()) < 0) throw_python_error();
    }
}

}  // namespace drovik::py
