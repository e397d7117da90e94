"""The synthetic captures: the fixed ones the reader's tests use, and the benchmark's generator."""

import json
import pathlib
import sys

import pytest

from zerbano.mrz import parse

cv2 = pytest.importorskip("cv2")

ROOT = pathlib.Path(__file__).resolve().parent.parent
FIXED = pathlib.Path(__file__).resolve().parent / "data" / "captures"
TRUTH = json.loads((FIXED / "truth.json").read_text())


@pytest.mark.parametrize("name", sorted(TRUTH))
def test_fixed_capture_matches_its_truth(name):
    truth = TRUTH[name]
    image = cv2.imread(str(FIXED / name))
    assert image is not None and [image.shape[1], image.shape[0]] == truth["frame"]
    if truth["layout"] is None:
        assert truth["lines"] == [] and truth["zone_corners"] is None
        return
    zone = parse("\n".join(truth["lines"]))
    assert (zone.format, zone.valid) == (truth["layout"], truth["valid"])
    width, height = truth["frame"]
    assert all(0 <= x < width and 0 <= y < height for x, y in truth["zone_corners"])


def test_fixed_captures_stay_small():
    assert sum(path.stat().st_size for path in FIXED.iterdir()) < 400 * 1024


@pytest.fixture(scope="module")
def captures():
    pytest.importorskip("PIL")
    sys.path.insert(0, str(ROOT / "bench"))
    try:
        import captures as module
    finally:
        sys.path.remove(str(ROOT / "bench"))
    if not pathlib.Path(module.OCRB).exists():
        pytest.skip("the OCR-B font (Debian: fonts-ocr-b) is not installed")
    return module


@pytest.mark.parametrize("layout", ["TD1", "TD2", "TD3", "MRVA", "MRVB"])
def test_generated_zones_have_right_check_digits_unless_spoiled(captures, layout):
    import numpy as np

    for seed in range(40):
        rng = np.random.default_rng(seed)
        lines, checks = captures.zone_lines(layout, rng)
        zone = parse("\n".join(lines))
        assert (zone.format, zone.valid) == (layout, True), lines
        spoiled, (row, column) = captures.spoil_check(lines, checks, rng)
        assert spoiled[row][column] != lines[row][column]
        assert not parse("\n".join(spoiled)).valid


def test_generate_is_repeatable_and_takes_overrides(captures):
    fixed = {"layout": "TD1", "rotation": 180.0, "char_height": 11.0, "frame": (640, 480),
             "valid": False, "quality": 70}
    first, second = captures.generate(7, **fixed), captures.generate(7, **fixed)
    assert first.jpeg == second.jpeg and first.truth == second.truth
    truth = first.truth
    assert (truth["layout"], truth["valid"], truth["frame"]) == ("TD1", False, [640, 480])
    assert truth["rotation_band"] == "90/180/270" and 10 < truth["char_height"] < 12
    assert truth["wrong_check"] is not None and len(truth["lines"]) == 3
    assert first.image.shape == (480, 640, 3)
    # The zone's top-left corner (as the text reads) is at the bottom right when upside down.
    (x0, y0), _, (x2, y2), _ = truth["zone_corners"]
    assert x0 > x2 and y0 > y2
    with pytest.raises(TypeError, match="unknown parameters"):
        captures.generate(7, colour="red")
