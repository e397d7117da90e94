"""The command-line preview and its sample page."""

import base64
import subprocess
import sys

import cv2
import numpy as np
import pytest

from zerbano import sample
from zerbano.mrz import parse

from conftest import NO_SUBPROCESS

pytestmark = pytest.mark.skipif(NO_SUBPROCESS, reason="this runner cannot start subprocesses")


def preview(*args, cwd, stdin=None):
    return subprocess.run([sys.executable, "-m", "zerbano", *args], cwd=cwd, input=stdin,
                          capture_output=True, text=True, timeout=120)


def test_sample_page_preview(tmp_path):
    done = preview(cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "preprocessed: 1760x1240" in done.stdout and "MRZ band:     1760x372" in done.stdout
    band = cv2.imread(str(tmp_path / "sample-passport-mrz.png"), cv2.IMREAD_UNCHANGED)
    assert band.shape == (372, 1760) and band.dtype == np.uint8


@pytest.mark.parametrize("form", ["file", "data-url", "stdin"])
def test_input_forms(form, tmp_path):
    image = np.full((30, 40, 3), 200, np.uint8)
    path = tmp_path / "page.png"
    cv2.imwrite(str(path), image)
    text = "data:image/png;base64," + base64.b64encode(path.read_bytes()).decode()
    out = tmp_path / "out"
    if form == "file":
        done, expected = preview(str(path), cwd=tmp_path), tmp_path / "page-mrz.png"
    elif form == "data-url":
        done, expected = preview(text, "--out", str(out), cwd=tmp_path), out / "input-mrz.png"
    else:
        done = preview("-", "--out", str(out), cwd=tmp_path, stdin=text + "\n")
        expected = out / "input-mrz.png"
    assert done.returncode == 0, done.stderr
    assert cv2.imread(str(expected), cv2.IMREAD_UNCHANGED).shape == (18, 80)


@pytest.mark.parametrize(
    "args, message",
    [
        (["not an image"], "zerbano: error: Could not read image from input."),
        (["--bogus"], "python -m zerbano: error: unrecognized arguments: --bogus"),
        (["x", "--out", "/proc/none"], "zerbano: error:"),
    ],
)
def test_errors_are_one_line(args, message, tmp_path):
    done = preview(*args, cwd=tmp_path)
    assert done.returncode != 0
    assert done.stderr.count("\n") == 1 and done.stderr.startswith(message), done.stderr


def test_sample_zone_is_a_valid_passport_zone():
    first, second = sample.mrz_lines()
    assert len(first) == len(second) == 44 and first.startswith("P<UTOSAMPLE<<ZERBA<TESTER<")
    zone = parse(first + "\n" + second)
    assert zone.format == "TD3" and zone.valid and all(zone.checks.values())
