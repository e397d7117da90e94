"""The text of a machine-readable zone: layouts, check digits, validation and repair.

    >>> from zerbano.mrz import parse
    >>> mrz = parse(["P<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<<<<<<<<<",
    ...              "L898902C36UTO7408122F1204159ZE184226B<<<<<10"])
    >>> mrz.format, mrz.surname, mrz.document_number, mrz.valid
    ('TD3', 'ERIKSSON', 'L898902C3', True)

The five layouts of ICAO Doc 9303 are data (`LAYOUTS`): a table of fields, each with its line,
column, width and character type, and of check digits with the spans they cover. One parser
reads every layout from its table. Pure Python: a zone parses in microseconds.

Repair, and the hook for a reader that has second choices
---------------------------------------------------------
OCR confuses a few shapes (`CONFUSIONS`: O/0, D/0, I/1, Z/2, S/5, B/8, G/6). Repair works on
*candidates*: for every position of the zone, a string of the characters it may hold, the
character read first, then the alternatives in order of preference. `parse(text, repair=True)`
makes them from the text (`_text_candidates`: each character followed by its partners, where
its neighbours leave it in doubt); a reader with a classifier calls

    parse_candidates(candidates)

with its own: `candidates[line][column]` is e.g. `"O0"` where it read `O` and its second choice
was `0`, or `"8"` where it had no doubt. The rules hold whatever the candidates say:

- an alternative is considered first where it forms a pair of `CONFUSIONS` with the character
  read; any other only where the pairs leave the zone wrong (below);
- where the position's type decides (a date or check digit wants a digit; a state code, the
  nationality or a name wants a letter or `<`), a character the type refuses becomes the first
  alternative the type allows: its partner, or where only digits fit, any digit offered, and
  with none offered the letter's own partner (a date or a check digit is a digit on every
  document; a code or a name keeps a digit no alternative replaces: issuers print `C1`);
- a name's parts are set apart by one filler or two, so after three fillers in a row the name
  is padded to the field's end: a character there becomes `<` where it is an alternative or
  where the reader doubted it at all, whatever it was read as (a signature or a stamp across
  the padding);
- where the type allows both (document numbers, optional data), the check digits decide: among
  the readings of the positions under failing checks, the one reading that makes those checks
  pass is taken, and nothing when none or several do. Where no reading of the partners passes,
  the same is tried over every alternative the type allows, in any field a failing check
  covers (an `M` offered for an `N`, a `7` for a date's `1`: a classifier offers second
  choices only where it doubts). A check that cannot pass whatever the candidates (a misread
  digit in a date, with no second choice) does not take part, nor does a check that covers it
  (the composite). Where no reading passes every failing check, the fields' own checks decide
  their fields without the composite (a composite printed wrong, as on some specimens).

A zone that is valid as read is returned as read. `MRZ.repairs` lists every change as
`Repair(line, column, read, written)`, with `line` and `column` indices into `MRZ.lines`.
"""

import dataclasses
from collections.abc import Mapping
from itertools import cycle
from operator import mul
from typing import NamedTuple

__all__ = ["MRZ", "MRZError", "Repair", "check_digit", "parse", "parse_candidates"]

# --- the alphabet and the check digit --------------------------------------------------------

ALPHABET = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ<"
DIGITS = frozenset("0123456789")
LETTERS = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZ")
FILLER = "<"
_VALUES = {char: (value if char != FILLER else 0) for value, char in enumerate(ALPHABET)}
_WEIGHTS = (7, 3, 1)
_ALPHABET_SET = frozenset(ALPHABET)


def _pairs(*pairs):
    partners = {}
    for letter, digit in pairs:
        partners[letter] = partners.get(letter, "") + digit
        partners[digit] = partners.get(digit, "") + letter
    return partners


# Each character's partners, the likelier first. Every pair is a letter and a digit: from the
# text alone no repair turns a digit into another digit or a letter into another letter (a
# reader's own second choices may, where these pairs cannot mend the zone).
CONFUSIONS = _pairs(("O", "0"), ("D", "0"), ("I", "1"), ("Z", "2"), ("S", "5"), ("B", "8"), ("G", "6"))


def _check_value(data):
    """The check digit of `data` (MRZ characters only) as an int."""
    return sum(map(mul, map(_VALUES.__getitem__, data), cycle(_WEIGHTS))) % 10


