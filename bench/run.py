#!/usr/bin/env python3
"""Benchmarks of zerbano.image against plain Python and the bare library calls.

    python bench/run.py            full run (a few minutes on 2 cores)
    python bench/run.py --quick    every measurement once in small, for CI (a few seconds)
    python bench/run.py --json FILE --plots DIR    also save every timing, and draw the figure
    python bench/run.py --report FILE --plots DIR  the table and figure of a saved run again

Each comparison runs both sides in one process, interleaved round by round (the order flips
every round, A B then B A, so drift and position cancel), with the same input objects; the
table quotes the median time of each side and the median of the per-round ratios, with the
25th-75th percentile of those ratios. Peak memory and import time are taken in fresh
interpreters. Before anything is timed, each pair is checked to give the same result, so a
benchmark that compares unlike things fails instead of printing a ratio.

OpenCV runs on one thread on both sides by default (--cv-threads; -1 keeps OpenCV's own
choice): its thread pool makes timings of the large pages noisy. The exit status reports
only whether the benchmark ran; a missed target is marked in the table, never an error.
"""

import argparse
import base64
import gc
import itertools
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np

import baselines
import pages
from stats import quantile
import zerbano.image as zimage

HERE = os.path.dirname(os.path.abspath(__file__))

FULL = {
    "call_rounds": 41,
    "call_batch": 20000,
    "error_batch": 2000,
    "preprocess_rounds": {"640x480": 31, "1920x1080": 15, "4032x3024": 11},
    "memory_sizes": ("4032x3024",),
    "memory_formats": pages.FORMATS,
    "memory_forms": ("path", "base64", "data URL"),
    "memory_rounds": 3,
    "import_runs": 15,
}
QUICK = {
    "call_rounds": 5,
    "call_batch": 1000,
    "error_batch": 100,
    "preprocess_rounds": {"640x480": 2},
    "memory_sizes": ("640x480",),
    "memory_formats": ("jpg",),
    "memory_forms": ("base64",),
    "memory_rounds": 1,
    "import_runs": 2,
}

# Largest acceptable ratio zerbano / baseline (import: milliseconds).
TARGETS = {
    "crop": 0.5,
    "floor": None,
    "preprocess": 1.01,
    "error": 0.9,
    "keyword": 1.1,
    "memory": 1.01,
    "import_ms": 1.0,
}


# --- Timing --------------------------------------------------------------------------------
# Every loop below has the same shape, so the loop costs the same on both sides of a pair.
# The collector is off while a batch runs, as timeit does.


def _timed(loop, *args):
    enabled = gc.isenabled()
    gc.disable()
    try:
        start = time.perf_counter_ns()
        loop(*args)
        return time.perf_counter_ns() - start
    finally:
        if enabled:
            gc.enable()


def _call_loop(function, argument, count):
    for _ in itertools.repeat(None, count):
        function(argument)


def _keyword_loop(function, argument, count):
    for _ in itertools.repeat(None, count):
        function(image=argument)


def _slice_loop(image, bounds, count):
    start_row, height, width = bounds
    for _ in itertools.repeat(None, count):
        image[start_row:height, 0:width]


def _shape_slice_loop(image, bounds, count):
    start_row, height, width = bounds
    for _ in itertools.repeat(None, count):
        image.shape
        image[start_row:height, 0:width]


def _bare_failure_loop(calls, argument, count):
    isfile, b64decode, message = calls
    for _ in itertools.repeat(None, count):
        isfile(argument)
        "," in argument
        try:
            b64decode(argument)
        except Exception:
            pass
        try:
            raise ValueError(message)
        except ValueError:
            pass


def _failing_loop(function, argument, count):
    for _ in itertools.repeat(None, count):
        try:
            function(argument)
        except ValueError:
            pass


def per_call(loop, *args, count):
    return lambda: _timed(loop, *args, count) / count


def interleave(sides, rounds):
    """Runs the sides round by round, rotating their order; returns one time list per side."""
    times = [[] for _ in sides]
    order = list(range(len(sides)))
    for _ in range(rounds):
        for index in order:
            times[index].append(sides[index]())
        order = order[1:] + order[:1]
    return times


