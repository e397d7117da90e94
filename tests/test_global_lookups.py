"""preprocess_image finds cv2, np, base64 and os, and their attributes, anew at every call.

The lookups are cached; these tests change what a lookup would find between two calls and
check that the second call uses the new object, whatever route the change took.
"""

import base64
import builtins
import types

import cv2
import numpy as np
import pytest

import zerbano.image as zimage

NAMESPACE = zimage.preprocess_image.__globals__

# Each target is the dotted route from a module global to a function preprocess_image calls
# for the given input form.
TARGETS = [
    ("os.path.isfile", "base64"),
    ("os.path.isfile", "path"),
    ("base64.b64decode", "base64"),
    ("np.frombuffer", "base64"),
    ("np.ones", "path"),
    ("cv2.imdecode", "base64"),
    ("cv2.imread", "path"),
    ("cv2.cvtColor", "path"),
    ("cv2.resize", "base64"),
    ("cv2.morphologyEx", "path"),
]


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    page = np.arange(4 * 6 * 3, dtype=np.uint8).reshape(4, 6, 3)
    ok, encoded = cv2.imencode(".png", page)
    assert ok
    path = tmp_path_factory.mktemp("pages") / "page.png"
    path.write_bytes(encoded.tobytes())
    return {"path": str(path), "base64": base64.b64encode(encoded.tobytes()).decode("ascii")}


def clone(module):
    """A plain module with the same attributes: what the module's lookups see is unchanged."""
    copy = types.ModuleType(module.__name__)
    copy.__dict__.update(vars(module))
    return copy


def counting(function, calls, tag):
    def wrapper(*args, **kwargs):
        calls.append(tag)
        return function(*args, **kwargs)

    return wrapper


def install_clones(monkeypatch, route):
    """Binds clones along `route` ("os.path.isfile": os and os.path); returns the innermost."""
    global_name, *attributes = route.split(".")
    holder = clone(NAMESPACE[global_name])
    monkeypatch.setitem(NAMESPACE, global_name, holder)
    for name in attributes[:-1]:
        inner = clone(getattr(holder, name))
        setattr(holder, name, inner)
        holder = inner
    return holder, attributes[-1]


@pytest.mark.parametrize("route, form", TARGETS)
def test_a_rebound_global_and_a_changed_attribute_are_used_by_the_next_call(
        monkeypatch, inputs, route, form):
    image_input = inputs[form]
    expected = zimage.preprocess_image(image_input)  # fills the caches with the real modules
    real_global = NAMESPACE[route.split(".")[0]]

    calls = []
    holder, name = install_clones(monkeypatch, route)
    original = getattr(holder, name)
    setattr(holder, name, counting(original, calls, "first"))
    np.testing.assert_array_equal(zimage.preprocess_image(image_input), expected)
    assert calls == ["first"]

    # Same global object, one attribute replaced in its dictionary.
    setattr(holder, name, counting(original, calls, "second"))
    np.testing.assert_array_equal(zimage.preprocess_image(image_input), expected)
    assert calls == ["first", "second"]

    NAMESPACE[route.split(".")[0]] = real_global
    zimage.preprocess_image(image_input)
    assert calls == ["first", "second"]


@pytest.mark.parametrize("global_name", ["os", "cv2", "np"])
def test_a_name_found_in_builtins_is_looked_up_again_at_each_call(
        monkeypatch, inputs, global_name):
    # After the namespace misses, the name comes from builtins; builtins may change while the
    # namespace does not.
    real = NAMESPACE[global_name]
    monkeypatch.delitem(NAMESPACE, global_name)
    seen = []
    for tag in ("first", "second"):
        holder = clone(real)
        if global_name == "os":
            holder.path = clone(real.path)
            holder.path.isfile = counting(real.path.isfile, seen, tag)
        elif global_name == "cv2":
            holder.imread = counting(real.imread, seen, tag)
        else:
            holder.ones = counting(real.ones, seen, tag)
        monkeypatch.setattr(builtins, global_name, holder, raising=False)
        zimage.preprocess_image(inputs["path"])
    assert seen == ["first", "second"]

    monkeypatch.setitem(NAMESPACE, global_name, real)
    zimage.preprocess_image(inputs["path"])
    assert seen == ["first", "second"]


def test_an_attribute_supplied_by_a_module_getattr_is_asked_for_at_each_call(
        monkeypatch, inputs):
    asked = []

    def module_getattr(name):
        asked.append(name)
        if name == "b64decode":
            return base64.b64decode
        raise AttributeError(name)

    holder = types.ModuleType("base64")
    holder.__getattr__ = module_getattr
    monkeypatch.setitem(NAMESPACE, "base64", holder)
    for _ in range(3):
        zimage.preprocess_image(inputs["base64"])
    assert asked == ["b64decode"] * 3


def test_an_attribute_removed_after_a_call_fails_the_next_call(monkeypatch, inputs):
    holder, _ = install_clones(monkeypatch, "cv2.imread")
    zimage.preprocess_image(inputs["path"])
    del holder.imread
    with pytest.raises(AttributeError) as failure:
        zimage.preprocess_image(inputs["path"])
    last = failure.traceback[-1]
    assert (last.frame.code.name, last.lineno + 1) == ("zerbano.image.preprocess_image", 15)


@pytest.mark.parametrize("kind", ["namespace object", "module subclass"])
def test_attributes_of_objects_that_are_not_plain_modules_follow_every_change(
        monkeypatch, inputs, kind):
    seen = []
    if kind == "namespace object":
        path = types.SimpleNamespace(isfile=counting(lambda p: False, seen, "first"))
    else:
        class PathModule(types.ModuleType):
            @property
            def isfile(self):
                return counting(lambda p: False, seen, "property")

        path = PathModule("path")
    monkeypatch.setitem(NAMESPACE, "os", types.SimpleNamespace(path=path))
    zimage.preprocess_image(inputs["base64"])
    if kind == "namespace object":
        path.isfile = counting(lambda p: False, seen, "second")
        zimage.preprocess_image(inputs["base64"])
        assert seen == ["first", "second"]
    else:
        zimage.preprocess_image(inputs["base64"])
        assert seen == ["property", "property"]
