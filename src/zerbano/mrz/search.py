"""Finds where the machine-readable zone may be in a whole frame.

The zone is two or three long rows of glyphs of one size at one pitch. The search looks for
such rows among the page's print, on the frame scaled to about ``COARSE_SIDE`` pixels:

1. glyphs: dark strokes against their surroundings (a local threshold), as connected
   components of about a glyph's size;
2. directions: the ways in which glyphs follow their nearest neighbours (a page's print runs
   one way, or a few; the peaks of a histogram), so that the page may be turned any way;
3. rows: in each direction, chains of glyphs, each followed by the nearest glyph of its size
   ahead of it and in line with it; pieces of one row broken by a lost glyph are joined;
4. candidates: rows long and regular enough for a zone's line, best first, those with a
   parallel row at the zone's line pitch before those alone.

Nothing here depends on the glyphs' shapes or on the print's tracking; the reader checks each
candidate by fitting the zone's lines in a band around it.
"""

import math
from typing import NamedTuple

import cv2
import numpy as np

COARSE_SIDE = 1024      # pixels of the frame's longer side for the search
THRESHOLD_BLOCK = 31    # the local threshold's window, coarse pixels
THRESHOLD_OFFSET = 12   # how much darker than its surroundings ink is, grey levels
GLYPH_SIZE = (4, 64)    # the extent of a glyph's component, coarse pixels
STRIPE_PIXELS = 1_000_000  # pixels labelled at once (a finer level is searched in stripes)
PAIRS_AT_ONCE = 100_000  # glyph pairs compared at once
WINDOW = 96             # neighbours looked at for each glyph, in order along a direction
DIRECTIONS = 3          # directions tried, the histogram's strongest peaks
WEAK_DIRECTION = 0.2    # a peak weaker than this share of the strongest is not tried
MIN_ROW = 12            # glyphs for a row to be a candidate
ROW_LENGTHS = (12, 52)  # character positions a candidate row may span
LINE_PITCH = (1.2, 3.4)  # a zone's line pitch, in character pitches


class Candidate(NamedTuple):
    """A rotated rectangle in input pixels and the pitch it suggests."""

    centre: tuple       # (x, y)
    axis: tuple         # unit vector along the rows
    length: float       # along `axis`
    width: float        # across it
    pitch: float        # pixels a character
    score: float


class _Row(NamedTuple):
    """A chain of glyphs in a direction's frame (u along, v across)."""

    u0: float           # the first glyph's centre
    u1: float           # the last glyph's centre
    v: tuple            # (v at u = 0, dv/du)
    pitch: float
    size: float         # the glyphs' median extent across the row
    members: int


def candidates(gray, scale, limit=8, below_pitch=math.inf):
    """Rotated rectangles that may hold the zone, best first, as a generator.

    gray: uint8 (H, W), the frame at about COARSE_SIDE pixels; scale: input pixels per pixel
    of `gray`. Yields up to `limit` :class:`Candidate` in input pixels, of a pitch under
    `below_pitch` input pixels: those of the page's strongest print direction first (the
    zone runs with most of a page's print), each direction's rows found only when its
    candidates are asked for.
    """
    x, y, w, h = _glyphs(gray)
    if len(x) < MIN_ROW:
        return
    given = []
    for degrees in _directions(x, y, np.maximum(w, h)):
        theta = math.radians(degrees)
        found = _candidates(_join(_rows(x, y, w, h, theta)), theta, scale)
        for candidate in sorted(found, key=lambda c: -c.score):
            if len(given) == limit:
                return
            if candidate.pitch < below_pitch and not any(
                    same_place(candidate, other) for other in given):
                given.append(candidate)
                yield candidate


def same_place(a, b):
    """Whether two candidates are one blob (the same centre and direction, within reason)."""
    distance = np.hypot(a.centre[0] - b.centre[0], a.centre[1] - b.centre[1])
    parallel = abs(a.axis[0] * b.axis[0] + a.axis[1] * b.axis[1]) > 0.995
    return distance < 0.5 * min(a.width, b.width) and parallel


def _labelled(mask):
    # Block-based labelling: a third of the default's time on these sparse masks.
    algorithm = getattr(cv2, "CCL_BBDT", cv2.CCL_DEFAULT)
    return cv2.connectedComponentsWithStatsWithAlgorithm(mask, 8, cv2.CV_32S, algorithm)


