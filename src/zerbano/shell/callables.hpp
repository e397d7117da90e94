// The method entries of the module's two public callables.
#pragma once

#include "shell/function.hpp"

namespace zerbano {

extern const FunctionSpec preprocess_image_spec;
extern const FunctionSpec crop_mrz_region_spec;

}  // namespace zerbano
