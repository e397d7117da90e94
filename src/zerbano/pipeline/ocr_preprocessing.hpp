// preprocess_image(image_input): load the image, then gray, enlarge 2x bicubically and open
// with a 2x2 kernel of ones, for the OCR stage.
#pragma once

#include <Python.h>

#include "pipeline/lines.hpp"

namespace zerbano::pipeline {

PyObject* preprocess_image(PyObject* image_input, int* error_line) noexcept;

}  // namespace zerbano::pipeline
