"""zerbano.mrz's text: the ICAO specimens, generated zones of every layout, checks, repair."""

import dataclasses
import json
import pickle

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import run_python, scaled
from zerbano.mrz import MRZ, MRZError, check_digit, parse
from zerbano.mrz.text import CONFUSIONS, parse_candidates

# Doc 9303's specimens: parts 4 (TD3), 5 (TD1), 6 (TD2) and 7 (MRV-A, MRV-B).
SPECIMENS = {
    "TD3": ("P<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<<<<<<<<<",
            "L898902C36UTO7408122F1204159ZE184226B<<<<<10"),
    "TD1": ("I<UTOD231458907<<<<<<<<<<<<<<<",
            "7408122F1204159UTO<<<<<<<<<<<6",
            "ERIKSSON<<ANNA<MARIA<<<<<<<<<<"),
    "TD2": ("I<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<",
            "D231458907UTO7408122F1204159<<<<<<<6"),
    "MRVA": ("V<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<<<<<<<<<",
             "L8988901C4XXX4009078F96121096ZE184226B<<<<<<"),
    "MRVB": ("V<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<",
             "L8988901C4XXX4009078F9612109<<<<<<<<"),
}
ANNA = dict(issuing_state="UTO", surname="ERIKSSON", given_names="ANNA MARIA", sex="F")
EXPECTED = {
    "TD3": dict(ANNA, document_code="P", document_number="L898902C3", nationality="UTO",
                birth_date="740812", expiry_date="120415", optional_data="ZE184226B"),
    "TD1": dict(ANNA, document_code="I", document_number="D23145890", nationality="UTO",
                birth_date="740812", expiry_date="120415", optional_data=""),
    "TD2": dict(ANNA, document_code="I", document_number="D23145890", nationality="UTO",
                birth_date="740812", expiry_date="120415", optional_data=""),
    "MRVA": dict(ANNA, document_code="V", document_number="L8988901C", nationality="XXX",
                 birth_date="400907", expiry_date="961210", optional_data="6ZE184226B"),
    "MRVB": dict(ANNA, document_code="V", document_number="L8988901C", nationality="XXX",
                 birth_date="400907", expiry_date="961210", optional_data=""),
}
TD3 = SPECIMENS["TD3"]
CHECKS = {
    "TD3": ["document_number", "birth_date", "expiry_date", "optional_data", "composite"],
    "TD1": ["document_number", "birth_date", "expiry_date", "composite"],
    "TD2": ["document_number", "birth_date", "expiry_date", "composite"],
    "MRVA": ["document_number", "birth_date", "expiry_date"],
    "MRVB": ["document_number", "birth_date", "expiry_date"],
}


def zone(layout, code, state, name, number, nationality, birth, sex, expiry, optional="",
         optional_2=""):
    """A zone written from its fields by the rules of Doc 9303, apart from the parser's table."""
    length = {"TD1": 30, "TD2": 36, "MRVB": 36}.get(layout, 44)
    optional_width = {"TD1": 15, "TD2": 7, "TD3": 14, "MRVA": 16, "MRVB": 8}[layout]
    if len(number) > 9:  # the rest of the number and its check digit open the optional data
        optional = number[9:] + check_digit(number) + "<" + optional
        number_part = number[:9] + "<"
    else:
        number_part = number.ljust(9, "<") + check_digit(number.ljust(9, "<"))
    optional = optional.ljust(optional_width, "<")
    dates = birth + check_digit(birth) + sex + expiry + check_digit(expiry)
    if layout == "TD1":
        top = code + state + number_part + optional
        middle = dates + nationality + optional_2.ljust(11, "<")
        middle += check_digit(top[5:30] + middle[0:7] + middle[8:15] + middle[18:29])
        return (top, middle, name.ljust(30, "<"))
    bottom = number_part + nationality + dates + optional
    if layout == "TD3":
        bottom += check_digit(optional)
    if not layout.startswith("MRV"):
        bottom += check_digit(bottom[0:10] + bottom[13:20] + bottom[21:])
    return ((code + state + name).ljust(length, "<"), bottom)


def changed(lines, line, column, char):
    lines = list(lines)
    lines[line] = lines[line][:column] + char + lines[line][column + 1:]
    return tuple(lines)


