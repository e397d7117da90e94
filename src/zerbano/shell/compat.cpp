// What compat.hpp declares and cannot define inline, for the interpreters that need it.
#include "shell/compat.hpp"

#include <array>
#include <cstddef>

// The opcode numbers of the interpreter being built for (from 3.13 in opcode_ids.h, which
// opcode.h includes). They are renumbered from version to version, so they are never typed here.
#include <opcode.h>

// From 3.14 the AssertionError type is one of the interpreter's common constants, loaded by
// LOAD_COMMON_CONSTANT with its index, which (like RESUME's operands) only the interpreter's
// internal header names. That header holds nothing but numbers, and asks for Py_BUILD_CORE.
#ifdef LOAD_COMMON_CONSTANT
#if !__has_include(<internal/pycore_opcode_utils.h>)
#error "building zerbano.image for this Python needs its internal headers (internal/pycore_opcode_utils.h names the operand of LOAD_COMMON_CONSTANT)"
#endif
#define Py_BUILD_CORE
#include <internal/pycore_opcode_utils.h>
#undef Py_BUILD_CORE
#endif

namespace zerbano::compat {

namespace {

#ifdef LOAD_COMMON_CONSTANT
constexpr int load_assertion_error = LOAD_COMMON_CONSTANT;
constexpr int assertion_error_operand = CONSTANT_ASSERTIONERROR;
constexpr int resume_at_start = RESUME_AT_FUNC_START;
#else
constexpr int load_assertion_error = LOAD_ASSERTION_ERROR;
constexpr int assertion_error_operand = 0;  // none
constexpr int resume_at_start = 0;
#endif

// Inline cache entries after RESUME: from 3.15 it keeps a warm-up counter there. The count is
// in no header as a number (only in an initializer of the interpreter's own tables), so it is
// stated here; the tests compare the whole body with the compiler's bytecode on every version.
#if PY_VERSION_HEX >= 0x030F0000
constexpr int resume_caches = 1;
#else
constexpr int resume_caches = 0;
#endif

constexpr std::size_t body_units = 3 + resume_caches;  // code units of two bytes

constexpr std::array<char, 2 * body_units> make_body()
{
    std::array<char, 2 * body_units> body{};
    std::size_t at = 0;
    auto emit = [&](int opcode, int operand) {
        body[at++] = static_cast<char>(opcode);
        body[at++] = static_cast<char>(operand);
    };
    emit(RESUME, resume_at_start);
    for (int i = 0; i < resume_caches; ++i)
        emit(CACHE, 0);
    emit(load_assertion_error, assertion_error_operand);
    emit(RAISE_VARARGS, 1);
    return body;
}

static_assert(RESUME < 256 && CACHE < 256 && load_assertion_error < 256 && RAISE_VARARGS < 256 &&
                  resume_at_start < 256 && assertion_error_operand < 256,
              "an opcode or operand of the body does not fit its byte");
constexpr std::array<char, 2 * body_units> body = make_body();

// The location table (one format from 3.11 on): a single entry for the whole body, of the kind
// "no columns", with line delta 0 from co_firstlineno, as a one-line `def` has it. An entry
// covers at most 8 code units; its first byte is 1, the kind (4 bits), the units less one (3).
constexpr int location_no_columns = 13;
static_assert(body_units <= 8, "the body needs more than one location entry");
constexpr char locations[] = {
    static_cast<char>(0x80 | (location_no_columns << 3) | (body_units - 1)),
    0,  // line delta 0, as a signed varint
};

}  // namespace

PyObject* raise_assertion_error_code() noexcept
{
    return PyBytes_FromStringAndSize(body.data(), body.size());
}

PyObject* raise_assertion_error_locations() noexcept
{
    return PyBytes_FromStringAndSize(locations, sizeof locations);
}

}  // namespace zerbano::compat

#if PY_VERSION_HEX >= 0x030C0000

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
