// Resolution of the module globals (cv2, np, base64, os) at each use, as Python code would:
// the module namespace, then `builtins`, else NameError.
#pragma once

#include <Python.h>

#include "shell/ref.hpp"

namespace zerbano {

// The object bound to `name` now, or an empty Ref with NameError (or the error a `builtins`
// lookup raised) set.
Ref lookup_global(PyObject* name) noexcept;

// `lookup_global(module_name)` followed by reading its attribute `attribute`.
Ref global_attribute(PyObject* module_name, PyObject* attribute) noexcept;

}  // namespace zerbano
