"""zerbano.mrz.read on the real documents kept beside the checkout (../shared/mrz-real).

Nothing may be called valid that is not read exactly as printed, no zone may be invented on a
page without one, and no zone in tests/data/mrz-real-exact.txt (the zones once read exactly)
may be lost. The folder is read in place, never copied; a user's clone has none beside it,
and an installed copy of the tests has no checkout around it: both skip. The rules are
bench/mrz_scoring.py's, the benchmark's own; after a change to the reader, the list is
rewritten by the command in its header.
"""

import pathlib
import sys

import pytest

pytest.importorskip("cv2")

from zerbano.mrz import read  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
REAL = ROOT.parent / "shared" / "mrz-real"
EXACT_LIST = pathlib.Path(__file__).resolve().parent / "data" / "mrz-real-exact.txt"


@pytest.fixture(scope="module")
def scoring():
    if not (ROOT / "bench" / "mrz_scoring.py").is_file():
        pytest.skip("not run from a checkout: no bench/ beside the tests")
    if not (REAL / "truth.jsonl").is_file():
        pytest.skip(f"no real-document folder at {REAL}")
    sys.path.insert(0, str(ROOT / "bench"))
    try:
        import mrz_scoring
    finally:
        sys.path.remove(str(ROOT / "bench"))
    return mrz_scoring


@pytest.fixture(scope="module")
def outcomes(scoring):
    """{file: Outcome} of zerbano.mrz.read over every page of the folder."""
    judged = {}
    for truth in scoring.load_truth(REAL):
        try:
            result = scoring.Result.of_zone(read(truth["path"]))
        except Exception as error:  # reported by its own test, page by page
            result = scoring.Result([], error=f"{type(error).__name__}: {error}")
        judged[truth["file"]] = scoring.Outcome(truth, result, 0.0)
    return judged


def _described(outcome):
    return (f"  {outcome.truth['file']}: {outcome.label()}"
            + (f" ({outcome.error})" if outcome.error else "")
            + f"\n    read:    {' / '.join(outcome.lines) or '(nothing)'}"
            + f"\n    printed: {' / '.join(outcome.truth['lines']) or '(no zone)'}")


def _false_accepts(outcomes, listed):
    return "called valid but not read exactly as printed (or printed with a wrong check digit)", [
        _described(o) for o in outcomes.values() if o.false_accept]


def _invented(outcomes, listed):
    return "a zone returned on a page without one", [
        _described(o) for o in outcomes.values() if o.invented]


def _lost(outcomes, listed):
    failures = []
    for name in listed:
        outcome = outcomes.get(name)
        if outcome is None:
            failures.append(f"  {name}: listed, but not in {REAL / 'truth.jsonl'}")
        elif not (outcome.exact and not outcome.false_accept):
            failures.append(_described(outcome))
    return f"once read exactly ({EXACT_LIST.name}), no longer", failures


def _errors(outcomes, listed):
    return "the reader raised an error", [_described(o) for o in outcomes.values() if o.error]


@pytest.mark.parametrize("rule", [_false_accepts, _invented, _lost, _errors],
                         ids=["no-false-accept", "no-invented-zone", "no-zone-lost",
                              "no-error"])
def test_real_documents(scoring, outcomes, rule):
    listed = scoring.read_exact_list(EXACT_LIST)
    what, failures = rule(outcomes, listed)
    assert not failures, (f"{what}: {len(failures)} of {len(outcomes)} pages\n"
                          + "\n".join(failures))


def test_the_exact_list_names_scored_zones_once_each(scoring):
    listed = scoring.read_exact_list(EXACT_LIST)
    truths = {truth["file"]: truth for truth in scoring.load_truth(REAL)}
    assert listed == sorted(set(listed)), "the list is written sorted, each name once"
    unscored = [name for name in listed if name in truths and not truths[name]["scored"]]
    assert not unscored, f"listed but not scored: {unscored}"
