"""The read command's pages: what each input is, what it may cost, and the line it prints.

    python -m zerbano read [INPUT...] [--json] [--jobs N] [--recursive]
                           [--max-pixels N] [--max-memory SIZE]

An INPUT names a file, a directory (its image files by extension), base64 text or a data URL,
or is "-" for standard input. Text is taken for data only where it names no file, and it is
decoded here, explicitly, into the bytes the reader is given: `zerbano.mrz.read` itself never
takes text for anything but a path. Standard input holds the bytes of an image file, or base64
text or a data URL; it is taken as text when it begins with "data:" or holds nothing but the
base64 alphabet and white space (no image format begins that way).

Pages run on the batch's threads (zerbano.batch.run_pages), admitted by memory; each prints
one line, in input order, as soon as the pages before it have printed theirs.
"""

import base64
import binascii
import functools
import json
import os
import re
from dataclasses import dataclass

from zerbano import imagesize
from zerbano.batch import describe, timing
from zerbano.inputs import STDIN, UsageError, image_files, shortened

# Peak memory of reading one page, per pixel of its header's size, beside the encoded bytes:
# 2.9 measured on a 4000x3000 JPEG page without a zone (the reader's longest search; a large
# JPEG is decoded at a reduced size, then finer levels as the search needs them), 1.9 on the
# same page as PNG (decoded whole, in gray) and on the 16000x16000 bomb. An earlier reader
# took 6.9; the margin is for the reader's changes. Measure again when it changes much.
READ_BYTES_PER_PIXEL = 4

NOT_A_FILE = "no such file, nor base64 text or a data URL"
NOT_BASE64 = "the text after the first comma is not base64"
NOT_AN_IMAGE = "no such file, nor base64 of an image file"
STDIN_NOT_BASE64 = "standard input is neither an image file nor base64 text or a data URL"
_BASE64_TEXT = re.compile(rb"[A-Za-z0-9+/=\s]*")


@dataclass(frozen=True)
class ReadPage:
    """One page of the read command: exactly one of `path`, `text` and `data` is set."""

    label: str                 # how lines and messages name it: its path, "-", or its text's start
    path: str = None           # a file
    text: str = None           # base64 text or a data URL, decoded when the page runs
    data: bytes = None         # an image file's bytes, from standard input

    def image_size(self):
        """(width, height) from the header, before anything is decoded; None when unknown."""
        if self.path is not None:
            return imagesize.path_image_size(self.path)
        if self.text is not None:
            return imagesize.text_image_size(self.text)
        return imagesize.image_size(self.data)

    def encoded_bytes(self):
        """The size of what the page holds in memory before it is decoded."""
        if self.path is not None:
            try:
                return os.path.getsize(self.path)
            except OSError:
                return 0
        if self.text is not None:
            return len(self.text) // 4 * 3  # the decoded copy; the text itself is in argv
        return 0

    def image(self):
        """What zerbano.mrz.read is given: the path, or bytes."""
        if self.path is not None:
            return self.path
        if self.text is not None:
            return decode_text(self.text, STDIN_NOT_BASE64 if self.label == STDIN else NOT_A_FILE)
        return self.data


def decode_text(text, bare_message=NOT_A_FILE):
    """The bytes of base64 text, or of a data URL (or any header ending at the first comma).

    White space (line breaks of wrapped base64) is ignored; anything else outside the base64
    alphabet is a ValueError, with `bare_message` for text without a comma.
    """
    header, comma, payload = text.partition(",")
    if not comma:
        payload = header
    try:
        return base64.b64decode("".join(payload.split()), validate=True)
    except (binascii.Error, ValueError):  # ValueError: text that is not ASCII
        raise ValueError(NOT_BASE64 if comma else bare_message) from None


def plan_read(arguments, recursive=False, read_stdin=None):
    """The pages of `arguments` in order. `read_stdin` (-> bytes) is called once if an
    argument is "-". A directory gives its image files by extension, sorted."""
    if arguments.count(STDIN) > 1:
        raise UsageError("'-' is given more than once: standard input can be read once")
    pages = []
    for argument in arguments:
        if argument == STDIN:
            pages.append(stdin_page(read_stdin()))
        elif os.path.isdir(argument):
            pages += [ReadPage(path, path=path) for path in image_files(argument, recursive)]
        elif os.path.isfile(argument):
            pages.append(ReadPage(argument, path=argument))
        else:
            pages.append(ReadPage(shortened(argument), text=argument))
    if not pages:
        raise UsageError("no image files in " + ", ".join(arguments))
    return pages


