"""Redraws the shipped sample page and the README's before/after pictures.

    python tools/make_sample.py     (with zerbano installed)
"""

import pathlib

import cv2

from zerbano import sample
from zerbano.image import crop_mrz_region, preprocess_image

ROOT = pathlib.Path(__file__).resolve().parent.parent
PAGE = ROOT / "src" / "zerbano" / "data" / "sample-passport.jpg"


def shrink(image, width):
    scale = width / image.shape[1]
    return cv2.resize(image, None, fx=scale, fy=scale, interpolation=cv2.INTER_AREA)


def main():
    cv2.imwrite(str(PAGE), sample.draw_page(), [cv2.IMWRITE_JPEG_QUALITY, 85])
    page = cv2.imread(str(PAGE))
    band = crop_mrz_region(preprocess_image(str(PAGE)))
    cv2.imwrite(str(ROOT / "docs" / "sample-before.jpg"), shrink(page, 440),
                [cv2.IMWRITE_JPEG_QUALITY, 80])
    cv2.imwrite(str(ROOT / "docs" / "sample-after.png"), shrink(band, 440))


if __name__ == "__main__":
    main()
