"""Builds the OCR-B glyph model that zerbano.mrz reads the zone with.

    python tools/build_glyph_model.py [--check]     (with zerbano, Pillow and OpenCV installed)

Renders the 37 symbols of the zone from Debian's OCR-B (fonts-ocr-b, public domain) the way a
camera sees them (8 to 34 pixels a character, stroke weight, rotation, sub-pixel shifts, blur,
motion blur, noise, contrast, JPEG), between random neighbours or none, resamples each into the
reader's canonical cell with the errors the reader's own geometry makes, and fits a small
perceptron (one hidden layer) with a temperature for calibrated posteriors. Writes, beside the
reader, ``ocrb-glyphs.npz`` (the same bytes on every run: seeded, one BLAS thread, no time
stamps) and ``ocrb-glyphs.json`` (the inputs: the font's sha256, every parameter, and the error
on renderings kept out of the fit). Takes a minute or two on one core.
``--check`` builds into memory and exits 1 if the shipped files differ.
"""

import os

# One BLAS thread: the sums run in one order, so the weights come out the same bytes on any machine
# with the same libraries.
os.environ["OPENBLAS_NUM_THREADS"] = "1"
os.environ["OMP_NUM_THREADS"] = "1"

import argparse  # noqa: E402
import hashlib
import io  # noqa: E402
import json  # noqa: E402
import pathlib  # noqa: E402
import sys  # noqa: E402
import zipfile  # noqa: E402

import cv2  # noqa: E402
import numpy as np  # noqa: E402
from PIL import Image, ImageDraw, ImageFont  # noqa: E402

from zerbano.mrz.glyphs import BASELINE, CELL_H, CELL_W, SYMBOLS, features  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
OUT = ROOT / "src" / "zerbano" / "mrz"
FONT = pathlib.Path("/usr/share/fonts/opentype/ocr-b/OCRB.otf")

PARAMS = {
    "seed": 16,
    "master_pitch": 128,           # pixels a character when rendering
    "weights": [-6, -3, 0, 3, 6],  # stroke weight changes at the master scale (pixels)
    "train_per_symbol": 1000,
    "holdout_per_symbol": 100,
    "camera_pitch": [8.0, 34.0],   # pixels a character on the camera, log-uniform
    "rotation_deg": 2.0,
    "no_neighbour": 0.1,           # share of sides with no neighbouring glyph
    "motion_share": 0.15,          # share of samples with motion blur
    "motion_per_pitch": 0.08,      # its longest length, pixels a character
    "blur_sigma": [0.2, 1.3],      # camera pixels
    "noise_sigma": [0.0, 10.0],    # grey levels
    "contrast": [50, 200],         # ground minus ink, grey levels
    "jpeg_quality": [45, 95],      # half the samples
    "position_error": 0.12,        # of a pitch, horizontally
    "baseline_error": 0.07,        # of a pitch
    "scale_error": 0.05,
    "angle_error_deg": 1.0,
    "hidden": 160,
    "epochs": 20,
    "batch": 128,
    "learning_rate": 0.002,
    "weight_decay": 0.0001,
}


def render_masters(font_path, params):
    """Ink masks (float32, 0..1) of each symbol centred in a 3-cell strip, one per weight."""
    pitch = params["master_pitch"]
    font = ImageFont.truetype(str(font_path), 100.0)
    size = 100.0 * pitch / font.getlength("0")
    font = ImageFont.truetype(str(font_path), size)
    height = int(1.5 * pitch)
    baseline = round(pitch * 1.15)
    masters = []
    for symbol in SYMBOLS:
        image = Image.new("L", (3 * pitch, height), 0)
        ImageDraw.Draw(image).text((pitch, baseline), symbol, font=font, fill=255, anchor="ls")
        ink = np.asarray(image, dtype=np.uint8)
        variants = []
        for weight in params["weights"]:
            if weight:
                kernel = cv2.getStructuringElement(cv2.MORPH_ELLIPSE,
                                                   (2 * abs(weight) + 1, 2 * abs(weight) + 1))
                op = cv2.dilate if weight > 0 else cv2.erode
                variant = op(ink, kernel)
            else:
                variant = ink
            variants.append(variant.astype(np.float32) / 255.0)
        masters.append(variants)
    return masters, baseline


