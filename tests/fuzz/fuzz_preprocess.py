"""Fuzz target: preprocess_image against its plain-Python twin.

The first byte picks what the input becomes:
  0  base64 text of the rest (an encoded image, as the seeds have it), with or without a
     data-URL header, a bare comma, a header of fuzzed text, and a trailing field;
  1  the rest written to a file, passed as a str, bytes or pathlib path;
  2  path-like text: pieces of paths, data URLs and base64, and fuzzed characters;
  3  the rest as bytes, bytearray or memoryview (read only as a file name, never decoded);
  4  other objects: numbers, containers, str subclasses whose `split` or `in` misbehave.
Every outcome must be the twin's: an equal array, or an exception of the same type and text.
"""

import base64
import os
import pathlib
import sys

import fuzzlib
import zerbano.image
from plain_twin import make_twin

HEADERS = ["", "data:image/png;base64,", ",", "x,", "data:,", "data:image/jpeg;base64,,"]
TAILS = ["", ",tail", ",", "\n", "=", "==,x"]
PIECES = ["/", ".", "..", "page", "page.png", "/tmp", "/dev/null", "/proc/self/", "data:",
          ";base64", ",", "=", "==", "A", "AAAA", "iVBORw0KGgo", "/9j/", "\x00", "\udcff",
          "é", " ", "\n", "~", "*", "%s", "\\"]
FILE_NAME = "page"

# Imported before the fuzzer starts, so that libFuzzer registers the module's counters.
_preprocess = zerbano.image.preprocess_image
_twin = make_twin()
_scratch = None


class SplitsOddly(str):
    """A str whose split gives something other than a list of str."""

    result = None

    def split(self, *args):
        return type(self).result


class ContainsOddly(str):
    answer = None

    def __contains__(self, item):
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer


def _odd_object(source, payload):
    text = base64.b64encode(payload).decode()
    kind = source.number(12)
    if kind == 0:
        split = source.choice([
            ("a", text), (text,), [], {1: text}, iter(["a", text]), None, 5, b"x,y",
            ["a", bytearray(payload)], ["a", memoryview(payload)],
        ])
        value = SplitsOddly("h," + text)
        SplitsOddly.result = split
        return value
    if kind == 1:
        value = ContainsOddly(text)
        ContainsOddly.answer = source.choice(
            [True, False, 0, 1, None, "", [1], RuntimeError("in"), KeyboardInterrupt()])
        if isinstance(ContainsOddly.answer, KeyboardInterrupt):
            ContainsOddly.answer = StopIteration()  # a BaseException would end the fuzzer
        return value
    return source.choice([
        None, 0, -1, 10**6, 2**70, 1.5, float("nan"), 1j, [], [text], (text,), {text: 1},
        {1, 2}, object(), True, pathlib.PurePath(text or "x"),
    ])


def image_format(payload):
    """The format a payload claims by its first bytes. Instrumented when fuzzing: the module's
    own code is the same for every format, and a branch of its own for each format keeps a
    seed of each in the corpus."""
    head = bytes(payload[:16])
    if head.startswith(b"\x89PNG"):
        return "png"
    if head.startswith(b"\xff\xd8"):
        return "jpeg"
    if head.startswith(b"BM"):
        return "bmp"
    if head.startswith((b"II*\x00", b"MM\x00*")):
        return "tiff"
    if head.startswith(b"RIFF"):
        return "webp"
    if head.startswith((b"P1", b"P4")):
        return "pbm"
    if head.startswith((b"P2", b"P5")):
        return "pgm"
    if head.startswith((b"P3", b"P6")):
        return "ppm"
    if head.startswith(b"P7"):
        return "pam"
    if head.startswith((b"PF", b"Pf")):
        return "pfm"
    if head.startswith(b"\x59\xa6\x6a\x95"):
        return "sun raster"
    if head.startswith(b"#?"):
        return "radiance"
    if head.startswith(b"GIF8"):
        return "gif"
    if head.startswith(b"\x00\x00\x00\x0cjP"):
        return "jp2"
    if head.startswith(b"\xff\x4f\xff\x51"):
        return "j2k"
    if head[4:8] == b"ftyp":
        return "avif"
    return None


def make_input(source):
    mode = source.number(5)
    if mode == 0:
        header = source.choice(HEADERS)
        if source.number(8) == 7:
            header = source.text(8).replace(",", "") + ","
        tail = source.choice(TAILS)
        payload = source.rest()
        image_format(payload)
        return header + base64.b64encode(payload).decode() + tail
    if mode == 1:
        kind = source.number(3)
        path = os.path.abspath(FILE_NAME) if source.flag() else FILE_NAME
        payload = source.rest()
        image_format(payload)
        pathlib.Path(FILE_NAME).write_bytes(payload)
        return [path, os.fsencode(path), pathlib.Path(path)][kind]
    if mode == 2:
        return "".join(
            source.choice(PIECES) if source.flag() else source.text(6)
            for _ in range(source.number(8))
        )
    if mode == 3:
        kind = source.number(3)
        data = source.rest()
        return [data, bytearray(data), memoryview(data)][kind]
    return _odd_object(source, source.bytes(64))


def one_input(data):
    global _scratch
    if _scratch is None:
        _scratch = fuzzlib.scratch_directory()
    source = fuzzlib.Input(data)
    argument = make_input(source)
    # Each side gets the same argument; the odd str subclasses keep class-level behaviour.
    expected, expected_error = fuzzlib.outcome(_twin.preprocess_image, argument)
    result, error = fuzzlib.outcome(_preprocess, argument)
    if expected_error is None:
        if error is not None:
            raise AssertionError(f"{argument!r:.200}: the twin succeeded, the module raised {error!r}")
        if result.dtype.name != "uint8" or result.ndim != 2 or result.shape != expected.shape:
            raise AssertionError(f"{argument!r:.200}: {result.shape} {result.dtype}")
        if not (result == expected).all():
            raise AssertionError(f"{argument!r:.200}: pixels differ from the twin's")
        return
    if fuzzlib.describe(error) != fuzzlib.describe(expected_error):
        raise AssertionError(
            f"{argument!r:.200}: {fuzzlib.describe(error)} for {fuzzlib.describe(expected_error)}")
    if str(error) == fuzzlib.MESSAGE and error.__context__ is not None:
        raise AssertionError("the swallowed failure was chained")


if __name__ == "__main__":
    fuzzlib.main(one_input, instrumented=[image_format])
