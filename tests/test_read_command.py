"""The read command: usage, its lines and JSON Lines in input order, exit statuses, ./read."""

import base64
import json
import pathlib
import shutil
import subprocess
import sys
import threading

import pytest

import zerbano.mrz
from zerbano import readpages
from zerbano.sample import mrz_lines
from zerbano.mrz import parse
from zerbano.inputs import UsageError

from conftest import NO_SUBPROCESS

CAPTURES = pathlib.Path(__file__).resolve().parent / "data" / "captures"
TRUTH = json.loads((CAPTURES / "truth.json").read_text())
UPRIGHT, NO_ZONE = CAPTURES / "upright-td3.jpg", CAPTURES / "no-zone.jpg"
GIF_16000_BY_9000 = b"GIF89a" + (16000).to_bytes(2, "little") + (9000).to_bytes(2, "little")

subprocesses = pytest.mark.skipif(NO_SUBPROCESS, reason="this runner cannot start subprocesses")
# Reading needs the reader; the rest of the command does not, so either may be merged first.
needs_reader = pytest.mark.skipif(not hasattr(zerbano.mrz, "read"),
                                  reason="zerbano.mrz.read is not there yet")


def zerbano(*args, cwd, stdin=None):
    return subprocess.run([sys.executable, "-m", "zerbano", *map(str, args)], cwd=cwd,
                          input=stdin, capture_output=True, timeout=120)


def text(output):
    return output.decode().splitlines()


# --- Through the command line ----------------------------------------------------------------


@subprocesses
@pytest.mark.parametrize("args", [["--jobs", "0", "x"], ["-", "-"], ["{empty}"],
                                  ["--out", "x", "y"]])
def test_usage_errors_before_anything_is_read(args, tmp_path):
    (tmp_path / "empty").mkdir()
    done = zerbano("read", *[arg.format(empty=tmp_path / "empty") for arg in args],
                   cwd=tmp_path, stdin=b"")
    lines = text(done.stderr)
    assert done.returncode == 2 and done.stdout == b"" and len(lines) == 1, lines
    assert lines[0].startswith("python -m zerbano read: error: ")


@subprocesses
@needs_reader
def test_json_lines_in_input_order_and_a_failed_page(tmp_path):
    (tmp_path / "broken.jpg").write_bytes(UPRIGHT.read_bytes()[:100])
    (tmp_path / "huge.gif").write_bytes(GIF_16000_BY_9000)
    # The broken page and the huge one fail long before the first page is read: their lines
    # still come after it.
    done = zerbano("read", UPRIGHT, "--json", tmp_path / "broken.jpg", NO_ZONE,
                   tmp_path / "huge.gif", "--jobs", "2", cwd=tmp_path)
    records = [json.loads(line) for line in text(done.stdout)]
    assert [record["input"] for record in records] == [
        str(UPRIGHT), str(tmp_path / "broken.jpg"), str(NO_ZONE), str(tmp_path / "huge.gif")]
    zone = records[0]["mrz"]
    assert zone["lines"] == TRUTH[UPRIGHT.name]["lines"] and zone["valid"] is True
    assert zone["format"] == "TD3" and len(zone["location"]) == 4
    assert records[0].keys() == records[2].keys() == {"input", "mrz"}
    assert records[2]["mrz"] is None
    too_large = ("the image is 16000 x 9000 = 144,000,000 pixels, above the limit of "
                 "100,000,000 pixels (--max-pixels)")
    assert records[3] == {"input": str(tmp_path / "huge.gif"), "mrz": None, "error": too_large}
    assert records[1]["mrz"] is None and records[1]["error"]
    lines = text(done.stderr)
    assert done.returncode == 1
    assert lines[-3:-1] == [f"{tmp_path / 'broken.jpg'}: {records[1]['error']}",
                            f"{tmp_path / 'huge.gif'}: {too_large}"]
    assert lines[-1].startswith("1 zones read (1 valid), 1 without a zone, 2 failed, ")


@subprocesses
@needs_reader
def test_plain_lines_and_the_exit_status_without_a_zone(tmp_path):
    data_url = "data:image/jpeg;base64," + base64.b64encode(UPRIGHT.read_bytes()).decode()
    done = zerbano("read", data_url, "-", cwd=tmp_path, stdin=NO_ZONE.read_bytes())
    label = readpages.shortened(data_url)
    assert text(done.stdout) == [
        f"{label}: {' '.join(TRUTH[UPRIGHT.name]['lines'])} valid", "-: no zone"]
    assert done.returncode == 3, done.stderr
    assert text(done.stderr)[-1].startswith("1 zones read (1 valid), 1 without a zone, 0 failed")
    every_zone = zerbano("read", UPRIGHT, cwd=tmp_path)
    assert every_zone.returncode == 0 and text(every_zone.stdout)[0].endswith(" valid")