def check_digit(data: str) -> str:
    """The check digit of `data`: weights 7, 3, 1 repeating; `0`-`9` count as their value,
    `A`-`Z` as 10-35, `<` as 0; the sum modulo 10, as a one-character string.

    Raises `MRZError` (a `ValueError`) for a character outside `0-9`, `A-Z` and `<`.
    """
    if not isinstance(data, str):
        raise TypeError(_MESSAGES["check_type"].format(type=type(data).__name__))
    if not _ALPHABET_SET.issuperset(data):
        position, char = next((i, c) for i, c in enumerate(data) if c not in _ALPHABET_SET)
        raise MRZError(_MESSAGES["check_char"].format(char=char, position=position + 1))
    return str(_check_value(data))


# --- messages ------------------------------------------------------------------------------------

_ALPHABET_NOTE = "(0-9, A-Z, <)"
_MESSAGES = {
    "check_type": "check_digit() takes a str, not {type}",
    "check_char": "{char!r} at position {position} is not an MRZ character " + _ALPHABET_NOTE,
    "text_type": "parse() takes a str or a sequence of str, not {type}",
    "line_type": "line {line} is {type}, not str",
    "no_lines": "no MRZ text: a zone has 2 or 3 lines",
    "line_count": "an MRZ has 2 or 3 lines, not {count}",
    "char": "{char!r} at line {line}, column {column} is not an MRZ character " + _ALPHABET_NOTE,
    "length_td1": "line {line} has {length} characters: a 3-line zone (TD1) has 30 a line",
    "length_two": (
        "line {line} has {length} characters: a 2-line zone has 44 a line (TD3, MRVA)"
        " or 36 (TD2, MRVB)"
    ),
    "lengths_differ": "line 2 has {second} characters and line 1 {first}: a zone's lines are of one length",
    "no_candidates": "line {line}, column {column} has no candidate character",
    "corners": "location has four (x, y) corners, not {count}",
}


class MRZError(ValueError):
    """Text that is no machine-readable zone: the message says which line, column or character."""


# --- layouts as data -------------------------------------------------------------------------

# Character types: the characters a field may hold.
_NUMERIC = DIGITS
_DATE = DIGITS | {FILLER}  # a part of a date that is not known is printed as fillers
_ALPHA = LETTERS | {FILLER}
_ALNUM = _ALPHABET_SET
_SEX = frozenset("MFX<")
_CODE = (LETTERS, _ALPHA)  # the document code: a letter, then a letter or a filler


class Field(NamedTuple):
    name: str
    line: int
    start: int
    width: int
    kind: object  # a frozenset of the characters allowed, or one frozenset a position


class Check(NamedTuple):
    name: str
    digit: tuple  # (line, column) of the check digit
    spans: tuple  # (line, start, width) pieces of the data it covers, in order
    filler_when_empty: bool = False  # `<` passes as the digit of an all-filler span


class Layout(NamedTuple):
    name: str
    line_count: int
    length: int
    visa: bool  # told apart from its twin by the document code's first letter V
    fields: tuple
    checks: tuple
    # A document number longer than 9 characters: `<` in place of its check digit, the rest of
    # the number at the head of the optional data, ended by the check digit.
    long_numbers: bool = False


def _two_line_layout(name, length, visa, long_numbers):
    optional_width = length - 28 - (0 if visa else 1) - (1 if name == "TD3" else 0)
    fields = (
        Field("document_code", 0, 0, 2, _CODE),
        Field("issuing_state", 0, 2, 3, _ALPHA),
        Field("name", 0, 5, length - 5, _ALPHA),
        Field("document_number", 1, 0, 9, _ALNUM),
        Field("nationality", 1, 10, 3, _ALPHA),
        Field("birth_date", 1, 13, 6, _DATE),
        Field("sex", 1, 20, 1, _SEX),
        Field("expiry_date", 1, 21, 6, _DATE),
        Field("optional_data", 1, 28, optional_width, _ALNUM),
    )
    checks = [
        Check("document_number", (1, 9), ((1, 0, 9),)),
        Check("birth_date", (1, 19), ((1, 13, 6),)),
        Check("expiry_date", (1, 27), ((1, 21, 6),)),
    ]
    if name == "TD3":
        checks.append(Check("optional_data", (1, 42), ((1, 28, 14),), filler_when_empty=True))
    if not visa:
        last = length - 1
        checks.append(Check("composite", (1, last), ((1, 0, 10), (1, 13, 7), (1, 21, last - 21))))
    return Layout(name, 2, length, visa, fields, tuple(checks), long_numbers)


