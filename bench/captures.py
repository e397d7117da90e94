#!/usr/bin/env python3
"""Synthetic photographs of identity documents with a machine-readable zone, made to scale.

    import captures
    capture = captures.generate(17)                  # or generate(17, layout="TD1", rotation=90)
    capture.jpeg, capture.image, capture.truth       # JPEG bytes, the decoded BGR array, a dict

    python bench/captures.py --count 20 --out /tmp/captures      JPEGs + truth.json
    python bench/captures.py --fixtures tests/data/captures      the tests' fixed captures
    python bench/captures.py --recapture ../shared/mrz-real --per-image 4 --out /tmp/recaptures
                                         real pages photographed again: images/ + truth.jsonl

Each capture is a document page (TD3 passport 125x88 mm, TD2 105x74 mm, TD1 card 85.6x54 mm,
MRV-A visa 120x80 mm, MRV-B visa 105x80 mm) on textured paper with a photo area and other
printed text, its zone drawn in OCR-B at the ICAO pitch (2.54 mm a character, 10 to the inch;
4.23 mm from one line to the next), photographed in a busy scene: the page filling from a sixth
of the frame to all of it, zone characters 10 to 60 px tall, turned a little (most), by a
quarter or half turn, or by any angle, with mild perspective, blur, sensor noise, uneven light,
and JPEG compression at quality 55 to 95, in frames from 640x480 to 4032x3024.

Everything is drawn from `numpy.random.default_rng(seed)`: the same seed gives the same JPEG
bytes with the same versions of OpenCV, Pillow and FreeType. Every drawn parameter can be
fixed by a keyword of `generate` (see `PARAMETERS`), and all of them are in the truth record.

Varied print: `generate(seed, print="varied")` also draws the zone's stroke weight (-0.07 to
+0.10 mm about the font's, the glyphs' outlines moved out or in by half of it) and a jitter
(up to 0.08 of the pitch) by which each character is shifted off its cell, across and along
the line, as real printing does. These come from a generator of their own (seeded by the
seed and PRINT_STREAM): the rest of a seed's capture (its text, page and scene) is the same
as the nominal print's, and the nominal print, the default, draws nothing more than it ever
did, so a seed's default capture stays byte for byte what it was. The truth's params then
hold print, stroke and jitter; a nominal capture's params have none of them.

Recaptures: `recapture(page, record, seed)` puts a given picture of a page (a scan, photo or
screenshot, with its record from a real-document folder's truth.jsonl) into the same kind of
scene: turned by any angle, tilted, on a table, in uneven light, blurred, noisy, JPEG. It is
scaled so that its capitals land between 10 and 60 px (log-uniformly), but is never enlarged
by more than MAX_ENLARGE (1.25): a page with 8 px capitals lands at 10 px, one with 6 px
capitals at 6 to 7.5 px, since enlarging a small scan invents nothing. A page without a zone
gets its longer side drawn between 480 and 4032 px under the same bound. The whole page
stays in view (where its zone lies is not known), and a transparent picture shows the table
through. The new record has the source's form, with `file` (ORIGINAL-sSEED.jpg), capital
height (at the page's centre, perspective included) and rotation (clockwise, as text)
updated, `source` naming the original and the seed, and `recapture` saying what was done
(the scale, whether the page was enlarged, every drawn parameter). `--recapture DIR` writes
them into `--out` (never into the project's tree nor the source: they derive from real
documents), page i's recaptures taking seeds SEED + i * PER_IMAGE on.

The truth record of a synthetic capture (a dict of plain JSON types):
    seed            the seed
    version         the generator's VERSION
    layout          "TD1", "TD2", "TD3", "MRVA" or "MRVB"; None for a page without a zone
    lines           the zone's lines as printed (list of str; [] without a zone)
    valid           True when every check digit is right (a few captures carry a wrong one)
    wrong_check     None, or [line, column] of the check digit that was made wrong
    char_height     the height of a capital in the frame, in pixels (mean over the zone)
    rotation        degrees the page is turned counter-clockwise in the frame, in [0, 360)
    rotation_band   "small", "90/180/270" or "other" (within 15 degrees of 0, of a quarter
                    turn, or neither)
    zone_corners    the zone's four corners [x, y] in frame pixels, clockwise from its top-left
                    as the text reads: the box from the left edge of the first character cell
                    to the right edge of the last, from the cap line of the first line to the
                    base line of the last; None without a zone
    page_corners    the page's four corners the same way
    frame           [width, height] in pixels
    params          every drawn parameter (see PARAMETERS), and the scale in px/mm; with
                    varied print also print ("varied"), stroke (mm) and jitter (of the pitch)
"""

import argparse
import json
import math
import os
import sys
from typing import NamedTuple

import cv2
import numpy as np
from PIL import Image, ImageDraw, ImageFont

from zerbano.mrz import check_digit

# Raised whenever a seed's capture changes, so that saved captures of an older version are
# made again (bench/mrz.py --captures).
VERSION = 2

OCRB = "/usr/share/fonts/opentype/ocr-b/OCRB.otf"
SANS = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
SANS_BOLD = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"

PITCH_MM = 2.54  # ten characters to the inch
LINE_PITCH_MM = 4.23  # six lines to the inch
ZONE_BOTTOM_MM = 4.0  # from the page's lower edge to the last line's base line

# Page sizes in mm (width, height) and the zone's shape (lines, characters a line).
LAYOUTS = {
    "TD3": {"page": (125.0, 88.0), "lines": 2, "length": 44},
    "TD2": {"page": (105.0, 74.0), "lines": 2, "length": 36},
    "TD1": {"page": (85.6, 54.0), "lines": 3, "length": 30},
    "MRVA": {"page": (120.0, 80.0), "lines": 2, "length": 44},
    "MRVB": {"page": (105.0, 80.0), "lines": 2, "length": 36},
}
LAYOUT_WEIGHTS = {"TD3": 0.4, "TD1": 0.2, "TD2": 0.14, "MRVA": 0.13, "MRVB": 0.13}

FRAMES = [(640, 480), (1280, 720), (1280, 960), (1600, 1200), (1920, 1080), (2048, 1536),
          (2592, 1944), (3264, 2448), (4032, 3024)]
HEIGHT_BANDS = [(10, 14), (14, 20), (20, 30), (30, 60)]

# The zone's print: nominal (OCR-B as the font draws it, every character in its cell) or
# varied (the stroke weight and each character's place drawn, from a generator of their own).
NOMINAL, VARIED = "nominal", "varied"
PRINTS = (NOMINAL, VARIED)
STROKE_MM = (-0.07, 0.10)  # the varied print's stroke weight about the font's, in mm
JITTER = (0.0, 0.08)  # its largest shift of a character off its cell, a share of the pitch
PRINT_STREAM = 0x5052  # the print generator's second seed word, beside the capture's seed

