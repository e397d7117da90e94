// The function type, written the way the interpreter writes its own function objects: plain
// fields as members, getter/setter pairs with the interpreter's wording, symmetric GC, and
// vectorcall as the only call path (`tp_call` turns a generic call into a vectorcall).
#include "shell/function.hpp"

#include <structmember.h>

#include <cstddef>

#include "shell/binding.hpp"
#include "shell/compat.hpp"
#include "shell/messages.hpp"
#include "shell/ref.hpp"
#include "shell/traceback.hpp"

namespace zerbano {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* parameter;    // the interned parameter name
    PyObject* name;         // never null
    PyObject* qualname;     // never null
    PyObject* code;         // never null
    PyObject* module;
    PyObject* doc;
    PyObject* globals;
    PyObject* defaults;     // null reads as None
    PyObject* kwdefaults;   // null reads as None
    PyObject* closure;      // always null: the callables close over nothing
    PyObject* annotations;  // made on first read
#if ZERBANO_FUNCTIONS_HAVE_TYPE_PARAMS
    PyObject* type_params;  // null reads as ()
#endif
#if ZERBANO_FUNCTIONS_HAVE_ANNOTATE
    PyObject* annotate;     // null reads as None; a callable computes `annotations` on read
#endif
    PyObject* dict;
    PyObject* weakreflist;
};

FunctionObject* as_function(PyObject* self) noexcept
{
    return reinterpret_cast<FunctionObject*>(self);
}

// --- Calling -------------------------------------------------------------------------------

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept
{
    FunctionObject* function = as_function(self);
    const FunctionSpec& spec = *function->spec;
    // Messages and entries use the fixed names, whatever __name__ or __qualname__ became.
    PyObject* argument =
        bind_single_argument(spec.name, function->parameter, args, nargsf, kwnames);
    if (!argument) {
        add_traceback_entry(spec.traceback_name, spec.definition_line);
        return nullptr;
    }
    Ref held = Ref::borrow(argument);
    int error_line = spec.definition_line;
    PyObject* result = spec.body(argument, &error_line);
    if (!result)
        add_traceback_entry(spec.traceback_name, error_line);
    return result;
}

// --- Attributes ----------------------------------------------------------------------------

PyObject* get_name(PyObject* self, void*) noexcept
{
    return Py_NewRef(as_function(self)->name);
}

int set_name(PyObject* self, PyObject* value, void*) noexcept
{
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, messages::set_name);
        return -1;
    }
    Py_SETREF(as_function(self)->name, Py_NewRef(value));
    return 0;
}

PyObject* get_qualname(PyObject* self, void*) noexcept
{
    return Py_NewRef(as_function(self)->qualname);
}

int set_qualname(PyObject* self, PyObject* value, void*) noexcept
{
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, messages::set_qualname);
        return -1;
    }
    Py_SETREF(as_function(self)->qualname, Py_NewRef(value));
    return 0;
}

PyObject* get_code(PyObject* self, void*) noexcept
{
    return Py_NewRef(as_function(self)->code);
}

int set_code(PyObject* self, PyObject* value, void*) noexcept
{
    if (!value || !PyCode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, messages::set_code);
        return -1;
    }
    Py_SETREF(as_function(self)->code, Py_NewRef(value));
    return 0;
}

PyObject* none_if_null(PyObject* value) noexcept
{
    return Py_NewRef(value ? value : Py_None);
}

