#!/usr/bin/env python3
"""How well and how fast readers read the machine-readable zone of synthetic captures and of
real pages.

    python bench/mrz.py                 300 captures (seeds 0-299), every reader available
    python bench/mrz.py --quick         for CI: 20 captures, the peers on the first 5 only
    python bench/mrz.py --captures DIR  keep the generated captures in DIR and reuse them
    python bench/mrz.py --no-zone 50    50 pages without a zone beside the captures (default 20)
    python bench/mrz.py --print varied  the captures with varied print (see below)
    python bench/mrz.py --truth ../shared/mrz-real       a folder of real pages (see below)
    python bench/mrz.py --truth ../shared/mrz-real --readers zerbano \
        --write-exact tests/data/mrz-real-exact.txt      the zones CI holds the reader to
    python bench/mrz.py --json run.json ...              every outcome saved, to redraw with
    python bench/mrz.py --report run.json --captures DIR   (or --truth DIR, as in the run)

The captures come from bench/captures.py (photographs of TD1, TD2, TD3 and MRV pages with an
OCR-B zone to ICAO scale; see there). The readers, each given the path of the capture's JPEG
file, so that decoding is part of every reader's time:
    zerbano      zerbano.mrz.read (skipped with a note while the package has no reader)
    PassportEye  PyPI's passporteye, read_mrz(path): its own zone search, then Tesseract
    Tesseract    Debian's tesseract-ocr with its eng model, --psm 6 and the zone's 37 symbols as
                 the whitelist, on zerbano.image's band: crop_mrz_region(preprocess_image(path))
The peers belong to the benchmark's own environment (bench/requirements-mrz.txt and Debian's
tesseract-ocr); a peer that is not installed is skipped with a note. Everything runs on one
core: OpenCV, OpenMP and OpenBLAS on one thread, Tesseract with OMP_THREAD_LIMIT=1. The readers
take their turns capture by capture, their order rotating, so that drift in the machine's load
falls on all of them alike; each reader reads one capture before the timed run.

What is counted, per capture and reader (a reader's lines compared without spaces):
    read exactly      the zone's lines, all of them, every character right
    characters right  over all the zone's characters: for each line, its length less its edit
                      distance to the reader's line; a reader that returned more lines than the
                      zone has is judged on its consecutive lines closest to the zone's
    nothing returned  no zone, or no text at all
    false accepts     the reader said valid (its own verdict) and a character is wrong, or the
                      zone was printed with a wrong check digit; "-" for a reader with no verdict
    ms a page         wall time of the call, median and 90th percentile
The tables: all captures, then by character height, by rotation and by layout. Then the pages
without a zone (the same pages and scenes, no zone drawn; their seeds from NO_ZONE_SEED on):
    zone invented     the reader returned a zone; "valid" if it also said valid
A crash of zerbano's reader fails the run (exit status 1); a peer's exception counts as
nothing returned.

Varied print (--print varied): the same seeds drawn with captures.generate(seed,
print="varied"), whose zone's stroke weight (-0.07 to +0.10 mm) and each character's place off
its cell are drawn too; the rest of each capture is its nominal twin's. Under --captures DIR
they are kept in DIR/varied-print, and a saved capture of another print or version is made
again. The tables are the same.

Real pages (--truth DIR): the pages listed in DIR/truth.jsonl, images in DIR/images, in the
form of ../shared/mrz-real (see its README), or recaptures of such a folder (bench/captures.py
--recapture). The rules are bench/mrz_scoring.py's, shared with CI: only zones with `scored:
true` count toward exactness; a zone printed with a wrong check digit is exact when read as
printed, and calling it valid is a false accept; any zone, scored or not, read wrong and
called valid is a false accept; a zone returned on a page without one (`layout: null`) is
invented (and a false accept if called valid). The tables: a line a page (its layout, capital
height, whether scored, and each reader's outcome and ms), zerbano's wrong readings, false
accepts and invented zones with their text, then the summary (exact, wrong and nothing over
the scored zones, characters right, false accepts over every page, zones invented, ms a page:
median, p90 and the slowest, named), by capital height (<8, 8-10, 10-14, 14-20, 20-30, >=30 px)
and by layout over the scored zones, and the unscored zones and pages without a zone.
--write-exact FILE writes the scored zones zerbano read exactly and did not falsely call
valid (file names only); it refuses to drop a name the file listed before unless given
--allow-loss, and exits with status 1 when it refuses.

--json FILE saves {reader: [outcome]}: per page its seed (synthetic) or file (real), exact,
characters right and of, nothing, the reader's verdict, false accept, invented, seconds, the
error if any, and the lines read.
"""

