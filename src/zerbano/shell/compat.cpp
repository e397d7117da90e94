// What compat.hpp declares and cannot define inline, for the interpreters that need it.
#include "shell/compat.hpp"

#if PY_VERSION_HEX >= 0x030C0000

#include <cstddef>

namespace zerbano::compat {

namespace {

// The dictionaries the lookup caches have stamped, each with its current version. A watcher
// gives every change of one a new version from a counter shared by all, so a version is never
// reused, not even by a new dictionary at a freed one's address. The module caches from a
// handful of dictionaries (its namespace, the modules it uses); past the capacity, or when the
// interpreter has no watcher left, a dictionary is simply not cached.
struct WatchedDict {
    PyObject* dict;  // not owned; null: a free slot
    std::uint64_t version;
};
constexpr std::size_t watched_capacity = 16;
WatchedDict watched[watched_capacity];
std::uint64_t last_version = 0;

constexpr int no_watcher = -1;
constexpr int watcher_unavailable = -2;
int watcher_id = no_watcher;

WatchedDict* record_of(PyObject* dict) noexcept
{
    for (WatchedDict& record : watched) {
        if (record.dict == dict)
            return &record;
    }
    return nullptr;
}

// Runs before each change of a watched dictionary takes effect: an entry stamped before the
// change can never match again. The callback must not fail and must not touch the dictionary.
int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) noexcept
{
    WatchedDict* record = record_of(dict);
    if (!record)
        return 0;
    if (event == PyDict_EVENT_DEALLOCATED)
        record->dict = nullptr;
    else
        record->version = ++last_version;
    return 0;
}

// Starts watching `dict`; its first version, or 0 if it cannot be watched.
std::uint64_t watch(PyObject* dict) noexcept
{
    if (watcher_id == watcher_unavailable)
        return 0;
    WatchedDict* record = record_of(nullptr);
    if (!record)
        return 0;
    if (watcher_id == no_watcher) {
        watcher_id = PyDict_AddWatcher(on_dict_event);
        if (watcher_id < 0) {
            // Every watcher slot of the interpreter is taken: the caches stay empty.
            PyErr_Clear();
            watcher_id = watcher_unavailable;
            return 0;
        }
    }
    if (PyDict_Watch(watcher_id, dict) < 0) {
        PyErr_Clear();
        return 0;
    }
    *record = {dict, ++last_version};
    return record->version;
}

}  // namespace

std::uint64_t dict_version(PyObject* dict) noexcept
{
    if (WatchedDict* record = record_of(dict))
        return record->version;
    return watch(dict);
}

}  // namespace zerbano::compat

#endif
