"""`read(image)`: the machine-readable zone of a photographed page, or None.

The work, and where it lives:

* here: the input (a path, encoded bytes or an array), decoded at a reduction where it can be
  (JPEG's own scaled decoding), a pyramid of the page made only as far as needed, each
  candidate read the way up a sample of its cells reads better, the verdict, and the second
  opinion before a zone is called valid;
* ``search.py``: where the zone may be (candidates over the whole frame);
* ``locate.py``: the model of its lines inside an upright band around a candidate;
* ``glyphs.py``: the symbols' posteriors of canonical cells, from the two models;
* ``likeness.py``: the zone's sure glyphs settle its doubtful ones;
* ``text.py``: the layouts, the check digits and the repairs they decide.

Where the time goes (cProfile, one core, the synthetic captures): on a 1920x1080 page the
classifier's networks are the largest part (about a quarter), then decoding, OpenCV's
labelling and thresholds; on a 4032x3024 page decoding is more than half. The reader's own
Python (the chains, the fits, the verdict) is a small share: nothing here calls for C++.
"""

import dataclasses
import functools
import math
import os
import struct

import cv2
import numpy as np

from .. import imagesize
from . import glyphs, likeness, locate, search, text
from .text import MRZError, parse_candidates

# `valid` is claimed only where every character was read with at least this confidence.
VALID_CONFIDENCE = 0.9
# Second choices handed to the repair: up to this many, each at least this probable.
ALTERNATIVES = 3
ALTERNATIVE_FLOOR = 0.005
# Strips are sampled from the pyramid level where a character is at least this wide.
READ_PITCH = 12.0
CAP_PER_PITCH = 0.99
# A zone still not valid is read again, and taken if it then reads valid (and no less sure of
# what it changes): with its glyphs taller or shorter than their pitch gives them (a page seen
# at a slant), or its cells moved along the line by a sixteenth of a character (the
# classifier's answer can turn on it). (glyphs' height over the pitch's, cells moved in
# characters)
RETRIES = ((0.92, 0.0), (1.08, 0.0), (1.0, -1 / 16), (1.0, 1 / 16))
SURE_MARGIN = 0.01
# A zone's cells are also moved onto its glyphs where these sit this many characters off, or
# more, telling where from the ink of this many cells either side of each.
RECENTRE_MIN = 0.1
RECENTRE_CELLS = 3
# A cell beside a line's end that holds more than this share of the line's typical cell's
# ink means the line goes on.
CLEAR_MARGIN = 0.4
# Columns of that cell, next to the line, that do not count (of a cell's CELL_W), nor do
# columns inked over this share of its height or more (no glyph is as tall as its cell).
ENDS_SPILL = 4
EDGE_SHARE = 0.9
# A line that goes on past one end only may have been placed this many characters off, at most
# (glyphs lost at its start to the line model, or under a stamp).
MOVES = 4
# A zone none of whose check digits read as digits agrees, or whose median character is read
# less surely than this, is not returned.
PLAUSIBLE_CONFIDENCE = 0.9
# The half turn is told from every this many-th cell of the zone.
SAMPLE_EVERY = 5
# How many more candidates inside a zone already read, but not valid, are read.
REREADS = 1
# No search on an image narrower than this (pixels).
MIN_SIDE = 16
# JPEGs up to this size are decoded whole at once.
FULL_DECODE_PIXELS = 2_500_000
# The deeper search goes down to levels of this many pixels at most (a 24-megapixel camera's
# frame whole): decoding a larger one whole would take some hundreds of megabytes, and its
# search seconds.
SEARCH_PIXELS = 24_000_000
# Characters of this many pixels a pitch or more are found by the search of a level: a finer
# level's search reads only smaller ones.
FOUND_PITCH = 8
# Levels up to this size are kept when a finer one is decoded.
KEPT_LEVEL_PIXELS = 1_200_000
# A larger JPEG is decoded at the reduction that leaves its longer side at least this long.
DECODE_SIDE = 1536

_MESSAGES = {
    "type": "read() takes a path, the bytes of an image file or a numpy uint8 array, not {type}",
    "array": ("read() takes a uint8 array of shape (H, W) or (H, W, 3) with pixels, "
              "not {dtype} {shape}"),
    "file": "cannot read {path!r}: {error}",
    "decode_file": "cannot decode {path!r} as an image",
    "decode_bytes": "cannot decode the {size} bytes given as an image",
}


