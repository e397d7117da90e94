"""The fuzz targets without the fuzzer: their seeds, and every input a finding was minimised
to, run through each target's checks under the ordinary build (tools/fuzz.sh fuzzes them)."""

import importlib.util
import os
from pathlib import Path

import pytest

from conftest import run_python

FUZZ = Path(__file__).parent / "fuzz"
TARGETS = sorted(path.stem.removeprefix("fuzz_") for path in FUZZ.glob("fuzz_*.py"))


def load(target):
    """A fresh copy of the target module (each keeps its own twin and scratch directory)."""
    spec = importlib.util.spec_from_file_location(f"fuzz_{target}", FUZZ / f"fuzz_{target}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def inputs(target, kind):
    directory = FUZZ / kind / target
    return sorted(directory.iterdir()) if directory.is_dir() else []


# Both sides of the comparisons hand arrays and buffers to os.path.isfile.
@pytest.mark.filterwarnings("ignore:stat. path should be:DeprecationWarning")
@pytest.mark.parametrize("target", TARGETS)
def test_seeds_and_findings_pass_the_target(target, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # a target may make a scratch directory its working directory
    monkeypatch.syspath_prepend(str(FUZZ))  # as when run as a script: fuzzlib beside it
    module = load(target)
    if getattr(module, "SKIP", None):
        pytest.skip(module.SKIP)
    seeds, findings = inputs(target, "corpus"), inputs(target, "regressions")
    assert seeds, f"no seed corpus for {target}"
    for path in seeds + findings:
        module.one_input(path.read_bytes())


# Found by fuzzing preprocess_image: OpenCV's PNG reader allocates and zero-fills a chunk's
# declared length before it checks it, so these 144 bytes (a 6 x 4 PNG whose IEND chunk claims
# 4 GiB) cost 4 GiB and seconds, whatever OPENCV_IO_MAX_IMAGE_PIXELS says. Where memory runs
# out the allocation fails inside OpenCV: the module must then raise its ValueError, for the
# data and for the file, and go on. (tools/fuzz.sh makes allocations above 1 GiB fail.)
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="an address-space limit leaves no room for ASan's shadow memory")
def test_png_declaring_a_huge_chunk_fails_cleanly_when_memory_runs_out():
    process = run_python(
        """
        import base64, resource, sys
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        import zerbano.image as image
        path = sys.argv[1]
        with open(path, "rb") as stream:
            data = stream.read()
        for argument in (base64.b64encode(data).decode(), path):
            try:
                image.preprocess_image(argument)
            except ValueError as error:
                print(error)
        """,
        str(FUZZ / "findings" / "png-chunk-of-4gib.png"),
    )
    message = "Could not read image from input. Ensure it is a valid file path or base64 string."
    assert process.stdout.splitlines() == [message, message]
