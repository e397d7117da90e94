"""Many pages on a pool of threads, with a progress bar and one summary line.

OpenCV decodes, resizes, opens and encodes without the interpreter lock, so threads run pages
side by side in one process. A page that fails is recorded and the others go on; Ctrl-C sets
a flag that every worker checks before it renames a finished file, so an interrupted run
leaves whole files only.
"""

import os
import threading
import time
from concurrent.futures import ThreadPoolExecutor, as_completed
from dataclasses import dataclass, field

from zerbano.image import crop_mrz_region, preprocess_image
from zerbano.inputs import OUTPUT_SUFFIXES
from zerbano.pngfiles import Abandoned, write_png


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
        rate = (self.written + len(self.failures)) / self.seconds if self.seconds else 0.0
        return (f"{self.written} pages written, {len(self.failures)} failed, "
                f"{rate:.1f} pages/s ({self.seconds:.2f} s)")


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


def run_pages(pages, jobs, progress):
    """Runs every page on `jobs` threads; calls progress() once per finished page.

    On KeyboardInterrupt, waits for the pages in progress to stop (each at most one page's
    work), then lets the interrupt go on.
    """
    outcome = Outcome(len(pages))
    stopping = threading.Event()
    started = time.perf_counter()
    executor = ThreadPoolExecutor(max_workers=jobs, thread_name_prefix="zerbano-page")
    try:
        futures = {executor.submit(process_page, page, stopping): index
                   for index, page in enumerate(pages)}
        for future in as_completed(futures):
            error = future.exception()
            if error is None:
                outcome.written += 1
            else:
                outcome.failures[futures[future]] = describe(error)
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
