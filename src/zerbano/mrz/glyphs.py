"""Recognises the zone's characters with the OCR-B classifier shipped beside this file.

A line of the zone reaches this unit already resampled to the canonical strip: ``CELL_H`` rows,
``CELL_W`` columns a character, the glyphs' common baseline on row ``BASELINE``, so that the
cells are a fixed grid and need no search. :func:`classify` gives, for each cell, the posterior
probability of each of the 37 symbols.

The model (``ocrb-glyphs.npz``) is built from the font by ``tools/build_glyph_model.py``: a
perceptron with one hidden layer over the normalised cell, its scores scaled by a temperature
fitted on renderings kept out of the fit, so that the posteriors are calibrated there: of the
characters read with a posterior of 0.9, about nine in ten were right.
"""

import functools
import importlib.resources
import io

import numpy as np

SYMBOLS = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ<"

# The canonical cell, in pixels of the strip: one character's advance is CELL_W wide; the
# baseline (the bottom of the digits and capitals) lies at y = BASELINE, y growing downwards.
CELL_W = 16
CELL_H = 24
BASELINE = 20.0

MODEL_FILE = "ocrb-glyphs.npz"


@functools.cache
def load_model():
    """The model's layers: ``w1`` (CELL_H*CELL_W, hidden), ``b1``, ``w2`` (hidden, 37), ``b2``."""
    data = importlib.resources.files(__package__).joinpath(MODEL_FILE).read_bytes()
    with np.load(io.BytesIO(data)) as npz:
        geometry = tuple(npz["geometry"].tolist())
        if geometry != (CELL_W, CELL_H, BASELINE):
            raise RuntimeError(f"{MODEL_FILE} was built for cells {geometry}, not "
                               f"{(CELL_W, CELL_H, BASELINE)}: rebuild it")
        return tuple(npz[name].astype(np.float32) for name in ("w1", "b1", "w2", "b2"))


def features(strip):
    """Cell vectors of a canonical strip.

    strip: uint8 array (CELL_H, n * CELL_W), dark ink on a light ground.
    Returns a float32 array (n, CELL_H * CELL_W): each cell inverted (ink high), its mean
    removed and scaled to unit length, so that neither the light nor the contrast counts.
    """
    height, width = strip.shape
    n = width // CELL_W
    cells = strip[:, :n * CELL_W].reshape(height, n, CELL_W).transpose(1, 0, 2)
    vectors = 255.0 - cells.reshape(n, height * CELL_W).astype(np.float32)
    vectors -= vectors.mean(axis=1, keepdims=True)
    norms = np.sqrt((vectors * vectors).sum(axis=1, keepdims=True))
    vectors /= np.maximum(norms, 1e-3)
    return vectors


def posteriors(vectors):
    """Posterior probabilities (n, 37) of the symbols, in the order of ``SYMBOLS``."""
    import cv2

    w1, b1, w2, b2 = load_model()
    # OpenCV's own product: numpy's goes to a threaded BLAS, whose threads cost ten times the
    # work on matrices this small (and more on a busy machine).
    hidden = cv2.gemm(np.ascontiguousarray(vectors, np.float32), w1, 1.0, None, 0.0)
    hidden += b1
    np.maximum(hidden, 0, out=hidden)
    scores = cv2.gemm(hidden, w2, 1.0, None, 0.0)
    scores += b2
    scores -= scores.max(axis=1, keepdims=True)
    np.exp(scores, out=scores)
    scores /= scores.sum(axis=1, keepdims=True)
    return scores


def classify(strip):
    """Posteriors (n, 37) of the cells of a canonical strip (see :func:`features`)."""
    return posteriors(features(strip))
