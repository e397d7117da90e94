"""Finding the zone as real documents print and photographs show it: tracking and line
spacing other than ICAO's, any rotation, perspective, a curved page, a stamp over the zone's
start, texture beside its lines, and other print that is not a zone."""

import json
import math
import pathlib

import pytest

cv2 = pytest.importorskip("cv2")
np = pytest.importorskip("numpy")

from zerbano.mrz import read, search  # noqa: E402

FIXED = pathlib.Path(__file__).resolve().parent / "data" / "captures"
TRUTH = json.loads((FIXED / "truth.json").read_text())
OCRB = pathlib.Path("/usr/share/fonts/opentype/ocr-b/OCRB.otf")
SANS = pathlib.Path("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf")
TD3 = TRUTH["upright-td3.jpg"]["lines"]
TD1 = TRUTH["quarter-turn-td1.jpg"]["lines"]


def printed_page(lines, *, cap=18, tracking=1.0, line_pitch=1.67, other_print=True):
    """A plain page (BGR) with `lines` set in OCR-B: `cap` pixels a capital, each character's
    advance `tracking` times the font's own, lines `line_pitch` advances apart."""
    pytest.importorskip("PIL", reason="the pages are drawn with Pillow")
    from PIL import Image, ImageDraw, ImageFont

    if not OCRB.exists() or not SANS.exists():
        pytest.skip("Debian's fonts-ocr-b and fonts-dejavu-core are not installed")
    font = ImageFont.truetype(str(OCRB), 100)
    em = 100 * cap / -font.getbbox("H", anchor="ls")[1]
    font = ImageFont.truetype(str(OCRB), round(em))
    advance = font.getlength("H") * tracking
    width = int(advance * len(lines[0]) + 6 * cap)
    height = int(14 * cap + line_pitch * advance * len(lines))
    page = Image.new("RGB", (width, height), (236, 232, 224))
    draw = ImageDraw.Draw(page)
    if other_print:
        sans = ImageFont.truetype(str(SANS), cap)
        for row in range(5):
            draw.text((3 * cap, 2 * cap + 2.2 * cap * row), "SURNAME GIVEN NAMES 1234 UTOPIA"[
                row:], font=sans, fill=(40, 40, 60), anchor="ls")
    base = 13 * cap
    for row, line in enumerate(lines):
        for column, char in enumerate(line):
            draw.text((3 * cap + column * advance, base + row * line_pitch * advance), char,
                      font=font, fill=(20, 20, 20), anchor="ls")
    return cv2.cvtColor(np.asarray(page), cv2.COLOR_RGB2BGR)


def turned(image, degrees, ground=(90, 120, 150)):
    height, width = image.shape[:2]
    matrix = cv2.getRotationMatrix2D((width / 2, height / 2), degrees, 1.0)
    c, s = abs(matrix[0, 0]), abs(matrix[0, 1])
    size = (int(height * s + width * c) + 20, int(height * c + width * s) + 20)
    matrix[:, 2] += (size[0] / 2 - width / 2, size[1] / 2 - height / 2)
    return cv2.warpAffine(image, matrix, size, borderValue=ground)


@pytest.mark.parametrize("tracking, line_pitch", [(1.0, 1.67), (1.35, 1.67), (1.0, 2.3),
                                                  (0.92, 1.4)])
def test_zones_set_wider_or_tighter_than_icao_are_read(tracking, line_pitch):
    # Real zones are letter-spaced and leaded otherwise than ICAO's 2.54 and 4.23 mm: the
    # ICAO specimen page itself sets its glyphs a third of a glyph apart.
    page = printed_page(TD3, tracking=tracking, line_pitch=line_pitch)
    zone = read(page)
    assert zone is not None and list(zone.lines) == TD3 and zone.valid


@pytest.mark.parametrize("degrees", [0, 37, 90, 151, 180, 243, 270, 322])
def test_a_zone_turned_any_way_is_read(degrees):
    page = turned(printed_page(TD1, cap=16), degrees)
    zone = read(page)
    assert zone is not None and list(zone.lines) == TD1 and zone.valid