LAYOUTS = {
    "TD1": Layout(
        "TD1", 3, 30, False,
        fields=(
            Field("document_code", 0, 0, 2, _CODE),
            Field("issuing_state", 0, 2, 3, _ALPHA),
            Field("document_number", 0, 5, 9, _ALNUM),
            Field("optional_data", 0, 15, 15, _ALNUM),
            Field("birth_date", 1, 0, 6, _DATE),
            Field("sex", 1, 7, 1, _SEX),
            Field("expiry_date", 1, 8, 6, _DATE),
            Field("nationality", 1, 15, 3, _ALPHA),
            Field("optional_data_2", 1, 18, 11, _ALNUM),
            Field("name", 2, 0, 30, _ALPHA),
        ),
        checks=(
            Check("document_number", (0, 14), ((0, 5, 9),)),
            Check("birth_date", (1, 6), ((1, 0, 6),)),
            Check("expiry_date", (1, 14), ((1, 8, 6),)),
            Check("composite", (1, 29), ((0, 5, 25), (1, 0, 7), (1, 8, 7), (1, 18, 11))),
        ),
        long_numbers=True,
    ),
    "TD2": _two_line_layout("TD2", 36, visa=False, long_numbers=True),
    "TD3": _two_line_layout("TD3", 44, visa=False, long_numbers=False),
    "MRVA": _two_line_layout("MRVA", 44, visa=True, long_numbers=False),
    "MRVB": _two_line_layout("MRVB", 36, visa=True, long_numbers=False),
}


# --- a layout's table compiled for one zone ------------------------------------------------------

class _CheckPlan(NamedTuple):
    name: str
    digit: tuple  # (line, column)
    spans: tuple  # (line, start, stop) pieces of the data, in order
    positions: tuple  # (line, column) of the data, in order
    filler_when_empty: bool


class _Plan(NamedTuple):
    layout: Layout
    fields: dict  # name -> ((line, start, stop), ...)
    checks: tuple  # _CheckPlan, in the layout's order
    kinds: tuple  # one tuple a line, one frozenset of allowed characters a column


def _positions(spans):
    return tuple((line, column) for line, start, stop in spans for column in range(start, stop))


def _compile(layout):
    kinds = [[None] * layout.length for _ in range(layout.line_count)]
    for field in layout.fields:
        per_position = field.kind if isinstance(field.kind, tuple) else (field.kind,) * field.width
        for i, kind in enumerate(per_position):
            kinds[field.line][field.start + i] = kind
    for check in layout.checks:
        line, column = check.digit
        kinds[line][column] = _NUMERIC | {FILLER} if check.filler_when_empty else _NUMERIC
    assert all(all(row) for row in kinds), f"{layout.name}: a position without a type"
    return _Plan(
        layout,
        {f.name: ((f.line, f.start, f.start + f.width),) for f in layout.fields},
        tuple(_check_plan(c.name, c.digit, c.spans, c.filler_when_empty) for c in layout.checks),
        tuple(tuple(row) for row in kinds),
    )


def _check_plan(name, digit, spans, filler_when_empty=False):
    spans = tuple((line, start, start + width) for line, start, width in spans)
    return _CheckPlan(name, digit, spans, _positions(spans), filler_when_empty)


_PLANS = {name: _compile(layout) for name, layout in LAYOUTS.items()}


def _plan_for(layout, lines):
    """The compiled table for this zone: the layout's own, or its long-document-number form."""
    plan = _PLANS[layout.name]
    if not layout.long_numbers:
        return plan
    number_check = plan.checks[0]
    line, column = number_check.digit
    if lines[line][column] != FILLER:
        return plan
    ((opt_line, opt_start, opt_stop),) = plan.fields["optional_data"]
    rest = lines[opt_line][opt_start:opt_stop]
    run = rest.find(FILLER)
    run = len(rest) if run < 0 else run
    if run < 2:  # no continuation and check digit: the `<` is a missing check digit
        return plan
    digit = (opt_line, opt_start + run - 1)
    ((number_line, number_start, number_stop),) = plan.fields["document_number"]
    fields = dict(plan.fields)
    fields["document_number"] = ((number_line, number_start, number_stop), (opt_line, opt_start, digit[1]))
    fields["optional_data"] = ((opt_line, digit[1] + 1, opt_stop),)
    spans = ((number_line, number_start, number_stop - number_start), (opt_line, opt_start, run - 1))
    checks = (_check_plan(number_check.name, digit, spans),) + plan.checks[1:]
    kinds = [list(row) for row in plan.kinds]
    kinds[line][column] = frozenset(FILLER)
    kinds[digit[0]][digit[1]] = _NUMERIC
    return _Plan(layout, fields, checks, tuple(tuple(row) for row in kinds))


