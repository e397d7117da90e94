"""Many pages on a pool of threads, with a progress bar and one summary line.

OpenCV decodes, resizes, opens and encodes without the interpreter lock, so threads run pages
side by side in one process. Pages start in input order, at most `jobs` at once and only while
their estimated memory fits the budget beside the pages in flight (zerbano.admission); each
page's estimate comes from the size its header gives, read before anything is decoded, and a
page above the pixel limit fails there without being decoded. A page that fails is recorded
and the others go on; Ctrl-C sets a flag that every worker checks before it renames a finished
file, so an interrupted run leaves whole files only.
"""

import os
import threading
import time
from collections import deque
from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait
from dataclasses import dataclass, field

from zerbano import imagesize
from zerbano.admission import Admission
from zerbano.image import crop_mrz_region, preprocess_image
from zerbano.inputs import OUTPUT_SUFFIXES
from zerbano.pngfiles import Abandoned, write_png

# Peak memory of one page (preprocess_image, crop_mrz_region, both PNG files written) per pixel
# of the input image: 14.7 bytes measured on a 4000x3000 JPEG (176 MB above the process's
# own); rounded up. The decoded colour image, its gray copy, the enlarged image and the opened
# one (3 + 1 + 4 + 4 bytes a pixel) are alive at once, and the decoder keeps its own buffers.
PAGE_BYTES_PER_PIXEL = 16


def usable_cpus():
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


@dataclass
class Outcome:
    pages: int
    written: int = 0
    failures: dict = field(default_factory=dict)  # page index -> message
    seconds: float = 0.0

    def summary(self):
        return (f"{self.written} pages written, {len(self.failures)} failed"
                + timing(self.written, self.seconds))


def timing(done, seconds):
    """The summary's end: `, 11.8 pages/s (1.36 s)`, the rate over the `done` pages alone (a
    page that failed says nothing of the speed), or just ` (0.00 s)` when none was done."""
    if done and seconds:
        return f", {done / seconds:.1f} pages/s ({seconds:.2f} s)"
    return f" ({seconds:.2f} s)"


def describe(error):
    """An error as the command prints it: the module's and the system's own words."""
    if isinstance(error, (ValueError, OSError)):
        return str(error)
    return f"{type(error).__name__}: {error}"


def process_page(page, stopping):
    """Preprocesses one page and writes its two PNG files."""
    if stopping.is_set():
        raise Abandoned(page.label)
    preprocessed = preprocess_image(page.source)
    band = crop_mrz_region(preprocessed)
    for suffix, image in zip(OUTPUT_SUFFIXES, (preprocessed, band)):
        write_png(page.output(suffix), image, stopping)


def page_weigher(max_pixels=imagesize.DEFAULT_MAX_PIXELS, setting="--max-pixels",
                 bytes_per_pixel=PAGE_BYTES_PER_PIXEL):
    """A weigh(page) for run_pages: the page's estimated peak bytes, from its header's size.

    Raises TooManyPixels for a page above `max_pixels`. A page whose size cannot be read (a
    format without a known header, or no image at all) is weighed as if it had `max_pixels`
    pixels, the most its decoder may give when OpenCV's own limit is set to the same number.
    """
    def weigh(page):
        size = imagesize.input_image_size(page.source)
        imagesize.check_pixel_limit(size, max_pixels, setting)
        pixels = size[0] * size[1] if size else (max_pixels or 0)
        text_bytes = 0 if os.path.isfile(page.source) else len(page.source)  # decoded once
        return pixels * bytes_per_pixel + text_bytes
    return weigh


def run_pages(pages, jobs, progress, work=process_page, weigh=None, budget=None,
              finished=None):
    """Runs `work(page, stopping)` for every page on `jobs` threads; calls progress() once per
    finished page, and first, with `finished`, finished(index, result, error): what work
    returned and None, or None and the exception the page failed with. Both are called on the
    caller's thread.

    Pages start in order. With `weigh` (page -> estimated peak bytes), a page starts only when
    its estimate fits `budget` beside the pages in flight, or when none is in flight; weigh
    runs just before the page could start, and a page for which it raises fails with that
    error without running. On KeyboardInterrupt, waits for the pages in progress to stop (each
    at most one page's work), then lets the interrupt go on.
    """
    outcome = Outcome(len(pages))
    stopping = threading.Event()
    admission = Admission(budget if weigh else None)
    waiting = deque(enumerate(pages))
    running = {}  # future -> (page index, estimated bytes)
    head_cost = None  # the estimate of waiting[0], once weighed
    started = time.perf_counter()
    executor = ThreadPoolExecutor(max_workers=jobs, thread_name_prefix="zerbano-page")
    try:
        while waiting or running:
            while waiting and len(running) < jobs:
                index, page = waiting[0]
                if head_cost is None:
                    try:
                        head_cost = weigh(page) if weigh else 0
                    except Exception as error:
                        waiting.popleft()
                        outcome.failures[index] = describe(error)
                        if finished:
                            finished(index, None, error)
                        progress()
                        continue
                if not admission.fits(head_cost):
                    break
                waiting.popleft()
                admission.admit(head_cost)
                running[executor.submit(work, page, stopping)] = index, head_cost
                head_cost = None
            if not running:
                continue
            done, _ = wait(running, return_when=FIRST_COMPLETED)
            for future in done:
                index, cost = running.pop(future)
                admission.release(cost)
                error = future.exception()
                if error is None:
                    outcome.written += 1
                else:
                    outcome.failures[index] = describe(error)
                if finished:
                    finished(index, None if error else future.result(), error)
                progress()
    except BaseException:
        stopping.set()
        executor.shutdown(wait=True, cancel_futures=True)
        raise
    executor.shutdown()
    outcome.seconds = time.perf_counter() - started
    return outcome


class _NoBar:
    def update(self, count=1):
        pass

    def write(self, text, file=None):
        print(text, file=file)

    def close(self):
        pass


def open_progress(total, stream):
    """A tqdm bar on `stream` while it is a terminal and tqdm can be imported, else nothing."""
    if not stream.isatty():
        return _NoBar()
    try:
        from tqdm import tqdm
    except ImportError:
        return _NoBar()
    return tqdm(total=total, file=stream, unit="page", leave=False, dynamic_ncols=True)