class Row:
    def __init__(self, name, ours, theirs, target, unit="time", baseline_name="", page=None):
        self.name = name
        self.ours = ours
        self.theirs = theirs
        self.target = target
        self.unit = unit
        self.baseline_name = baseline_name
        self.page = page  # {"size", "format", "form"} for a row of pages
        self.peaks = None
        if theirs:
            ratios = [a / b for a, b in zip(ours, theirs)]
            self.ratio = statistics.median(ratios)
            self.spread = (quantile(ratios, 0.25), quantile(ratios, 0.75))
        else:
            self.ratio = None
            self.spread = None

    def met(self):
        if self.target is None:
            return None
        if self.unit == "import":
            return statistics.median(self.ours) / 1e6 < self.target
        return self.ratio <= self.target


# --- Measurements --------------------------------------------------------------------------


def check_same_view(ours, theirs, image):
    if not (ours.shape == theirs.shape and ours.strides == theirs.strides
            and ours.__array_interface__["data"] == theirs.__array_interface__["data"]
            and np.shares_memory(ours, image)):
        raise AssertionError("crop_mrz_region and the plain-Python crop disagree")


def bench_crop(plan):
    image = pages.make_page(1920, 1080)
    height, width = image.shape[:2]
    bounds = (int(height * 0.7), height, width)
    crop = zimage.crop_mrz_region
    plain = baselines.plain_crop_mrz_region
    check_same_view(crop(image), plain(image), image)
    check_same_view(crop(image=image), plain(image), image)
    check_same_view(image[bounds[0]:bounds[1], 0:bounds[2]], plain(image), image)

    count = plan["call_batch"]
    ours, theirs, floor, shape_floor = interleave(
        [per_call(_call_loop, crop, image, count=count),
         per_call(_call_loop, plain, image, count=count),
         per_call(_slice_loop, image, bounds, count=count),
         per_call(_shape_slice_loop, image, bounds, count=count)],
        plan["call_rounds"])
    keyword, positional = interleave(
        [per_call(_keyword_loop, crop, image, count=count),
         per_call(_call_loop, crop, image, count=count)],
        plan["call_rounds"])
    return [
        Row("crop_mrz_region 1080x1920x3", ours, theirs, TARGETS["crop"],
            baseline_name="plain Python"),
        Row("  bare slice, bounds precomputed", floor, theirs, TARGETS["floor"],
            baseline_name="plain Python"),
        Row("  bare slice + the image.shape read", shape_floor, theirs, TARGETS["floor"],
            baseline_name="plain Python"),
        Row("crop_mrz_region(image=...)", keyword, positional, TARGETS["keyword"],
            baseline_name="positional"),
    ]


def bench_error(plan):
    text = "no such page"  # not a file; 10 base64 letters: the decoder fails on the padding
    messages = []
    for function in (zimage.preprocess_image, baselines.plain_preprocess_image):
        try:
            function(text)
        except ValueError as error:
            messages.append(str(error))
    if len(messages) != 2 or messages[0] != messages[1]:
        raise AssertionError(f"the error paths disagree: {messages}")
    count = plan["error_batch"]
    library = (os.path.isfile, base64.b64decode, messages[0])
    ours, theirs, floor = interleave(
        [per_call(_failing_loop, zimage.preprocess_image, text, count=count),
         per_call(_failing_loop, baselines.plain_preprocess_image, text, count=count),
         per_call(_bare_failure_loop, library, text, count=count)],
        plan["call_rounds"])
    return [Row(f"preprocess_image({text!r}) -> ValueError", ours, theirs, TARGETS["error"],
                baseline_name="plain Python"),
            Row("  its library calls alone, inline", floor, theirs, None,
                baseline_name="plain Python")]


def bench_preprocess(plan, paths):
    rows = []
    for (size, fmt), path in paths.items():
        rounds = plan["preprocess_rounds"][size]
        for form, image_input in pages.input_forms(path, fmt).items():
            bare = baselines.BARE[form]
            ours_result = zimage.preprocess_image(image_input)
            if not (np.array_equal(ours_result, bare(image_input))
                    and np.array_equal(ours_result, baselines.plain_preprocess_image(image_input))):
                raise AssertionError(f"preprocess_image and the bare sequence disagree: "
                                     f"{size} {fmt} {form}")
            del ours_result
            ours, theirs = interleave(
                [per_call(_call_loop, zimage.preprocess_image, image_input, count=1),
                 per_call(_call_loop, bare, image_input, count=1)],
                rounds)
            rows.append(Row(f"preprocess_image {size} {fmt.upper()} {form}", ours, theirs,
                            TARGETS["preprocess"], baseline_name="bare calls",
                            page={"size": size, "format": fmt, "form": form}))
    return rows