def _passes(check, lines):
    read = lines[check.digit[0]][check.digit[1]]
    data = "".join([lines[line][start:stop] for line, start, stop in check.spans])
    if read == FILLER and check.filler_when_empty:
        return data.count(FILLER) == len(data)
    return read in DIGITS and _check_value(data) == int(read)


# --- the result ----------------------------------------------------------------------------------

class Checks(Mapping):
    """A read-only mapping from check name to bool that compares, hashes and pickles."""

    __slots__ = ("_data",)

    def __init__(self, items=()):
        self._data = dict(items)

    def __getitem__(self, name):
        return self._data[name]

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)

    def __hash__(self):
        return hash(frozenset(self._data.items()))

    def __reduce__(self):
        return (Checks, (self._data,))

    def __repr__(self):
        return f"Checks({self._data!r})"


class Repair(NamedTuple):
    """One character changed by repair; `line` and `column` index `MRZ.lines`."""

    line: int
    column: int
    read: str
    written: str


@dataclasses.dataclass(frozen=True)
class MRZ:
    """A machine-readable zone, split into its fields.

    Fields are as printed with the fillers stripped at both ends; names have `<` turned into
    spaces; dates are the zone's six `YYMMDD` characters as printed (the century is not in the
    zone; a `<` stands for a part not known). `lines` is the
    zone's text after any repair (`repairs` says what was read). `valid` is true when every
    check digit agrees and every position holds a character its field's type allows.

    A reader fills `location` (four (x, y) corners in the input's pixels, clockwise from the
    zone's top-left as its text reads), `confidences` (one tuple of floats a line, one float a
    character) and `confidence` (the lowest of them); parsed text leaves them None.
    """

    format: str
    lines: tuple
    document_code: str
    issuing_state: str
    surname: str
    given_names: str
    document_number: str
    nationality: str
    birth_date: str
    sex: str
    expiry_date: str
    optional_data: str
    optional_data_2: str
    checks: Mapping
    valid: bool
    repairs: tuple = ()
    location: tuple = None
    confidences: tuple = None
    confidence: float = None

    def __post_init__(self):
        # Whatever containers a caller hands in, the result holds immutable ones, so that it
        # compares, hashes and pickles.
        put = object.__setattr__.__get__(self)
        put("lines", tuple(self.lines))
        if not isinstance(self.checks, Checks):
            put("checks", Checks(self.checks))
        put("repairs", tuple(Repair(*repair) for repair in self.repairs))
        if self.location is not None:
            corners = tuple((float(x), float(y)) for x, y in self.location)
            if len(corners) != 4:
                raise ValueError(_MESSAGES["corners"].format(count=len(corners)))
            put("location", corners)
        if self.confidences is not None:
            put("confidences", tuple(tuple(float(c) for c in line) for line in self.confidences))
            if self.confidence is None:
                put("confidence", min((c for line in self.confidences for c in line), default=None))

    def to_dict(self):
        """Every field, `checks`, `valid` and the lines, in JSON-ready types."""
        result = {
            field.name: getattr(self, field.name)
            for field in dataclasses.fields(self)
        }
        result["lines"] = list(self.lines)
        result["checks"] = dict(self.checks)
        result["repairs"] = [repair._asdict() for repair in self.repairs]
        if self.location is not None:
            result["location"] = [list(corner) for corner in self.location]
        if self.confidences is not None:
            result["confidences"] = [list(line) for line in self.confidences]
        return result


def _names(text):
    primary, _, secondary = text.partition("<<")
    return (
        " ".join(part for part in primary.split(FILLER) if part),
        " ".join(part for part in secondary.split(FILLER) if part),
    )