import os

# One core for every reader, set before numpy and OpenCV load their thread pools.
for _name in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "OMP_THREAD_LIMIT"):
    os.environ[_name] = "1"

import argparse  # noqa: E402
import importlib.metadata  # noqa: E402
import json  # noqa: E402
import shutil  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
import traceback  # noqa: E402
import warnings  # noqa: E402

import cv2  # noqa: E402

import captures  # noqa: E402
from mrz_scoring import Outcome, Result, TruthError, load_truth  # noqa: E402
import mrz_scoring  # noqa: E402
from stats import quantile  # noqa: E402
import run  # noqa: E402

FULL = {"captures": 300, "peer_captures": None, "no_zone": 20}
QUICK = {"captures": 20, "peer_captures": 5, "no_zone": 2}
# Pages without a zone take their seeds from here on, apart from the captures'.
NO_ZONE_SEED = 1_000_000
ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789<"
TESSERACT_TIMEOUT = 120  # seconds; a page that takes longer counts as nothing returned


# --- The readers -------------------------------------------------------------------------


class Reader:
    """A named reader: `read(path) -> Result`; `note` says why it is skipped, if it is."""

    name = ""
    verdict = True  # whether the reader says valid or not
    fatal = False  # whether an exception fails the run
    note = None

    def version(self):
        return ""


class Zerbano(Reader):
    name = "zerbano.mrz.read"
    fatal = True

    def __init__(self):
        try:
            from zerbano import mrz
            self._read = mrz.read
        except (ImportError, AttributeError) as error:
            self.note = f"skipped: no zerbano.mrz.read in this install ({error})"

    def version(self):
        return "zerbano " + importlib.metadata.version("zerbano")

    def read(self, path):
        return Result.of_zone(self._read(path))


class PassportEye(Reader):
    name = "PassportEye"

    def __init__(self):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                from passporteye import read_mrz
            self._read = read_mrz
        except ImportError as error:
            self.note = f"skipped: passporteye is not installed ({error})"
        if shutil.which("tesseract") is None:
            self.note = "skipped: the tesseract command is not installed"

    def version(self):
        return "passporteye " + importlib.metadata.version("passporteye")

    def read(self, path):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            found = self._read(path)
        if found is None:
            return Result([])
        return Result(found.aux.get("text", "").splitlines(), bool(found.valid))


class TesseractOnBand(Reader):
    name = "Tesseract on zerbano.image's band"
    verdict = False

    def __init__(self):
        import zerbano.image
        self._image = zerbano.image
        if shutil.which("tesseract") is None:
            self.note = "skipped: the tesseract command is not installed (Debian: tesseract-ocr)"

    def version(self):
        done = subprocess.run(["tesseract", "--version"], capture_output=True, text=True)
        return (done.stdout or done.stderr).splitlines()[0]

    def read(self, path):
        band = self._image.crop_mrz_region(self._image.preprocess_image(path))
        ok, png = cv2.imencode(".png", band)
        if not ok:
            raise RuntimeError("cv2 could not encode the band")
        command = ["tesseract", "stdin", "stdout", "--psm", "6", "-l", "eng",
                   "-c", "tessedit_char_whitelist=" + ALPHABET]
        try:
            done = subprocess.run(command, input=png.tobytes(), capture_output=True,
                                  timeout=TESSERACT_TIMEOUT, check=True)
        except subprocess.TimeoutExpired:
            return Result([], error=f"timed out after {TESSERACT_TIMEOUT} s")
        return Result(done.stdout.decode("utf-8", "replace").splitlines())


READERS = {"zerbano": Zerbano, "passporteye": PassportEye, "tesseract": TesseractOnBand}


# --- The run -----------------------------------------------------------------------------


