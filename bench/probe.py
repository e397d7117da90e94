"""One measurement in a fresh interpreter; prints one JSON line. Started by run.py.

    probe.py import
        time `import zerbano.image` once cv2 and numpy are imported
    probe.py memory module|bare FORM ARGUMENT CV_THREADS
        peak resident set of one preprocess_image call (or of the bare sequence); ARGUMENT is
        the path itself for FORM "path", else the name of a file holding the text
"""

import json
import sys
import time


def _status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def measure_import():
    import cv2  # noqa: F401
    import numpy  # noqa: F401

    start = time.perf_counter_ns()
    import zerbano.image  # noqa: F401

    return {"import_ns": time.perf_counter_ns() - start}


def measure_memory(side, form, argument, cv_threads):
    import base64  # noqa: F401  (both sides start with the same modules loaded)
    import os  # noqa: F401

    import cv2
    import numpy  # noqa: F401

    if cv_threads >= 0:
        cv2.setNumThreads(cv_threads)
    if side == "module":
        from zerbano.image import preprocess_image as function
    else:
        import baselines

        function = baselines.BARE[form]
    if form == "path":
        image_input = argument
    else:
        with open(argument) as file:
            image_input = file.read()

    before = _status_kib("VmRSS")
    result = function(image_input)
    peak = _status_kib("VmHWM")
    shape = list(result.shape)
    del result
    return {"rss_before_kib": before, "peak_kib": peak, "shape": shape}


def main(argv):
    if argv[0] == "import":
        report = measure_import()
    elif argv[0] == "memory":
        report = measure_memory(argv[1], argv[2], argv[3], int(argv[4]))
    else:
        raise SystemExit(f"unknown probe {argv[0]!r}")
    print(json.dumps(report))


if __name__ == "__main__":
    main(sys.argv[1:])
