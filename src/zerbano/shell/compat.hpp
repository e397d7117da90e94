// The interpreter's C API as the newest supported version names it, for every version the
// module builds for (3.11 onwards). The rest of the module calls only the names declared or
// supplied here; each PY_VERSION_HEX block below fills one in for older interpreters, so
// dropping a version means deleting its blocks.
#pragma once

#include <Python.h>

#include <cstdint>

// A build for a debug interpreter must count its references in the interpreter's total.
#if defined(ZERBANO_PY_DEBUG) && !defined(Py_REF_DEBUG)
#error "ZERBANO_PY_DEBUG is set but Py_REF_DEBUG is not: the debug build would not count references"
#endif

// 3.12 renamed the code constructor; the old name is deprecated from 3.13.
#if PY_VERSION_HEX < 0x030C0000
inline PyCodeObject* PyUnstable_Code_NewWithPosOnlyArgs(
    int argcount, int posonlyargcount, int kwonlyargcount, int nlocals, int stacksize, int flags,
    PyObject* code, PyObject* consts, PyObject* names, PyObject* varnames, PyObject* freevars,
    PyObject* cellvars, PyObject* filename, PyObject* name, PyObject* qualname, int firstlineno,
    PyObject* linetable, PyObject* exceptiontable) noexcept
{
    return PyCode_NewWithPosOnlyArgs(argcount, posonlyargcount, kwonlyargcount, nlocals,
                                     stacksize, flags, code, consts, names, varnames, freevars,
                                     cellvars, filename, name, qualname, firstlineno, linetable,
                                     exceptiontable);
}
#endif

// Attributes a plain `def` has on the running version, which the function objects mirror:
// `__type_params__` from 3.12, `__annotate__` (lazily computed annotations) from 3.14, whose
// error for a result that is not a dict names the result's type in full from 3.15.
#define ZERBANO_FUNCTIONS_HAVE_TYPE_PARAMS (PY_VERSION_HEX >= 0x030C0000)
#define ZERBANO_FUNCTIONS_HAVE_ANNOTATE (PY_VERSION_HEX >= 0x030E0000)
#define ZERBANO_ANNOTATE_ERROR_NAMES_TYPE_IN_FULL (PY_VERSION_HEX >= 0x030F0000)

// The newest CPython the module has been shown to work on. Its function objects mirror the
// interpreter's own functions and code objects, and every version so far has changed those (a
// def's attributes, the bytecode and layout of the code objects' body): a newer version must
// pass the whole suite before the module builds for it, rather than build and be wrong.
#if PY_VERSION_HEX >= 0x03100000
#error "zerbano.image has not been shown to work on this Python (3.16 or later): it is tested on CPython 3.11 to 3.15, and its function objects mirror the interpreter's code objects, which change with each version (see src/zerbano/shell/compat.hpp)"
#endif

namespace zerbano::compat {

// The body of the code objects, `raise AssertionError` (RESUME; the AssertionError type;
// RAISE_VARARGS 1), in the bytecode of the interpreter being built for, taken from its headers;
// and its location table, which puts every instruction on the code object's first line. Stack
// size 1. New bytes objects, or nullptr with an exception set.
PyObject* raise_assertion_error_code() noexcept;
PyObject* raise_assertion_error_locations() noexcept;

// A number that changes whenever `dict` changes and that no other dictionary of the process
// has had, so that a cache entry stamped with it holds what a fresh lookup would find. 0: no
// such number can be had for this dictionary; cache nothing of it.
#if PY_VERSION_HEX < 0x030C0000
inline std::uint64_t dict_version(PyObject* dict) noexcept
{
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#else
// From 3.12 the interpreter's own tag is deprecated: the module watches the dictionaries it
// caches from (a dictionary watcher) and counts their changes itself.
std::uint64_t dict_version(PyObject* dict) noexcept;
#endif

}  // namespace zerbano::compat
