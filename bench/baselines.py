"""What zerbano.image is measured against.

- `plain_preprocess_image` and `plain_crop_mrz_region`: the module written as plain Python, with
  the same behaviour (the code the pipeline sources quote, line for line).
- `bare_*`: the library calls of the successful path written out in a row, without the branch
  and the error handling; the least any implementation has to do. The containment test and the
  split of the decode route are part of that least: the module must do them too.
"""

import base64
import os

import cv2
import numpy as np


def plain_preprocess_image(image_input):
    img = None
    if os.path.isfile(image_input):
        img = cv2.imread(image_input)
    else:
        try:
            if "," in image_input:
                image_input = image_input.split(",")[1]
            decoded_data = base64.b64decode(image_input)
            np_data = np.frombuffer(decoded_data, np.uint8)
            img = cv2.imdecode(np_data, cv2.IMREAD_COLOR)
        except Exception:
            pass
    if img is None:
        raise ValueError(
            "Could not read image from input. Ensure it is a valid file path or base64 string.")
    gray = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
    gray = cv2.resize(gray, None, fx=2, fy=2, interpolation=cv2.INTER_CUBIC)
    kernel = np.ones((2, 2), np.uint8)
    gray = cv2.morphologyEx(gray, cv2.MORPH_OPEN, kernel)
    return gray


def plain_crop_mrz_region(image):
    height, width = image.shape[:2]
    start_row = int(height * 0.7)
    cropped = image[start_row:height, 0:width]
    return cropped


def bare_path(image_input):
    os.path.isfile(image_input)
    img = cv2.imread(image_input)
    gray = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
    gray = cv2.resize(gray, None, fx=2, fy=2, interpolation=cv2.INTER_CUBIC)
    kernel = np.ones((2, 2), np.uint8)
    gray = cv2.morphologyEx(gray, cv2.MORPH_OPEN, kernel)
    return gray


def bare_base64(image_input):
    os.path.isfile(image_input)
    "," in image_input
    decoded_data = base64.b64decode(image_input)
    np_data = np.frombuffer(decoded_data, np.uint8)
    img = cv2.imdecode(np_data, cv2.IMREAD_COLOR)
    gray = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
    gray = cv2.resize(gray, None, fx=2, fy=2, interpolation=cv2.INTER_CUBIC)
    kernel = np.ones((2, 2), np.uint8)
    gray = cv2.morphologyEx(gray, cv2.MORPH_OPEN, kernel)
    return gray


def bare_data_url(image_input):
    os.path.isfile(image_input)
    "," in image_input
    image_input = image_input.split(",")[1]
    decoded_data = base64.b64decode(image_input)
    np_data = np.frombuffer(decoded_data, np.uint8)
    img = cv2.imdecode(np_data, cv2.IMREAD_COLOR)
    gray = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
    gray = cv2.resize(gray, None, fx=2, fy=2, interpolation=cv2.INTER_CUBIC)
    kernel = np.ones((2, 2), np.uint8)
    gray = cv2.morphologyEx(gray, cv2.MORPH_OPEN, kernel)
    return gray


BARE = {"path": bare_path, "base64": bare_base64, "data URL": bare_data_url}
