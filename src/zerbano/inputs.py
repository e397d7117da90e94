"""Which pages a command line names, and where each page's two PNG files go.

Everything here is decided before any page is read, so that a usage error stops the command
before it has written anything, and so that no two pages of one run share an output name.
"""

import itertools
import os
from dataclasses import dataclass

# The image files a directory contributes, by extension (case ignored): what cv2 reads.
IMAGE_SUFFIXES = frozenset({
    ".avif", ".bmp", ".dib", ".exr", ".hdr", ".jp2", ".jpe", ".jpeg", ".jpg", ".pbm", ".pfm",
    ".pgm", ".pic", ".png", ".pnm", ".ppm", ".pxm", ".ras", ".sr", ".tif", ".tiff", ".webp",
})
OUTPUT_SUFFIXES = ("preprocessed", "mrz")
TEXT_STEM = "input"
STDIN = "-"


class UsageError(Exception):
    """The command line cannot be carried out as given; nothing has been written."""


@dataclass(frozen=True)
class Page:
    label: str   # how messages name the page: its path, "-", or the start of its text
    source: str  # what preprocess_image is given
    stem: str    # output path without "-preprocessed.png" / "-mrz.png"

    def output(self, suffix):
        return f"{self.stem}-{suffix}.png"


@dataclass(frozen=True)
class _Candidate:
    label: str
    source: str
    natural_stem: str  # the output stem a lone page of this input would get
    from_directory: bool


def plan_pages(arguments, out=None, recursive=False, read_stdin=None):
    """The pages of `arguments` in order, each with an output stem no other page shares.

    `read_stdin` is called once if an argument is "-". Returns (pages, renamed), where
    renamed lists the (page, natural stem) pairs whose name was already taken.
    """
    if arguments.count(STDIN) > 1:
        raise UsageError("'-' is given more than once: standard input can be read once")
    candidates = []
    for argument in arguments:
        candidates += _expand(argument, out, recursive, read_stdin)
    if not candidates:
        raise UsageError("no image files in " + ", ".join(arguments))
    return _distinct_names(_without_own_outputs(candidates))


def output_folder(image_path, out):
    """Next to the image file, else in the current directory, or in `out`."""
    if out is not None:
        return os.path.abspath(out)
    if image_path is not None:
        return os.path.dirname(os.path.abspath(image_path))
    return os.getcwd()


def _expand(argument, out, recursive, read_stdin):
    if argument == STDIN:
        text = read_stdin().strip()
        return [_Candidate(STDIN, text, _stem(None, out), False)]
    if os.path.isdir(argument):
        return [_Candidate(path, path, _stem(path, out), True)
                for path in image_files(argument, recursive)]
    if os.path.isfile(argument):
        return [_Candidate(argument, argument, _stem(argument, out), False)]
    # Base64 text, a data URL, or a name that is no file: preprocess_image decides.
    return [_Candidate(shortened(argument), argument, _stem(None, out), False)]


def _stem(image_path, out):
    name = TEXT_STEM
    if image_path is not None:
        name = os.path.splitext(os.path.basename(image_path))[0]
    return os.path.join(output_folder(image_path, out), name)


def image_files(directory, recursive):
    """The image files of `directory` by extension, sorted by their path components."""
    found = []
    for folder, subfolders, files in os.walk(directory):
        if not recursive:
            subfolders.clear()
        for name in files:
            path = os.path.join(folder, name)
            if os.path.splitext(name)[1].lower() in IMAGE_SUFFIXES and os.path.isfile(path):
                found.append(path)
    return sorted(found, key=lambda path: os.path.relpath(path, directory).split(os.sep))


def _without_own_outputs(candidates):
    # A folder run a second time holds the first run's PNGs. A file found in a directory that
    # this run will write is an output, not a page; dropping it can change the names of the
    # pages after it, so this repeats until nothing more is dropped.
    while True:
        pages, _ = _distinct_names(candidates)
        outputs = {page.output(suffix) for page in pages for suffix in OUTPUT_SUFFIXES}
        kept = [candidate for candidate in candidates
                if not (candidate.from_directory and os.path.abspath(candidate.source) in outputs)]
        if len(kept) == len(candidates):
            return kept
        candidates = kept


def _distinct_names(candidates):
    # The first page to claim a name keeps it; each later one gets the first of NAME-2,
    # NAME-3, ... that no page of the run would have as its own name.
    natural = {candidate.natural_stem for candidate in candidates}
    assigned = set()
    pages, renamed = [], []
    for candidate in candidates:
        stem = candidate.natural_stem
        if stem in assigned:
            stem = next(numbered for numbered in (f"{stem}-{n}" for n in itertools.count(2))
                        if numbered not in assigned and numbered not in natural)
        assigned.add(stem)
        page = Page(candidate.label, candidate.source, stem)
        pages.append(page)
        if stem != candidate.natural_stem:
            renamed.append((page, candidate.natural_stem))
    return pages, renamed


def shortened(text, limit=48):
    if len(text) <= limit:
        return text
    return f"{text[:limit - 16]}... ({len(text)} characters)"
