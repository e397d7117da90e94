"""zerbano.mrz.read: what it takes and refuses, and what it reads on the fixed captures."""

import dataclasses
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
    png = cv2.imencode(".png", decoded)[1].tobytes()
    assert read(png).lines == upright.lines


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
    # A BMP 8,388,614 pixels wide, which OpenCV refuses with its own error (found by fuzzing;
    # the fuzz input's first byte chooses how the target hands it over).
    ((pathlib.Path(__file__).parent / "fuzz" / "regressions" / "mrz_read"
      / "bmp-wider-than-opencv-decodes").read_bytes()[1:], "cannot decode the 134 bytes"),
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


@pytest.mark.parametrize("shape", [(0, 0), (3, 0, 3), (4, 4, 4), (4, 4, 1)])
def test_empty_or_odd_arrays_are_refused(shape):
    with pytest.raises(ValueError, match="with pixels"):
        read(np.zeros(shape, np.uint8))


@pytest.mark.parametrize("shape", [(1, 1), (7, 5), (2, 5000), (9000, 17), (40, 40, 3)])
def test_tiny_and_thin_images_have_no_zone(shape):
    assert read(np.full(shape, 200, np.uint8)) is None


def test_views_read_like_their_copies():
    page = cv2.imread(str(UPRIGHT))
    assert read(np.asfortranarray(page[..., 1])).lines == read(page[..., 1].copy()).lines
    frozen = page.copy()
    frozen.flags.writeable = False
    assert read(frozen).valid


hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

from conftest import scaled  # noqa: E402


@settings(max_examples=scaled(40, minimum=5), deadline=None)
@given(st.binary(max_size=600))
def test_arbitrary_bytes_give_none_or_value_error(data):
    try:
        assert read(data) is None
    except ValueError as error:
        assert "cannot decode" in str(error)


@settings(max_examples=scaled(30, minimum=5), deadline=None)
@given(st.integers(1, 80), st.integers(1, 80), st.integers(0, 2 ** 32 - 1))
def test_noise_gives_none(height, width, seed):
    noise = np.random.default_rng(seed).integers(0, 256, (height, width), dtype=np.uint8)
    assert read(noise) is None


def test_the_shipped_sample_page_reads_valid():
    import importlib.resources

    page = importlib.resources.files("zerbano").joinpath("data/sample-passport.jpg")
    zone = read(page.read_bytes())
    assert zone is not None and zone.format == "TD3" and zone.valid
    assert zone.surname == "SAMPLE"


@pytest.mark.parametrize("upside_down", [False, True])
def test_a_run_of_fillers_is_refitted_onto_the_base_line(upside_down):
    from zerbano.mrz import locate

    # 44 glyphs 14 px apart on a level base line at y = 100: 20 capitals 14 px tall, then 24
    # fillers a pixel shorter, ending FILLER_RISE of a pitch above it (below the cap line when
    # the band shows the line upside down) -- too little for their heights to give them away.
    count, pitch = 44, 14.0
    filler = np.arange(count) >= 20
    x = 3 + pitch * np.arange(count)
    w = np.full(count, 9.0)
    h = np.where(filler, 13.0, 14.0)
    rise = locate.FILLER_RISE * pitch
    y = 100.5 - 14.0 + np.where(filler, 0.0 if upside_down else -rise + 1, 0.0)
    if upside_down:
        y = y + np.where(filler, rise, 0.0)
    line = locate._fit_line(x, y, w, h, np.arange(count))
    fitted = line.top if upside_down else line.bottom
    level = 86.0 if upside_down else 100.0
    ends = [locate.polyval(fitted, x[i]) for i in (0, -1)]
    assert max(abs(end - level) for end in ends) > 0.5  # the guess by heights tilts it
    refitted = locate.refit(line, filler)
    fitted = refitted.top if upside_down else refitted.bottom
    ends = [locate.polyval(fitted, x[i]) for i in (0, -1)]
    assert max(abs(end - level) for end in ends) < 0.2


@pytest.mark.parametrize("name, stretch", [("upright-td3.jpg", 0.88), ("upright-td3.jpg", 1.12),
                                           ("upside-down-td3.jpg", 0.88),
                                           ("small-td2.jpg", 1.08),
                                           ("quarter-turn-td1.jpg", 1.1)])
