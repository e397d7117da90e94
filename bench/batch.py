#!/usr/bin/env python3
"""Pages per second of the batch command line: --jobs 1 against --jobs N, N the usable CPUs.

    python bench/batch.py            full run (about two minutes on 2 cores)
    python bench/batch.py --quick    in small, for CI (a few seconds)
    python bench/batch.py --dask     also: a Dask cluster of N worker processes
    python bench/batch.py --json FILE --plots DIR    also save the rates, and draw the figure
    python bench/batch.py --report FILE --plots DIR  the table and figure of a saved run again

Every side prepares the same folder of 1920x1080 JPEG pages (bench/pages.py) through the code
the command runs (zerbano.inputs.plan_pages, then zerbano.batch.run_pages, PNG files written),
in one process. The sides are --jobs 1 and --jobs N, each with OpenCV's own thread pool at
its default size and at one thread (cv2.setNumThreads(1)): the command keeps the faster
setting, and the table shows both. As in run.py, the sides run round by round with their
order rotating, each row quotes the median pages per second of both sides and the median of
the per-round ratios with their 25th-75th percentiles, and before anything is timed every
side's files are checked to hold the pixels of preprocess_image / crop_mrz_region called one
by one. The load average is printed before and after, with the share of the machine that other
processes took while the sides ran: rerun when it was more than a few percent.

With --dask (dask[distributed] installed), preprocess_image mapped over the same pages on a
local Dask cluster of N worker processes, its results gathered back, runs against the same
calls one by one in this process: what the cluster route costs and gains on one machine.
"""

import argparse
import json
import logging
import os
import shutil
import statistics
import sys
import tempfile
import time

import cv2
import numpy as np

import pages
import run
from stats import quantile
import zerbano.image as zimage
from zerbano import batch
from zerbano.inputs import plan_pages

FULL = {"pages": 16, "rounds": 9}
QUICK = {"pages": 2, "rounds": 2}
SIZE = "1920x1080"
TARGET = 1.7  # least pages/s ratio of --jobs N over --jobs 1


def write_folder(directory, count):
    width, height = pages.SIZES[SIZE]
    first = os.path.join(directory, "page-000.jpg")
    if not cv2.imwrite(first, pages.make_page(width, height)):
        raise RuntimeError(f"cv2 could not write {first}")
    for index in range(1, count):
        shutil.copyfile(first, os.path.join(directory, f"page-{index:03}.jpg"))


class Side:
    """One configuration of the command: threads for pages, threads for OpenCV."""

    def __init__(self, jobs, cv_threads, folder, out):
        self.jobs, self.cv_threads = jobs, cv_threads
        self.folder, self.out = folder, out
        self.name = f"--jobs {jobs}, OpenCV " + ("1 thread" if cv_threads == 1 else "default")

    def prepare(self):
        # setNumThreads is process-wide: every side sets its own before it runs.
        cv2.setNumThreads(self.cv_threads)
        os.makedirs(self.out, exist_ok=True)
        page_list, _ = plan_pages([self.folder], self.out)
        return page_list

    def __call__(self):
        page_list = self.prepare()
        started = time.perf_counter()
        outcome = batch.run_pages(page_list, self.jobs, lambda: None)
        seconds = time.perf_counter() - started
        if outcome.failures or outcome.written != len(page_list):
            raise AssertionError(f"{self.name}: pages failed: {outcome.failures}")
        return len(page_list) / seconds


def check_outputs(side):
    """The side's files hold what the two functions give, called one by one."""
    side()
    for page in side.prepare():
        expected = zimage.preprocess_image(page.source)
        for suffix, image in (("preprocessed", expected),
                              ("mrz", zimage.crop_mrz_region(expected))):
            written = cv2.imread(page.output(suffix), cv2.IMREAD_UNCHANGED)
            if written is None or not np.array_equal(written, image):
                raise AssertionError(f"{side.name}: {page.output(suffix)} differs")