@pytest.mark.parametrize("layout", SPECIMENS)
def test_specimens(layout):
    mrz = parse(SPECIMENS[layout])
    assert {name: getattr(mrz, name) for name in EXPECTED[layout]} == EXPECTED[layout]
    assert (mrz.format, mrz.lines, mrz.optional_data_2, mrz.repairs) == (layout, SPECIMENS[layout], "", ())
    assert dict(mrz.checks) == dict.fromkeys(CHECKS[layout], True) and mrz.valid


@pytest.mark.parametrize("data, digit", [
    ("L898902C3", "6"), ("740812", "2"), ("ZE184226B<<<<<", "1"), ("<<<<", "0"), ("", "0"),
    ("D23145890734", "9"),
])
def test_check_digit(data, digit):
    assert check_digit(data) == digit


# One character at each end of every check's data, and the check digit itself.
BREAKS = {
    "TD3": {"document_number": [(1, 0), (1, 8), (1, 9)], "birth_date": [(1, 13), (1, 18), (1, 19)],
            "expiry_date": [(1, 21), (1, 26), (1, 27)], "optional_data": [(1, 28), (1, 35), (1, 42)],
            "composite": [(1, 43)]},
    "TD1": {"document_number": [(0, 5), (0, 13), (0, 14)], "birth_date": [(1, 0), (1, 5), (1, 6)],
            "expiry_date": [(1, 8), (1, 13), (1, 14)], "composite": [(0, 15), (0, 29), (1, 18), (1, 28), (1, 29)]},
    "TD2": {"document_number": [(1, 0), (1, 8), (1, 9)], "birth_date": [(1, 13), (1, 18), (1, 19)],
            "expiry_date": [(1, 21), (1, 26), (1, 27)], "composite": [(1, 28), (1, 34), (1, 35)]},
    "MRVA": {"document_number": [(1, 0), (1, 8), (1, 9)], "birth_date": [(1, 13), (1, 18), (1, 19)],
             "expiry_date": [(1, 21), (1, 26), (1, 27)]},
}
BREAKS["MRVB"] = BREAKS["MRVA"]


@pytest.mark.parametrize("layout", SPECIMENS)
def test_a_changed_character_fails_its_check(layout):
    lines = SPECIMENS[layout]
    for name, positions in BREAKS[layout].items():
        for line, column in positions:
            # Another character of the same type: digit to digit, letter or filler to letter
            # (not A: A and < weigh the same modulo 10).
            char = lines[line][column]
            other = str((int(char) + 1) % 10) if char.isdigit() else "B" if char in "<Z" else chr(ord(char) + 1)
            mrz = parse(changed(lines, line, column, other))
            failed = {check for check, passed in mrz.checks.items() if not passed}
            expected = {name} | ({"composite"} if "composite" in mrz.checks else set())
            assert (failed, mrz.valid) == (expected, False), (name, line, column)


def test_valid_needs_every_field_of_its_type():
    mrz = parse(changed(TD3, 1, 12, "0"))  # nationality UT0: no check covers it
    assert all(mrz.checks.values()) and not mrz.valid


fields = st.fixed_dictionaries({
    "number": st.text("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ", min_size=1, max_size=9),
    "surname": st.lists(st.text("ABCDEFGHIJKLMNOPQRSTUVWXYZ", min_size=1, max_size=6), min_size=1, max_size=2),
    "given": st.lists(st.text("ABCDEFGHIJKLMNOPQRSTUVWXYZ", min_size=1, max_size=5), max_size=2),
    "birth": st.text("0123456789", min_size=6, max_size=6),
    "expiry": st.text("0123456789", min_size=6, max_size=6),
    "sex": st.sampled_from("MFX<"),
    "optional": st.text("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ", max_size=6),
})