# Keywords of generate(): each fixes one drawn parameter.
PARAMETERS = {
    "layout": "one of LAYOUTS",
    "zone": "False draws the page without a zone",
    "valid": "False makes one check digit wrong",
    "char_height": "nominal capital height in frame pixels (10 to 60)",
    "rotation": "degrees counter-clockwise",
    "frame": "(width, height)",
    "portrait": "True turns the frame upright (height > width)",
    "perspective": "largest corner shift, as a share of the page's diagonal",
    "blur": "Gaussian blur sigma in pixels",
    "motion": "motion blur length in pixels (0: none)",
    "noise": "sensor noise sigma in gray levels",
    "light": "depth of the uneven light, 0 (flat) to 1",
    "quality": "JPEG quality (55 to 95)",
    "print": f'"{NOMINAL}" (the default) or "{VARIED}": the zone\'s stroke and jitter drawn too',
    "stroke": "mm added to the zone's stroke weight (varied print: -0.07 to +0.10)",
    "jitter": "largest shift of a zone character off its cell, a share of the pitch "
              "(varied print: 0 to 0.08)",
}

_SURNAMES = ["ODONNELL", "QUOD", "DOE", "OKONKWO", "BOODOO", "MODOQ", "SANDOVAL", "ERIKSSON",
             "OOSTERHOUT", "NGUYEN", "DIOP", "QUARTO", "VAN<DER<BOOM", "MUELLER", "OLOFSSON",
             "DOMBROWSKI", "PAPADOPOULOS", "ZOLTAN", "GOODWOOD", "ABOUD", "O<DOHERTY",
             "KOWALCZYK", "HOLLOWAY", "TOQUE", "ADEYEMI"]
_GIVEN = ["ODA", "QUENTIN", "DOLORES", "OONA", "BOB", "JOHN<PAUL", "DOMINIQUE", "ODO",
          "MARIA<JOSE", "OQUAB", "DOROTHEA", "OTTO", "WOODROW", "LUDOVIC", "IONA", "XU",
          "YVONNE", "KOFI", "ZOE", "HUGO"]
_STATES = ["UTO", "D<<", "GBR", "FRA", "NLD", "ODQ", "QOD", "CAN", "NOR", "BOL", "DOM", "COD"]
_ALNUM = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
_CONFUSABLE = "0OQD8B1I5S2Z"


class Capture(NamedTuple):
    image: np.ndarray  # BGR uint8, decoded from `jpeg` as a reader would
    truth: dict
    jpeg: bytes


# --- The zone's text ---------------------------------------------------------------------


def _pick(rng, items):
    return items[int(rng.integers(len(items)))]


def _alnum(rng, length, confusable=0.3):
    chars = []
    for _ in range(length):
        pool = _CONFUSABLE if rng.random() < confusable else _ALNUM
        chars.append(_pick(rng, pool))
    return "".join(chars)


def _date(rng):
    year, month, day = int(rng.integers(0, 100)), int(rng.integers(1, 13)), int(rng.integers(1, 29))
    return f"{year:02}{month:02}{day:02}"


def _names(rng, width):
    surname = _pick(rng, _SURNAMES)
    if rng.random() < 0.3:
        surname += "<" + _pick(rng, _SURNAMES)
    given = _pick(rng, _GIVEN)
    if rng.random() < 0.5:
        given += "<" + _pick(rng, _GIVEN)
    return (surname + "<<" + given).ljust(width, "<")[:width]


def _padded(rng, length, fill):
    """Optional data: empty, or `fill` characters of it, padded with '<'."""
    if rng.random() < 0.5:
        return "<" * length
    used = int(rng.integers(1, fill + 1))
    return _alnum(rng, used).ljust(length, "<")


def _document_number(rng):
    number = _alnum(rng, int(rng.integers(6, 10)))
    return number.ljust(9, "<")


def zone_lines(layout, rng):
    """Random but well-formed zone lines of `layout`, every check digit right.

    Returns (lines, checks): `checks` lists the (line, column) of every check digit.
    """
    state, nationality = _pick(rng, _STATES), _pick(rng, _STATES)
    number = _document_number(rng)
    birth, expiry = _date(rng), _date(rng)
    sex = _pick(rng, "MF<")
    cd = check_digit
    if layout == "TD1":
        code = _pick(rng, ["I<", "ID", "AC", "IR", "C<"])
        optional1 = _padded(rng, 15, 8)
        first = code + state + number + cd(number) + optional1
        optional2 = _padded(rng, 11, 6)
        second = birth + cd(birth) + sex + expiry + cd(expiry) + nationality + optional2
        composite = first[5:30] + second[0:7] + second[8:15] + second[18:29]
        second += cd(composite)
        third = _names(rng, 30)
        return [first, second, third], [(0, 14), (1, 6), (1, 14), (1, 29)]
    length = LAYOUTS[layout]["length"]
    if layout in ("TD3", "TD2"):
        code = ("P" if layout == "TD3" else "I") + _pick(rng, "<<<DSO" if layout == "TD3" else "<D")
    else:
        code = "V" + _pick(rng, "<<CD")
    first = code + state + _names(rng, length - 5)
    second = number + cd(number) + nationality + birth + cd(birth) + sex + expiry + cd(expiry)
    checks = [(1, 9), (1, 19), (1, 27)]
    if layout == "TD3":
        personal = _padded(rng, 14, 10)
        second += personal + cd(personal)
        second += cd(second[0:10] + second[13:20] + second[21:43])
        checks += [(1, 42), (1, 43)]
    elif layout == "TD2":
        second += _padded(rng, 7, 7)
        second += cd(second[0:10] + second[13:20] + second[21:35])
        checks += [(1, 35)]
    else:
        second += _padded(rng, length - 28, 8)
    lines = [first, second]
    assert all(len(line) == length for line in lines), lines
    return lines, checks


def spoil_check(lines, checks, rng):
    """Makes one check digit wrong; returns the new lines and the [line, column] spoiled."""
    line, column = checks[int(rng.integers(len(checks)))]
    right = lines[line][column]
    wrong = _pick(rng, [d for d in "0123456789" if d != right])
    lines = list(lines)
    lines[line] = lines[line][:column] + wrong + lines[line][column + 1:]
    return lines, [line, column]


# --- The page ----------------------------------------------------------------------------

_FONT_CACHE = {}


