"""Image sizes from headers: every format and input form, and malformed headers."""

import base64
import io
import pickle
import re
import struct
import zlib

import cv2
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zerbano import imagesize
from zerbano.imagesize import TooManyPixels, check_pixel_limit, image_size

from conftest import scaled

WIDTH, HEIGHT = 37, 23
ENCODINGS = {
    "png": (".png", []),
    "jpeg": (".jpg", []),
    "progressive-jpeg": (".jpg", [cv2.IMWRITE_JPEG_PROGRESSIVE, 1]),
    "webp-lossy": (".webp", [cv2.IMWRITE_WEBP_QUALITY, 80]),
    "webp-lossless": (".webp", [cv2.IMWRITE_WEBP_QUALITY, 101]),
    "tiff": (".tiff", []),
    "bmp": (".bmp", []),
}


def encoded(name, width=WIDTH, height=HEIGHT):
    suffix, flags = ENCODINGS[name]
    image = np.random.default_rng(1).integers(0, 256, (height, width, 3), np.uint8)
    ok, data = cv2.imencode(suffix, image, flags)
    assert ok
    return data.tobytes()


def jpeg_with_big_segments(data, count=3):
    """The JPEG with `count` full-size APP1 segments (as a large EXIF block) after its SOI."""
    segment = b"\xff\xe1" + struct.pack(">H", 65535) + b"Exif\0\0" + bytes(65527)
    return data[:2] + segment * count + data[2:]


class CountingFile(io.BytesIO):
    def __init__(self, data):
        super().__init__(data)
        self.bytes_read = 0

    def read(self, size=-1):
        chunk = super().read(size)
        self.bytes_read += len(chunk)
        return chunk


@pytest.mark.parametrize("name", ENCODINGS)
def test_every_form_of_every_format(name, tmp_path):
    data = encoded(name)
    path = tmp_path / ("page" + ENCODINGS[name][0])
    path.write_bytes(data)
    text = base64.b64encode(data).decode()
    assert image_size(data) == image_size(np.frombuffer(data, np.uint8)) == (WIDTH, HEIGHT)
    assert imagesize.input_image_size(str(path)) == (WIDTH, HEIGHT)
    for form in (text, "data:image/x;base64," + text, "x," + text + ",ignored",
                 "\n".join(text[i:i + 76] for i in range(0, len(text), 76))):
        assert imagesize.input_image_size(form) == (WIDTH, HEIGHT)


def test_jpeg_segments_are_skipped_not_read():
    data = jpeg_with_big_segments(encoded("jpeg"), count=20)  # 1.3 MB before the frame
    file = CountingFile(data)
    assert image_size(file) == (WIDTH, HEIGHT) and file.bytes_read < 256
    assert imagesize.text_image_size(base64.b64encode(data).decode()) == (WIDTH, HEIGHT)


def handmade(kind):
    if kind == "vp8x":
        return (b"RIFF" + bytes(4) + b"WEBPVP8X" + struct.pack("<I", 10) + bytes(4)
                + (16000 - 1).to_bytes(3, "little") + (9000 - 1).to_bytes(3, "little"))
    if kind == "tiff-big-endian":
        entries = [(256, 4, 1, 16000), (257, 3, 1, 9000 << 16)]  # SHORT: the first two bytes
        return (b"MM\0*" + struct.pack(">I", 8) + struct.pack(">H", len(entries))
                + b"".join(struct.pack(">HHII", *entry) for entry in entries))
    if kind == "bmp-top-down":
        return b"BM" + bytes(12) + struct.pack("<Iii", 40, 16000, -9000) + bytes(20)
    if kind == "bmp-os2":
        return b"BM" + bytes(12) + struct.pack("<IHH", 12, 16000, 9000) + bytes(10)
    if kind == "gif":
        return b"GIF89a" + struct.pack("<HH", 16000, 9000) + bytes(24)
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["vp8x", "tiff-big-endian", "bmp-top-down", "bmp-os2", "gif"])
def test_headers_cv2_does_not_write(kind):
    assert image_size(handmade(kind)) == (16000, 9000)


