"""Models the machine-readable zone's lines inside a band around a candidate.

:func:`band_geometry` resamples a candidate of the search (``search.py``) upright into a band
(``BAND_PITCH`` pixels a character; a half turn is still possible), and :func:`lines_in_band`
finds the zone's lines in it: the
   characters are connected components, chained left to right into rows, and two or three
   rows of 30, 36 or 44 regularly spaced characters, stacked at the ICAO line pitch, are a
   zone. Each line is modelled by its character centres (x = (a + b k) / (1 + c k) at the
   character index k: evenly spaced points seen in perspective) and by straight fits of the
   glyphs' bottoms and tops.

Coordinates are pixels with (0, 0) the centre of the top-left pixel, x to the right, y down.
"""

from typing import NamedTuple

import cv2
import numpy as np

BAND_PITCH = 14.0       # pixels a character in the band
LINE_PITCH = 4.23 / 2.54  # ICAO: a line every 4.23 mm, a character every 2.54 mm
# The line spacings (in character pitches) real zones are set at: ICAO's 1.67 and wider.
LINE_SPACING = (1.2, 3.4)
LENGTHS = (30, 36, 44)
FILLER_RISE = 7 / 72      # OCR-B's `<` ends this far above the base line, in pitches
MAX_BOW = 0.5             # the most a base line may bow from its chord, in glyph heights
LOST_AT_ENDS = 15         # glyphs a line of the zone may lose at its ends and still be read


class Line(NamedTuple):
    """One line of the zone in band pixels, left to right as the band shows it."""

    count: int          # characters
    centres: tuple      # (a, b, c): x of character k is (a + b k) / (1 + c k)
    bottom: tuple       # y of the glyphs' bottoms at x: b0 + b1 x
    top: tuple          # y of the glyphs' tops at x: t0 + t1 x
    height: float       # median glyph height
    glyphs: tuple = ()  # the fitted glyphs' (centre x, bottom, top, height) arrays
    aspect: float = 1.0  # the glyphs' height over the height their pitch gives them


def _labelled(mask):
    # Block-based labelling: a third of the default's time on these sparse masks.
    algorithm = getattr(cv2, "CCL_BBDT", cv2.CCL_DEFAULT)
    return cv2.connectedComponentsWithStatsWithAlgorithm(mask, 8, cv2.CV_32S, algorithm)


def polyval(coefficients, x):
    result = 0.0
    for c in reversed(coefficients):
        result = result * x + c
    return result


def band_geometry(candidate):
    """The band's size (width, height) and its 2x3 matrix from band pixels to input pixels."""
    k = candidate.pitch / BAND_PITCH                 # input pixels per band pixel
    ux, uy = candidate.axis
    # Longer than the blob: a blob may be part of a line whose other part merged elsewhere.
    along = 2.0 * candidate.length + 4 * candidate.pitch
    across = candidate.width + 12 * candidate.pitch
    width, height = int(along / k), int(across / k)
    cx, cy = candidate.centre
    # band (x, y) -> input: centre + k * ((x - w/2) u + (y - h/2) v), v = (-uy, ux)
    matrix = np.array([[k * ux, -k * uy, 0.0], [k * uy, k * ux, 0.0]])
    matrix[:, 2] = (cx, cy) - matrix[:, :2] @ ((width - 1) / 2, (height - 1) / 2)
    return (width, height), matrix


def _adaptive_mask(band):
    block = int(2 * BAND_PITCH) | 1
    return cv2.adaptiveThreshold(band, 255, cv2.ADAPTIVE_THRESH_MEAN_C, cv2.THRESH_BINARY_INV,
                                 block, 8)


