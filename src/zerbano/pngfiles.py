"""PNG files that appear whole or not at all.

Each file is encoded in memory (cv2.imencode, which releases the interpreter lock), written
under a hidden temporary name in its target folder and renamed over the target: a reader, or
a command stopped by Ctrl-C, never sees a half-written PNG under the target's name.
"""

import itertools
import os

import cv2

TEMPORARY_SUFFIX = ".tmp"
_numbers = itertools.count()


class Abandoned(Exception):
    """The file was not written because the run is stopping."""


def write_png(path, image, stopping=None):
    """Writes `image` to `path` as PNG. If `stopping` (an Event) is set before the rename, the
    temporary is removed and Abandoned raised; on any error, the target is left untouched."""
    ok, encoded = cv2.imencode(".png", image)
    if not ok:
        raise OSError(f"could not encode {path} as PNG")
    descriptor, temporary = _create_temporary(path)
    try:
        with open(descriptor, "wb") as file:
            file.write(encoded)
        if stopping is not None and stopping.is_set():
            raise Abandoned(path)
        os.replace(temporary, path)
    except BaseException:
        _remove(temporary)
        raise


def _create_temporary(path):
    # O_EXCL: never reuse a file someone else has; 0o666 under the umask, as the target
    # would get from a plain open().
    folder, name = os.path.split(path)
    while True:
        temporary = os.path.join(folder, f".{name}.{os.getpid()}-{next(_numbers)}"
                                         f"{TEMPORARY_SUFFIX}")
        try:
            return os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666), temporary
        except FileExistsError:
            continue


def _remove(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
