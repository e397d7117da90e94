"""A zone's sure glyphs settle the classifier's doubts about cells that look just like them,
and only those."""

import pytest

np = pytest.importorskip("numpy")
cv2 = pytest.importorskip("cv2")

from zerbano.mrz import glyphs, likeness  # noqa: E402

ZERO, LETTER_O = glyphs.SYMBOLS.index("0"), glyphs.SYMBOLS.index("O")
DIGITS = np.array([s.isdigit() for s in glyphs.SYMBOLS])
LETTERS = np.array([s.isalpha() or s == "<" for s in glyphs.SYMBOLS])
ANY = np.ones(len(glyphs.SYMBOLS), bool)


def cell(kind, seed):
    """A light cell with a dark ring: a tall narrow one (a `0`) or a round one (an `O`)."""
    image = np.full((glyphs.CELL_H, glyphs.CELL_W), 215, np.uint8)
    axes = (4, 8) if kind == "0" else (6, 6)
    cv2.ellipse(image, (8, 12), axes, 0, 0, 360, 30, 2, cv2.LINE_AA)
    noise = np.random.default_rng(seed).normal(0, 4, image.shape)
    return np.clip(image + noise, 0, 255).astype(np.uint8)


def posterior(first, p_first, second):
    row = np.full(len(glyphs.SYMBOLS), 1e-4)
    row[first], row[second] = p_first, 1 - p_first
    return row / row.sum()


def zone(doubtful_kind, doubtful_row, patterns=("0", "0", "O")):
    """The cells of a small zone: sure patterns in typed fields, then one cell in a field
    that admits letters and digits."""
    cells, rows, admitted = [], [], []
    for seed, kind in enumerate(patterns):
        cells.append(cell(kind, seed))
        if kind == "0":
            rows.append(posterior(ZERO, 0.999, LETTER_O))
            admitted.append(DIGITS)
        else:
            rows.append(posterior(LETTER_O, 0.999, ZERO))
            admitted.append(LETTERS)
    cells.append(cell(doubtful_kind, 99))
    rows.append(doubtful_row)
    admitted.append(ANY)
    return np.stack(cells), np.array(rows), np.array(admitted)


@pytest.mark.parametrize("kind, symbol", [("0", ZERO), ("O", LETTER_O)])
def test_a_doubtful_cell_is_read_as_the_sure_cells_it_matches(kind, symbol):
    # Read O at 0.8 where it is the zone's 0, or 0 at 0.8 where it is its O: settled.
    other = LETTER_O if symbol == ZERO else ZERO
    cells, rows, admitted = zone(kind, posterior(other, 0.8, symbol))
    settled = likeness.settle(cells, rows, admitted)
    assert settled[-1].argmax() == symbol
    assert np.array_equal(settled[:-1], rows[:-1])  # the patterns themselves are left


def test_a_sure_misreading_that_matches_other_cells_is_made_doubtful():
    # An O read at 0.99 in a document number, where the cell is the dates' 0: no longer
    # sure enough to be called valid.
    cells, rows, admitted = zone("0", posterior(LETTER_O, 0.99, ZERO))
    settled = likeness.settle(cells, rows, admitted)
    assert settled[-1][LETTER_O] < 0.9


@pytest.mark.parametrize("patterns", [("0", "0"), ("O",), ()])
def test_without_a_decisive_match_nothing_changes(patterns):
    # The zone's 0s alone cannot make a round O a 0, nor its Os a tall 0 an O: the cell
    # matches no pattern closely enough. Without patterns nothing can be said.
    kind = "O" if patterns == ("0", "0") else "0"
    cells, rows, admitted = zone(kind, posterior(LETTER_O if kind == "0" else ZERO, 0.8,
                                                 ZERO if kind == "0" else LETTER_O), patterns)
    assert np.array_equal(likeness.settle(cells, rows, admitted), rows)


def test_cells_of_fields_that_admit_letters_and_digits_are_no_patterns():
    # Two alphanumeric cells, one read surely: it does not settle the other.
    cells = np.stack([cell("0", 1), cell("0", 2)])
    rows = np.array([posterior(LETTER_O, 0.999, ZERO), posterior(ZERO, 0.8, LETTER_O)])
    admitted = np.array([ANY, ANY])
    assert np.array_equal(likeness.settle(cells, rows, admitted), rows)


def test_a_cell_is_matched_only_to_the_symbols_its_field_admits():
    # A name's doubtful cell that looks just like the dates' zeros stays a letter: the
    # field admits no digit.
    cells, rows, admitted = zone("0", posterior(LETTER_O, 0.8, ZERO), patterns=("0", "0"))
    admitted[-1] = LETTERS
    settled = likeness.settle(cells, rows, admitted)
    assert settled[-1].argmax() == LETTER_O


@pytest.mark.parametrize("kind, read, patterns, expected", [
    ("0", ZERO, ("0", "0", "O"), False),   # like the zone's zeros, read as a zero
    ("0", LETTER_O, ("0", "0"), True),     # just like the zone's zeros, read as an O
    ("O", LETTER_O, ("0", "0"), False),    # a round O: the zeros cannot speak against it
    ("O", ZERO, ("0", "0", "O"), True),    # like the zone's Os, read as a zero
])
def test_undecided_cells_are_those_the_zone_cannot_vouch_for(kind, read, patterns, expected):
    other = LETTER_O if read == ZERO else ZERO
    cells, rows, admitted = zone(kind, posterior(read, 0.95, other), patterns)
    reported = rows.argmax(axis=1)
    assert likeness.undecided(cells, rows, admitted, reported)[-1] is np.bool_(expected)
