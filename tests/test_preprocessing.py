"""preprocess_image after loading: gray, 2x bicubic, opening; failures at lines 33-47."""

import cv2
import numpy as np
import pytest

import zerbano.image as zi

from helpers import raises_at
from test_input_loading import Proxy, plain_preprocess, raise_, rebind

ENTRY = "zerbano.image.preprocess_image"


def write(tmp_path, image, name="page.png"):
    path = tmp_path / name
    assert cv2.imwrite(str(path), image)
    return str(path)


@pytest.mark.parametrize("height, width", [(480, 640), (1, 1), (3, 7)])
def test_result_shape(height, width, tmp_path):
    image = np.random.default_rng(3).integers(0, 256, (height, width, 3), np.uint8)
    result = zi.preprocess_image(write(tmp_path, image))
    assert result.shape == (2 * height, 2 * width) and result.dtype == np.uint8
    assert result.flags.c_contiguous and result.flags.owndata
    assert np.array_equal(result, plain_preprocess(image))


@pytest.mark.parametrize("colour", [(0, 0, 0), (255, 255, 255), (10, 200, 90)])
def test_uniform_colour_gives_its_gray_value(colour, tmp_path):
    image = np.full((20, 30, 3), colour, np.uint8)
    gray = cv2.cvtColor(image[:1, :1], cv2.COLOR_BGR2GRAY)[0, 0]
    assert (zi.preprocess_image(write(tmp_path, image)) == gray).all()


def test_each_call_makes_new_arrays_and_keeps_the_input(monkeypatch, tmp_path):
    image = np.random.default_rng(5).integers(0, 256, (16, 16, 3), np.uint8)
    loaded = image.copy()
    kernels = []

    def morphologyEx(src, op, kernel):
        kernels.append(kernel)
        return cv2.morphologyEx(src, op, kernel)

    rebind(monkeypatch, "cv2", Proxy(cv2, [], imread=lambda name: loaded,
                                     morphologyEx=morphologyEx))
    path = write(tmp_path, image)
    first, second = zi.preprocess_image(path), zi.preprocess_image(path)
    assert first is not second and not np.shares_memory(first, loaded)
    assert np.array_equal(loaded, image)
    assert kernels[0] is not kernels[1]
    assert all(k.dtype == np.uint8 and k.shape == (2, 2) and (k == 1).all() for k in kernels)


def test_resize_gets_integer_factors_as_keywords_in_order(monkeypatch, tmp_path):
    calls = []

    def resize(*args, **kwargs):
        calls.append((args, list(kwargs.items())))
        return cv2.resize(*args, **kwargs)

    rebind(monkeypatch, "cv2", Proxy(cv2, [], resize=resize))
    zi.preprocess_image(write(tmp_path, np.zeros((4, 4, 3), np.uint8)))
    (args, keywords), = calls
    assert args[1] is None and args[0].shape == (4, 4)
    assert keywords == [("fx", 2), ("fy", 2), ("interpolation", cv2.INTER_CUBIC)]
    assert type(keywords[0][1]) is int


@pytest.mark.parametrize(
    "override, line",
    [("cvtColor", 33), ("COLOR_BGR2GRAY", 33), ("resize", 37), ("INTER_CUBIC", 37),
     ("morphologyEx", 47), ("MORPH_OPEN", 47)],
)
def test_cv2_failures_at_their_lines(override, line, monkeypatch, tmp_path):
    path = write(tmp_path, np.zeros((4, 4, 3), np.uint8))

    class Missing:
        def __getattr__(self, name):
            if name == override:
                raise AttributeError(name)
            return getattr(cv2, name)

    rebind(monkeypatch, "cv2", Missing())
    raises_at(AttributeError, override, (ENTRY, line), zi.preprocess_image, path)


def test_opencv_error_for_an_image_it_cannot_convert(monkeypatch, tmp_path):
    path = write(tmp_path, np.zeros((4, 4, 3), np.uint8))
    rebind(monkeypatch, "cv2", Proxy(cv2, [], imread=lambda name: np.zeros((4, 4), np.uint8)))
    raises_at(cv2.error, None, (ENTRY, 33), zi.preprocess_image, path)


def test_missing_np_fails_a_file_at_line_46(monkeypatch, tmp_path):
    path = write(tmp_path, np.zeros((4, 4, 3), np.uint8))
    monkeypatch.delitem(vars(zi), "np")
    raises_at(NameError, "name 'np' is not defined", (ENTRY, 46), zi.preprocess_image, path)


def test_structuring_element_failure(monkeypatch, tmp_path):
    path = write(tmp_path, np.zeros((4, 4, 3), np.uint8))
    rebind(monkeypatch, "np", Proxy(np, [], ones=raise_(MemoryError())))
    raises_at(MemoryError, "", (ENTRY, 46), zi.preprocess_image, path)
