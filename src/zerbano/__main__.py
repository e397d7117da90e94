"""The command line: one page previewed, many pages prepared, or their zones read.

    python -m zerbano [INPUT...] [--out DIR] [--jobs N] [--recursive]
                      [--max-pixels N] [--max-memory SIZE]
    python -m zerbano read [INPUT...] [--json] [--jobs N] [--recursive]
                           [--max-pixels N] [--max-memory SIZE]

An INPUT is an image file, a directory (its image files by extension, sorted; subdirectories
only with --recursive), base64 text or a data URL, or "-" to read that text from standard
input; without one, the sample passport page shipped with the package is used.

One file or text: the preview. Writes the preprocessed image and its MRZ band as PNG files
(next to an input file, else into the current directory, or into DIR) and prints their shapes
and the time taken.

Several inputs, or a directory: the batch. Writes each page's two PNG files the same way, on
--jobs threads, with a progress bar while standard error is a terminal; lists the pages that
failed and ends with one summary line. Pages start only while their estimated memory fits
--max-memory beside the pages in flight (default: 3/4 of the memory available to the process).
Exit status 0 when every page was written, 1 when one failed, 2 for a usage error, 130 when
interrupted.

"read" as the first argument: the machine-readable zone of every page, read by
zerbano.mrz.read on the batch's threads, one line a page on standard output in input order
(--json: JSON Lines), failures and a summary on standard error (zerbano.readpages). Exit
status 0 when every page gave a zone (valid or not), 1 when a page failed, 3 when none failed
but a page gave no zone, 2 and 130 as above. A file named "read" is reached as ./read.

Every page is first measured from its own header: one above --max-pixels (default 100 million)
fails without being decoded. The check lives here, and in the MRZ reader, rather than in
preprocess_image: what that function accepts is the module's contract, and OpenCV's own limit
(OPENCV_IO_MAX_IMAGE_PIXELS) is its caller's setting. This command is such a caller: unless the
environment sets that variable, it sets it to --max-pixels before OpenCV is loaded, so a format
whose header is not read here is held to the same limit by OpenCV's decoders.
"""

import argparse
import os
import sys
import time
from importlib import resources

from zerbano import admission, imagesize
from zerbano.inputs import OUTPUT_SUFFIXES, TEXT_STEM, UsageError, plan_pages

SAMPLE = "sample-passport.jpg"
OPENCV_PIXEL_LIMIT = "OPENCV_IO_MAX_IMAGE_PIXELS"
PROG = "python -m zerbano"
READ = "read"
EXIT_FAILED, EXIT_USAGE, EXIT_NO_ZONE, EXIT_INTERRUPTED = 1, 2, 3, 130


class OneLineParser(argparse.ArgumentParser):
    def error(self, message):
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see --help)\n")


def positive_count(text):
    try:
        count = int(text)
    except ValueError:
        count = 0
    if count < 1:
        raise argparse.ArgumentTypeError(f"must be a whole number of at least 1, not {text!r}")
    return count


def memory_size(text):
    try:
        return admission.parse_size(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"must be a size such as 300M, 2G or a number of bytes, not {text!r}") from None


def parse_arguments(argv):
    parser = OneLineParser(
        prog=PROG,
        description="Preprocess passport pages for OCR and crop their MRZ bands.",
        epilog=f"To read the zones' text instead: {PROG} {READ} --help. An input file named "
               f"{READ} is given as ./{READ}.",
    )
    parser.add_argument(
        "inputs", nargs="*", metavar="INPUT",
        help="image file, directory of image files, base64 text, data URL, or - for text on "
             "standard input (default: the shipped sample page)",
    )
    parser.add_argument("--out", metavar="DIR", help="directory for the PNG files")
    add_batch_options(parser, "prepared")
    # Intermixed: options may stand between the inputs ("DIR --recursive FILE").
    return parser.parse_intermixed_args(argv)


def parse_read_arguments(argv):
    parser = OneLineParser(
        prog=f"{PROG} {READ}",
        description="Read the machine-readable zone of passport pages, ID cards and visas: one "
                    "line a page on standard output, in input order. Exit status: 0 when "
                    "every page gave a zone (valid or not), 1 when a page failed, 2 for a "
                    "usage error, 3 when none failed but a page gave no zone.",
    )
    parser.add_argument(
        "inputs", nargs="*", metavar="INPUT",
        help="image file, directory of image files, base64 text, data URL, or - for an "
             "image file or such text on standard input (default: the shipped sample page)",
    )
    parser.add_argument("--json", action="store_true",
                        help='JSON Lines: {"input": INPUT, "mrz": the zone\'s fields or null} '
                             'a page, with "error" for a page that failed')
    add_batch_options(parser, "read")
    return parser.parse_intermixed_args(argv)


def add_batch_options(parser, done):
    parser.add_argument("--jobs", metavar="N", type=positive_count,
                        help=f"pages {done} at once (default: the CPUs this process may use)")
    parser.add_argument("--recursive", action="store_true",
                        help="take the image files of subdirectories too")
    parser.add_argument("--max-pixels", metavar="N", type=positive_count,
                        default=imagesize.DEFAULT_MAX_PIXELS,
                        help="refuse an image whose header gives more pixels "
                             "(default: %(default)s)")
    parser.add_argument("--max-memory", metavar="SIZE", type=memory_size,
                        help="memory the pages in flight may take together, e.g. 300M or 2G "
                             "(default: 3/4 of the memory available)")


def is_batch(inputs):
    return len(inputs) > 1 or (len(inputs) == 1 and os.path.isdir(inputs[0]))


def require_cv2():
    try:
        import cv2  # noqa: F401 - only to name the missing dependency clearly
    except ImportError:
        raise SystemExit(
            "zerbano: error: OpenCV's cv2 is not installed "
            "(pip install 'zerbano[opencv]', or apt install python3-opencv)")


