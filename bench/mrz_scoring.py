"""How a reader's answer about one page is judged: the rules the MRZ benchmark and CI share.

A truth is a dict with at least `lines` (the zone's lines as printed; [] for a page without a
zone), `valid` (every check digit of the zone is right as printed) and `layout` (None without
a zone), and optionally `scored` (False: the zone does not count toward exactness; default
True). The synthetic captures' truth records have this form already; `load_truth` gives the
records of a folder of real pages (`truth.jsonl` beside `images/`) in it.

The rules, for one page and one reader:
    exact          the zone's lines, all of them, every character as printed (a zone printed
                   with a wrong check digit is read exactly when read with that digit)
    wrong          a zone returned that is not exact
    nothing        no zone returned
    false accept   the reader called its reading valid, and it is not exact, or the zone as
                   printed has a wrong check digit, or the page has no zone; counted whether
                   the zone is scored or not
    invented       a zone returned on a page without one
    disputed       an unscored zone whose transcription fails its own check digits, read
                   otherwise and called valid: the reading passes every check where the
                   transcription does not, and the print itself was found ambiguous. Neither
                   exact nor a false accept; listed, for someone to look at the image
Exactness is counted over the scored zones only: an unscored zone may be read or not.
"""

import json
import os

# The exact list's comment lines start with this.
COMMENT = "#"


class Result:
    """What a reader returned: its lines (spaces removed, empty lines dropped) and verdict."""

    def __init__(self, lines, valid=None, error=None):
        self.lines = [line.replace(" ", "") for line in lines if line.strip()]
        self.valid = valid
        self.error = error

    @classmethod
    def of_zone(cls, zone):
        """The Result of what zerbano.mrz.read returned (an MRZ or None)."""
        if zone is None:
            return cls([])
        return cls(list(zone.lines), bool(zone.valid))


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
    """(exact, characters right) of a reader's lines against the zone's.

    A reader that returned more lines than the zone has is judged on its consecutive lines
    closest to the zone's.
    """
    got = result.lines
    count = len(truth_lines)
    if not got or not count:
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
    """One reader's answer about one page, judged against the page's truth."""

    FIELDS = ("exact", "right", "chars", "nothing", "valid", "false_accept", "seconds", "error")
    # Saved since real pages came in; a run saved before them lacks them.
    LATER_FIELDS = {"invented": False, "lines": None, "disputed": False}

    def __init__(self, truth, result, seconds):
        self.truth = truth
        self.seconds = seconds
        self.error = result.error
        self.lines = list(result.lines)
        self.nothing = not result.lines
        self.exact, self.right = score(truth["lines"], result)
        self.chars = sum(len(line) for line in truth["lines"])
        self.valid = result.valid
        self.invented = not truth["lines"] and not self.nothing
        unsure_truth = bool(truth["lines"]) and not truth.get("scored", True) and not truth["valid"]
        self.disputed = bool(result.valid) and unsure_truth and not self.exact
        self.false_accept = (bool(result.valid) and not (self.exact and truth["valid"])
                             and not self.disputed)

    @property
    def scored(self):
        """Whether the page's zone counts toward exactness (False without a zone)."""
        return bool(self.truth["lines"]) and self.truth.get("scored", True)

    @property
    def wrong(self):
        return bool(self.truth["lines"]) and not self.nothing and not self.exact

    def label(self):
        """exact, wrong, nothing or invented, and ", false accept" where it is one."""
        if not self.truth["lines"]:
            text = "invented" if self.invented else "nothing"
        else:
            text = "exact" if self.exact else "nothing" if self.nothing else "wrong"
        return text + (", false accept" if self.false_accept else
                       ", disputed" if self.disputed else "")

    def to_dict(self):
        key = "seed" if "seed" in self.truth else "file"
        fields = self.FIELDS + tuple(self.LATER_FIELDS)
        return {key: self.truth[key], **{name: getattr(self, name) for name in fields}}

    @classmethod
    def from_dict(cls, data, truth):
        outcome = cls.__new__(cls)
        outcome.truth = truth
        for name in cls.FIELDS:
            setattr(outcome, name, data[name])
        for name, default in cls.LATER_FIELDS.items():
            setattr(outcome, name, data.get(name, default))
        return outcome


# --- Folders of real pages ---------------------------------------------------------------

TRUTH_FILE = "truth.jsonl"
IMAGES = "images"


class TruthError(ValueError):
    """A truth.jsonl that is missing, malformed, or names an image that is not there."""


def load_truth(folder):
    """The records of `folder`/truth.jsonl as truths, in the file's order.

    Each record keeps its own fields and gains `lines` (its `mrz`, or []), `char_height` (its
    `char_height_px`) and `path` (its image in `folder`/images). Raises TruthError naming the
    line of a record that cannot be used, or a missing image.
    """
    path = os.path.join(folder, TRUTH_FILE)
    try:
        with open(path, encoding="utf-8") as file:
            text = file.read()
    except OSError as error:
        raise TruthError(f"cannot read {path}: {error.strerror}") from None
    truths, seen = [], set()
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip():
            continue
        try:
            record = json.loads(line)
            truth = _truth_of(record)
        except (ValueError, TypeError, KeyError) as error:
            raise TruthError(f"{path}, line {number}: {error}") from None
        if truth["file"] in seen:
            raise TruthError(f"{path}, line {number}: {truth['file']} is listed twice")
        seen.add(truth["file"])
        truth["path"] = os.path.join(folder, IMAGES, truth["file"])
        if not os.path.isfile(truth["path"]):
            raise TruthError(f"{path}, line {number}: no image {truth['path']}")
        truths.append(truth)
    return truths


def _truth_of(record):
    if not isinstance(record, dict):
        raise TypeError("a record is a JSON object")
    name = record["file"]
    if not isinstance(name, str) or not name or os.path.basename(name) != name:
        raise ValueError(f"file must be a plain file name, not {name!r}")
    lines = record["mrz"] or []
    if not isinstance(lines, list) or not all(isinstance(line, str) for line in lines):
        raise TypeError("mrz is a list of lines or null")
    if bool(lines) != (record["layout"] is not None):
        raise ValueError("layout and mrz must both be given or both be null")
    return {**record, "lines": lines, "valid": bool(record["valid"]),
            "scored": bool(record["scored"]) and bool(lines),
            "char_height": record.get("char_height_px")}


# --- The list of zones read exactly ------------------------------------------------------


def read_exact_list(path):
    """The file names in an exact list (one a line; blank lines and # comments skipped)."""
    with open(path, encoding="utf-8") as file:
        names = [line.strip() for line in file]
    return [name for name in names if name and not name.startswith(COMMENT)]


def write_exact_list(path, names, header):
    """Writes `names`, sorted, under the comment lines of `header` (a list of str)."""
    body = [f"{COMMENT} {line}".rstrip() for line in header] + sorted(names)
    temporary = path + ".tmp"
    with open(temporary, "w", encoding="utf-8") as file:
        file.write("\n".join(body) + "\n")
    os.replace(temporary, path)
