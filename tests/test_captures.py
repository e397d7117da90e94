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
    assert captures.print_of(varied.truth) == "varied"
    assert captures.print_of(nominal.truth) == "nominal"
    assert -0.07 <= params["stroke"] <= 0.10 and 0 <= params["jitter"] <= 0.08
    # The scene is the seed's own: same lines, page and frame.
    for key in ("lines", "zone_corners", "page_corners", "frame"):
        assert varied.truth[key] == nominal.truth[key]
    with pytest.raises(ValueError, match="print must be one of"):
        captures.generate(seed, print="bold")


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


# --- Recaptures of given pages -----------------------------------------------------------


@pytest.fixture(scope="module")
def page(captures):
    """A TD3 page at 6 px/mm with its record: (BGR page, record, zone box in page px)."""
    import numpy as np

    rng = np.random.default_rng(5)
    lines, _ = captures.zone_lines("TD3", rng)
    scale = 6.0
    picture, box = captures.draw_page("TD3", lines, scale, rng)
    height = scale * captures.PITCH_MM * captures.ocrb_cap_per_pitch()
    record = {"file": "page.png", "layout": "TD3", "mrz": lines, "valid": True, "scored": True,
              "char_height_px": round(height, 2), "rotation": "0", "kind": "test page"}
    return picture, record, box


@pytest.mark.parametrize("seed", [0, 1, 2, 3])
def test_a_recapture_records_where_its_capitals_and_rotation_went(captures, page, seed):
    import numpy as np

    picture, record, (zx, zy, zw, zh) = page
    capture = captures.recapture(picture, record, seed)
    truth = capture.truth
    assert truth["file"] == f"page-s{seed}.jpg" and truth["mrz"] == record["mrz"]
    assert "page.png" in truth["source"] and f"seed {seed}" in truth["source"]
    done = truth["recapture"]
    assert capture.image.shape[1::-1] == tuple(done["params"]["frame"])
    low, high = captures.recapture_reach(record, picture.shape)
    assert (low, high) == (10.0, record["char_height_px"] * captures.MAX_ENLARGE)
    assert low <= done["params"]["char_height"] <= high
    assert done["enlarged"] == (done["params"]["scale"] > 1)
    turned = done["params"]["rotation"]
    assert truth["rotation"] == str(round(-turned) % 360)
    # The capitals' height where the zone really landed, from the page's corners.
    h, w = picture.shape[:2]
    homography = cv2.getPerspectiveTransform(
        np.float32([[0, 0], [w, 0], [w, h], [0, h]]), np.float32(done["page_corners"]))
    zone = np.float64([[zx, zy], [zx + zw, zy], [zx + zw, zy + zh], [zx, zy + zh]])
    tl, tr, br, bl = cv2.perspectiveTransform(zone.reshape(-1, 1, 2), homography).reshape(-1, 2)
    landed = record["char_height_px"] * (np.linalg.norm(bl - tl) + np.linalg.norm(br - tr)) / 2 / zh
    assert truth["char_height_px"] == pytest.approx(landed, rel=0.04)