# --- One page ------------------------------------------------------------------------------


def output_stem(image, text):
    """Where the outputs go and what they are called, as a path without suffix."""
    if image is None:
        return SAMPLE.rsplit(".", 1)[0], os.getcwd()
    if os.path.isfile(text):
        folder, name = os.path.split(os.path.abspath(text))
        return os.path.splitext(name)[0], folder
    return TEXT_STEM, os.getcwd()


def preview(image, out, max_pixels):
    from zerbano.image import crop_mrz_region, preprocess_image
    from zerbano.pngfiles import write_png

    if image is None:
        source = resources.files("zerbano") / "data" / SAMPLE
        text = str(source)
    elif image == "-":
        text = sys.stdin.read().strip()
    else:
        text = image
    stem, folder = output_stem(image, text)
    if out:
        folder = out
        os.makedirs(folder, exist_ok=True)

    started = time.perf_counter()
    imagesize.check_pixel_limit(imagesize.input_image_size(text), max_pixels, "--max-pixels")
    preprocessed = preprocess_image(text)
    band = crop_mrz_region(preprocessed)
    elapsed = time.perf_counter() - started

    written = []
    for suffix, image in zip(OUTPUT_SUFFIXES, (preprocessed, band)):
        path = os.path.join(folder, f"{stem}-{suffix}.png")
        write_png(path, image)
        written.append(path)
    print(f"preprocessed: {preprocessed.shape[1]}x{preprocessed.shape[0]} -> {written[0]}")
    print(f"MRZ band:     {band.shape[1]}x{band.shape[0]} -> {written[1]}")
    print(f"took {elapsed * 1000:.1f} ms")


# --- Many pages ----------------------------------------------------------------------------


def prepare_pages(options):
    import cv2

    from zerbano import batch

    pages, renamed = plan_pages(options.inputs, options.out, options.recursive, sys.stdin.read)
    if options.out:
        os.makedirs(options.out, exist_ok=True)
    for page, natural in renamed:
        print(f"zerbano: {page.label}: writes {os.path.basename(page.stem)}-*.png, as "
              f"{os.path.basename(natural)}-*.png belongs to an earlier input", file=sys.stderr)
    jobs = min(options.jobs or batch.usable_cpus(), len(pages))
    if jobs > 1:
        cv2.setNumThreads(1)  # the pages already keep every core busy; see bench/batch.py
    budget = options.max_memory or admission.default_budget()
    weigh = batch.page_weigher(options.max_pixels)
    bar = batch.open_progress(len(pages), sys.stderr)
    try:
        outcome = batch.run_pages(pages, jobs, bar.update, weigh=weigh, budget=budget)
    finally:
        bar.close()
    for index in sorted(outcome.failures):
        print(f"{pages[index].label}: {outcome.failures[index]}", file=sys.stderr)
    print(outcome.summary(), file=sys.stderr)
    return EXIT_FAILED if outcome.failures else 0


# --- Zones read ----------------------------------------------------------------------------


def read_pages(options):
    import cv2

    from zerbano import batch, readpages

    inputs = options.inputs or [str(resources.files("zerbano") / "data" / SAMPLE)]
    pages = readpages.plan_read(inputs, options.recursive, sys.stdin.buffer.read)
    jobs = min(options.jobs or batch.usable_cpus(), len(pages))
    if jobs > 1:
        cv2.setNumThreads(1)
    budget = options.max_memory or admission.default_budget()
    bar = batch.open_progress(len(pages), sys.stderr)

    def write(line):
        bar.write(line, file=sys.stdout)  # tqdm's own: clears the bar, prints, redraws it
        sys.stdout.flush()  # a line a page as it comes, also into a pipe

    results = readpages.Results(
        pages, readpages.json_line if options.json else readpages.plain_line, write)
    try:
        outcome = batch.run_pages(
            pages, jobs, bar.update, work=readpages.page_reader(options.max_pixels),
            weigh=readpages.page_weigher(options.max_pixels), budget=budget, finished=results)
    except BrokenPipeError:
        # Standard output closed early (| head): stop quietly, as other filters do.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED
    finally:
        bar.close()
    for index in sorted(outcome.failures):
        print(f"{pages[index].label}: {outcome.failures[index]}", file=sys.stderr)
    print(results.summary(outcome.seconds), file=sys.stderr)
    if outcome.failures:
        return EXIT_FAILED
    return EXIT_NO_ZONE if results.no_zone else 0


def run(argv):
    reading = bool(argv) and argv[0] == READ
    options = parse_read_arguments(argv[1:]) if reading else parse_arguments(argv)
    # OpenCV reads its limit once, when cv2 is imported: set it before anything imports cv2.
    os.environ.setdefault(OPENCV_PIXEL_LIMIT, str(options.max_pixels))
    require_cv2()
    if reading:
        return read_pages(options)
    if is_batch(options.inputs):
        return prepare_pages(options)
    preview(options.inputs[0] if options.inputs else None, options.out, options.max_pixels)
    return 0


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    try:
        status = run(argv)
    except UsageError as error:
        prog = f"{PROG} {READ}" if argv[:1] == [READ] else PROG
        print(f"{prog}: error: {error} (see --help)", file=sys.stderr)
        status = EXIT_USAGE
    except (ValueError, OSError) as error:
        sys.exit(f"zerbano: error: {error}")
    except Exception as error:  # anything else from OpenCV or NumPy: still one line
        sys.exit(f"zerbano: error: {type(error).__name__}: {error}")
    except KeyboardInterrupt:
        print("zerbano: interrupted", file=sys.stderr)
        status = EXIT_INTERRUPTED
    if status:
        sys.exit(status)


if __name__ == "__main__":
    main()
