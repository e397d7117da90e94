"""Both callables from several threads at once: the single-threaded results, and no leaks.

cv2 releases the interpreter lock inside its calls, so the threads interleave in the middle of
preprocess_image; a short switch interval interleaves the rest.
"""

import base64
import gc
import sys
import threading
import tracemalloc

import cv2
import numpy as np
import pytest

import zerbano.image as image
from conftest import scaled
from leakcheck import module_globals, watchable_argument

THREADS = 8
ROUNDS = scaled(25, minimum=2)


def _page(seed, height, width):
    rng = np.random.default_rng(seed)
    return rng.integers(0, 256, (height, width, 3), np.uint8)


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """Per thread: a path, a data URL, an array to crop; plus inputs every thread shares."""
    directory = tmp_path_factory.mktemp("threads")
    own = []
    for index in range(THREADS):
        page = _page(index, 120 + 8 * index, 160 - 4 * index)
        path = directory / f"page{index}.png"
        assert cv2.imwrite(str(path), page)
        ok, jpeg = cv2.imencode(".jpg", page)
        url = "data:image/jpeg;base64," + base64.b64encode(jpeg.tobytes()).decode()
        # Not an image once decoded; not empty either: OpenCV 4's cv2.imdecode leaks on an
        # empty buffer, with or without zerbano.
        own.append([str(path), url, page, "no image here," + base64.b64encode(b"%%%").decode()])
    shared_page = _page(99, 200, 150)
    ok, png = cv2.imencode(".png", shared_page)
    shared = [base64.b64encode(png.tobytes()).decode(), shared_page]
    return own, shared


def _work(arguments):
    """One round of calls; results are kept as (kind, value) so failures compare too."""
    path, url, page, garbage = arguments[:4]
    shared_text, shared_page = arguments[4:]
    results = []
    for call, argument in (
        (image.preprocess_image, path),
        (image.preprocess_image, url),
        (image.preprocess_image, shared_text),
        (image.preprocess_image, garbage),
        (image.crop_mrz_region, page),
        (image.crop_mrz_region, shared_page),
    ):
        try:
            results.append(("ok", call(argument)))
        except ValueError as error:
            results.append(("error", str(error)))
    return results


def _same(got, expected):
    assert len(got) == len(expected)
    for (kind, value), (expected_kind, expected_value) in zip(got, expected):
        assert kind == expected_kind
        if kind == "error":
            assert value == expected_value
        else:
            assert value.shape == expected_value.shape
            assert np.array_equal(value, expected_value)


def _run_threads(inputs, expected):
    own, shared = inputs
    barrier = threading.Barrier(THREADS)
    failures = []

    def worker(index):
        arguments = own[index] + shared
        try:
            barrier.wait()
            for _ in range(ROUNDS):
                _same(_work(arguments), expected[index])
        except BaseException as error:  # reported by the main thread
            failures.append((index, error))

    threads = [threading.Thread(target=worker, args=(index,)) for index in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures, failures


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        yield
    finally:
        sys.setswitchinterval(interval)


def test_threads_give_single_threaded_results_without_leaks(inputs, fast_switching):
    own, shared = inputs
    expected = [_work(own[index] + shared) for index in range(THREADS)]
    assert {kind for results in expected for kind, _ in results} == {"ok", "error"}

    _run_threads(inputs, expected)  # warm-up: thread-state and cache allocations settle
    watched = [watched for arguments in own + [shared] for argument in arguments
               for watched in watchable_argument(argument)]
    watched += module_globals()
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    tracemalloc.start()
    try:
        _run_threads(inputs, expected)
        gc.collect()
        first, _ = tracemalloc.get_traced_memory()
        _run_threads(inputs, expected)
        gc.collect()
        second, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(obj) for obj in watched] == counts
    assert second - first <= 16384, f"traced memory grew by {second - first} bytes"