def stdin_page(data):
    start = data.lstrip()[:5]
    if start.lower() == b"data:" or _BASE64_TEXT.fullmatch(data):
        return ReadPage(STDIN, text=data.decode("ascii", "replace"))
    return ReadPage(STDIN, data=data)


def page_weigher(max_pixels=imagesize.DEFAULT_MAX_PIXELS, setting="--max-pixels"):
    """A weigh(page) for run_pages: the page's estimated peak bytes while it is read.

    Raises TooManyPixels for a page above `max_pixels`, from its header. A page whose size
    cannot be read counts as `max_pixels` pixels, the most OpenCV decodes when its own limit
    is set to the same number.
    """
    def weigh(page):
        size = page.image_size()
        imagesize.check_pixel_limit(size, max_pixels, setting)
        pixels = size[0] * size[1] if size else (max_pixels or 0)
        return pixels * READ_BYTES_PER_PIXEL + page.encoded_bytes()
    return weigh


def page_reader(max_pixels=imagesize.DEFAULT_MAX_PIXELS, read=None):
    """A work(page, stopping) for run_pages that returns `read(page.image())`.

    `read` is zerbano.mrz.read unless given. The weigher has checked the page's header
    against `max_pixels` before the page starts; the reader is given the limit too, so that a
    file changed in between is still held to it.
    """
    from zerbano.pngfiles import Abandoned

    if read is None:
        from zerbano.mrz import read
    read = functools.partial(read, max_pixels=max_pixels)

    def work(page, stopping):
        if stopping.is_set():
            raise Abandoned(page.label)
        try:
            return read(page.image())
        except ValueError as error:
            if (page.text is not None and page.label != STDIN and "," not in page.text
                    and not isinstance(error, imagesize.TooManyPixels)
                    and str(error) != NOT_A_FILE):
                # Bare text that decodes to no image: most likely a mistyped file name.
                raise ValueError(f"{NOT_AN_IMAGE} ({error})") from None
            raise
    return work


# --- What a page prints ----------------------------------------------------------------------


def plain_line(label, zone, error):
    """`LABEL: LINE LINE valid`, `LABEL: LINE LINE invalid`, `LABEL: no zone` or
    `LABEL: error: MESSAGE`."""
    if error is not None:
        return f"{label}: error: {describe(error)}"
    if zone is None:
        return f"{label}: no zone"
    return f"{label}: {' '.join(zone.lines)} {'valid' if zone.valid else 'invalid'}"


def json_line(label, zone, error):
    """`{"input": LABEL, "mrz": to_dict() or null}`, with `"error": MESSAGE` for a failed page."""
    record = {"input": label, "mrz": None if zone is None else zone.to_dict()}
    if error is not None:
        record["error"] = describe(error)
    return json.dumps(record, ensure_ascii=False)


class Results:
    """Collects finished pages (run_pages' `finished`) and writes their lines in input order,
    each as soon as every page before it has been written."""

    def __init__(self, pages, line, write):
        self.pages, self.line, self.write = pages, line, write
        self.finished = {}
        self.next = 0
        self.zones = self.valid = self.no_zone = self.failed = 0

    def __call__(self, index, zone, error):
        if error is not None:
            self.failed += 1
        elif zone is None:
            self.no_zone += 1
        else:
            self.zones += 1
            self.valid += bool(zone.valid)
        self.finished[index] = zone, error
        while self.next in self.finished:
            zone, error = self.finished.pop(self.next)
            self.write(self.line(self.pages[self.next].label, zone, error))
            self.next += 1

    def summary(self, seconds):
        """The closing line; its rate counts the pages read (with or without a zone)."""
        return (f"{self.zones} zones read ({self.valid} valid), {self.no_zone} without a zone, "
                f"{self.failed} failed" + timing(self.zones + self.no_zone, seconds))
