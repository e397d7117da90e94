"""The success and failure paths of both callables, as cases the leak checks repeat.

A case calls the function it is handed, so that the same case runs the module's callables and
their plain-Python twin (test_total_refcount.py).
"""

import base64
import contextlib
import ctypes
import itertools
import os
import types

import cv2
import numpy as np

_MISSING = object()


def positional(function, argument):
    return function(argument)


@contextlib.contextmanager
def rebound(namespace, name, value=_MISSING):
    """Rebinds (or, without a value, deletes) a global in `namespace` for the block."""
    saved = namespace.get(name, _MISSING)
    try:
        if value is _MISSING:
            namespace.pop(name, None)
        else:
            namespace[name] = value
        yield
    finally:
        if saved is _MISSING:
            namespace.pop(name, None)
        else:
            namespace[name] = saved


def vectorcall(function, args, kwnames):
    """function(*args) through PyObject_Vectorcall; the last len(kwnames) args are keywords."""
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    array = (ctypes.py_object * len(args))(*args)
    return call(function, ctypes.cast(array, ctypes.c_void_p), len(args) - len(kwnames), kwnames)


class Shaped:
    """An image stand-in: a `shape` of any kind and a subscription that returns its key."""

    def __init__(self, shape):
        self.shape = shape

    def __getitem__(self, key):
        return key


class Unsubscriptable:
    shape = (4, 3)


class LeadingItems:
    """A shape whose [:2] is an iterator, not a tuple or list."""

    def __init__(self, make_items):
        self.make_items = make_items

    def __getitem__(self, key):
        return self.make_items()


class RaisingIter:
    def __getitem__(self, key):
        return self

    def __iter__(self):
        raise RuntimeError("no iteration")


class RaisingSlice:
    def __getitem__(self, key):
        raise LookupError("no slicing")


def _exploding_items():
    yield 4
    raise RuntimeError("second item")


def make_files(directory):
    """The files and texts the preprocess cases read, written into `directory`."""
    pixels = np.arange(12 * 10 * 3, dtype=np.uint8).reshape(12, 10, 3)
    ok, png = cv2.imencode(".png", pixels)
    assert ok
    png_path = directory / "page.png"
    png_path.write_bytes(png.tobytes())
    text_path = directory / "notes.png"
    text_path.write_text("not an image at all\n")
    # A file name that is not UTF-8, as os.listdir reports it: lone surrogates.
    undecodable = os.fsencode(directory) + b"/\xffpage.png"
    with open(undecodable, "wb") as stream:
        stream.write(png.tobytes())
    encoded = base64.b64encode(png.tobytes()).decode("ascii")
    return types.SimpleNamespace(
        png=str(png_path), not_image=str(text_path), b64=encoded,
        undecodable=os.fsdecode(undecodable),
    )


def _stage_proxy(failing):
    """A stand-in for cv2 or np whose `failing` function raises and whose rest is the real one."""
    real = np if failing == "ones" else cv2

    def fail(*args, **kwargs):
        raise RuntimeError(f"{failing} failed")

    proxy = types.SimpleNamespace(**{name: getattr(real, name) for name in dir(real)
                                     if not name.startswith("__")})
    setattr(proxy, failing, fail)
    return proxy


class _Raises:
    def __init__(self, error):
        self.error = error

    def b64decode(self, *args):
        raise self.error()


# --- crop_mrz_region ---------------------------------------------------------------------

_array2 = np.zeros((90, 7), np.uint8)
_array3 = np.zeros((20, 6, 3), np.uint8)
_array4 = np.zeros((5, 4, 3, 2), np.uint8)

CROP_CASES = [
    # id, argument, call(function, argument), expected error
    ("2d-array", _array2, positional, None),
    ("3d-array", _array3, positional, None),
    ("4d-array", _array4, positional, None),
    ("empty-rows", np.zeros((0, 5), np.uint8), positional, None),
    ("keyword", _array3, lambda crop, a: crop(image=a), None),
    ("keyword-vectorcall", _array3, lambda crop, a: vectorcall(crop, [a], ("image",)), None),
    ("list-shape", Shaped([480, 640, 3]), positional, None),
    ("float-shape", Shaped((10.5, 3.0)), positional, None),
    ("iterator-2", LeadingItems(lambda: iter([8, 3])), lambda crop, a: crop(Shaped(a)), None),
    ("no-argument", _array2, lambda crop, a: crop(), TypeError),
    ("two-arguments", _array2, lambda crop, a: crop(a, a), TypeError),
    ("unexpected-keyword", _array2, lambda crop, a: crop(img=a), TypeError),
    ("multiple-values", _array2, lambda crop, a: vectorcall(crop, [a, a], ("image",)), TypeError),
    ("non-str-keyword", _array2, lambda crop, a: vectorcall(crop, [a], (1,)), TypeError),
    ("no-shape", object(), positional, AttributeError),
    ("int-shape", Shaped(5), positional, TypeError),
    ("raising-slice", Shaped(RaisingSlice()), positional, LookupError),
    ("0d-array", np.zeros((), np.uint8), positional, ValueError),
    ("1d-array", np.zeros(7, np.uint8), positional, ValueError),
    ("tuple-3", Shaped((1, 2, 3)), positional, None),  # [:2] leaves two items
    ("iterator-0", LeadingItems(lambda: iter(())), lambda crop, a: crop(Shaped(a)), ValueError),
    ("iterator-1", LeadingItems(lambda: iter([4])), lambda crop, a: crop(Shaped(a)), ValueError),
    ("iterator-3", LeadingItems(lambda: iter([4, 3, 2])), lambda crop, a: crop(Shaped(a)),
     ValueError),
    ("endless", LeadingItems(itertools.count), lambda crop, a: crop(Shaped(a)), ValueError),
    ("raising-iter", Shaped(RaisingIter()), positional, RuntimeError),
    ("raising-item", LeadingItems(_exploding_items), lambda crop, a: crop(Shaped(a)), RuntimeError),
    ("unsubscriptable", Unsubscriptable(), positional, TypeError),
    ("nan-height", Shaped((float("nan"), 3)), positional, ValueError),
    ("inf-height", Shaped((float("inf"), 3)), positional, OverflowError),
    ("huge-height", Shaped((10**400, 3)), positional, OverflowError),
    ("str-height", Shaped(("tall", 3)), positional, TypeError),
]


