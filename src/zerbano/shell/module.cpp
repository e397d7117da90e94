// zerbano.image: the module object, its import, and the process-wide state it builds.
//
// As Python code the module reads:
//
//     import cv2
//     import numpy as np
//     import base64
//     import os
//
//     def preprocess_image(image_input): ...   # line 6
//     def crop_mrz_region(image): ...          # line 51
//
// There is one module object per process. The first interpreter that imports it is the only
// one that may; a repeated import in it hands back the same object without running anything.
#include <Python.h>

#include <cstdint>

#include "shell/callables.hpp"
#include "shell/function.hpp"
#include "shell/messages.hpp"
#include "shell/ref.hpp"
#include "shell/state.hpp"
#include "shell/traceback.hpp"

namespace zerbano {

namespace {

constexpr char init_entry_name[] = "init zerbano.image";

// --- Create phase --------------------------------------------------------------------------

int bind_interpreter() noexcept
{
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1)
        return -1;
    ModuleState& s = state();
    if (s.bound_interpreter == -1)
        s.bound_interpreter = current;
    else if (s.bound_interpreter != current) {
        PyErr_SetString(PyExc_ImportError, messages::interpreter_change);
        return -1;
    }
    return 0;
}

// Copies one attribute of the spec into the module's dictionary. A spec without it is skipped.
int copy_spec_attribute(PyObject* spec, const char* from, PyObject* dict, const char* to,
                        bool store_none) noexcept
{
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    if (value.get() == Py_None && !store_none)
        return 0;
    return PyDict_SetItemString(dict, to, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept
{
    if (bind_interpreter() < 0)
        return nullptr;
    ModuleState& s = state();
    if (s.module)
        return Py_NewRef(s.module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name)
        return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module)
        return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, "loader", dict, "__loader__", true) < 0 ||
        copy_spec_attribute(spec, "origin", dict, "__file__", true) < 0 ||
        copy_spec_attribute(spec, "parent", dict, "__package__", true) < 0 ||
        copy_spec_attribute(spec, "submodule_search_locations", dict, "__path__", false) < 0)
        return nullptr;
    return module.release();
}

// --- Exec phase ----------------------------------------------------------------------------

// Warns (a RuntimeWarning, which filters may turn into an error) if the running interpreter is
// not the major.minor version the module was built for.
int check_version() noexcept
{
    const int running_major = (Py_Version >> 24) & 0xff;
    const int running_minor = (Py_Version >> 16) & 0xff;
    if (running_major == PY_MAJOR_VERSION && running_minor == PY_MINOR_VERSION)
        return 0;
    char message[messages::version_mismatch_buffer];
    PyOS_snprintf(message, sizeof message, messages::version_mismatch, PY_MAJOR_VERSION,
                  PY_MINOR_VERSION, "zerbano.image", messages::version_mismatch_verdict,
                  running_major, running_minor);
    return PyErr_WarnEx(nullptr, message, 1);
}

int take_builtins() noexcept
{
    ModuleState& s = state();
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins || PyObject_SetAttrString(s.module, "__builtins__", builtins.get()) < 0)
        return -1;
    Py_XSETREF(s.builtins, builtins.release());
    return 0;
}

// Enters the module in the interpreter's module table as "zerbano.image" unless that name is
// taken already (by anything: it is never replaced).
int register_module_name() noexcept
{
    ModuleState& s = state();
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* entry = PyDict_GetItemWithError(modules, s.module_name);
    if (entry)
        return 0;
    if (PyErr_Occurred())
        return -1;
    return PyDict_SetItem(modules, s.module_name, s.module);
}

// Binds an imported module in the namespace, taking it from the module table when it is there
// already without entering the import machinery.
int import_and_bind(PyObject* module_name, PyObject* binding_name) noexcept
{
    ModuleState& s = state();
    Ref imported = Ref::steal(PyImport_GetModule(module_name));
    if (!imported) {
        if (PyErr_Occurred())
            return -1;
        Ref locals = Ref::steal(PyDict_New());
        if (!locals)
            return -1;
        imported = Ref::steal(PyImport_ImportModuleLevelObject(module_name, s.namespace_,
                                                               locals.get(), nullptr, 0));
        if (!imported)
            return -1;
    }
    return PyDict_SetItem(s.namespace_, binding_name, imported.get());
}

int bind_function(const FunctionSpec& spec, PyObject* name, PyObject* code) noexcept
{
    ModuleState& s = state();
    Ref function = Ref::steal(function_new(spec, name, s.module_name, s.namespace_, code));
    if (!function)
        return -1;
    return PyDict_SetItem(s.namespace_, name, function.get());
}

int bind_test_dict() noexcept
{
    Ref test = Ref::steal(PyDict_New());
    if (!test)
        return -1;
    return PyDict_SetItem(state().namespace_, state().names.test, test.get());
}

// Runs the exec steps from the function type on; each failure adds its init entry.
int exec_from_function_type() noexcept
{
    ModuleState& s = state();
    int line = 1;
    auto fail_at = [&line](int step_line) {
        line = step_line;
        return -1;
    };
    int status = [&]() -> int {
        if (create_function_type() < 0)
            return fail_at(1);
        if (register_module_name() < 0 || create_shapes_and_code_objects() < 0)
            return fail_at(1);
        if (import_and_bind(s.names.cv2, s.names.cv2) < 0)
            return fail_at(1);
        if (import_and_bind(s.names.numpy, s.names.np) < 0)
            return fail_at(2);
        if (import_and_bind(s.names.base64, s.names.base64) < 0)
            return fail_at(3);
        if (import_and_bind(s.names.os, s.names.os) < 0)
            return fail_at(4);
        if (bind_function(preprocess_image_spec, s.names.preprocess_image,
                          s.code_preprocess_image) < 0)
            return fail_at(preprocess_image_spec.definition_line);
        if (bind_function(crop_mrz_region_spec, s.names.crop_mrz_region,
                          s.code_crop_mrz_region) < 0)
            return fail_at(crop_mrz_region_spec.definition_line);
        if (bind_test_dict() < 0)
            return fail_at(1);
        return 0;
    }();
    if (status < 0)
        add_traceback_entry(init_entry_name, line);
    return status;
}

int module_exec(PyObject* module) noexcept
{
    ModuleState& s = state();
    if (s.module) {
        if (s.module == module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError, messages::reinitialisation);
        return -1;
    }
    s.module = Py_NewRef(module);

    PyObject* dict = PyModule_GetDict(module);  // borrowed; never fails for a module
    Py_XSETREF(s.namespace_, Py_NewRef(dict));
    if (take_builtins() < 0 || check_version() < 0 || create_shared_empties() < 0 ||
        create_names_and_numbers() < 0 || exec_from_function_type() < 0) {
        // The next import attempt starts over with a new module object.
        Py_CLEAR(s.module);
        return -1;
    }
    return 0;
}

PyMethodDef module_methods[] = {
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr} /* sentinel */
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "image",         /* m_name */
    nullptr,         /* m_doc */
    0,               /* m_size */
    module_methods,  /* m_methods */
    module_slots,    /* m_slots */
    nullptr,         /* m_traverse */
    nullptr,         /* m_clear */
    nullptr,         /* m_free */
};

}  // namespace

}  // namespace zerbano

PyMODINIT_FUNC PyInit_image(void)
{
    return PyModuleDef_Init(&zerbano::module_definition);
}