def read(image, *, max_pixels=imagesize.DEFAULT_MAX_PIXELS):
    """The machine-readable zone in a photo of a page, or None if none can be read.

    image: a path (``str`` or ``os.PathLike``; text is always a path), the bytes of an encoded
    image file (``bytes``, ``bytearray``, ``memoryview``), or a NumPy ``uint8`` array (H x W
    gray or H x W x 3 BGR, as OpenCV gives them).

    Returns a `zerbano.mrz.MRZ` whose `location` is the zone's four corners in the
    input's pixels (clockwise from the top-left as the text reads, the cells' outer edges from
    the first line's cap line to the last line's base line) and whose `confidences` give, for
    each character, the classifier's posterior probability of the character reported among
    the symbols its field's type allows (a digit of a date competes with the digits only), and
    where a check digit or the type overruled the first reading, among the symbols left once
    that reading is ruled out. On the renderings kept out of the model's fit, these posteriors
    are calibrated: of characters read at 0.9, about one in ten is wrong. `valid` is claimed
    only where the check digits and field types agree, every character's confidence is at
    least ``VALID_CONFIDENCE``, and a second model, trained apart, agrees as surely on every
    character no check digit decides (names, and fields of letters and digits): names have no
    check digit, and two misreads can cancel out in one check, so a zone read unsurely is
    reported, but not as valid. What fails every check digit and reads unsurely is not a
    zone: None.

    max_pixels: a path or bytes whose header gives more pixels than this is refused before it
    is decoded (``imagesize.TooManyPixels``, a ValueError); None lifts the limit. A service
    keeps the default or lowers it: one small file can otherwise ask for gigabytes. A PNG
    whose chunk runs past its end is refused whatever the limit (``imagesize.MalformedImage``,
    a ValueError): OpenCV would allocate what the chunk declares.

    Raises TypeError for any other type, ValueError for a file that cannot be read or bytes
    that do not decode.
    """
    imagesize.check_read_input(image, max_pixels)
    pages = _Pyramid.of(image)
    best = None
    tried = []
    read_zones = []
    for small, small_scale, below_pitch in pages.searches():
        for candidate in search.candidates(small, small_scale, below_pitch=below_pitch):
            if any(search.same_place(candidate, other) for other in tried):
                continue
            tried.append(candidate)
            # A candidate inside a zone already read is one of its lines: read once more (its
            # geometry differs a little), not again and again.
            if sum(_inside(candidate.centre, zone) for zone in read_zones) > REREADS:
                continue
            reading = _read_candidate(pages, candidate)
            if reading is None:
                continue
            rank, zone = reading[:2]
            if zone.valid:
                zone = _confirmed(*reading[1:])
                if zone.valid:
                    return zone
                # The second model doubts it: a reading like one not valid, which another
                # candidate (a line of the zone found apart, placed a little otherwise) may
                # better.
                rank = (False, *rank[1:])
            # Other print set into a layout is no reading: it neither ends the search nor
            # hides the candidates around it.
            if not _plausible(zone):
                continue
            read_zones.append(zone.location)
            if best is None or _better(rank, zone, *best):
                best = (rank, zone)
        if best is not None:
            break
    return None if best is None else best[1]


def _confirmed(zone, cells, probabilities):
    """The zone, valid only if the second model also reads surely every character that no
    check digit covers, and every one whose field admits letters and digits alike.

    Names have no check digit: a misread name is caught only by the classifier's doubt, and
    on a small or blurred print one model can be sure and wrong. A character in a field of
    letters and digits can be misread into its partner (`0`, `O`) so that a check digit
    printed wrong happens to agree. Two models trained on renderings of their own are seldom
    sure of the same mistake.
    """
    plan = text._plan_for(text.LAYOUTS[zone.format], zone.lines)
    checked = {position for check in plan.checks for position in check.positions}
    checked |= {check.digit for check in plan.checks}
    doubted = [(line, column) for line, kinds in enumerate(plan.kinds)
               for column, kind in enumerate(kinds)
               if (line, column) not in checked or (kind & text.DIGITS and kind & text.LETTERS)]
    if not doubted:
        return zone
    strip = np.concatenate([cells[line][column] for line, column in doubted], axis=1)
    # The second model's posteriors where it is asked, the reader's elsewhere; the zone's own
    # sure glyphs then weigh in on both alike (likeness.py).
    starts = np.cumsum([0] + [len(line) for line in zone.lines])
    rows = [starts[line] + column for line, column in doubted]
    combined = np.concatenate(probabilities).astype(np.float64)
    combined[rows] = glyphs.second_opinion(strip)
    admitted = [_admitted(kinds) for kinds in plan.kinds]
    every_cell = np.concatenate(cells)
    settled = likeness.settle(every_cell, combined, np.concatenate(admitted))
    index = {s: i for i, s in enumerate(glyphs.SYMBOLS)}
    # A letter-or-digit cell the zone's own glyphs cannot vouch for (`0` or `O`?) is not
    # called valid on the classifiers' word alone.
    reported = np.array([index[char] for line in zone.lines for char in line])
    mixed = [bool(kind & text.DIGITS and kind & text.LETTERS) for kinds in plan.kinds
             for kind in kinds]
    unsure = likeness.undecided(every_cell, np.concatenate(probabilities),
                                np.concatenate(admitted), reported)
    if any(unsure & np.array(mixed)):
        return dataclasses.replace(zone, valid=False)
    for (line, column), p in zip(doubted, settled[rows]):
        allowed = admitted[line][column]
        reported = p[index[zone.lines[line][column]]]
        if reported < VALID_CONFIDENCE * max(float((p * allowed).sum()), 1e-12):
            return dataclasses.replace(zone, valid=False)
    return zone