OPENCV_MAJOR = int(cv2.__version__.split(".")[0])
# Inputs whose decoded bytes are empty.
EMPTY_DECODES = {"empty", "trailing-comma"}

# id, argument maker (from make_files), call(function, argument), expected error, rebinding
PREPROCESS_CASES = [
    ("file-path", lambda f: f.png, positional, None, None),
    ("bare-base64", lambda f: f.b64, positional, None, None),
    ("data-url", lambda f: "data:image/png;base64," + f.b64, positional, None, None),
    ("three-fields", lambda f: "x," + f.b64 + ",tail", positional, None, None),
    ("keyword", lambda f: f.b64, lambda preprocess, a: preprocess(image_input=a), None, None),
    ("no-argument", lambda f: f.b64, lambda preprocess, a: preprocess(), TypeError, None),
    ("two-arguments", lambda f: f.b64, lambda preprocess, a: preprocess(a, a), TypeError, None),
    ("unexpected-keyword", lambda f: f.b64, lambda preprocess, a: preprocess(image=a), TypeError,
     None),
    ("multiple-values", lambda f: f.b64,
     lambda preprocess, a: vectorcall(preprocess, [a, a], ("image_input",)), TypeError, None),
    ("non-str-keyword", lambda f: f.b64,
     lambda preprocess, a: vectorcall(preprocess, [a], (b"image_input",)), TypeError, None),
    ("bad-padding", lambda f: f.b64[:-3], positional, ValueError, None),
    ("not-an-image", lambda f: base64.b64encode(b"plain words").decode(),
     positional, ValueError, None),
    ("bytes-input", lambda f: f.b64.encode(), positional, ValueError, None),
    ("non-ascii", lambda f: "data:x,ÄÖü" + f.b64, positional, ValueError, None),
    ("empty", lambda f: "", positional, ValueError, None),
    ("trailing-comma", lambda f: f.b64 + ",", positional, ValueError, None),
    ("no-containment", lambda f: 987654, positional, ValueError, None),
    ("file-not-image", lambda f: f.not_image, positional, ValueError, None),
    ("isfile-raises", lambda f: object(), positional, TypeError, None),
    # OpenCV 5 reads a bytes path; OpenCV 4 refuses it (TypeError from 4.6, cv2.error from
    # 4.10), and that error passes through.
    ("file-bytes", lambda f: f.png.encode(), positional,
     None if OPENCV_MAJOR >= 5 else (TypeError, cv2.error), None),
    ("undecodable-name", lambda f: f.undecodable, positional, UnicodeEncodeError,
     None),
    ("imread-raises", lambda f: f.png, positional, RuntimeError,
     ("cv2", _stage_proxy("imread"))),
    ("no-cv2-file", lambda f: f.png, positional, NameError, ("cv2",)),
    ("no-cv2-base64", lambda f: f.b64, positional, ValueError, ("cv2",)),
    ("no-np-file", lambda f: f.png, positional, NameError, ("np",)),
    ("no-np-base64", lambda f: f.b64, positional, ValueError, ("np",)),
    ("no-os", lambda f: f.png, positional, NameError, ("os",)),
    ("no-base64", lambda f: f.b64, positional, ValueError, ("base64",)),
    ("keyboard-interrupt", lambda f: f.b64, positional, KeyboardInterrupt,
     ("base64", _Raises(KeyboardInterrupt))),
    ("decoder-raises", lambda f: f.b64, positional, ValueError,
     ("base64", _Raises(LookupError))),
    ("gray-fails", lambda f: f.png, positional, RuntimeError,
     ("cv2", _stage_proxy("cvtColor"))),
    ("resize-fails", lambda f: f.b64, positional, RuntimeError,
     ("cv2", _stage_proxy("resize"))),
    ("kernel-fails", lambda f: f.png, positional, RuntimeError,
     ("np", _stage_proxy("ones"))),
    ("opening-fails", lambda f: f.b64, positional, RuntimeError,
     ("cv2", _stage_proxy("morphologyEx"))),
]