@pytest.mark.parametrize("layout", SPECIMENS)
@settings(max_examples=scaled(60, 10), deadline=None)
@given(f=fields)
def test_generated_zones_round_trip(layout, f):
    code = "V<" if layout.startswith("MRV") else "ID" if layout == "TD1" else "P<"
    name = "<".join(f["surname"]) + "<<" + "<".join(f["given"])
    lines = zone(layout, code, "D<<", name, f["number"], "UTO", f["birth"], f["sex"],
                 f["expiry"], f["optional"], optional_2="7" if layout == "TD1" else "")
    mrz = parse("\n\n ".join(" ".join(line) for line in lines))  # spaces and blank lines
    assert mrz.valid and mrz.format == layout and mrz.lines == lines
    assert (mrz.document_code, mrz.issuing_state, mrz.document_number, mrz.sex) == (
        code.strip("<"), "D", f["number"], f["sex"].strip("<"))
    assert (mrz.surname, mrz.given_names) == (" ".join(f["surname"]), " ".join(f["given"]))
    assert (mrz.birth_date, mrz.expiry_date, mrz.optional_data) == (f["birth"], f["expiry"], f["optional"])
    assert mrz.optional_data_2 == ("7" if layout == "TD1" else "")
    assert parse(lines, repair=True) == mrz  # a valid zone comes back as it was


@pytest.mark.parametrize("layout", ["TD1", "TD2"])
def test_long_document_number(layout):
    lines = zone(layout, "I<", "UTO", "VAN<DER<BERG<<JAN<PIETER", "D23145890734", "UTO",
                 "740812", "F", "120415", "A1")
    mrz = parse(lines)
    assert (mrz.document_number, mrz.optional_data, mrz.valid) == ("D23145890734", "A1", True)
    assert (mrz.surname, mrz.given_names) == ("VAN DER BERG", "JAN PIETER")
    row, start = (0, 15) if layout == "TD1" else (1, 28)  # the continuation and its check digit
    assert parse(changed(lines, row, start, "8")).checks["document_number"] is False
    assert parse(changed(lines, row, start + 3, "0")).checks["document_number"] is False


def test_unused_td3_optional_data_may_have_a_filler_check_digit():
    lines = zone("TD3", "P<", "UTO", "A", "X1", "UTO", "740812", "F", "120415")
    filler = changed(lines, 1, 42, "<")
    filler = changed(filler, 1, 43, check_digit(filler[1][0:10] + filler[1][13:20] + filler[1][21:43]))
    assert parse(filler).valid
    used = zone("TD3", "P<", "UTO", "A", "X1", "UTO", "740812", "F", "120415", "A")
    assert not parse(changed(used, 1, 42, "<")).checks["optional_data"]


@pytest.mark.parametrize("text, message", [
    ("", "no MRZ text: a zone has 2 or 3 lines"),
    ("P<UTO", "an MRZ has 2 or 3 lines, not 1"),
    ("A\nB\nC\nD", "an MRZ has 2 or 3 lines, not 4"),
    ("I<UTO\n7408122F\nerik", "'e' at line 3, column 1 is not an MRZ character (0-9, A-Z, <)"),
    (["P<UTO-", "X"], "'-' at line 1, column 6 is not an MRZ character (0-9, A-Z, <)"),
    (["A" * 30, "B" * 31, "C" * 30], "line 2 has 31 characters: a 3-line zone (TD1) has 30 a line"),
    (["A" * 44, "B" * 43], "line 2 has 43 characters: a 2-line zone has 44 a line (TD3, MRVA) or 36 (TD2, MRVB)"),
    (["A" * 44, "B" * 36], "line 2 has 36 characters and line 1 44: a zone's lines are of one length"),
])
def test_errors_say_what_fits_no_layout(text, message):
    with pytest.raises(MRZError) as info:
        parse(text)
    assert str(info.value) == message and isinstance(info.value, ValueError)


def test_other_errors():
    with pytest.raises(MRZError) as info:
        check_digit("AB-1")
    assert str(info.value) == "'-' at position 3 is not an MRZ character (0-9, A-Z, <)"
    for bad, message in [(b"P<UTO", "parse() takes a str or a sequence of str, not bytes"),
                         (["P<UTO", 3], "line 2 is int, not str")]:
        with pytest.raises(TypeError) as info:
            parse(bad)
        assert str(info.value) == message