def _font(path, size):
    key = (path, size)
    if key not in _FONT_CACHE:
        _FONT_CACHE[key] = ImageFont.truetype(path, size)
    return _FONT_CACHE[key]


def ocrb_em_per_pitch():
    """OCR-B's em as a multiple of its (fixed) advance."""
    font = _font(OCRB, 1000)
    return 1000.0 / font.getlength("H")


def ocrb_cap_per_pitch():
    """The height of OCR-B's capitals as a multiple of its advance."""
    font = _font(OCRB, 1000)
    left, top, right, bottom = font.getbbox("H", anchor="ls")
    return -top / font.getlength("H")


def draw_zone(lines, scale, supersample=4, stroke=0.0, offsets=None):
    """The zone's ink as an alpha mask (float32, 0..1) at `scale` px/mm.

    stroke: mm added to the glyphs' stroke weight (negative: taken off), half on each side.
    offsets: None, or each character's shift off its cell as a share of the pitch, an array
    of shape (lines, characters a line, 2) holding (right, down).
    Returns (mask, (x_cell, y_cap), size): the mask, the point of the first cell's left edge on
    the first line's cap line within it, and the zone's (width, height) in page pixels.
    """
    pitch = PITCH_MM * scale * supersample
    em = pitch * ocrb_em_per_pitch()
    font = _font(OCRB, max(4, round(em)))
    cap = font.getbbox("H", anchor="ls")[1] * -1
    line_pitch = LINE_PITCH_MM * scale * supersample
    margin = round(pitch)
    width = round(len(lines[0]) * pitch) + 2 * margin
    height = round(cap + (len(lines) - 1) * line_pitch) + 2 * margin
    canvas = Image.new("L", (width, height), 0)
    draw = ImageDraw.Draw(canvas)
    for row, line in enumerate(lines):
        base = margin + cap + row * line_pitch
        for column, char in enumerate(line):
            x, y = margin + column * pitch, base
            if offsets is not None:
                x += offsets[row][column][0] * pitch
                y += offsets[row][column][1] * pitch
            draw.text((x, y), char, fill=255, font=font, anchor="ls")
    ink = np.asarray(canvas)
    if stroke:
        ink = _grown(ink, stroke / 2 * scale * supersample)
    small = (max(1, round(width / supersample)), max(1, round(height / supersample)))
    mask = cv2.resize(ink, small, interpolation=cv2.INTER_AREA)
    origin = (margin / supersample, margin / supersample)
    size = (len(lines[0]) * PITCH_MM * scale,
            cap / supersample + (len(lines) - 1) * LINE_PITCH_MM * scale)
    return mask.astype(np.float32) / 255.0, origin, size


def _grown(ink, pixels):
    """`ink` (uint8 coverage) with its edges moved out by `pixels` (in by a negative amount).

    Each pixel's coverage is taken from its signed distance to the glyph's outline, so that a
    fraction of a pixel grows or shrinks the stroke by that fraction.
    """
    inside = ink >= 128
    # Distances from each pixel's centre to the outline: half a pixel less than to the
    # nearest pixel on the other side.
    to_outside = cv2.distanceTransform(inside.astype(np.uint8), cv2.DIST_L2, 5) - 0.5
    to_inside = cv2.distanceTransform((~inside).astype(np.uint8), cv2.DIST_L2, 5) - 0.5
    signed = np.where(inside, to_outside, -to_inside)
    return np.clip(255.0 * (0.5 + signed + pixels), 0, 255).astype(np.uint8)


def _smooth_field(rng, shape, cells, low, high):
    """A smooth random field in [low, high] of `shape`, from a grid of `cells` random values."""
    grid = rng.random(cells).astype(np.float32)
    field = cv2.resize(grid, (shape[1], shape[0]), interpolation=cv2.INTER_CUBIC)
    return np.clip(low + (high - low) * field, min(low, high), max(low, high))


def _put_text(image, items):
    """Draws [(x, y, text, font_path, px, (b, g, r))] on a BGR array with Pillow."""
    pil = Image.fromarray(image[:, :, ::-1])
    draw = ImageDraw.Draw(pil)
    for x, y, text, path, size, colour in items:
        draw.text((x, y), text, fill=tuple(int(c) for c in colour[::-1]),
                  font=_font(path, max(4, round(size))), anchor="ls")
    return np.ascontiguousarray(np.asarray(pil)[:, :, ::-1])


