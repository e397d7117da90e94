"""An image's width and height from its own header, read before any decoding.

A 300 KB PNG can describe 16000 x 16000 pixels, and decoding it costs gigabytes. The command
line (and the MRZ reader) read the size from the first bytes of the file or text instead, and
refuse a page above a pixel limit before OpenCV decodes it:

    size = input_image_size("page.jpg")        # (width, height), or None
    check_pixel_limit(size, 100_000_000)         # raises TooManyPixels (a ValueError)
    check_read_input(image, max_pixels)          # what zerbano.mrz.read takes, checked alike

JPEG (baseline, progressive, lossless, arithmetic), PNG, WebP (VP8, VP8L, VP8X), TIFF (either
byte order, first image), BMP and GIF are read. Any other format, and a header that is cut
short or malformed, gives None: the caller then relies on OpenCV's own limit
(`OPENCV_IO_MAX_IMAGE_PIXELS`). Reading never fails on malformed input and never reads more
than a bounded number of small pieces, however large the file: JPEG segments before the frame
header (EXIF, ICC profiles) are skipped by their lengths, not read.

One kind of malformed input is refused instead of passed on: a PNG chunk that declares more
bytes than the data holds. OpenCV's PNG reader allocates (and zero-fills) whatever a chunk
declares before it reads it, so 144 bytes whose last chunk claims 4 GiB cost 4 GiB, whatever
its pixel limit says. `image_size` walks a PNG's chunk headers to its end (at most
MAX_PNG_CHUNKS of them, 8 bytes each) and raises MalformedImage, a ValueError, for such a chunk.

`preprocess_image` itself keeps no limit: what it accepts is the module's contract, and
OpenCV's limit is its caller's setting.
"""

import binascii
import os
import re
import struct

DEFAULT_MAX_PIXELS = 100_000_000

# Bounds on the work one header may cause: segments walked, TIFF directory entries looked at.
MAX_JPEG_SEGMENTS = 512
MAX_TIFF_ENTRIES = 1024
MAX_PNG_CHUNKS = 100_000  # a 100-megapixel PNG in the usual 8 KB IDAT chunks has about 12,000

_JPEG_FRAME_MARKERS = frozenset(range(0xC0, 0xD0)) - {0xC4, 0xC8, 0xCC}  # SOF0..SOF15
_JPEG_STANDALONE_MARKERS = frozenset(range(0xD0, 0xD8)) | {0x01}  # RSTn, TEM: no length
_BASE64 = re.compile(r"[A-Za-z0-9+/]*={0,2}")


class TooManyPixels(ValueError):
    """An image whose header asks for more pixels than the limit allows."""

    def __init__(self, width, height, limit, setting=None):
        self.width, self.height, self.limit, self.setting = width, height, limit, setting
        hint = f" ({setting})" if setting else ""
        super().__init__(f"the image is {width} x {height} = {width * height:,} pixels, "
                         f"above the limit of {limit:,} pixels{hint}")

    def __reduce__(self):  # pickles with its fields, as the MRZ reader's workers may need
        return type(self), (self.width, self.height, self.limit, self.setting), self.__dict__


class MalformedImage(ValueError):
    """Encoded data whose structure would make the decoder allocate far more than it holds."""


def check_pixel_limit(size, limit=DEFAULT_MAX_PIXELS, setting=None):
    """Raises TooManyPixels when `size` (width, height) exceeds `limit` pixels.

    `size` None (unknown) passes; so does any size when `limit` is None. `setting` names the
    option that changes the limit in the message ("--max-pixels", "max_pixels").
    """
    if size is None or limit is None:
        return
    width, height = size
    if width * height > limit:
        raise TooManyPixels(width, height, limit, setting)


def check_read_input(image, max_pixels=DEFAULT_MAX_PIXELS, setting="max_pixels"):
    """Raises TooManyPixels when `image`, as `zerbano.mrz.read` takes it, has a header giving
    more than `max_pixels` pixels (None: no limit), and MalformedImage, whatever the limit,
    for a PNG chunk that runs past the end.

    `image` is a path (`str` or `os.PathLike`: text is always a path here, never data), the
    bytes of an encoded image (any bytes-like object), or an array. An array is already
    decoded and passes; so does anything else, whose type the reader itself refuses, and a
    path that cannot be opened, which the reader reports in its own words.
    """
    if isinstance(image, (str, os.PathLike)):
        size = path_image_size(image)
    elif isinstance(image, (bytes, bytearray, memoryview)):
        try:
            data = memoryview(image).cast("B")
        except TypeError:  # not contiguous: the reader says what it makes of it
            return
        size = image_size(data)
    else:
        return
    check_pixel_limit(size, max_pixels, setting)