def test_glyphs_taller_or_shorter_than_their_pitch_are_read(name, stretch):
    # A page seen at a slant: the glyphs stretched across the text, not along it.
    image = cv2.imread(str(FIXED / name))
    across = (stretch, 1.0) if name.startswith("quarter") else (1.0, stretch)
    smooth = cv2.INTER_AREA if stretch < 1 else cv2.INTER_LINEAR
    image = cv2.resize(image, None, fx=across[0], fy=across[1], interpolation=smooth)
    zone = read(image)
    assert zone is not None and list(zone.lines) == TRUTH[name]["lines"] and zone.valid


def test_a_zone_whose_lines_all_lost_their_last_glyphs_is_set_to_its_length():
    from zerbano.mrz import locate

    # A TD3 zone, 14 px a character, whose lines were found with 43 and 41 of their 44
    # characters (the last ones merged or lost): both start at the same column.
    def line(count, y):
        return locate.Line(count, (20.0, 14.0, 0.0), (y, 0.0), (y - 14.0, 0.0), 14.0)

    zone = locate._zone([line(43, 50.0), line(41, 73.0)])
    assert zone is not None
    assert [(l.count, l.centres[0]) for l in zone[1]] == [(44, 20.0), (44, 20.0)]
    # A line with a character too many and none whole is no zone to guess at.
    assert locate._zone([line(45, 50.0), line(41, 73.0)]) is None


@pytest.mark.parametrize("line, column, doubted", [
    (0, 6, True),     # a name: no check digit covers it
    (1, 2, True),     # the document number: letters and digits, a check digit could agree
    (1, 14, False),   # the date of birth: digits only, under its check digit
])
def test_valid_needs_the_second_model_where_no_check_digit_decides(line, column, doubted):
    # The upright capture's zone and cells, its reading then altered at one position: the
    # second model reads that cell as printed and withholds `valid` where nothing else could.
    from zerbano.mrz import reading, search

    pages = reading._Pyramid.of(UPRIGHT)
    small, scale, _ = next(iter(pages.searches()))
    zone, cells, probabilities = next(found[1:] for found in (
        reading._read_candidate(pages, candidate)
        for candidate in search.candidates(small, scale)) if found and found[1].valid)
    assert reading._confirmed(zone, cells, probabilities).valid
    lines = list(zone.lines)
    printed = lines[line][column]
    other = "8" if printed.isdigit() and printed != "8" else "3" if printed.isdigit() else (
        "X" if printed != "X" else "K")
    lines[line] = lines[line][:column] + other + lines[line][column + 1:]
    altered = dataclasses.replace(zone, lines=tuple(lines))
    assert reading._confirmed(altered, cells, probabilities).valid is not doubted


@pytest.mark.parametrize("column, read, written, valid", [
    (5, "O", "0", True),    # a partner written by the check digit: sure enough
    (0, "E", "L", False),   # any other second choice: exact as like as not, never sure
])
def test_valid_is_withheld_where_a_check_wrote_an_unusual_second_choice(column, read, written,
                                                                          valid):
    from zerbano.mrz import glyphs, reading
    from zerbano.mrz.text import parse_candidates

    printed = ("P<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<<<<<<<<<",
               "L898902C36UTO7408122F1204159ZE184226B<<<<<10")
    index = {symbol: i for i, symbol in enumerate(glyphs.SYMBOLS)}
    probabilities = [np.eye(len(index))[[index[char] for char in line]] for line in printed]
    probabilities[1][column] = 0.0
    probabilities[1][column, [index[read], index[written]]] = 0.5, 0.49
    candidates = [list(line) for line in printed]
    candidates[1][column] = read + written
    zone = parse_candidates(candidates)
    assert zone.repairs[0][2:] == (read, written) and zone.valid
    admitted = [np.ones_like(p, dtype=bool) for p in probabilities]
    assert reading._confident(zone, probabilities, admitted).valid is valid


