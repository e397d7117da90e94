"""Builds the OCR-B glyph model that zerbano.mrz reads the zone with.

    python tools/build_glyph_model.py [--jobs 2] [--check | --verify]

Needs zerbano, Pillow, OpenCV, PyTorch's CPU build and the onnx package its exporter uses
(``pip install torch==2.13.0 onnx``; the tool's own, never the package's: at run time the
model is read by OpenCV's dnn module). ``--jobs 2`` trains the two models side by side.

Renders the 37 symbols of the zone from Debian's OCR-B (fonts-ocr-b, public domain: its round
and its sharp cut) the way real documents and cameras show them, far beyond one clean
rendering: stroke weights from hairline to ink spread, glyphs taller or shorter against their
pitch, a little wider or narrower, slanted, warped a little, each glyph off its cell (tracking
and jitter), neighbours (runs of fillers among them), guilloche, texture and uneven light
behind them, strokes across them (stamps, signatures, perforations), 7 to 36 pixels a
character, blur, motion blur, noise and JPEG. Each rendering is resampled into the reader's
canonical cell with the errors the reader's own geometry makes. Two small convolutional
networks (three 3x3 convolutions, two poolings, two dense layers) are trained on renderings of
their own with PyTorch: the reader's, and a second opinion that must agree before a zone is
called valid. Each has its scores scaled by a temperature fitted on renderings kept out of the
fit (so that its posteriors are calibrated there) and is written as ONNX beside the reader
(``ocrb-glyphs.onnx``, ``ocrb-glyphs-second.onnx``), with ``ocrb-glyphs.json``: every input
(the fonts' sha256, the libraries, every parameter) and each model's errors on the held-out
renderings.

The same bytes on every run with the same libraries: every draw comes from seeded generators,
OpenCV and PyTorch run on one thread, PyTorch's deterministic algorithms only. ``--check``
builds into memory and exits 1 if the shipped files differ (about twenty minutes on one core,
ten with ``--jobs 2``); ``--verify`` makes the held-out renderings again and exits 1 unless the
shipped model scores them as its record says (a few seconds), so that CI ties the model to the
tool.
"""

import os

# One thread everywhere: the sums run in one order, so the weights come out the same bytes.
for _name in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_name] = "1"

import argparse  # noqa: E402
import hashlib  # noqa: E402
import io  # noqa: E402
import json  # noqa: E402
import pathlib  # noqa: E402
import sys  # noqa: E402

import cv2  # noqa: E402
import numpy as np  # noqa: E402
from PIL import Image, ImageDraw, ImageFont  # noqa: E402

from zerbano.mrz.glyphs import (  # noqa: E402
    BASELINE, CELL_H, CELL_W, MODEL_FILES, RECORD_FILE, SYMBOLS, features)

ROOT = pathlib.Path(__file__).resolve().parent.parent
OUT = ROOT / "src" / "zerbano" / "mrz"
# Debian's fonts-ocr-b: OCR-B in its round and its sharp cut. (Monospaced faces that are not
# OCR-B were tried as a share of the renderings: their dotted and slashed zeros taught the
# model that a plain zero may be an O, and it misread real zones' zeros.)
FONTS = {
    "OCRB.otf": pathlib.Path("/usr/share/fonts/opentype/ocr-b/OCRB.otf"),
    "OCRBS.otf": pathlib.Path("/usr/share/fonts/opentype/ocr-b/OCRBS.otf"),
}