def capture_name(seed):
    """The file name of the capture (or, from NO_ZONE_SEED on, the page without a zone)."""
    if seed >= NO_ZONE_SEED:
        return f"no-zone-{seed - NO_ZONE_SEED:05}.jpg"
    return f"capture-{seed:05}.jpg"


def prepare_captures(directory, seeds, print_mode=captures.NOMINAL):
    """The captures of `seeds` in `directory` (made there unless already made): {seed: truth}.

    `print_mode` is passed to captures.generate as its `print`; a saved capture of another
    version or another print is made again.
    """
    os.makedirs(directory, exist_ok=True)
    truth_file = os.path.join(directory, "truth.json")
    known = {}
    if os.path.exists(truth_file):
        with open(truth_file) as file:
            known = {truth["seed"]: truth for truth in json.load(file).values()
                     if truth.get("version") == captures.VERSION
                     and captures.print_of(truth) == print_mode}
    missing = [seed for seed in seeds
               if seed not in known
               or not os.path.exists(os.path.join(directory, capture_name(seed)))]
    for seed in missing:
        overrides = {"zone": False} if seed >= NO_ZONE_SEED else {}
        if print_mode != captures.NOMINAL:
            overrides["print"] = print_mode
        # One capture at a time: a 4032x3024 frame and its drawing take a few hundred MB.
        capture = captures.generate(seed, **overrides)
        with open(os.path.join(directory, capture_name(seed)), "wb") as file:
            file.write(capture.jpeg)
        known[seed] = capture.truth
        del capture
    if missing:
        with open(truth_file, "w") as file:
            json.dump({capture_name(seed): truth for seed, truth in sorted(known.items())},
                      file, indent=1, sort_keys=True)
            file.write("\n")
    return {seed: known[seed] for seed in seeds}


def captures_folder(directory, print_mode):
    """Where captures of `print_mode` are kept under --captures DIR: varied print apart."""
    if print_mode == captures.NOMINAL:
        return directory
    return os.path.join(directory, f"{print_mode}-print")


def run_readers(readers, pages, peer_limit, progress):
    """Runs the readers page by page over [(path, truth)].

    Returns {reader name: [Outcome]} and the texts of the fatal readers' crashes.
    """
    outcomes = {reader.name: [] for reader in readers}
    crashes = []
    if not pages:
        return outcomes, crashes
    warm = pages[0][0]
    for reader in readers:
        try:
            reader.read(warm)
        except Exception:
            if reader.fatal:
                crashes.append(f"{reader.name} on {warm}:\n{traceback.format_exc()}")
    order = list(readers)
    for index, (path, truth) in enumerate(pages):
        for reader in order:
            if peer_limit is not None and not reader.fatal and index >= peer_limit:
                continue
            started = time.perf_counter()
            try:
                result = reader.read(path)
            except Exception as error:
                if reader.fatal:
                    crashes.append(f"{reader.name} on {path}:\n{traceback.format_exc()}")
                result = Result([], error=f"{type(error).__name__}: {error}")
            seconds = time.perf_counter() - started
            outcomes[reader.name].append(Outcome(truth, result, seconds))
        order = order[1:] + order[:1]
        progress(index + 1, len(pages))
    return outcomes, crashes


def _percent(part, whole):
    if not whole:
        return "-"
    share = 100.0 * part / whole
    return f"{share:.1f}%" if share < 99.95 or part == whole else f"{share:.2f}%"


def _ms(value):
    return f"{value:.0f}" if value >= 10 else f"{value:.1f}"


def row(name, outcomes, verdict):
    n = len(outcomes)
    if not n:
        return [name, "0", "-", "-", "-", "-", "-", "-"]
    times = [o.seconds * 1000 for o in outcomes]
    return [
        name,
        str(n),
        _percent(sum(o.exact for o in outcomes), n),
        _percent(sum(o.right for o in outcomes), sum(o.chars for o in outcomes)),
        _percent(sum(o.nothing for o in outcomes), n),
        str(sum(o.false_accept for o in outcomes)) if verdict else "-",
        _ms(statistics.median(times)),
        _ms(quantile(times, 0.9)),
    ]


HEADER = ["reader", "captures", "read exactly", "characters right", "nothing returned",
          "false accepts", "median ms", "p90 ms"]


