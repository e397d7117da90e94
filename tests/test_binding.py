"""Argument binding of both callables: exact messages and the entry at the definition line."""

import ctypes

import numpy as np
import pytest

import zerbano.image as zi

from helpers import module_entries, raises_at

CROP = ("zerbano.image.crop_mrz_region", 51)
PREPROCESS = ("zerbano.image.preprocess_image", 6)
IMAGE = np.zeros((10, 4), np.uint8)


class Keyword(str):
    def __eq__(self, other):  # a subclass may lie; binding compares as strings
        return False

    __hash__ = str.__hash__


@pytest.mark.parametrize(
    "function, entry, args, kwargs, message",
    [
        (zi.crop_mrz_region, CROP, (), {},
         "crop_mrz_region() takes exactly 1 positional argument (0 given)"),
        (zi.crop_mrz_region, CROP, (IMAGE, IMAGE), {},
         "crop_mrz_region() takes exactly 1 positional argument (2 given)"),
        (zi.preprocess_image, PREPROCESS, ("a", "b"), {},
         "preprocess_image() takes exactly 1 positional argument (2 given)"),
        (zi.preprocess_image, PREPROCESS, (), {},
         "preprocess_image() takes exactly 1 positional argument (0 given)"),
        (zi.crop_mrz_region, CROP, (), {"img": IMAGE},
         "crop_mrz_region() got an unexpected keyword argument 'img'"),
        (zi.crop_mrz_region, CROP, (IMAGE,), {"image": IMAGE},
         "crop_mrz_region() got multiple values for keyword argument 'image'"),
        (zi.preprocess_image, PREPROCESS, ("a",), {"image_input": "b"},
         "preprocess_image() got multiple values for keyword argument 'image_input'"),
        (zi.crop_mrz_region, CROP, (IMAGE, IMAGE), {"image": IMAGE},
         "crop_mrz_region() takes exactly 1 positional argument (2 given)"),
        (zi.crop_mrz_region, CROP, (), {"image": IMAGE, "image_input": IMAGE},
         "crop_mrz_region() got an unexpected keyword argument 'image_input'"),
        (zi.crop_mrz_region, CROP, (), {"image_input": IMAGE, "image": IMAGE},
         "crop_mrz_region() got an unexpected keyword argument 'image_input'"),
        (zi.preprocess_image, PREPROCESS, (), {"image": "x"},
         "preprocess_image() got an unexpected keyword argument 'image'"),
    ],
)
def test_binding_errors(function, entry, args, kwargs, message):
    raises_at(TypeError, message, entry, function, *args, **kwargs)


@pytest.mark.parametrize("keyword", ["image", "".join(["im", "age"]), Keyword("image")],
                         ids=["interned", "equal-string", "str-subclass"])
def test_keyword_binds_like_position(keyword):
    by_keyword = zi.crop_mrz_region(**{keyword: IMAGE})
    by_position = zi.crop_mrz_region(IMAGE)
    assert by_keyword.base is by_position.base is IMAGE
    assert by_keyword.shape == by_position.shape == (3, 4)


def test_generic_call_with_non_string_key_is_refused_before_entry():
    with pytest.raises(TypeError) as info:
        zi.crop_mrz_region(**{1: IMAGE})
    assert str(info.value) == "keywords must be strings"
    assert module_entries(info.value) == []


def _vectorcall(function, args, kwnames):
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    values = (ctypes.py_object * len(args))(*args)
    positional = len(args) - len(kwnames)
    return call(function, ctypes.cast(values, ctypes.c_void_p), positional, kwnames)


def test_fast_call_with_non_string_keyword():
    raises_at(TypeError, "crop_mrz_region() keywords must be strings", CROP,
              _vectorcall, zi.crop_mrz_region, (IMAGE,), (1,))


def test_fast_call_with_the_keyword_twice():
    raises_at(TypeError, "crop_mrz_region() got multiple values for keyword argument 'image'",
              CROP, _vectorcall, zi.crop_mrz_region, (IMAGE, IMAGE), ("image", "image"))


def test_empty_keyword_tuple_counts_as_none():
    assert _vectorcall(zi.crop_mrz_region, (IMAGE,), ()).shape == (3, 4)


def test_messages_and_entries_keep_fixed_names_after_renaming():
    function = zi.crop_mrz_region
    try:
        function.__name__ = "renamed"
        function.__qualname__ = "Renamed.crop"
        raises_at(TypeError, "crop_mrz_region() takes exactly 1 positional argument (0 given)",
                  CROP, function)
        raises_at(AttributeError, None, ("zerbano.image.crop_mrz_region", 58), function, 1)
        assert repr(function).startswith("<function Renamed.crop at 0x")
        assert function.__reduce__() == "Renamed.crop"
    finally:
        function.__name__ = function.__qualname__ = "crop_mrz_region"
