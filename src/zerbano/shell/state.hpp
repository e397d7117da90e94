// The module's process-wide state: what the exec phase of import builds once and the calls read.
//
// There is no per-module state by design: the module refuses a second interpreter, so one
// set of names, constants, code objects and one function type serve the whole process.
// Nothing here is ever released (the interpreter may be finalised before static destructors
// run), which is why the members are plain owned pointers rather than `Ref`s.
#pragma once

#include <Python.h>

#include <cstdint>

namespace zerbano {

// Interned names: every attribute, keyword, module and variable name the module looks up or
// passes. X(member, "text").
#define ZERBANO_NAMES(X)                      \
    X(cv2, "cv2")                             \
    X(numpy, "numpy")                         \
    X(np, "np")                               \
    X(base64, "base64")                       \
    X(os, "os")                               \
    X(path, "path")                           \
    X(isfile, "isfile")                       \
    X(imread, "imread")                       \
    X(split, "split")                         \
    X(b64decode, "b64decode")                 \
    X(frombuffer, "frombuffer")               \
    X(uint8, "uint8")                         \
    X(imdecode, "imdecode")                   \
    X(IMREAD_COLOR, "IMREAD_COLOR")           \
    X(cvtColor, "cvtColor")                   \
    X(COLOR_BGR2GRAY, "COLOR_BGR2GRAY")       \
    X(resize, "resize")                       \
    X(fx, "fx")                               \
    X(fy, "fy")                               \
    X(interpolation, "interpolation")         \
    X(INTER_CUBIC, "INTER_CUBIC")             \
    X(ones, "ones")                           \
    X(morphologyEx, "morphologyEx")           \
    X(MORPH_OPEN, "MORPH_OPEN")               \
    X(shape, "shape")                         \
    X(preprocess_image, "preprocess_image")   \
    X(crop_mrz_region, "crop_mrz_region")     \
    X(test, "__test__")                       \
    X(image_input, "image_input")             \
    X(img, "img")                             \
    X(decoded_data, "decoded_data")           \
    X(np_data, "np_data")                     \
    X(gray, "gray")                           \
    X(kernel, "kernel")                       \
    X(image, "image")                         \
    X(height, "height")                       \
    X(width, "width")                         \
    X(start_row, "start_row")                 \
    X(cropped, "cropped")

struct Names {
#define ZERBANO_DECLARE_NAME(member, text) PyObject* member = nullptr;
    ZERBANO_NAMES(ZERBANO_DECLARE_NAME)
#undef ZERBANO_DECLARE_NAME
};

struct ModuleState {
    // Import bookkeeping
    std::int64_t bound_interpreter = -1;
    PyObject* module = nullptr;    // held from exec step 2; dropped if the exec phase fails
    PyObject* namespace_ = nullptr;  // the held module's dictionary
    PyObject* builtins = nullptr;  // the `builtins` module: fallback for module globals
    PyTypeObject* function_type = nullptr;

    // Shared by the code objects
    PyObject* empty_tuple = nullptr;
    PyObject* empty_bytes = nullptr;
    PyObject* refusing_body = nullptr;  // bytecode of the code objects: `raise AssertionError`
    PyObject* refusing_locations = nullptr;  // its location table: all on the first line

    Names names;
    PyObject* comma = nullptr;                 // ","
    PyObject* could_not_read_image = nullptr;  // the loading ValueError's message
    PyObject* module_name = nullptr;           // "zerbano.image"
    PyObject* file_name = nullptr;             // "src/zerbano/image"

    PyObject* float_0_7 = nullptr;
    PyObject* int_0 = nullptr;
    PyObject* int_2 = nullptr;
    PyObject* kernel_shape = nullptr;       // (2, 2)
    PyObject* leading_two_axes = nullptr;   // slice(None, 2, None)
    PyObject* code_preprocess_image = nullptr;
    PyObject* code_crop_mrz_region = nullptr;
};

// The one instance. Every access holds the interpreter lock.
ModuleState& state() noexcept;

// Exec step 6: the empty tuple and bytes, and the code objects' body. Step 7: names, texts and numbers. Return 0 or -1.
int create_shared_empties() noexcept;
int create_names_and_numbers() noexcept;
// Exec step 9, second half: (2, 2), the `[:2]` slice and the two code objects.
int create_shapes_and_code_objects() noexcept;

}  // namespace zerbano