PARAMS = {
    "seed": 21,
    "fonts": [["OCRB.otf", 0.6], ["OCRBS.otf", 0.4]],   # each with its share of the renderings
    "master_pitch": 96,               # pixels a character when rendering
    # stroke weights: pitches added a side, hairline to blotted
    "weights": [-0.08, -0.05, -0.025, 0.0, 0.025, 0.05, 0.08, 0.11, 0.14],
    "aspect": [0.8, 1.2],             # glyph height over the font's, at the same pitch
    "width": [0.94, 1.06],            # glyph width over its height's share
    "shear": 0.12,                    # slant, horizontal shift per unit of height
    "rotation_deg": 3.0,
    "jitter": [0.08, 0.06],           # neighbours off their cells (pitches): along, across
    "elastic": 0.025,                 # smooth warp of the glyphs (pitches)
    "camera_pitch": [7.0, 36.0],      # pixels a character on the camera, log-uniform
    "blur_sigma": [0.25, 1.6],        # camera pixels
    "blur_cap": [0.7, 0.05],          # at most a + b a pixel of pitch
    "motion_share": 0.15,
    "noise_sigma": [0.0, 10.0],       # grey levels
    "contrast": [40, 220],            # ground minus ink, grey levels
    "jpeg_share": 0.6,
    "jpeg_quality": [35, 95],
    "ground_share": 0.6,              # guilloche, texture or speckle behind the glyphs
    "stamp_share": 0.15,              # a stroke crossing the cell: a stamp, a signature
    "stamp_darkness": [0.15, 0.8],    # of the ink's contrast
    "dotted_share": 0.3,              # of those strokes, a chain of dots (a perforation)
    "no_neighbour": 0.1,              # share of sides with no neighbouring glyph
    "filler_neighbour": 0.3,          # share of neighbours that are fillers
    "position_error": 0.12,           # the reader's cell, off the glyph (pitches)
    "baseline_error": 0.07,
    "scale_error": 0.06,
    "angle_error_deg": 1.2,
    "train_per_symbol": 5000,
    "holdout_per_symbol": 100,
    "channels": [16, 32, 64],
    "dense": 128,
    "epochs": 14,
    "batch": 128,
    "learning_rate": 0.002,
    "weight_decay": 0.00001,
}


# --- Renderings ----------------------------------------------------------------------------

# Bands of camera pitch (pixels a character) for the held-out error.
PITCH_BANDS = ((7, 10), (10, 14), (14, 20), (20, 36))


def render_masters(params):
    """Ink masks (float32, 0..1) of each symbol alone in each font, one per stroke weight.

    Returns (masters, baseline, left): masters[font][symbol][weight] is an array in which the
    glyph's advance starts at column `left` and its base line is row `baseline`; each font is
    drawn at the size that makes its advance the master pitch.
    """
    pitch = params["master_pitch"]
    pad = int(0.2 * pitch)
    baseline = round(1.2 * pitch)
    masters = []
    for name, _ in params["fonts"]:
        font = ImageFont.truetype(str(FONTS[name]), 100.0)
        font = ImageFont.truetype(str(FONTS[name]), 100.0 * pitch / font.getlength("0"))
        by_symbol = []
        for symbol in SYMBOLS:
            image = Image.new("L", (pitch, int(1.6 * pitch)), 0)
            ImageDraw.Draw(image).text((0, baseline), symbol, font=font, fill=255, anchor="ls")
            ink = np.pad(np.asarray(image, np.uint8), pad)
            variants = []
            for weight in params["weights"]:
                radius = int(round(abs(weight) * pitch))
                if radius:
                    kernel = cv2.getStructuringElement(cv2.MORPH_ELLIPSE,
                                                       (2 * radius + 1, 2 * radius + 1))
                    variant = (cv2.dilate if weight > 0 else cv2.erode)(ink, kernel)
                else:
                    variant = ink
                variants.append(variant.astype(np.float32) / 255.0)
            by_symbol.append(variants)
        masters.append(by_symbol)
    return masters, baseline + pad, pad


def _log_uniform(rng, low, high):
    return float(np.exp(rng.uniform(np.log(low), np.log(high))))


