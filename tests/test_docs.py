"""The examples of the README and the documentation site, run, with their shown output compared.

Two kinds of fenced block are examples:

* a ```python block directly followed by a ```text block (blank lines between them only): the
  code runs, the blocks of one page in one namespace in page order, and what it prints must
  be the text block;
* a ```console block: each `$ ` line is a command (`python` is this interpreter), and what it
  writes to standard output, then standard error, must be the lines up to the next command.

Other blocks (```python without output, ```sh) are shown, not run. Expected output may hold
`...`, which stands for any text (paths of this machine), and timings (a number before
`pages/s`, `s` or `ms`) are compared as timings, whatever their value. Every example runs in a
fresh folder holding `passport.jpg` (the sample page shipped with the package) and `pages/`
(the tests' captures, a cut JPEG and a text file named .png).
"""

import doctest
import io
import os
import re
import shlex
import shutil
import subprocess
import sys
from contextlib import redirect_stdout
from importlib import resources
from pathlib import Path

import pytest

from conftest import NO_SUBPROCESS

ROOT = Path(__file__).resolve().parent.parent
CAPTURES = Path(__file__).resolve().parent / "data" / "captures"
PAGES = sorted(ROOT.glob("docs/**/*.md")) + [ROOT / "README.md"]
FENCE = re.compile(r"^```(?!`)(\w*)[^\n]*\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)
CHECKER = doctest.OutputChecker()
TIMING = re.compile(r"\b\d+(?:\.\d+)? (pages/s|s|ms)\b")


def blocks(text):
    """(language, body, the text between this block and the next) for each fenced block."""
    found = list(FENCE.finditer(text))
    return [(match[1], match[2], text[match.end():found[i + 1].start()] if i + 1 < len(found)
             else text[match.end():]) for i, match in enumerate(found)]


def python_examples(text):
    """[(code, expected output)]: python blocks directly followed by a text block."""
    found = blocks(text)
    return [(body, found[i + 1][1]) for i, (language, body, gap) in enumerate(found[:-1])
            if language == "python" and found[i + 1][0] == "text" and not gap.strip()]


def console_examples(text):
    """[(command, expected output)] of the console blocks."""
    examples = []
    for language, body, _ in blocks(text):
        if language != "console":
            continue
        for part in re.split(r"^\$ ", body, flags=re.MULTILINE)[1:]:
            command, _, output = part.partition("\n")
            examples.append((command, output))
    return examples


def page_id(path):
    return str(path.relative_to(ROOT))


def same(expected, got):
    """Whether `got` is the `expected` output; timings match any timing of the same unit."""
    expected, got = (TIMING.sub(r"<time> \1", text) for text in (expected, got))
    return CHECKER.check_output(expected, got, doctest.ELLIPSIS)


@pytest.fixture
def folder(tmp_path, monkeypatch):
    shutil.copy(resources.files("zerbano") / "data" / "sample-passport.jpg",
                tmp_path / "passport.jpg")
    pages = tmp_path / "pages"
    pages.mkdir()
    for name in ("no-zone.jpg", "quarter-turn-td1.jpg", "small-td2.jpg", "upright-td3.jpg",
                 "upside-down-td3.jpg"):
        shutil.copy(CAPTURES / name, pages / name)
    # Cut before its scan starts: cut later, some decoders (Debian's) still make a partial image.
    whole = (CAPTURES / "upright-td3.jpg").read_bytes()
    (pages / "cut.jpg").write_bytes(whole[:whole.index(b"\xff\xda")])
    (pages / "notes.png").write_text("not an image")
    monkeypatch.chdir(tmp_path)
    return tmp_path


def test_the_pages_hold_examples():
    # Guards the extraction itself: a fence written differently must not silence the tests.
    texts = [path.read_text() for path in PAGES]
    assert sum(len(python_examples(text)) for text in texts) >= 8
    assert sum(len(console_examples(text)) for text in texts) >= 3


@pytest.mark.parametrize("path", [p for p in PAGES if python_examples(p.read_text())],
                         ids=page_id)
def test_python_examples_print_what_the_page_shows(path, folder):
    namespace = {"__name__": "__docs__"}
    for number, (code, expected) in enumerate(python_examples(path.read_text()), 1):
        printed = io.StringIO()
        with redirect_stdout(printed):
            exec(compile(code, f"{page_id(path)}, example {number}", "exec"), namespace)
        assert same(expected, printed.getvalue()), (
            f"{page_id(path)}, example {number}:\n{code}\nshows:\n{expected}\n"
            f"prints:\n{printed.getvalue()}")


@pytest.mark.skipif(NO_SUBPROCESS, reason="this runner cannot start subprocesses")
@pytest.mark.parametrize("path", [p for p in PAGES if console_examples(p.read_text())],
                         ids=page_id)
def test_console_examples_print_what_the_page_shows(path, folder):
    for command, expected in console_examples(path.read_text()):
        words = shlex.split(command)
        assert words[0] in ("python", "python3"), f"{page_id(path)}: only python runs: {command}"
        done = subprocess.run([sys.executable, *words[1:]], capture_output=True, text=True,
                              timeout=120, env=dict(os.environ, COLUMNS="100"))
        got = done.stdout + done.stderr
        assert same(expected, got), (
            f"{page_id(path)}: $ {command}\nshows:\n{expected}\nprints:\n{got}")
