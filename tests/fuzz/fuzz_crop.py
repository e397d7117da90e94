"""Fuzz target: crop_mrz_region against its plain-Python twin.

The first byte picks the argument: a NumPy array of an odd dtype, dimension count or layout
(views, reversed and broadcast strides, read-only, subclasses), or an image stand-in whose
`shape` is any kind of value (tuples, lists, iterators, ranges, bytes, objects whose slicing,
iteration or arithmetic misbehave) and whose subscription returns the key, another value or
raises. Every outcome must be the twin's: an equal result (a view of the caller's array), or
an exception of the same type, with the same text or the module's own unpacking wording.
"""

import collections
import decimal
import fractions
import re
import sys
import warnings

import numpy as np

import fuzzlib
import zerbano.image
from plain_twin import make_twin

_crop = zerbano.image.crop_mrz_region
_twin = make_twin()

# The module words the unpacking errors its own way, and takes an iterator over a value that
# is not an exact tuple or list (the interpreter's own error for one that cannot be iterated);
# everything else must read the same.
OWN_MESSAGES = re.compile(
    r"need more than \d+ values? to unpack|too many values to unpack \(expected 2\)"
    r"|'.{1,200}' object is (unsliceable|not iterable)"
)

DTYPES = [np.uint8, np.int8, np.uint16, np.int32, np.int64, np.float16, np.float32, np.float64,
          np.complex64, np.bool_, object, "U3", "S2", "V4", "datetime64[s]",
          [("a", "u1"), ("b", "f4")]]


class IntLike(int):
    """An int whose product with 0.7 is something else."""

    product = None

    def __mul__(self, other):
        product = type(self).product
        if isinstance(product, BaseException):
            raise product
        return product


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Raises:
    def __init__(self, error):
        self.error = error

    def __mul__(self, other):
        raise self.error

    __rmul__ = __mul__


def dimension(source):
    kind = source.number(24)
    small = source.number(256) - 8
    return [
        small, -small, 2**31 - 1 + small, 2**63 + small, -(2**63) - small, 10**400,
        True, False, float(small) / 3, float("nan"), float("inf"), -float("inf"), -0.0,
        5e-324, 1e308, np.int64(small), np.uint8(small % 256), np.float32(small / 7),
        np.float16("nan"), fractions.Fraction(small, 3), decimal.Decimal(small),
        complex(small, 1), None, "7",
    ][kind]


def odd_dimension(source):
    kind = source.number(5)
    if kind == 0:
        IntLike.product = source.choice([
            3.5, "x", None, IntLike(2), float("nan"), 10**30, RuntimeError("mul"),
            StopIteration(), [1], True, np.float64(2.5), fractions.Fraction(7, 2),
        ])
        return IntLike(source.number(100))
    if kind == 1:
        return Index(source.number(50))
    if kind == 2:
        return Raises(source.choice([RuntimeError("x"), OverflowError("y"), ValueError("z")]))
    return dimension(source)


def leading(items, error):
    yield from items
    if error is not None:
        raise error


class Shape:
    """A shape whose `[:2]` gives what the input says."""

    def __init__(self, result):
        self.result = result

    def __getitem__(self, key):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result() if callable(self.result) else self.result


class Image:
    """An image stand-in: a `shape`, and a subscription that returns the key, a fixed value,
    or raises."""

    def __init__(self, shape, subscript):
        self.shape = shape
        self.subscript = subscript

    def __getitem__(self, key):
        if self.subscript is None:
            return key
        if isinstance(self.subscript, BaseException):
            raise self.subscript
        return self.subscript


class NoShape:
    @property
    def shape(self):
        raise AttributeError("shape went away")


def make_array(source):
    dtype = source.choice(DTYPES)
    dims = [source.number(5) for _ in range(source.number(6))]
    array = np.zeros(dims, dtype)
    view = source.number(8)
    if view == 1 and array.ndim:
        array = array[::-1]
    elif view == 2 and array.ndim:
        array = array[::2]
    elif view == 3:
        array = array.T
    elif view == 4 and array.ndim and array.shape[0]:
        array = np.broadcast_to(array[:1], (source.number(6),) + array.shape[1:])
    elif view == 5:
        array.flags.writeable = False
    elif view == 6 and array.ndim == 2:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", PendingDeprecationWarning)
            array = np.asmatrix(array)
    elif view == 7:
        array = np.ma.masked_array(array)
    return array


def make_shape(source):
    items = [odd_dimension(source) for _ in range(source.number(5))]
    kind = source.number(12)
    if kind == 0:
        return tuple(items)
    if kind == 1:
        return list(items)
    if kind == 2:
        error = source.choice([None, RuntimeError("after"), StopIteration(), IndexError("i")])
        return Shape(lambda: leading(items, error))
    if kind == 3:
        return Shape(tuple(items) if source.flag() else list(items))
    if kind == 4:
        return range(source.number(12) - 3, source.number(12) - 3, source.choice([1, 2, -1]))
    if kind == 5:
        return source.bytes(4)
    if kind == 6:
        return source.text(4)
    if kind == 7:
        return collections.deque(items)
    if kind == 8:
        return Shape(source.choice([RuntimeError("slice"), TypeError("t"), KeyError("k")]))
    if kind == 9:
        return Shape(source.choice([5, None, iter(items), {1: 2}, "ab", b"ab", items[:1]]))
    if kind == 10:
        return {i: item for i, item in enumerate(items)}
    return odd_dimension(source)


def make_argument(data):
    """A function that builds the argument from the input anew: the twin and the module each
    get their own, since a shape may be a one-shot iterator."""

    def build():
        source = fuzzlib.Input(data)
        kind = source.number(4)
        if kind == 0:
            return make_array(source)
        if kind == 3:
            return NoShape()
        subscript = source.choice([None, None, RuntimeError("get"), 5, "s"])
        return Image(make_shape(source), subscript)

    return build


ADDRESS = re.compile(r" at 0x[0-9a-f]+")


def same(result, expected):
    if isinstance(expected, np.ndarray):
        if type(result) is not type(expected) or result.shape != expected.shape:
            return False
        if expected.dtype.kind in "OV" or expected.dtype.names is not None:
            return result.dtype == expected.dtype
        return np.array_equal(result, expected, equal_nan=expected.dtype.kind in "fc")
    # Keys of slices: equal, or equal but for NaNs and object addresses.
    return ADDRESS.sub("", repr(result)) == ADDRESS.sub("", repr(expected))


def one_input(data):
    make = make_argument(data)
    expected, expected_error = fuzzlib.outcome(_twin.crop_mrz_region, make())
    argument = make()
    result, error = fuzzlib.outcome(_crop, argument)
    if expected_error is None:
        if error is not None:
            raise AssertionError(f"the twin gave {expected!r:.100}, the module raised {error!r}")
        if not same(result, expected):
            raise AssertionError(f"{result!r:.100} for the twin's {expected!r:.100}")
        if isinstance(argument, np.ndarray) and result.base is not argument and result.size:
            if not np.shares_memory(result, argument):
                raise AssertionError("the crop is not a view of the caller's array")
        return
    if type(error) is not type(expected_error):
        raise AssertionError(f"{error!r} for the twin's {expected_error!r}")
    if str(error) != str(expected_error) and not OWN_MESSAGES.fullmatch(str(error)):
        raise AssertionError(f"{str(error)!r} for the twin's {str(expected_error)!r}")


if __name__ == "__main__":
    fuzzlib.main(one_input, max_len=128)