def test_a_zone_seen_in_perspective_on_a_bowed_page_is_read():
    # Its glyphs grow along the line (the page's near edge) and its lines bow (a booklet).
    page = printed_page(TD3, cap=20)
    height, width = page.shape[:2]
    ys, xs = np.mgrid[0:height, 0:width].astype(np.float32)
    bow = 0.012 * height * np.sin(np.pi * xs / width)
    page = cv2.remap(page, xs, ys - bow, cv2.INTER_LINEAR, borderMode=cv2.BORDER_REPLICATE)
    corners = np.float32([[0, 0], [width, 0], [width, height], [0, height]])
    seen = np.float32([[0, 0], [width, 0.08 * height], [width, 0.92 * height], [0, height]])
    homography = cv2.getPerspectiveTransform(corners, seen)
    page = cv2.warpPerspective(page, homography, (width, height), borderValue=(90, 90, 90))
    zone = read(page)
    assert zone is not None and list(zone.lines) == TD3 and zone.valid


def test_a_stamp_over_the_zone_s_first_glyphs_leaves_it_read_but_not_sure():
    page = printed_page(TD1, cap=18)
    height, width = page.shape[:2]
    cv2.ellipse(page, (int(0.2 * width), int(0.86 * height)), (int(0.12 * width), 2 * 18),
                -10, 0, 360, (150, 60, 170), 2)
    zone = read(page)
    assert zone is not None
    # Where the stamp crosses a glyph the reading may fail, but never as a valid zone.
    assert list(zone.lines) == TD1 or not zone.valid


@pytest.mark.parametrize("cap, blur", [(10, 1.0), (9, 1.2)])
def test_small_blurred_characters_in_a_large_frame_are_found_at_full_size(cap, blur):
    # A zone far from the camera: at half size its glyphs run together, so only the search
    # of the whole frame finds it (4.3 megapixels, searched a stripe at a time).
    page = cv2.cvtColor(printed_page(TD3, cap=cap, tracking=0.9), cv2.COLOR_BGR2GRAY)
    frame = np.full((1800, 2400), 226, np.uint8)
    frame[900:900 + page.shape[0], 300:300 + page.shape[1]] = page
    zone = read(cv2.GaussianBlur(frame, (0, 0), blur))
    assert zone is not None and zone.lines == tuple(TD3)


def test_the_search_in_stripes_and_runs_finds_what_it_finds_at_once(monkeypatch):
    # The frame labelled a stripe at a time, its glyphs compared a run at a time: the same
    # glyphs (to the float rounding of their centres) and the same candidates.
    gray = cv2.cvtColor(turned(printed_page(TD3, cap=14), 37), cv2.COLOR_BGR2GRAY)

    def search_once():
        found = np.stack(search._glyphs(gray), axis=1)
        return found[np.lexsort(found.T[::-1])], list(search.candidates(gray, 1.0))

    glyphs, candidates = search_once()
    monkeypatch.setattr(search, "STRIPE_PIXELS", 40 * gray.shape[1])
    monkeypatch.setattr(search, "PAIRS_AT_ONCE", 500)
    striped_glyphs, striped_candidates = search_once()
    assert len(glyphs) > 100 and striped_glyphs.shape == glyphs.shape
    assert np.allclose(striped_glyphs, glyphs, rtol=0, atol=1e-6)
    assert striped_candidates == pytest.approx(candidates) and candidates


def test_print_that_is_not_a_zone_gives_none():
    # Two long lines of capitals in OCR-B at the zone's pitch, but no zone's layout.
    lines = ["THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG 12".replace(" ", "<")[:44],
             "PACK MY BOX WITH FIVE DOZEN LIQUOR JUGS 345678".replace(" ", "<")[:44]]
    assert read(printed_page(lines)) is None


@pytest.mark.parametrize("degrees", [0, 33, 90, 128])
def test_the_search_offers_the_zone_first_in_its_direction(degrees):
    page = turned(printed_page(TD3, cap=14), degrees)
    gray = cv2.cvtColor(page, cv2.COLOR_BGR2GRAY)
    found = list(search.candidates(gray, 1.0))
    assert found
    best = found[0]
    angle = math.degrees(math.atan2(best.axis[1], best.axis[0])) % 180
    expected = (-degrees) % 180
    assert min(abs(angle - expected), 180 - abs(angle - expected)) < 2.0
    # A character of the zone's pitch: its advance at 14 px capitals.
    assert 12 < best.pitch < 17


