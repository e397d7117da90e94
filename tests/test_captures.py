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


@pytest.mark.parametrize("name", sorted(TRUTH))
def test_the_default_print_still_makes_the_fixed_captures_byte_for_byte(captures, name):
    # The nominal print draws nothing of its own: the seed's generator is consumed as before.
    seed, fixed = captures.FIXTURES[name]
    capture = captures.generate(seed, **fixed)
    assert capture.jpeg == (FIXED / name).read_bytes()
    assert json.loads(json.dumps(capture.truth)) == TRUTH[name]


SMALL = {"layout": "TD3", "frame": (640, 480), "char_height": 12.0, "rotation": 3.0}


@pytest.mark.parametrize("seed", [3, 40])
def test_varied_print_changes_only_the_print(captures, seed):
    nominal = captures.generate(seed, **SMALL)
    unvaried = captures.generate(seed, **SMALL, print="varied", stroke=0.0, jitter=0.0)
    varied = captures.generate(seed, **SMALL, print="varied")
    assert unvaried.jpeg == nominal.jpeg
    assert varied.jpeg != nominal.jpeg
    assert "print" not in nominal.truth["params"]
    params = varied.truth["params"]
    assert captures.print_of(varied.truth) == "varied" and captures.print_of(nominal.truth) == "nominal"
    assert -0.07 <= params["stroke"] <= 0.10 and 0 <= params["jitter"] <= 0.08
    # The scene is the seed's own: same lines, page and frame.
    for key in ("lines", "zone_corners", "page_corners", "frame"):
        assert varied.truth[key] == nominal.truth[key]


def test_varied_print_is_drawn_per_seed(captures):
    drawn = [captures._draw_print(seed, {"print": "varied"}) for seed in range(50)]
    strokes = [d["stroke"] for d in drawn]
    assert len(set(strokes)) == 50 and min(strokes) < 0 < max(strokes)
    assert captures._draw_print(7, {}) == {} and captures._draw_print(7, {"print": "nominal"}) == {}
    assert captures._draw_print(7, {"stroke": 0.05})["stroke"] == 0.05
    with pytest.raises(ValueError, match="print must be one of"):
        captures.generate(7, print="bold")


@pytest.mark.parametrize("stroke", [-0.07, 0.05, 0.10])
def test_stroke_weight_widens_or_thins_the_stems(captures, stroke):
    scale = 10.0  # px/mm: 0.10 mm is a pixel

    def stem_width(mask):
        # The stem of "I" at mid-height of the cap, over the margin and the first cell.
        row = mask[mask.shape[0] // 2, : round(captures.PITCH_MM * scale * 2)]
        return float(row.sum())

    nominal, _, _ = captures.draw_zone(["I" * 6], scale)
    varied, _, _ = captures.draw_zone(["I" * 6], scale, stroke=stroke)
    assert stem_width(varied) - stem_width(nominal) == pytest.approx(stroke * scale, abs=0.15)


@pytest.mark.parametrize("shift", [(0.08, 0.0), (0.0, -0.08), (-0.05, 0.05)])
def test_jitter_moves_a_character_off_its_cell(captures, shift):
    import numpy as np

    scale = 10.0
    offsets = np.zeros((2, 4, 2))
    offsets[1, 2] = shift

    def centre(mask):
        ys, xs = np.nonzero(mask > 0)
        weights = mask[ys, xs]
        return np.array([np.average(xs, weights=weights), np.average(ys, weights=weights)])

    lines = ["    ", "  H "]
    still, _, _ = captures.draw_zone(lines, scale)
    moved, _, _ = captures.draw_zone(lines, scale, offsets=offsets)
    pitch = captures.PITCH_MM * scale
    assert centre(moved) - centre(still) == pytest.approx(np.array(shift) * pitch, abs=0.1)
