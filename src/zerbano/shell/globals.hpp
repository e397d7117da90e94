// Resolution of the module globals (cv2, np, base64, os) at each use, as Python code would:
// the module namespace, then `builtins`, else NameError. Attribute reads and method calls on
// the modules found there are the interpreter's ordinary ones.
#pragma once

#include <Python.h>

#include "shell/ref.hpp"

namespace zerbano {

// The object bound to `name` now, or an empty Ref with NameError (or the error a `builtins`
// lookup raised) set.
Ref lookup_global(PyObject* name) noexcept;

// `object.name`, the interpreter's ordinary attribute lookup.
Ref attribute(PyObject* object, PyObject* name) noexcept;

// `lookup_global(module_name)` followed by reading its attribute `attribute_name`.
Ref global_attribute(PyObject* module_name, PyObject* attribute_name) noexcept;

// `self.name(argument)`, the interpreter's method call.
Ref call_method_one(PyObject* self, PyObject* name, PyObject* argument) noexcept;

}  // namespace zerbano
