"""zerbano.image written as plain Python: the same globals, the same library calls.

Each `make_twin()` is a module of its own, so that a test can rebind its globals as it
rebinds the module's.
"""

import types

TWIN_SOURCE = '''
import cv2
import numpy as np
import base64
import os


def preprocess_image(image_input):
    img = None
    if os.path.isfile(image_input):
        if isinstance(image_input, str):
            image_input.encode()  # as the module: a name that is not UTF-8 would crash imread
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


def crop_mrz_region(image):
    height, width = image.shape[:2]
    start_row = int(height * 0.7)
    cropped = image[start_row:height, 0:width]
    return cropped
'''


def make_twin():
    twin = types.ModuleType("zerbano_twin")
    exec(compile(TWIN_SOURCE, "zerbano_twin", "exec"), vars(twin))
    return twin