def _probe(*args):
    process = subprocess.run([sys.executable, os.path.join(HERE, "probe.py"), *args],
                             capture_output=True, text=True, check=False, cwd=HERE)
    if process.returncode != 0:
        raise RuntimeError(f"probe {args[0]} failed:\n{process.stderr}")
    return json.loads(process.stdout.strip().splitlines()[-1])


def bench_memory(plan, paths, directory, cv_threads):
    rows = []
    for size in plan["memory_sizes"]:
        for fmt in plan["memory_formats"]:
            for form, image_input in pages.input_forms(paths[size, fmt], fmt).items():
                if form not in plan["memory_forms"]:
                    continue
                if form == "path":
                    argument = image_input
                else:
                    argument = os.path.join(directory, f"input-{size}-{fmt}.txt")
                    with open(argument, "w") as file:
                        file.write(image_input)
                sides = [lambda side=side: _probe("memory", side, form, argument, str(cv_threads))
                         for side in ("module", "bare")]
                ours, theirs = interleave(sides, plan["memory_rounds"])
                if ours[0]["shape"] != theirs[0]["shape"]:
                    raise AssertionError("the memory probes disagree on the result")
                growth = [[(r["peak_kib"] - r["rss_before_kib"]) * 1024 for r in side]
                          for side in (ours, theirs)]
                rows.append(Row(f"peak RSS growth, {size} {fmt.upper()} {form}", *growth,
                                TARGETS["memory"], unit="bytes", baseline_name="bare calls"))
                rows[-1].peaks = [statistics.median(r["peak_kib"] for r in side) * 1024
                                  for side in (ours, theirs)]
    return rows


def bench_import(plan):
    times = [_probe("import")["import_ns"] for _ in range(plan["import_runs"])]
    return [Row("import zerbano.image (cv2, numpy loaded)", times, None, TARGETS["import_ms"],
                unit="import")]


# --- Report --------------------------------------------------------------------------------


def machine():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.lower().startswith(("model name", "hardware", "processor\t: arm")):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    return [
        f"CPU: {model} ({platform.machine()}), {os.cpu_count()} cores, {usable} usable",
        f"Python {platform.python_version()} ({platform.python_implementation()}), "
        f"numpy {np.__version__}, OpenCV {cv2.__version__}",
    ]


def _format_time(ns):
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}" if ns / scale < 100 else f"{ns / scale:.0f} {unit}"
    return f"{ns:.0f} ns"


def _format_bytes(count):
    return f"{count / 2**20:.1f} MiB"


def print_table(rows, header_lines):
    table = [("measurement", "zerbano", "baseline", "vs", "ratio (p25-p75)", "target", "n")]
    for row in rows:
        if row.unit == "bytes":
            ours = _format_bytes(statistics.median(row.ours))
            theirs = _format_bytes(statistics.median(row.theirs))
        else:
            ours = _format_time(statistics.median(row.ours))
            theirs = _format_time(statistics.median(row.theirs)) if row.theirs else "-"
        if row.ratio is None:
            ratio = "-"
        else:
            ratio = f"{row.ratio:.3f}x ({row.spread[0]:.3f}-{row.spread[1]:.3f})"
        if row.target is None:
            target = ""
        elif row.unit == "import":
            target = f"< {row.target:g} ms"
        else:
            target = f"<= {row.target:g}x"
        met = row.met()
        if met is False:
            target += " MISSED"
        table.append((row.name, ours, theirs, row.baseline_name, ratio, target,
                      str(len(row.ours))))
    widths = [max(len(line[i]) for line in table) for i in range(len(table[0]))]
    for line in header_lines:
        print(line)
    print()
    for index, line in enumerate(table):
        cells = [line[0].ljust(widths[0])] + [cell.rjust(width) if i in (1, 2, 6) else
                                              cell.ljust(width)
                                              for i, (cell, width) in
                                              enumerate(zip(line[1:], widths[1:]), 1)]
        print("  ".join(cells).rstrip())
        if index == 0:
            print("  ".join("-" * width for width in widths))
    memory_rows = [row for row in rows if row.unit == "bytes"]
    if memory_rows:
        print()
        print("peak RSS (VmHWM) of the whole process: "
              + "; ".join(f"{row.name.split(', ', 1)[1]}: {_format_bytes(row.peaks[0])} vs "
                          f"{_format_bytes(row.peaks[1])}" for row in memory_rows))
    judged = [row for row in rows if row.met() is not None]
    missed = [row.name.strip() for row in judged if not row.met()]
    print()
    print(f"targets met: {len(judged) - len(missed)}/{len(judged)}"
          + (f"; missed: {', '.join(missed)}" if missed else ""))