class Ratio:
    def __init__(self, name, ours, theirs, target=None):
        self.name, self.ours, self.theirs, self.target = name, ours, theirs, target
        ratios = [a / b for a, b in zip(ours, theirs)]
        self.ratio = statistics.median(ratios)
        self.spread = (quantile(ratios, 0.25), quantile(ratios, 0.75))

    def cells(self):
        target = ""
        if self.target is not None:
            target = f">= {self.target:g}x" + ("" if self.ratio >= self.target else " MISSED")
        return (self.name, f"{statistics.median(self.ours):.2f}",
                f"{statistics.median(self.theirs):.2f}",
                f"{self.ratio:.3f}x ({self.spread[0]:.3f}-{self.spread[1]:.3f})", target,
                str(len(self.ours)))


def bench_dask(folder, cpus, rounds):
    """Rows for client.map on a local cluster against the same calls in this process."""
    from dask.distributed import Client, LocalCluster, wait

    paths = [page.source for page in plan_pages([folder])[0]]

    def one_by_one():
        started = time.perf_counter()
        for path in paths:
            zimage.preprocess_image(path)
        return len(paths) / (time.perf_counter() - started)

    started = time.perf_counter()
    with LocalCluster(n_workers=cpus, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None, silence_logs=logging.CRITICAL) as cluster, \
            Client(cluster) as client:
        startup = time.perf_counter() - started

        def on_cluster(gather):
            started = time.perf_counter()
            # pure=False: the same call twice is computed twice, not taken from memory.
            futures = client.map(zimage.preprocess_image, paths, pure=False)
            client.gather(futures) if gather else wait(futures)
            rate = len(paths) / (time.perf_counter() - started)
            client.cancel(futures)
            return rate

        results = client.gather(client.map(zimage.preprocess_image, paths, pure=False))
        if not all(np.array_equal(result, zimage.preprocess_image(path))
                   for result, path in zip(results, paths)):
            raise AssertionError("the cluster's results differ from local calls")
        gathered, kept, local = run.interleave(
            [lambda: on_cluster(True), lambda: on_cluster(False), one_by_one], rounds)
    rates = {"gathered": gathered, "kept": kept, "local": local}
    return rates, (f"Dask: preprocess_image only, on a local cluster of {cpus} worker "
                   f"processes started in {startup:.1f} s")


def dask_rows(cpus, rates):
    return [Ratio(f"Dask, {cpus} workers, results gathered vs one by one here",
                  rates["gathered"], rates["local"]),
            Ratio(f"Dask, {cpus} workers, results kept there vs one by one here",
                  rates["kept"], rates["local"])]


def print_table(rows, header_lines):
    table = [("pages per second", "side A", "side B", "ratio A/B (p25-p75)", "target", "n")]
    table += [row.cells() for row in rows]
    widths = [max(len(line[i]) for line in table) for i in range(len(table[0]))]
    for line in header_lines:
        print(line)
    print()
    for index, line in enumerate(table):
        cells = [cell.rjust(width) if i in (1, 2, 5) else cell.ljust(width)
                 for i, (cell, width) in enumerate(zip(line, widths))]
        print("  ".join(cells).rstrip())
        if index == 0:
            print("  ".join("-" * width for width in widths))


def load():
    return "load average {:.2f} {:.2f} {:.2f}".format(*os.getloadavg())


def cpu_counters():
    """(busy ticks of the whole machine, all ticks, this process's CPU ticks), or None."""
    try:
        with open("/proc/stat") as stat:
            ticks = [int(value) for value in stat.readline().split()[1:9]]
    except OSError:
        return None
    own = os.times()
    idle = ticks[3] + ticks[4]  # idle and iowait
    return sum(ticks) - idle, sum(ticks), (own.user + own.system) * os.sysconf("SC_CLK_TCK")


def others_share(before, after):
    """How much of the machine other processes used between two cpu_counters() readings."""
    if before is None or after is None:
        return "other processes' share not known (no /proc/stat)"
    busy, total, own = (b - a for a, b in zip(before, after))
    return f"other processes used {max(0.0, busy - own) / total:.0%} of the machine meanwhile"