// Stores `value` (None and deletion store nothing) if `accepts` it; else TypeError `message`.
int set_optional(PyObject*& slot, PyObject* value, int (*accepts)(PyObject*),
                 const char* message) noexcept
{
    if (value == Py_None)
        value = nullptr;
    if (value && !accepts(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(slot, Py_XNewRef(value));
    return 0;
}

int is_tuple(PyObject* value) { return PyTuple_Check(value); }
int is_dict(PyObject* value) { return PyDict_Check(value); }

PyObject* get_defaults(PyObject* self, void*) noexcept
{
    return none_if_null(as_function(self)->defaults);
}

int set_defaults(PyObject* self, PyObject* value, void*) noexcept
{
    return set_optional(as_function(self)->defaults, value, is_tuple, messages::set_defaults);
}

PyObject* get_kwdefaults(PyObject* self, void*) noexcept
{
    return none_if_null(as_function(self)->kwdefaults);
}

int set_kwdefaults(PyObject* self, PyObject* value, void*) noexcept
{
    return set_optional(as_function(self)->kwdefaults, value, is_dict, messages::set_kwdefaults);
}

#if ZERBANO_FUNCTIONS_HAVE_ANNOTATE
// As a def from 3.14: without annotations, a callable `__annotate__` supplies them, called
// with format 1 (VALUE) on the first read.
PyObject* get_annotations(PyObject* self, void*) noexcept
{
    FunctionObject* function = as_function(self);
    if (!function->annotations) {
        if (function->annotate && PyCallable_Check(function->annotate)) {
            Ref one = Ref::steal(PyLong_FromLong(1));
            if (!one)
                return nullptr;
            Ref computed = Ref::steal(PyObject_CallOneArg(function->annotate, one.get()));
            if (!computed)
                return nullptr;
            if (!PyDict_Check(computed.get())) {
#if ZERBANO_ANNOTATE_ERROR_NAMES_TYPE_IN_FULL
                PyErr_Format(PyExc_TypeError, messages::annotate_result_names_type_in_full,
                             computed.get());
#else
                PyErr_Format(PyExc_TypeError, messages::annotate_result,
                             Py_TYPE(computed.get())->tp_name);
#endif
                return nullptr;
            }
            Py_XSETREF(function->annotations, computed.release());
        } else {
            function->annotations = PyDict_New();
            if (!function->annotations)
                return nullptr;
        }
    }
    return Py_NewRef(function->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) noexcept
{
    FunctionObject* function = as_function(self);
    if (set_optional(function->annotations, value, is_dict, messages::set_annotations) < 0)
        return -1;
    Py_CLEAR(function->annotate);
    return 0;
}

PyObject* get_annotate(PyObject* self, void*) noexcept
{
    return none_if_null(as_function(self)->annotate);
}

int set_annotate(PyObject* self, PyObject* value, void*) noexcept
{
    FunctionObject* function = as_function(self);
    if (!value) {
        PyErr_SetString(PyExc_TypeError, messages::delete_annotate);
        return -1;
    }
    if (value != Py_None && !PyCallable_Check(value)) {
        PyErr_SetString(PyExc_TypeError, messages::set_annotate);
        return -1;
    }
    Py_XSETREF(function->annotate, Py_NewRef(value));
    if (value != Py_None)
        Py_CLEAR(function->annotations);
    return 0;
}
#else
PyObject* get_annotations(PyObject* self, void*) noexcept
{
    FunctionObject* function = as_function(self);
    if (!function->annotations) {
        function->annotations = PyDict_New();
        if (!function->annotations)
            return nullptr;
    }
    return Py_NewRef(function->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) noexcept
{
    return set_optional(as_function(self)->annotations, value, is_dict,
                        messages::set_annotations);
}
#endif

#if ZERBANO_FUNCTIONS_HAVE_TYPE_PARAMS
PyObject* get_type_params(PyObject* self, void*) noexcept
{
    FunctionObject* function = as_function(self);
    return function->type_params ? Py_NewRef(function->type_params) : PyTuple_New(0);
}

int set_type_params(PyObject* self, PyObject* value, void*) noexcept
{
    if (!value || !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, messages::set_type_params);
        return -1;
    }
    Py_XSETREF(as_function(self)->type_params, Py_NewRef(value));
    return 0;
}
#endif

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__code__", get_code, set_code, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
#if ZERBANO_FUNCTIONS_HAVE_TYPE_PARAMS
    {"__type_params__", get_type_params, set_type_params, nullptr, nullptr},
#endif
#if ZERBANO_FUNCTIONS_HAVE_ANNOTATE
    {"__annotate__", get_annotate, set_annotate, nullptr, nullptr},
#endif
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr} /* sentinel */
};

// Pickling stores the function as a reference to its module and qualified name.
PyObject* function_reduce(PyObject* self, PyObject*, PyObject*) noexcept
{
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function_reduce)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyObject* function_repr(PyObject* self) noexcept
{
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// As a class attribute the function binds to instances, like a `def`.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) noexcept
{
    if (!instance || instance == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

// --- Lifetime ------------------------------------------------------------------------------
// The namespace holds the functions and each function holds the namespace (__globals__):
// the collector breaks that cycle through traverse and clear. Name, qualified name and code
// are strings and a childless code object; they are kept until dealloc so repr never fails.

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    FunctionObject* function = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(function->module);
    Py_VISIT(function->doc);
    Py_VISIT(function->globals);
    Py_VISIT(function->defaults);
    Py_VISIT(function->kwdefaults);
    Py_VISIT(function->annotations);
#if ZERBANO_FUNCTIONS_HAVE_TYPE_PARAMS
    Py_VISIT(function->type_params);
#endif
#if ZERBANO_FUNCTIONS_HAVE_ANNOTATE
    Py_VISIT(function->annotate);
#endif
    Py_VISIT(function->dict);
    return 0;
}

int function_clear(PyObject* self) noexcept
{
    FunctionObject* function = as_function(self);
    Py_CLEAR(function->module);
    Py_CLEAR(function->doc);
    Py_CLEAR(function->globals);
    Py_CLEAR(function->defaults);
    Py_CLEAR(function->kwdefaults);
    Py_CLEAR(function->annotations);
#if ZERBANO_FUNCTIONS_HAVE_TYPE_PARAMS
    Py_CLEAR(function->type_params);
#endif
#if ZERBANO_FUNCTIONS_HAVE_ANNOTATE
    Py_CLEAR(function->annotate);
#endif
    Py_CLEAR(function->dict);
    return 0;
}

void function_dealloc(PyObject* self) noexcept
{
    FunctionObject* function = as_function(self);
    PyObject_GC_UnTrack(self);
    if (function->weakreflist)
        PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_DECREF(function->parameter);
    Py_DECREF(function->name);
    Py_DECREF(function->qualname);
    Py_DECREF(function->code);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__closure__", T_OBJECT, offsetof(FunctionObject, closure), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakreflist), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr} /* sentinel */
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr} /* sentinel */
};

PyType_Spec function_spec = {
    "zerbano_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

}  // namespace

int create_function_type() noexcept
{
    // Made once per process and never released: the functions of every import attempt use it.
    ModuleState& s = state();
    if (s.function_type)
        return 0;
    s.function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    return s.function_type ? 0 : -1;
}

PyObject* function_new(const FunctionSpec& spec, PyObject* qualname, PyObject* module_name,
                       PyObject* globals, PyObject* code) noexcept
{
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    Ref doc = Ref::steal(PyUnicode_FromString(spec.doc));
    if (!name || !doc)
        return nullptr;
    FunctionObject* function = PyObject_GC_New(FunctionObject, state().function_type);
    if (!function)
        return nullptr;
    function->vectorcall = function_vectorcall;
    function->spec = &spec;
    function->parameter = Py_NewRef(state().names.*spec.parameter);
    function->name = name.release();
    function->qualname = Py_NewRef(qualname);
    function->code = Py_NewRef(code);
    function->module = Py_NewRef(module_name);
    function->doc = doc.release();
    function->globals = Py_NewRef(globals);
    function->defaults = nullptr;
    function->kwdefaults = nullptr;
    function->closure = nullptr;
    function->annotations = nullptr;
#if ZERBANO_FUNCTIONS_HAVE_TYPE_PARAMS
    function->type_params = nullptr;
#endif
#if ZERBANO_FUNCTIONS_HAVE_ANNOTATE
    function->annotate = nullptr;
#endif
    function->dict = nullptr;
    function->weakreflist = nullptr;
    PyObject_GC_Track(function);
    return reinterpret_cast<PyObject*>(function);
}

PyObject* code_object_new(const FunctionSpec& spec) noexcept
{
    ModuleState& s = state();
    Ref local_names = Ref::steal(PyTuple_New(spec.local_count));
    if (!local_names)
        return nullptr;
    for (int i = 0; i < spec.local_count; ++i)
        PyTuple_SET_ITEM(local_names.get(), i, Py_NewRef(s.names.*spec.local_names[i]));
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    if (!name)
        return nullptr;
    constexpr int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    return reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        1, 0, 0, spec.local_count, 1, flags, s.refusing_body, s.empty_tuple, s.empty_tuple,
        local_names.get(), s.empty_tuple, s.empty_tuple, s.file_name, name.get(), name.get(),
        spec.definition_line, s.refusing_locations, s.empty_bytes));
}

}  // namespace zerbano
