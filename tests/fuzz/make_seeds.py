"""Writes the seed corpora beside the targets (corpus/TARGET/NAME), the same bytes every run.

usage: python tests/fuzz/make_seeds.py

The image seeds are tiny files of every format this OpenCV writes, made with cv2.imencode
from fixed pixels; each is given as base64 text (with and without headers) and as a file.
"""

import shutil
import sys
from pathlib import Path

import cv2
import numpy as np

HERE = Path(__file__).resolve().parent

# extension -> the pixels it takes (formats that refuse a tiny colour image get what they take)
rng = np.random.default_rng(18)
COLOUR = rng.integers(0, 256, (4, 6, 3), np.uint8)
GRAY = rng.integers(0, 256, (4, 6), np.uint8)
IMAGES = {
    "png": COLOUR, "jpg": COLOUR, "bmp": COLOUR, "tif": COLOUR, "webp": COLOUR,
    "pbm": GRAY, "pgm": GRAY, "ppm": COLOUR, "pam": COLOUR, "pfm": COLOUR.astype(np.float32) / 255,
    "sr": COLOUR, "hdr": COLOUR.astype(np.float32) / 255, "gif": COLOUR, "avif": COLOUR,
    "jp2": rng.integers(0, 256, (32, 32, 3), np.uint8),
    "gray.png": GRAY, "alpha.png": rng.integers(0, 256, (3, 5, 4), np.uint8),
    "16bit.png": rng.integers(0, 65536, (3, 5, 3), np.uint16),
}


def encoded_images():
    for name, pixels in IMAGES.items():
        ok, buffer = cv2.imencode("." + name.rsplit(".", 1)[-1], pixels)
        if not ok:
            sys.exit(f"make_seeds.py: this OpenCV cannot write {name}")
        yield name, buffer.tobytes()


def preprocess_seeds():
    seeds = {}
    for name, data in encoded_images():
        seeds[f"base64-{name}"] = bytes([0, 0, 0, 0]) + data        # no header, no tail
        seeds[f"file-{name}"] = bytes([1, 0, 1]) + data             # str path, absolute
    png = dict(encoded_images())["png"]
    seeds["data-url-png"] = bytes([0, 1, 0, 0]) + png
    seeds["data-url-tail-png"] = bytes([0, 3, 0, 1]) + png
    seeds["bytes-path"] = bytes([1, 1, 0]) + png
    seeds["text"] = bytes([2, 3, 1, 4, 0, 3, 0, 5, 1, 8])
    seeds["bytes"] = bytes([3, 0]) + b"data:,AAAA"
    seeds["odd-split"] = bytes([4, 8]) + png[:8] + bytes([0, 1])
    seeds["odd-contains"] = bytes([4, 8]) + png[:8] + bytes([1, 6])
    seeds["object"] = bytes([4, 0, 5, 3])
    return seeds


def varied_seeds(target, classify, count=400, limit=40):
    """Random inputs of a fixed generator, one for each kind `classify(data)` tells apart."""
    sys.path.insert(0, str(HERE))
    module = __import__(f"fuzz_{target}")
    random = np.random.default_rng(len(target))
    seeds = {}
    for _ in range(count):
        data = random.integers(0, 256, int(random.integers(1, 40)), np.uint8).tobytes()
        kind = classify(module, data)
        if kind not in seeds and len(seeds) < limit:
            seeds[kind] = data
    return {f"{index:02d}-{kind}": data for index, (kind, data) in enumerate(seeds.items())}


def crop_seeds():
    def classify(module, data):
        argument = module.make_argument(data)()
        result, error = module.fuzzlib.outcome(module._crop, argument)
        shape = getattr(argument, "shape", None) if not isinstance(argument, module.NoShape) else None
        described = type(error).__name__ if error else type(result).__name__
        return f"{type(argument).__name__}-{type(shape).__name__}-{described}"

    return varied_seeds("crop", classify)


def functions_seeds():
    def classify(module, data):
        source = module.fuzzlib.Input(data)
        function = ["preprocess", "crop"][source.number(2)]
        kind = source.number(4)
        detail = source.number(5) if kind == 0 else source.choice(module.ATTRIBUTES)
        return f"{function}-{['call', 'attribute', 'attribute', 'interpreter'][kind]}-{detail}"

    return varied_seeds("functions", classify, count=1000, limit=60)


def globals_seeds():
    def classify(module, data):
        source = module.fuzzlib.Input(data)
        operations = []
        while not source.exhausted and len(operations) < 2:
            operations.append(source.number(8))
            source.number(4)
            source.byte()
        return "-".join(map(str, operations))

    return varied_seeds("globals", classify, count=1000, limit=40)


SPECIMENS = {
    "TD3": ("P<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<<<<<<<<<",
            "L898902C36UTO7408122F1204159ZE184226B<<<<<10"),
    "TD1": ("I<UTOD231458907<<<<<<<<<<<<<<<", "7408122F1204159UTO<<<<<<<<<<<6",
            "ERIKSSON<<ANNA<MARIA<<<<<<<<<<"),
    "TD2": ("I<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<", "D231458907UTO7408122F1204159<<<<<<<6"),
    "MRVA": ("V<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<<<<<<<<<",
             "L8988901C4XXX4009078F96121096ZE184226B<<<<<<"),
    "MRVB": ("V<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<", "L8988901C4XXX4009078F9612109<<<<<<<<"),
}
# OCR's confusions, as the repair undoes them
MISREAD = str.maketrans({"0": "O", "1": "I", "5": "S", "8": "B", "2": "Z"})


def mrz_parse_seeds():
    sys.path.insert(0, str(HERE))
    from fuzz_mrz_parse import encode

    seeds = {}
    for layout, lines in SPECIMENS.items():
        text = "\n".join(lines)
        seeds[f"{layout}"] = bytes([0]) + encode(text)
        seeds[f"{layout}-repair-list"] = bytes([3]) + encode(text)
        misread = "\n".join(line.translate(MISREAD) for line in lines)
        seeds[f"{layout}-misread-repair"] = bytes([1]) + encode(misread)
        seeds[f"{layout}-misread"] = bytes([0]) + encode(misread)
        seeds[f"{layout}-short"] = bytes([1]) + encode(text[:-3])
    seeds["blank-lines"] = bytes([0]) + encode("\n\n" + "\n".join(SPECIMENS["TD2"]) + "\n")
    seeds["spaces"] = bytes([0]) + encode(" ".join(SPECIMENS["TD3"][0]) + "\n" + SPECIMENS["TD3"][1])
    return seeds


def mrz_read_seeds():
    # The image formats as they are, handed over as bytes (first byte 0).
    return {name: bytes([0]) + data for name, data in encoded_images()}


SEEDS = {
    "preprocess": preprocess_seeds,
    "crop": crop_seeds,
    "functions": functions_seeds,
    "globals": globals_seeds,
    "mrz_parse": mrz_parse_seeds,
    "mrz_read": mrz_read_seeds,
}


def main():
    for target, make in SEEDS.items():
        directory = HERE / "corpus" / target
        shutil.rmtree(directory, ignore_errors=True)
        directory.mkdir(parents=True)
        for name, data in sorted(make().items()):
            (directory / name).write_bytes(data)
        print(f"{target}: {len(list(directory.iterdir()))} seeds")


if __name__ == "__main__":
    main()