# --- Saved runs and the figure ---------------------------------------------------------------

ROW_FIELDS = ("name", "ours", "theirs", "target", "unit", "baseline_name", "page", "peaks")
FIGURE = "preprocess-ms-by-size.png"


def save_run(path, rows, header_lines):
    with open(path, "w") as file:
        json.dump({"header": header_lines,
                   "rows": [{name: getattr(row, name) for name in ROW_FIELDS} for row in rows]},
                  file, indent=1)
        file.write("\n")


def load_run(path):
    with open(path) as file:
        data = json.load(file)
    rows = []
    for saved in data["rows"]:
        row = Row(*(saved[name] for name in ROW_FIELDS[:6]), page=saved["page"])
        row.peaks = saved["peaks"]
        rows.append(row)
    return rows, data["header"]


def draw_figure(directory, rows, header_lines):
    """preprocess_image's ms a page by size, beside the bare calls, for a path of each format."""
    import plots

    series = {}
    for row in rows:
        if row.page is None or row.page["form"] != "path":
            continue
        width, height = pages.SIZES[row.page["size"]]
        fmt = row.page["format"].upper()
        for label, times in ((f"preprocess_image, {fmt} file", row.ours),
                             (f"bare library calls, {fmt} file", row.theirs)):
            series.setdefault(label, []).extend((width, height, ns / 1e6) for ns in times)
    if not series:
        return None
    return plots.ms_by_size(os.path.join(directory, FIGURE), series,
                            "Preparing a page (preprocess_image) by image size",
                            "; ".join(header_lines[:2]))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small counts, for CI")
    parser.add_argument("--cv-threads", type=int, default=1,
                        help="cv2.setNumThreads for both sides (-1: leave OpenCV's default)")
    parser.add_argument("--json", metavar="FILE", help="also save every timing as JSON")
    parser.add_argument("--report", metavar="FILE",
                        help="only print the table of a run saved by --json")
    parser.add_argument("--plots", metavar="DIR", help="also draw the figure into DIR")
    args = parser.parse_args(argv)
    if args.report:
        rows, header_lines = load_run(args.report)
    else:
        rows, header_lines = measure(args)
    print_table(rows, header_lines)
    if args.json:
        save_run(args.json, rows, header_lines)
    if args.plots:
        figure = draw_figure(args.plots, rows, header_lines)
        print(f"figure: {figure}" if figure else "no page timings in this run: no figure")
    return 0


def measure(args):
    plan = QUICK if args.quick else FULL
    if args.cv_threads >= 0:
        cv2.setNumThreads(args.cv_threads)

    started = time.perf_counter()
    rows = []
    with tempfile.TemporaryDirectory(prefix="zerbano-bench-") as directory:
        sizes = sorted(set(plan["preprocess_rounds"]) | set(plan["memory_sizes"]),
                       key=lambda size: pages.SIZES[size][0])
        paths = pages.write_pages(directory, sizes)
        rows += bench_crop(plan)
        rows += bench_error(plan)
        rows += bench_preprocess(
            plan, {key: path for key, path in paths.items() if key[0] in plan["preprocess_rounds"]})
        rows += bench_memory(plan, paths, directory, args.cv_threads)
        rows += bench_import(plan)

    threads = (f"OpenCV threads: {cv2.getNumThreads()} on both sides" if args.cv_threads >= 0
               else f"OpenCV threads: its default ({cv2.getNumThreads()})")
    return rows, machine() + [
        threads + f"; {'quick' if args.quick else 'full'} run, "
        f"{time.perf_counter() - started:.0f} s; medians of interleaved rounds"]


if __name__ == "__main__":
    sys.exit(main())