def _plausible(zone):
    """Whether a zone read, valid or not, is worth returning: some check digit read as a digit
    agrees and most characters were read surely. Other print read into a layout (a page
    without a zone) fails every check and reads unsurely; a check digit the repair wrote over
    a letter is no evidence (a line of words has letters where check digits would stand)."""
    over_letters = {(r.line, r.column) for r in zone.repairs if r.read not in text.DIGITS}
    plan = text._plan_for(text.LAYOUTS[zone.format], zone.lines)
    agrees = any(zone.checks[check.name] and check.digit not in over_letters
                 for check in plan.checks)
    confidences = [c for line in zone.confidences for c in line]
    return agrees and float(np.median(confidences)) >= PLAUSIBLE_CONFIDENCE


def _inside(point, corners):
    return cv2.pointPolygonTest(np.array(corners, np.float32), tuple(map(float, point)),
                                False) >= 0


# --- the input -----------------------------------------------------------------------------------

class _Pyramid:
    """The page in gray at the reductions asked for: 1, 2, 4, 8... input pixels a pixel."""

    def __init__(self, size, levels, decode=None):
        self.size = size            # (width, height) of the input
        self.levels = levels        # factor -> uint8 array
        self.decode = decode        # factor -> array, for encoded input

    @classmethod
    def of(cls, image):
        if isinstance(image, np.ndarray):
            if image.dtype != np.uint8 or image.size == 0 or not (
                    image.ndim == 2 or image.ndim == 3 and image.shape[2] == 3):
                raise ValueError(_MESSAGES["array"].format(dtype=image.dtype, shape=image.shape))
            gray = image if image.ndim == 2 else cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
            return cls((gray.shape[1], gray.shape[0]), {1: gray})
        if isinstance(image, (str, os.PathLike)):
            path = os.fsdecode(image)
            try:
                with open(path, "rb") as file:
                    data = file.read()
            except OSError as error:
                reason = error.strerror or error
                raise ValueError(_MESSAGES["file"].format(path=path, error=reason)) from None
            failure = _MESSAGES["decode_file"].format(path=path)
        elif isinstance(image, (bytes, bytearray, memoryview)):
            data = image
            failure = None
        else:
            raise TypeError(_MESSAGES["type"].format(type=type(image).__name__))
        buffer = np.frombuffer(data, np.uint8) if len(memoryview(data).cast("B")) else None
        if failure is None:
            failure = _MESSAGES["decode_bytes"].format(size=0 if buffer is None else buffer.size)
        if buffer is None:
            raise ValueError(failure)
        size = _jpeg_size(buffer)

        def decode(factor):
            flag = {1: cv2.IMREAD_GRAYSCALE, 2: cv2.IMREAD_REDUCED_GRAYSCALE_2,
                    4: cv2.IMREAD_REDUCED_GRAYSCALE_4, 8: cv2.IMREAD_REDUCED_GRAYSCALE_8}[factor]
            try:
                decoded = cv2.imdecode(buffer, flag)
            except cv2.error as error:  # OpenCV 5 asserts on some headers, e.g. too wide
                raise ValueError(failure) from error
            if decoded is None:
                raise ValueError(failure)
            return decoded

        if size is None:  # not a JPEG: decoded at full size
            gray = decode(1)
            return cls((gray.shape[1], gray.shape[0]), {1: gray})
        # A page of a few megapixels is decoded whole (its small characters need every pixel);
        # a larger one at the reduction that leaves at least DECODE_SIDE pixels, from which the
        # search's smaller copies are made and most zones read; the whole page is decoded only
        # if the zone's characters need it. Decoding is mostly the entropy decoder's work,
        # which a reduced decode saves little of: one decode a page where it can be.
        factor = 1
        if size[0] * size[1] > FULL_DECODE_PIXELS:
            while factor < 8 and max(size) / (2 * factor) >= DECODE_SIDE:
                factor *= 2
        gray = decode(factor)
        # The decoder may have turned the picture by its EXIF orientation.
        size = (gray.shape[1] * factor, gray.shape[0] * factor)
        return cls(size, {factor: gray}, decode)

    def searches(self):
        """(gray, input pixels a pixel, pitch) to search for the zone, in turn until one finds
        it, each for candidates of a pitch under `pitch` input pixels.

        The search suits characters of about 4 to 40 pixels: the frame at about COARSE_SIDE
        pixels first, then at half that for large characters, then at twice that and finer,
        to the whole frame (up to SEARCH_PIXELS), for small ones: there, only
        characters too small for the level searched before, whose candidates were read
        then.
        """
        factor = min(self.levels)
        side = max(self.levels[factor].shape)
        while side / 2 >= 0.75 * search.COARSE_SIDE:
            side //= 2
            factor *= 2
        # Reductions by powers of two: OpenCV's fast path, and levels the reading may reuse.
        gray, factor = self.level(factor)
        if min(gray.shape) < MIN_SIDE:
            return
        yield gray, factor, math.inf
        if min(gray.shape) >= 2 * MIN_SIDE:
            yield cv2.pyrDown(gray), 2 * factor, math.inf
        # Then finer levels, for small characters in a large frame (a page far from the
        # camera), down to the whole frame or SEARCH_PIXELS: a deeper search only where
        # nothing was found.
        while factor > 1:
            factor //= 2
            width, height = self.size
            if width * height / (factor * factor) > SEARCH_PIXELS:
                return
            gray, factor = self.level(factor)
            # A finer level held meanwhile (the whole page, decoded for a candidate read
            # before) would add its own memory to the search's, so it goes, to be decoded
            # again if a candidate needs it.
            if self.decode is not None:
                self._drop_large_levels(finer_than=factor)
            yield gray, factor, 2 * FOUND_PITCH * factor

    def _drop_large_levels(self, finer_than=math.inf):
        """Levels over KEPT_LEVEL_PIXELS (finer than `finer_than`) go; the decoder remakes them."""
        self.levels = {f: image for f, image in self.levels.items()
                       if f >= finer_than or image.size <= KEPT_LEVEL_PIXELS}

    def level(self, factor):
        """(image, factor): the page at `factor` or the nearest finer reduction to be had."""
        if factor in self.levels:
            return self.levels[factor], factor
        if self.decode is not None and factor <= 8 and factor < min(self.levels):
            # The larger levels go first (any is made again from the finer one by a resize):
            # the whole page decoded is the most the reader holds at once.
            self._drop_large_levels()
            self.levels[factor] = self.decode(factor)
            return self.levels[factor], factor
        finer = [f for f in self.levels if f <= factor]
        if not finer:
            finest = min(self.levels)
            return self.levels[finest], finest
        base = max(finer)
        if base == factor or min(self.levels[base].shape) * base < 2 * factor:
            return self.levels[base], base
        image = cv2.resize(self.levels[base], None, fx=base / factor, fy=base / factor,
                           interpolation=cv2.INTER_AREA)
        self.levels[factor] = image
        return image, factor


