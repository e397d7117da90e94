// crop_mrz_region(image): the bottom band of an image, from row int(height * 0.7), as the
// image's own two-slice subscription returns it (a view for an ndarray).
#pragma once

#include <Python.h>

#include "pipeline/lines.hpp"

namespace zerbano::pipeline {

PyObject* crop_mrz_region(PyObject* image, int* error_line) noexcept;

}  // namespace zerbano::pipeline
