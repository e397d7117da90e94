// The source lines that traceback entries of the two callables show, one per step.
#pragma once

namespace zerbano::pipeline::lines {

// preprocess_image
inline constexpr int preprocess_image_definition = 6;  // argument binding
inline constexpr int regular_file_test = 14;
inline constexpr int file_read = 15;
inline constexpr int comma_test = 20;
inline constexpr int header_strip = 21;
inline constexpr int base64_decode = 23;
inline constexpr int wrap_bytes = 24;
inline constexpr int image_decode = 25;
inline constexpr int could_not_read = 30;
inline constexpr int gray_conversion = 33;
inline constexpr int enlargement = 37;
inline constexpr int structuring_element = 46;
inline constexpr int opening = 47;

// crop_mrz_region
inline constexpr int crop_mrz_region_definition = 51;  // argument binding
inline constexpr int shape = 58;
inline constexpr int start_row = 61;
inline constexpr int crop = 62;

}  // namespace zerbano::pipeline::lines
