// Owning references to interpreter objects.
//
// Rules of use:
//  - A `Ref` owns exactly one reference, or none. It is move-only; moving
//    assigns ownership, and assigning over a `Ref` releases what it held.
//  - Make one with `Ref::steal(p)` for a new reference a C API call returned
//    to you, or `Ref::borrow(p)` to take a new reference to a borrowed one.
//  - There is no implicit conversion to `PyObject*`: `get()` lends the object,
//    `release()` hands the reference back to the caller (a function's result).
//  - Borrowed references stay plain `PyObject*`.
#pragma once

#include <Python.h>

#include <utility>

namespace zerbano {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept
    {
        PyObject* old = object_;
        object_ = other.object_;
        other.object_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    static Ref borrow(PyObject* object) noexcept { return Ref(Py_XNewRef(object)); }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

}  // namespace zerbano