def _print(rng, masters, baseline, left, label, params, scale):
    """The cell's glyph and its neighbours as ink (float32) at `scale` px a master px.

    Returns (ink, (x, y)): the ink and the centre of the glyph's cell on its base line.
    """
    pitch = params["master_pitch"]
    shares = np.array([share for _, share in params["fonts"]], np.float64)
    face = masters[int(rng.choice(len(shares), p=shares / shares.sum()))]
    weight = int(rng.integers(len(params["weights"])))
    aspect = rng.uniform(*params["aspect"])
    width = aspect * rng.uniform(*params["width"])
    shear = rng.uniform(-1, 1) * params["shear"]
    strip_w, strip_h = int(3 * pitch * scale) + 2, int(1.6 * pitch * scale) + 2
    ink = np.zeros((strip_h, strip_w), np.float32)
    base_y = 1.15 * pitch * scale
    for slot in (-1, 0, 1):
        if slot == 0:
            symbol = label
        elif rng.uniform() < params["no_neighbour"]:
            continue
        elif rng.uniform() < params["filler_neighbour"]:
            symbol = SYMBOLS.index("<")
        else:
            symbol = int(rng.integers(len(SYMBOLS)))
        # The cell's own glyph is placed half as far off its cell as its neighbours.
        jitter = rng.uniform(-1, 1, 2) * np.array(params["jitter"]) * (1.0 if slot else 0.5)
        x_to, y_to = (1.5 + slot + jitter[0]) * pitch * scale, base_y + jitter[1] * pitch * scale
        sx, sy = width * scale, aspect * scale
        x_from = left + pitch / 2
        matrix = np.array([[sx, -shear * sy, x_to - sx * x_from + shear * sy * baseline],
                           [0.0, sy, y_to - sy * baseline]], np.float32)
        source = face[symbol][weight]
        if scale < 0.5:  # area averaging first, so that a small rendering does not alias
            shrink = max(2 * scale, 0.05)
            source = cv2.resize(source, None, fx=shrink, fy=shrink, interpolation=cv2.INTER_AREA)
            matrix[:, :2] /= shrink
        ink = np.maximum(ink, cv2.warpAffine(source, matrix, (strip_w, strip_h),
                                             flags=cv2.INTER_LINEAR))
    amplitude = rng.uniform(0, params["elastic"]) * pitch * scale
    if amplitude > 0:
        fields = [cv2.resize(rng.standard_normal((4, 6)).astype(np.float32), (strip_w, strip_h),
                             interpolation=cv2.INTER_CUBIC) * amplitude for _ in range(2)]
        ys, xs = np.mgrid[0:strip_h, 0:strip_w].astype(np.float32)
        ink = cv2.remap(ink, xs + fields[0], ys + fields[1], cv2.INTER_LINEAR)
    return ink, (1.5 * pitch * scale, base_y)


