"""Which pages a batch command line names and the output names they get."""

import os

from zerbano.inputs import plan_pages


def touch(folder, *names):
    for name in names:
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(b"")


def planned(arguments, folder, **options):
    pages, _ = plan_pages([str(argument) for argument in arguments], **options)
    return [(page.label, os.path.relpath(page.stem, folder)) for page in pages]


def test_directory_pages_are_sorted_by_component_and_taken_by_extension(tmp_path):
    touch(tmp_path, "b.JPG", "a-c.png", "a/z.jpg", "notes.txt", "a/deeper/y.tif", "c.jpeg")
    root = str(tmp_path)
    assert planned([tmp_path], tmp_path) == [
        (os.path.join(root, "a-c.png"), "a-c"),
        (os.path.join(root, "b.JPG"), "b"),
        (os.path.join(root, "c.jpeg"), "c"),
    ]
    assert [label for label, _ in planned([tmp_path], tmp_path, recursive=True)] == [
        os.path.join(root, *parts) for parts in
        (("a", "deeper", "y.tif"), ("a", "z.jpg"), ("a-c.png",), ("b.JPG",), ("c.jpeg",))]


def test_a_taken_name_gets_the_first_number_no_page_has(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    touch(tmp_path, "p-2.jpg", "p.jpg", "p.png")
    url = "data:image/png;base64," + "A" * 100
    pages, renamed = plan_pages([str(tmp_path), url, "-"], read_stdin=lambda: " text \n")
    assert [os.path.basename(page.stem) for page in pages] == ["p-2", "p", "p-3", "input",
                                                               "input-2"]
    assert [(page.label, os.path.basename(natural)) for page, natural in renamed] == [
        (str(tmp_path / "p.png"), "p"), ("-", "input")]
    assert pages[3].label.endswith("... (122 characters)") and pages[4].source == "text"


def test_the_runs_own_outputs_are_no_pages_unless_named(tmp_path):
    touch(tmp_path, "p.jpg", "p.png", "p-preprocessed.png", "p-mrz.png", "p-2-mrz.png")
    assert planned([tmp_path], tmp_path) == [
        (str(tmp_path / "p.jpg"), "p"), (str(tmp_path / "p.png"), "p-2")]
    named = tmp_path / "p-mrz.png"
    assert planned([tmp_path, named], tmp_path)[-1] == (str(named), "p-mrz")
