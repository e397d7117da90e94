"""The MRZ benchmark's rules of scoring (bench/mrz_scoring.py) and its run over a folder of
pages with a truth.jsonl (bench/mrz.py --truth), on folders made here from the project's own
fixed captures."""

import json
import os
import pathlib
import shutil
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
FIXED = pathlib.Path(__file__).resolve().parent / "data" / "captures"

TD1 = ["I<UTOD231458907<<<<<<<<<<<<<<<",
       "7408122F1204159UTO<<<<<<<<<<<6",
       "ERIKSSON<<ANNA<MARIA<<<<<<<<<<"]


def _bench(name):
    if not (ROOT / "bench" / f"{name}.py").is_file():
        pytest.skip("not run from a checkout: no bench/ beside the tests")
    environment = dict(os.environ)
    sys.path.insert(0, str(ROOT / "bench"))
    try:
        return __import__(name)
    finally:
        sys.path.remove(str(ROOT / "bench"))
        # The benchmark pins its thread pools at import; the rest of the session keeps its own.
        os.environ.clear()
        os.environ.update(environment)


@pytest.fixture(scope="module")
def scoring():
    return _bench("mrz_scoring")


def _truth(lines=TD1, valid=True, scored=True):
    return {"file": "page.jpg", "layout": "TD1" if lines else None, "lines": list(lines),
            "valid": valid, "scored": scored, "char_height": 12}


WRONG = TD1[:2] + ["ERIKSSON<<ANNA<MARLA<<<<<<<<<<"]
SPOILED = [TD1[0][:14] + "0" + TD1[0][15:]] + TD1[1:]


@pytest.mark.parametrize("truth, lines, valid, label, scored", [
    (_truth(), TD1, True, "exact", True),
    (_truth(), TD1, False, "exact", True),
    (_truth(), [""] + TD1 + ["NOISE"], None, "exact", True),  # judged on its closest lines
    (_truth(), [" ".join(line) for line in TD1], True, "exact", True),  # spaces dropped
    (_truth(), TD1[:2], False, "wrong", True),
    (_truth(), WRONG, False, "wrong", True),
    (_truth(), WRONG, True, "wrong, false accept", True),  # a name has no check digit
    (_truth(), [], None, "nothing", True),
    # Printed with a wrong check digit: exact as printed, and never valid.
    (_truth(SPOILED, valid=False), SPOILED, False, "exact", True),
    (_truth(SPOILED, valid=False), SPOILED, True, "exact, false accept", True),
    (_truth(SPOILED, valid=False), TD1, True, "wrong, false accept", True),
    # Unscored: may be read or not, but not called valid when wrong.
    (_truth(scored=False), [], None, "nothing", False),
    (_truth(scored=False), WRONG, False, "wrong", False),
    (_truth(scored=False), WRONG, True, "wrong, false accept", False),
    # Unscored, its transcription failing its own check digits (the print was ambiguous), read
    # otherwise and called valid: disputed, for a look at the image, not a false accept.
    (_truth(SPOILED, valid=False, scored=False), TD1, True, "wrong, disputed", False),
    (_truth(SPOILED, valid=False, scored=False), SPOILED, True, "exact, false accept", False),
    # No zone on the page: any zone is invented, and a false accept when called valid.
    (_truth([]), [], None, "nothing", False),
    (_truth([]), TD1, False, "invented", False),
    (_truth([]), TD1, True, "invented, false accept", False),
])
def test_outcome_rules(scoring, truth, lines, valid, label, scored):
    outcome = scoring.Outcome(truth, scoring.Result(lines, valid), 0.01)
    assert (outcome.label(), outcome.scored) == (label, scored)
    kinds = ((outcome.exact, outcome.wrong, outcome.nothing) if truth["lines"]
             else (outcome.nothing, outcome.invented))
    assert sum(kinds) == 1
    again = scoring.Outcome.from_dict(json.loads(json.dumps(outcome.to_dict())), truth)
    assert again.label() == label and again.lines == outcome.lines
    assert not (outcome.disputed and outcome.false_accept)


def test_saved_runs_from_before_real_pages_still_load(scoring):
    saved = {"seed": 3, "exact": True, "right": 88, "chars": 88, "nothing": False,
             "valid": True, "false_accept": False, "seconds": 0.02, "error": None}
    outcome = scoring.Outcome.from_dict(saved, {"seed": 3, "lines": TD1, "valid": True})
    assert outcome.label() == "exact" and outcome.lines is None and not outcome.invented