def _jpeg_size(buffer):
    """(width, height) from a JPEG's frame header, or None for anything else."""
    data = buffer.tobytes() if buffer.size < 4096 else buffer[:65536].tobytes()
    if data[:2] != b"\xff\xd8":
        return None
    at = 2
    while at + 4 <= len(data):
        if data[at] != 0xFF:
            return None
        marker = data[at + 1]
        if marker == 0xFF:
            at += 1
            continue
        (length,) = struct.unpack(">H", data[at + 2:at + 4])
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            if at + 9 > len(data):
                return None
            height, width = struct.unpack(">HH", data[at + 5:at + 9])
            return (width, height) if width and height else None
        at += 2 + length
    return None


# --- one candidate -------------------------------------------------------------------------------

def _factor_for(pitch):
    """The pyramid level (a power of two) where `pitch` input pixels are READ_PITCH or more."""
    if pitch < 2 * READ_PITCH:
        return 1
    return 2 ** int(math.log2(pitch / READ_PITCH))


def _to_level(points, factor):
    return (points + 0.5) / factor - 0.5


def _lines_around(pages, candidate):
    """(lines, band-to-input matrix) of the zone in a band around the candidate, or None.

    A candidate shorter than a zone's longest line may be a piece of one (the rest of the
    line lost to the search at a coarse level): where its band shows no zone, a band as long
    as the longest line either side of it is tried.
    """
    longest = max(locate.LENGTHS) * candidate.pitch
    tries = (candidate, candidate._replace(length=longest)) if candidate.length < longest else (
        candidate,)
    for around in tries:
        image, factor = pages.level(_factor_for(around.pitch))
        (width, height), to_input = locate.band_geometry(around)
        to_level = to_input.copy()
        to_level[:, :2] /= factor
        to_level[:, 2] = _to_level(to_input[:, 2], factor)
        band = cv2.warpAffine(image, to_level, (width, height),
                              flags=cv2.INTER_LINEAR | cv2.WARP_INVERSE_MAP,
                              borderMode=cv2.BORDER_REPLICATE)
        lines = locate.lines_in_band(band)
        if lines is not None:
            return lines, to_input
    return None


