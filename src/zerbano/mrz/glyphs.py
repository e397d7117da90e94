"""Recognises the zone's characters with the OCR-B classifier shipped beside this file.

A line of the zone reaches this unit already resampled to the canonical strip: ``CELL_H`` rows,
``CELL_W`` columns a character, the glyphs' common baseline on row ``BASELINE``, so that the
cells are a fixed grid and need no search. :func:`classify` gives, for each cell, the posterior
probability of each of the 37 symbols.

The model (``ocrb-glyphs.onnx``) is built from the font by ``tools/build_glyph_model.py``: a
small convolutional network over the normalised cell, trained on renderings varied far
beyond one clean print (stroke weight, proportions, slant, warps, jitter, grounds, blur,
noise, JPEG), its scores scaled by a temperature fitted on renderings kept out of the fit,
so that the posteriors are calibrated there. A second model, trained alike on renderings of
its own, gives :func:`second_opinion`. OpenCV's dnn module runs both; each thread has
networks of its own (a network is not safe to run from two threads at once).
"""

import functools
import importlib.resources
import json
import threading

import numpy as np

SYMBOLS = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ<"

# The canonical cell, in pixels of the strip: one character's advance is CELL_W wide; the
# baseline (the bottom of the digits and capitals) lies at y = BASELINE, y growing downwards.
CELL_W = 16
CELL_H = 24
BASELINE = 20.0

# The reader's model, and a second opinion trained alike on renderings of its own: a zone is
# called valid only where both read its unchecked characters surely.
MODEL_FILES = {"reader": "ocrb-glyphs.onnx", "second": "ocrb-glyphs-second.onnx"}
RECORD_FILE = "ocrb-glyphs.json"

_local = threading.local()


@functools.cache
def model_bytes(role="reader"):
    """A model's ONNX bytes, once its record has shown it was built for these cells."""
    files = importlib.resources.files(__package__)
    record = json.loads(files.joinpath(RECORD_FILE).read_text())
    geometry = tuple(record["geometry"])
    if geometry != (CELL_W, CELL_H, BASELINE):
        raise RuntimeError(f"{MODEL_FILES[role]} was built for cells {geometry}, not "
                           f"{(CELL_W, CELL_H, BASELINE)}: rebuild it")
    return files.joinpath(MODEL_FILES[role]).read_bytes()


def _network(role):
    """This thread's network for `role`."""
    nets = getattr(_local, "nets", None)
    if nets is None:
        nets = _local.nets = {}
    if role not in nets:
        import cv2

        nets[role] = cv2.dnn.readNetFromONNX(np.frombuffer(model_bytes(role), np.uint8))
    return nets[role]


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


def posteriors(vectors, role="reader"):
    """Posterior probabilities (n, 37) of the symbols, in the order of ``SYMBOLS``."""
    cells = (vectors * np.float32(np.sqrt(CELL_H * CELL_W))).reshape(-1, 1, CELL_H, CELL_W)
    if not len(cells):
        return np.zeros((0, len(SYMBOLS)), np.float32)
    net = _network(role)
    net.setInput(np.ascontiguousarray(cells, np.float32))
    scores = net.forward().reshape(len(cells), len(SYMBOLS)).astype(np.float32)
    scores -= scores.max(axis=1, keepdims=True)
    np.exp(scores, out=scores)
    scores /= scores.sum(axis=1, keepdims=True)
    return scores


def classify(strip):
    """Posteriors (n, 37) of the cells of a canonical strip (see :func:`features`)."""
    return posteriors(features(strip))


def second_opinion(strip):
    """The second model's posteriors (n, 37) of the cells of a canonical strip."""
    return posteriors(features(strip), "second")
