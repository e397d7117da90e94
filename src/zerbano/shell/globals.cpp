// Module-global lookup, anew at every use: a caller who rebinds `cv2` in the module namespace
// (or removes it, leaving a `builtins.cv2` to be found) changes what the next call uses.
#include "shell/globals.hpp"

#include "shell/messages.hpp"
#include "shell/state.hpp"

namespace zerbano {

Ref lookup_global(PyObject* name) noexcept
{
    ModuleState& s = state();
    // A miss, or an error raised while searching the namespace, falls through to `builtins`.
    PyObject* found = PyDict_GetItemWithError(s.namespace_, name);
    if (found)
        return Ref::borrow(found);
    PyErr_Clear();

    Ref builtin = Ref::steal(PyObject_GetAttr(s.builtins, name));
    if (builtin)
        return builtin;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        return {};
    PyErr_Clear();
    PyErr_Format(PyExc_NameError, messages::name_not_defined, name);
    return {};
}

Ref global_attribute(PyObject* module_name, PyObject* attribute) noexcept
{
    Ref module = lookup_global(module_name);
    if (!module)
        return {};
    return Ref::steal(PyObject_GetAttr(module.get(), attribute));
}

}  // namespace zerbano