def draw_page(layout, lines, scale, rng, zone=True, stroke=0.0, offsets=None):
    """The document page, BGR uint8, at `scale` px/mm; returns (page, zone box or None).

    The zone box is (x, y, width, height) in page pixels, as described for `zone_corners`.
    `stroke` and `offsets` vary the zone's print (see draw_zone).
    """
    page_w_mm, page_h_mm = LAYOUTS[layout]["page"]
    width, height = round(page_w_mm * scale), round(page_h_mm * scale)
    tint = np.array([226, 232, 236], np.float32) + rng.uniform(-18, 12, 3)
    page = np.empty((height, width, 3), np.float32)
    page[...] = tint
    # Guilloche waves, a pale rosette and paper grain.
    ys, xs = np.mgrid[0:height, 0:width].astype(np.float32) / scale
    period = rng.uniform(1.5, 3.0)
    waves = np.sin(xs / period + 3 * np.sin(ys / rng.uniform(4, 9)))
    page -= (waves > 0.9)[..., None] * rng.uniform(10, 30) * rng.uniform(0.5, 1, 3)
    cx, cy = rng.uniform(0.4, 0.8) * page_w_mm, rng.uniform(0.3, 0.6) * page_h_mm
    radius = np.hypot(xs - cx, ys - cy)
    rosette = np.sin(radius * 2.2 + 6 * np.sin(np.arctan2(ys - cy, xs - cx) * 7))
    rings = ((rosette > 0.85) & (radius < 25))[..., None]
    page -= rings * rng.uniform(6, 18) * rng.uniform(0.5, 1, 3)
    del ys, xs, waves, radius, rosette
    page += _smooth_field(rng, page.shape[:2], (6, 8), -10, 10)[..., None]
    page += rng.normal(0, 3, page.shape).astype(np.float32)
    page = np.clip(page, 0, 255).astype(np.uint8)

    mm = scale
    zone_lines_count = LAYOUTS[layout]["lines"]
    zone_top_mm = page_h_mm - ZONE_BOTTOM_MM - (zone_lines_count - 1) * LINE_PITCH_MM - PITCH_MM
    # The photo: left, from a fifth of the page down to a little above the zone.
    px0, py0 = 0.05 * page_w_mm, 0.18 * page_h_mm
    px1, py1 = 0.31 * page_w_mm, zone_top_mm - 4
    photo_bg = tuple(int(v) for v in rng.integers(120, 200, 3))
    cv2.rectangle(page, (round(px0 * mm), round(py0 * mm)), (round(px1 * mm), round(py1 * mm)),
                  photo_bg, -1)
    face = tuple(int(v) for v in rng.integers(90, 190, 3))
    fcx, fw = (px0 + px1) / 2, (px1 - px0)
    cv2.ellipse(page, (round(fcx * mm), round((py0 + 0.38 * (py1 - py0)) * mm)),
                (round(fw * 0.28 * mm), round((py1 - py0) * 0.22 * mm)), 0, 0, 360, face, -1)
    cv2.ellipse(page, (round(fcx * mm), round(py1 * mm)),
                (round(fw * 0.45 * mm), round((py1 - py0) * 0.35 * mm)), 0, 180, 360, face, -1)

    ink = tuple(int(v) for v in rng.integers(20, 80, 3))
    label_ink = tuple(int(v) for v in rng.integers(70, 130, 3))
    title = {"TD3": "PASSPORT", "TD2": "IDENTITY CARD", "TD1": "IDENTITY CARD",
             "MRVA": "VISA", "MRVB": "VISA"}[layout]
    items = [(0.05 * page_w_mm * mm, 0.11 * page_h_mm * mm, "UTOPIA", SANS_BOLD, 3.2 * mm, ink),
             (0.45 * page_w_mm * mm, 0.11 * page_h_mm * mm, title, SANS_BOLD, 3.6 * mm, ink)]
    fields = ["Surname", "Given names", "Nationality", "Date of birth", "Sex",
              "Place of birth", "Date of issue", "Date of expiry", "Document no.", "Authority"]
    names = lines[-1] if layout == "TD1" else lines[0][5:]
    surname, _, given = names.partition("<<")
    values = [surname.replace("<", " ").strip() or "SPECIMEN",
              given.replace("<", " ").strip() or "-", "UTOPIAN",
              "01 JAN 1990", "F", "DOLOMITE BAY", "14 MAR 2021", "13 MAR 2031",
              (lines[0][5:14] if layout == "TD1" else lines[1][:9]).rstrip("<"), "ODQ CITY HALL"]
    x_text = 0.35 * page_w_mm
    row_mm = 6.2 if layout in ("TD3", "MRVA") else 5.0
    y = 0.2 * page_h_mm + 2.0
    for label, value in zip(fields, values):
        if y + 3 > zone_top_mm - 2:
            break
        items.append((x_text * mm, y * mm, label, SANS, 1.5 * mm, label_ink))
        items.append((x_text * mm, (y + 2.8) * mm, value, SANS_BOLD, 2.3 * mm, ink))
        if rng.random() < 0.5 and x_text + 45 < page_w_mm:
            items.append(((x_text + 35) * mm, (y + 2.8) * mm, _alnum(rng, 6, 0.5), SANS,
                          2.2 * mm, ink))
        y += row_mm
    # A printed line just above the zone (a signature caption, a serial number).
    items.append((0.05 * page_w_mm * mm, (zone_top_mm - 1.3) * mm,
                  "Signature / " + _alnum(rng, 10, 0.4), SANS, 1.6 * mm, label_ink))
    page = _put_text(page, items)

    if not zone:
        return page, None
    mask, (ox, oy), (zw, zh) = draw_zone(lines, scale, stroke=stroke, offsets=offsets)
    x_cell = (page_w_mm - len(lines[0]) * PITCH_MM) / 2 * mm + rng.uniform(-0.5, 0.5) * mm
    y_cap = zone_top_mm * mm
    left, top = round(x_cell - ox), round(y_cap - oy)
    region = page[top:top + mask.shape[0], left:left + mask.shape[1]].astype(np.float32)
    alpha = mask[:region.shape[0], :region.shape[1], None]
    zone_ink = np.array(rng.integers(10, 50, 3), np.float32)
    region = region * (1 - alpha) + zone_ink * alpha
    page[top:top + mask.shape[0], left:left + mask.shape[1]] = region.astype(np.uint8)
    return page, (left + ox, top + oy, zw, zh)


# --- The scene ---------------------------------------------------------------------------


def rotation_band(degrees):
    """"small", "90/180/270" or "other": the rotation's class in the benchmark's tables."""
    off = degrees % 90.0
    off = min(off, 90.0 - off)
    if off > 15.0:
        return "other"
    return "small" if min(degrees % 360.0, 360.0 - degrees % 360.0) <= 15.0 else "90/180/270"


def height_band(height):
    for low, high in HEIGHT_BANDS:
        if height < high:
            return f"{low}-{high}"
    low, high = HEIGHT_BANDS[-1]
    return f"{low}-{high}"


def _draw_params(rng, overrides):
    params = {}

    def take(name, draw):
        params[name] = overrides[name] if name in overrides else draw()

    take("layout", lambda: str(rng.choice(list(LAYOUT_WEIGHTS), p=list(LAYOUT_WEIGHTS.values()))))
    take("zone", lambda: True)
    take("valid", lambda: bool(rng.random() >= 0.05))

    def char_height():
        low, high = HEIGHT_BANDS[int(rng.integers(len(HEIGHT_BANDS)))]
        return float(rng.uniform(low, high))

    take("char_height", char_height)
    params.update(_draw_scene_params(rng, overrides, params["char_height"]))
    return params


def _draw_scene_params(rng, overrides, char_height):
    """How the page is photographed; `char_height` (px) scales the blurs."""
    params = {}

    def take(name, draw):
        params[name] = overrides[name] if name in overrides else draw()

    def rotation():
        kind = rng.random()
        if kind < 0.7:
            return float(rng.normal(0, 4)) % 360.0
        if kind < 0.88:
            return float(90 * int(rng.integers(1, 4)) + rng.normal(0, 3)) % 360.0
        return float(rng.uniform(0, 360))

    take("rotation", rotation)
    take("portrait", lambda: bool(rng.random() < 0.15))
    take("perspective", lambda: float(rng.uniform(0, 0.035)))
    take("blur", lambda: float(rng.uniform(0.2, 0.45) + rng.uniform(0, 0.05) * char_height))

    def motion():
        if rng.random() < 0.15:
            return float(rng.uniform(1, 0.08 * char_height + 1))
        return 0.0

    take("motion", motion)
    take("noise", lambda: float(rng.uniform(1.5, 9)))
    take("light", lambda: float(rng.uniform(0, 0.6)))
    take("quality", lambda: int(rng.integers(55, 96)))
    return params


