"""Cells that look alike are read alike: a zone's own glyphs settle the classifier's doubts.

A zone is printed in one font by one printer: every `0` in it looks like every other `0`,
and unlike its `O`. The classifier, which knows glyphs from many prints, can waver between
two symbols for a cell (OCR-B's `0` and `O` differ little at a few pixels) where the zone
itself holds the answer: a cell it is sure of, whose symbol its field admits, that looks
just like the doubtful one. A date's `0` is a `0` whatever the classifier's doubts; a
document number's doubtful `0/O` that matches it pixel for pixel is one too.

:func:`settle` raises the odds of the symbol whose sure cells a cell matches, where it
matches them clearly better than any other symbol's.
"""

import math

import numpy as np

from . import glyphs

# A cell is sure (a pattern for the others) where its field admits digits or letters, not
# both, and its symbol has at least this posterior among the symbols its field admits.
SURE = 0.99
# Two cells are the same glyph where their normalised correlation reaches this (the same
# symbol within a zone: median 0.96, 5th percentile 0.87; `0` against `O`: median 0.73, 99th
# percentile 0.88), and the match decides where it beats the other symbol's by MARGIN.
SAME = 0.92
MARGIN = 0.06
# Symbols a doubtful cell may be matched to: its first few choices.
CHOICES = 5
# A cell whose match with another symbol's patterns reaches this, within MARGIN of its own
# symbol's, is one the zone cannot vouch for (the same symbol: 5th percentile 0.87).
NEAR = 0.85
# Patterns kept of each symbol, the surest first.
PATTERNS = 6
# The odds by which a decisive match moves the posterior grow with its margin: e^(STRENGTH
# margin), 20 at the least margin, 150 at 0.1 (the same symbol against another: median
# correlations 0.96 and 0.73), at most MAX_ODDS.
STRENGTH = 50.0
MAX_ODDS = 1e4
# Pixels a pattern may be shifted by to match (cells are placed to a pixel or so).
SHIFT = 1


def settle(cells, posteriors, admitted):
    """Posteriors revised by the zone's sure cells.

    cells: uint8 (n, CELL_H, CELL_W), the zone's cells in reading order; posteriors: (n, 37)
    float; admitted: (n, 37) bool, the symbols each cell's field admits. Returns a new
    (n, 37) array. A cell that is not itself sure, and that matches the sure cells of one
    symbol (SAME or better) clearly better than those of the symbol it was read as, has that
    symbol's odds raised, the more the clearer the match: a doubt is settled, or a sure
    misreading made doubtful.
    """
    posteriors = np.array(posteriors, dtype=np.float64)
    matched = _matches(cells, posteriors, admitted)
    if matched is None:
        return posteriors
    doubtful, symbols, scores = matched
    for row, index in enumerate(doubtful):
        read = int(posteriors[index].argmax())
        ranked = np.argsort(-scores[row])
        match = int(symbols[ranked[0]])
        # Against the symbol read, or where the match is the symbol read, against the best
        # other symbol the zone shows.
        if match != read:
            other = scores[row, symbols == read].max() if (symbols == read).any() else -1.0
        else:
            other = scores[row, ranked[1]] if len(ranked) > 1 else -1.0
        margin = scores[row, ranked[0]] - other
        if scores[row, ranked[0]] >= SAME and margin >= MARGIN:
            posteriors[index, match] *= min(MAX_ODDS, math.exp(STRENGTH * margin))
            posteriors[index] /= posteriors[index].sum()
    return posteriors


def undecided(cells, posteriors, admitted, reported):
    """bool (n,): the cells the zone's sure cells cannot vouch for as `reported` (n symbol
    indices): cells not sure themselves that look about as much like the sure cells of
    another symbol their field admits (NEAR or more, within MARGIN) as like those of the
    symbol reported, or, where the zone has no sure cell of that symbol, just like another's
    (SAME or more). OCR-B's `0` and `O` at a few pixels can be such a cell, which neither
    classifier should then decide alone."""
    result = np.zeros(len(cells), bool)
    matched = _matches(cells, np.asarray(posteriors, np.float64), admitted)
    if matched is None:
        return result
    doubtful, symbols, scores = matched
    for row, index in enumerate(doubtful):
        own = symbols == reported[index]
        mine = scores[row, own].max() if own.any() else -1.0
        other = scores[row, ~own].max() if (~own).any() else -1.0
        # Without sure cells of its own symbol, only a cell that looks just like another
        # symbol's (as a symbol's cells look like each other) is in question.
        result[index] = other >= (NEAR if own.any() else SAME) and other > mine - MARGIN
    return result


