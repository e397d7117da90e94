"""Every success and failure path of both callables, repeated: no reference or memory may grow.

Each case builds its argument once and calls the function thousands of times; the argument,
the module globals (cv2, np, base64, os) and the base of a view result are watched.
"""

import base64
import contextlib

import cv2
import numpy as np
import pytest

import zerbano.image as image
from leak_cases import (CROP_CASES, EMPTY_DECODES, OPENCV_MAJOR, PREPROCESS_CASES, make_files,
                        rebound)
from leakcheck import assert_no_leak, watchable_argument


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    return make_files(tmp_path_factory.mktemp("leaks"))


@pytest.mark.parametrize(
    "argument, call, error", [case[1:] for case in CROP_CASES], ids=[case[0] for case in CROP_CASES]
)
def test_crop_paths_do_not_leak(argument, call, error):
    crop = image.crop_mrz_region
    assert_no_leak(lambda: call(crop, argument), watch=(argument,), expected_error=error,
                   repeat=4000)


@pytest.mark.parametrize(
    "make, call, error, rebinding",
    [case[1:] for case in PREPROCESS_CASES],
    ids=[case[0] for case in PREPROCESS_CASES],
)
def test_preprocess_paths_do_not_leak(request, files, make, call, error, rebinding):
    if OPENCV_MAJOR < 5 and request.node.callspec.id in EMPTY_DECODES:
        pytest.skip("OpenCV 4 leaks in cv2.imdecode of an empty buffer, with or without zerbano")
    argument = make(files)
    preprocess = image.preprocess_image
    # The real modules stay watched while a stand-in is bound in their place.
    watch = (*watchable_argument(argument), cv2, np, base64, image.os)
    with rebound(vars(image), *rebinding) if rebinding else contextlib.nullcontext():
        assert_no_leak(lambda: call(preprocess, argument), watch=watch, expected_error=error,
                       repeat=2000)
    assert image.cv2 is cv2 and image.np is np and image.base64 is base64