def _ink_mask(band):
    """Strokes at least half as dark as the zone's own ink, against their surroundings.

    On guilloche and fine print the local mean is no guide (every line of the ground passes
    it); the zone's ink is the darkest print in the band's middle, and its glyphs are thin,
    so a black-hat measures each pixel's darkness against its surroundings.
    """
    size = int(0.8 * BAND_PITCH) | 1
    dark = cv2.morphologyEx(band, cv2.MORPH_BLACKHAT,
                            cv2.getStructuringElement(cv2.MORPH_RECT, (size, size)))
    height, width = band.shape
    middle = dark[max(0, height // 2 - int(2 * BAND_PITCH)):height // 2 + int(2 * BAND_PITCH),
                  width // 4:3 * width // 4]
    level = float(np.percentile(middle, 97)) if middle.size else 0.0
    _, mask = cv2.threshold(dark, max(8.0, 0.45 * level), 255, cv2.THRESH_BINARY)
    return mask


def _components(mask):
    count, _, stats, centroids = _labelled(mask)
    stats = stats[1:]
    x, y, w, h, area = stats.T.astype(np.float64)
    keep = ((h >= 0.4 * BAND_PITCH) & (h <= 1.8 * BAND_PITCH) & (w <= 1.4 * BAND_PITCH)
            & (area >= 0.06 * BAND_PITCH ** 2))
    return x[keep], y[keep], w[keep], h[keep]


def _rows(x, y, w, h):
    """Chains of components left to right: lists of indices, sorted by x."""
    cx = x + (w - 1) / 2
    cy = y + (h - 1) / 2
    order = np.argsort(cx)
    cx, cy, hh = cx[order], cy[order], h[order]
    n = len(cx)
    # Each component's nearest neighbour to the right on its row; their typical distance is
    # the pitch in the band, and links much longer than it are not made (a stray blob before
    # a line would otherwise take its second glyph and split the line in two).
    dx = cx[None, :] - cx[:, None]
    near = (np.abs(cy[None, :] - cy[:, None]) < 0.3 * np.maximum(hh[None, :], hh[:, None])) & (
        dx > 0.4 * BAND_PITCH) & (dx < 2.2 * BAND_PITCH)
    candidates = np.where(near, dx, np.inf)
    nearest = candidates.min(axis=1)
    if not np.isfinite(nearest).any():
        return []
    reach = 1.5 * float(np.median(nearest[np.isfinite(nearest)]))
    nxt = np.full(n, -1)
    taken = np.zeros(n, bool)
    for i in np.argsort(nearest):
        if not np.isfinite(nearest[i]):
            break
        row = np.where(taken | (candidates[i] > reach), np.inf, candidates[i])
        j = int(np.argmin(row))
        if np.isfinite(row[j]):
            nxt[i] = j
            taken[j] = True
    chains = []
    for i in range(n):
        if taken[i]:
            continue
        chain = [i]
        while nxt[chain[-1]] >= 0:
            chain.append(nxt[chain[-1]])
        if len(chain) >= 3:
            chains.append(chain)
    # A lost glyph or a smudge breaks a line into pieces: join pieces that continue one
    # another across a gap of a few characters.
    chains.sort(key=lambda chain: cx[chain[0]])
    joined = True
    while joined:
        joined = False
        for a in chains:
            for b in chains:
                if a is b:
                    continue
                gap = cx[b[0]] - cx[a[-1]]
                size = max(hh[a[-1]], hh[b[0]])
                if 0 < gap < 4.5 * BAND_PITCH and abs(cy[b[0]] - cy[a[-1]]) < 0.3 * size:
                    a.extend(b)
                    chains.remove(b)
                    joined = True
                    break
            if joined:
                break
    return [order[chain] for chain in chains if len(chain) >= 12]


def _fit_line(x, y, w, h, row):
    cx = x[row] + (w[row] - 1) / 2
    bottoms = y[row] + h[row] - 0.5
    tops = y[row] - 0.5
    gaps = np.diff(cx)
    pitch = float(np.median(gaps))
    if pitch < 0.5 * BAND_PITCH:
        return None
    # A chain may have caught a neighbour at either end (other print, the band's edge).
    first, stop = 0, len(row)
    while stop - first > 12 and gaps[first] > 1.4 * pitch:
        first += 1
    while stop - first > 12 and gaps[stop - 2] > 1.4 * pitch:
        stop -= 1
    if (first, stop) != (0, len(row)):
        row = row[first:stop]
        cx = cx[first:stop]
        bottoms, tops = bottoms[first:stop], tops[first:stop]
    # Neighbours are a pitch apart (a missing or split glyph shows as a gap of two or none).
    steps = np.round(np.diff(cx) / pitch)
    if not steps.all():
        # A glyph in two pieces: keep its first.
        keep = np.concatenate(([True], steps > 0))
        row, cx, bottoms, tops = row[keep], cx[keep], bottoms[keep], tops[keep]
        steps = steps[steps > 0]
    index = np.concatenate(([0.0], np.cumsum(steps)))
    if len(np.unique(index)) != len(index):
        return None
    count = int(index[-1] - index[0] + 1)
    coefficients = _fit_centres(index - index[0], cx, count)
    height = float(np.median(h[row]))
    # The base line through every glyph's bottom, so that a run of fillers at one end is not
    # left to an extrapolation: a filler `<` ends FILLER_RISE of a pitch above the base line
    # (and, upside down, as far below the others' tops). Perspective makes the glyphs grow
    # along the line, so the middles would slant otherwise than the base line.
    short = h[row] < 0.9 * _local_height(h[row])
    rise = FILLER_RISE * pitch * short
    bottom = _robust_line(cx, bottoms + rise, height)
    top = _robust_line(cx, tops - rise, height)
    return Line(count, coefficients, bottom, top, height, (cx, bottoms, tops, h[row]))


def _local_height(heights, half=5):
    """Each glyph's reference height: the 75th percentile of its neighbours' within `half`
    glyphs (in perspective, glyphs at one end of a line are taller than at the other)."""
    padded = np.pad(heights, half, mode="edge")
    windows = np.lib.stride_tricks.sliding_window_view(padded, 2 * half + 1)
    return np.percentile(windows, 75, axis=1)


def _fit_centres(index, x, count):
    """(a, b, c) of x = (a + b k) / (1 + c k) through the glyphs' centres.

    Evenly spaced points on a straight line, seen in perspective, lie on such a curve: the
    glyphs grow or shrink along a line photographed at an angle. Fitted as the linear
    problem x = a + b k - c k x; a short line, or a fit that would fold within the line, is
    taken straight (c = 0).
    """
    straight = np.polynomial.polynomial.polyfit(index, x, 1)
    fit = (float(straight[0]), float(straight[1]), 0.0)
    if count > 20:
        matrix = np.stack([np.ones_like(index), index, -index * x], axis=1)
        a, b, c = np.linalg.lstsq(matrix, x, rcond=None)[0]
        span = np.array([-LOST_AT_ENDS, count + LOST_AT_ENDS], np.float64)
        if np.all(1 + c * span > 0.5) and b - a * c > 0:
            fit = (float(a), float(b), float(c))
    return fit


def centre_at(line, k):
    """The x of character `k` (any real index) of a line."""
    a, b, c = line.centres
    return (a + b * k) / (1 + c * k)


def pitch_at(line, k):
    """The line's pitch (band pixels a character) at character `k`."""
    a, b, c = line.centres
    return (b - a * c) / (1 + c * k) ** 2


def index_at(line, x):
    """The character index (real) whose centre is at `x`."""
    a, b, c = line.centres
    return (a - x) / (c * x - b)


def mean_pitch(line):
    return (centre_at(line, line.count - 1) - centre_at(line, 0)) / max(1, line.count - 1)


def refit(line, fillers):
    """The line's base and cap lines fitted again, knowing which characters are fillers.

    fillers: bool per character, left to right as the band shows them (a first reading's).
    The first fit can only guess the fillers by their height, which a few pixels of glyph
    cannot tell reliably (a filler is a pixel or two shorter than a capital): a guess gone
    wrong tilts the base line across a run of fillers and shifts the glyphs at the far end.
    """
    if not line.glyphs:
        return line
    cx, bottoms, tops, heights = line.glyphs
    index = np.clip(np.round(index_at(line, cx)).astype(int), 0, line.count - 1)
    filler = np.asarray(fillers, bool)[index]
    pitch = pitch_at(line, index)
    rise = FILLER_RISE * pitch * filler
    solid = ~filler
    if solid.sum() < 3:
        return line
    height = float(np.median(heights[solid]))
    bottom = _robust_line(cx, bottoms + rise, height)
    top = _robust_line(cx, tops - rise, height)
    return line._replace(bottom=bottom, top=top, height=height)


def _robust_line(x, y, height):
    """(a, b) of y = a + b x, or (a, b, c) of y = a + b x + c x^2, fitted again without the
    points far off the first fit.

    A booklet's page is curved: across a long line its base line may bow by a few pixels,
    which a straight line leaves at the ends of the line. A bow is taken where enough glyphs
    show it and it stays well within a glyph's height; otherwise the line is straight.
    """
    fit = _robust_fit(x, y, height, 1)
    if len(x) >= 20:
        bowed = _robust_fit(x, y, height, 2)
        half_span = (float(x.max()) - float(x.min())) / 2
        if abs(bowed[2]) * half_span * half_span < MAX_BOW * height:
            fit = bowed
    return tuple(float(c) for c in fit)


def _robust_fit(x, y, height, degree):
    fit = np.polynomial.polynomial.polyfit(x, y, degree)
    near = np.abs(y - np.polynomial.polynomial.polyval(x, fit)) < 0.15 * height
    if near.sum() >= 3 * degree:
        fit = np.polynomial.polynomial.polyfit(x[near], y[near], degree)
    return fit


def lines_in_band(band):
    """The zone's lines in an upright band (uint8, BAND_PITCH pixels a character), or None.

    Returns the lines top to bottom as the band shows them, all of one count from LENGTHS.
    """
    for mask in (_adaptive_mask, _ink_mask):
        lines = _zone_lines(_components(mask(band)))
        if lines is not None:
            return lines
    return None


def _zone_lines(components):
    x, y, w, h = components
    if len(x) < 40:
        return None
    rows = _rows(x, y, w, h)
    lines = []
    for row in rows:
        line = _fit_line(x, y, w, h, row)
        if line is None:
            continue
        count = line.count
        if any(-LOST_AT_ENDS <= count - n <= 2 for n in LENGTHS):
            lines.append(line)
    if len(lines) < 2:
        return None
    lines.sort(key=lambda line: polyval(line.bottom, centre_at(line, 0)))
    best = None
    for size in (3, 2):
        for first in range(len(lines) - size + 1):
            group = lines[first:first + size]
            zone = _zone(group)
            if zone is not None and (best is None or zone[0] > best[0]):
                best = zone
        if best is not None:
            return best[1]
    return None


def _rebase(line, shift, count):
    """The line with its character 0 moved to its character `shift`, and `count` characters."""
    a, b, c = line.centres
    scale = 1 + c * shift
    centres = ((a + b * shift) / scale, b / scale, c / scale)
    return line._replace(count=count, centres=centres)


def lengthened(line, count, at_start):
    """The line with `count` characters, those added before its first (`at_start`) or after
    its last."""
    return _rebase(line, line.count - count if at_start else 0, count)


def shifted(line, along):
    """The line with its character centres moved `along` characters (0: the line itself)."""
    return _rebase(line, along, line.count) if along else line


def recentred(line, offsets):
    """The line with character k's centre moved `offsets[k]` characters (band order; NaN:
    not known), its centres fitted again through the moved ones."""
    index = np.flatnonzero(np.isfinite(offsets)).astype(np.float64)
    x = np.array([centre_at(line, k + offsets[int(k)]) for k in index])
    return line._replace(centres=_fit_centres(index, x, line.count))


def _zone(group):
    """A score and the lines set to one length, if `group` is a zone's lines."""
    counts = [line.count for line in group]
    # A line may lose glyphs at its ends to the ground or the page's edge, but one line of the
    # zone must be found about whole.
    lengths = [n for n in ((30,) if len(group) == 3 else (36, 44))
               if all(-LOST_AT_ENDS <= c - n <= 2 for c in counts) and max(counts) >= n - 4]
    if not lengths:
        return None
    length = min(lengths, key=lambda n: sum(abs(c - n) for c in counts))
    exact = [line for line in group if line.count == length]
    # The lines of a zone start at the same column: a line with a character too many (a speck
    # or a neighbour caught at one end) or too few (a glyph lost at one end) is set by the others.
    if exact:
        start = float(np.median([centre_at(line, 0) for line in exact]))
    elif all(count < length for count in counts):
        # No line was found whole (glyphs merged or lost at an end, most often the last):
        # the zone starts where its leftmost line does.
        start = min(centre_at(line, 0) for line in group)
    else:
        return None
    lines = []
    for line in group:
        if line.count != length:
            low, high = sorted((0, line.count - length))
            shift = min(range(low, high + 1), key=lambda s: abs(centre_at(line, s) - start))
            line = _rebase(line, shift, length)
        lines.append(line)
    pitch = np.mean([mean_pitch(line) for line in lines])
    starts = [centre_at(line, 0) for line in lines]
    if max(starts) - min(starts) > 0.6 * pitch:
        return None
    ys = [polyval(line.bottom, centre_at(line, 0)) for line in lines]
    for upper, lower in zip(ys, ys[1:]):
        if not LINE_SPACING[0] * pitch < lower - upper < LINE_SPACING[1] * pitch:
            return None
    return -sum(abs(c - length) for c in counts), lines