def _build(plan, lines, repairs):
    def text(name):
        return "".join([lines[line][start:stop] for line, start, stop in plan.fields.get(name, ())])

    checks = Checks((check.name, _passes(check, lines)) for check in plan.checks)
    valid = all(checks.values()) and all(
        all(map(frozenset.__contains__, kinds, line)) for kinds, line in zip(plan.kinds, lines)
    )
    surname, given_names = _names(text("name"))
    return MRZ(
        format=plan.layout.name,
        lines=lines,
        document_code=text("document_code").strip(FILLER),
        issuing_state=text("issuing_state").strip(FILLER),
        surname=surname,
        given_names=given_names,
        document_number=text("document_number").strip(FILLER),
        nationality=text("nationality").strip(FILLER),
        birth_date=text("birth_date"),
        sex=text("sex").strip(FILLER),
        expiry_date=text("expiry_date"),
        optional_data=text("optional_data").strip(FILLER),
        optional_data_2=text("optional_data_2").strip(FILLER),
        checks=checks,
        valid=valid,
        repairs=repairs,
    )


# --- reading the text ----------------------------------------------------------------------------

def _lines_of(text):
    if isinstance(text, str):
        raw = text.splitlines()
    elif isinstance(text, (bytes, bytearray, memoryview)) or not hasattr(text, "__iter__"):
        raise TypeError(_MESSAGES["text_type"].format(type=type(text).__name__))
    else:
        raw = []
        for number, item in enumerate(text, 1):
            if not isinstance(item, str):
                raise TypeError(_MESSAGES["line_type"].format(line=number, type=type(item).__name__))
            raw.extend(item.splitlines())
    lines = ["".join(line.split()) for line in raw]
    return tuple(line for line in lines if line)


def _layout_of(lines):
    """The layout these lines are in; `MRZError` naming what fits none."""
    count = len(lines)
    if count == 0:
        raise MRZError(_MESSAGES["no_lines"])
    if count not in (2, 3):
        raise MRZError(_MESSAGES["line_count"].format(count=count))
    for number, line in enumerate(lines, 1):
        if not _ALPHABET_SET.issuperset(line):
            column, char = next((i, c) for i, c in enumerate(line) if c not in _ALPHABET_SET)
            raise MRZError(_MESSAGES["char"].format(char=char, line=number, column=column + 1))
    lengths = [len(line) for line in lines]
    if count == 3:
        for number, length in enumerate(lengths, 1):
            if length != 30:
                raise MRZError(_MESSAGES["length_td1"].format(line=number, length=length))
        return LAYOUTS["TD1"]
    for number, length in enumerate(lengths, 1):
        if length not in (36, 44):
            raise MRZError(_MESSAGES["length_two"].format(line=number, length=length))
    if lengths[0] != lengths[1]:
        raise MRZError(_MESSAGES["lengths_differ"].format(first=lengths[0], second=lengths[1]))
    visa = lines[0][0] == "V"
    if lengths[0] == 44:
        return LAYOUTS["MRVA" if visa else "TD3"]
    return LAYOUTS["MRVB" if visa else "TD2"]


def parse(text, *, repair=False) -> MRZ:
    """The zone in `text`, split into its fields and checked.

    `text` is one string of lines or a sequence of lines; blank lines and whitespace inside a
    line are ignored. The layout follows from the line count and length, and a document code
    starting with `V` on 2 lines tells a visa from a passport or card. With `repair=True`, OCR's
    usual confusions are undone where the field's type or the check digits decide (see the
    module's documentation); `MRZ.repairs` lists each change.

    Raises `MRZError` (a `ValueError`) naming the line count, the line whose length fits no
    layout, or the character outside `0-9`, `A-Z`, `<` and where it is; `TypeError` for
    anything but text.
    """
    lines = _lines_of(text)
    layout = _layout_of(lines)
    plan = _plan_for(layout, lines)
    result = _build(plan, lines, ())
    if not repair or result.valid:
        return result
    return _repair(layout, _text_candidates(plan, lines), doubts=False)


