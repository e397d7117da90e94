"""The batch command line: every page's files, failures, progress, and Ctrl-C."""

import base64
import fcntl
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import termios
import time

import cv2
import numpy as np
import pytest

import zerbano.image as zi
from zerbano import batch

from conftest import NO_SUBPROCESS

pytestmark = pytest.mark.skipif(NO_SUBPROCESS, reason="this runner cannot start subprocesses")

MESSAGE = "Could not read image from input. Ensure it is a valid file path or base64 string."
WITHOUT_TQDM = ("import sys; sys.modules['tqdm'] = None; "
                "from zerbano.__main__ import main; main()")


def command(*args, code=None):
    start = ["-c", code] if code else ["-m", "zerbano"]
    return [sys.executable, *start, *map(str, args)]


def zerbano(*args, cwd, stdin=None, code=None):
    return subprocess.run(command(*args, code=code), cwd=cwd, input=stdin,
                          capture_output=True, text=True, timeout=120)


def page(seed, height, width):
    return np.random.default_rng(seed).integers(0, 256, (height, width, 3), np.uint8)


@pytest.fixture
def folder(tmp_path):
    """Pages of three sizes, a truncated JPEG, an empty .jpg and a text file named .png."""
    pages = tmp_path / "pages"
    pages.mkdir()
    for index, (height, width) in enumerate([(60, 80), (90, 70), (41, 33)]):
        assert cv2.imwrite(str(pages / f"page{index}.png"), page(index, height, width))
    ok, jpeg = cv2.imencode(".jpg", page(9, 120, 160))
    (pages / "cut.jpg").write_bytes(jpeg.tobytes()[: jpeg.size // 2])
    (pages / "empty.jpg").write_bytes(b"")
    (pages / "notes.png").write_text("not an image")
    return pages


def expected_outcome(folder):
    """What calling the two functions page by page gives: arrays, or the error message."""
    outcome = {}
    for path in sorted(folder.iterdir()):
        try:
            preprocessed = zi.preprocess_image(str(path))
            outcome[path] = (preprocessed, zi.crop_mrz_region(preprocessed))
        except ValueError as error:
            outcome[path] = str(error)
    return outcome


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_every_page_is_written_as_one_by_one_calls_give_it(folder, tmp_path, jobs):
    out = tmp_path / "out"
    done = zerbano(folder, "--out", out, "--jobs", jobs, cwd=tmp_path)
    expected = expected_outcome(folder)
    failed = [f"{path}: {value}" for path, value in expected.items() if isinstance(value, str)]
    assert failed == [f"{folder / name}: {MESSAGE}" for name in ("empty.jpg", "notes.png")]
    lines = done.stderr.splitlines()
    # OpenCV's decoder may warn about the truncated JPEG first; the failures come last.
    assert done.returncode == 1 and lines[-3:-1] == failed, done.stderr
    assert lines[-1].startswith("4 pages written, 2 failed, ") and "pages/s" in lines[-1]
    for path, arrays in expected.items():
        if isinstance(arrays, str):
            assert not list(out.glob(path.stem + "-*"))
            continue
        for suffix, array in zip(("preprocessed", "mrz"), arrays):
            written = cv2.imread(str(out / f"{path.stem}-{suffix}.png"), cv2.IMREAD_UNCHANGED)
            assert np.array_equal(written, array)
    assert [path.name for path in out.iterdir() if path.name.startswith(".")] == []


def test_mixed_inputs_next_to_their_files_and_a_second_run(folder, tmp_path):
    for name in ("cut.jpg", "empty.jpg", "notes.png"):
        os.unlink(folder / name)
    (folder / "sub").mkdir()
    shutil.copy(folder / "page0.png", folder / "sub" / "page9.png")
    text = base64.b64encode((folder / "page1.png").read_bytes()).decode()
    for run in range(2):  # the second run must not take the first run's PNGs as pages
        done = zerbano(folder, "--recursive", "data:image/png;base64," + text, "-",
                       cwd=tmp_path, stdin=text)
        assert done.returncode == 0, done.stderr
        assert done.stderr.splitlines()[-1].startswith("6 pages written, 0 failed")
    assert done.stderr.splitlines()[0].startswith("zerbano: -: writes input-2-*.png")
    assert sorted(path.name for path in tmp_path.iterdir()) == [
        "input-2-mrz.png", "input-2-preprocessed.png", "input-mrz.png",
        "input-preprocessed.png", "pages"]
    assert (folder / "sub" / "page9-mrz.png").is_file() and done.stdout == ""


@pytest.mark.parametrize("done, failed, seconds, expected", [
    (14, 2, 1.25, "14 pages written, 2 failed, 11.2 pages/s (1.25 s)"),
    (0, 3, 0.5, "0 pages written, 3 failed (0.50 s)"),  # a rate over failures says nothing
    (2, 0, 0.0, "2 pages written, 0 failed (0.00 s)"),
])
def test_the_rate_counts_pages_written_only(done, failed, seconds, expected):
    outcome = batch.Outcome(done + failed, done, dict.fromkeys(range(failed), "broken"), seconds)
    assert outcome.summary() == expected


@pytest.mark.parametrize("command, summary", [
    ([], "0 pages written, 2 failed"),
    (["read"], "0 zones read (0 valid), 0 without a zone, 2 failed"),
])
def test_a_run_whose_pages_all_failed_shows_no_rate(command, summary, folder, tmp_path):
    done = zerbano(*command, folder / "empty.jpg", folder / "notes.png", cwd=tmp_path)
    last = done.stderr.splitlines()[-1]
    assert done.returncode == 1 and re.fullmatch(re.escape(summary) + r" \(\d+\.\d\d s\)", last), \
        done.stderr


@pytest.mark.parametrize("args", [["--jobs", "0", "{pages}"], ["-", "-"], ["{no_images}"],
                                  ["--max-pixels", "0", "{pages}"],
                                  ["--max-memory", "lots", "{pages}"]])
def test_usage_errors_write_nothing(args, folder, tmp_path):
    (tmp_path / "no images").mkdir()
    (tmp_path / "no images" / "notes.txt").write_text("")
    before = sorted(tmp_path.rglob("*"))
    places = {"pages": folder, "no_images": tmp_path / "no images"}
    done = zerbano(*[arg.format(**places) for arg in args], cwd=tmp_path, stdin="")
    assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
    assert sorted(tmp_path.rglob("*")) == before


def read_terminal(master):
    """All the child wrote to the terminal, once it has exited (a pty reads EIO at the end)."""
    chunks = []
    while True:
        try:
            chunks.append(os.read(master, 65536))
        except OSError:
            return b"".join(chunks).decode(errors="replace")
        if not chunks[-1]:
            return b"".join(chunks).decode(errors="replace")


@pytest.mark.parametrize("with_tqdm", [True, False])
def test_progress_bar_on_a_terminal_only_where_tqdm_imports(with_tqdm, folder, tmp_path):
    if with_tqdm:
        pytest.importorskip("tqdm", reason="tqdm is not installed")
    master, slave = os.openpty()
    if not os.isatty(slave):
        # seen under qemu-user 7.2 with glibc 2.42 and later, whose isatty() asks TCGETS2
        os.close(master), os.close(slave)
        pytest.skip("isatty() is false on a pty here: this runner cannot show a terminal")
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))  # tqdm's width
    try:
        process = subprocess.Popen(
            command(folder, "--out", tmp_path / "out", code=None if with_tqdm else WITHOUT_TQDM),
            cwd=tmp_path, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=slave)
        os.close(slave)
        process.wait(timeout=120)  # its few lines fit in the terminal's buffer
        screen = read_terminal(master)
    finally:
        os.close(master)
    assert process.returncode == 1
    assert ("0/6" in screen) == with_tqdm, screen
    last = screen.replace("\r", "\n").strip().splitlines()[-1]
    assert last.startswith("4 pages written, 2 failed"), screen


