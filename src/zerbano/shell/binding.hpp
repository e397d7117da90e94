// Binding of the one argument of a callable, with the interpreter's messages for a wrong call.
#pragma once

#include <Python.h>

namespace zerbano {

// The argument bound to `parameter` (borrowed from the caller's array), or nullptr with
// TypeError set. `function_name` fills the messages.
PyObject* bind_single_argument(const char* function_name, PyObject* parameter,
                               PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept;

}  // namespace zerbano