def parse_candidates(candidates) -> MRZ:
    """The zone from per-position candidates, repaired: the hook for a reader.

    `candidates[line][column]` is a non-empty string: the character read at that position,
    then the alternatives in order of preference (a classifier's second choices). Lines are
    exactly the zone's, with no whitespace. Alternatives that are not a `CONFUSIONS` partner of
    the character read are taken only for a filler in a name's padding, a digit where only
    digits fit, and where no reading of the partners passes the failing checks; a position
    with any alternative was read in doubt (in a name's padding it becomes a filler). Raises
    `MRZError` as `parse` does, on the characters read.
    """
    rows = []
    for number, line in enumerate(candidates, 1):
        row = []
        for column, options in enumerate(line, 1):
            if not options:
                raise MRZError(_MESSAGES["no_candidates"].format(line=number, column=column))
            row.append(options)
        rows.append(row)
    lines = tuple("".join(options[0] for options in row) for row in rows)
    return _repair(_layout_of(lines), rows)


# --- repair ------------------------------------------------------------------------------------

def _text_candidates(plan, lines):
    """Candidates from the text alone: each character and its partners in `CONFUSIONS`.

    Where a position allows letters and digits alike, the text's context narrows them: a
    character is suspected only where it stands apart from its neighbours (a letter between
    digits, a digit between letters, or a character with no neighbour to go by). Document
    numbers are runs of letters and runs of digits: suspecting every 8 of `L898902C3` as a B
    lets several readings pass its check, and the check digit then decides nothing.
    """
    candidates = [[char + CONFUSIONS.get(char, "") for char in line] for line in lines]
    for number, (kinds, line) in enumerate(zip(plan.kinds, lines)):
        for column, char in enumerate(line):
            if kinds[column] is not _ALNUM or char not in CONFUSIONS:
                continue
            is_digit = char in DIGITS
            if any(
                (line[n] in DIGITS) == is_digit
                for n in (column - 1, column + 1)
                if 0 <= n < len(line) and kinds[n] is _ALNUM and line[n] != FILLER
            ):
                candidates[number][column] = char
    return candidates


def _repair(layout, candidates, doubts=True):
    """Applies the type-decided, then the check-digit-decided changes to `candidates`.

    doubts: whether a position's alternatives mean that it was read in doubt (a classifier's
    second choices) or only that its shape has partners (candidates made from text).
    """
    read = tuple("".join(options[0] for options in row) for row in candidates)
    plan = _plan_for(layout, read)
    lines = [list(line) for line in read]

    def alternatives(line, column):
        char = read[line][column]
        partners = CONFUSIONS.get(char, "")
        return [alt for alt in candidates[line][column][1:] if alt in partners]

    # Type-decided: a character the position's type refuses becomes the first alternative it
    # allows. Where only digits fit (a date, a check digit), a letter has been misread
    # whatever its partners: any digit among the alternatives will do, and the checks judge.
    for line, kinds in enumerate(plan.kinds):
        for column, kind in enumerate(kinds):
            if read[line][column] not in kind:
                allowed = [alt for alt in alternatives(line, column) if alt in kind]
                if not allowed and kind <= _DATE:
                    # A date or a check digit is a digit on every document: any digit
                    # offered, else the letter's own partner. (Issuers bend the letters-only
                    # rule of codes, a card's `C1`: there a digit stays unless offered.)
                    allowed = [alt for alt in candidates[line][column][1:] if alt in DIGITS]
                    allowed = allowed or list(CONFUSIONS.get(read[line][column], ""))
                if allowed:
                    lines[line][column] = allowed[0]

    # Padding-decided: after a name's first three fillers in a row, the field is padding; a
    # character there that the reader doubted is a mark across it.
    for line, start, stop in plan.fields.get("name", ()):
        padding = "".join(lines[line][start:stop]).find(FILLER * 3)
        if padding < 0:
            continue
        for column in range(start + padding + 3, stop):
            options = candidates[line][column][1:]
            if lines[line][column] != FILLER and (FILLER in options or doubts and options):
                lines[line][column] = FILLER

    # Check-digit-decided, on the positions whose type allows both a character and its partner;
    # where no such reading passes, on every second choice the type allows (an `M` for an
    # `N`), which the classifier offers only where it doubts.
    current = tuple("".join(line) for line in lines)
    chosen = _decide_by_checks(plan, current, alternatives)
    if not chosen and not all(_passes(check, current) for check in plan.checks):
        chosen = _decide_by_checks(plan, current, lambda line, column: candidates[line][column][1:])
    for (line, column), char in chosen.items():
        lines[line][column] = char

    repaired = tuple("".join(line) for line in lines)
    repairs = tuple(
        Repair(line, column, was, now)
        for line, (before, after) in enumerate(zip(read, repaired))
        for column, (was, now) in enumerate(zip(before, after))
        if was != now
    )
    return _build(plan, repaired, repairs)


