// Module-global lookup, anew at every use: a caller who rebinds `cv2` in the module namespace
// (or removes it, leaving a `builtins.cv2` to be found) changes what the next call uses.
//
// Lookups are cached by dictionary version (compat::dict_version). Every change of a
// dictionary gives it a new version, unique in the process, so an entry whose dictionary still
// shows the version it was filled at holds exactly what a fresh lookup would find; the value
// is borrowed from that dictionary, which still refers to it. Only what a dictionary itself
// holds is cached: a name found in `builtins` after a namespace miss, or an attribute that a
// module's `__getattr__` supplies, is looked up afresh every time.
#include "shell/globals.hpp"

#include <cstddef>
#include <cstdint>

#include "shell/calls.hpp"
#include "shell/compat.hpp"
#include "shell/messages.hpp"
#include "shell/state.hpp"

namespace zerbano {

namespace {

struct CacheEntry {
    PyObject* dict = nullptr;     // not owned: only compared
    std::uint64_t version = 0;    // 0 (never a version) while `dict` is null
    PyObject* name = nullptr;     // owned, so that its address cannot come to mean another name;
                                  // null: a free entry
    PyObject* value = nullptr;    // borrowed from `dict`
};

// One entry per name, found by open addressing on the name's address. The module reads a
// fixed set of names (a new set only if a failed import is retried), far fewer than the
// capacity; should a table ever fill, further names are simply not cached.
constexpr std::size_t namespace_cache_size = 16;
constexpr std::size_t attribute_cache_size = 64;
CacheEntry namespace_cache[namespace_cache_size];
CacheEntry attribute_cache[attribute_cache_size];

// The entry that is or will be `name`'s, or nullptr if the table is full.
template <std::size_t size>
CacheEntry* entry_for(CacheEntry (&cache)[size], PyObject* name) noexcept
{
    const auto address = reinterpret_cast<std::uintptr_t>(name);
    std::size_t index = (address >> 4) % size;
    for (std::size_t probes = 0; probes < size; ++probes, index = (index + 1) % size) {
        if (cache[index].name == name || !cache[index].name)
            return &cache[index];
    }
    return nullptr;
}

bool holds(const CacheEntry* entry, PyObject* dict, PyObject* name) noexcept
{
    return entry && entry->name == name && entry->dict == dict &&
           entry->version == compat::dict_version(dict);
}

void fill(CacheEntry* entry, PyObject* dict, std::uint64_t version, PyObject* name,
          PyObject* value) noexcept
{
    // A lookup can run code (a module's __getattr__) that fills a free entry for another name.
    // Version 0: the dictionary has no version to stamp the entry with.
    if (!entry || (entry->name && entry->name != name) || version == 0)
        return;
    if (!entry->name)
        entry->name = Py_NewRef(name);
    entry->dict = dict;
    entry->version = version;
    entry->value = value;
}

}  // namespace

Ref lookup_global(PyObject* name) noexcept
{
    ModuleState& s = state();
    CacheEntry* entry = entry_for(namespace_cache, name);
    if (holds(entry, s.namespace_, name))
        return Ref::borrow(entry->value);

    // A miss, or an error raised while searching the namespace, falls through to `builtins`.
    // The version is taken before the search: a search that changes the namespace leaves an
    // entry that no later lookup trusts.
    const std::uint64_t version = compat::dict_version(s.namespace_);
    PyObject* found = PyDict_GetItemWithError(s.namespace_, name);
    if (found) {
        fill(entry, s.namespace_, version, name, found);
        return Ref::borrow(found);
    }
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

Ref attribute(PyObject* object, PyObject* name) noexcept
{
    // For an exact module, the ordinary lookup of a name that the module type does not define
    // gives the module dictionary's value when it has one, and otherwise asks the module's
    // `__getattr__`. Other objects are not cached.
    PyObject* dict = PyModule_CheckExact(object) ? PyModule_GetDict(object) : nullptr;
    if (!dict)
        return Ref::steal(PyObject_GetAttr(object, name));
    CacheEntry* entry = entry_for(attribute_cache, name);
    if (holds(entry, dict, name))
        return Ref::borrow(entry->value);

    const std::uint64_t version = compat::dict_version(dict);
    Ref value = Ref::steal(PyObject_GetAttr(object, name));
    if (!value || compat::dict_version(dict) != version || _PyType_Lookup(&PyModule_Type, name))
        return value;
    PyObject* held = PyDict_GetItemWithError(dict, name);
    if (held == value.get() && compat::dict_version(dict) == version)
        fill(entry, dict, version, name, held);
    else if (!held)
        PyErr_Clear();
    return value;
}

Ref global_attribute(PyObject* module_name, PyObject* attribute_name) noexcept
{
    Ref module = lookup_global(module_name);
    if (!module)
        return {};
    return attribute(module.get(), attribute_name);
}

Ref call_method_one(PyObject* self, PyObject* name, PyObject* argument) noexcept
{
    // A module's methods are plain attributes: the interpreter's method call reads the
    // attribute and calls it without `self`, which is what happens here for an exact module.
    if (!PyModule_CheckExact(self))
        return call_method(self, name, argument);
    Ref callable = attribute(self, name);
    if (!callable)
        return {};
    PyObject* arguments[] = {self, argument};
    return Ref::steal(PyObject_Vectorcall(callable.get(), arguments + 1,
                                          1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace zerbano