def test_ctrl_c_leaves_whole_files_only(tmp_path):
    pages, out = tmp_path / "pages", tmp_path / "out"
    pages.mkdir()
    first = pages / "page000.jpg"
    assert cv2.imwrite(str(first), page(1, 720, 1280))
    count = 60
    for index in range(1, count):
        shutil.copy(first, pages / f"page{index:03}.jpg")
    process = subprocess.Popen(command(pages, "--out", out, "--jobs", "2"),
                               cwd=tmp_path, stderr=subprocess.PIPE, text=True)
    hang_guard = time.monotonic() + 120  # only ends a run that hangs; no timing is checked
    while not list(out.glob("*-mrz.png")) and time.monotonic() < hang_guard:
        time.sleep(0.01)
    process.send_signal(signal.SIGINT)
    _, stderr = process.communicate(timeout=120)
    assert process.returncode == 130 and stderr.endswith("zerbano: interrupted\n"), stderr
    files = sorted(out.iterdir())
    # Stopped once the first page was written: the pages not begun were dropped.
    assert 0 < len(files) < 2 * count
    assert all(path.suffix == ".png" and not path.name.startswith(".") for path in files)
    for path in files:
        assert path.read_bytes().endswith(b"IEND\xaeB`\x82")
        shape = cv2.imread(str(path), cv2.IMREAD_UNCHANGED).shape
        assert shape == ((1440, 2560) if "preprocessed" in path.name else (1440 - int(1440 * 0.7), 2560))