def _record(name, lines, **fields):
    return {"file": name, "layout": "TD1" if lines else None, "mrz": lines or None,
            "valid": bool(lines), "scored": bool(lines), "char_height_px": 12 if lines else None,
            "rotation": "0", **fields}


def _folder(root, records, images=None):
    (root / "images").mkdir(parents=True, exist_ok=True)
    for record in records:
        source = (images or {}).get(record["file"])
        if source:
            shutil.copy(source, root / "images" / record["file"])
        else:
            (root / "images" / record["file"]).write_bytes(b"")
    (root / "truth.jsonl").write_text("".join(json.dumps(r) + "\n" for r in records))
    return root


def test_load_truth_gives_the_scoring_form(scoring, tmp_path):
    folder = _folder(tmp_path, [_record("a.jpg", TD1), _record("b.png", None),
                                _record("c.jpg", TD1, scored=False, note="faint")])
    truths = scoring.load_truth(folder)
    assert [t["file"] for t in truths] == ["a.jpg", "b.png", "c.jpg"]
    assert truths[0]["lines"] == TD1 and truths[0]["char_height"] == 12
    assert truths[1]["lines"] == [] and not truths[1]["scored"]
    assert truths[2]["note"] == "faint" and not truths[2]["scored"]
    assert truths[0]["path"] == os.path.join(folder, "images", "a.jpg")


@pytest.mark.parametrize("line, message", [
    ("{not json", "line 2"),
    ('["a list"]', "line 2: a record is a JSON object"),
    (json.dumps(_record("../up.jpg", TD1)), "plain file name"),
    (json.dumps(_record("a.jpg", TD1)), "a.jpg is listed twice"),
    (json.dumps(_record("gone.jpg", TD1)), "no image"),
    (json.dumps({**_record("d.jpg", TD1), "layout": None}), "both be given or both be null"),
    (json.dumps({k: v for k, v in _record("d.jpg", TD1).items() if k != "scored"}),
     "line 2: 'scored'"),
])
def test_load_truth_names_the_line_it_cannot_use(scoring, tmp_path, line, message):
    folder = _folder(tmp_path, [_record("a.jpg", TD1), _record("d.jpg", TD1)])
    (folder / "truth.jsonl").write_text(json.dumps(_record("a.jpg", TD1)) + "\n" + line + "\n")
    with pytest.raises(scoring.TruthError, match=message):
        scoring.load_truth(folder)


# --- The benchmark over a folder ---------------------------------------------------------


@pytest.fixture(scope="module")
def bench():
    pytest.importorskip("cv2")
    pytest.importorskip("PIL")
    return _bench("mrz")


class FakeReader:
    """Answers each page from a table: file -> (lines, valid)."""

    name = "fake"
    verdict = True
    fatal = True

    def __init__(self, answers, result=None):
        self.answers = answers
        self.result = result

    def read(self, path):
        lines, valid = self.answers.get(os.path.basename(path), ([], None))
        return self.result(lines, valid)


def _run(bench, folder, answers):
    truths = bench.load_truth(folder)
    reader = FakeReader(answers, bench.Result)
    outcomes, crashes = bench.run_readers([reader], [(t["path"], t) for t in truths], None,
                                          lambda done, total: None)
    return truths, outcomes["fake"], crashes


def test_a_folder_is_summed_up_by_height_layout_and_outcome(bench, tmp_path):
    records = [_record("exact.jpg", TD1), _record("wrong.jpg", TD1),
               _record("fa.jpg", TD1, char_height_px=25),
               _record("small.jpg", TD1, char_height_px=6),
               _record("unscored.jpg", TD1, scored=False), _record("blank.jpg", None),
               _record("blank2.jpg", None)]
    folder = _folder(tmp_path, records)
    answers = {"exact.jpg": (TD1, True), "wrong.jpg": (WRONG, False), "fa.jpg": (WRONG, True),
               "unscored.jpg": (WRONG, True), "blank.jpg": (TD1, True)}
    truths, outcomes, crashes = _run(bench, folder, answers)
    assert not crashes
    reader = FakeReader(answers)
    text = bench.real_report([reader], {"fake": outcomes}, detailed=("fake",))

    def table(title):
        section = text.split(f"## {title}\n")[1].strip().split("\n\n")[0]
        return {cells[0]: cells[1:] for cells in
                (line.strip("| ").split(" | ") for line in section.splitlines()[2:])}

    pages = table("Every page")
    assert pages["fa.jpg"] == ["TD1", "25", "yes", "wrong, false accept", pages["fa.jpg"][-1]]
    assert pages["blank.jpg"][:4] == ["no zone", "-", "-", "invented, false accept"]
    assert pages["unscored.jpg"][2:4] == ["no", "wrong, false accept"]
    # Exactness over the 4 scored zones; false accepts over every page; 1 of 2 blanks invented.
    summary = table("All pages")["fake"]
    assert summary[:3] + summary[5:7] == ["4", "1 (25.0%)", "2", "3", "1 of 2"]
    heights = table("By capital height (px), scored zones")
    assert heights["<8: fake"][:4] == ["1", "0 (0.0%)", "0", "1"]
    assert heights["20-30: fake"][:5] == ["1", "0 (0.0%)", "1", "0", "1"]
    assert table("By layout, scored zones")["TD1: fake"][:2] == ["4", "1 (25.0%)"]
    others = table("Unscored zones and pages without a zone")["fake"]
    assert others == ["1", "1", "0", "1", "2", "1", "1"]
    assert "read:    I<UTOD231458907" in text and "MARLA" in text
    assert bench.exact_files(outcomes) == {"exact.jpg"}
    assert "over 7 pages" in bench.ratio_line({"a": outcomes, "b": outcomes}, "a", "b", "pages")


