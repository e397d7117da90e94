// Calls into the interpreter with owned results, through vectorcall.
#pragma once

#include <Python.h>

#include "shell/ref.hpp"

namespace zerbano {

// `callable(*args)`
template <typename... Args>
Ref call(PyObject* callable, Args... args) noexcept
{
    PyObject* const arguments[] = {args...};
    return Ref::steal(PyObject_Vectorcall(callable, arguments, sizeof...(Args), nullptr));
}

// `self.name(*args)`: the method looked up on `self` and called with it.
template <typename... Args>
Ref call_method(PyObject* self, PyObject* name, Args... args) noexcept
{
    // The leading slot lets the interpreter prepend a bound self without copying the array.
    PyObject* arguments[] = {nullptr, self, args...};
    return Ref::steal(PyObject_VectorcallMethod(
        name, arguments + 1, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace zerbano