def _matches(cells, posteriors, admitted):
    """(doubtful cells, symbols, scores): each cell not sure itself, and its best
    correlation with the sure cells of each symbol its first choices may be (-1 where its
    field does not admit the symbol); None where the zone has no sure cells or no others."""
    within = posteriors * admitted
    mass = within.sum(axis=1)
    best = within.argmax(axis=1)
    # Patterns come from fields that admit digits or letters, not both: there the field has
    # already told `0` from `O`, and the classifier only the rest.
    typed = ~(admitted[:, :10].any(axis=1) & admitted[:, 10:36].any(axis=1))
    sure = typed & (within[np.arange(len(best)), best] >= SURE * np.maximum(mass, 1e-12))
    if not sure.any() or sure.all():
        return None
    doubtful = np.flatnonzero(~sure)
    # Patterns of the symbols the doubtful cells may be (their first CHOICES choices), the
    # surest few of each: a zone holds dozens of fillers.
    wanted = np.unique(np.argsort(-posteriors[doubtful], axis=1)[:, :CHOICES])
    certainty = np.where(sure, within[np.arange(len(best)), best], -1.0)
    chosen, starts, symbols = [], [], []
    for symbol in np.intersect1d(wanted, best[sure]):
        of_symbol = np.flatnonzero(sure & (best == symbol))
        starts.append(len(chosen))
        symbols.append(symbol)
        chosen.extend(of_symbol[np.argsort(-certainty[of_symbol])[:PATTERNS]])
    if not chosen:
        return None
    patterns = _shifted(cells[chosen])
    symbols = np.array(symbols)
    # Each doubtful cell's best correlation with each symbol's patterns, over their shifts.
    vectors = _vectors(cells[doubtful, SHIFT:-SHIFT, SHIFT:-SHIFT])
    # numpy's own loops, not a BLAS: a threaded BLAS (numpy's, or OpenCV's gemm, which calls
    # it) sums in an order that depends on its threads, and a reading must come out the same
    # in a worker started with one thread as in the caller; on matrices this small the
    # loops cost a fraction of a millisecond.
    columns = patterns.reshape(-1, patterns.shape[-1])
    likeness = np.einsum("ij,kj->ik", vectors, columns).reshape(
        len(doubtful), len(chosen), -1).max(axis=2)
    # The patterns come symbol by symbol: each symbol's best is the most of its run.
    scores = np.maximum.reduceat(likeness, starts, axis=1)
    # A cell is matched only to the symbols its field admits.
    return doubtful, symbols, np.where(admitted[doubtful][:, symbols], scores, -1.0)


def _vectors(crops):
    """Each crop inverted, its mean removed and scaled to unit length, as a row."""
    pixels = crops.shape[-2] * crops.shape[-1]
    vectors = 255.0 - crops.reshape(-1, pixels).astype(np.float32)
    vectors -= vectors.mean(axis=1, keepdims=True)
    return vectors / np.maximum(np.sqrt((vectors * vectors).sum(axis=1, keepdims=True)), 1e-6)


def _shifted(cells):
    """(m, shifts, pixels): each pattern's interior, shifted by up to SHIFT each way."""
    height, width = glyphs.CELL_H - 2 * SHIFT, glyphs.CELL_W - 2 * SHIFT
    # (m, shifts down, shifts across, height, width), the shifts from -SHIFT to SHIFT.
    windows = np.lib.stride_tricks.sliding_window_view(cells, (height, width), axis=(1, 2))
    return _vectors(windows).reshape(len(cells), (2 * SHIFT + 1) ** 2, height * width)
