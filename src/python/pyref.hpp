// Ownership of Python references.
//
// Rules, stated once: a raw PyObject* in this module is always borrowed. Every
// new reference is put into a Ref the moment it is received, and a Ref
// releases it in its destructor, so every way out of a routine (return,
// Python error, C++ exception) drops exactly what it owns. A reference leaves
// a Ref only through release(), when it is handed to the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quillmere::py {

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (which may be null).
    static Ref steal(PyObject* owned) noexcept { return Ref(owned); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }

    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(ptr_); }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // Hands the reference to the caller, who now owns it.
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

private:
    explicit Ref(PyObject* ptr) noexcept : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace quillmere::py