@pytest.mark.parametrize("lines, repairs", [
    # The type decides: a digit in a date, a check digit, a state code, a name.
    (changed(changed(TD3, 1, 17, "I"), 1, 19, "Z"), [(1, 17, "I", "1"), (1, 19, "Z", "2")]),
    (changed(changed(TD3, 1, 12, "0"), 0, 9, "5"), [(0, 9, "5", "S"), (1, 12, "0", "O")]),
    (changed(TD3, 0, 2, "0"), [(0, 2, "0", "O")]),
    # The check digit decides: an O between digits in the number (the 8s among digits are
    # not suspected)...
    (changed(TD3, 1, 5, "O"), [(1, 5, "O", "0")]),
    # ... and in TD1's second optional field, which only the composite covers.
    (changed(zone("TD1", "I<", "UTO", "A", "AC7", "UTO", "740812", "F", "120415", optional_2="742"),
             1, 20, "Z"), [(1, 20, "Z", "2")]),
])
def test_repair_fixes_confusions(lines, repairs):
    mrz = parse(lines, repair=True)
    assert mrz.repairs == tuple(repairs) and mrz.valid
    assert all(mrz.lines[line][column] == written for line, column, _, written in repairs)


NUMBER = zone("TD3", "P<", "UTO", "A", "Z10345678", "UTO", "740812", "F", "120415")


@pytest.mark.parametrize("lines, repairs, failed", [
    # A misread digit: no repair may turn it into another digit.
    (changed(TD3, 1, 13, "1"), [], {"birth_date", "composite"}),
    # Z1O345678 for Z10345678: 2I0345678, two more swaps that compensate, passes as well.
    # Nothing is guessed.
    (changed(NUMBER, 1, 2, "O"), [], {"document_number", "composite"}),
    # A check digit read as no digit at all: neither its check nor the composite decides.
    (changed(changed(TD3, 1, 5, "O"), 1, 9, "X"), [], {"document_number", "composite"}),
    # The misread date spoils the composite; the number's own check still decides.
    (changed(changed(TD3, 1, 5, "O"), 1, 14, "5"), [(1, 5, "O", "0")], {"birth_date", "composite"}),
])
def test_repair_leaves_misreads_invalid(lines, repairs, failed):
    mrz = parse(lines, repair=True)
    assert mrz.repairs == tuple(repairs) and not mrz.valid
    assert {name for name, passed in mrz.checks.items() if not passed} == failed


@settings(max_examples=scaled(300, 20), deadline=None)
@given(st.sampled_from(list(SPECIMENS.values())).flatmap(lambda specimen: st.tuples(*(
    st.tuples(*(st.sampled_from([char, *CONFUSIONS.get(char, ""), "X", "3", "<"]) for char in line))
    .map("".join) for line in specimen))))
def test_repair_only_swaps_confusion_pairs(lines):
    # Zones near the specimens: each character as printed, a partner, or something else.
    mrz = parse(lines, repair=True)
    for line, column, read, written in mrz.repairs:
        assert lines[line][column] == read and written in CONFUSIONS[read]
        assert mrz.lines[line] == mrz.lines[line][:column] + written + mrz.lines[line][column + 1:]
    assert {(r.line, r.column) for r in mrz.repairs} == {
        (line, column) for line, (a, b) in enumerate(zip(lines, mrz.lines))
        for column in range(len(a)) if a[column] != b[column]}
    if parse(lines).valid:
        assert mrz == parse(lines)


def test_repair_with_a_readers_candidates():
    candidates = [list(line) for line in changed(NUMBER, 1, 2, "O")]
    candidates[1][2] = "O0"  # the classifier doubted this position only
    assert parse_candidates(candidates).repairs == ((1, 2, "O", "0"),)
    # A second choice outside the confusion pairs is taken where a check digit decides and
    # no pair mends it (a date's 7 read 1), never in a name (no check digit covers it).
    candidates = [list(line) for line in changed(TD3, 1, 13, "1")]
    candidates[1][13] = "17"
    candidates[0][5] = "EF"
    mrz = parse_candidates(candidates)
    assert mrz.repairs == ((1, 13, "1", "7"),) and mrz.lines == TD3


