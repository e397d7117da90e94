"""preprocess_image's loading: the file route, the guarded decode route and its ValueError."""

import base64
import builtins
import os
import sys

import cv2
import numpy as np
import pytest

import zerbano.image as zi

from helpers import module_entries, raises_at

ENTRY = "zerbano.image.preprocess_image"
BUILTIN_VALUE_ERROR = ValueError
MESSAGE = "Could not read image from input. Ensure it is a valid file path or base64 string."


def plain_preprocess(img):
    gray = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
    gray = cv2.resize(gray, None, fx=2, fy=2, interpolation=cv2.INTER_CUBIC)
    return cv2.morphologyEx(gray, cv2.MORPH_OPEN, np.ones((2, 2), np.uint8))


@pytest.fixture(scope="module")
def page():
    rng = np.random.default_rng(7)
    image = rng.integers(0, 256, (40, 56, 3), np.uint8)
    cv2.putText(image, "P<UTO", (2, 30), cv2.FONT_HERSHEY_SIMPLEX, 0.8, (255, 255, 255), 2)
    return image


@pytest.fixture(scope="module")
def encoded(page):
    return {ext: cv2.imencode(ext, page)[1].tobytes() for ext in (".png", ".jpg")}


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def rebind(monkeypatch, name, value):
    """Binds a module global for one test; the fixture restores the original."""
    monkeypatch.setitem(vars(zi), name, value)


class Proxy:
    """A stand-in for a module global: records attribute reads, overrides some of them."""

    def __init__(self, wrapped, log, **overrides):
        self._wrapped, self._log, self._overrides = wrapped, log, overrides

    def __getattr__(self, name):
        self._log.append(name)
        if name in self._overrides:
            return self._overrides[name]
        return getattr(self._wrapped, name)


def raise_(error):
    def failing(*args, **kwargs):
        raise error

    return failing


def not_loaded(*args, context=None):
    error = raises_at(ValueError, MESSAGE, (ENTRY, 30), zi.preprocess_image, *args)
    assert error.__context__ is context and error.__cause__ is None
    return error


@pytest.mark.parametrize("ext", [".png", ".jpg"])
@pytest.mark.parametrize("form", ["file", "base64", "data-url", "relative-file"])
def test_result_matches_the_plain_sequence(ext, form, encoded, in_tmp):
    data = encoded[ext]
    (in_tmp / f"page{ext}").write_bytes(data)
    text = base64.b64encode(data).decode()
    argument = {
        "file": str(in_tmp / f"page{ext}"),
        "relative-file": f"page{ext}",
        "base64": text,
        "data-url": f"data:image/{ext[1:]};base64,{text}",
    }[form]
    expected = plain_preprocess(cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_COLOR))
    result = zi.preprocess_image(argument)
    assert result.dtype == np.uint8 and result.shape == (80, 112)
    assert np.array_equal(result, expected)


def test_existing_file_is_never_decoded(encoded, in_tmp):
    # Valid base64 of a PNG, also the name of a file that is no image: the file decides.
    name = base64.b64encode(encoded[".png"]).decode()[:200].replace("/", "_")
    (in_tmp / name).write_text("not an image")
    (in_tmp / "a,b").write_text("")
    not_loaded(name)
    not_loaded("a,b")


@pytest.mark.parametrize("content", [b"", b"plain text\n", b"\x89PNG\r\n\x1a\n broken"])
def test_regular_file_that_is_no_image(content, in_tmp):
    (in_tmp / "file.png").write_bytes(content)
    not_loaded(str(in_tmp / "file.png"))


def test_directory_and_missing_file_take_the_decode_route(in_tmp):
    not_loaded(str(in_tmp))
    not_loaded(str(in_tmp / "missing.png"))


@pytest.mark.parametrize(
    "build",
    [
        lambda b: "any header; no comma" + "," + b,
        lambda b: "," + b,
        lambda b: "x," + b + ",ignored,too",
        lambda b: b + "\n",
    ],
    ids=["header", "empty-header", "extra-fields", "newline"],
)
def test_header_and_fields(build, encoded, page, in_tmp):
    text = base64.b64encode(encoded[".png"]).decode()
    assert np.array_equal(zi.preprocess_image(build(text)), plain_preprocess(page))