@pytest.mark.parametrize("height, side, reach", [
    (8, 500, (10.0, 10.0)),  # reaches the bottom by enlarging a quarter
    (6, 500, (7.5, 7.5)),  # cannot: stays as small as a quarter more makes it
    (36, 500, (10.0, 45.0)),
    (100, 500, (10.0, 60.0)),
    (None, 1000, (480.0, 1250.0)),  # no zone: the page's longer side instead
    (None, 300, (375.0, 375.0)),
])
def test_recaptures_never_enlarge_a_page_more_than_a_little(captures, height, side, reach):
    record = {"char_height_px": height}
    assert captures.recapture_reach(record, (side // 2, side, 3)) == reach


def test_a_recapture_keeps_the_page_in_view_and_shows_the_table_through_it(captures, page):
    import numpy as np

    picture, record, _ = page
    fixed = {"char_height": 40.0, "rotation": 30.0, "perspective": 0.03, "frame": (640, 480)}
    capture = captures.recapture(picture, record, 9, **fixed)
    # Too large for the frame asked for: shrunk until it fits, and the record says so.
    corners = np.array(capture.truth["recapture"]["page_corners"])
    assert corners.min() >= 0 and (corners.max(axis=0) <= (640, 480)).all()
    assert capture.truth["char_height_px"] < 40.0 * 0.8
    assert json.loads(json.dumps(capture.truth))["recapture"]["enlarged"] is False
    # A transparent page is the table: the same scene as without the page.
    clear = np.zeros(picture.shape[:2] + (4,), np.uint8)
    clear[..., :3] = 255
    fills = {"page_side": 600.0, "rotation": 0.0, "frame": (640, 480), "light": 0.0}
    seen = captures.recapture(clear, {**record, "char_height_px": None}, 9, **fills)
    assert float(np.mean(seen.image > 240)) < 0.1
    opaque = captures.recapture(clear[..., :3].copy(), {**record, "char_height_px": None}, 9,
                                **fills)
    assert float(np.mean(opaque.image > 240)) > 0.5


def test_the_recapture_command_writes_a_folder_the_benchmark_reads(captures, page, tmp_path):
    source, out = tmp_path / "real", tmp_path / "again"
    (source / "images").mkdir(parents=True)
    picture, record, _ = page
    cv2.imwrite(str(source / "images" / "page.png"), picture)
    cv2.imwrite(str(source / "images" / "blank.jpg"), picture[:100, :200])
    blank = {"file": "blank.jpg", "layout": None, "mrz": None, "valid": False, "scored": False,
             "char_height_px": None, "rotation": "0"}
    (source / "truth.jsonl").write_text(json.dumps(record) + "\n" + json.dumps(blank) + "\n")
    assert captures.main(["--recapture", str(source), "--per-image", "2", "--out", str(out),
                          "--seed", "10"]) == 0
    records = [json.loads(line) for line in (out / "truth.jsonl").read_text().splitlines()]
    assert [r["file"] for r in records] == ["page-s10.jpg", "page-s11.jpg",
                                            "blank-s12.jpg", "blank-s13.jpg"]
    assert sorted(p.name for p in (out / "images").iterdir()) == sorted(r["file"] for r in records)
    assert [r["layout"] for r in records] == ["TD3", "TD3", None, None]
    assert records[2]["char_height_px"] is None and records[0]["char_height_px"] >= 10
    again = captures.recapture(picture, record, 11)
    assert (out / "images" / "page-s11.jpg").read_bytes() == again.jpeg


@pytest.mark.parametrize("inside", ["project", "source"])
def test_the_recapture_command_writes_nowhere_near_the_project_or_its_source(
        captures, tmp_path, inside):
    source = tmp_path / "real"
    (source / "images").mkdir(parents=True)
    (source / "truth.jsonl").write_text("")
    out = ROOT / "recaptures" if inside == "project" else source / "out"
    with pytest.raises(SystemExit):
        captures.main(["--recapture", str(source), "--out", str(out)])
    assert not out.exists()


def test_pages_load_with_their_transparency(captures, tmp_path):
    import numpy as np

    picture = np.full((20, 30, 4), 200, np.uint8)
    picture[..., 3] = 0
    cv2.imwrite(str(tmp_path / "clear.png"), picture)
    cv2.imwrite(str(tmp_path / "plain.jpg"), picture[..., :3])
    assert captures.load_page(str(tmp_path / "clear.png")).shape == (20, 30, 4)
    assert captures.load_page(str(tmp_path / "plain.jpg")).shape == (20, 30, 3)
    assert captures.load_page(str(tmp_path / "missing.png")) is None


@pytest.mark.parametrize("rotation, turned, now", [
    ("0", 10.0, "350"), ("0", 350.0, "10"), ("90", 3.4, "87"), ("180", 270.0, "270"),
    ("other", 50.0, "other"),
])
def test_a_recapture_turns_the_zone_clockwise_as_the_record_counts(captures, rotation,
                                                                   turned, now):
    assert captures._clockwise(rotation, turned) == now
