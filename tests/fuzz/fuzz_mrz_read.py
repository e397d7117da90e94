"""Fuzz target: zerbano.mrz.read on mutated image bytes.

Its seeds are the image seeds of the preprocess target as raw files (a capture with a real
zone belongs here too). The first byte picks how the image is handed over: as bytes, as
a file path, or decoded to an array first.

read must return its result (an MRZ, or None where it finds no zone) or raise ValueError (the
pixel limit, an image it cannot decode, MRZError); nothing else, and no sanitizer report from
the module underneath.
"""

import pathlib
import sys

import cv2
import numpy as np

import fuzzlib

try:
    if __name__ == "__main__":
        import atheris

        with atheris.instrument_imports(include=["zerbano.mrz"]):
            import zerbano.mrz as mrz
    else:
        import zerbano.mrz as mrz
    read = mrz.read
    SKIP = None
except (ImportError, AttributeError) as error:  # an install without the reader's dependencies
    read = None
    SKIP = f"SKIP: zerbano.mrz.read cannot be imported ({error})"

_scratch = None


def one_input(data):
    global _scratch
    if read is None:
        return
    if _scratch is None:
        _scratch = fuzzlib.scratch_directory()
    source = fuzzlib.Input(data)
    how = source.number(3)
    payload = source.rest()
    if how == 0:
        argument = payload
    elif how == 1:
        path = _scratch / "page"
        path.write_bytes(payload)
        argument = str(path)
    else:
        if not payload:  # cv2.imdecode asserts on an empty buffer
            return
        argument = cv2.imdecode(np.frombuffer(payload, np.uint8), cv2.IMREAD_COLOR)
        if argument is None:
            return
    try:
        result = read(argument)
    except ValueError:
        return
    if result is not None and not isinstance(result, mrz.MRZ):
        raise AssertionError(f"read returned {result!r:.200}")


if __name__ == "__main__":
    if SKIP:
        print(SKIP)
        sys.exit(0)
    fuzzlib.main(one_input)
