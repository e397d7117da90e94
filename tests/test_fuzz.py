"""Random inputs for both callables, checked against the plain Python they stand for.

Every input must give what the Python version gives: an equal result, or an exception of the
same type (with the module's own wording where the module words it). Short by default;
`--fuzz-long` or ZERBANO_FUZZ_LONG=1 runs for minutes.
"""

import base64
import collections
import math
import os
import re

import cv2
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import zerbano.image as image
from conftest import scaled
from helpers import module_entries
from plain_twin import make_twin

MESSAGE = "Could not read image from input. Ensure it is a valid file path or base64 string."
PREPROCESS = "zerbano.image.preprocess_image"
CROP = "zerbano.image.crop_mrz_region"
PREPROCESS_LINES = {14, 15, 20, 21, 23, 24, 25, 30, 33, 37, 46, 47}
CROP_LINES = {58, 61, 62}
# Both sides pass buffers and arrays to os.path.isfile, which warns about them.
pytestmark = pytest.mark.filterwarnings("ignore:stat. path should be:DeprecationWarning")

CROP_MESSAGES = re.compile(
    r"need more than \d+ values? to unpack|too many values to unpack \(expected 2\)"
    r"|'.{1,200}' object is unsliceable"
)


# The module as plain Python: what every fuzzed call is compared with.
_twin = make_twin()
plain_preprocess = _twin.preprocess_image
plain_crop = _twin.crop_mrz_region


def outcome(function, argument):
    try:
        return function(argument), None
    except Exception as error:
        return None, error


def assert_same_preprocess(argument):
    expected, expected_error = outcome(plain_preprocess, argument)
    result, error = outcome(image.preprocess_image, argument)
    if expected_error is None:
        assert error is None, f"{argument!r:.200}: {error!r}"
        assert result.dtype == np.uint8 and result.ndim == 2
        np.testing.assert_array_equal(result, expected)
        return
    assert type(error) is type(expected_error), f"{argument!r:.200}: {error!r}"
    assert str(error) == str(expected_error)
    if str(error) == MESSAGE:
        assert error.__context__ is None  # the swallowed failure is not chained
    [(name, line)] = module_entries(error)
    assert name == PREPROCESS and line in PREPROCESS_LINES


def assert_same_crop(make):
    """`make()` builds the argument anew for each side: shapes may be one-shot iterators."""
    expected, expected_error = outcome(plain_crop, make())
    argument = make()
    result, error = outcome(image.crop_mrz_region, argument)
    if expected_error is None:
        assert error is None, f"{error!r}"
        if isinstance(expected, np.ndarray):
            assert type(result) is np.ndarray and result.shape == expected.shape
            np.testing.assert_array_equal(result, expected)
            assert result.base is argument  # a view of the caller's pixels
        else:
            assert result == expected
        return
    assert type(error) is type(expected_error), f"{error!r} for {expected_error!r}"
    if str(error) != str(expected_error):
        assert CROP_MESSAGES.fullmatch(str(error)), str(error)
    [(name, line)] = module_entries(error)
    assert name == CROP and line in CROP_LINES


@pytest.fixture
def fuzz(request, tmp_path, monkeypatch):
    """Runs `check` for `examples` drawn inputs (many more in a long run), from an empty cwd."""
    monkeypatch.chdir(tmp_path)  # relative random text then names no file
    long_run = (
        request.config.getoption("--fuzz-long") or os.environ.get("ZERBANO_FUZZ_LONG") == "1"
    )

    def run(strategy, check, examples):
        count = examples * 100 if long_run else scaled(examples, minimum=10)

        @settings(
            max_examples=count,
            deadline=None,
            database=None,
            suppress_health_check=list(HealthCheck),
        )
        @given(strategy)
        def property(value):
            check(value)

        property()

    return run


# --- preprocess_image --------------------------------------------------------------------

def _not_a_file(value):
    # An existing file would be read by both sides alike; one named with lone surrogates would
    # crash cv2 in the Python version. The cwd is empty, so this leaves out absolute names only.
    try:
        return not os.path.isfile(value)
    except Exception:
        return True


any_text = st.text(st.characters(blacklist_categories=()), max_size=40)
base64_text = st.binary(max_size=30).map(lambda data: base64.b64encode(data).decode())
# Valid base64 with a character inserted: padding in the middle, non-alphabet, non-ASCII.
broken_base64 = st.tuples(
    base64_text, st.integers(0, 40), st.sampled_from(["", "=", "==", "!", "é", "\n", "A"])
).map(lambda parts: parts[0][: parts[1]] + parts[2] + parts[0][parts[1]:])
texts = st.one_of(
    any_text,
    base64_text,
    broken_base64,
    st.tuples(
        any_text, st.one_of(base64_text, broken_base64, any_text), st.lists(any_text, max_size=2)
    ).map(lambda parts: ",".join([parts[0], parts[1], *parts[2]])),
).filter(_not_a_file)


def test_text(fuzz):
    fuzz(texts, assert_same_preprocess, 150)


def test_bytes_and_bytearrays(fuzz):
    data = st.one_of(st.binary(max_size=40), base64_text.map(str.encode))
    fuzz(st.one_of(data, data.map(bytearray)).filter(_not_a_file), assert_same_preprocess, 60)