def _read_candidate(pages, candidate):
    found = _lines_around(pages, candidate)
    if found is None:
        return None
    lines, to_input = found
    # The pitch found in the band may call for another level than the candidate's guess.
    pitch = float(np.mean([locate.mean_pitch(line) for line in lines]))
    pitch *= math.hypot(*to_input[:, 0])
    image, factor = pages.level(_factor_for(pitch))
    to_level = to_input.copy()
    to_level[:, :2] /= factor
    to_level[:, 2] = _to_level(to_input[:, 2], factor)

    cleared = _in_clear_paper(image, to_level, lines)
    if cleared is None:
        return None
    lines, upright = cleared
    turned = [_strip(image, to_level, line, True) for line in lines[::-1]]
    # The half turn is told by a sample of cells read both ways (a glyph upside down is read
    # unsurely); the whole zone is then read the way the sample reads better, and the other
    # way only if that gives no zone.
    flipped = _sample_score(turned) > _sample_score(upright)
    score, ordered, probabilities, cells = _read_strips(turned if flipped else upright, lines,
                                                        flipped)
    result = _verdict(probabilities, cells)
    if result is None:
        flipped = not flipped
        score, ordered, probabilities, cells = _read_strips(
            turned if flipped else upright, lines, flipped)
        result = _verdict(probabilities, cells)
    if result is None or not result.valid:
        # A second look with the lines fitted again from what the first one read.
        second = _second_reading(image, to_level, ordered, flipped, probabilities, cells,
                                 result)
        if second is not None and (result is None or _rank(second[3], second[0])
                                   > _rank(result, score)):
            score, ordered, probabilities, result, cells = second
    reading = _retried(image, to_level, flipped, score, ordered, probabilities, result, cells)
    if reading[3] is None or not reading[3].valid:
        # Last, each line's cells moved onto its glyphs where they sit off, and the variations
        # tried again from there.
        placed = [_recentred(image, to_level, line, flipped) for line in reading[1]]
        if any(line is not None for line in placed):
            score, ordered, probabilities, result, cells = reading
            placed = [new or line for new, line in zip(placed, ordered)]
            again = _surer_lines(image, to_level, flipped, ordered, probabilities, cells,
                                 placed)
            if again is not None and (result is None or _rank(again[3], again[0])
                                      > _rank(result, score)):
                reading = _retried(image, to_level, flipped, *again)
    score, ordered, probabilities, result, cells = reading
    if result is None:
        return None
    corners = _corners(to_input, ordered, flipped)
    return (_rank(result, score), dataclasses.replace(result, location=corners), cells,
            probabilities)


def _retried(image, to_level, flipped, score, ordered, probabilities, result, cells):
    """(score, lines, posteriors, MRZ, cells): a zone not valid read again with its glyphs
    taller or shorter, or its cells moved a little (RETRIES), where that reads valid."""
    for aspect, along in RETRIES:
        if result is None or result.valid:
            break
        stretched = [locate.shifted(line, along)._replace(aspect=line.aspect * aspect)
                     for line in ordered]
        again, again_cells = _classify(
            [_strip(image, to_level, line, flipped) for line in stretched])
        other = _verdict(again, again_cells)
        # Taken only where it reads valid and reads each character it changes at least as
        # surely as the reading it replaces read it: a misread that happens to mend a check
        # digit printed wrong must not win over the zone as printed.
        if other is not None and other.valid and _no_less_sure(other, result):
            score = float(sum(_line_score(p) for p in again))
            ordered, probabilities, result, cells = stretched, again, other, again_cells
    return score, ordered, probabilities, result, cells


def _recentred(image, to_level, line, flipped):
    """The line with its cells moved onto its glyphs, or None where they sit on them.

    A line model fitted from some of a line's glyphs, or extrapolated past a run it lost, can
    place one end's cells a third of a character off, and its glyphs are then read as
    others. Glyphs a pitch apart make the strip's ink periodic: the phase of that period
    over a few cells tells how far their glyphs sit from the cells' centres, and the line's
    centres are fitted again through the centres so moved.
    """
    strip = _strip(image, to_level, line, flipped)
    ground = _percentiles(strip, (90,))[0]
    profile = np.clip(ground - strip.astype(np.float32), 0, None).sum(axis=0)
    width = glyphs.CELL_W
    column = np.arange(strip.shape[1]) % width - width / 2  # a cell samples its centre at W/2
    phasors = (profile * np.exp(-2j * np.pi * column / width)).reshape(line.count, width)
    local = np.convolve(phasors.sum(axis=1), np.ones(2 * RECENTRE_CELLS + 1), "same")
    # The glyphs' offsets from the cells' centres, in characters along the strip, where the
    # cells around show the period (not a run of blank cells).
    offsets = -np.angle(local) / (2 * np.pi)
    offsets[np.abs(local) < 0.25 * np.median(np.abs(local))] = np.nan
    if not np.nanmax(np.abs(offsets), initial=0.0) >= RECENTRE_MIN:
        return None
    return locate.recentred(line, -offsets[::-1] if flipped else offsets)


def _ink(wide):
    """(cells, CELL_H, CELL_W) bool: each cell's ink, pixels half as dark as the strip's
    strokes against the ground of their own cell (guilloche and texture are lighter than
    print, and a cell in a shadow or off the page is dark all over)."""
    count = wide.shape[1] // glyphs.CELL_W
    cells = wide.reshape(glyphs.CELL_H, count, glyphs.CELL_W).transpose(1, 0, 2).astype(
        np.float32)
    low, high = _percentiles(wide, (3, 75))
    contrast = high - low
    ground = np.percentile(cells.reshape(count, -1), 90, axis=1)
    return cells < (ground - contrast / 2)[:, None, None]


def _percentiles(image, percents):
    """np.percentile's (linear) percentiles of a uint8 image, from its histogram: the same
    values, without sorting the pixels."""
    ends = np.cumsum(np.bincount(image.ravel(), minlength=256))
    values = []
    for percent in percents:
        at = (image.size - 1) * (percent / 100)
        below = math.floor(at)
        low, high = (float(np.searchsorted(ends, k, side="right")) for k in (below, below + 1))
        t = at - below
        # numpy's interpolation, from whichever end is nearer
        values.append(high - (high - low) * (1 - t) if t >= 0.5 else low + (high - low) * t)
    return values