def measure(args):
    """Pages per second of every side, round by round: (cpus, rates, header lines)."""
    plan = QUICK if args.quick else FULL
    cpus = batch.usable_cpus()
    load_before = load()
    started = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="zerbano-bench-batch-") as directory:
        folder = os.path.join(directory, "pages")
        os.makedirs(folder)
        write_folder(folder, plan["pages"])
        sides = [Side(jobs, threads, folder, os.path.join(directory, f"out-{jobs}-{threads}"))
                 for jobs in (1, cpus) for threads in (-1, 1)]
        for side in sides:
            check_outputs(side)  # also the warm-up: page cache, OpenCV's pool
        counters = cpu_counters()
        one_default, one_single, many_default, many_single = run.interleave(sides, plan["rounds"])
        interference = others_share(counters, cpu_counters())
        cv2.setNumThreads(-1)  # Dask's side and its baseline: OpenCV as a caller has it
        dask, dask_note = bench_dask(folder, cpus, plan["rounds"]) if args.dask else (None, None)
    rates = {"one_default": one_default, "one_single": one_single,
             "many_default": many_default, "many_single": many_single, "dask": dask}
    return cpus, rates, run.machine() + [
        f"{plan['pages']} JPEG pages of {SIZE}, PNG files written; "
        f"{'quick' if args.quick else 'full'} run, {time.perf_counter() - started:.0f} s; "
        f"medians of interleaved rounds",
        f"before: {load_before}; after: {load()}; {interference}",
    ] + ([dask_note] if dask_note else [])


def table_rows(cpus, rates):
    # What the command does: OpenCV at one thread when it runs pages on several.
    command_one = rates["one_default"]
    command_many = rates["many_single"] if cpus > 1 else rates["many_default"]
    return [
        Ratio(f"--jobs {cpus} vs --jobs 1, as the command runs them", command_many, command_one,
              TARGET),
        Ratio(f"--jobs {cpus}: OpenCV 1 thread vs default", rates["many_single"],
              rates["many_default"]),
        Ratio("--jobs 1: OpenCV 1 thread vs default", rates["one_single"], rates["one_default"]),
        Ratio(f"--jobs {cpus} vs --jobs 1, OpenCV 1 thread both", rates["many_single"],
              rates["one_single"]),
    ] + (dask_rows(cpus, rates["dask"]) if rates["dask"] else [])


FIGURE = "batch-pages-per-second-by-jobs.png"


def draw_figure(directory, cpus, rates, header_lines):
    """Pages per second by --jobs, each round a point, OpenCV's pool both ways; Dask beside."""
    import plots

    series = {
        "batch, OpenCV's pool at one thread": [(1, r) for r in rates["one_single"]]
                                              + [(cpus, r) for r in rates["many_single"]],
        "batch, OpenCV's pool at its default": [(1, r) for r in rates["one_default"]]
                                               + [(cpus, r) for r in rates["many_default"]],
    }
    if rates["dask"]:
        series["preprocess_image one by one in the caller"] = [(1, r) for r in rates["dask"]["local"]]
        series["Dask workers, results gathered"] = [(cpus, r) for r in rates["dask"]["gathered"]]
        series["Dask workers, results kept there"] = [(cpus, r) for r in rates["dask"]["kept"]]
    return plots.pages_per_second_by_jobs(
        os.path.join(directory, FIGURE), series,
        f"Pages per second: {SIZE} JPEG pages, both PNG files written (Dask: prepared only)",
        "; ".join(header_lines[:2]))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small counts, for CI")
    parser.add_argument("--dask", action="store_true",
                        help="also measure client.map on a local Dask cluster")
    parser.add_argument("--json", metavar="FILE", help="also save every rate as JSON")
    parser.add_argument("--report", metavar="FILE",
                        help="only print the table of a run saved by --json")
    parser.add_argument("--plots", metavar="DIR", help="also draw the figure into DIR")
    args = parser.parse_args(argv)
    if args.report:
        with open(args.report) as file:
            saved = json.load(file)
        cpus, rates, header_lines = saved["cpus"], saved["rates"], saved["header"]
    else:
        cpus, rates, header_lines = measure(args)
    print_table(table_rows(cpus, rates), header_lines)
    if args.json:
        with open(args.json, "w") as file:
            json.dump({"cpus": cpus, "rates": rates, "header": header_lines}, file, indent=1)
            file.write("\n")
    if args.plots:
        print("figure: " + draw_figure(args.plots, cpus, rates, header_lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
