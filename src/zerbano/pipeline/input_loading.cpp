// The loading steps of preprocess_image, as Python code:
//
//     img = None                                                  # line 11
//     if os.path.isfile(image_input):                             # line 14
//         img = cv2.imread(image_input)                           # line 15
//     else:
//         try:
//             if "," in image_input:                              # line 20
//                 image_input = image_input.split(",")[1]         # line 21
//             decoded_data = base64.b64decode(image_input)        # line 23
//             np_data = np.frombuffer(decoded_data, np.uint8)     # line 24
//             img = cv2.imdecode(np_data, cv2.IMREAD_COLOR)       # line 25
//         except Exception:
//             pass
//     if img is None:                                             # line 29
//         raise ValueError("Could not read image from input. ...")  # line 30
//
// Every module global is looked up anew at each use.
#include "pipeline/input_loading.hpp"

#include "pipeline/lines.hpp"
#include "shell/calls.hpp"
#include "shell/globals.hpp"
#include "shell/state.hpp"

namespace zerbano::pipeline {

namespace {

// `os.path.isfile(image_input)` as a truth value: 1, 0, or -1 with an exception set.
int is_regular_file(PyObject* image_input) noexcept
{
    const Names& names = state().names;
    Ref path = global_attribute(names.os, names.path);
    if (!path)
        return -1;
    Ref answer = call_method_one(path.get(), names.isfile, image_input);
    if (!answer)
        return -1;
    if (answer.get() == Py_True)
        return 1;
    if (answer.get() == Py_False || answer.get() == Py_None)
        return 0;
    return PyObject_IsTrue(answer.get());
}

// `cv2.imread(image_input)`
Ref read_file(PyObject* image_input) noexcept
{
    const Names& names = state().names;
    Ref imread = global_attribute(names.cv2, names.imread);
    if (!imread)
        return {};
    // cv2 takes a text path as UTF-8 without checking that the conversion worked, and crashes
    // on a name with lone surrogates (a file name that is not UTF-8, as os.listdir gives it).
    // Such a name fails here instead, with the conversion's UnicodeEncodeError.
    if (PyUnicode_Check(image_input) && !PyUnicode_AsUTF8AndSize(image_input, nullptr))
        return {};
    return call(imread.get(), image_input);
}

// `text.split(",")[1]`
Ref second_field(PyObject* text) noexcept
{
    Ref fields = call_method(text, state().names.split, state().comma);
    if (!fields)
        return {};
    PyObject* sequence = fields.get();
    if ((PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) && Py_SIZE(sequence) > 1)
        return Ref::borrow(PySequence_Fast_ITEMS(sequence)[1]);
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one)
        return {};
    return Ref::steal(PyObject_GetItem(sequence, one.get()));
}

// The body of the decode guard: lines 20 to 25. -1 with `*error_line` set on failure.
int decode_base64_image(PyObject* image_input, LoadedImage& loaded, int* error_line) noexcept
{
    ModuleState& s = state();
    const Names& names = s.names;
    Ref text = Ref::borrow(image_input);

    *error_line = lines::comma_test;
    const int has_header = PySequence_Contains(text.get(), s.comma);
    if (has_header < 0)
        return -1;
    if (has_header) {
        *error_line = lines::header_strip;
        text = second_field(text.get());
        if (!text)
            return -1;
    }

    *error_line = lines::base64_decode;
    Ref b64decode = global_attribute(names.base64, names.b64decode);
    if (!b64decode)
        return -1;
    loaded.decoded_data = call(b64decode.get(), text.get());
    if (!loaded.decoded_data)
        return -1;

    *error_line = lines::wrap_bytes;
    Ref frombuffer = global_attribute(names.np, names.frombuffer);
    if (!frombuffer)
        return -1;
    Ref uint8 = global_attribute(names.np, names.uint8);
    if (!uint8)
        return -1;
    loaded.np_data = call(frombuffer.get(), loaded.decoded_data.get(), uint8.get());
    if (!loaded.np_data)
        return -1;

    *error_line = lines::image_decode;
    Ref imdecode = global_attribute(names.cv2, names.imdecode);
    if (!imdecode)
        return -1;
    Ref color = global_attribute(names.cv2, names.IMREAD_COLOR);
    if (!color)
        return -1;
    loaded.img = call(imdecode.get(), loaded.np_data.get(), color.get());
    return loaded.img ? 0 : -1;
}

// The decode guard: a failure derived from Exception is dropped whole (no entry, not kept as
// anything's context) and leaves `img` unset; any other failure propagates. The guard never
// makes the failure "the exception being handled", so what sys.exc_info() reports is the
// caller's throughout, without saving and restoring it.
int decode_guarded(PyObject* image_input, LoadedImage& loaded, int* error_line) noexcept
{
    if (decode_base64_image(image_input, loaded, error_line) == 0)
        return 0;
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        return -1;
    PyErr_Clear();
    return 0;
}

int raise_could_not_read() noexcept
{
    Ref error = Ref::steal(PyObject_CallOneArg(PyExc_ValueError, state().could_not_read_image));
    if (error)
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return -1;
}

}  // namespace

int load_image(PyObject* image_input, LoadedImage& loaded, int* error_line) noexcept
{
    *error_line = lines::regular_file_test;
    const int regular_file = is_regular_file(image_input);
    if (regular_file < 0)
        return -1;
    if (regular_file) {
        *error_line = lines::file_read;
        loaded.img = read_file(image_input);
        if (!loaded.img)
            return -1;
    } else if (decode_guarded(image_input, loaded, error_line) < 0) {
        return -1;
    }
    if (loaded.img && loaded.img.get() != Py_None)
        return 0;
    *error_line = lines::could_not_read;
    return raise_could_not_read();
}

}  // namespace zerbano::pipeline
