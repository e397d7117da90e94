// Creation of the process-wide constants, in the order the exec phase needs them.
#include "shell/state.hpp"

#include "shell/callables.hpp"
#include "shell/compat.hpp"
#include "shell/function.hpp"
#include "shell/messages.hpp"

namespace zerbano {

ModuleState& state() noexcept
{
    static ModuleState instance;
    return instance;
}

namespace {

// Stores a new reference over an earlier attempt's value. 0, or -1 if `value` is nullptr.
int keep(PyObject*& slot, PyObject* value) noexcept
{
    if (!value)
        return -1;
    Py_XSETREF(slot, value);
    return 0;
}

}  // namespace

int create_shared_empties() noexcept
{
    ModuleState& s = state();
    if (keep(s.empty_tuple, PyTuple_New(0)) < 0)
        return -1;
    if (keep(s.empty_bytes, PyBytes_FromStringAndSize(nullptr, 0)) < 0)
        return -1;
    // The code objects only describe the callables, but a caller can still run one through
    // types.FunctionType. Empty bytecode would run past its end; this body raises instead, and
    // its location table gives the traceback, tracers and `dis` the first line, as for a def.
    if (keep(s.refusing_body, compat::raise_assertion_error_code()) < 0)
        return -1;
    return keep(s.refusing_locations, compat::raise_assertion_error_locations());
}

int create_names_and_numbers() noexcept
{
    ModuleState& s = state();
#define ZERBANO_INTERN_NAME(member, text) \
    if (keep(s.names.member, PyUnicode_InternFromString(text)) < 0) \
        return -1;
    ZERBANO_NAMES(ZERBANO_INTERN_NAME)
#undef ZERBANO_INTERN_NAME
    if (keep(s.comma, PyUnicode_FromString(",")) < 0 ||
        keep(s.could_not_read_image, PyUnicode_FromString(messages::could_not_read_image)) < 0 ||
        keep(s.module_name, PyUnicode_FromString("zerbano.image")) < 0 ||
        keep(s.file_name, PyUnicode_FromString("src/zerbano/image")) < 0)
        return -1;
    if (keep(s.float_0_7, PyFloat_FromDouble(0.7)) < 0 || keep(s.int_0, PyLong_FromLong(0)) < 0)
        return -1;
    return keep(s.int_2, PyLong_FromLong(2));
}

int create_shapes_and_code_objects() noexcept
{
    ModuleState& s = state();
    if (keep(s.kernel_shape, PyTuple_Pack(2, s.int_2, s.int_2)) < 0 ||
        keep(s.leading_two_axes, PySlice_New(Py_None, s.int_2, Py_None)) < 0)
        return -1;
    if (keep(s.code_preprocess_image, code_object_new(preprocess_image_spec)) < 0)
        return -1;
    return keep(s.code_crop_mrz_region, code_object_new(crop_mrz_region_spec));
}

}  // namespace zerbano