def _inked_ends(wide):
    """(left, right): whether a line's strip, with a cell more at each end, has a glyph in its
    left and in its right end cell.

    Ink is what is half as dark as the line's strokes against the ground of its own cell:
    guilloche and paper texture beside a line are lighter than its print, and a cell in a
    shadow or off the page is dark all over. The line's own last glyph may lean into the cell
    beside it (a line placed a fraction of a character off), so that cell's part next to the
    line does not count; nor does a column dark from the cell's top to its bottom, taller
    than a glyph: the edge of the page or card, or a rule beside the zone.
    """
    ink = _ink(wide)
    typical = float(np.median(ink[1:-1].mean(axis=(1, 2))))
    outer = glyphs.CELL_W - ENDS_SPILL

    def share(cell):
        columns = cell.mean(axis=0)
        return np.where(columns < EDGE_SHARE, columns, 0.0).mean()

    left, right = share(ink[0][:, :outer]), share(ink[-1][:, -outer:])
    return bool(left > CLEAR_MARGIN * typical), bool(right > CLEAR_MARGIN * typical)


def _goes_on(wide):
    """Whether a line's strip, with a cell more at each end, has a glyph in either end cell."""
    return any(_inked_ends(wide))


def _in_clear_paper(image, to_level, lines):
    """(lines, their upright strips) where no line goes on past either end; None otherwise.

    A zone is set in clear paper: a line that goes on past an end is other print, or a line
    of the zone that lost glyphs to the line model: a few characters at its start (it is
    moved back onto them), or a run of them, so that a zone of 44 characters looks like one
    of 36 (it is lengthened to 44 on the side the ink lies).
    """
    width = glyphs.CELL_W
    upright = []
    placed = list(lines)
    for position, line in enumerate(lines):
        wide = _strip(image, to_level, line, False, margin=1)
        ends = _inked_ends(wide)
        if any(ends):
            moved = _moved_onto_its_ink(image, to_level, line, ends)
            if moved is None:
                return _lengthened(image, to_level, lines, ends)
            placed[position], wide = moved
        upright.append(wide[:, width:-width])
    return placed, upright


def _lengthened(image, to_level, lines, ends):
    """(lines, upright strips) of a two-line zone read as 36 characters a line, lengthened to
    44 toward the end (`ends`: a line's inked ends, left and right) that has a glyph beside it,
    where every line's ends are then clear; None otherwise."""
    left, right = ends
    if len(lines) != 2 or left == right or any(line.count != 36 for line in lines):
        return None
    longer, strips = [], []
    for line in lines:
        line = locate.lengthened(line, 44, at_start=left)
        strip = _strip(image, to_level, line, False, margin=1)
        line_ends = _inked_ends(strip)
        if any(line_ends):
            # The line model may have left blank cells at the other end as well.
            moved = _moved_onto_its_ink(image, to_level, line, line_ends, moves=44 - 36)
            if moved is None:
                return None
            line, strip = moved
        longer.append(line)
        strips.append(strip[:, glyphs.CELL_W:-glyphs.CELL_W])
    return longer, strips


def _moved_onto_its_ink(image, to_level, line, ends, moves=MOVES):
    """(line, its strip with a cell more at each end) moved up to `moves` characters toward the
    one of its `ends` (left, right) that has a glyph beside it, the least that leaves both its
    ends clear; None where none does."""
    left, right = ends
    if left == right:
        return None
    for count in range(1, moves + 1):
        moved = locate.shifted(line, -count if left else count)
        wide = _strip(image, to_level, moved, False, margin=1)
        if not _goes_on(wide):
            return moved, wide
    return None


def _no_less_sure(other, result):
    """Whether `other` reads every character where it differs from `result` at least as surely
    (within SURE_MARGIN: both may be as good as certain)."""
    return all(
        new_confidence >= old_confidence - SURE_MARGIN
        for new_line, old_line, new_row, old_row in zip(
            other.lines, result.lines, other.confidences, result.confidences)
        for new, old, new_confidence, old_confidence in zip(new_line, old_line, new_row, old_row)
        if new != old)


def _sample_score(strips):
    """The mean log posterior of the first choices of every SAMPLE_EVERY-th cell."""
    cells = np.concatenate([strip.reshape(glyphs.CELL_H, -1, glyphs.CELL_W)[:, ::SAMPLE_EVERY]
                            for strip in strips], axis=1)
    probabilities = glyphs.classify(cells.reshape(glyphs.CELL_H, -1))
    return _line_score(probabilities) / len(probabilities)


def _read_strips(strips, lines, flipped):
    """(score, lines in reading order, posteriors, cells) of the zone read from `strips`."""
    probabilities, cells = _classify(strips)
    score = float(sum(_line_score(p) for p in probabilities))
    return score, lines[::-1] if flipped else lines, probabilities, cells


def _classify(strips):
    """The posteriors and the cells of each strip, in one pass of the classifier."""
    cells = [strip.reshape(glyphs.CELL_H, -1, glyphs.CELL_W).transpose(1, 0, 2)
             for strip in strips]
    posteriors = glyphs.classify(np.concatenate(strips, axis=1))
    return np.split(posteriors, np.cumsum([len(c) for c in cells])[:-1]), cells


