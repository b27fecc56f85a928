#include "toolkit.hpp"

#include <cstdio>
#include <cstdlib>
#include <deque>

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

// Default literals allowed in text signatures; each maps to a constant.
PyObject* default_value(std::string_view literal) {
    if (literal == "None") return Py_None;
    throw Panic("unsupported default in text signature: " + std::string(literal));
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

void bind_arguments(std::string_view display, std::span<const ParamSpec> params, std::size_t required,
                    PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
    const std::size_t given = static_cast<std::size_t>(PyTuple_Size(args));
    const std::size_t max = params.size();
    if (given > max) {
        std::string message(display);
        message += " takes ";
        message += required == max ? std::to_string(max)
                                   : "from " + std::to_string(required) + " to " + std::to_string(max);
        message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
                   " given";
        raise(PyExc_TypeError, message);
    }
    std::fill(out.begin(), out.end(), nullptr);
    for (std::size_t i = 0; i < given; ++i) out[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));

    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            const std::string keyword = utf8(key);
            std::size_t index = 0;
            while (index < max && params[index].name != keyword) ++index;
            if (index == max)
                raise(PyExc_TypeError, std::string(display) + " got an unexpected keyword argument '" + keyword + "'");
            if (out[index] != nullptr)
                raise(PyExc_TypeError, std::string(display) + " got multiple values for argument '" + keyword + "'");
            out[index] = value;
        }
    }

    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < max; ++i) {
        if (out[i] != nullptr) continue;
        if (params[i].has_default()) out[i] = default_value(params[i].default_literal);
        else missing.push_back(params[i].name);
    }
    if (!missing.empty()) {
        raise(PyExc_TypeError, std::string(display) + " missing " + std::to_string(missing.size()) +
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

namespace {

PyObject* sequence_abc() {
    static PyObject* abc = [] {
        Ref module = Ref::checked(PyImport_ImportModule("collections.abc"));
        return Ref::checked(PyObject_GetAttrString(module.get(), "Sequence")).release();
    }();
    return abc;
}

}  // namespace

Sequence Converter<Sequence>::from_python(PyObject* object, std::string_view name) {
    if (PyList_Check(object) || PyTuple_Check(object)) return {object};
    const int is_sequence = PyObject_IsInstance(object, sequence_abc());
    if (is_sequence < 0) throw_python_error();
    if (is_sequence == 0) {
        raise(PyExc_TypeError,
              "argument '" + std::string(name) + "': '" + type_name(object) + "' object cannot be converted to 'Sequence'");
    }
    return {object};
}

std::vector<double> extract_f64_list(PyObject* iterable) {
    Ref iterator = Ref::checked(PyObject_GetIter(iterable));
    std::vector<double> out;
    const Py_ssize_t hint = PyObject_Size(iterable);
    if (hint < 0) PyErr_Clear();
    else out.reserve(static_cast<std::size_t>(hint));
    while (PyObject* raw = PyIter_Next(iterator.get())) {
        Ref item = Ref::steal(raw);
        const double value = PyFloat_AsDouble(item.get());
        if (value == -1.0 && PyErr_Occurred()) throw_python_error();
        out.push_back(value);
    }
    if (PyErr_Occurred()) throw_python_error();
    return out;
}

// ---------------------------------------------------------------------------
// Results

Ref float_object(double value) { return Ref::checked(PyFloat_FromDouble(value)); }

Ref int_object(std::uint64_t value) { return Ref::checked(PyLong_FromUnsignedLongLong(value)); }

Ref float_list(std::span<const double> values) {
    Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) throw_python_error();
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

void check_interrupt() {
    if (PyErr_CheckSignals() < 0) throw_python_error();
}

// ---------------------------------------------------------------------------
// Borrow flags

BorrowGuard::BorrowGuard(InstanceHeader* instance, Borrow kind) : instance_(instance), kind_(kind) {
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

PyTypeObject* add_type(PyObject* module, const TypeParts& parts) {
    // The type keeps a pointer to its qualified name for its whole life.
    static std::deque<std::string> qualified_names;
    qualified_names.push_back(std::string("_drovik.") + parts.name);

    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(parts.dealloc)},
        {Py_tp_new, reinterpret_cast<void*>(&no_constructor)},
        {Py_tp_methods, parts.methods},
        {0, nullptr},
    };
    PyType_Spec spec{qualified_names.back().c_str(), static_cast<int>(parts.basic_size), 0, Py_TPFLAGS_DEFAULT,
                     slots};
    Ref type = Ref::checked(PyType_FromSpec(&spec));
    auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
    add(module, parts.name, type.get());
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

void add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = Ref::checked(PyUnicode_FromString("_drovik"));
    Ref function = Ref::checked(PyCFunction_NewEx(def, nullptr, module_name.get()));
    add(module, def->ml_name, function.get());
}

}  // namespace drovik::py
