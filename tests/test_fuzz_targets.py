"""The fuzz targets without the fuzzer: their seeds, and every input a finding was minimised
to, run through each target's checks under the ordinary build (tools/fuzz.sh fuzzes them)."""

import importlib.util
from pathlib import Path

import pytest

FUZZ = Path(__file__).parent / "fuzz"
TARGETS = sorted(path.stem.removeprefix("fuzz_") for path in FUZZ.glob("fuzz_*.py"))


def load(target):
    """A fresh copy of the target module (each keeps its own twin and scratch directory)."""
    spec = importlib.util.spec_from_file_location(f"fuzz_{target}", FUZZ / f"fuzz_{target}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def inputs(target, kind):
    directory = FUZZ / kind / target
    return sorted(directory.iterdir()) if directory.is_dir() else []


# Both sides of the comparisons hand arrays and buffers to os.path.isfile.
@pytest.mark.filterwarnings("ignore:stat. path should be:DeprecationWarning")
@pytest.mark.parametrize("target", TARGETS)
def test_seeds_and_findings_pass_the_target(target, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # a target may make a scratch directory its working directory
    monkeypatch.syspath_prepend(str(FUZZ))  # as when run as a script: fuzzlib beside it
    module = load(target)
    if getattr(module, "SKIP", None):
        pytest.skip(module.SKIP)
    seeds, findings = inputs(target, "corpus"), inputs(target, "regressions")
    assert seeds, f"no seed corpus for {target}"
    for path in seeds + findings:
        module.one_input(path.read_bytes())