def _line_score(probabilities):
    """The sum of the log posteriors of a line's first choices."""
    return float(np.log(probabilities.max(axis=1) + 1e-9).sum())


def _rank(result, score):
    """Between readings: valid first, then the one whose check digits agree more, then the
    surer one a character."""
    count = sum(len(line) for line in result.lines)
    checks = sum(result.checks.values()) / max(1, len(result.checks))
    return (bool(result.valid), checks, score / count)


def _better(rank, zone, best_rank, best):
    """Whether a candidate's reading is to be returned rather than the best one so far.

    By their ranks; but two readings of the same layout that the checks rank alike (two
    candidates over one zone, as a rule) differ only where they read characters otherwise,
    and the reading surer of those characters wins: a zone's mean certainty, taken over all
    its characters, turns as much on how well each candidate's cells sit as on them. Where
    both are about as sure of them (their log certainties within SURE_MARGIN), the ranks
    decide after all.
    """
    if rank[:2] != best_rank[:2] or zone.format != best.format:
        return rank > best_rank
    surer = sum(math.log(max(new, 1e-9)) - math.log(max(old, 1e-9))
                for new_line, old_line, new_row, old_row in zip(
                    zone.lines, best.lines, zone.confidences, best.confidences)
                for a, b, new, old in zip(new_line, old_line, new_row, old_row) if a != b)
    if abs(surer) <= SURE_MARGIN:
        return rank > best_rank
    return surer > 0


def _second_reading(image, to_level, ordered, flipped, probabilities, cells, first):
    """(score, lines, posteriors, MRZ, cells) read again over refitted lines, or None.

    The first reading tells which cells hold fillers, which the line model could only guess
    from the glyphs' heights; each line is fitted again with them known and read again, and
    of its two readings the one the classifier is surer of is kept.
    """
    filler = glyphs.SYMBOLS.index(text.FILLER)
    refitted = []
    for position, (line, p) in enumerate(zip(ordered, probabilities)):
        if first is not None:
            fillers = np.array([char == text.FILLER for char in first.lines[position]])
        else:
            fillers = p.argmax(axis=1) == filler
        refitted.append(locate.refit(line, fillers[::-1] if flipped else fillers))
    return _surer_lines(image, to_level, flipped, ordered, probabilities, cells, refitted)


def _surer_lines(image, to_level, flipped, ordered, probabilities, cells, placed):
    """(score, lines, posteriors, MRZ, cells) of the zone read with each line as `ordered` or
    as `placed` places it, whichever the classifier reads more surely; or None."""
    again, again_cells = _classify([_strip(image, to_level, line, flipped) for line in placed])
    lines, chosen, chosen_cells, score = [], [], [], 0.0
    for options in zip(zip(ordered, probabilities, cells), zip(placed, again, again_cells)):
        scored = [(_line_score(p), index) for index, (_, p, _) in enumerate(options)]
        best, index = max(scored)
        lines.append(options[index][0])
        chosen.append(options[index][1])
        chosen_cells.append(options[index][2])
        score += best
    result = _verdict(chosen, chosen_cells)
    if result is None:
        return None
    return score, lines, chosen, result, chosen_cells


def _band_points(line, flipped, columns, rows):
    """Band coordinates of canonical strip pixels (columns along, rows across the text).

    Each cell is centred on its character's centre and sampled at its character's own
    pitch (times `line.aspect`, which a second look varies), so that cells never drift along
    a line whose pitch changes in perspective.
    """
    cell = np.floor(columns / glyphs.CELL_W)
    offset = (columns - cell * glyphs.CELL_W - glyphs.CELL_W / 2) / glyphs.CELL_W
    if flipped:
        cell, offset = (line.count - 1) - cell, -offset
    unit = locate.pitch_at(line, cell) * line.aspect
    x = locate.centre_at(line, cell) + offset * unit
    step = (glyphs.BASELINE - rows) * unit / glyphs.CELL_W
    if flipped:
        y = locate.polyval(line.top, x) + step
    else:
        y = locate.polyval(line.bottom, x) - step
    return x, y


def _edge_points(line, flipped, k, rows):
    """Band coordinates at the continuous character index `k` (cell edges at k +- 0.5)."""
    if flipped:
        k = (line.count - 1) - k
    x = locate.centre_at(line, k)
    step = (glyphs.BASELINE - rows) * locate.pitch_at(line, k) * line.aspect / glyphs.CELL_W
    if flipped:
        y = locate.polyval(line.top, x) + step
    else:
        y = locate.polyval(line.bottom, x) - step
    return x, y


def _strip(image, to_level, line, flipped, margin=0):
    """The line's canonical strip, with `margin` more cells at each end."""
    columns = np.arange(-margin * glyphs.CELL_W, (line.count + margin) * glyphs.CELL_W,
                        dtype=np.float64)[None, :]
    rows = np.arange(glyphs.CELL_H, dtype=np.float64)[:, None]
    x, y = _band_points(line, flipped, columns, rows)
    x, y = np.broadcast_arrays(x, y)
    map_x = (to_level[0, 0] * x + to_level[0, 1] * y + to_level[0, 2]).astype(np.float32)
    map_y = (to_level[1, 0] * x + to_level[1, 1] * y + to_level[1, 2]).astype(np.float32)
    return cv2.remap(image, map_x, map_y, cv2.INTER_LINEAR, borderMode=cv2.BORDER_REPLICATE)