@subprocesses
@needs_reader
def test_a_file_named_read_and_the_sample_page(tmp_path):
    shutil.copy(UPRIGHT, tmp_path / "read")
    preview = zerbano("./read", cwd=tmp_path)  # the preview, as before the command existed
    assert preview.returncode == 0 and (tmp_path / "read-mrz.png").is_file(), preview.stderr
    done = zerbano("read", "./read", cwd=tmp_path)
    assert done.returncode == 0 and text(done.stdout)[0].startswith("./read: P<")
    sample = zerbano("read", cwd=tmp_path)
    [line] = text(sample.stdout)
    name, zone = line.split(": ")
    assert name.endswith("sample-passport.jpg") and sample.returncode == 0
    assert zone == " ".join(mrz_lines()) + " valid"


# --- The pages, without a subprocess ---------------------------------------------------------


def test_inputs_become_paths_text_or_bytes(tmp_path):
    (tmp_path / "a.jpg").write_bytes(b"")
    (tmp_path / "notes.txt").write_bytes(b"")
    url = "data:image/png;base64," + "A" * 100
    pages = readpages.plan_read([str(tmp_path), url, "-"], read_stdin=lambda: b"\xff\xd8\xff")
    assert [(page.label, page.path) for page in pages[:1]] == [(str(tmp_path / "a.jpg"),) * 2]
    assert pages[1].text == url and pages[1].label.endswith("(122 characters)")
    assert pages[2] == readpages.ReadPage("-", data=b"\xff\xd8\xff")
    with pytest.raises(UsageError):
        readpages.plan_read(["-", "-"], read_stdin=bytes)


@pytest.mark.parametrize("stdin, kind", [(b"\xff\xd8\xff\xe0", "data"), (b"GIF89a\x10\x00", "data"),
                                         (b"R0lGODlh\nEAAQ\n", "text"), (b" data:x,@@", "text")])
def test_standard_input_is_an_image_file_or_base64_text(stdin, kind):
    page = readpages.stdin_page(stdin)
    assert (page.data is not None, page.text is not None) == (kind == "data", kind == "text")


@pytest.mark.parametrize("given, expected", [
    ("R0lGODlh", b"GIF89a"), ("R0lG\nODlh\n", b"GIF89a"), ("data:image/gif;base64,R0lGODlh",
                                                          b"GIF89a"),
    ("scan.jpg", readpages.NOT_A_FILE), ("data:,R0lG OD=h", readpages.NOT_BASE64),
    ("x,a,b", readpages.NOT_BASE64), ("\u00e9t\u00e9", readpages.NOT_A_FILE)])
def test_text_is_decoded_explicitly(given, expected):
    if isinstance(expected, bytes):
        assert readpages.decode_text(given) == expected
    else:
        with pytest.raises(ValueError, match=f"^{expected}$"):
            readpages.decode_text(given)


def test_the_weigher_refuses_from_the_header_and_the_reader_gets_the_limit():
    page = readpages.ReadPage("-", data=GIF_16000_BY_9000)
    with pytest.raises(ValueError, match=r"144,000,000 pixels.*\(--max-pixels\)$"):
        readpages.page_weigher()(page)
    weight = readpages.page_weigher(max_pixels=200_000_000)(page)
    assert weight == 144_000_000 * readpages.READ_BYTES_PER_PIXEL
    given = []
    work = readpages.page_reader(123, read=lambda image, max_pixels: given.append(
        (image, max_pixels)))
    work(readpages.ReadPage("x", text="R0lGODlh"), threading.Event())
    assert given == [(b"GIF89a", 123)]


def test_lines_are_written_in_input_order_as_soon_as_they_can_be():
    zone = parse(TRUTH[UPRIGHT.name]["lines"])
    pages = [readpages.ReadPage(name, path=name) for name in "abcd"]
    written = []
    results = readpages.Results(pages, readpages.plain_line, written.append)
    results(2, None, None)
    results(1, None, ValueError("broken"))
    assert written == []
    results(0, zone, None)
    assert written == [f"a: {' '.join(zone.lines)} valid", "b: error: broken", "c: no zone"]
    results(3, None, None)
    assert written[-1] == "d: no zone" and (results.zones, results.no_zone, results.failed) == (1, 2, 1)
    # The rate counts the pages read, with or without a zone, not the one that failed.
    assert results.summary(2.0) == ("1 zones read (1 valid), 2 without a zone, 1 failed, "
                                    "1.5 pages/s (2.00 s)")