def input_image_size(image_input):
    """The size of what `preprocess_image(image_input)` would load, routed as it routes it:
    a text naming a regular file is read as that file, any other text as base64 text with an
    optional header ending at its first comma. None when unknown."""
    if not isinstance(image_input, str):
        return None
    if os.path.isfile(image_input):
        return path_image_size(image_input)
    return text_image_size(image_input)


def path_image_size(path):
    """The size from the header of the file at `path`; None when unknown or unreadable.
    Raises MalformedImage as image_size does."""
    try:
        with open(path, "rb") as file:
            return image_size(file)
    except MalformedImage:
        raise
    except (OSError, ValueError):  # ValueError: a NUL in the path
        return None  # the decoder that follows reports the file in its own words


def text_image_size(text):
    """The size from base64 text as `preprocess_image` decodes it (the part between the first
    and the second comma when there is a comma), decoding only the pieces that hold the
    header. None when unknown."""
    start, end = 0, len(text)
    if "," in text:
        start = text.index(",") + 1
        second = text.find(",", start)
        end = len(text) if second < 0 else second
    if _BASE64.fullmatch(text, start, end) and (end - start) % 4 == 0:
        return image_size(_Base64Source(text, start, end))
    # Line breaks or other characters the decoder skips: decode it whole, as the module will.
    try:
        return image_size(binascii.a2b_base64(text[start:end]))
    except (ValueError, binascii.Error):
        return None


def image_size(source):
    """(width, height) from the header of an encoded image, or None when unknown.

    `source` is the whole encoded image (any bytes-like object) or a binary file open for
    reading with seek(), which is read from its start. Raises MalformedImage for a PNG chunk
    that declares more bytes than the image holds (the module's docstring says why).
    """
    if not isinstance(source, (_FileSource, _BytesSource, _Base64Source)):
        source = _FileSource(source) if hasattr(source, "read") else _BytesSource(source)
    try:
        size = _read_size(source)
    except MalformedImage:
        raise
    except (struct.error, ValueError, OSError, OverflowError, IndexError):
        return None
    if size is None or size[0] <= 0 or size[1] <= 0:
        return None
    return size


def _read_size(source):
    start = source.read(0, 32)
    for signature, reader in _READERS:
        if start.startswith(signature):
            return reader(source, start)
    return None


# --- The formats ---------------------------------------------------------------------------


def _png(source, start):
    # Signature, then the first chunk, which must be IHDR: length, type, width, height.
    if start[12:16] != b"IHDR":
        return None
    size = struct.unpack(">II", start[16:24])
    _check_png_chunks(source)
    return size


def _check_png_chunks(source):
    """Raises MalformedImage when a chunk before IEND (IEND included) runs past the end."""
    end = source.length()
    offset = 8
    for _ in range(MAX_PNG_CHUNKS):
        header = source.read(offset, 8)
        if len(header) < 8:
            return  # cut short between chunks: the decoder reports it
        length, kind = struct.unpack(">I4s", header)
        if offset + 12 + length > end:
            name = kind.decode("latin-1").encode("unicode_escape").decode()
            raise MalformedImage(
                f"the PNG data is malformed: its chunk '{name}' at byte {offset:,} runs past "
                f"the end ({length:,} bytes declared, {max(end - offset - 12, 0):,} left)")
        if kind == b"IEND":
            return
        offset += 12 + length
    raise MalformedImage(f"the PNG data is malformed: more than {MAX_PNG_CHUNKS:,} chunks")


def _gif(source, start):
    return struct.unpack("<HH", start[6:10])  # the logical screen


def _bmp(source, start):
    header_size, = struct.unpack("<I", start[14:18])
    if header_size == 12:  # the old OS/2 header: 16-bit sizes
        return struct.unpack("<HH", start[18:22])
    width, height = struct.unpack("<ii", start[18:26])
    return width, abs(height)  # a negative height means rows stored top-down


