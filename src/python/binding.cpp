#include "binding.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace quillmere::py {

namespace {

// Process-wide, created at the first internal failure and never freed.
PyObject* panic_type = nullptr;

constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when the module's native code panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

[[noreturn]] void boundary_failure(const char* what) noexcept {
    std::fprintf(stderr, "quillmere: uncaught panic at ffi boundary: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

PyObject* get_panic_type() noexcept {
    if (panic_type == nullptr) {
        panic_type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException,
                                               nullptr);
    }
    return panic_type;
}

std::string type_qualname(PyObject* type) {
    Ref name = Ref::steal(PyObject_GetAttrString(type, "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
        if (text != nullptr) return std::string(text, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

}  // namespace

void set_panic(const std::string& message) noexcept {
    PyObject* type = get_panic_type();
    if (type == nullptr) boundary_failure("could not create the PanicException type");
    PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (text == nullptr) boundary_failure(message.c_str());
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw ErrorAlreadySet{};
}

void throw_pending() {
    if (!PyErr_Occurred()) {
        raise(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    if (panic_type != nullptr && PyErr_ExceptionMatches(panic_type)) {
        // Python code called by a conversion re-raised one of our own
        // failures: report where it came from, then fail as ourselves.
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        std::string message = value != nullptr ? display(value) : std::string("PanicException");
        std::fputs("quillmere: a PanicException raised by Python code called from the module is re-raised\n"
                   "Python stack trace below:\n",
                   stderr);
        PyErr_Restore(type, value, traceback);
        PyErr_PrintEx(0);
        throw Panic{std::move(message)};
    }
    throw ErrorAlreadySet{};
}

void discard_pending() {
    if (panic_type != nullptr && PyErr_ExceptionMatches(panic_type)) throw_pending();
    PyErr_Clear();
}

Ref display_str(PyObject* obj) {
    Ref text = Ref::steal(PyObject_Str(obj));
    if (text) return text;
    PyErr_WriteUnraisable(obj);
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
    if (name && PyUnicode_Check(name.get())) {
        text = Ref::steal(PyUnicode_FromFormat("<unprintable %U object>", name.get()));
        if (text) return text;
    }
    PyErr_Clear();
    return checked(PyUnicode_FromString("<unprintable object>"));
}

std::string display(PyObject* obj) {
    // Lone surrogates cannot be UTF-8; escape them rather than fail.
    Ref text = display_str(obj);
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "backslashreplace"));
    if (!bytes) {
        PyErr_Clear();
        return "<unprintable object>";
    }
    return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

std::string type_mismatch_message(PyObject* obj, const char* target) {
    if (obj == Py_None) return std::string("'None' is not an instance of '") + target + "'";
    return "'" + type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(obj))) + "' object is not an instance of '" +
           target + "'";
}

void raise_type_mismatch(PyObject* obj, const char* target) {
    raise(PyExc_TypeError, type_mismatch_message(obj, target));
}

void raise_core_error(const Error& error) {
    switch (error.kind) {
        case ErrorKind::Value:
            raise(PyExc_ValueError, error.message);
        case ErrorKind::NoMemory:
            PyErr_NoMemory();
            throw ErrorAlreadySet{};
        case ErrorKind::Panic:
            break;
    }
    throw Panic{error.message};
}

// ---------------------------------------------------------------- binding

namespace {

std::string display_name(const ArgSpec& spec) {
    std::string name = spec.class_name != nullptr ? std::string(spec.class_name) + "." : std::string();
    return name + spec.name + "()";
}

[[noreturn]] void too_many_positional(const ArgSpec& spec, std::size_t given) {
    const std::size_t positional = spec.count - spec.keyword_only;
    std::string message = display_name(spec) + " takes ";
    if (spec.required == positional) {
        message += std::to_string(positional);
    } else {
        message += "from " + std::to_string(spec.required) + " to " + std::to_string(positional);
    }
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    raise(PyExc_TypeError, message);
}

[[noreturn]] void missing_required(const ArgSpec& spec, PyObject** slots) {
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < spec.required; ++i) {
        if (slots[i] == nullptr) missing.push_back(std::string("'") + spec.params[i] + "'");
    }
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        list += missing[i];
    }
    raise(PyExc_TypeError, display_name(spec) + " missing " + std::to_string(missing.size()) +
                               " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                               ": " + list);
}

void bind_positional(const ArgSpec& spec, PyObject* const* values, std::size_t given, PyObject** slots) {
    if (given > spec.count - spec.keyword_only) too_many_positional(spec, given);
    for (std::size_t i = 0; i < given; ++i) slots[i] = values[i];
}

void bind_keyword(const ArgSpec& spec, PyObject* name, PyObject* value, PyObject** slots) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (utf8 == nullptr) PyErr_Clear();  // not encodable: matches no parameter
    for (std::size_t i = 0; utf8 != nullptr && i < spec.count; ++i) {
        if (std::string_view(utf8, static_cast<std::size_t>(size)) == spec.params[i]) {
            if (slots[i] != nullptr) {
                raise(PyExc_TypeError,
                      display_name(spec) + " got multiple values for argument '" + spec.params[i] + "'");
            }
            slots[i] = value;
            return;
        }
    }
    // Built as a Python string so the keyword appears exactly as str() gives it.
    Ref message = checked(PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'",
                                               display_name(spec).c_str(), display_str(name).get()));
    PyErr_SetObject(PyExc_TypeError, message.get());
    throw ErrorAlreadySet{};
}

void check_required(const ArgSpec& spec, std::size_t given, PyObject** slots) {
    for (std::size_t i = given; i < spec.required; ++i) {
        if (slots[i] == nullptr) missing_required(spec, slots);
    }
}

}  // namespace

void bind_fastcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                   PyObject** slots) {
    const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    bind_positional(spec, args, given, slots);
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            bind_keyword(spec, PyTuple_GET_ITEM(kwnames, i), args[given + static_cast<std::size_t>(i)], slots);
        }
    }
    check_required(spec, given, slots);
}

