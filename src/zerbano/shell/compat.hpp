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

// 3.12 added the accessor for a type's dictionary (a new reference).
#if PY_VERSION_HEX < 0x030C0000
inline PyObject* PyType_GetDict(PyTypeObject* type) noexcept
{
    return Py_XNewRef(type->tp_dict);
}
#endif

// Attributes a plain `def` has on the running version, which the function objects mirror:
// `__type_params__` from 3.12, `__annotate__` (lazily computed annotations) from 3.14.
#define ZERBANO_FUNCTIONS_HAVE_TYPE_PARAMS (PY_VERSION_HEX >= 0x030C0000)
#define ZERBANO_FUNCTIONS_HAVE_ANNOTATE (PY_VERSION_HEX >= 0x030E0000)

namespace zerbano::compat {

// Bytecode of `raise AssertionError` (RESUME 0; the AssertionError type; RAISE_VARARGS 1),
// in the running version's opcodes. Stack size 1.
#if PY_VERSION_HEX >= 0x030E0000
inline constexpr char raise_assertion_error[] = {'\x80', '\x00', '\x51', '\x00', '\x68', '\x01'};
#elif PY_VERSION_HEX >= 0x030D0000
inline constexpr char raise_assertion_error[] = {'\x95', '\x00', '\x17', '\x00', '\x65', '\x01'};
#else
inline constexpr char raise_assertion_error[] = {'\x97', '\x00', '\x4a', '\x00', '\x82', '\x01'};
#endif

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