def _glyphs(gray):
    """Centres (x, y) and extents (w, h) of the components that may be glyphs.

    The frame is labelled a stripe of rows at a time (labels take four bytes a pixel), each
    stripe with a margin above and below; a component counts in the stripe whose own rows
    hold its centre. A glyph lies within GLYPH_SIZE of its centre and the threshold looks half
    its window further, so the margin makes the stripes' components the whole frame's.
    """
    height, width = gray.shape
    margin = GLYPH_SIZE[1] + THRESHOLD_BLOCK // 2 + 1
    rows = max(2 * margin, STRIPE_PIXELS // width - 2 * margin)
    found = [_stripe_glyphs(gray, top, min(top + rows, height), margin)
             for top in range(0, height, rows)]
    return tuple(np.concatenate(part) for part in zip(*found))


def _stripe_glyphs(gray, top, bottom, margin):
    """`_glyphs` for the components centred in rows [top, bottom), in the frame's pixels."""
    start = max(0, top - margin)
    stripe = gray[start:min(gray.shape[0], bottom + margin)]
    mask = cv2.adaptiveThreshold(stripe, 255, cv2.ADAPTIVE_THRESH_MEAN_C, cv2.THRESH_BINARY_INV,
                                 THRESHOLD_BLOCK, THRESHOLD_OFFSET)
    _, _, stats, centres = _labelled(mask)
    del mask
    w, h, area = stats[1:, cv2.CC_STAT_WIDTH], stats[1:, cv2.CC_STAT_HEIGHT], stats[1:, 4]
    x, y = centres[1:, 0], centres[1:, 1] + start
    low, high = GLYPH_SIZE
    extent = np.maximum(w, h)
    keep = ((extent >= low) & (extent <= high) & (area >= 6) & (area < 0.9 * w * h + 1)
            & (w <= 2.5 * h + 2) & (h <= 4 * w + 4) & (y >= top) & (y < bottom))
    return x[keep], y[keep], w[keep].astype(np.float64), h[keep].astype(np.float64)


def _ahead(n, k):
    """Items 0..n-1 (in order along a direction) in runs: each run's indices i, and j, the `k`
    items after each i. A few thousand items a run, so that the pairs of a page dense with
    print take megabytes, not hundreds of them."""
    step = max(1, PAIRS_AT_ONCE // max(1, k))
    for start in range(0, n, step):
        i = np.arange(start, min(n, start + step))
        yield i, np.minimum(i[:, None] + np.arange(1, k + 1)[None, :], n - 1)


def _directions(x, y, size):
    """The angles (degrees in [0, 180)) in which glyphs most often follow their nearest
    neighbours of a like size, strongest first."""
    order = np.argsort(x)
    xs, ys, ss = x[order], y[order], size[order]
    angles = []
    for i, j in _ahead(len(xs), min(WINDOW, len(xs) - 1)):
        dx, dy = xs[j] - xs[i, None], ys[j] - ys[i, None]
        big = np.maximum(ss[j], ss[i, None])
        like = (big < 2.0 * np.minimum(ss[j], ss[i, None])) & (j > i[:, None])
        distance = np.where(like & (dx * dx + dy * dy < (2.2 * big) ** 2), np.hypot(dx, dy),
                            np.inf)
        # Each glyph's nearest neighbour of its size ahead of it (in x: the other way round,
        # that glyph's nearest behind it is the same pair).
        rows = np.arange(len(i))
        pick = np.argmin(distance, axis=1)
        found = np.isfinite(distance[rows, pick])
        angles.append(np.degrees(np.arctan2(dy[rows, pick], dx[rows, pick]))[found] % 180.0)
    angles = np.concatenate(angles)
    if not len(angles):
        return []
    histogram = np.bincount(np.round(angles).astype(int) % 180, minlength=180).astype(float)
    # Smoothed around the circle of directions: one entry a degree, as the histogram.
    smooth = np.convolve(np.concatenate([histogram[-2:], histogram, histogram[:2]]),
                         [1, 2, 3, 2, 1], "valid")
    peaks = []
    for _ in range(DIRECTIONS):
        peak = int(np.argmax(smooth))
        if smooth[peak] <= 0 or (peaks and smooth[peak] < WEAK_DIRECTION * peaks[0][1]):
            break
        peaks.append((peak, smooth[peak]))
        for near in range(peak - 8, peak + 9):
            smooth[near % 180] = 0
    return [float(peak) for peak, _ in peaks]


def _rows(x, y, w, h, theta):
    """Chains of glyphs along the direction `theta` (radians), as :class:`_Row`."""
    c, s = math.cos(theta), math.sin(theta)
    u, v = x * c + y * s, y * c - x * s
    size = h * abs(c) + w * abs(s)  # a glyph's extent across the row
    order = np.argsort(u)
    u, v, size = u[order], v[order], size[order]
    n = len(u)
    best, candidate = np.empty(n), np.empty(n, np.intp)
    for i, j in _ahead(n, min(WINDOW, n - 1)):
        du, dv = u[j] - u[i, None], v[j] - v[i, None]
        big = np.maximum(size[j], size[i, None])
        fits = ((du > 0.3 * big) & (du < 2.0 * big) & (np.abs(dv) < 0.3 * big)
                & (big < 2.2 * np.minimum(size[j], size[i, None])))
        cost = np.where(fits, du + 3 * np.abs(dv), np.inf)
        pick = np.argmin(cost, axis=1)
        best[i] = cost[np.arange(len(i)), pick]
        candidate[i] = j[np.arange(len(i)), pick]
    # The nearest link first; a glyph is taken as the next of one glyph only.
    following = np.full(n, -1)
    taken = np.zeros(n, bool)
    for i in np.argsort(best):
        if not np.isfinite(best[i]):
            break
        if not taken[candidate[i]]:
            following[i] = candidate[i]
            taken[candidate[i]] = True
    rows = []
    for start in np.flatnonzero(~taken & (following >= 0)):
        chain = [start]
        while following[chain[-1]] >= 0:
            chain.append(following[chain[-1]])
        if len(chain) >= 5:
            row = _fit_row(u[chain], v[chain], size[chain])
            if row is not None:
                rows.append(row)
    return rows


def _fit_row(u, v, size):
    steps = np.diff(u)
    pitch = float(np.median(steps))
    if pitch <= 0:
        return None
    # Mostly a pitch apart (a lost glyph leaves a gap of two).
    ratio = steps / pitch
    if np.count_nonzero(np.abs(ratio - np.round(ratio)) < 0.25) < 0.7 * len(ratio):
        return None
    # v = offset + slope u, by least squares about the means.
    du = u - u.mean()
    slope = float((du * (v - v.mean())).sum() / max(float((du * du).sum()), 1e-9))
    offset = float(v.mean()) - slope * float(u.mean())
    return _Row(float(u[0]), float(u[-1]), (offset, slope), pitch, float(np.median(size)),
                len(u))


def _v_at(row, u):
    return row.v[0] + row.v[1] * u


def _join(rows):
    """Rows joined where one continues another across a gap of a few glyphs."""
    rows = sorted(rows, key=lambda row: row.u0)
    joined = True
    while joined:
        joined = False
        for a in rows:
            for b in rows:
                if a is b:
                    continue
                gap = b.u0 - a.u1
                pitch = max(a.pitch, b.pitch)
                if (0 < gap < 4.5 * pitch and abs(a.pitch - b.pitch) < 0.25 * pitch
                        and abs(_v_at(a, b.u0) - _v_at(b, b.u0)) < 0.3 * max(a.size, b.size)):
                    members = a.members + b.members
                    slope = (a.v[1] * a.members + b.v[1] * b.members) / members
                    middle = (a.u0 + b.u1) / 2
                    v_middle = (_v_at(a, middle) + _v_at(b, middle)) / 2
                    rows.remove(a)
                    rows.remove(b)
                    rows.append(_Row(a.u0, b.u1, (v_middle - slope * middle, slope),
                                     (a.pitch * a.members + b.pitch * b.members) / members,
                                     max(a.size, b.size), members))
                    rows.sort(key=lambda row: row.u0)
                    joined = True
                    break
            if joined:
                break
    return rows


def _span(row):
    """How many character positions the row covers."""
    return int(round((row.u1 - row.u0) / row.pitch)) + 1


def _candidates(rows, theta, scale):
    """Candidates from the rows of one direction: each long row, with the rows stacked with it
    at the zone's line pitch."""
    low, high = ROW_LENGTHS
    long = [row for row in rows if row.members >= MIN_ROW and low <= _span(row) <= high]
    long.sort(key=lambda row: _v_at(row, (row.u0 + row.u1) / 2))
    c, s = math.cos(theta), math.sin(theta)
    found = []
    for index, row in enumerate(long):
        group = [row]
        for other in long[index + 1:]:
            last = group[-1]
            middle = (other.u0 + other.u1) / 2
            step = _v_at(other, middle) - _v_at(last, middle)
            pitch = max(other.pitch, last.pitch)
            overlap = min(last.u1, other.u1) - max(last.u0, other.u0)
            if (LINE_PITCH[0] * pitch < step < LINE_PITCH[1] * pitch
                    and abs(other.pitch - last.pitch) < 0.2 * pitch
                    and overlap > 0.5 * (other.u1 - other.u0)):
                group.append(other)
                if len(group) == 3:
                    break
            elif step >= LINE_PITCH[1] * pitch:
                break
        u0 = min(r.u0 for r in group)
        u1 = max(r.u1 for r in group)
        middle = (u0 + u1) / 2
        v_top = _v_at(group[0], middle)
        v_bottom = _v_at(group[-1], middle)
        size = max(r.size for r in group)
        pitch = float(np.median([r.pitch for r in group]))
        slope = float(np.mean([r.v[1] for r in group]))
        # The rows' own slope refines the direction's whole degree.
        angle = theta + math.atan(slope)
        ux, uy = math.cos(angle), math.sin(angle)
        vm = (v_top + v_bottom) / 2
        cx, cy = middle * c - vm * s, middle * s + vm * c
        length = u1 - u0 + pitch
        width = v_bottom - v_top + 1.2 * size
        score = sum(r.members for r in group) + (40 if len(group) > 1 else 0)
        found.append(Candidate(((cx + 0.5) * scale - 0.5, (cy + 0.5) * scale - 0.5), (ux, uy),
                               length * scale, width * scale, pitch * scale, float(score)))
    return found
