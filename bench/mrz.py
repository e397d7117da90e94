#!/usr/bin/env python3
"""How well and how fast readers read the machine-readable zone of synthetic captures.

    python bench/mrz.py                 300 captures (seeds 0-299), every reader available
    python bench/mrz.py --quick         for CI: 20 captures, the peers on the first 5 only
    python bench/mrz.py --captures DIR  keep the generated captures in DIR and reuse them
    python bench/mrz.py --no-zone 50    50 pages without a zone beside the captures (default 20)

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
    zone invented     the reader returned a zone; "valid" if it also said valid A crash of
zerbano's reader fails the run (exit status 1); a peer's exception counts as nothing returned.
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
from stats import quantile  # noqa: E402
import run  # noqa: E402

FULL = {"captures": 300, "peer_captures": None, "no_zone": 20}
QUICK = {"captures": 20, "peer_captures": 5, "no_zone": 2}
# Pages without a zone take their seeds from here on, apart from the captures'.
NO_ZONE_SEED = 1_000_000
ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789<"
TESSERACT_TIMEOUT = 120  # seconds; a page that takes longer counts as nothing returned


class Result:
    def __init__(self, lines, valid=None, error=None):
        self.lines = [line.replace(" ", "") for line in lines if line.strip()]
        self.valid = valid
        self.error = error


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
        result = self._read(path)
        if result is None:
            return Result([])
        return Result(list(result.lines), bool(result.valid))


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


# --- Scoring -----------------------------------------------------------------------------


def edit_distance(a, b):
    previous = list(range(len(b) + 1))
    for i, char_a in enumerate(a, 1):
        current = [i]
        for j, char_b in enumerate(b, 1):
            current.append(min(previous[j] + 1, current[j - 1] + 1,
                                previous[j - 1] + (char_a != char_b)))
        previous = current
    return previous[-1]


def score(truth_lines, result):
    """(exact, characters right) of a reader's lines against the zone's."""
    got = result.lines
    count = len(truth_lines)
    if not got:
        return False, 0
    if len(got) < count:
        got = got + [""] * (count - len(got))
    best = None
    for start in range(len(got) - count + 1):
        window = got[start:start + count]
        right = sum(max(0, len(t) - edit_distance(t, g)) for t, g in zip(truth_lines, window))
        if best is None or right > best[1]:
            best = (window == truth_lines, right)
    return best


class Outcome:
    FIELDS = ("exact", "right", "chars", "nothing", "valid", "false_accept", "seconds", "error")

    def __init__(self, truth, result, seconds):
        self.truth = truth
        self.seconds = seconds
        self.error = result.error
        self.nothing = not result.lines
        self.exact, self.right = score(truth["lines"], result)
        self.chars = sum(len(line) for line in truth["lines"])
        self.valid = result.valid
        self.false_accept = bool(result.valid) and not (self.exact and truth["valid"])

    def to_dict(self):
        return {"seed": self.truth["seed"], **{name: getattr(self, name) for name in self.FIELDS}}

    @classmethod
    def from_dict(cls, data, truth):
        outcome = cls.__new__(cls)
        outcome.truth = truth
        for name in cls.FIELDS:
            setattr(outcome, name, data[name])
        return outcome


# --- The run -----------------------------------------------------------------------------


def capture_name(seed):
    """The file name of the capture (or, from NO_ZONE_SEED on, the page without a zone)."""
    if seed >= NO_ZONE_SEED:
        return f"no-zone-{seed - NO_ZONE_SEED:05}.jpg"
    return f"capture-{seed:05}.jpg"


def prepare_captures(directory, seeds):
    """The captures of `seeds` in `directory` (made there unless already made): {seed: truth}."""
    os.makedirs(directory, exist_ok=True)
    truth_file = os.path.join(directory, "truth.json")
    known = {}
    if os.path.exists(truth_file):
        with open(truth_file) as file:
            known = {truth["seed"]: truth for truth in json.load(file).values()
                     if truth.get("version") == captures.VERSION}
    missing = [seed for seed in seeds
               if seed not in known
               or not os.path.exists(os.path.join(directory, capture_name(seed)))]
    for seed in missing:
        # One capture at a time: a 4032x3024 frame and its drawing take a few hundred MB.
        capture = captures.generate(seed, **({"zone": False} if seed >= NO_ZONE_SEED else {}))
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


def run_readers(readers, directory, truths, peer_limit, progress):
    """Runs the readers capture by capture; returns {reader name: [Outcome]} and crash texts."""
    outcomes = {reader.name: [] for reader in readers}
    crashes = []
    seeds = list(truths)
    warm = os.path.join(directory, capture_name(seeds[0]))
    for reader in readers:
        try:
            reader.read(warm)
        except Exception:
            if reader.fatal:
                crashes.append(f"{reader.name} on {warm}:\n{traceback.format_exc()}")
    order = list(readers)
    for index, seed in enumerate(seeds):
        path = os.path.join(directory, capture_name(seed))
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
            outcomes[reader.name].append(Outcome(truths[seed], result, seconds))
        order = order[1:] + order[:1]
        progress(index + 1, len(seeds))
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


def ratio_line(outcomes, ours, theirs):
    """Median time ratio of two readers over the captures both read."""
    a, b = outcomes.get(ours), outcomes.get(theirs)
    if not a or not b:
        return None
    pairs = list(zip(a, b))
    ratios = [x.seconds / y.seconds for x, y in pairs if x.truth["seed"] == y.truth["seed"]]
    if not ratios:
        return None
    return (f"time {ours} / {theirs}: median of per-capture ratios {statistics.median(ratios):.3f} "
            f"(25-75%: {quantile(ratios, 0.25):.3f}-{quantile(ratios, 0.75):.3f}) "
            f"over {len(ratios)} captures")


def reprint(saved, directory, figures=None):
    """Prints the tables of a run saved with --json, over the truth in `directory`."""
    with open(os.path.join(directory, "truth.json")) as file:
        truths = {truth["seed"]: truth for truth in json.load(file).values()}
    with open(saved) as file:
        data = json.load(file)
    outcomes, readers = {}, []
    for name, items in data.items():
        outcomes[name] = [Outcome.from_dict(item, truths[item["seed"]]) for item in items]
        reader = Reader()
        reader.name = name
        reader.verdict = name != TesseractOnBand.name
        readers.append(reader)
    print(report(readers, outcomes))
    ratio = ratio_line(outcomes, Zerbano.name, PassportEye.name)
    if ratio:
        print("\n" + ratio)
    draw_figures(figures, outcomes)
    return 0


def draw_figures(directory, outcomes):
    """--plots DIR: the run's figures (bench/mrz_figures.py; matplotlib needed only then)."""
    if directory:
        import mrz_figures
        for path in mrz_figures.draw(directory, outcomes, [r.name for r in READERS.values()]):
            print(f"figure: {path}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="20 captures, peers on 5, for CI")
    parser.add_argument("--count", type=int, help="number of captures (default 300; quick 20)")
    parser.add_argument("--seed", type=int, default=0, help="the first capture's seed")
    parser.add_argument("--captures", metavar="DIR", help="keep and reuse the captures here")
    parser.add_argument("--no-zone", type=int, metavar="N",
                        help="pages without a zone to read as well (default 20; quick 2)")
    parser.add_argument("--readers", default=",".join(READERS),
                        help="comma-separated, from: " + ", ".join(READERS))
    parser.add_argument("--json", metavar="FILE", help="also write every outcome as JSON")
    parser.add_argument("--report", metavar="FILE",
                        help="only print the tables of a run saved by --json (with --captures)")
    parser.add_argument("--plots", metavar="DIR", help="also draw the run's figures into DIR")
    args = parser.parse_args(argv)
    if args.report:
        if not args.captures:
            parser.error("--report needs the run's --captures folder")
        return reprint(args.report, args.captures, args.plots)
    plan = QUICK if args.quick else FULL
    count = args.count or plan["captures"]
    cv2.setNumThreads(1)
    names = [name.strip() for name in args.readers.split(",") if name.strip()]
    unknown = [name for name in names if name not in READERS]
    if unknown:
        parser.error(f"unknown readers: {unknown}")

    readers, notes = [], []
    for name in names:
        reader = READERS[name]()
        if reader.note:
            notes.append(f"{reader.name}: {reader.note}")
        else:
            readers.append(reader)
    started = time.perf_counter()
    load_before = "load average {:.2f} {:.2f} {:.2f}".format(*os.getloadavg())
    temporary = None
    directory = args.captures
    if directory is None:
        temporary = tempfile.TemporaryDirectory(prefix="zerbano-mrz-")
        directory = temporary.name
    try:
        no_zone = plan["no_zone"] if args.no_zone is None else args.no_zone
        seeds = [*range(args.seed, args.seed + count),
                 *range(NO_ZONE_SEED + args.seed, NO_ZONE_SEED + args.seed + no_zone)]
        generated = time.perf_counter()
        truths = prepare_captures(directory, seeds)
        generated = time.perf_counter() - generated

        def progress(done, total):
            if sys.stderr.isatty():
                print(f"\r{done}/{total} captures", end="" if done < total else "\n",
                      file=sys.stderr, flush=True)

        outcomes, crashes = run_readers(readers, directory, truths, plan["peer_captures"],
                                        progress)
    finally:
        if temporary is not None:
            temporary.cleanup()

    print(report(readers, outcomes))
    print()
    for reader in readers:
        errors = [o.error for o in outcomes[reader.name] if o.error]
        if errors:
            print(f"{reader.name}: {len(errors)} errors, first: {errors[0]}")
    ratio = ratio_line(outcomes, Zerbano.name, PassportEye.name)
    if ratio:
        print(ratio)
    for note in notes:
        print(note)
    if plan["peer_captures"] is not None:
        print(f"quick run: the peers read the first {plan['peer_captures']} captures only")
    for line in run.machine():
        print(line)
    print("readers: " + "; ".join(f"{r.name} ({r.version()})" for r in readers))
    print(f"captures: seeds {args.seed}-{args.seed + count - 1} and {no_zone} pages without a "
          f"zone, made in {generated:.0f} s; "
          f"whole run {time.perf_counter() - started:.0f} s; one core (OpenCV, OpenMP, OpenBLAS "
          f"and Tesseract on one thread); before: {load_before}; after: load average "
          + "{:.2f} {:.2f} {:.2f}".format(*os.getloadavg()))
    if args.json:
        with open(args.json, "w") as file:
            json.dump({name: [o.to_dict() for o in items] for name, items in outcomes.items()},
                      file, indent=1)
    draw_figures(args.plots, outcomes)
    if crashes:
        print(f"\n{len(crashes)} crashes of zerbano's reader; the first:\n{crashes[0]}",
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
