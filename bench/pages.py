"""Synthetic passport-like pages: paper texture, a photo box, printed lines and a two-line MRZ.

Sensor noise and fine background patterns make the codecs do real work (a flat page would
compress to almost nothing and decode in no time).
"""

import base64
import os

import cv2
import numpy as np

SIZES = {
    "640x480": (640, 480),
    "1920x1080": (1920, 1080),
    "4032x3024": (4032, 3024),
}
FORMATS = ("jpg", "png")

_MRZ = (
    "P<UTOSPECIMEN<<ANNA<MARIA<<<<<<<<<<<<<<<<<<<",
    "L898902C36UTO7408122F1204159ZE184226B<<<<<10",
)


def make_page(width, height, seed=7):
    rng = np.random.default_rng(seed)
    x = np.arange(width, dtype=np.float32)
    y = np.arange(height, dtype=np.float32)
    # Fine guilloche-like background on off-white paper.
    pattern = 9.0 * np.sin(x / 5.3)[None, :] * np.cos(y / 7.1)[:, None]
    pattern += 6.0 * np.sin((x[None, :] + y[:, None]) / 11.0)
    page = np.empty((height, width, 3), np.float32)
    page[...] = (214.0, 224.0, 230.0)
    page += pattern[:, :, None]
    del pattern

    scale = width / 640.0
    thickness = max(1, round(scale))
    # Photo box: a smooth gradient with a face-like ellipse.
    px0, py0 = int(0.05 * width), int(0.12 * height)
    px1, py1 = int(0.30 * width), int(0.62 * height)
    gradient = np.linspace(90.0, 170.0, py1 - py0, dtype=np.float32)[:, None, None]
    page[py0:py1, px0:px1] = gradient
    centre = ((px0 + px1) // 2, (py0 + py1) // 2)
    axes = ((px1 - px0) // 3, (py1 - py0) // 3)
    page_u8 = np.clip(page, 0, 255).astype(np.uint8)
    del page
    cv2.ellipse(page_u8, centre, axes, 0, 0, 360, (120, 150, 190), -1, cv2.LINE_AA)
    cv2.rectangle(page_u8, (px0, py0), (px1, py1), (40, 40, 40), thickness)

    # Printed fields beside the photo.
    font = cv2.FONT_HERSHEY_SIMPLEX
    labels = ("Type P", "Surname SPECIMEN", "Given names ANNA MARIA", "Nationality UTOPIAN",
              "Date of birth 12 AUG 1974", "Sex F", "Date of expiry 15 APR 2012")
    for i, text in enumerate(labels):
        origin = (int(0.35 * width), int((0.16 + 0.065 * i) * height))
        cv2.putText(page_u8, text, origin, font, 0.55 * scale, (30, 30, 60), thickness,
                    cv2.LINE_AA)

    # Machine-readable zone in the bottom band.
    for i, line in enumerate(_MRZ):
        origin = (int(0.03 * width), int((0.84 + 0.08 * i) * height))
        cv2.putText(page_u8, line, origin, cv2.FONT_HERSHEY_PLAIN, 1.25 * scale, (10, 10, 10),
                    thickness + 1, cv2.LINE_AA)

    noise = rng.normal(0.0, 6.0, size=page_u8.shape).astype(np.int16)
    noise += page_u8
    np.clip(noise, 0, 255, out=noise)
    return noise.astype(np.uint8)


def write_pages(directory, sizes, formats=FORMATS):
    """Writes one page per (size, format); returns {(size, format): path}."""
    paths = {}
    for size in sizes:
        width, height = SIZES[size]
        page = make_page(width, height)
        for fmt in formats:
            path = os.path.join(directory, f"page-{size}.{fmt}")
            if not cv2.imwrite(path, page):
                raise RuntimeError(f"cv2 could not write {path}")
            paths[size, fmt] = path
    return paths


def input_forms(path, fmt):
    """The three ways a caller hands over the same page: path, bare base64, data URL."""
    with open(path, "rb") as file:
        payload = base64.b64encode(file.read()).decode("ascii")
    media = "image/jpeg" if fmt == "jpg" else "image/png"
    return {
        "path": path,
        "base64": payload,
        "data URL": f"data:{media};base64,{payload}",
    }