def markdown(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(cells) + " |" for cells in rows]
    return "\n".join(lines)


GROUPS = [
    ("character height (px)", lambda t: captures.height_band(t["char_height"]),
     [f"{low}-{high}" for low, high in captures.HEIGHT_BANDS]),
    ("rotation", lambda t: t["rotation_band"], ["small", "90/180/270", "other"]),
    ("layout", lambda t: t["layout"], list(captures.LAYOUTS)),
    ("frame", lambda t: "{}x{}".format(*sorted(t["frame"], reverse=True)),
     ["{}x{}".format(*size) for size in captures.FRAMES]),
]


NO_ZONE_HEADER = ["reader", "pages", "zone invented", "of which valid", "median ms", "p90 ms"]


def report(readers, outcomes):
    blank = {name: [o for o in items if o.truth["layout"] is None]
             for name, items in outcomes.items()}
    outcomes = {name: [o for o in items if o.truth["layout"] is not None]
                for name, items in outcomes.items()}
    active = [r for r in readers if outcomes.get(r.name)]
    out = ["## All captures", "",
           markdown(HEADER, [row(r.name, outcomes[r.name], r.verdict) for r in active])]
    for title, key, values in GROUPS:
        rows = []
        for value in values:
            for r in active:
                chosen = [o for o in outcomes[r.name] if key(o.truth) == value]
                if chosen:
                    rows.append([f"{value}: {r.name}"] + row("", chosen, r.verdict)[1:])
        out += ["", f"## By {title}", "", markdown([title + ": reader"] + HEADER[1:], rows)]
    rows = []
    for r in readers:
        pages = blank.get(r.name)
        if pages:
            times = [o.seconds * 1000 for o in pages]
            invented = [o for o in pages if not o.nothing]
            rows.append([r.name, str(len(pages)), _percent(len(invented), len(pages)),
                         str(sum(bool(o.valid) for o in invented)) if r.verdict else "-",
                         _ms(statistics.median(times)), _ms(quantile(times, 0.9))])
    if rows:
        out += ["", "## Pages without a zone", "", markdown(NO_ZONE_HEADER, rows)]
    return "\n".join(out)


def ratio_line(outcomes, ours, theirs, unit="captures"):
    """Median time ratio of two readers over the pages both read."""
    a, b = outcomes.get(ours), outcomes.get(theirs)
    if not a or not b:
        return None
    pairs = list(zip(a, b))
    ratios = [x.seconds / y.seconds for x, y in pairs if x.truth is y.truth]
    if not ratios:
        return None
    return (f"time {ours} / {theirs}: median of per-{unit[:-1]} ratios "
            f"{statistics.median(ratios):.3f} "
            f"(25-75%: {quantile(ratios, 0.25):.3f}-{quantile(ratios, 0.75):.3f}) "
            f"over {len(ratios)} {unit}")


# --- Real pages --------------------------------------------------------------------------

# Capital heights of real pages, in pixels: [low, high), None open.
REAL_HEIGHT_BANDS = [(None, 8), (8, 10), (10, 14), (14, 20), (20, 30), (30, None)]
REAL_LAYOUTS = ["TD3", "TD1", "TD2", "MRVA", "MRVB", "FRA-ID", "other"]


def _band_label(low, high):
    return f"<{high}" if low is None else f">={low}" if high is None else f"{low}-{high}"


REAL_BAND_LABELS = [_band_label(low, high) for low, high in REAL_HEIGHT_BANDS]


def real_height_band(height):
    """The band of REAL_HEIGHT_BANDS a capital height falls in ("<8", "8-10" ... ">=30")."""
    for low, high in REAL_HEIGHT_BANDS:
        if high is None or height < high:
            return _band_label(low, high)
    raise AssertionError("the last band is open")


def _count(part, whole):
    return f"{part} ({_percent(part, whole)})" if whole else "-"


REAL_HEADER = ["reader", "scored zones", "read exactly", "wrong", "nothing", "characters right",
               "false accepts", "zones invented", "median ms", "p90 ms", "slowest ms"]
REAL_GROUP_HEADER = ["zones", "read exactly", "wrong", "nothing", "false accepts", "median ms"]


