"""What the fuzz targets share: reading structured values from the fuzzer's bytes, comparing
outcomes, and the entry point.

A target is a script with `one_input(data)`: it raises on a finding (a Python exception the
target does not expect, a result that differs from the plain-Python twin) and returns
otherwise. Run by tools/fuzz.sh under atheris; tests/test_fuzz_targets.py replays the seeds and
the regression inputs through `one_input` without atheris.
"""

import os
import sys
import tempfile
import traceback
from pathlib import Path

HERE = Path(__file__).resolve().parent
TESTS = HERE.parent
if str(TESTS) not in sys.path:
    sys.path.insert(0, str(TESTS))  # plain_twin, leak_cases

MESSAGE = "Could not read image from input. Ensure it is a valid file path or base64 string."


class Input:
    """Consumes the fuzzer's bytes front to back; an exhausted input reads as zeros."""

    def __init__(self, data):
        self.data = bytes(data)
        self.position = 0

    def byte(self):
        if self.position >= len(self.data):
            return 0
        self.position += 1
        return self.data[self.position - 1]

    def number(self, limit):
        """0 <= n < limit, from one byte (two for limits above 256)."""
        if limit <= 1:
            return 0
        value = self.byte()
        if limit > 256:
            value = value << 8 | self.byte()
        return value % limit

    def choice(self, options):
        return options[self.number(len(options))]

    def flag(self):
        return self.byte() & 1 == 1

    def bytes(self, max_size):
        size = self.number(max_size + 1)
        chunk = self.data[self.position:self.position + size]
        self.position += len(chunk)
        return chunk

    def rest(self):
        chunk = self.data[self.position:]
        self.position = len(self.data)
        return chunk

    def text(self, max_size, alphabet=None):
        """Text of up to `max_size` characters: mostly from `alphabet` (if given), else any
        code point, lone surrogates and NUL included."""
        characters = []
        for _ in range(self.number(max_size + 1)):
            kind = self.byte()
            if alphabet and kind < 200:
                characters.append(alphabet[kind % len(alphabet)])
            elif kind < 230:
                characters.append(chr(self.byte() % 0x80))
            else:
                characters.append(chr((self.byte() << 8 | self.byte()) % 0x110000))
        return "".join(characters)

    @property
    def exhausted(self):
        return self.position >= len(self.data)


def outcome(function, *args, **kwargs):
    """(result, None) or (None, exception)."""
    try:
        return function(*args, **kwargs), None
    except Exception as error:
        return None, error


def module_entries(error):
    """The traceback entries the module added: (function name, line) pairs (as in
    tests/helpers.py, which needs pytest)."""
    return [(entry.name, entry.lineno) for entry in traceback.extract_tb(error.__traceback__)
            if entry.filename == "src/zerbano/image"]


def describe(error):
    return None if error is None else (type(error).__name__, str(error))


def scratch_directory():
    """An empty directory, made the working directory: relative text then names no file but
    those a target writes there itself."""
    path = Path(tempfile.mkdtemp(prefix="zerbano-fuzz-"))
    os.chdir(path)
    return path


_RUNNING_FRAMES = []


def main(one_input, instrumented=(), instrument=None, max_len=4096):
    """Runs `one_input` under atheris with libFuzzer's command line (sys.argv), inputs at most
    `max_len` bytes long unless the command line says otherwise.

    Native coverage comes from the module's build. Python code is covered where asked:
    `instrumented` functions (a target's classifier, so that inputs of different kinds, such
    as image formats, count as new coverage) and whatever `instrument()` imports.
    """
    import atheris

    for function in instrumented:
        atheris.instrument_func(function)
    if instrument is not None:
        with atheris.instrument_imports():
            instrument()
    atheris.Setup(sys.argv[:1] + [f"-max_len={max_len}"] + sys.argv[1:], one_input)
    # When an input's frame outlives it (a kept traceback), the interpreter gives the frame
    # below it a frame object, referred to only from its frame stack, which is not malloc'd
    # memory and which LeakSanitizer does not scan: it would report that object as a leak.
    # Every frame below gets its object now, held from here.
    frame = sys._getframe()
    while frame is not None:
        _RUNNING_FRAMES.append(frame)
        frame = frame.f_back
    atheris.Fuzz()