@pytest.mark.parametrize("data", [
    b"", b"\xff\xd8", b"\xff\xd8\xff\xda\0\2", b"P6\n16000 16000\n255\n", b"not an image",
    b"\xff\xd8" + b"\xff\xfe\0\2" * 1000,  # more segments than are walked
    b"\xff\xd8\xff\xc0\0\x11\x08\0\0\x01\0\x03",  # height 0: given after the scan
    b"II*\0\xff\xff\xff\xff",  # first directory past the end
])
def test_unknown_or_malformed_headers_give_none(data):
    assert image_size(data) is None


@pytest.mark.parametrize("text", ["", ",", "not base64 at all", "data:x,QUJD", "\u00e9,AAAA",
                                  "data:,iVBORw0KGgo="])
def test_text_that_is_no_image_gives_none(text):
    assert imagesize.text_image_size(text) is None


def test_limit_message_and_type():
    check_pixel_limit(None, 1)
    check_pixel_limit((10, 10), 100)
    with pytest.raises(ValueError) as info:
        check_pixel_limit((16000, 16000), imagesize.DEFAULT_MAX_PIXELS, "--max-pixels")
    assert str(info.value) == ("the image is 16000 x 16000 = 256,000,000 pixels, above the "
                               "limit of 100,000,000 pixels (--max-pixels)")
    copy = pickle.loads(pickle.dumps(info.value))
    assert type(copy) is TooManyPixels and str(copy) == str(info.value)
    assert (copy.width, copy.height, copy.limit) == (16000, 16000, 100_000_000)


# --- PNG chunks that run past the end ------------------------------------------------------


def png_chunk(kind, data, length=None):
    body = kind + data
    return (struct.pack(">I", len(data) if length is None else length) + body
            + struct.pack(">I", zlib.crc32(body)))


def png_with(*chunks):
    png = encoded("png")
    return png[:33] + b"".join(chunks) + png[33:]  # after IHDR


def size_in_every_form(data, tmp_path):
    """image_size of `data` as bytes, as a file and as base64 text: all three must agree."""
    path = tmp_path / "image.png"
    path.write_bytes(data)
    text = base64.b64encode(data).decode()
    sizes = set()
    for read in (lambda: image_size(data), lambda: imagesize.path_image_size(path),
                 lambda: imagesize.text_image_size(text),
                 lambda: imagesize.text_image_size("data:image/png;base64," + text)):
        try:
            sizes.add(read())
        except imagesize.MalformedImage as error:
            sizes.add(str(error))
    assert len(sizes) == 1, sizes
    return sizes.pop()


@pytest.mark.parametrize("data", [
    encoded("png"), encoded("png") + b"x", encoded("png") + b"xy",  # every base64 padding
    encoded("png") + b"\0" * 20,  # bytes after IEND are not looked at
    png_with(*[png_chunk(b"tEXt", b"k\0v")] * 300),
], ids=["png", "one-byte-more", "two-bytes-more", "after-iend", "many-chunks"])
def test_well_formed_png_passes_in_every_form(data, tmp_path):
    assert size_in_every_form(data, tmp_path) == (WIDTH, HEIGHT)


@pytest.mark.parametrize("data, message", [
    (encoded("png")[:-12] + png_chunk(b"IEND", b"", 0xFFFFFFFF),
     r"chunk 'IEND' at byte 2,632 runs past the end \(4,294,967,295 bytes declared, 0 left\)"),
    (encoded("png")[:-1], r"chunk 'IEND' at byte 2,632 .* \(0 bytes declared, 0 left\)"),
    (png_with(png_chunk(b"zTXt", b"a" * 40, 1 << 31)), r"'zTXt' at byte 33 .* \(2,147,483,648 "),
    (encoded("png")[:-200], r"chunk 'IDAT' at byte 33 runs past the end \(2,587 bytes "),
], ids=["iend-of-4gib", "cut-in-iend", "text-of-2gib", "cut-in-idat"])
def test_png_chunk_past_the_end_is_refused_in_every_form(data, message, tmp_path):
    # OpenCV's reader would allocate what the chunk declares before finding the data short.
    assert re.search(message, size_in_every_form(data, tmp_path))