def real_summary_row(name, outcomes, verdict):
    """A reader's summary over a whole folder: exactness over its scored zones, false accepts
    over every page, zones invented over the pages without one, times over every page."""
    zones = [o for o in outcomes if o.scored]
    blank = [o for o in outcomes if not o.truth["lines"]]
    times = [o.seconds * 1000 for o in outcomes]
    return [
        name,
        str(len(zones)),
        _count(sum(o.exact for o in zones), len(zones)),
        str(sum(o.wrong for o in zones)),
        str(sum(o.nothing for o in zones)),
        _percent(sum(o.right for o in zones), sum(o.chars for o in zones)),
        str(sum(o.false_accept for o in outcomes)) if verdict else "-",
        f"{sum(o.invented for o in blank)} of {len(blank)}",
        _ms(statistics.median(times)) if times else "-",
        _ms(quantile(times, 0.9)) if times else "-",
        _ms(max(times)) if times else "-",
    ]


def real_group_row(label, outcomes, verdict):
    zones = [o for o in outcomes if o.scored]
    times = [o.seconds * 1000 for o in zones]
    return [label, str(len(zones)), _count(sum(o.exact for o in zones), len(zones)),
            str(sum(o.wrong for o in zones)), str(sum(o.nothing for o in zones)),
            str(sum(o.false_accept for o in zones)) if verdict else "-",
            _ms(statistics.median(times)) if times else "-"]


def _page_cells(truth):
    layout = truth["layout"] or "no zone"
    height = truth.get("char_height")
    scored = "-" if not truth["lines"] else "yes" if truth.get("scored", True) else "no"
    return [truth["file"], layout, "-" if height is None else f"{height:g}", scored]


def real_report(readers, outcomes, detailed=()):
    """The tables of a run over a folder of real pages: a line a page, then the summaries.

    `detailed`: names of readers whose wrong readings, false accepts and invented zones are
    listed with their text.
    """
    active = [r for r in readers if outcomes.get(r.name)]
    by_file = {r.name: {o.truth["file"]: o for o in outcomes[r.name]} for r in active}
    files = [o.truth["file"] for o in max(outcomes.values(), key=len)] if outcomes else []
    truths = {o.truth["file"]: o.truth for items in outcomes.values() for o in items}
    header = ["file", "layout", "capitals px", "scored"]
    for r in active:
        header += [r.name, "ms"]
    rows = []
    for name in files:
        cells = _page_cells(truths[name])
        for r in active:
            outcome = by_file[r.name].get(name)
            cells += ["-", "-"] if outcome is None else [outcome.label(),
                                                         _ms(outcome.seconds * 1000)]
        rows.append(cells)
    out = ["## Every page", "", markdown(header, rows)]

    for r in active:
        if r.name not in detailed:
            continue
        notable = [o for o in outcomes[r.name]
                   if o.wrong or o.false_accept or o.invented or o.disputed]
        if notable:
            out += ["", f"## What {r.name} returned where it was not exact", ""]
            for o in notable:
                out.append(f"- {o.truth['file']}: {o.label()}")
                out.append(f"    read:    {' / '.join(o.lines) or '(nothing)'}")
                out.append(f"    printed: {' / '.join(o.truth['lines']) or '(no zone)'}")

    out += ["", "## All pages", "",
            markdown(REAL_HEADER, [real_summary_row(r.name, outcomes[r.name], r.verdict)
                                   for r in active])]
    for r in active:
        if outcomes[r.name]:
            slowest = max(outcomes[r.name], key=lambda o: o.seconds)
            out.append(f"\n{r.name}: slowest page {slowest.truth['file']} "
                       f"({_ms(slowest.seconds * 1000)} ms)")

    scored = [o.truth for o in max(outcomes.values(), key=len) if o.scored] if outcomes else []
    layouts = [name for name in REAL_LAYOUTS if any(t["layout"] == name for t in scored)]
    layouts += sorted({t["layout"] for t in scored} - set(REAL_LAYOUTS))
    groups = [("capital height (px), scored zones",
               lambda t: real_height_band(t["char_height"] or 0), REAL_BAND_LABELS),
              ("layout, scored zones", lambda t: t["layout"], layouts)]
    for title, key, values in groups:
        rows = []
        for value in values:
            for r in active:
                chosen = [o for o in outcomes[r.name] if o.scored and key(o.truth) == value]
                if chosen:
                    rows.append(real_group_row(f"{value}: {r.name}", chosen, r.verdict))
        out += ["", f"## By {title}", "", markdown([title + ": reader"] + REAL_GROUP_HEADER,
                                                   rows)]

    rows = []
    for r in active:
        unscored = [o for o in outcomes[r.name] if o.truth["lines"] and not o.scored]
        blank = [o for o in outcomes[r.name] if not o.truth["lines"]]
        if not (unscored or blank):
            continue
        rows.append([r.name, str(len(unscored)), str(sum(not o.nothing for o in unscored)),
                     str(sum(o.exact for o in unscored)),
                     str(sum(o.false_accept for o in unscored)) if r.verdict else "-",
                     str(len(blank)), str(sum(o.invented for o in blank)),
                     str(sum(o.invented and bool(o.valid) for o in blank)) if r.verdict else "-"])
    if rows:
        out += ["", "## Unscored zones and pages without a zone", "",
                markdown(["reader", "unscored zones", "returned", "as transcribed",
                          "false accepts", "pages without a zone", "zone invented",
                          "of which valid"], rows)]
    return "\n".join(out)


