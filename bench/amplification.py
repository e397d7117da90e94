#!/usr/bin/env python3
"""Input bytes against peak memory and time: what one input can make the command line take.

    python bench/amplification.py            the table below (about five minutes, up to 8 GB)
    python bench/amplification.py --quick    the ordinary photo and the bomb only
    python bench/amplification.py --only read,read()    some of the commands only

Inputs: an ordinary photo (a 4000x3000 JPEG of a synthetic page, bench/pages.py), a huge photo
(the same page enlarged to 12000x9000, 108 megapixels) and a bomb (a 16000x16000 PNG of white
pixels, 250 KB), the bomb also as a data URL on standard input. Each runs as the preview
(`python -m zerbano INPUT`) and as a batch of two copies with --jobs 2, each in a fresh
interpreter whose own peak resident size (VmHWM: ru_maxrss would carry the parent's peak
across fork and exec) and wall time are reported. The same for the read command
(`python -m zerbano read INPUT`, and a batch of two copies) and for the reader's function,
`zerbano.mrz.read(path)` (for the data URL: the bytes a service decodes from it):

- "no limit": --max-pixels 1073741824 with OPENCV_IO_MAX_IMAGE_PIXELS at the same number,
  OpenCV's default, so the command decodes what OpenCV alone would (as before the limit);
  `read(image, max_pixels=None)` with the same variable;
- "limit": the command's defaults (100 megapixels from the header, memory budget); `read(image)`.

"""

import argparse
import base64
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zlib

import cv2

import pages

OPENCV_DEFAULT = str(1 << 30)
MEASURED = ("import atexit, sys\n"
            "from zerbano.__main__ import main\n"
            "def peak():\n"
            "    with open('/proc/self/status') as status:\n"
            "        kilobytes = next(line for line in status if line.startswith('VmHWM:'))\n"
            "    print('maxrss', int(kilobytes.split()[1]) * 1024, file=sys.stderr)\n"
            "atexit.register(peak)\n"
            "main()\n")


def png_bomb(path, side=16000):
    def chunk(kind, data):
        crc = zlib.crc32(kind + data)
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", crc)
    compressor = zlib.compressobj(9)
    row = b"\0" + b"\xff" * side
    data = b"".join(compressor.compress(row) for _ in range(side)) + compressor.flush()
    with open(path, "wb") as file:
        file.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side,
                                                                     8, 0, 0, 0, 0))
                   + chunk(b"IDAT", data) + chunk(b"IEND", b""))


def make_inputs(folder, quick):
    photo = os.path.join(folder, "photo.jpg")
    page = pages.make_page(4000, 3000)
    cv2.imwrite(photo, page, [cv2.IMWRITE_JPEG_QUALITY, 90])
    inputs = [("ordinary photo, 4000x3000 JPEG", photo, None)]
    if not quick:
        huge = os.path.join(folder, "huge.jpg")
        cv2.imwrite(huge, cv2.resize(page, (12000, 9000), interpolation=cv2.INTER_CUBIC),
                    [cv2.IMWRITE_JPEG_QUALITY, 90])
        inputs.append(("huge photo, 12000x9000 JPEG", huge, None))
    del page
    bomb = os.path.join(folder, "bomb.png")
    png_bomb(bomb)
    with open(bomb, "rb") as file:
        url = "data:image/png;base64," + base64.b64encode(file.read()).decode()
    inputs += [("bomb, 16000x16000 PNG", bomb, None), ("bomb as a data URL", "-", url)]
    return inputs


# zerbano.mrz.read on a path, or on the bytes of a data URL given on standard input.
MEASURED_FUNCTION = MEASURED.replace("from zerbano.__main__ import main\n", "").replace(
    "main()\n", """\
import base64
import zerbano.mrz
from zerbano.imagesize import TooManyPixels
image, limited = sys.argv[1], sys.argv[2] == "limit"
if image == "-":
    image = base64.b64decode(sys.stdin.read().split(",", 1)[1])
try:
    zerbano.mrz.read(image, **({} if limited else {"max_pixels": None}))
except TooManyPixels:
    print("above the limit", file=sys.stderr)
    sys.exit(1)
""")
DONE = {"preview": "written", "batch": "written", "read": "read", "read()": "read"}


def measure(command, arguments, stdin, limited, cwd):
    env = dict(os.environ)
    extra = []
    if not limited:
        env["OPENCV_IO_MAX_IMAGE_PIXELS"] = OPENCV_DEFAULT
        extra = ["--max-pixels", OPENCV_DEFAULT] if command != "read()" else []
    if command == "read()":
        code, extra = MEASURED_FUNCTION, ["limit" if limited else "none"]
    else:
        code = MEASURED
    started = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", code, *arguments, *extra], cwd=cwd,
                          input=stdin, capture_output=True, text=True, env=env)
    seconds = time.perf_counter() - started
    *lines, last = done.stderr.splitlines() or [""]
    peak = int(last.split()[1]) / 2 ** 20 if last.startswith("maxrss ") else float("nan")
    if any("above the limit" in line for line in lines):
        result = "refused"
    elif done.returncode == 0 or command == "read" and done.returncode == 3:  # 3: no zone
        result = DONE[command]
    else:
        result = f"exit {done.returncode}"
    return peak, seconds, result


def runs(path, text, folder):
    """(label, command, arguments, stdin) of each run of one input."""
    copy = None
    if text is None:
        copy = os.path.join(folder, "copy-" + os.path.basename(path))
        shutil.copy(path, copy)
    yield "preview", "preview", [path], text
    if copy:
        yield "batch, 2 x --jobs 2", "batch", [path, copy, "--jobs", "2"], None
    yield "read", "read", ["read", path], text
    if copy:
        yield "read, 2 x --jobs 2", "read", ["read", path, copy, "--jobs", "2"], None
    yield "zerbano.mrz.read()", "read()", [path], text


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="the photo and the bomb only")
    parser.add_argument("--only", metavar="COMMANDS", default=",".join(DONE),
                        help="of preview, batch, read and read() (default: all)")
    options = parser.parse_args()
    only = set(options.only.split(","))
    folder = tempfile.mkdtemp(prefix="zerbano-amplification-")
    try:
        inputs = make_inputs(folder, options.quick)
        header = (f"{'input':32} {'bytes':>10}  {'command':18} "
                  f"{'no limit: peak MB':>17} {'s':>6} {'':8}  {'limit: peak MB':>14} {'s':>6}")
        print(header)
        print("-" * len(header))
        for name, path, text in inputs:
            size = len(text) if text else os.path.getsize(path)
            for label, command, arguments, stdin in runs(path, text, folder):
                if command not in only:
                    continue
                cells = []
                for limited in (False, True):
                    out = tempfile.mkdtemp(dir=folder)
                    writes = ["--out", out] if command in ("preview", "batch") else []
                    cells.append(measure(command, [*arguments, *writes], stdin, limited, folder))
                    shutil.rmtree(out)
                (peak0, s0, r0), (peak1, s1, r1) = cells
                print(f"{name:32} {size:>10,}  {label:18} {peak0:>17.0f} {s0:>6.2f} {r0:8}  "
                      f"{peak1:>14.0f} {s1:>6.2f} {r1}", flush=True)
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