void bind_tuple_dict(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    bind_positional(spec, &PyTuple_GET_ITEM(args, 0), given, slots);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(spec, key, value, slots);
    }
    check_required(spec, given, slots);
}

void wrap_conversion_error(const char* name) noexcept {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref old_type = Ref::steal(type), old_value = Ref::steal(value), old_traceback = Ref::steal(traceback);
    Ref wrapped;
    try {
        Ref message = checked(PyUnicode_FromFormat("argument '%s': %U", name, display_str(old_value.get()).get()));
        wrapped = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    } catch (...) {
        // Building the message failed; that failure is what gets reported.
    }
    if (!wrapped) return;  // the failure to build it is now the pending error
    // The original's cause carries over; a null cause also suppresses the
    // implicit context, so the traceback shows only the wrapped error.
    PyException_SetCause(wrapped.get(), PyException_GetCause(old_value.get()));
    PyErr_SetObject(PyExc_TypeError, wrapped.get());
}

// ---------------------------------------------------------------- results

Ref checked(PyObject* created) {
    if (created == nullptr) {
        // Running out of memory is reported as such, never as a panic.
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw ErrorAlreadySet{};
        if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
        throw Panic{"PyObject pointer is null"};
    }
    return Ref::steal(created);
}

Ref float_result(float value) { return checked(PyFloat_FromDouble(static_cast<double>(value))); }

Ref u64_result(std::uint64_t value) {
    return checked(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value)));
}

Ref str_result(const std::string& text) {
    return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref none_result() { return Ref::borrow(Py_None); }

Ref results_list(const std::vector<ScoredId>& results) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(results.size())));
    for (std::size_t i = 0; i < results.size(); ++i) {
        Ref score = float_result(results[i].score);
        Ref id = u64_result(results[i].id);
        Ref pair = checked(PyTuple_New(2));
        PyTuple_SET_ITEM(pair.get(), 0, score.release());
        PyTuple_SET_ITEM(pair.get(), 1, id.release());
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair.release());
    }
    return list;
}

}  // namespace quillmere::py