def exact_files(outcomes):
    """The scored zones read exactly and not falsely called valid: file names."""
    return {o.truth["file"] for o in outcomes if o.scored and o.exact and not o.false_accept}


EXACT_LIST_HEADER = [
    "Scored zones of the real-document folder (../shared/mrz-real) that zerbano.mrz.read reads",
    "exactly, one file name a line: tests/test_mrz_real.py fails when one of them is no longer",
    "read exactly. Written by bench/mrz.py, which refuses to drop a name without --allow-loss:",
    "  python bench/mrz.py --truth ../shared/mrz-real --readers zerbano \\",
    "      --write-exact tests/data/mrz-real-exact.txt",
]


def write_exact(path, outcomes, truths, allow_loss):
    """Writes the exact list; returns the lines to print and whether it was written.

    Names listed before that are no longer read exactly (or no longer in the truth) are lost:
    the list is left as it was unless `allow_loss`.
    """
    now = exact_files(outcomes)
    before = set(mrz_scoring.read_exact_list(path)) if os.path.exists(path) else set()
    lost = sorted(before - now)
    gained = sorted(now - before)
    known = {t["file"] for t in truths}
    said = []
    if lost:
        by_file = {o.truth["file"]: o for o in outcomes}
        said.append(f"{len(lost)} zones listed in {path} are no longer read exactly:")
        for name in lost:
            outcome = by_file.get(name)
            why = outcome.label() if outcome else ("not in the truth" if name not in known
                                                   else "not read")
            said.append(f"  {name}: {why}")
        if not allow_loss:
            said.append(f"{path} left as it was: rerun with --allow-loss to drop them")
            return said, False
    mrz_scoring.write_exact_list(path, now, EXACT_LIST_HEADER)
    said.append(f"{path}: {len(now)} zones read exactly ({len(gained)} new, {len(lost)} dropped)")
    return said, True


def _saved_readers(data):
    readers = []
    for name in data:
        reader = Reader()
        reader.name = name
        reader.verdict = name != TesseractOnBand.name
        readers.append(reader)
    return readers


def reprint(saved, directory, real=False, figures=None):
    """Prints the tables of a run saved with --json, over the truth in `directory`, and
    draws its figures into `figures` if given."""
    with open(saved) as file:
        data = json.load(file)
    if real:
        truths = {truth["file"]: truth for truth in load_truth(directory)}
        key = "file"
    else:
        with open(os.path.join(directory, "truth.json")) as file:
            truths = {truth["seed"]: truth for truth in json.load(file).values()}
        key = "seed"
    outcomes = {name: [Outcome.from_dict(item, truths[item[key]]) for item in items]
                for name, items in data.items()}
    readers = _saved_readers(data)
    if real:
        print(real_report(readers, outcomes, detailed=(Zerbano.name,)))
        draw_figures(figures, outcomes, real_folder=directory)
        return 0
    print(report(readers, outcomes))
    ratio = ratio_line(outcomes, Zerbano.name, PassportEye.name)
    if ratio:
        print("\n" + ratio)
    draw_figures(figures, outcomes)
    return 0


