import os
import subprocess
import sys
import textwrap

import pytest

# Heavy tests (many repetitions, fuzzing) scale their counts by this factor; emulated runs
# set it low.
SCALE = float(os.environ.get("ZERBANO_TEST_SCALE", "1"))

# Some runners (an emulated interpreter started without binfmt support) cannot start a
# subprocess of the same interpreter.
NO_SUBPROCESS = os.environ.get("ZERBANO_NO_SUBPROCESS") == "1"


def scaled(count, minimum=1):
    return max(minimum, int(count * SCALE))


def run_python(code, *args, check=True):
    """Runs `code` in a fresh interpreter; returns the completed process (text output)."""
    if NO_SUBPROCESS:
        pytest.skip("this runner cannot start a subprocess interpreter")
    process = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        capture_output=True,
        text=True,
        timeout=300,
    )
    if check and process.returncode != 0:
        raise AssertionError(
            f"subprocess failed ({process.returncode}):\n{process.stdout}\n{process.stderr}"
        )
    return process


def pytest_addoption(parser):
    parser.addoption(
        "--fuzz-long",
        action="store_true",
        default=False,
        help="run the fuzz tests for minutes instead of seconds (also ZERBANO_FUZZ_LONG=1)",
    )
