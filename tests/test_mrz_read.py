"""zerbano.mrz.read: what it takes and refuses, and what it reads on the fixed captures."""

import json
import os
import pathlib
import pickle

import pytest

cv2 = pytest.importorskip("cv2")
np = pytest.importorskip("numpy")

from zerbano.mrz import MRZ, read  # noqa: E402

FIXED = pathlib.Path(__file__).resolve().parent / "data" / "captures"
TRUTH = json.loads((FIXED / "truth.json").read_text())
ZONES = sorted(name for name, truth in TRUTH.items() if truth["layout"])
UPRIGHT = FIXED / "upright-td3.jpg"


@pytest.fixture(scope="module")
def upright():
    return read(UPRIGHT)


@pytest.mark.parametrize("name", ZONES)
def test_reads_each_fixed_capture_exactly(name):
    truth = TRUTH[name]
    zone = read(FIXED / name)
    assert zone is not None
    assert list(zone.lines) == truth["lines"]
    assert (zone.format, zone.valid) == (truth["layout"], truth["valid"])
    # Within a quarter of a character of where the zone was drawn, corner by corner.
    error = np.abs(np.array(zone.location) - np.array(truth["zone_corners"])).max()
    assert error < 0.25 * truth["char_height"]
    assert [len(line) for line in zone.confidences] == [len(line) for line in zone.lines]
    assert zone.confidence == min(min(line) for line in zone.confidences)
    assert 0.9 <= zone.confidence <= 1.0


def test_a_page_without_a_zone_gives_none():
    assert read(FIXED / "no-zone.jpg") is None
    assert read(np.full((480, 640), 200, np.uint8)) is None


def test_path_bytes_and_arrays_read_alike(upright):
    data = UPRIGHT.read_bytes()
    decoded = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_COLOR)
    same = [read(str(UPRIGHT)), read(data), read(bytearray(data)), read(memoryview(data)),
            read(decoded)]
    assert all(zone.lines == upright.lines and zone.valid for zone in same)
    assert same[0] == upright and same[1] == upright
    gray = read(cv2.cvtColor(decoded, cv2.COLOR_BGR2GRAY))
    assert gray.lines == upright.lines


def test_results_pickle_and_hash(upright):
    again = pickle.loads(pickle.dumps(upright))
    assert again == upright and hash(again) == hash(upright)
    assert isinstance(again, MRZ)
    assert again.to_dict()["location"] == [list(corner) for corner in upright.location]


@pytest.mark.parametrize("image", [
    42, None, 3.5, ["a.jpg"], np.zeros((10, 10), np.float32).tolist(),
])
def test_refuses_other_types(image):
    with pytest.raises(TypeError, match="read\\(\\) takes a path"):
        read(image)


@pytest.mark.parametrize("image", [
    np.zeros((10, 10), np.float32),
    np.zeros((10, 10, 4), np.uint8),
    np.zeros((10,), np.uint8),
])
def test_refuses_arrays_of_another_kind(image):
    with pytest.raises(ValueError, match="uint8 array of shape"):
        read(image)


def test_text_is_always_a_path(tmp_path):
    # Base64 of a JPEG is not decoded: it is taken for a (missing) file name.
    import base64

    text = base64.b64encode(UPRIGHT.read_bytes()[:200]).decode()
    with pytest.raises(ValueError, match="cannot read"):
        read(text)


@pytest.mark.parametrize("data, message", [
    (b"", "cannot decode the 0 bytes"),
    (b"not an image at all", "cannot decode the 19 bytes"),
    (b"\xff\xd8\xff\xc0\x00\x11\x08\x0b\xb8\x0f\xa0" + bytes(40), "cannot decode the 51 bytes"),
])
def test_undecodable_bytes(data, message):
    with pytest.raises(ValueError, match=message):
        read(data)


def test_unreadable_files(tmp_path):
    missing = tmp_path / "missing.jpg"
    with pytest.raises(ValueError, match="cannot read .*missing.jpg"):
        read(missing)
    with pytest.raises(ValueError, match="cannot read"):
        read(tmp_path)
    junk = tmp_path / "junk.jpg"
    junk.write_bytes(b"\xff\xd8 truncated")
    with pytest.raises(ValueError, match="cannot decode .*junk.jpg"):
        read(os.fspath(junk))


def test_a_large_jpeg_is_read_from_a_reduced_decode(tmp_path):
    # The upright page enlarged to 3200 px: decoded at a quarter, the zone still reads, and its
    # corners come back in the input's own pixels.
    page = cv2.imread(str(UPRIGHT))
    big = cv2.resize(page, None, fx=4, fy=4, interpolation=cv2.INTER_CUBIC)
    path = tmp_path / "big.jpg"
    cv2.imwrite(str(path), big, [cv2.IMWRITE_JPEG_QUALITY, 90])
    zone = read(path)
    assert zone is not None and list(zone.lines) == TRUTH["upright-td3.jpg"]["lines"]
    corners = np.array(TRUTH["upright-td3.jpg"]["zone_corners"]) * 4 + 1.5
    assert np.abs(np.array(zone.location) - corners).max() < 0.25 * 4 * 17
