"""Repeats a call many times and fails if Python-level memory or reference counts grow."""

import functools
import gc
import os
import sys
import tempfile
import tracemalloc

from conftest import scaled


def _call(function, expected_error):
    if expected_error is None:
        return function()
    try:
        function()
    except expected_error:
        return None
    raise AssertionError(f"expected {expected_error}")


@functools.cache
def imread_keeps_its_argument():
    """Whether cv2.imread itself keeps a reference to each file name it reads.

    OpenCV 4.10 (Debian 13's) does, with or without zerbano: a check that watches the
    argument of a call reaching cv2.imread would fail on OpenCV alone.
    """
    import cv2
    import numpy as np

    with tempfile.TemporaryDirectory() as directory:
        name = os.path.join(directory, "probe.png")
        assert cv2.imwrite(name, np.zeros((2, 2, 3), np.uint8))
        before = sys.getrefcount(name)
        for _ in range(10):
            cv2.imread(name)
        return sys.getrefcount(name) > before


def watchable_argument(argument):
    """`argument` as a one-item watch list, or none where cv2.imread would keep it."""
    reads_file = isinstance(argument, (str, bytes)) and os.path.isfile(argument)
    return () if reads_file and imread_keeps_its_argument() else (argument,)


# The module globals the callables use, as bound in the module namespace.
MODULE_GLOBALS = ("cv2", "np", "base64", "os")


def module_globals():
    """The objects bound to the module globals in zerbano.image now (missing ones left out)."""
    namespace = sys.modules["zerbano.image"].__dict__ if "zerbano.image" in sys.modules else {}
    return tuple(namespace[name] for name in MODULE_GLOBALS if name in namespace)


def assert_no_leak(
    function, *, watch=(), expected_error=None, repeat=2000, slack=4096, watch_globals=True
):
    """Calls `function()` `repeat` times (it must raise `expected_error` each time, if given).

    Fails when the reference count of any object in `watch` grows, or when tracemalloc sees
    the traced memory grow by more than `slack` bytes between two equal rounds after warm-up.
    With `watch_globals`, the module globals of zerbano.image (cv2, np, base64, os) are watched
    too; so is the `base` of a result that has one (a view's owner).
    """
    repeat = scaled(repeat, minimum=50)
    for _ in range(20):  # warm-up: caches, lazily created attributes, interned strings
        _call(function, expected_error)
    watch = tuple(watch)
    if watch_globals:
        watch += module_globals()
    sample = _call(function, expected_error)  # held to the end, so its base stays alive
    base = getattr(sample, "base", None) if sample is not None else None
    if base is not None:
        watch += (base,)
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watch]

    tracemalloc.start()
    try:
        for _ in range(repeat // 2):
            _call(function, expected_error)
        gc.collect()
        first, _ = tracemalloc.get_traced_memory()
        for _ in range(repeat // 2):
            _call(function, expected_error)
        gc.collect()
        second, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()

    after = [sys.getrefcount(obj) for obj in watch]
    for obj, before_count, after_count in zip(watch, counts, after):
        assert after_count <= before_count, (
            f"reference count of {type(obj).__name__} grew from {before_count} to {after_count}"
        )
    assert second - first <= slack, f"traced memory grew by {second - first} bytes"