@pytest.mark.parametrize("line, column, options, written, valid", [
    (1, 15, "C0", "0", True),    # a date's 0 read C: the second choice, though not C's partner
    (1, 27, "B9", "9", True),    # a check digit: B's partner 8 not offered, 9 is
    (1, 15, "C6", "6", False),   # the wrong digit offered: taken, and the check refuses it
    (1, 15, "C<", "C", False),   # no digit offered, no partner: left as read
    (1, 19, "Z<", "2", True),    # no digit offered: the letter's own partner
    (1, 19, "Z", "2", True),     # read without doubt, still no letter can stand there
    (0, 5, "1T", "1", False),    # a name: only a partner may stand for a refused digit
])
def test_where_only_digits_fit_a_letter_takes_any_digit_offered(line, column, options, written,
                                                               valid):
    candidates = [list(row) for row in changed(TD3, line, column, options[0])]
    candidates[line][column] = options
    mrz = parse_candidates(candidates)
    assert (mrz.lines[line][column], mrz.valid) == (written, valid)


@pytest.mark.parametrize("read, number", [
    ({0: "EL"}, "L898902C3"),               # an E for the L: no partner, the check decides
    # T8989O2C3 would pass too: the partner reading is tried first, and taken alone
    ({0: "LT", 5: "O0"}, "L898902C3"),
    ({0: "EL", 7: "CP"}, "E898902C3"),      # E898902P3 passes as well: two readings, none taken
])
def test_a_failing_check_takes_any_second_choice_where_no_partner_mends_it(read, number):
    # The document number L898902C3 with some positions read otherwise, second choices offered.
    lines = TD3
    for column, options in read.items():
        lines = changed(lines, 1, column, options[0])
    candidates = [list(row) for row in lines]
    for column, options in read.items():
        candidates[1][column] = options
    mrz = parse_candidates(candidates)
    assert mrz.lines[1][:9] == number
    assert mrz.checks["document_number"] is (number == "L898902C3")


@pytest.mark.parametrize("column, options, written", [
    (33, "G<", "<"),    # in the padding after MARIA, with `<` offered: a stroke across fillers
    (33, "G", "G"),     # read without doubt: left as read
    (33, "GK", "<"),    # read in doubt, though `<` is not offered
    (15, "A<", "A"),    # after the two fillers between the name's parts: no padding yet
    (20, "M<", "M"),    # after one filler: no padding yet
])
def test_a_names_padding_takes_a_filler_offered(column, options, written):
    candidates = [list(line) for line in changed(TD3, 0, column, options[0])]
    candidates[0][column] = options
    mrz = parse_candidates(candidates)
    assert mrz.lines[0][column] == written
    assert mrz.repairs == (((0, column, options[0], "<"),) if written == "<" else ())


def test_a_padding_letter_from_text_is_no_doubt():
    # Text's candidates are a character's partners, not doubts: the S stays, the O is mended.
    lines = changed(changed(TD3, 0, 33, "S"), 1, 15, "O")
    assert parse(lines, repair=True).lines == changed(TD3, 0, 33, "S")


def test_a_composite_printed_wrong_leaves_the_fields_to_their_checks():
    wrong_composite = changed(TD3, 1, 43, "5")
    candidates = [list(row) for row in changed(wrong_composite, 1, 13, "1")]
    candidates[1][13] = "17"  # the birth date's 7 read 1
    mrz = parse_candidates(candidates)
    assert mrz.lines == wrong_composite and mrz.checks["birth_date"] and not mrz.valid


def test_results_compare_hash_pickle_and_serialize():
    mrz = parse(TD3)
    read = dataclasses.replace(mrz, location=[[1, 2], (3, 4), (5, 6), (7, 8)],
                               confidences=[[0.9, 0.5], [1]])
    assert (read.location[0], read.confidences, read.confidence) == ((1.0, 2.0), ((0.9, 0.5), (1.0,)), 0.5)
    for result in (mrz, read, parse(changed(TD3, 1, 17, "I"), repair=True)):
        assert pickle.loads(pickle.dumps(result)) == result
        assert hash(result) == hash(dataclasses.replace(result)) and result.checks == dict(result.checks)
        data = json.loads(json.dumps(result.to_dict()))
        assert data["lines"] == list(result.lines) and data["valid"] == result.valid
        assert data["checks"] == dict(result.checks)
    assert data["repairs"] == [{"line": 1, "column": 17, "read": "I", "written": "1"}]
    assert set(data) == {field.name for field in dataclasses.fields(MRZ)}
    assert mrz != read and len({mrz, read, parse(TD3)}) == 2


def test_import_loads_no_image_library():
    run_python("""
        import sys, zerbano.mrz
        assert "cv2" not in sys.modules and "numpy" not in sys.modules
    """)