def _draw_print(seed, overrides):
    """The zone's print: {} for the nominal print, else its mode, stroke and jitter.

    Drawn from a generator of their own, so that the rest of a seed's capture is the same
    whatever the print (and the nominal print draws nothing at all).
    """
    mode = overrides.get("print", NOMINAL)
    if mode not in PRINTS:
        raise ValueError(f"print must be one of {PRINTS}, not {mode!r}")
    if mode == NOMINAL and not ({"stroke", "jitter"} & set(overrides)):
        return {}
    rng = np.random.default_rng([seed, PRINT_STREAM])
    stroke = float(rng.uniform(*STROKE_MM))
    jitter = float(rng.uniform(*JITTER))
    return {"print": VARIED, "stroke": float(overrides.get("stroke", stroke)),
            "jitter": float(overrides.get("jitter", jitter))}


def _character_offsets(seed, jitter, lines):
    """Each character's (right, down) shift off its cell, a share of the pitch, or None."""
    if not jitter:
        return None
    rng = np.random.default_rng([seed, PRINT_STREAM, 1])
    return rng.uniform(-jitter, jitter, (len(lines), len(lines[0]), 2))


def print_of(truth):
    """The print of a capture, from its truth record: NOMINAL or VARIED."""
    return truth["params"].get("print", NOMINAL)


def _page_extent(page_size, degrees):
    w, h = page_size
    c, s = abs(math.cos(math.radians(degrees))), abs(math.sin(math.radians(degrees)))
    return w * c + h * s, w * s + h * c


def _choose_frame(rng, extent, overrides, portrait):
    """A frame the page fills from a sixth to all of (the page may overflow it a little)."""
    if "frame" in overrides:
        return tuple(overrides["frame"])
    fits = []
    for w, h in FRAMES:
        if portrait:
            w, h = h, w
        fill = max(extent[0] / w, extent[1] / h)
        if 1 / 6 <= fill <= 1.05:
            fits.append((w, h))
    if not fits:
        w, h = FRAMES[-1]
        return (h, w) if portrait and extent[1] > extent[0] else (w, h)
    return fits[int(rng.integers(len(fits)))]


