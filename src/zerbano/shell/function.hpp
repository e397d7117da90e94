// The function type of the module's two callables.
//
// To a caller they look like ordinary Python functions: `__name__`, `__qualname__`,
// `__module__`, `__doc__`, `__code__`, `__globals__`, `__defaults__`, `__kwdefaults__`,
// `__closure__`, `__annotations__`, an instance `__dict__`, a `repr` naming the qualified name,
// pickling by reference, and method binding as a class attribute; from Python 3.12 also
// `__type_params__`, and from 3.14 `__annotate__`, as a def has them there. They are called through
// vectorcall only; the generic call is turned into it by the interpreter.
#pragma once

#include <Python.h>

#include "shell/state.hpp"

namespace zerbano {

// The work of a callable once its one argument is bound: a new reference, or nullptr with an
// exception set and `*error_line` set to the source line the traceback entry must show.
using FunctionBody = PyObject* (*)(PyObject* argument, int* error_line) noexcept;

// What the exec phase needs to make one callable: its method entry.
struct FunctionSpec {
    const char* name;            // also the name in argument messages, whatever __name__ becomes
    const char* traceback_name;  // "zerbano.image.<name>"
    int definition_line;         // first line of the code object; line of binding errors
    PyObject* Names::*parameter;
    PyObject* Names::*const* local_names;  // parameter first, in code-object order
    int local_count;
    const char* doc;
    FunctionBody body;
};

// Readies the function type once per process (exec step 8). 0 or -1.
int create_function_type() noexcept;

// A new function object; the code object must match the spec. Nullptr with an exception set.
PyObject* function_new(const FunctionSpec& spec, PyObject* qualname, PyObject* module_name,
                       PyObject* globals, PyObject* code) noexcept;

// The code object that `__code__` shows for the spec; run on its own, it raises.
PyObject* code_object_new(const FunctionSpec& spec) noexcept;

}  // namespace zerbano