def draw_figures(directory, outcomes, real_folder=None):
    """--plots DIR: the run's figures (bench/mrz_figures.py; matplotlib needed only then);
    a run over a folder of real pages (`real_folder`) draws its exactness by capital height."""
    if not directory:
        return
    import mrz_figures
    known = [r.name for r in READERS.values()]
    if real_folder:
        paths = mrz_figures.draw_real(directory, outcomes, real_folder, known)
    else:
        paths = mrz_figures.draw(directory, outcomes, known)
    for path in paths:
        print(f"figure: {path}")


def _progress(unit):
    def progress(done, total):
        if sys.stderr.isatty():
            print(f"\r{done}/{total} {unit}", end="" if done < total else "\n",
                  file=sys.stderr, flush=True)
    return progress


def _footer(readers, outcomes, notes, peer_limit, unit):
    lines = []
    for reader in readers:
        errors = [o.error for o in outcomes[reader.name] if o.error]
        if errors:
            lines.append(f"{reader.name}: {len(errors)} errors, first: {errors[0]}")
    ratio = ratio_line(outcomes, Zerbano.name, PassportEye.name, unit)
    if ratio:
        lines.append(ratio)
    lines += notes
    if peer_limit is not None:
        lines.append(f"quick run: the peers read the first {peer_limit} {unit} only")
    lines += run.machine()
    lines.append("readers: " + "; ".join(f"{r.name} ({r.version()})" for r in readers))
    return lines


def _load_line(started, load_before):
    return (f"whole run {time.perf_counter() - started:.0f} s; one core (OpenCV, OpenMP, "
            f"OpenBLAS and Tesseract on one thread); before: {load_before}; after: load average "
            + "{:.2f} {:.2f} {:.2f}".format(*os.getloadavg()))


def _save(path, outcomes):
    with open(path, "w") as file:
        json.dump({name: [o.to_dict() for o in items] for name, items in outcomes.items()},
                  file, indent=1)


def _crashed(crashes):
    if crashes:
        print(f"\n{len(crashes)} crashes of zerbano's reader; the first:\n{crashes[0]}",
              file=sys.stderr)
        return True
    return False