def test_the_exact_list_never_loses_a_name_unless_told(bench, tmp_path):
    folder = _folder(tmp_path / "real", [_record("a.jpg", TD1), _record("b.jpg", TD1),
                                         _record("c.jpg", TD1, scored=False)])
    listed = tmp_path / "exact.txt"
    everything = {"a.jpg": (TD1, True), "b.jpg": (TD1, True), "c.jpg": (TD1, True)}
    truths, outcomes, _ = _run(bench, folder, everything)
    said, written = bench.write_exact(str(listed), outcomes, truths, allow_loss=False)
    assert written and bench.mrz_scoring.read_exact_list(listed) == ["a.jpg", "b.jpg"]
    assert listed.read_text().startswith("# ")
    # b.jpg no longer read: the list stays as it was, and the message names it.
    truths, outcomes, _ = _run(bench, folder, {"a.jpg": (TD1, True), "b.jpg": (WRONG, False)})
    before = listed.read_text()
    said, written = bench.write_exact(str(listed), outcomes, truths, allow_loss=False)
    assert not written and listed.read_text() == before
    assert any("b.jpg: wrong" in line for line in said)
    said, written = bench.write_exact(str(listed), outcomes, truths, allow_loss=True)
    assert written and bench.mrz_scoring.read_exact_list(listed) == ["a.jpg"]


def test_the_benchmark_scores_zerbano_on_a_folder_and_redraws_it(bench, tmp_path, capsys):
    # The project's own fixed captures, as a folder of pages with a truth.jsonl.
    fixed = json.loads((FIXED / "truth.json").read_text())
    records = [{"file": name, "layout": truth["layout"], "mrz": truth["lines"] or None,
                "valid": truth["valid"], "scored": bool(truth["lines"]),
                "char_height_px": round(truth["char_height"]) if truth["lines"] else None,
                "rotation": "0"} for name, truth in sorted(fixed.items())]
    folder = _folder(tmp_path / "pages", records, {name: FIXED / name for name in fixed})
    saved, listed = tmp_path / "run.json", tmp_path / "exact.txt"
    status = bench.main(["--truth", str(folder), "--readers", "zerbano", "--json", str(saved),
                         "--write-exact", str(listed)])
    printed = capsys.readouterr().out
    assert status == 0
    zones = sorted(name for name, truth in fixed.items() if truth["lines"])
    assert bench.mrz_scoring.read_exact_list(listed) == zones
    assert f"| {len(zones)} | {len(zones)} (100.0%) | 0 | 0 |" in printed
    run = json.loads(saved.read_text())
    assert sorted(item["file"] for item in run["zerbano.mrz.read"]) == sorted(fixed)
    assert bench.main(["--report", str(saved), "--truth", str(folder)]) == 0
    assert printed.startswith(capsys.readouterr().out)


@pytest.mark.parametrize("argv, message", [
    (["--truth", "x", "--print", "varied"], "--print: for synthetic captures"),
    (["--write-exact", "x.txt"], "need --truth"),
    (["--truth", "x", "--readers", "passporteye", "--write-exact", "x.txt"],
     "needs the zerbano reader"),
])
def test_flags_that_do_not_go_together_are_refused(bench, capsys, argv, message):
    with pytest.raises(SystemExit):
        bench.main(argv)
    assert message in capsys.readouterr().err
