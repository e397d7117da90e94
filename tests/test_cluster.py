"""The functions on other processes: process pools, a Dask cluster, and subinterpreters.

The functions pickle by reference (module and name), so each worker imports zerbano.image (or
zerbano.mrz) itself; its results and its ValueError travel back unchanged.
"""

import base64
import concurrent.futures
import logging
import multiprocessing
import subprocess
import sys
from pathlib import Path

import cv2
import numpy as np
import pytest

import zerbano.image as zi
import zerbano.mrz

from conftest import NO_SUBPROCESS

pytestmark = pytest.mark.skipif(NO_SUBPROCESS, reason="this runner cannot start subprocesses")

MESSAGE = "Could not read image from input. Ensure it is a valid file path or base64 string."
TIMEOUT = 60
CAPTURES = Path(__file__).resolve().parent / "data" / "captures"


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """A path, a data URL, and text that is neither (the last one fails)."""
    page = np.random.default_rng(5).integers(0, 256, (48, 64, 3), np.uint8)
    path = tmp_path_factory.mktemp("cluster") / "page.png"
    assert cv2.imwrite(str(path), page)
    url = "data:image/png;base64," + base64.b64encode(path.read_bytes()).decode()
    return [str(path), url, "no such page"]


def check_results(futures, inputs):
    for future, image_input in zip(futures[:-1], inputs[:-1]):
        assert np.array_equal(future.result(timeout=TIMEOUT), zi.preprocess_image(image_input))
    with pytest.raises(ValueError) as failure:
        futures[-1].result(timeout=TIMEOUT)
    assert type(failure.value) is ValueError and str(failure.value) == MESSAGE


# On 3.12+ fork warns when the parent has threads; OpenCV's pool in this process has some.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_process_pool(method, inputs):
    context = multiprocessing.get_context(method)
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        check_results([pool.submit(zi.preprocess_image, x) for x in inputs], inputs)


@pytest.fixture(scope="module")
def client():
    """A client of a local Dask cluster of two worker processes, on 127.0.0.1 only."""
    distributed = pytest.importorskip("dask.distributed", reason="dask[distributed] is absent")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  silence_logs=logging.CRITICAL) as cluster, \
            distributed.Client(cluster, timeout=TIMEOUT) as client:
        yield client


def test_dask_local_cluster_of_two_processes(client, inputs):
    futures = client.map(zi.preprocess_image, inputs)
    check_results(futures, inputs)
    assert len(set(client.run(lambda: __import__("os").getpid()).values())) == 2


def test_dask_reads_zones_as_the_caller_does(client, inputs):
    # zerbano.mrz.read on the workers: the zone (a dataclass, pickled back), None for a page
    # without one, and its ValueError with the message it has here.
    pages = [str(CAPTURES / "upright-td3.jpg"), str(CAPTURES / "no-zone.jpg"), inputs[-1]]
    futures = client.map(zerbano.mrz.read, pages)
    zone = futures[0].result(timeout=TIMEOUT)
    assert zone == zerbano.mrz.read(pages[0]) and zone.valid
    assert futures[1].result(timeout=TIMEOUT) is None
    with pytest.raises(ValueError) as failure:
        futures[2].result(timeout=TIMEOUT)
    with pytest.raises(ValueError) as here:
        zerbano.mrz.read(pages[2])
    assert str(failure.value) == str(here.value)


# In a fresh interpreter, so that a pool that hangs instead of failing is ended by the timeout
# (os._exit: not even the pool's shutdown can wait on it). Prints the exception chain, one
# "type: message" a line.
INTERPRETER_POOL = """
import concurrent.futures, os, sys
import zerbano.image as zi
import zerbano.mrz
pool = concurrent.futures.InterpreterPoolExecutor(1)
try:
    pool.submit(zi.preprocess_image, sys.argv[1]).result(timeout=30)
    print("no error")
except BaseException as error:
    while error is not None:
        print(f"{type(error).__name__}: {error}")
        error = error.__cause__ or error.__context__
sys.stdout.flush()
os._exit(0)
"""


@pytest.mark.skipif(sys.version_info < (3, 14),
                    reason="InterpreterPoolExecutor exists from Python 3.14")
def test_interpreter_pool_is_refused_with_import_error(inputs):
    # The task's function pickles by reference; unpickling it in the pool's interpreter
    # imports zerbano.image, which the import machinery refuses there (the module does not
    # declare support for interpreters with their own lock). 3.14 reports that ImportError,
    # as a snapshot, under the errors of the task's transfer.
    done = subprocess.run([sys.executable, "-c", INTERPRETER_POOL, inputs[0]],
                          capture_output=True, text=True, timeout=90)
    lines = done.stdout.splitlines()
    assert lines[0] == "NotShareableError: args not shareable", done.stdout + done.stderr
    assert ("Exception: ImportError: module zerbano.image does not support loading in "
            "subinterpreters") in lines, done.stdout + done.stderr