def _webp(source, start):
    if start[8:12] != b"WEBP":
        return None
    chunk = start[12:16]
    if chunk == b"VP8 ":  # lossy: frame tag, start code, 14-bit sizes
        if start[23:26] != b"\x9d\x01\x2a":
            return None
        width, height = struct.unpack("<HH", start[26:30])
        return width & 0x3FFF, height & 0x3FFF
    if chunk == b"VP8L":  # lossless: signature byte, then 14-bit sizes minus one
        if start[20:21] != b"\x2f":
            return None
        bits, = struct.unpack("<I", start[21:25])
        return (bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1
    if chunk == b"VP8X":  # extended: the canvas, 24-bit sizes minus one
        return (int.from_bytes(start[24:27], "little") + 1,
                int.from_bytes(start[27:30], "little") + 1)
    return None


def _tiff(source, start):
    order = "<" if start[:2] == b"II" else ">"
    offset, = struct.unpack(order + "I", start[4:8])
    count, = struct.unpack(order + "H", source.read(offset, 2))
    found = {}
    for index in range(min(count, MAX_TIFF_ENTRIES)):
        entry = source.read(offset + 2 + 12 * index, 12)
        tag, kind, values = struct.unpack(order + "HHI", entry[:8])
        if tag in (256, 257) and values == 1:  # ImageWidth, ImageLength
            if kind == 3:  # SHORT, in the first two bytes of the value field
                found[tag], = struct.unpack(order + "H", entry[8:10])
            elif kind == 4:  # LONG
                found[tag], = struct.unpack(order + "I", entry[8:12])
        if len(found) == 2:
            return found[256], found[257]
    return None


def _jpeg(source, start):
    # Walk the markers from the start: each segment but the standalone markers carries its
    # length, so EXIF and ICC segments are stepped over by seeking, whatever their size.
    offset = 2
    for _ in range(MAX_JPEG_SEGMENTS):
        marker = source.read(offset, 2)
        if len(marker) < 2 or marker[0] != 0xFF:
            return None
        if marker[1] == 0xFF:  # fill byte before a marker
            offset += 1
            continue
        kind = marker[1]
        if kind in _JPEG_STANDALONE_MARKERS:
            offset += 2
            continue
        if kind in (0xD9, 0xDA):  # end of image, or scan data before any frame header
            return None
        header = source.read(offset + 2, 7)
        length, = struct.unpack(">H", header[:2])
        if length < 2:
            return None
        if kind in _JPEG_FRAME_MARKERS:
            height, width = struct.unpack(">HH", header[3:7])
            return (width, height) if height else None  # 0: height given after the scan
        offset += 2 + length
    return None


_READERS = (
    (b"\x89PNG\r\n\x1a\n", _png),
    (b"\xff\xd8", _jpeg),
    (b"RIFF", _webp),
    (b"II*\x00", _tiff),
    (b"MM\x00*", _tiff),
    (b"BM", _bmp),
    (b"GIF87a", _gif),
    (b"GIF89a", _gif),
)


# --- Where the bytes come from -------------------------------------------------------------


class _BytesSource:
    def __init__(self, data):
        self._data = memoryview(data).cast("B")

    def read(self, offset, count):
        return bytes(self._data[offset:offset + count])

    def length(self):
        return len(self._data)


class _FileSource:
    def __init__(self, file):
        self._file = file

    def read(self, offset, count):
        self._file.seek(offset)
        return self._file.read(count)

    def length(self):
        return self._file.seek(0, os.SEEK_END)


class _Base64Source:
    """Bytes decoded on demand from text[start:end], base64 of the standard alphabet only."""

    def __init__(self, text, start, end):
        self._text, self._start, self._end = text, start, end

    def read(self, offset, count):
        if count <= 0:
            return b""
        first = self._start + offset // 3 * 4
        last = min(self._end, self._start + (offset + count + 2) // 3 * 4)
        if first >= last:
            return b""
        decoded = binascii.a2b_base64(self._text[first:last])
        return decoded[offset % 3:offset % 3 + count]

    def length(self):
        size = self._end - self._start
        return size // 4 * 3 - self._text.count("=", max(self._end - 2, self._start), self._end)