def _ground(rng, shape, params):
    """Guilloche, blotchy texture or speckle (0..1), or nothing."""
    height, width = shape
    if rng.uniform() >= params["ground_share"]:
        return np.zeros(shape, np.float32)
    kind = int(rng.integers(3))
    if kind == 0:
        ys, xs = np.mgrid[0:height, 0:width].astype(np.float32)
        angle = rng.uniform(0, np.pi)
        phase = ((xs * np.cos(angle) + ys * np.sin(angle)) / rng.uniform(2.0, 8.0)
                 + rng.uniform(0.5, 3) * np.sin(ys / rng.uniform(4, 20) + rng.uniform(0, 6)))
        return (np.sin(phase) > rng.uniform(0.6, 0.95)).astype(np.float32)
    if kind == 1:
        small = rng.random((max(2, height // 6), max(2, width // 6))).astype(np.float32)
        return cv2.resize(small, (width, height), interpolation=cv2.INTER_CUBIC)
    dots = (rng.random(shape) < rng.uniform(0.01, 0.08)).astype(np.float32)
    return cv2.GaussianBlur(dots, (0, 0), 0.8)


def _stroke(rng, shape, camera_pitch, params):
    """A stroke across the cell (0..1): a line or a bend through three points, solid or a
    chain of dots."""
    height, width = shape
    points = (rng.uniform(0, 1, (3, 2)) * [width, height]).astype(np.int32)
    thickness = max(1, int(camera_pitch * rng.uniform(0.05, 0.2)))
    stroke = np.zeros(shape, np.float32)
    if rng.uniform() < params["dotted_share"]:
        step = rng.uniform(0.15, 0.4) * camera_pitch
        for a, b in zip(points[:-1], points[1:]):
            count = max(1, int(np.hypot(*(b - a)) / step))
            for t in np.linspace(0, 1, count + 1):
                centre = tuple(int(v) for v in np.round(a + t * (b - a)))
                cv2.circle(stroke, centre, thickness, 1.0, -1)
    else:
        cv2.polylines(stroke, [points], False, 1.0, thickness)
    return stroke


def _motion_kernel(rng, length):
    kernel = np.zeros((length, length), np.float32)
    kernel[length // 2, :] = 1.0 / length
    middle = ((length - 1) / 2, (length - 1) / 2)
    kernel = cv2.warpAffine(kernel, cv2.getRotationMatrix2D(middle, rng.uniform(0, 180), 1.0),
                            (length, length))
    return kernel / max(float(kernel.sum()), 1e-6)


def sample(rng, masters, baseline, left, label, params):
    """One canonical cell (uint8, CELL_H x CELL_W) of `label` as a document and camera show
    it and the reader's geometry cuts it, and the camera's pitch (pixels a character)."""
    pitch = params["master_pitch"]
    camera_pitch = _log_uniform(rng, *params["camera_pitch"])
    # Drawn finer than the camera, then taken to it by area.
    scale = (4.0 if camera_pitch < 24 else 2.0) * camera_pitch / pitch
    ink, (cx, cy) = _print(rng, masters, baseline, left, label, params, scale)
    angle = np.radians(rng.uniform(-1, 1) * params["rotation_deg"])
    k = camera_pitch / (pitch * scale)
    height, width = ink.shape
    cam_w, cam_h = int(width * k) + 4, int(height * k) + 4
    shift = rng.uniform(0, 1, 2) + 1.0
    cos, sin = np.cos(angle) * k, np.sin(angle) * k
    to_camera = np.array([[cos, -sin, shift[0]], [sin, cos, shift[1]]])
    shrink = min(1.0, 2 * k)
    source = cv2.resize(ink, None, fx=shrink, fy=shrink, interpolation=cv2.INTER_AREA)
    matrix = to_camera.copy()
    matrix[:, :2] /= shrink
    camera = cv2.warpAffine(source, matrix, (cam_w, cam_h), flags=cv2.INTER_LINEAR)
    low, high = params["blur_sigma"]
    base, per_pixel = params["blur_cap"]
    sigma = rng.uniform(low, min(high, base + per_pixel * camera_pitch))
    camera = cv2.GaussianBlur(camera, (0, 0), sigma)
    if rng.uniform() < params["motion_share"]:
        length = max(2, round(rng.uniform(1, 0.1 * camera_pitch + 1)))
        camera = cv2.filter2D(camera, -1, _motion_kernel(rng, length))
    contrast = rng.uniform(*params["contrast"])
    gray = rng.uniform(min(contrast + 15, 250), 255) - contrast * np.clip(camera, 0, 1)
    gray -= _ground(rng, camera.shape, params) * rng.uniform(0.05, 0.35) * contrast
    ys, xs = np.mgrid[0:cam_h, 0:cam_w].astype(np.float32)
    gray += ((xs / cam_w - 0.5) * rng.uniform(-25, 25) + (ys / cam_h - 0.5) * rng.uniform(-25, 25))
    if rng.uniform() < params["stamp_share"]:
        gray -= _stroke(rng, gray.shape, camera_pitch, params) * (
            rng.uniform(*params["stamp_darkness"]) * contrast)
    gray += rng.normal(0, rng.uniform(*params["noise_sigma"]), gray.shape)
    shot = np.clip(gray + 0.5, 0, 255).astype(np.uint8)
    if rng.uniform() < params["jpeg_share"]:
        quality = int(rng.integers(*params["jpeg_quality"]))
        _, data = cv2.imencode(".jpg", shot, [cv2.IMWRITE_JPEG_QUALITY, quality])
        shot = cv2.imdecode(data, cv2.IMREAD_GRAYSCALE)

    # The reader's estimate of the cell: the true geometry with its typical errors.
    centre = to_camera @ np.array([cx, cy, 1.0])
    estimate = camera_pitch * (1 + rng.uniform(-1, 1) * params["scale_error"]) / CELL_W
    turn = angle + np.radians(rng.uniform(-1, 1) * params["angle_error_deg"])
    c, s = np.cos(turn) * estimate, np.sin(turn) * estimate
    origin = centre + np.array([rng.uniform(-1, 1) * params["position_error"],
                                rng.uniform(-1, 1) * params["baseline_error"]]) * camera_pitch
    # canonical (x, y) -> camera: the cell's centre on its base line goes to `origin`.
    mx, my = CELL_W / 2, BASELINE
    to_cell = np.array([[c, -s, origin[0] - (c * mx - s * my)],
                        [s, c, origin[1] - (s * mx + c * my)]])
    cell = cv2.warpAffine(shot, to_cell, (CELL_W, CELL_H),
                          flags=cv2.INTER_LINEAR | cv2.WARP_INVERSE_MAP,
                          borderMode=cv2.BORDER_REPLICATE)
    return cell, camera_pitch


def dataset(rng, rendered, per_symbol, params):
    """(inputs (n, 1, CELL_H, CELL_W) float32, labels (n,), camera pitches (n,)) of
    `per_symbol` cells a symbol."""
    masters, baseline, left = rendered
    cells, labels, pitches = [], [], []
    for _ in range(per_symbol):
        for label in range(len(SYMBOLS)):
            cell, pitch = sample(rng, masters, baseline, left, label, params)
            cells.append(cell)
            labels.append(label)
            pitches.append(pitch)
    return inputs(np.concatenate(cells, axis=1)), np.array(labels), np.array(pitches)


def inputs(strip):
    """The network's input for a canonical strip: each cell's features as an image."""
    vectors = features(strip) * np.float32(np.sqrt(CELL_H * CELL_W))
    return vectors.reshape(-1, 1, CELL_H, CELL_W).astype(np.float32)


# --- The network ---------------------------------------------------------------------------

def network(params):
    import torch.nn as nn

    a, b, c = params["channels"]
    return nn.Sequential(
        nn.Conv2d(1, a, 3, padding=1), nn.ReLU(), nn.MaxPool2d(2),
        nn.Conv2d(a, b, 3, padding=1), nn.ReLU(), nn.MaxPool2d(2),
        nn.Conv2d(b, c, 3, padding=1), nn.ReLU(), nn.Flatten(),
        nn.Linear(c * (CELL_H // 4) * (CELL_W // 4), params["dense"]), nn.ReLU(),
        nn.Linear(params["dense"], len(SYMBOLS)))


def fit(model, x, y, params):
    """Adam on the softmax loss, one-cycle learning rate, batches in a seeded order."""
    import torch

    data, labels = torch.from_numpy(x), torch.from_numpy(y).long()
    optimiser = torch.optim.Adam(model.parameters(), lr=params["learning_rate"],
                                 weight_decay=params["weight_decay"])
    batch = params["batch"]
    steps = params["epochs"] * ((len(data) + batch - 1) // batch)
    schedule = torch.optim.lr_scheduler.OneCycleLR(optimiser, params["learning_rate"],
                                                   total_steps=steps)
    order = torch.Generator().manual_seed(params["seed"])
    for _ in range(params["epochs"]):
        model.train()
        permutation = torch.randperm(len(data), generator=order)
        for start in range(0, len(data), batch):
            index = permutation[start:start + batch]
            loss = torch.nn.functional.cross_entropy(model(data[index]), labels[index])
            optimiser.zero_grad()
            loss.backward()
            optimiser.step()
            schedule.step()
    model.eval()
    return model


def logits(model, x):
    import torch

    with torch.no_grad():
        return model(torch.from_numpy(x)).numpy().astype(np.float64)


def softmax(scores):
    scores = scores - scores.max(axis=1, keepdims=True)
    np.exp(scores, out=scores)
    return scores / scores.sum(axis=1, keepdims=True)


def temperature_for(scores, labels):
    """The temperature that minimises the held-out negative log-likelihood."""
    temperatures = np.exp(np.linspace(np.log(0.2), np.log(5.0), 97))
    loss = [-np.log(softmax(scores / t)[np.arange(len(labels)), labels] + 1e-30).mean()
            for t in temperatures]
    return float(temperatures[int(np.argmin(loss))])


def onnx_bytes(model, temperature):
    """The network as ONNX, its scores divided by `temperature` in its last layer."""
    import torch

    last = model[-1]
    with torch.no_grad():
        last.weight /= temperature
        last.bias /= temperature
    out = io.BytesIO()
    example = torch.zeros(1, 1, CELL_H, CELL_W)
    torch.onnx.export(model, example, out, input_names=["cells"], output_names=["scores"],
                      dynamic_axes={"cells": {0: "n"}, "scores": {0: "n"}}, opset_version=11,
                      dynamo=False)
    return out.getvalue()


def build(params=PARAMS, jobs=1):
    """{file name: bytes} of the two models trained anew and their record.

    The reader's model and the second opinion are trained alike on renderings of their own
    (seeds `seed` and `seed` + 1): their mistakes are their own, so that a character both
    read surely is unlikely to be misread by both. With `jobs` 2 they are trained side by
    side in two processes: each on one thread, as alone, so the bytes are the same.
    """
    cv2.setNumThreads(1)
    rendered = render_masters(params)
    held_out = holdout(params, rendered)
    roles = [(role, name, params["seed"] + offset)
             for offset, (role, name) in enumerate(MODEL_FILES.items())]
    jobs_args = [(params, rendered, held_out, name, seed) for _, name, seed in roles]
    if jobs > 1:
        import multiprocessing

        # forked before PyTorch is imported, so each child starts its own threads
        with multiprocessing.get_context("fork").Pool(min(jobs, len(roles))) as pool:
            trained = pool.starmap(_train_model, jobs_args)
    else:
        trained = [_train_model(*args) for args in jobs_args]
    files = {name: data for name, data, _ in trained}
    models = {role: entry for (role, _, _), (_, _, entry) in zip(roles, trained)}
    record = {
        "geometry": [CELL_W, CELL_H, BASELINE],
        "fonts_sha256": fonts_sha256(params),
        # the same bytes need the same rendering, resampling and arithmetic
        "libraries": library_versions(),
        "parameters": params,
        "models": models,
    }
    files[RECORD_FILE] = (json.dumps(record, indent=1) + "\n").encode()
    return files


def _train_model(params, rendered, held_out, name, seed):
    """(file name, ONNX bytes, record entry) of one model trained from `seed`."""
    import torch

    torch.set_num_threads(1)
    torch.use_deterministic_algorithms(True)
    cv2.setNumThreads(1)
    hx, hy, pitches = held_out
    torch.manual_seed(seed)
    x, y, _ = dataset(np.random.default_rng(seed), rendered, params["train_per_symbol"], params)
    model = fit(network(params), x, y, dict(params, seed=seed))
    del x, y
    temperature = temperature_for(logits(model, hx), hy)
    data = onnx_bytes(model, temperature)
    return name, data, {"file": name, "seed": seed, "temperature": round(temperature, 6),
                        **evaluation(data, hx, hy, pitches)}


def holdout(params, rendered=None):
    """The held-out renderings, from a generator of their own (so that they can be made
    again without the training set)."""
    rendered = rendered or render_masters(params)
    return dataset(np.random.default_rng([params["seed"], 1]), rendered,
                   params["holdout_per_symbol"], params)


def evaluation(model_bytes, hx, hy, pitches):
    """The model's errors on the held-out renderings, as OpenCV's dnn module (the reader's)
    runs it."""
    net = cv2.dnn.readNetFromONNX(np.frombuffer(model_bytes, np.uint8))
    net.setInput(hx)
    predicted = net.forward().reshape(len(hy), len(SYMBOLS)).argmax(axis=1)
    wrong = predicted != hy
    errors = {}
    for truth, guess in zip(hy[wrong], predicted[wrong]):
        key = SYMBOLS[truth] + ">" + SYMBOLS[guess]
        errors[key] = errors.get(key, 0) + 1
    return {
        "holdout_samples": int(len(hy)),
        "holdout_error": round(float(wrong.mean()), 6),
        # The renderings span hairline to blotted strokes, 7 px characters under blur: many
        # of the smallest are not legible at all.
        "holdout_error_by_pitch": {
            f"{low:g}-{high:g} px": round(float(wrong[(pitches >= low) & (pitches < high)].mean()),
                                          6)
            for low, high in PITCH_BANDS},
        "holdout_confusions": dict(sorted(errors.items(), key=lambda kv: (-kv[1], kv[0]))[:40]),
    }


def verify(params=PARAMS):
    """The differences between the shipped models' record and what this tool makes of its
    inputs: the fonts, the parameters, and each shipped model's errors on the held-out
    renderings made again (a few seconds; retraining is ``--check``)."""
    cv2.setNumThreads(1)
    shipped = json.loads((OUT / RECORD_FILE).read_text())
    hx, hy, pitches = holdout(params)
    expected = {"geometry": [CELL_W, CELL_H, BASELINE], "fonts_sha256": fonts_sha256(params),
                "parameters": json.loads(json.dumps(params))}
    differ = [key for key, value in expected.items() if shipped.get(key) != value]
    for role, name in MODEL_FILES.items():
        scores = evaluation((OUT / name).read_bytes(), hx, hy, pitches)
        recorded = shipped.get("models", {}).get(role, {})
        differ += [f"{role}: {key}" for key, value in scores.items() if recorded.get(key) != value]
    return differ


def fonts_sha256(params):
    return {name: hashlib.sha256(FONTS[name].read_bytes()).hexdigest()
            for name, _ in params["fonts"]}


def rendering_libraries():
    """The releases the renderings (and the model's scores) depend on."""
    import PIL

    return {"numpy": np.__version__, "opencv": cv2.__version__, "pillow": PIL.__version__}


def library_versions():
    import torch

    return {**rendering_libraries(), "torch": torch.__version__}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--check", action="store_true",
                      help="exit 1 if the shipped model differs from what this tool builds")
    mode.add_argument("--verify", action="store_true",
                      help="exit 1 unless the shipped model scores the held-out renderings "
                           "as its record says, from the record's fonts and parameters")
    parser.add_argument("--jobs", type=int, default=1, choices=(1, 2),
                        help="train the two models side by side in two processes")
    args = parser.parse_args(argv)
    if args.verify:
        differ = verify()
        print("differs from the record: " + ", ".join(differ) if differ
              else "the shipped model scores the held-out renderings as its record says")
        return 1 if differ else 0
    targets = {OUT / name: data for name, data in build(jobs=args.jobs).items()}
    if args.check:
        stale = [p.name for p, data in targets.items() if not p.exists() or p.read_bytes() != data]
        print("stale: " + ", ".join(stale) if stale else "the shipped model is up to date")
        return 1 if stale else 0
    for path, data in targets.items():
        path.write_bytes(data)
    print(targets[OUT / RECORD_FILE].decode(), end="")
    return 0


if __name__ == "__main__":
    sys.exit(main())
