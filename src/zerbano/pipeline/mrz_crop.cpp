// crop_mrz_region, as Python code:
//
//     def crop_mrz_region(image):                      # line 51
//         height, width = image.shape[:2]              # line 58
//         start_row = int(height * 0.7)                # line 61
//         cropped = image[start_row:height, 0:width]   # line 62
//         return cropped                               # line 63
//
// with the module's own unpacking messages. No pixel is touched: the cost does not depend on
// the image's size.
#include "pipeline/mrz_crop.hpp"

#include "shell/messages.hpp"
#include "shell/ref.hpp"
#include "shell/state.hpp"

namespace zerbano::pipeline {

namespace {

void raise_need_more_values(Py_ssize_t count) noexcept
{
    PyErr_Format(PyExc_ValueError, messages::need_more_values, count, count == 1 ? "" : "s");
}

void raise_too_many_values() noexcept
{
    PyErr_Format(PyExc_ValueError, messages::too_many_values, Py_ssize_t{2});
}

// Pulls one item; an exhausted iterator leaves no exception set. -1 on a real error.
int pull(PyObject* iterator, Ref& item) noexcept
{
    item = Ref::steal(Py_TYPE(iterator)->tp_iternext(iterator));
    if (item)
        return 0;
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_StopIteration))
            return -1;
        PyErr_Clear();
    }
    return 0;
}

// `height, width = leading`, for a value that is not an exact tuple or list: at most three
// pulls, so an endless iterable cannot hang the call.
int unpack_iterable(PyObject* leading, Ref& height, Ref& width) noexcept
{
    Ref iterator = Ref::steal(PyObject_GetIter(leading));
    if (!iterator)
        return -1;
    if (pull(iterator.get(), height) < 0)
        return -1;
    if (!height) {
        raise_need_more_values(0);
        return -1;
    }
    if (pull(iterator.get(), width) < 0)
        return -1;
    if (!width) {
        raise_need_more_values(1);
        return -1;
    }
    Ref extra;
    if (pull(iterator.get(), extra) < 0)
        return -1;
    if (extra) {
        raise_too_many_values();
        return -1;
    }
    return 0;
}

// `height, width = items`, for the items of an exact tuple or list.
int unpack_items(PyObject* const* items, Py_ssize_t count, Ref& height, Ref& width) noexcept
{
    if (count != 2) {
        if (count > 2)
            raise_too_many_values();
        else
            raise_need_more_values(count);
        return -1;
    }
    height = Ref::borrow(items[0]);
    width = Ref::borrow(items[1]);
    return 0;
}

// `height, width = image.shape[:2]`
int read_leading_dimensions(PyObject* image, Ref& height, Ref& width) noexcept
{
    ModuleState& s = state();
    Ref shape = Ref::steal(PyObject_GetAttr(image, s.names.shape));
    if (!shape)
        return -1;
    // Slicing an exact tuple or list runs no code of the caller's: its first two items are
    // what `[:2]` would give.
    if (PyTuple_CheckExact(shape.get()) || PyList_CheckExact(shape.get())) {
        const Py_ssize_t count = Py_SIZE(shape.get()) < 2 ? Py_SIZE(shape.get()) : 2;
        return unpack_items(PySequence_Fast_ITEMS(shape.get()), count, height, width);
    }

    PyMappingMethods* mapping = Py_TYPE(shape.get())->tp_as_mapping;
    if (!mapping || !mapping->mp_subscript) {
        PyErr_Format(PyExc_TypeError, messages::unsliceable, Py_TYPE(shape.get())->tp_name);
        return -1;
    }
    Ref leading = Ref::steal(mapping->mp_subscript(shape.get(), s.leading_two_axes));
    if (!leading)
        return -1;
    if (PyTuple_CheckExact(leading.get()) || PyList_CheckExact(leading.get()))
        return unpack_items(PySequence_Fast_ITEMS(leading.get()), Py_SIZE(leading.get()), height,
                            width);
    return unpack_iterable(leading.get(), height, width);
}

// `int(height * 0.7)`, the product in double precision.
Ref first_band_row(PyObject* height) noexcept
{
    ModuleState& s = state();
    if (PyLong_CheckExact(height)) {
        // What int * float and int() of the float product compute, without the float object.
        const double rows = PyLong_AsDouble(height);
        if (rows == -1.0 && PyErr_Occurred())
            return {};
        return Ref::steal(PyLong_FromDouble(rows * 0.7));
    }
    Ref product = Ref::steal(PyNumber_Multiply(height, s.float_0_7));
    if (!product || PyLong_CheckExact(product.get()))
        return product;
    return Ref::steal(PyNumber_Long(product.get()));
}

// `image[start_row:height, 0:width]`
Ref crop_rows(PyObject* image, PyObject* start_row, PyObject* height, PyObject* width) noexcept
{
    Ref rows = Ref::steal(PySlice_New(start_row, height, nullptr));
    if (!rows)
        return {};
    Ref columns = Ref::steal(PySlice_New(state().int_0, width, nullptr));
    if (!columns)
        return {};
    Ref key = Ref::steal(PyTuple_Pack(2, rows.get(), columns.get()));
    if (!key)
        return {};
    return Ref::steal(PyObject_GetItem(image, key.get()));
}

}  // namespace

PyObject* crop_mrz_region(PyObject* image, int* error_line) noexcept
{
    Ref height, width;
    if (read_leading_dimensions(image, height, width) < 0) {
        *error_line = lines::shape;
        return nullptr;
    }
    Ref start_row = first_band_row(height.get());
    if (!start_row) {
        *error_line = lines::start_row;
        return nullptr;
    }
    Ref cropped = crop_rows(image, start_row.get(), height.get(), width.get());
    if (!cropped) {
        *error_line = lines::crop;
        return nullptr;
    }
    return cropped.release();
}

}  // namespace zerbano::pipeline