def _encoded_images():
    rng = np.random.default_rng(11)
    pixels = rng.integers(0, 256, (9, 13, 3), np.uint8)
    files = {}
    for extension in (".png", ".jpg"):
        ok, buffer = cv2.imencode(extension, pixels)
        assert ok
        files[extension] = buffer.tobytes()
    return files


ENCODED = _encoded_images()


@st.composite
def damaged_images(draw):
    data = bytearray(ENCODED[draw(st.sampled_from(sorted(ENCODED)))])
    for _ in range(draw(st.integers(0, 3))):
        edit = draw(st.sampled_from(["flip", "cut", "append"]))
        if edit == "flip" and data:
            position = draw(st.integers(0, len(data) - 1))
            data[position] ^= draw(st.integers(1, 255))
        elif edit == "cut":
            data = data[: draw(st.integers(0, len(data)))]
        else:
            data += draw(st.binary(min_size=1, max_size=16))
    text = base64.b64encode(bytes(data)).decode()
    header = draw(st.sampled_from(["", "data:image/png;base64,", ",", "x,"]))
    return header + text + draw(st.sampled_from(["", ",tail"]))


def test_damaged_png_and_jpeg(fuzz):
    fuzz(damaged_images(), assert_same_preprocess, 80)


common_objects = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=10**6),  # not a file descriptor of this process
    st.floats(allow_nan=True),
    st.complex_numbers(),
    st.lists(st.integers(), max_size=3),
    st.tuples(st.text(max_size=3)),
    st.dictionaries(st.text(max_size=2), st.integers(), max_size=2),
    st.sets(st.integers(), max_size=2),
    st.builds(object),
    st.builds(memoryview, st.binary(max_size=8)),
    hnp.arrays(np.uint8, hnp.array_shapes(min_dims=0, max_dims=3, max_side=3)),
)


# Python 3.13 warns when os.stat is handed a bool, for the module and plain Python alike.
@pytest.mark.filterwarnings("ignore:bool is used as a file descriptor:RuntimeWarning")
def test_objects_of_common_types(fuzz):
    def check(value):
        assert_same_preprocess(value)
        assert_same_crop(lambda: value)

    fuzz(common_objects, check, 80)


# --- crop_mrz_region ---------------------------------------------------------------------

def test_arrays_of_every_dimension(fuzz):
    arrays = hnp.arrays(
        st.sampled_from([np.uint8, np.float32, np.int64]),
        hnp.array_shapes(min_dims=0, max_dims=4, min_side=0, max_side=7),
    )
    fuzz(arrays, lambda array: assert_same_crop(lambda: array), 150)


class Shaped:
    """An image stand-in with the given shape; its subscription returns the key."""

    def __init__(self, shape):
        self.shape = shape

    def __getitem__(self, key):
        return key


class Leading:
    """A shape whose [:2] gives `items` through a generator, optionally failing after them."""

    def __init__(self, items, error):
        self.items, self.error = items, error

    def __getitem__(self, key):
        return self._generate()

    def _generate(self):
        yield from self.items
        if self.error:
            raise self.error("shape went away")


class Raising:
    def __init__(self, where, error):
        self.where, self.error = where, error

    def __getitem__(self, key):
        if self.where == "getitem":
            raise self.error("no slicing")
        return self

    def __iter__(self):
        raise self.error("no iteration")


dimensions = st.one_of(
    st.integers(-5, 2000),
    st.integers(),
    st.floats(allow_nan=True, allow_infinity=True),
    st.booleans(),
    st.text(max_size=3),
    st.none(),
)
errors = st.sampled_from([RuntimeError, ValueError, TypeError, StopIteration, IndexError])
shape_makers = st.one_of(
    st.lists(dimensions, max_size=4).map(lambda items: lambda: Shaped(tuple(items))),
    st.lists(dimensions, max_size=4).map(lambda items: lambda: Shaped(list(items))),
    st.tuples(st.lists(dimensions, max_size=4), st.none() | errors).map(
        lambda parts: lambda: Shaped(Leading(*parts))
    ),
    dimensions.map(lambda value: lambda: Shaped(value)),
    st.binary(max_size=4).map(lambda data: lambda: Shaped(data)),
    st.lists(st.integers(0, 9), max_size=4).map(
        lambda items: lambda: Shaped(collections.deque(items))
    ),
    st.tuples(st.integers(-3, 9), st.integers(-3, 9), st.sampled_from([1, 2, -1])).map(
        lambda bounds: lambda: Shaped(range(*bounds))
    ),
    st.tuples(st.sampled_from(["getitem", "iter"]), errors).map(
        lambda parts: lambda: Shaped(Raising(*parts))
    ),
)


def test_odd_shape_values(fuzz):
    fuzz(shape_makers, assert_same_crop, 200)


def test_float_heights_truncate_like_python(fuzz):
    heights = st.floats(-1e300, 1e300) | st.sampled_from([math.nan, math.inf, -math.inf])
    fuzz(heights, lambda height: assert_same_crop(lambda: Shaped((height, 3))), 60)
