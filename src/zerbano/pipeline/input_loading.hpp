// The first steps of preprocess_image: from a file path or base64 text to a loaded image.
#pragma once

#include <Python.h>

#include "shell/ref.hpp"

namespace zerbano::pipeline {

// The locals of the loading steps. They stay alive until the call returns, as a function's
// locals would.
struct LoadedImage {
    Ref img;
    Ref decoded_data;
    Ref np_data;
};

// Fills `loaded.img` with an image (never None) and returns 0; or returns -1 with an exception
// set and `*error_line` set.
int load_image(PyObject* image_input, LoadedImage& loaded, int* error_line) noexcept;

}  // namespace zerbano::pipeline