def main_real(args, readers, notes, plan):
    """The run over a folder of real pages (--truth DIR)."""
    try:
        truths = load_truth(args.truth)
    except TruthError as error:
        print(f"bench/mrz.py: {error}", file=sys.stderr)
        return 2
    started = time.perf_counter()
    load_before = "load average {:.2f} {:.2f} {:.2f}".format(*os.getloadavg())
    pages = [(truth["path"], truth) for truth in truths]
    outcomes, crashes = run_readers(readers, pages, plan["peer_captures"], _progress("pages"))
    if args.json:
        _save(args.json, outcomes)
    print(real_report(readers, outcomes, detailed=(Zerbano.name,)))
    draw_figures(args.plots, outcomes, real_folder=args.truth)
    print()
    for line in _footer(readers, outcomes, notes, plan["peer_captures"], "pages"):
        print(line)
    print(f"pages: {len(truths)} in {os.path.abspath(args.truth)}; "
          + _load_line(started, load_before))
    status = 1 if _crashed(crashes) else 0
    if args.write_exact:
        said, written = write_exact(args.write_exact, outcomes[Zerbano.name], truths,
                                    args.allow_loss)
        print("\n".join(said))
        if not written:
            status = 1
    return status


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="20 captures, peers on 5, for CI")
    parser.add_argument("--count", type=int, help="number of captures (default 300; quick 20)")
    parser.add_argument("--seed", type=int, help="the first capture's seed (default 0)")
    parser.add_argument("--captures", metavar="DIR", help="keep and reuse the captures here")
    parser.add_argument("--no-zone", type=int, metavar="N",
                        help="pages without a zone to read as well (default 20; quick 2)")
    parser.add_argument("--print", choices=captures.PRINTS, dest="print_mode",
                        help="the captures' print: nominal (default) or varied (stroke weight "
                             "and character jitter drawn; kept apart under --captures)")
    parser.add_argument("--truth", metavar="DIR",
                        help="read the pages of DIR/truth.jsonl (images in DIR/images) instead "
                             "of synthetic captures")
    parser.add_argument("--write-exact", metavar="FILE",
                        help="with --truth: write the scored zones zerbano reads exactly")
    parser.add_argument("--allow-loss", action="store_true",
                        help="let --write-exact drop names it listed before")
    parser.add_argument("--readers", default=",".join(READERS),
                        help="comma-separated, from: " + ", ".join(READERS))
    parser.add_argument("--json", metavar="FILE", help="also write every outcome as JSON")
    parser.add_argument("--report", metavar="FILE",
                        help="only print the tables of a run saved by --json (with the run's "
                             "--captures folder or --truth folder)")
    parser.add_argument("--plots", metavar="DIR", help="also draw the run's figures into DIR")
    args = parser.parse_args(argv)
    if args.truth:
        synthetic = [flag for flag, value in (("--count", args.count), ("--seed", args.seed),
                                              ("--captures", args.captures),
                                              ("--no-zone", args.no_zone),
                                              ("--print", args.print_mode))
                     if value is not None]
        if synthetic:
            parser.error(f"{', '.join(synthetic)}: for synthetic captures, not with --truth")
    elif args.write_exact or args.allow_loss:
        parser.error("--write-exact and --allow-loss need --truth")
    print_mode = args.print_mode or captures.NOMINAL
    if args.report:
        if args.truth:
            return reprint(args.report, args.truth, real=True, figures=args.plots)
        if not args.captures:
            parser.error("--report needs the run's --captures or --truth folder")
        return reprint(args.report, captures_folder(args.captures, print_mode), figures=args.plots)
    plan = QUICK if args.quick else FULL
    cv2.setNumThreads(1)
    names = [name.strip() for name in args.readers.split(",") if name.strip()]
    unknown = [name for name in names if name not in READERS]
    if unknown:
        parser.error(f"unknown readers: {unknown}")
    if args.write_exact and "zerbano" not in names:
        parser.error("--write-exact needs the zerbano reader")

    readers, notes = [], []
    for name in names:
        reader = READERS[name]()
        if reader.note:
            notes.append(f"{reader.name}: {reader.note}")
            if args.write_exact and name == "zerbano":
                parser.error(f"--write-exact: {reader.note}")
        else:
            readers.append(reader)
    if args.truth:
        return main_real(args, readers, notes, plan)

    count = args.count or plan["captures"]
    first = args.seed or 0
    started = time.perf_counter()
    load_before = "load average {:.2f} {:.2f} {:.2f}".format(*os.getloadavg())
    temporary = None
    directory = args.captures
    if directory is None:
        temporary = tempfile.TemporaryDirectory(prefix="zerbano-mrz-")
        directory = temporary.name
    directory = captures_folder(directory, print_mode)
    try:
        no_zone = plan["no_zone"] if args.no_zone is None else args.no_zone
        seeds = [*range(first, first + count),
                 *range(NO_ZONE_SEED + first, NO_ZONE_SEED + first + no_zone)]
        generated = time.perf_counter()
        truths = prepare_captures(directory, seeds, print_mode)
        generated = time.perf_counter() - generated
        pages = [(os.path.join(directory, capture_name(seed)), truth)
                 for seed, truth in truths.items()]
        outcomes, crashes = run_readers(readers, pages, plan["peer_captures"],
                                        _progress("captures"))
    finally:
        if temporary is not None:
            temporary.cleanup()
    if args.json:
        _save(args.json, outcomes)

    print(report(readers, outcomes))
    print()
    for line in _footer(readers, outcomes, notes, plan["peer_captures"], "captures"):
        print(line)
    varied = "" if print_mode == captures.NOMINAL else f", print {print_mode}"
    print(f"captures: seeds {first}-{first + count - 1} and {no_zone} pages without a "
          f"zone{varied}, made in {generated:.0f} s; " + _load_line(started, load_before))
    draw_figures(args.plots, outcomes)
    return 1 if _crashed(crashes) else 0


if __name__ == "__main__":
    sys.exit(main())
