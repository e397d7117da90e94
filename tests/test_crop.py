"""crop_mrz_region: band bounds in double precision, views, and every failure at its line."""

import collections
import math
import sys

import numpy as np
import pytest

import zerbano.image as zi

from helpers import raises_at

ENTRY = "zerbano.image.crop_mrz_region"


def plain_crop(image):
    height, width = image.shape[:2]
    start_row = int(height * 0.7)
    return image[start_row:height, 0:width]


class Shaped:
    """An image stand-in: a given `shape`, recording the key it is subscripted with."""

    def __init__(self, shape):
        self.shape = shape
        self.keys = []

    def __getitem__(self, key):
        self.keys.append(key)
        return key


@pytest.mark.parametrize(
    "height, start_row",
    [(0, 0), (1, 0), (2, 1), (3, 2), (10, 7), (90, 62), (100, 70), (480, 336), (720, 503),
     (1080, 756)],
)
def test_start_row_is_the_double_precision_product(height, start_row):
    image = np.arange(height * 2, dtype=np.uint8).reshape(height, 2)
    band = zi.crop_mrz_region(image)
    assert band.shape == (height - start_row, 2)
    assert np.shares_memory(band, image) or band.size == 0
    assert np.array_equal(band, image[start_row:])


def test_every_height_matches_python_arithmetic():
    for height in range(0, 5000):
        assert zi.crop_mrz_region(Shaped((height, 3))) == (
            slice(int(height * 0.7), height, None), slice(0, 3, None))


def test_colour_band_is_a_writable_view():
    image = np.zeros((1000, 800, 3), np.uint8)
    band = zi.crop_mrz_region(image)
    assert band.shape == (300, 800, 3) and band.base is image
    band[:] = 7
    assert (image[700:] == 7).all() and (image[:700] == 0).all()


def test_keyword_and_plain_python_agree():
    image = np.random.default_rng(1).integers(0, 255, (720, 1280), np.uint8)
    assert np.array_equal(zi.crop_mrz_region(image=image), plain_crop(image))


@pytest.mark.parametrize(
    "shape, expected",
    [
        ([480, 640, 3], (slice(336, 480), slice(0, 640))),   # a list like a tuple
        ((10.0, 4), (slice(7, 10.0), slice(0, 4))),           # float height truncated
        ((True, 4), (slice(0, True), slice(0, 4))),
        ((np.int64(720), np.int64(5)), (slice(503, 720), slice(0, 5))),
        (np.array([90, 2, 3]), (slice(62, 90), slice(0, 2))),
    ],
)
def test_shape_values_of_other_types(shape, expected):
    image = Shaped(shape)
    assert zi.crop_mrz_region(image) == expected
    assert type(image.keys[0][0].start) is int


class CountingShape:
    """A shape whose `[:2]` is a lazy iterable; counts the items pulled from it."""

    def __init__(self, items, error=None):
        self.items, self.error, self.pulled = items, error, 0

    def __getitem__(self, key):
        assert key == slice(None, 2, None)
        return self._iterate()

    def _iterate(self):
        for item in self.items:
            self.pulled += 1
            yield item
        if self.error:
            raise self.error


@pytest.mark.parametrize(
    "items, message, pulled",
    [
        ([], "need more than 0 values to unpack", 0),
        ([5], "need more than 1 value to unpack", 1),
        ([5, 6, 7, 8], "too many values to unpack (expected 2)", 3),
    ],
)
def test_iterable_shapes_are_pulled_at_most_three_times(items, message, pulled):
    shape = CountingShape(items)
    raises_at(ValueError, message, (ENTRY, 58), zi.crop_mrz_region, Shaped(shape))
    assert shape.pulled == pulled


def test_iterable_shape_of_two_items_unpacks():
    assert zi.crop_mrz_region(Shaped(CountingShape([10, 3]))) == (slice(7, 10), slice(0, 3))


@pytest.mark.parametrize("after", [0, 1, 2])
def test_iteration_errors_propagate(after):
    shape = CountingShape([10, 3][:after], error=KeyError("boom"))
    raises_at(KeyError, "'boom'", (ENTRY, 58), zi.crop_mrz_region, Shaped(shape))


@pytest.mark.parametrize(
    "image, exception, message",
    [
        (np.zeros(5), ValueError, "need more than 1 value to unpack"),
        (np.zeros(()), ValueError, "need more than 0 values to unpack"),
        (Shaped(()), ValueError, "need more than 0 values to unpack"),
        (Shaped([3]), ValueError, "need more than 1 value to unpack"),
        (Shaped(5), TypeError, "'int' object is unsliceable"),
        (Shaped({1, 2}), TypeError, "'set' object is unsliceable"),
        (Shaped(iter([1, 2])), TypeError, "'list_iterator' object is unsliceable"),
        (Shaped(type("N" * 300, (), {})()),
         TypeError, "'" + "N" * 200 + "' object is unsliceable"),
        (object(), AttributeError, "'object' object has no attribute 'shape'"),
        (Shaped(5.5), TypeError, "'float' object is unsliceable"),
        # A dict shape is looked up with the slice as its key, as in Python code: slices
        # are hashable from Python 3.12, so the key is missing instead of unhashable.
        (Shaped({0: 1}), *((KeyError, "slice(None, 2, None)") if sys.version_info >= (3, 12)
                           else (TypeError, "unhashable type: 'slice'"))),
    ],
)
def test_shape_failures_at_line_58(image, exception, message):
    raises_at(exception, message, (ENTRY, 58), zi.crop_mrz_region, image)


@pytest.mark.parametrize(
    "height, exception, message",
    [
        (math.nan, ValueError, "cannot convert float NaN to integer"),
        (math.inf, OverflowError, "cannot convert float infinity to integer"),
        (10**400, OverflowError, "int too large to convert to float"),
        (None, TypeError, "unsupported operand type(s) for *: 'NoneType' and 'float'"),
        ("a", TypeError, "can't multiply sequence by non-int of type 'float'"),
    ],
)
def test_start_row_failures_at_line_61(height, exception, message):
    raises_at(exception, message, (ENTRY, 61), zi.crop_mrz_region, Shaped((height, 3)))


def test_exact_int_product_is_taken_unchanged():
    class Height:
        def __mul__(self, other):
            return 5

    height = Height()
    key = zi.crop_mrz_region(Shaped((height, 3)))
    assert key[0].start == 5 and key[0].stop is height


def test_subscription_rules_of_the_interpreter():
    class NoSubscription:
        shape = (4, 4)

    raises_at(TypeError, "'NoSubscription' object is not subscriptable", (ENTRY, 62),
              zi.crop_mrz_region, NoSubscription())

    class SequenceOnly(collections.deque):
        shape = (4, 4)

    with pytest.raises(TypeError) as plain:
        SequenceOnly()[slice(2, 4), slice(0, 4)]
    raises_at(TypeError, str(plain.value), (ENTRY, 62), zi.crop_mrz_region, SequenceOnly())

    class Generic:
        shape = (10, 4)

        def __class_getitem__(cls, key):
            return key

    assert zi.crop_mrz_region(Generic) == (slice(7, 10), slice(0, 4))


def test_subscription_errors_propagate_at_line_62():
    class Failing(Shaped):
        def __getitem__(self, key):
            raise IndexError("no rows")

    raises_at(IndexError, "no rows", (ENTRY, 62), zi.crop_mrz_region, Failing((3, 3)))


def test_result_is_returned_unchanged():
    result = object()

    class Returns(Shaped):
        def __getitem__(self, key):
            return result

    assert zi.crop_mrz_region(Returns((3, 3))) is result