@pytest.mark.parametrize("checks, new_sure, old_sure, new_mean, taken", [
    (1.0, 0.99, 0.37, -0.09, True),    # surer where the two differ, though less sure overall
    (1.0, 0.37, 0.99, -0.01, False),   # surer overall, but not where it matters
    (1.0, 0.990, 0.992, -0.01, True),  # as sure of both: the mean decides
    (1.0, 0.990, 0.992, -0.09, False),
    (0.8, 0.99, 0.37, -0.01, False),   # more check digits agree with the best so far
])
def test_between_readings_of_a_zone_the_surer_of_their_differences_wins(checks, new_sure,
                                                                       old_sure, new_mean, taken):
    from zerbano.mrz import reading
    from zerbano.mrz.text import parse

    def zone(first, sure):  # the specimen, its document number's first letter read at `sure`
        read = parse(["P<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<<<<<<<<<",
                      first + "898902C36UTO7408122F1204159ZE184226B<<<<<10"])
        return dataclasses.replace(read, confidences=[[1.0] * 44, [sure] + [1.0] * 43])

    assert reading._better((False, checks, new_mean), zone("N", new_sure),
                           (False, 1.0, -0.05), zone("M", old_sure)) is taken


def test_a_zone_the_second_model_doubts_is_read_again_from_another_candidate(monkeypatch):
    # The first candidate's valid reading is doubted (its cells placed a little off, say):
    # the search goes on, and the zone's line found apart reads valid and is confirmed.
    from zerbano.mrz import reading

    confirm = reading._confirmed
    calls = []

    def doubting_the_first(zone, cells, probabilities):
        calls.append(zone.location)
        confirmed = confirm(zone, cells, probabilities)
        return dataclasses.replace(confirmed, valid=False) if len(calls) == 1 else confirmed

    monkeypatch.setattr(reading, "_confirmed", doubting_the_first)
    zone = read(UPRIGHT)
    assert zone.valid and zone.lines == tuple(TRUTH["upright-td3.jpg"]["lines"])
    assert len(calls) == 2 and calls[0] != calls[1]


def test_deeper_search_does_not_hold_the_whole_page_beside_a_coarser_level():
    # A 12-megapixel JPEG, decoded at half size; a candidate read at full size decodes the
    # whole page, which the search of the half-size level must not hold beside its own
    # memory. The search then goes on to the whole page, decoded again.
    from zerbano.mrz import reading

    rng = np.random.default_rng(5)
    page = cv2.resize(rng.integers(0, 256, (300, 400), np.uint8), (4000, 3000))
    data = cv2.imencode(".jpg", page)[1].tobytes()
    pages = reading._Pyramid.of(data)
    whole, factor = pages.level(1)
    assert factor == 1 and whole.shape == (3000, 4000)
    held = {scale: sorted(pages.levels) for _, scale, _ in pages.searches()}
    assert list(held) == [4, 8, 2, 1] and min(held[2]) == 2
    assert np.array_equal(pages.levels[1], whole)


def test_the_deeper_search_stops_short_of_a_very_large_frame():
    # 12 megapixels are searched whole (above); 30 are not: their whole decode and search
    # would take hundreds of megabytes and seconds.
    from zerbano.mrz import reading

    pages = reading._Pyramid.of(np.full((4800, 6400), 200, np.uint8))
    assert [scale for _, scale, _ in pages.searches()] == [8, 16, 4, 2]


@pytest.mark.parametrize("enlarge", [1, 3])
def test_exif_orientation_is_honoured(enlarge):
    # The pixels stored turned a quarter, the file saying to turn them back: the zone's corners
    # come back in the picture as shown, whole or from a reduced decode (a larger file).
    import io

    PIL = pytest.importorskip("PIL.Image")
    shown = read(UPRIGHT)
    stored = PIL.open(UPRIGHT).transpose(PIL.Transpose.ROTATE_90)
    stored = stored.resize((stored.width * enlarge, stored.height * enlarge))
    exif = PIL.Exif()
    exif[0x0112] = 6  # turn 90 degrees clockwise to show
    data = io.BytesIO()
    stored.save(data, "JPEG", quality=92, exif=exif)
    zone = read(data.getvalue())
    assert zone.lines == shown.lines and zone.valid
    error = np.abs(np.array(zone.location) / enlarge - np.array(shown.location)).max()
    assert error < 0.25 * TRUTH["upright-td3.jpg"]["char_height"]
