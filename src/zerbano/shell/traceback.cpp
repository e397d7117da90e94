// Traceback entries: an empty code object named after the failing function, whose first line
// is the failing line, run in a frame whose globals are the module namespace.
#include "shell/traceback.hpp"

#include <Python.h>
#include <frameobject.h>

#include <cstring>

#include "shell/ref.hpp"
#include "shell/state.hpp"

namespace zerbano {

namespace {

// Code objects made for earlier entries, kept for the life of the process. The module fails
// at a few dozen (function, line) places at most; past the capacity, entries are made afresh.
struct CachedCode {
    const char* function_name;
    int line;
    PyObject* code;
};
constexpr int code_cache_capacity = 32;
CachedCode code_cache[code_cache_capacity];
int code_cache_size = 0;

// A new reference to the entry's code object, or nullptr with an exception set.
PyObject* entry_code(const char* function_name, int line) noexcept
{
    for (int i = 0; i < code_cache_size; ++i) {
        const CachedCode& cached = code_cache[i];
        if (cached.line == line && (cached.function_name == function_name ||
                                    std::strcmp(cached.function_name, function_name) == 0))
            return Py_NewRef(cached.code);
    }
    PyCodeObject* code = PyCode_NewEmpty("src/zerbano/image", function_name, line);
    if (code && code_cache_size < code_cache_capacity)
        code_cache[code_cache_size++] = {function_name, line, Py_NewRef(code)};
    return reinterpret_cast<PyObject*>(code);
}

}  // namespace

void add_traceback_entry(const char* function_name, int line) noexcept
{
    // The code object is made with the exception set aside, so that its creation starts
    // clean; if it fails, its error is what the caller sees.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref code = Ref::steal(entry_code(function_name, line));
    if (!code) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return;
    }
    PyErr_Restore(type, value, traceback);

    // A fresh frame reports its code's first line, which is `line`.
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                    state().namespace_, nullptr)));
    if (!frame)
        return;
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace zerbano