def _decide_by_checks(plan, lines, alternatives):
    """{(line, column): char} for the one reading that makes the failing checks pass, or {}."""
    results = [(check, _passes(check, lines)) for check in plan.checks]
    if all(passed for _, passed in results):
        return {}
    settled = {position for check, passed in results if passed for position in check.positions}
    open_positions = {}
    for check, passed in results:
        if passed:
            continue
        for line, column in check.positions:
            if (line, column) in settled or (line, column) in open_positions:
                continue
            kind = plan.kinds[line][column]
            # (not the character now there: a type may have written an alternative already)
            options = [alt for alt in dict.fromkeys(alternatives(line, column))
                       if alt in kind and alt != lines[line][column]]
            if options and lines[line][column] in kind:
                open_positions[line, column] = options
    # A failing check no reading can mend (a misread date, a check digit that is no digit)
    # leaves every check that covers its digit, the composite, unable to decide anything.
    broken = [
        check for check, passed in results
        if not passed and (
            lines[check.digit[0]][check.digit[1]] not in DIGITS
            or not any(p in open_positions for p in check.positions)
        )
    ]
    deciding = [
        check for check, passed in results
        if not passed and check not in broken and not any(b.digit in check.positions for b in broken)
    ]
    chosen = _one_reading(lines, deciding, open_positions)
    if chosen is None:
        # No reading passes them all: the composite may have been printed wrong (it happens on
        # specimens). The fields' own checks still decide their fields; the zone stays invalid.
        fields_only = [c for c in deciding if not any(o.digit in c.positions for o in plan.checks)]
        if fields_only != deciding:
            chosen = _one_reading(lines, fields_only, open_positions)
    return chosen or {}


def _one_reading(lines, deciding, open_positions):
    """{(line, column): char} for the one reading of `open_positions` that makes every check
    of `deciding` pass; None where no reading does, {} where several do."""
    # Positions in the order of the checks (the composite last), so that each check's
    # residue is settled, and the readings that miss it dropped, as soon as its last position
    # is read: at most two residues are open at a time.
    order = list(dict.fromkeys(
        p for check in deciding for p in check.positions if p in open_positions
    ))
    if not order:
        return {}
    settles = {}
    for index, check in enumerate(deciding):
        covered = set(check.positions)
        last = max(i for i, position in enumerate(order) if position in covered)
        settles.setdefault(order[last], []).append(index)

    # Each deciding check's sum modulo 10 over the positions that stay, and each open
    # position's weight in each check.
    base = []
    weights = {p: [0] * len(deciding) for p in order}
    for index, check in enumerate(deciding):
        total = 0
        for offset, (line, column) in enumerate(check.positions):
            weight = _WEIGHTS[offset % 3]
            if (line, column) in weights:
                weights[line, column][index] = weight
            else:
                total += weight * _VALUES[lines[line][column]]
        base.append(total % 10)
    target = tuple(int(lines[c.digit[0]][c.digit[1]]) for c in deciding)

    # Count the readings reaching each tuple of residues, up to 2, keeping the one reading
    # where a count is 1 (as a linked list of choices).
    states = {tuple(base): (1, None)}
    for position in order:
        line, column = position
        position_weights = weights[position]
        following = {}
        for state, (count, path) in states.items():
            for char in (lines[line][column], *open_positions[position]):
                value = _VALUES[char]
                key = tuple((s + w * value) % 10 for s, w in zip(state, position_weights))
                seen = following.get(key)
                if seen is None:
                    following[key] = (count, (path, char))
                else:
                    following[key] = (min(2, seen[0] + count), None)
        for index in settles.get(position, ()):
            following = {k: v for k, v in following.items() if k[index] == target[index]}
        states = following
    count, path = states.get(target, (0, None))
    if count != 1:
        return None if count == 0 else {}
    choices = []
    while path is not None:
        path, char = path
        choices.append(char)
    choices.reverse()
    return {
        position: char
        for position, char in zip(order, choices)
        if char != lines[position[0]][position[1]]
    }