def test_png_chunk_walk_is_bounded(monkeypatch):
    data = png_with(*[png_chunk(b"tEXt", b"")] * 20)
    monkeypatch.setattr(imagesize, "MAX_PNG_CHUNKS", 10)
    with pytest.raises(imagesize.MalformedImage, match="more than 10 chunks"):
        image_size(data)
    with pytest.raises(imagesize.MalformedImage):
        imagesize.check_read_input(data)


SEEDS = [encoded(name) for name in ENCODINGS] + [
    handmade(kind) for kind in ("vp8x", "tiff-big-endian", "bmp-os2")] + [
    jpeg_with_big_segments(encoded("jpeg"), count=1)]


def outcome(read, source):
    try:
        return read(source)
    except imagesize.MalformedImage as error:  # a PNG chunk past the end
        return str(error)


def assert_sane(data):
    file = CountingFile(data)
    size = outcome(image_size, file)
    assert size is None or isinstance(size, str) or (len(size) == 2 and min(size) > 0)
    # Bounded: a walk of the most segments or directory entries, a few bytes each, or of a
    # PNG's chunk headers (8 bytes a chunk of 12 or more).
    assert file.bytes_read <= 32 + max(12 * imagesize.MAX_TIFF_ENTRIES
                                       + 9 * imagesize.MAX_JPEG_SEGMENTS, len(data))
    assert outcome(image_size, data) == size
    text = base64.b64encode(data).decode()
    assert outcome(imagesize.text_image_size, text) == size


@settings(max_examples=scaled(300), deadline=None)
@given(st.sampled_from(SEEDS), st.data())
def test_truncated_and_mutated_headers_never_fail(seed, data):
    cut = data.draw(st.integers(0, min(len(seed), 200)))
    header = bytearray(seed[:cut] if data.draw(st.booleans()) else seed[:200])
    for _ in range(data.draw(st.integers(0, 4))):
        if header:
            header[data.draw(st.integers(0, len(header) - 1))] = data.draw(st.integers(0, 255))
    assert_sane(bytes(header))


@settings(max_examples=scaled(300), deadline=None)
@given(st.sampled_from([b"\x89PNG\r\n\x1a\n", b"\xff\xd8", b"RIFF", b"II*\0", b"MM\0*", b"BM",
                        b"GIF89a", b""]), st.binary(max_size=120))
def test_random_bytes_after_a_signature_never_fail(signature, rest):
    assert_sane(signature + rest)


def test_read_inputs_are_checked_from_their_headers_arrays_pass(tmp_path):
    # What zerbano.mrz.read takes: a path (text is always one, never data) or encoded bytes
    # are refused from the header; an array is decoded already; other types and unreadable
    # paths are left for the reader to report.
    data = handmade("gif")  # 16000 x 9000
    path = tmp_path / "huge.gif"
    path.write_bytes(data)
    for image in (path, str(path), data, bytearray(data), memoryview(data)):
        with pytest.raises(TooManyPixels, match=r"16000 x 9000 .* \(max_pixels\)$"):
            imagesize.check_read_input(image)
        imagesize.check_read_input(image, max_pixels=144_000_000)
        imagesize.check_read_input(image, max_pixels=None)
    text = base64.b64encode(data).decode()
    for image in (text, "data:image/gif;base64," + text, tmp_path / "none", "a\0b",
                  np.zeros((2, 2), np.uint8), memoryview(data)[::2], None, 42):
        imagesize.check_read_input(image, max_pixels=1)
