"""Redraws the shipped sample page, the README's before/after pictures, and its picture of a
capture with the zone the reader found on it.

    python tools/make_sample.py     (with zerbano, Pillow and Debian's fonts-ocr-b installed)

The page is a TD3 data page (125 x 88 mm) at 880 x 620 pixels; its zone is drawn in OCR-B at
the ICAO pitch by the benchmark's capture generator (bench/captures.py), the rest with
OpenCV's own fonts.
"""

import pathlib
import sys

import cv2
import numpy as np

from zerbano import sample
from zerbano.image import crop_mrz_region, preprocess_image

ROOT = pathlib.Path(__file__).resolve().parent.parent
PAGE = ROOT / "src" / "zerbano" / "data" / "sample-passport.jpg"
sys.path.insert(0, str(ROOT / "bench"))
import captures  # noqa: E402

WIDTH, HEIGHT = 880, 620
SCALE = WIDTH / 125.0  # px/mm


def draw_page(holder=sample.HOLDER):
    """Draws the data page as a BGR image of HEIGHT x WIDTH pixels."""
    rng = np.random.default_rng(2026)
    page = np.full((HEIGHT, WIDTH, 3), (226, 232, 236), np.uint8)
    # Faint guilloche-like waves and paper grain, which the opening is meant to clean.
    ys, xs = np.mgrid[0:HEIGHT, 0:WIDTH]
    waves = (np.sin(xs / 23.0 + np.sin(ys / 41.0) * 3) > 0.96).astype(np.uint8) * 28
    page -= waves[..., None]
    page = cv2.add(page, rng.integers(0, 12, page.shape, np.uint8))

    ink = (60, 40, 30)
    font = cv2.FONT_HERSHEY_SIMPLEX
    cv2.putText(page, "PASSPORT", (330, 50), font, 1.2, ink, 2, cv2.LINE_AA)
    cv2.putText(page, "UTOPIA", (40, 50), font, 0.8, ink, 2, cv2.LINE_AA)
    cv2.rectangle(page, (40, 90), (250, 370), (150, 140, 130), -1)  # the photo's place
    cv2.circle(page, (145, 190), 55, (190, 180, 170), -1)
    cv2.ellipse(page, (145, 350), (90, 80), 0, 180, 360, (190, 180, 170), -1)
    rows = [
        ("Surname", holder["surname"]),
        ("Given names", holder["given_names"]),
        ("Nationality", holder["nationality"]),
        ("Date of birth", "01 JAN 1990"),
        ("Sex", holder["sex"]),
        ("Date of expiry", "01 JAN 2036"),
        ("Document no.", holder["document_number"]),
    ]
    for index, (label, value) in enumerate(rows):
        y = 110 + index * 40
        cv2.putText(page, label, (290, y), font, 0.45, (110, 100, 90), 1, cv2.LINE_AA)
        cv2.putText(page, value, (290, y + 20), font, 0.7, ink, 2, cv2.LINE_AA)

    # The zone: centred, its last base line 4 mm above the page's lower edge.
    lines = sample.mrz_lines(holder)
    mask, (ox, oy), (zone_width, zone_height) = captures.draw_zone(lines, SCALE)
    left = round((WIDTH - zone_width) / 2 - ox)
    top = round(HEIGHT - captures.ZONE_BOTTOM_MM * SCALE - zone_height - oy)
    region = page[top:top + mask.shape[0], left:left + mask.shape[1]].astype(np.float32)
    alpha = mask[..., None]
    region = region * (1 - alpha) + np.float32(20) * alpha
    page[top:top + mask.shape[0], left:left + mask.shape[1]] = np.rint(region).astype(np.uint8)
    return page


def shrink(image, width):
    scale = width / image.shape[1]
    return cv2.resize(image, None, fx=scale, fy=scale, interpolation=cv2.INTER_AREA)


def draw_found_zone(seed=7, rotation=33.0):
    """A generated capture of a turned TD3 page, the zone `zerbano.mrz.read` found outlined."""
    import zerbano.mrz

    capture = captures.generate(seed, layout="TD3", rotation=rotation, valid=True,
                                char_height=18.0, frame=[1280, 960])
    zone = zerbano.mrz.read(capture.jpeg)
    if zone is None or list(zone.lines) != capture.truth["lines"]:
        raise SystemExit("the reader did not read the picture's zone exactly")
    picture = capture.image.copy()
    corners = np.array(zone.location, np.float32).reshape(-1, 1, 2)
    cv2.polylines(picture, [np.rint(corners).astype(np.int32)], True, (0, 0, 230), 3, cv2.LINE_AA)
    cv2.circle(picture, tuple(int(round(c)) for c in zone.location[0]), 8, (0, 0, 230), -1,
               cv2.LINE_AA)  # the zone's top-left as its text reads
    return shrink(picture, 640)


def main():
    cv2.imwrite(str(PAGE), draw_page(), [cv2.IMWRITE_JPEG_QUALITY, 85])
    page = cv2.imread(str(PAGE))
    band = crop_mrz_region(preprocess_image(str(PAGE)))
    cv2.imwrite(str(ROOT / "docs" / "sample-before.jpg"), shrink(page, 440),
                [cv2.IMWRITE_JPEG_QUALITY, 80])
    cv2.imwrite(str(ROOT / "docs" / "sample-after.png"), shrink(band, 440))
    cv2.imwrite(str(ROOT / "docs" / "mrz-found.jpg"), draw_found_zone(),
                [cv2.IMWRITE_JPEG_QUALITY, 80])


if __name__ == "__main__":
    main()
