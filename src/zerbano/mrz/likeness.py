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
# The odds by which a decisive match moves the posterior.
ODDS = 30.0
# Pixels a pattern may be shifted by to match (cells are placed to a pixel or so).
SHIFT = 1


def settle(cells, posteriors, admitted):
    """Posteriors revised by the zone's sure cells.

    cells: uint8 (n, CELL_H, CELL_W), the zone's cells in reading order; posteriors: (n, 37)
    float; admitted: (n, 37) bool, the symbols each cell's field admits. Returns a new
    (n, 37) array. A cell that is not itself sure, and that matches the sure cells of one
    symbol (SAME or better) clearly better than those of the symbol it was read as, has that
    symbol's odds raised by ODDS: a doubt is settled, or a sure misreading made doubtful.
    """
    posteriors = np.array(posteriors, dtype=np.float64)
    within = posteriors * admitted
    mass = within.sum(axis=1)
    best = within.argmax(axis=1)
    # Patterns come from fields that admit digits or letters, not both: there the field has
    # already told `0` from `O`, and the classifier only the rest.
    typed = ~(admitted[:, :10].any(axis=1) & admitted[:, 10:36].any(axis=1))
    sure = typed & (within[np.arange(len(best)), best] >= SURE * np.maximum(mass, 1e-12))
    if not sure.any() or sure.all():
        return posteriors
    patterns = _shifted(cells[sure])
    labels = best[sure]
    symbols = np.unique(labels)
    for index in np.flatnonzero(~sure):
        likeness = _best_match(_normalised(cells[index][SHIFT:-SHIFT, SHIFT:-SHIFT]), patterns)
        scores = {int(symbol): float(likeness[labels == symbol].max()) for symbol in symbols}
        read = int(posteriors[index].argmax())
        match = max(scores, key=scores.get)
        # Against the symbol read, or where the match is the symbol read, against the best
        # other symbol the zone shows.
        other = scores.get(read, -1.0) if match != read else max(
            (score for symbol, score in scores.items() if symbol != read), default=-1.0)
        if scores[match] >= SAME and scores[match] - other >= MARGIN:
            row = posteriors[index]
            row[match] *= ODDS
            row /= row.sum()
    return posteriors


def _normalised(crop):
    vector = 255.0 - crop.astype(np.float64).ravel()
    vector -= vector.mean()
    return vector / max(float(np.linalg.norm(vector)), 1e-6)


def _shifted(cells):
    """(m, shifts, pixels): each pattern's interior, shifted by up to SHIFT each way."""
    height, width = glyphs.CELL_H - 2 * SHIFT, glyphs.CELL_W - 2 * SHIFT
    out = []
    for dy in range(-SHIFT, SHIFT + 1):
        for dx in range(-SHIFT, SHIFT + 1):
            crops = cells[:, SHIFT + dy:SHIFT + dy + height, SHIFT + dx:SHIFT + dx + width]
            vectors = 255.0 - crops.reshape(len(cells), -1).astype(np.float64)
            vectors -= vectors.mean(axis=1, keepdims=True)
            vectors /= np.maximum(np.linalg.norm(vectors, axis=1, keepdims=True), 1e-6)
            out.append(vectors)
    return np.stack(out, axis=1)


def _best_match(vector, patterns):
    """Each pattern's best correlation with `vector` over its shifts."""
    return (patterns @ vector).max(axis=1)