@pytest.mark.parametrize(
    "text",
    ["", "header,", "abc", "data:image/png;base64,abc", "data:,ïñvalid", "Zm9v",
     "data:x," + base64.b64encode(b"no image here").decode(), "\0", "a" * 10000],
)
def test_text_that_loads_nothing(text, in_tmp):
    not_loaded(text)


@pytest.mark.parametrize("value", [b"aGVsbG8=", b"", 99999, None, 3.5j])
def test_non_text_inputs_end_in_the_module_error(value, in_tmp):
    # 99999 is no open descriptor: the file test answers False; the comma test then fails.
    # None and complex are refused by the file test itself.
    if value is None or isinstance(value, complex):
        with pytest.raises(TypeError) as info:
            zi.preprocess_image(value)
        assert module_entries(info.value) == [(ENTRY, 14)]
    else:
        not_loaded(value)


def test_bytes_naming_a_file_go_to_imread_unchanged(monkeypatch, encoded, in_tmp, page):
    (in_tmp / "page.png").write_bytes(encoded[".png"])
    seen = []

    def imread(name):
        seen.append(name)
        return cv2.imread(os.fsdecode(name))

    rebind(monkeypatch, "cv2", Proxy(cv2, [], imread=imread))
    name = os.fsencode(in_tmp / "page.png")
    assert np.array_equal(zi.preprocess_image(name), plain_preprocess(page))
    assert seen == [name] and type(seen[0]) is bytes


def test_file_test_errors_propagate(in_tmp):
    raises_at(TypeError, None, (ENTRY, 14), zi.preprocess_image, object())


def test_file_name_that_is_not_utf8_fails_the_read_instead_of_crashing(in_tmp):
    name = os.fsdecode(b"\xff-page.png")  # lone surrogate, as os.listdir gives it
    (in_tmp / name).write_bytes(b"x")
    raises_at(UnicodeEncodeError, None, (ENTRY, 15), zi.preprocess_image, name)


def test_file_read_errors_propagate(monkeypatch, encoded, in_tmp):
    (in_tmp / "page.png").write_bytes(encoded[".png"])
    rebind(monkeypatch, "cv2", Proxy(cv2, [], imread=raise_(OSError("disk"))))
    raises_at(OSError, "disk", (ENTRY, 15), zi.preprocess_image, "page.png")


def test_order_of_lookups_and_calls_on_the_decode_route(monkeypatch, encoded, in_tmp):
    log = []
    rebind(monkeypatch, "os", Proxy(os, log))
    rebind(monkeypatch, "base64", Proxy(base64, log))
    rebind(monkeypatch, "np", Proxy(np, log))
    rebind(monkeypatch, "cv2", Proxy(cv2, log))
    zi.preprocess_image("h," + base64.b64encode(encoded[".png"]).decode())
    assert log == ["path", "b64decode", "frombuffer", "uint8", "imdecode", "IMREAD_COLOR",
                   "cvtColor", "COLOR_BGR2GRAY", "resize", "INTER_CUBIC", "ones", "uint8",
                   "morphologyEx", "MORPH_OPEN"]


def test_decoded_bytes_are_wrapped_without_copy(monkeypatch, encoded, in_tmp):
    seen = []

    def imdecode(data, flag):
        seen.append((data, flag))
        return cv2.imdecode(data, flag)

    rebind(monkeypatch, "cv2", Proxy(cv2, [], imdecode=imdecode))
    zi.preprocess_image(base64.b64encode(encoded[".png"]).decode())
    data, flag = seen[0]
    assert flag == cv2.IMREAD_COLOR and data.dtype == np.uint8 and data.ndim == 1
    assert type(data.base) is bytes and bytes(data.base) == encoded[".png"]