def _corners(to_input, ordered, flipped):
    first, last = ordered[0], ordered[-1]
    left, right = np.float64(-0.5), np.float64(first.count - 0.5)
    cap = glyphs.BASELINE - glyphs.CELL_W * CAP_PER_PITCH
    points = [
        _edge_points(first, flipped, left, np.float64(cap)),
        _edge_points(first, flipped, right, np.float64(cap)),
        _edge_points(last, flipped, right, np.float64(glyphs.BASELINE)),
        _edge_points(last, flipped, left, np.float64(glyphs.BASELINE)),
    ]
    return tuple(
        (float(to_input[0, 0] * x + to_input[0, 1] * y + to_input[0, 2]),
         float(to_input[1, 0] * x + to_input[1, 1] * y + to_input[1, 2]))
        for x, y in points)


# --- the verdict ---------------------------------------------------------------------------------

def _verdict(probabilities, cells=None):
    """The MRZ from the lines' posteriors (one (n, 37) array a line), or None.

    cells: the lines' cells (one (n, CELL_H, CELL_W) array a line), with which the zone's
    sure glyphs settle the doubtful ones (``likeness.py``) once the layout is known.
    """
    result = _parse(probabilities)
    if result is None:
        return None
    kinds = text._plan_for(text.LAYOUTS[result.format], result.lines).kinds
    admitted = [_admitted(line_kinds) for line_kinds in kinds]
    if cells is not None:
        counts = [len(line) for line in probabilities]
        settled = likeness.settle(np.concatenate(cells), np.concatenate(probabilities),
                                  np.concatenate(admitted))
        revised = np.split(settled, np.cumsum(counts)[:-1])
        if any(not np.array_equal(a, b) for a, b in zip(revised, probabilities)):
            again = _parse(revised)
            if again is not None and again.format == result.format:
                result, probabilities = again, revised
                kinds = text._plan_for(text.LAYOUTS[result.format], result.lines).kinds
                admitted = [_admitted(line_kinds) for line_kinds in kinds]
    return _confident(result, probabilities, admitted)


def _parse(probabilities):
    """The zone parsed from the lines' first choices, repaired with their second choices."""
    symbols = glyphs.SYMBOLS
    candidates = []
    for line in probabilities:
        order = np.argsort(-line, axis=1)[:, :ALTERNATIVES]
        row = []
        for p, ranked in zip(line, order):
            row.append("".join(symbols[i] for j, i in enumerate(ranked)
                               if j == 0 or p[i] >= ALTERNATIVE_FLOOR))
        candidates.append(row)
    try:
        return parse_candidates(candidates)
    except MRZError:
        return None


@functools.lru_cache(maxsize=64)
def _admitted(line_kinds):
    """(n, 37) bool, read-only: the symbols each position's field admits (`line_kinds`: a
    tuple of the positions' sets of symbols; a handful of layouts ask for all there are)."""
    admitted = np.array([[symbol in kind for symbol in glyphs.SYMBOLS] for kind in line_kinds])
    admitted.flags.writeable = False
    return admitted


def _confident(result, probabilities, admitted):
    """The result with each character's confidence, and `valid` only where all are sure."""
    index = {s: i for i, s in enumerate(glyphs.SYMBOLS)}
    # Each position's field type allows some symbols only: the posterior of the character
    # reported among those (a digit in a date competes with digits, not with `O`).
    confidences = []
    for line, chars, allowed in zip(probabilities, result.lines, admitted):
        reported = line[np.arange(len(chars)), [index[char] for char in chars]]
        mass = (line * allowed).sum(axis=1)
        inside = allowed[np.arange(len(chars)), [index[char] for char in chars]] & (mass > 0)
        among = reported / np.where(mass > 0, mass, 1)
        confidences.append(np.where(inside, among, reported).tolist())
    for repair in result.repairs:
        # Written by a check digit (or a type) over the one read: the posterior among the
        # symbols left once the one read is ruled out.
        p = probabilities[repair.line][repair.column]
        ruled_out = float(p[index[repair.read]])
        confidences[repair.line][repair.column] = min(
            1.0, float(p[index[repair.written]]) / max(1e-9, 1.0 - ruled_out))
    confidences = tuple(tuple(min(1.0, c) for c in line) for line in confidences)
    lowest = min(min(line) for line in confidences)
    # A character written from a second choice outside the usual confusions (an `N` for an
    # `M`, a `6` for a `0`) rests on the check digits alone: it may be right, it is not sure.
    guessed = any(repair.written not in text.CONFUSIONS.get(repair.read, "")
                  and repair.written != text.FILLER for repair in result.repairs)
    valid = result.valid and lowest >= VALID_CONFIDENCE and not guessed
    return dataclasses.replace(result, valid=valid, confidences=confidences, confidence=lowest)
