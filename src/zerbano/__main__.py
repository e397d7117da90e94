"""Preview of the preprocessing on the command line.

    python -m zerbano [IMAGE] [--out DIR]

IMAGE is a file path, base64 text, a data URL, or "-" to read that text from standard input;
without it the sample passport page shipped with the package is used. Writes the
preprocessed image and its MRZ band as PNG files (next to an input file, else into the
current directory, or into DIR) and prints their shapes and the time taken.
"""

import argparse
import os
import sys
import time
from importlib import resources

SAMPLE = "sample-passport.jpg"


class OneLineParser(argparse.ArgumentParser):
    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def parse_arguments(argv):
    parser = OneLineParser(
        prog="python -m zerbano",
        description="Preprocess a passport page for OCR and crop its MRZ band.",
    )
    parser.add_argument(
        "image", nargs="?",
        help="file path, base64 text, data URL, or - for text on standard input "
             "(default: the shipped sample page)",
    )
    parser.add_argument("--out", metavar="DIR", help="directory for the PNG files")
    return parser.parse_args(argv)


def output_stem(image, text):
    """Where the outputs go and what they are called, as a path without suffix."""
    if image is None:
        return SAMPLE.rsplit(".", 1)[0], os.getcwd()
    if os.path.isfile(text):
        folder, name = os.path.split(os.path.abspath(text))
        return os.path.splitext(name)[0], folder
    return "input", os.getcwd()


def run(argv):
    options = parse_arguments(argv)
    try:
        import cv2  # noqa: F401 - only to name the missing dependency clearly
    except ImportError:
        raise SystemExit(
            "zerbano: error: OpenCV's cv2 is not installed "
            "(pip install 'zerbano[opencv]', or apt install python3-opencv)")
    from zerbano.image import crop_mrz_region, preprocess_image

    if options.image is None:
        source = resources.files("zerbano") / "data" / SAMPLE
        text = str(source)
    elif options.image == "-":
        text = sys.stdin.read().strip()
    else:
        text = options.image
    stem, folder = output_stem(options.image, text)
    if options.out:
        folder = options.out
        os.makedirs(folder, exist_ok=True)

    started = time.perf_counter()
    preprocessed = preprocess_image(text)
    band = crop_mrz_region(preprocessed)
    elapsed = time.perf_counter() - started

    written = []
    for suffix, image in (("preprocessed", preprocessed), ("mrz", band)):
        path = os.path.join(folder, f"{stem}-{suffix}.png")
        if not cv2.imwrite(path, image):
            raise OSError(f"could not write {path}")
        written.append(path)
    print(f"preprocessed: {preprocessed.shape[1]}x{preprocessed.shape[0]} -> {written[0]}")
    print(f"MRZ band:     {band.shape[1]}x{band.shape[0]} -> {written[1]}")
    print(f"took {elapsed * 1000:.1f} ms")


def main(argv=None):
    try:
        run(sys.argv[1:] if argv is None else argv)
    except (ValueError, OSError) as error:
        sys.exit(f"zerbano: error: {error}")
    except Exception as error:  # anything else from OpenCV or NumPy: still one line
        sys.exit(f"zerbano: error: {type(error).__name__}: {error}")
    except KeyboardInterrupt:
        sys.exit("zerbano: interrupted")


if __name__ == "__main__":
    main()
