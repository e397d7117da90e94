// The module's public callables as Python sees them: names, documentation, parameters, the
// local names of their code objects, and the pipeline step that does the work.
#include "shell/callables.hpp"

#include <iterator>

#include "pipeline/mrz_crop.hpp"
#include "pipeline/ocr_preprocessing.hpp"

namespace zerbano {

namespace {

PyObject* Names::*const preprocess_image_locals[] = {
    &Names::image_input, &Names::img, &Names::decoded_data,
    &Names::np_data,     &Names::gray, &Names::kernel,
};

PyObject* Names::*const crop_mrz_region_locals[] = {
    &Names::image, &Names::height, &Names::width, &Names::start_row, &Names::cropped,
};

constexpr char preprocess_image_doc[] =
    "\n"
    "    Reads an image (path or base64) and preprocesses it for OCR.\n"
    "    Returns the preprocessed image.\n"
    "    ";

constexpr char crop_mrz_region_doc[] =
    "\n"
    "    Attempts to crop the MRZ region from the passport image.\n"
    "    This is a heuristic approach and might need tuning.\n"
    "    For now, we'll return the bottom 25% of the image as a simple heuristic,\n"
    "    as MRZ is usually at the bottom.\n"
    "    ";

}  // namespace

const FunctionSpec preprocess_image_spec = {
    "preprocess_image",
    "zerbano.image.preprocess_image",
    pipeline::lines::preprocess_image_definition,
    &Names::image_input,
    preprocess_image_locals,
    static_cast<int>(std::size(preprocess_image_locals)),
    preprocess_image_doc,
    pipeline::preprocess_image,
};

const FunctionSpec crop_mrz_region_spec = {
    "crop_mrz_region",
    "zerbano.image.crop_mrz_region",
    pipeline::lines::crop_mrz_region_definition,
    &Names::image,
    crop_mrz_region_locals,
    static_cast<int>(std::size(crop_mrz_region_locals)),
    crop_mrz_region_doc,
    pipeline::crop_mrz_region,
};

}  // namespace zerbano