def _background(rng, width, height):
    # Smooth colour and texture, made at a quarter of the size (they have no finer detail).
    small = (max(1, height // 4), max(1, width // 4))
    base = rng.integers(30, 200, 3).astype(np.float32)
    scene = np.empty(small + (3,), np.float32)
    scene[...] = base
    scene += _smooth_field(rng, small, (3, 4), -40, 40)[..., None]
    scene += (_smooth_field(rng, small, (48, 64), -14, 14)[..., None]
              * rng.uniform(0.5, 1.5, 3))
    scene = np.clip(scene, 0, 255).astype(np.uint8)
    scene = cv2.resize(scene, (width, height), interpolation=cv2.INTER_LINEAR)
    # Objects on the table: boxes and a few lines of print.
    unit = min(width, height)
    for _ in range(int(rng.integers(2, 7))):
        x, y = int(rng.integers(0, width)), int(rng.integers(0, height))
        w, h = int(rng.uniform(0.1, 0.5) * unit), int(rng.uniform(0.1, 0.5) * unit)
        colour = tuple(int(v) for v in rng.integers(0, 256, 3))
        cv2.rectangle(scene, (x, y), (x + w, y + h), colour, -1)
    items = []
    for _ in range(int(rng.integers(0, 5))):
        size = rng.uniform(0.015, 0.05) * unit
        words = int(rng.integers(1, 5))
        text = " ".join(_alnum(rng, int(rng.integers(3, 9)), 0.2) for _ in range(words))
        colour = tuple(int(v) for v in rng.integers(0, 256, 3))
        x, y = float(rng.uniform(0, width * 0.8)), float(rng.uniform(size, height))
        items.append((x, y, text, SANS, size, colour))
    return _put_text(scene, items) if items else scene


def _transform(points, matrix):
    array = np.asarray(points, np.float64).reshape(-1, 1, 2)
    return cv2.perspectiveTransform(array, matrix).reshape(-1, 2)


def _rounded(points):
    return [[round(float(x), 2), round(float(y), 2)] for x, y in points]


def _turned(width, height, degrees, perspective, rng):
    """A page's corners turned about its centre and pushed off square by `perspective`.

    Returns (corners, centred, turned): its corners in page pixels, the same about its centre,
    and where they land about the centre of the picture.
    """
    angle = math.radians(degrees)
    cos, sin = math.cos(angle), math.sin(angle)
    corners = np.array([[0, 0], [width, 0], [width, height], [0, height]], np.float64)
    centred = corners - (width / 2, height / 2)
    # Counter-clockwise on screen (y grows downwards).
    turned = np.stack([centred[:, 0] * cos + centred[:, 1] * sin,
                       -centred[:, 0] * sin + centred[:, 1] * cos], axis=1)
    diagonal = math.hypot(width, height)
    turned += rng.uniform(-1, 1, (4, 2)) * perspective * diagonal
    return corners, centred, turned


def _photograph(rng, page, homography, frame, params, alpha=None):
    """The page photographed on a table: the JPEG's bytes and their encoded array.

    `alpha`, when given (float32, 0..1, the page's shape), lets the table show through the
    page where it is transparent.
    """
    fw, fh = frame
    scene = _background(rng, fw, fh)
    if alpha is None:
        cv2.warpPerspective(page, homography, (fw, fh), dst=scene, flags=cv2.INTER_LINEAR,
                            borderMode=cv2.BORDER_TRANSPARENT)
    else:
        warped = cv2.warpPerspective(page, homography, (fw, fh), flags=cv2.INTER_LINEAR)
        cover = cv2.warpPerspective(alpha, homography, (fw, fh), flags=cv2.INTER_LINEAR)[..., None]
        scene = (scene * (1 - cover) + warped * cover).astype(np.uint8)
        del warped, cover
    del page

    image = scene.astype(np.float32)
    del scene
    if params["light"] > 0:
        grid = rng.random((3, 4)).astype(np.float32)
        low, high = 1.0 - params["light"], 1.0 + 0.25 * params["light"]
        # Linear between the grid's points: no overshoot to clip.
        light = cv2.resize(low + (high - low) * grid, (fw, fh), interpolation=cv2.INTER_LINEAR)
        image *= light[..., None]
        del light
    if params["blur"] > 0:
        cv2.GaussianBlur(image, (0, 0), params["blur"], dst=image)
    if params["motion"] > 0:
        length = max(2, round(params["motion"]))
        kernel = np.zeros((length, length), np.float32)
        kernel[length // 2, :] = 1.0 / length
        direction = float(rng.uniform(0, 180))
        rotate = cv2.getRotationMatrix2D(((length - 1) / 2, (length - 1) / 2), direction, 1.0)
        kernel = cv2.warpAffine(kernel, rotate, (length, length))
        kernel /= max(kernel.sum(), 1e-6)
        image = cv2.filter2D(image, -1, kernel)
    noise = rng.standard_normal(image.shape, dtype=np.float32)
    noise *= params["noise"]
    image += noise
    del noise
    np.clip(image, 0, 255, out=image)
    image = image.astype(np.uint8)
    ok, encoded = cv2.imencode(".jpg", image, [cv2.IMWRITE_JPEG_QUALITY, params["quality"]])
    if not ok:
        raise RuntimeError("cv2 could not encode the capture")
    return encoded.tobytes(), encoded


def generate(seed, **overrides):
    """A capture drawn from `seed`; keywords (see PARAMETERS) fix any drawn parameter."""
    unknown = set(overrides) - set(PARAMETERS)
    if unknown:
        raise TypeError(f"unknown parameters: {sorted(unknown)}")
    varied = _draw_print(seed, overrides)
    rng = np.random.default_rng(seed)
    params = _draw_params(rng, overrides)
    layout = params["layout"]
    lines, checks = zone_lines(layout, rng)
    wrong = None
    if not params["valid"]:
        lines, wrong = spoil_check(lines, checks, rng)

    cap_per_pitch = ocrb_cap_per_pitch()
    scale = params["char_height"] / (PITCH_MM * cap_per_pitch)  # px/mm in the frame
    page_mm = LAYOUTS[layout]["page"]
    page_px = (page_mm[0] * scale, page_mm[1] * scale)
    extent = _page_extent(page_px, params["rotation"])
    frame = _choose_frame(rng, extent, overrides, params["portrait"])
    params["frame"] = list(frame)

    page, zone_box = draw_page(layout, lines, scale, rng, zone=params["zone"],
                               stroke=varied.get("stroke", 0.0),
                               offsets=_character_offsets(seed, varied.get("jitter"), lines))
    ph, pw = page.shape[:2]
    fw, fh = frame
    # Where the page lies: its centre anywhere that keeps it in the frame (or, when it is
    # larger than the frame, that keeps its zone in).
    page_corners, centred, turned = _turned(pw, ph, params["rotation"], params["perspective"],
                                            rng)
    if zone_box is not None:
        zx, zy, zw, zh = zone_box
        zone_page = np.array([[zx, zy], [zx + zw, zy], [zx + zw, zy + zh], [zx, zy + zh]])
    else:
        zone_page = page_corners
    lo, hi = turned.min(axis=0), turned.max(axis=0)
    span_x = (-lo[0], fw - hi[0])
    span_y = (-lo[1], fh - hi[1])
    if span_x[0] > span_x[1] or span_y[0] > span_y[1]:
        # Larger than the frame: keep the zone (and a character around it) in view.
        matrix = cv2.getPerspectiveTransform(centred.astype(np.float32), turned.astype(np.float32))
        zone_turned = _transform(zone_page - (pw / 2, ph / 2), matrix)
        margin = PITCH_MM * scale
        zlo, zhi = zone_turned.min(axis=0) - margin, zone_turned.max(axis=0) + margin
        span_x = (-zlo[0], fw - zhi[0])
        span_y = (-zlo[1], fh - zhi[1])
        if span_x[0] > span_x[1]:
            span_x = ((span_x[0] + span_x[1]) / 2,) * 2
        if span_y[0] > span_y[1]:
            span_y = ((span_y[0] + span_y[1]) / 2,) * 2
    centre = (rng.uniform(*span_x), rng.uniform(*span_y))
    destination = turned + centre
    homography = cv2.getPerspectiveTransform(page_corners.astype(np.float32),
                                             destination.astype(np.float32))
    jpeg, encoded = _photograph(rng, page, homography, frame, params)
    del page

    corners = _transform(zone_page, homography) if zone_box is not None else None
    if zone_box is not None:
        left_h = np.linalg.norm(corners[3] - corners[0])
        right_h = np.linalg.norm(corners[2] - corners[1])
        char_height = params["char_height"] * (left_h + right_h) / 2 / zone_box[3]
    else:
        char_height = params["char_height"]
    params["scale_px_per_mm"] = scale
    params.update(varied)
    truth = {
        "seed": seed,
        "version": VERSION,
        "layout": layout if params["zone"] else None,
        "lines": lines if params["zone"] else [],
        "valid": bool(params["valid"]) if params["zone"] else False,
        "wrong_check": wrong if params["zone"] else None,
        "char_height": round(float(char_height), 3),
        "rotation": round(params["rotation"] % 360.0, 3),
        "rotation_band": rotation_band(params["rotation"]),
        "zone_corners": None if corners is None else _rounded(corners),
        "page_corners": _rounded(_transform(page_corners, homography)),
        "frame": [fw, fh],
        "params": params,
    }
    decoded = cv2.imdecode(encoded, cv2.IMREAD_COLOR)
    return Capture(decoded, truth, jpeg)


# --- Real pages photographed again -------------------------------------------------------

# A page is enlarged by at most this much: enlarging a small scan invents no detail.
MAX_ENLARGE = 1.25
# Capitals are drawn between these heights (px), log-uniformly, within what the page reaches.
RECAPTURE_HEIGHTS = (10.0, 60.0)
# A page without a zone: its longer side is drawn between these lengths (px) instead.
RECAPTURE_SIDES = (480.0, 4032.0)

# About how many capitals tall a passport page's longer side is (125 mm over 2.2 mm).
PAGE_SIDE_PER_CAPITAL = 56.0

# Keywords of recapture(): each fixes one drawn parameter.
RECAPTURE_PARAMETERS = {
    "char_height": "capital height in frame pixels (pages with a zone), before the page is "
                   "shrunk to fit the largest frame",
    "page_side": "the page's longer side in frame pixels (pages without a zone)",
    **{name: PARAMETERS[name] for name in ("rotation", "frame", "portrait", "perspective",
                                           "blur", "motion", "noise", "light", "quality")},
}


def _log_uniform(rng, low, high):
    return float(math.exp(rng.uniform(math.log(low), math.log(high))))


def recapture_reach(record, page_shape):
    """The range (low, high) of what recapture draws for a page: capital heights in px for a
    page with a zone, the page's longer side in px for one without.

    The top is where the page would be enlarged by MAX_ENLARGE; the bottom is the range's own,
    or the top where the page cannot reach it.
    """
    if record.get("char_height_px"):
        low, high, native = *RECAPTURE_HEIGHTS, float(record["char_height_px"])
    else:
        low, high, native = *RECAPTURE_SIDES, float(max(page_shape[:2]))
    top = min(high, native * MAX_ENLARGE)
    return min(low, top), top


def recapture_name(file, seed):
    """The file name of a recapture of `file` from `seed`."""
    return f"{os.path.splitext(file)[0]}-s{seed}.jpg"


def _local_scale(homography, point):
    """How much the homography enlarges lengths about `point` (the root of its Jacobian)."""
    x, y = point
    mapped = _transform([[x, y], [x + 1, y], [x, y + 1]], homography)
    jacobian = np.stack([mapped[1] - mapped[0], mapped[2] - mapped[0]], axis=1)
    return math.sqrt(abs(float(np.linalg.det(jacobian))))


def _recapture_frame(rng, extent, overrides, portrait):
    """A frame the whole page fits in, filling a sixth of it or more where one allows; None
    when the page is too large for every frame. A frame given in `overrides` is taken as it
    is."""
    if "frame" in overrides:
        return tuple(overrides["frame"])
    frames = [(h, w) if portrait else (w, h) for w, h in FRAMES]
    fills = [max(extent[0] / w, extent[1] / h) for w, h in frames]
    fitting = [frame for frame, fill in zip(frames, fills) if fill <= 1.0]
    if not fitting:
        return None
    filled = [frame for frame, fill in zip(frames, fills) if 1 / 6 <= fill <= 1.0]
    if filled:
        return filled[int(rng.integers(len(filled)))]
    return min(fitting, key=lambda frame: frame[0] * frame[1])


def _clockwise(rotation, turned_ccw):
    """A truth's rotation (clockwise degrees as text, or "other") after turning the picture
    `turned_ccw` degrees counter-clockwise."""
    try:
        degrees = float(rotation)
    except (TypeError, ValueError):
        return rotation
    return f"{round(degrees - turned_ccw) % 360}"


def recapture(page, record, seed, **overrides):
    """A photograph of a given page image, drawn from `seed`, in the scenes of `generate`.

    page: the page's picture as decoded (EXIF orientation applied), uint8 H x W x 3 BGR, or
    H x W x 4 BGRA whose transparent parts show the table. record: its truth in the form of a
    real-document folder's truth.jsonl (`char_height_px`, `rotation`, ...). Keywords (see
    RECAPTURE_PARAMETERS) fix any drawn parameter.

    The page is scaled so that its capitals are drawn between RECAPTURE_HEIGHTS, never enlarged
    by more than MAX_ENLARGE (see recapture_reach), and shrunk further if it would not fit the
    largest frame; the whole page stays in view. Returns a Capture whose truth is a record of
    the same form for the new picture: `file` (see recapture_name), capital height and
    rotation updated, `source` naming the original and the seed, and `recapture` saying what
    was done.
    """
    unknown = set(overrides) - set(RECAPTURE_PARAMETERS)
    if unknown:
        raise TypeError(f"unknown parameters: {sorted(unknown)}")
    if page.dtype != np.uint8 or page.ndim != 3 or page.shape[2] not in (3, 4) or not page.size:
        raise ValueError("page must be a uint8 array of shape (H, W, 3) or (H, W, 4)")
    rng = np.random.default_rng(seed)
    has_zone = bool(record.get("char_height_px"))
    low, high = recapture_reach(record, page.shape)
    key = "char_height" if has_zone else "page_side"
    drawn = float(overrides[key]) if key in overrides else _log_uniform(rng, low, high)
    native = float(record["char_height_px"]) if has_zone else float(max(page.shape[:2]))
    # The blurs scale with the capitals; a page without a zone is blurred as one with a zone
    # across its longer side (a TD3 passport's 44 characters and margins) would be.
    blur_height = drawn if has_zone else drawn / PAGE_SIDE_PER_CAPITAL
    params = {key: drawn, **_draw_scene_params(rng, overrides, blur_height)}
    scale = drawn / native

    height, width = page.shape[:2]
    _, _, turned = _turned(width * scale, height * scale, params["rotation"],
                           params["perspective"], rng)
    extent = turned.max(axis=0) - turned.min(axis=0)
    frame = _recapture_frame(rng, extent, overrides, params["portrait"])
    if frame is None:
        frame = FRAMES[-1][::-1] if params["portrait"] else FRAMES[-1]
    fit = min(frame[0] / extent[0], frame[1] / extent[1])
    if fit < 1:
        # Too large for the frame: shrunk to fill it (the corners scale with the page).
        shrink = 0.98 * float(fit)
        scale, turned = scale * shrink, turned * shrink
    params["frame"] = list(frame)

    size = (max(1, round(width * scale)), max(1, round(height * scale)))
    smooth = cv2.INTER_AREA if scale < 1 else cv2.INTER_CUBIC
    resized = cv2.resize(page, size, interpolation=smooth)
    alpha = None
    if resized.shape[2] == 4:
        alpha = resized[..., 3].astype(np.float32) / 255.0
        resized = np.ascontiguousarray(resized[..., :3])
    pw, ph = size
    # The turned corners were drawn for the unrounded size; map the rounded page onto them.
    lo, hi = turned.min(axis=0), turned.max(axis=0)
    fw, fh = frame
    span_x, span_y = (-lo[0], max(-lo[0], fw - hi[0])), (-lo[1], max(-lo[1], fh - hi[1]))
    centre = (rng.uniform(*span_x), rng.uniform(*span_y))
    corners = np.array([[0, 0], [pw, 0], [pw, ph], [0, ph]], np.float64)
    homography = cv2.getPerspectiveTransform(corners.astype(np.float32),
                                             (turned + centre).astype(np.float32))
    jpeg, encoded = _photograph(rng, resized, homography, frame, params, alpha=alpha)
    del resized, alpha

    local = _local_scale(homography, (pw / 2, ph / 2))
    params["scale"] = scale
    truth = {
        **record,
        "file": recapture_name(record["file"], seed),
        "char_height_px": (round(float(record["char_height_px"]) * scale * local, 1)
                           if has_zone else None),
        "rotation": _clockwise(record.get("rotation"), params["rotation"]),
        "source": f"recapture of {record['file']}, seed {seed}",
        "recapture": {
            "original": record["file"],
            "original_source": record.get("source"),
            "original_char_height_px": record.get("char_height_px"),
            "original_rotation": record.get("rotation"),
            "seed": seed,
            "version": VERSION,
            "enlarged": scale > 1.0,
            "page_corners": _rounded(_transform(corners, homography)),
            "params": params,
        },
    }
    decoded = cv2.imdecode(encoded, cv2.IMREAD_COLOR)
    return Capture(decoded, truth, jpeg)


def load_page(path):
    """A page image as recapture takes it: EXIF orientation applied; BGRA where the file has
    transparency that the orientation leaves where it is, else BGR. None if it cannot be read."""
    colour = cv2.imread(path, cv2.IMREAD_COLOR)
    if colour is None:
        return None
    whole = cv2.imread(path, cv2.IMREAD_UNCHANGED)
    if whole is not None and whole.ndim == 3 and whole.shape[2] == 4:
        if whole.dtype == np.uint16:
            whole = (whole >> 8).astype(np.uint8)
        # Alpha only where decoding without the orientation gave the same picture.
        if whole.dtype == np.uint8 and np.array_equal(whole[..., :3], colour):
            return whole
    return colour


# --- Files -------------------------------------------------------------------------------

# The tests' fixed captures: name -> (seed, overrides). Small frames keep the files small.
_FIXED = {"valid": True, "noise": 2.0, "quality": 80, "light": 0.3, "perspective": 0.01}
FIXTURES = {
    "upright-td3.jpg": (101, {**_FIXED, "layout": "TD3", "rotation": 2.0, "char_height": 17.0,
                              "frame": (800, 600), "blur": 0.6}),
    "upside-down-td3.jpg": (102, {**_FIXED, "layout": "TD3", "rotation": 178.5,
                                  "char_height": 17.0, "frame": (800, 600), "blur": 0.6}),
    "quarter-turn-td1.jpg": (103, {**_FIXED, "layout": "TD1", "rotation": 91.0,
                                   "char_height": 20.0, "frame": (600, 800), "blur": 0.6}),
    "small-td2.jpg": (104, {**_FIXED, "layout": "TD2", "rotation": 356.0, "char_height": 12.0,
                            "frame": (640, 480), "blur": 0.4, "quality": 90}),
    # A run of fillers whose base line the fillers' heights alone misplace.
    "filler-run-td3.jpg": (329, {"layout": "TD3", "valid": True, "rotation": 356.5,
                                 "char_height": 16.0, "frame": (1024, 768), "portrait": False,
                                 "perspective": 0.033, "blur": 0.37, "motion": 0.0,
                                 "noise": 5.4, "light": 0.52, "quality": 62}),
    "no-zone.jpg": (105, {**_FIXED, "layout": "TD3", "zone": False, "rotation": 3.0,
                          "char_height": 17.0, "frame": (800, 600), "blur": 0.6}),
}


def write(directory, named):
    """Writes (file name, capture) pairs as JPEGs and one truth.json into `directory`.

    `named` may be a generator: one capture is held at a time.
    """
    os.makedirs(directory, exist_ok=True)
    truths = {}
    for name, capture in named:
        with open(os.path.join(directory, name), "wb") as file:
            file.write(capture.jpeg)
        truths[name] = capture.truth
    with open(os.path.join(directory, "truth.json"), "w") as file:
        json.dump(truths, file, indent=1, sort_keys=True)
        file.write("\n")


def _inside(path, folder):
    path, folder = os.path.realpath(path), os.path.realpath(folder)
    return os.path.commonpath([path, folder]) == folder


def write_recaptures(source, out, per_image, first_seed, progress=None):
    """Photographs each page of the folder `source` again `per_image` times into `out`.

    Writes out/images/*.jpg and out/truth.jsonl (a record a recapture, in the source's order);
    page i's recaptures take seeds first_seed + i * per_image onwards. Returns the notes on
    pages that could not be used. One page and one recapture are held at a time.
    """
    with open(os.path.join(source, "truth.jsonl"), encoding="utf-8") as file:
        records = [json.loads(line) for line in file if line.strip()]
    os.makedirs(os.path.join(out, "images"), exist_ok=True)
    notes, written = [], []
    for index, record in enumerate(records):
        page = load_page(os.path.join(source, "images", record["file"]))
        if page is None:
            notes.append(f"{record['file']}: cannot be decoded; left out")
            continue
        for k in range(per_image):
            capture = recapture(page, record, first_seed + index * per_image + k)
            line = json.dumps(capture.truth, ensure_ascii=False)
            with open(os.path.join(out, "images", capture.truth["file"]), "wb") as file:
                file.write(capture.jpeg)
            written.append(line)
            del capture
        del page
        if progress:
            progress(index + 1, len(records))
    temporary = os.path.join(out, "truth.jsonl.tmp")
    with open(temporary, "w", encoding="utf-8") as file:
        file.write("".join(line + "\n" for line in written))
    os.replace(temporary, os.path.join(out, "truth.jsonl"))
    return notes


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", help="folder to write JPEGs and truth.json (or, with "
                                      "--recapture, images/ and truth.jsonl) into")
    parser.add_argument("--count", type=int, default=10)
    parser.add_argument("--seed", type=int, default=0, help="the first seed")
    parser.add_argument("--fixtures", metavar="DIR", help="write the tests' fixed captures")
    parser.add_argument("--recapture", metavar="DIR",
                        help="photograph again the pages of DIR/truth.jsonl (images in "
                             "DIR/images)")
    parser.add_argument("--per-image", type=int, default=4,
                        help="recaptures of each page (default 4)")
    args = parser.parse_args(argv)
    if args.recapture:
        if not args.out:
            parser.error("--recapture needs --out")
        if args.per_image < 1:
            parser.error("--per-image must be 1 or more")
        project = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        # Recaptures derive from real documents, which never enter the project tree.
        for folder, what in ((project, "the project's tree"), (args.recapture, "the source")):
            if _inside(args.out, folder):
                parser.error(f"--out {args.out} is inside {what} ({folder}); write elsewhere")
        if not os.path.isfile(os.path.join(args.recapture, "truth.jsonl")):
            parser.error(f"no truth.jsonl in {args.recapture}")

        def progress(done, total):
            if sys.stderr.isatty():
                print(f"\r{done}/{total} pages", end="" if done < total else "\n",
                      file=sys.stderr, flush=True)

        for note in write_recaptures(args.recapture, args.out, args.per_image, args.seed,
                                     progress):
            print(note, file=sys.stderr)
        return 0
    if args.fixtures:
        write(args.fixtures, ((name, generate(seed, **fixed))
                              for name, (seed, fixed) in FIXTURES.items()))
    if args.out:
        write(args.out, ((f"capture-{seed:05}.jpg", generate(seed))
                         for seed in range(args.seed, args.seed + args.count)))
    if not (args.fixtures or args.out):
        parser.error("give --out, --fixtures or --recapture")


if __name__ == "__main__":
    sys.exit(main())