class Text(str):
    """A text whose comma test or split can be made to fail."""

    contains = split_error = None

    def __contains__(self, item):
        if self.contains:
            raise self.contains
        return super().__contains__(item)

    def split(self, *args):
        if self.split_error:
            raise self.split_error
        return super().split(*args)


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, GeneratorExit])
@pytest.mark.parametrize("line", [20, 21, 23, 24, 25])
def test_base_exceptions_pass_the_guard_with_their_line(error, line, monkeypatch, encoded,
                                                        in_tmp):
    text = Text("h," + base64.b64encode(encoded[".png"]).decode())
    if line == 20:
        text.contains = error("stop")
    elif line == 21:
        text.split_error = error("stop")
    elif line == 23:
        rebind(monkeypatch, "base64", Proxy(base64, [], b64decode=raise_(error("stop"))))
    elif line == 24:
        rebind(monkeypatch, "np", Proxy(np, [], frombuffer=raise_(error("stop"))))
    else:
        rebind(monkeypatch, "cv2", Proxy(cv2, [], imdecode=raise_(error("stop"))))
    raises_at(error, "stop", (ENTRY, line), zi.preprocess_image, text)


@pytest.mark.parametrize("error", [MemoryError, AttributeError, ZeroDivisionError, cv2.error])
def test_exceptions_are_swallowed_without_trace(error, monkeypatch, in_tmp):
    rebind(monkeypatch, "base64", Proxy(base64, [], b64decode=raise_(error("hidden"))))
    not_loaded("Zm9v")


@pytest.mark.parametrize("name", ["base64", "np", "cv2"])
def test_missing_globals_on_the_decode_route_end_in_the_module_error(name, monkeypatch,
                                                                      encoded, in_tmp):
    monkeypatch.delitem(vars(zi), name)
    not_loaded(base64.b64encode(encoded[".png"]).decode())


def test_missing_cv2_on_the_file_route_and_its_return(monkeypatch, encoded, in_tmp, page):
    (in_tmp / "page.png").write_bytes(encoded[".png"])
    monkeypatch.delitem(vars(zi), "cv2")
    raises_at(NameError, "name 'cv2' is not defined", (ENTRY, 15), zi.preprocess_image,
              "page.png")
    monkeypatch.setattr(builtins, "cv2", cv2, raising=False)  # found through builtins
    assert np.array_equal(zi.preprocess_image("page.png"), plain_preprocess(page))
    monkeypatch.delattr(builtins, "cv2")
    vars(zi)["cv2"] = cv2
    assert np.array_equal(zi.preprocess_image("page.png"), plain_preprocess(page))


def test_missing_os_fails_the_file_test(monkeypatch, in_tmp):
    monkeypatch.delitem(vars(zi), "os")
    raises_at(NameError, "name 'os' is not defined", (ENTRY, 14), zi.preprocess_image, "x")


def test_rebound_exception_names_change_nothing(monkeypatch, in_tmp):
    class Other(Exception):
        pass

    rebind(monkeypatch, "ValueError", Other)
    rebind(monkeypatch, "Exception", Other)
    monkeypatch.setattr(builtins, "ValueError", Other)
    try:
        zi.preprocess_image("nothing")
    except BaseException as error:
        raised = error
    monkeypatch.undo()
    assert type(raised) is BUILTIN_VALUE_ERROR and str(raised) == MESSAGE


def test_context_is_the_callers_handled_exception(in_tmp):
    assert sys.exc_info() == (None, None, None)
    not_loaded("nothing", context=None)
    assert sys.exc_info() == (None, None, None)
    try:
        raise KeyError("outer")
    except KeyError as outer:
        before = sys.exc_info()
        not_loaded("nothing", context=outer)
        assert sys.exc_info() == before


def test_handled_exception_is_untouched_inside_a_generator(in_tmp):
    def generator():
        yield sys.exc_info()[1]
        try:
            zi.preprocess_image("nothing")
        except ValueError as error:
            yield error.__context__
        yield sys.exc_info()[1]

    try:
        raise KeyError("outer")
    except KeyError as outer:
        assert list(generator()) == [outer, outer, outer]
    assert sys.exc_info() == (None, None, None)
