// The machinery every Python-visible routine of the module is built from:
// failure markers, the boundary guard, argument binding, error wrapping and
// result builders.
//
// Every entry routine reads top to bottom in one order: bind the arguments,
// check the receiver, take the borrow, convert the arguments in parameter
// order, call the core, build the result. Failures travel as C++ exceptions
// inside the routine (Python error already set, or an internal failure) and
// are turned into the interpreter's error indicator by `guarded`, so no C++
// exception ever crosses into the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "outcome.hpp"
#include "pyref.hpp"
#include "search.hpp"

namespace quillmere::py {

// A Python exception is set; C++ frames unwind and the entry routine returns
// its error indicator.
struct ErrorAlreadySet {};

// A failure of the module's own code; surfaces as PanicException(message).
struct Panic {
    std::string message;
};

// Sets `type(message)` as the current exception and unwinds.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// To be called right after a C API call reported failure. Unwinds with the
// pending exception; a missing exception becomes SystemError, and a
// PanicException raised by Python code is reported and re-raised as ours.
[[noreturn]] void throw_pending();

// Discards the pending exception of a call whose failure is not an error
// (a length hint), except a PanicException, which is never swallowed.
void discard_pending();

// "'int' object is not an instance of 'Sequence'" and its None form.
std::string type_mismatch_message(PyObject* obj, const char* target);
[[noreturn]] void raise_type_mismatch(PyObject* obj, const char* target);

// str(obj) for use inside a message; when str() fails, the failure goes to
// the unraisable hook and "<unprintable T object>" is used instead.
Ref display_str(PyObject* obj);
std::string display(PyObject* obj);

// Raises a core error as ValueError, MemoryError or PanicException.
[[noreturn]] void raise_core_error(const Error& error);

// Sets PanicException(message) as the current exception. The type is created
// on first use; if even that fails, the process cannot report and aborts.
void set_panic(const std::string& message) noexcept;

// The boundary guard: runs `body`, and turns every failure that escapes it
// into a set Python exception and `error_value`.
template <class R, class F>
R guarded(R error_value, F&& body) noexcept {
    // The C++ runtime allocates a thread's exception state at its first
    // throw; touching it here, while memory is still available, keeps a
    // later throw from aborting the process when memory has run out.
    volatile int pending_unwinds = std::uncaught_exceptions();
    static_cast<void>(pending_unwinds);
    try {
        return body();
    } catch (const ErrorAlreadySet&) {
    } catch (const Panic& panic) {
        set_panic(panic.message);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        set_panic(failure.what());
    } catch (...) {
        set_panic("unknown internal failure");
    }
    return error_value;
}

// Static description of a callable's parameters.
struct ArgSpec {
    const char* class_name;  // null for module-level functions
    const char* name;
    const char* const* params;
    std::size_t count;
    std::size_t required;
    std::size_t keyword_only = 0;  // the last ones, which only a keyword can give
};

// Fill `slots` (count entries, null = not given) with borrowed references.
void bind_fastcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                   PyObject** slots);
void bind_tuple_dict(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** slots);

// Gives an exact TypeError raised by a conversion the argument's name.
void wrap_conversion_error(const char* name) noexcept;

// Runs one argument's conversion with its errors wrapped for `name`.
template <class F>
auto convert_arg(const char* name, F&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (const ErrorAlreadySet&) {
        wrap_conversion_error(name);
        throw;
    }
}

// Result builders; each returns a new reference or unwinds.
Ref checked(PyObject* created);
Ref float_result(float value);
Ref u64_result(std::uint64_t value);
Ref str_result(const std::string& text);
Ref none_result();
Ref results_list(const std::vector<ScoredId>& results);

}  // namespace quillmere::py
