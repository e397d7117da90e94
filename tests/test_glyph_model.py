"""The OCR-B glyph model: the shipped file is the one the tool builds, and it tells glyphs apart."""

import importlib.resources
import json
import pathlib
import sys

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("cv2")

from zerbano.mrz import glyphs  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
FONT = pathlib.Path("/usr/share/fonts/opentype/ocr-b/OCRB.otf")


@pytest.fixture(scope="module")
def tool():
    pytest.importorskip("PIL")
    if not FONT.exists():
        pytest.skip("Debian's fonts-ocr-b is not installed")
    if not (ROOT / "tools" / "build_glyph_model.py").exists():
        pytest.skip("the tests run outside a checkout")
    sys.path.insert(0, str(ROOT / "tools"))
    try:
        import build_glyph_model
    finally:
        sys.path.remove(str(ROOT / "tools"))
    return build_glyph_model


def shipped(name):
    return importlib.resources.files("zerbano.mrz").joinpath(name).read_bytes()


def test_the_shipped_model_is_small_and_names_its_inputs():
    assert len(shipped(glyphs.MODEL_FILE)) <= 1024 * 1024
    record = json.loads(shipped("ocrb-glyphs.json"))
    assert record["font"] == "OCRB.otf" and len(record["font_sha256"]) == 64
    assert record["holdout_error"] < 0.02


def test_the_shipped_model_is_what_the_tool_builds(tool):
    if FONT.exists() and tool.hashlib.sha256(FONT.read_bytes()).hexdigest() != json.loads(
            shipped("ocrb-glyphs.json"))["font_sha256"]:
        pytest.skip("another release of the font")
    if tool.library_versions() != json.loads(shipped("ocrb-glyphs.json"))["libraries"]:
        pytest.skip("built with other releases of numpy, OpenCV or Pillow")
    model, record = tool.build()
    assert record == shipped("ocrb-glyphs.json")
    assert model == shipped(glyphs.MODEL_FILE)


@pytest.mark.parametrize("pitch", [10.0, 14.0, 24.0])
def test_every_symbol_reads_back_and_0_O_D_Q_stay_apart(tool, pitch):
    params = dict(tool.PARAMS, camera_pitch=[pitch, pitch], position_error=0.03,
                  baseline_error=0.02, scale_error=0.01, angle_error_deg=0.2, noise_sigma=[2, 2],
                  blur_sigma=[0.5, 0.5], motion_share=0.0, jpeg_quality=[90, 91])
    masters, baseline = tool.render_masters(FONT, params)
    rng = np.random.default_rng(7)
    labels = list(range(len(glyphs.SYMBOLS))) * 4
    strip = np.concatenate([tool.sample(rng, masters, baseline, label, params)
                            for label in labels], axis=1)
    posteriors = glyphs.classify(strip)
    read = posteriors.argmax(axis=1)
    wrong = [(glyphs.SYMBOLS[a], glyphs.SYMBOLS[b]) for a, b in zip(labels, read) if a != b]
    assert len(wrong) <= len(labels) // 100, wrong
    # OCR-B draws 0, O, D and Q apart on purpose; the model must keep them apart.
    assert not [pair for pair in wrong if set(pair) <= set("0ODQ")]
    confusable = [glyphs.SYMBOLS.index(c) for c in "0ODQ"]
    assert all(p[label] > 0.9 for label, p in zip(labels, posteriors) if label in confusable)


def test_features_ignore_light_and_contrast():
    rng = np.random.default_rng(3)
    strip = rng.integers(0, 256, (glyphs.CELL_H, 5 * glyphs.CELL_W)).astype(np.uint8)
    dimmer = (strip // 2 + 60).astype(np.uint8)
    assert np.allclose(glyphs.features(strip), glyphs.features(dimmer), atol=0.02)
    assert glyphs.classify(strip).shape == (5, len(glyphs.SYMBOLS))
    assert np.allclose(glyphs.classify(strip).sum(axis=1), 1.0, atol=1e-5)
