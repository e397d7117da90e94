// Every message text the module raises or warns with, in one place.
// Format strings follow PyErr_Format / PyUnicode_FromFormat conventions.
#pragma once

namespace zerbano::messages {

// Import
inline constexpr char interpreter_change[] =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";
inline constexpr char reinitialisation[] =
    "Module 'image' has already been imported. Re-initialisation is not supported.";
// Filled with the build's major and minor, the module name, the verdict and the runtime's major
// and minor; cut to the buffer below.
inline constexpr char version_mismatch[] =
    "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d";
inline constexpr char version_mismatch_verdict[] = "does not match";
inline constexpr int version_mismatch_buffer = 200;

// Argument binding
inline constexpr char positional_count[] = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
inline constexpr char positional_count_exactly[] = "exactly";
inline constexpr char unexpected_keyword[] = "%s() got an unexpected keyword argument '%U'";
inline constexpr char multiple_values[] = "%s() got multiple values for keyword argument '%U'";
inline constexpr char keywords_not_strings[] = "%.200s() keywords must be strings";

// Module globals
inline constexpr char name_not_defined[] = "name '%U' is not defined";

// Input loading
inline constexpr char could_not_read_image[] =
    "Could not read image from input. Ensure it is a valid file path or base64 string.";

// MRZ crop
inline constexpr char unsliceable[] = "'%.200s' object is unsliceable";
inline constexpr char too_many_values[] = "too many values to unpack (expected %zd)";
inline constexpr char need_more_values[] = "need more than %zd value%.1s to unpack";

// Function attributes, in the interpreter's own words for its functions
inline constexpr char set_name[] = "__name__ must be set to a string object";
inline constexpr char set_qualname[] = "__qualname__ must be set to a string object";
inline constexpr char set_code[] = "__code__ must be set to a code object";
inline constexpr char set_defaults[] = "__defaults__ must be set to a tuple object";
inline constexpr char set_kwdefaults[] = "__kwdefaults__ must be set to a dict object";
inline constexpr char set_annotations[] = "__annotations__ must be set to a dict object";
inline constexpr char set_type_params[] = "__type_params__ must be set to a tuple";
inline constexpr char set_annotate[] = "__annotate__ must be callable or None";
inline constexpr char delete_annotate[] = "__annotate__ cannot be deleted";
// __annotate__ gave something else than a dict: 3.14's words, filled with the type's name; from
// 3.15, filled with the result itself, whose type %T names in full (module and qualified name).
inline constexpr char annotate_result[] = "__annotate__ returned non-dict of type '%.100s'";
inline constexpr char annotate_result_names_type_in_full[] =
    "__annotate__() must return a dict, not %T";

}  // namespace zerbano::messages
