// preprocess_image, after the loading steps, as Python code:
//
//     gray = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)                              # line 33
//     gray = cv2.resize(gray, None, fx=2, fy=2, interpolation=cv2.INTER_CUBIC)  # line 37
//     kernel = np.ones((2, 2), np.uint8)                                        # line 46
//     gray = cv2.morphologyEx(gray, cv2.MORPH_OPEN, kernel)                     # line 47
//     return gray                                                               # line 49
//
// Three new arrays per call; each replaced `gray` is released as soon as its successor exists.
#include "pipeline/ocr_preprocessing.hpp"

#include "pipeline/input_loading.hpp"
#include "shell/calls.hpp"
#include "shell/globals.hpp"
#include "shell/state.hpp"

namespace zerbano::pipeline {

namespace {

// `module.function(first, module.constant, *rest)`, each global looked up anew.
template <typename... Rest>
Ref call_with_constant(PyObject* module, PyObject* function, PyObject* first, PyObject* constant,
                       Rest... rest) noexcept
{
    Ref callable = global_attribute(module, function);
    if (!callable)
        return {};
    Ref value = global_attribute(module, constant);
    if (!value)
        return {};
    return call(callable.get(), first, value.get(), rest...);
}

// `cv2.resize(gray, None, fx=2, fy=2, interpolation=cv2.INTER_CUBIC)`
Ref enlarge(PyObject* gray) noexcept
{
    ModuleState& s = state();
    const Names& names = s.names;
    Ref resize = global_attribute(names.cv2, names.resize);
    if (!resize)
        return {};
    Ref cubic = global_attribute(names.cv2, names.INTER_CUBIC);
    if (!cubic)
        return {};
    Ref keywords = Ref::steal(PyTuple_Pack(3, names.fx, names.fy, names.interpolation));
    if (!keywords)
        return {};
    PyObject* const arguments[] = {gray, Py_None, s.int_2, s.int_2, cubic.get()};
    return Ref::steal(PyObject_Vectorcall(resize.get(), arguments, 2, keywords.get()));
}

// `np.ones((2, 2), np.uint8)`
Ref structuring_element() noexcept
{
    const Names& names = state().names;
    Ref ones = global_attribute(names.np, names.ones);
    if (!ones)
        return {};
    Ref uint8 = global_attribute(names.np, names.uint8);
    if (!uint8)
        return {};
    return call(ones.get(), state().kernel_shape, uint8.get());
}

}  // namespace

PyObject* preprocess_image(PyObject* image_input, int* error_line) noexcept
{
    const Names& names = state().names;
    LoadedImage loaded;
    if (load_image(image_input, loaded, error_line) < 0)
        return nullptr;

    Ref gray = call_with_constant(names.cv2, names.cvtColor, loaded.img.get(),
                                  names.COLOR_BGR2GRAY);
    if (!gray) {
        *error_line = lines::gray_conversion;
        return nullptr;
    }
    gray = enlarge(gray.get());
    if (!gray) {
        *error_line = lines::enlargement;
        return nullptr;
    }
    Ref kernel = structuring_element();
    if (!kernel) {
        *error_line = lines::structuring_element;
        return nullptr;
    }
    gray = call_with_constant(names.cv2, names.morphologyEx, gray.get(), names.MORPH_OPEN,
                              kernel.get());
    if (!gray) {
        *error_line = lines::opening;
        return nullptr;
    }
    return gray.release();
}

}  // namespace zerbano::pipeline