@pytest.mark.parametrize("end", [-1, 1])
def test_a_candidate_that_is_a_piece_of_a_line_is_read_whole(end):
    # The search at a coarse level may find a few characters of a line only, off its centre.
    from zerbano.mrz import reading

    page = printed_page(TD3, cap=14)
    pages = reading._Pyramid.of(page)
    line = next(search.candidates(cv2.cvtColor(page, cv2.COLOR_BGR2GRAY), 1.0))
    piece = line._replace(length=line.length / 5, centre=(
        line.centre[0] + end * 0.35 * line.length * line.axis[0],
        line.centre[1] + end * 0.35 * line.length * line.axis[1]))
    found = reading._read_candidate(pages, piece)
    assert found is not None and found[1].lines == tuple(TD3)


def strip_with_ends(left, right, count=10):
    """A line's strip, a cell more at each end: glyph-like rings inside, `left` and `right`
    in the end cells ("glyph", "spill", "texture", "shadow", "edge" or "clear")."""
    from zerbano.mrz import glyphs

    width = glyphs.CELL_W
    strip = np.full((glyphs.CELL_H, (count + 2) * width), 210, np.uint8)
    for index in range(1, count + 1):
        cv2.ellipse(strip, (index * width + 8, 12), (4, 7), 0, 0, 360, 40, 2)
    for index, kind in ((0, left), (count + 1, right)):
        cell = strip[:, index * width:(index + 1) * width]
        if kind == "glyph":
            cv2.line(cell, (4, 4), (11, 19), 40, 2)
            cv2.line(cell, (11, 4), (4, 19), 40, 2)
        elif kind == "spill":  # the line's own end glyph leaning in (the line a bit off)
            column = 0 if index else width - 3
            cell[2:22, column:column + 3] = 40
        elif kind == "texture":  # guilloche: fine lines a third as dark as the print
            cell[::3] = 170
        elif kind == "shadow":
            cell[:] = 60
        elif kind == "edge":  # the card's edge half a character past the line's end
            cell[:, width // 2:] = 60 if index else 210
            cell[:, :width // 2] = 210 if index else 60
    return strip


@pytest.mark.parametrize("left, right, goes_on", [
    ("clear", "clear", False), ("glyph", "clear", True), ("clear", "glyph", True),
    ("texture", "texture", False), ("shadow", "clear", False), ("spill", "spill", False),
    ("edge", "clear", False), ("clear", "edge", False),
])
def test_a_line_goes_on_only_where_ink_lies_beside_its_end(left, right, goes_on):
    from zerbano.mrz import reading

    assert reading._goes_on(strip_with_ends(left, right)) is goes_on


@pytest.mark.parametrize("start, glyphs_beyond, moved_by", [
    (1, 0, -1), (4, 0, -4),   # placed past its first glyphs: moved back onto them
    (-2, 0, 2),               # placed before its first glyph: moved on
    (5, 0, None),             # further off than a line model loses
    (1, 2, None),             # glyphs beyond both ends: other print, not a line placed off
])
def test_a_line_placed_a_few_characters_off_is_moved_onto_its_glyphs(start, glyphs_beyond,
                                                                     moved_by):
    from zerbano.mrz import glyphs, locate, reading

    # Ten ring glyphs a pitch of 16 px apart (their base line at y = 40), with more beyond
    # the end where asked; the line model says ten characters from glyph `start` on.
    page = np.full((64, 400), 210, np.uint8)
    for index in range(10 + glyphs_beyond):
        cv2.ellipse(page, (60 + 16 * index, 30), (4, 7), 0, 0, 360, 40, 2)
    line = locate.Line(10, (60.0 + 16 * start, 16.0, 0.0), (40.0, 0.0), (20.0, 0.0), 20.0)
    identity = np.array([[1.0, 0, 0], [0, 1.0, 0]])
    wide = reading._strip(page, identity, line, False, margin=1)
    assert reading._goes_on(wide)
    moved = reading._moved_onto_its_ink(page, identity, line, reading._inked_ends(wide))
    if moved_by is None:
        assert moved is None
    else:
        assert moved[0].centres[0] == pytest.approx(60.0 + 16 * (start + moved_by))
        assert moved[1].shape == (glyphs.CELL_H, 12 * glyphs.CELL_W)


@pytest.mark.parametrize("flipped", [False, True])
@pytest.mark.parametrize("start, pitch, recentred", [
    (60.0 + 5, 16.0, True),       # a third of a character off all along
    (60.0, 16.0 * 0.99, True),    # a pitch 1% short: the far end's cells drift off
    (60.0 + 1, 16.0, False),      # a pixel off: the cells sit on their glyphs
])
def test_cells_off_their_glyphs_are_moved_onto_them(start, pitch, recentred, flipped):
    # Thirty ring glyphs 16 px apart from x = 60; the line model puts them at `start` with
    # `pitch`: moved again, every cell's centre is within a tenth of a character of its glyph.
    from zerbano.mrz import locate, reading

    page = np.full((64, 600), 210, np.uint8)
    for index in range(30):
        cv2.ellipse(page, (60 + 16 * index, 30), (4, 7), 0, 0, 360, 40, 2)
    line = locate.Line(30, (start, pitch, 0.0), (40.0, 0.0), (20.0, 0.0), 20.0)
    identity = np.array([[1.0, 0, 0], [0, 1.0, 0]])
    moved = reading._recentred(page, identity, line, flipped)
    if not recentred:
        assert moved is None
    else:
        centres = np.array([locate.centre_at(moved, k) for k in range(30)])
        assert np.abs(centres - (60 + 16 * np.arange(30))).max() < 1.6


@pytest.mark.parametrize("lost, found", [(8, 36), (11, 36), (14, 30)])
def test_a_zone_whose_lines_lost_their_start_is_lengthened_onto_it(lost, found):
    # Two lines of 44 ring glyphs; the line model found `found` characters of each, from
    # glyph `lost` on (the last few past the line's end, where `lost` is over 8). A two-line
    # zone of 36 is lengthened to 44 over its glyphs; lines of 30 (a card's) are not.
    from zerbano.mrz import locate, reading

    page = np.full((120, 900), 210, np.uint8)
    for row in range(2):
        for index in range(44):
            cv2.ellipse(page, (40 + 16 * index, 30 + 40 * row), (4, 7), 0, 0, 360, 40, 2)
    lines = [locate.Line(found, (40.0 + 16 * lost, 16.0, 0.0), (40.0 + 40 * row, 0.0),
                         (20.0 + 40 * row, 0.0), 20.0) for row in range(2)]
    identity = np.array([[1.0, 0, 0], [0, 1.0, 0]])
    cleared = reading._in_clear_paper(page, identity, lines)
    if found == 30:
        assert cleared is None
    else:
        assert [(line.count, line.centres[0]) for line in cleared[0]] == [
            (44, pytest.approx(40.0))] * 2
        assert [strip.shape[1] for strip in cleared[1]] == [44 * 16] * 2


@pytest.mark.parametrize("degrees", [0.0, 1.0, 17.0, 90.0, 179.0])
def test_print_directions_are_found_to_the_degree(degrees):
    # Glyph-sized dots in rows along `degrees`: the strongest direction is that one, within
    # a degree, and no direction is given twice.
    theta = math.radians(degrees)
    along = np.arange(40) * 10.0
    x = np.concatenate([300 + along * math.cos(theta) - row * 18 * math.sin(theta)
                        for row in range(6)])
    y = np.concatenate([300 + along * math.sin(theta) + row * 18 * math.cos(theta)
                        for row in range(6)])
    found = search._directions(x, y, np.full(len(x), 8.0))
    assert min(abs(found[0] - degrees), 180 - abs(found[0] - degrees)) < 0.5
    assert all(0 <= d < 180 for d in found) and len(set(found)) == len(found)