def sample(rng, masters, baseline, label, params):
    """One canonical cell (uint8, CELL_H x CELL_W) of `label` as a camera and the reader see it."""
    pitch = params["master_pitch"]
    weight = rng.integers(len(params["weights"]))
    strip = masters[label][weight].copy()
    # Random neighbours, or none (the ends of a line).
    for side in (-1, 1):
        if rng.uniform() >= params["no_neighbour"]:
            neighbour = rng.integers(len(SYMBOLS))
            strip = np.maximum(strip, np.roll(masters[neighbour][weight], side * pitch, axis=1))
    strip[:, :pitch // 4] = 0
    strip[:, -(pitch // 4):] = 0

    low, high = params["camera_pitch"]
    camera_pitch = float(np.exp(rng.uniform(np.log(low), np.log(high))))
    scale = camera_pitch / pitch
    angle = np.radians(rng.uniform(-1, 1) * params["rotation_deg"])
    cos, sin = np.cos(angle) * scale, np.sin(angle) * scale
    cam_h = int(strip.shape[0] * scale) + 4
    cam_w = int(strip.shape[1] * scale) + 4
    shift = rng.uniform(0, 1, size=2) + 1.0
    to_camera = np.array([[cos, -sin, shift[0]], [sin, cos, shift[1]]])
    # Area averaging first, so that a small camera does not alias the master.
    pre = cv2.resize(strip, None, fx=2 * scale, fy=2 * scale, interpolation=cv2.INTER_AREA)
    to_pre = np.array([[2 * scale, 0, 0], [0, 2 * scale, 0], [0, 0, 1]])
    pre_to_camera = to_camera @ np.linalg.inv(to_pre)
    ink = cv2.warpAffine(pre, pre_to_camera[:2], (cam_w, cam_h), flags=cv2.INTER_LINEAR)
    sigma = rng.uniform(*params["blur_sigma"])
    ink = cv2.GaussianBlur(ink, (0, 0), sigma)
    if rng.uniform() < params["motion_share"]:
        length = max(2, round(rng.uniform(1, params["motion_per_pitch"] * camera_pitch + 1)))
        kernel = np.zeros((length, length), np.float32)
        kernel[length // 2, :] = 1.0 / length
        middle = ((length - 1) / 2, (length - 1) / 2)
        turn = cv2.getRotationMatrix2D(middle, rng.uniform(0, 180), 1.0)
        kernel = cv2.warpAffine(kernel, turn, (length, length))
        ink = cv2.filter2D(ink, -1, kernel / max(float(kernel.sum()), 1e-6))
    contrast = rng.uniform(*params["contrast"])
    ground = rng.uniform(contrast + 20, 250) if contrast < 230 else 250.0
    gray = ground - contrast * ink
    gray += rng.normal(0, rng.uniform(*params["noise_sigma"]), size=gray.shape)
    camera = np.clip(gray + 0.5, 0, 255).astype(np.uint8)
    if rng.uniform() < 0.5:
        quality = int(rng.integers(*params["jpeg_quality"]))
        ok, data = cv2.imencode(".jpg", camera, [cv2.IMWRITE_JPEG_QUALITY, quality])
        camera = cv2.imdecode(data, cv2.IMREAD_GRAYSCALE)

    # The reader's estimate of the cell: the true geometry with its typical errors.
    centre = np.array([1.5 * pitch, baseline, 1.0])
    centre_cam = to_camera @ centre
    est_pitch = camera_pitch * (1 + rng.uniform(-1, 1) * params["scale_error"])
    est_angle = angle + np.radians(rng.uniform(-1, 1) * params["angle_error_deg"])
    k = est_pitch / CELL_W
    c, s = np.cos(est_angle) * k, np.sin(est_angle) * k
    offset = np.array([rng.uniform(-1, 1) * params["position_error"],
                       rng.uniform(-1, 1) * params["baseline_error"]]) * camera_pitch
    origin = centre_cam + offset
    # canonical (x, y) -> camera: cell centre (CELL_W/2, BASELINE) goes to `origin`.
    cx, cy = CELL_W / 2, BASELINE
    to_cell = np.array([[c, -s, origin[0] - (c * cx - s * cy)],
                        [s, c, origin[1] - (s * cx + c * cy)]])
    return cv2.warpAffine(camera, to_cell, (CELL_W, CELL_H),
                          flags=cv2.INTER_LINEAR | cv2.WARP_INVERSE_MAP,
                          borderMode=cv2.BORDER_REPLICATE)


def dataset(rng, masters, baseline, per_symbol, params):
    cells = []
    labels = []
    for _ in range(per_symbol):
        for label in range(len(SYMBOLS)):
            cells.append(sample(rng, masters, baseline, label, params))
            labels.append(label)
    strip = np.concatenate(cells, axis=1)
    return features(strip).astype(np.float64), np.array(labels)


def fit(rng, x, y, params):
    """A one-hidden-layer perceptron (ReLU) trained with Adam on the softmax loss."""
    d, k, hidden = x.shape[1], len(SYMBOLS), params["hidden"]
    w1 = (rng.standard_normal((d, hidden)) * np.sqrt(2 / d)).astype(np.float32)
    w2 = (rng.standard_normal((hidden, k)) * np.sqrt(1 / hidden)).astype(np.float32)
    layers = [w1, np.zeros(hidden, np.float32), w2, np.zeros(k, np.float32)]
    first = [np.zeros_like(p) for p in layers]
    second = [np.zeros_like(p) for p in layers]
    x = x.astype(np.float32) * np.float32(np.sqrt(d))
    epochs, batch, decay = params["epochs"], params["batch"], params["weight_decay"]
    step = 0
    for epoch in range(epochs):
        rate = params["learning_rate"] * 0.5 * (1 + np.cos(np.pi * epoch / epochs))
        order = rng.permutation(len(x))
        for start in range(0, len(x), batch):
            chosen = order[start:start + batch]
            xb, yb = x[chosen], y[chosen]
            w1, b1, w2, b2 = layers
            hidden_in = xb @ w1 + b1
            active = np.maximum(hidden_in, 0)
            p = softmax(active @ w2 + b2)
            p[np.arange(len(yb)), yb] -= 1
            p /= len(yb)
            grad_active = p @ w2.T
            grad_active[hidden_in <= 0] = 0
            grads = [xb.T @ grad_active + decay * w1, grad_active.sum(0),
                     active.T @ p + decay * w2, p.sum(0)]
            step += 1
            for i, (layer, grad) in enumerate(zip(layers, grads)):
                first[i] = 0.9 * first[i] + 0.1 * grad
                second[i] = 0.999 * second[i] + 0.001 * grad * grad
                layer -= (rate * (first[i] / (1 - 0.9 ** step))
                          / (np.sqrt(second[i] / (1 - 0.999 ** step)) + 1e-8)).astype(np.float32)
    layers[0] = layers[0] * np.float32(np.sqrt(d))
    return layers


def softmax(scores):
    scores = scores - scores.max(axis=1, keepdims=True)
    np.exp(scores, out=scores)
    return scores / scores.sum(axis=1, keepdims=True)


def logits(layers, x):
    w1, b1, w2, b2 = layers
    return (np.maximum(x.astype(np.float32) @ w1 + b1, 0) @ w2 + b2).astype(np.float64)


def build(font_path=FONT, params=PARAMS):
    rng = np.random.default_rng(params["seed"])
    masters, baseline = render_masters(font_path, params)
    x, y = dataset(rng, masters, baseline, params["train_per_symbol"], params)
    hx, hy = dataset(rng, masters, baseline, params["holdout_per_symbol"], params)
    layers = fit(rng, x, y, params)
    scores = logits(layers, hx)
    temperatures = np.exp(np.linspace(np.log(0.2), np.log(5.0), 97))
    nll = [-np.log(softmax(scores / t)[np.arange(len(hy)), hy] + 1e-30).mean()
           for t in temperatures]
    temperature = float(temperatures[int(np.argmin(nll))])
    predicted = scores.argmax(axis=1)
    errors = {}
    for truth, guess in zip(hy[predicted != hy], predicted[predicted != hy]):
        key = SYMBOLS[truth] + ">" + SYMBOLS[guess]
        errors[key] = errors.get(key, 0) + 1
    arrays = {
        "geometry": np.array([CELL_W, CELL_H, BASELINE], dtype=np.float64),
        "w1": layers[0],
        "b1": layers[1],
        "w2": (layers[2] / np.float32(temperature)).astype(np.float32),
        "b2": (layers[3] / np.float32(temperature)).astype(np.float32),
    }
    record = {
        "font": font_path.name,
        "font_sha256": hashlib.sha256(font_path.read_bytes()).hexdigest(),
        # the same bytes need the same rendering, resampling and arithmetic
        "libraries": library_versions(),
        "parameters": params,
        "temperature": round(temperature, 6),
        "holdout_samples": int(len(hy)),
        "holdout_error": round(float((predicted != hy).mean()), 6),
        "holdout_confusions": dict(sorted(errors.items(), key=lambda kv: (-kv[1], kv[0]))),
    }
    return npz_bytes(arrays), (json.dumps(record, indent=1, sort_keys=False) + "\n").encode()


def library_versions():
    import PIL

    return {"numpy": np.__version__, "opencv": cv2.__version__, "pillow": PIL.__version__}


def npz_bytes(arrays):
    """An .npz archive with fixed member order and dates, so the bytes depend only on the data."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as archive:
        for name, array in arrays.items():
            member = io.BytesIO()
            np.save(member, array, allow_pickle=False)
            info = zipfile.ZipInfo(name + ".npy", date_time=(1980, 1, 1, 0, 0, 0))
            archive.writestr(info, member.getvalue())
    return out.getvalue()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true",
                        help="exit 1 if the shipped model differs from what this tool builds")
    args = parser.parse_args(argv)
    model, record = build()
    targets = {OUT / "ocrb-glyphs.npz": model, OUT / "ocrb-glyphs.json": record}
    if args.check:
        stale = [p.name for p, data in targets.items() if not p.exists() or p.read_bytes() != data]
        print("stale: " + ", ".join(stale) if stale else "the shipped model is up to date")
        return 1 if stale else 0
    for path, data in targets.items():
        path.write_bytes(data)
    print(record.decode(), end="")
    return 0


if __name__ == "__main__":
    sys.exit(main())
