"""Fuzz target: the module globals and their lookup caches.

Each input is a sequence of changes to the module's namespace, to `builtins` and to the objects
bound there (exact modules, whose attributes the module caches; modules with a `__getattr__`;
plain namespaces), made alike to the plain-Python twin's namespace, with calls of
preprocess_image in between. Whatever the caches kept, every call must give what the twin's
fresh lookups give. At the end everything is put back.
"""

import base64
import builtins
import os
import types

import cv2
import numpy as np

import fuzzlib
import zerbano.image
from plain_twin import make_twin

NAMES = ["cv2", "np", "base64", "os"]
REAL = {"cv2": cv2, "np": np, "base64": base64, "os": os}
USED = {
    "cv2": ["imread", "imdecode", "IMREAD_COLOR", "cvtColor", "COLOR_BGR2GRAY", "resize",
            "INTER_CUBIC", "morphologyEx", "MORPH_OPEN"],
    "np": ["frombuffer", "uint8", "ones"],
    "base64": ["b64decode"],
    "os": ["path"],
}

_preprocess = zerbano.image.preprocess_image
_twin = make_twin()
_NAMESPACES = (vars(zerbano.image), vars(_twin))


def _fail(*args, **kwargs):
    raise RuntimeError("replaced")


REPLACEMENTS = [lambda *args, **kwargs: None, _fail, 0, None, "text",
                types.SimpleNamespace(isfile=lambda path: True)]


def stand_ins(name):
    """Objects to bind in place of module `name`: an exact module with its used attributes,
    one that supplies them through `__getattr__`, and a plain namespace."""
    real = REAL[name]
    copy = types.ModuleType(f"copy_of_{name}")
    for attribute in USED[name]:
        setattr(copy, attribute, getattr(real, attribute))
    lazy = types.ModuleType(f"lazy_{name}")
    lazy.__getattr__ = lambda attribute: getattr(real, attribute)
    plain = types.SimpleNamespace(**{a: getattr(real, a) for a in USED[name]})
    return [real, copy, lazy, plain]


STAND_INS = {name: stand_ins(name) for name in NAMES}


def _inputs():
    pixels = np.arange(5 * 4 * 3, dtype=np.uint8).reshape(5, 4, 3)
    ok, png = cv2.imencode(".png", pixels)
    directory = fuzzlib.scratch_directory()
    path = directory / "page.png"
    path.write_bytes(png.tobytes())
    text = base64.b64encode(png.tobytes()).decode()
    return [text, "data:image/png;base64," + text, str(path), "x", b"x", "x,y,z"]


_INPUTS = None
_MISSING = object()


def compare_call(argument):
    expected, expected_error = fuzzlib.outcome(_twin.preprocess_image, argument)
    result, error = fuzzlib.outcome(_preprocess, argument)
    if expected_error is None:
        if error is not None or not np.array_equal(result, expected):
            raise AssertionError(f"{argument!r:.60}: {error!r} where the twin succeeded")
    elif fuzzlib.describe(error) != fuzzlib.describe(expected_error):
        raise AssertionError(
            f"{argument!r:.60}: {fuzzlib.describe(error)} for {fuzzlib.describe(expected_error)}")


def one_input(data):
    global _INPUTS
    if _INPUTS is None:
        _INPUTS = _inputs()
    source = fuzzlib.Input(data)
    saved_builtins = {name: getattr(builtins, name, _MISSING) for name in NAMES}
    saved_attributes = {
        id(stand_in): (stand_in, dict(vars(stand_in)))
        for name in NAMES for stand_in in STAND_INS[name][1:]
    }
    try:
        while not source.exhausted:
            operation = source.number(8)
            name = source.choice(NAMES)
            if operation == 0:
                value = source.choice(STAND_INS[name] + [None, 5])
                for namespace in _NAMESPACES:
                    namespace[name] = value
            elif operation == 1:
                for namespace in _NAMESPACES:
                    namespace.pop(name, None)
            elif operation == 2:
                value = source.choice(STAND_INS[name] + [_MISSING])
                if value is _MISSING:
                    if hasattr(builtins, name):
                        delattr(builtins, name)
                else:
                    setattr(builtins, name, value)
            elif operation == 3:
                # A new version for the namespace with the same values, or an unrelated key.
                key = source.choice([name, "unrelated"])
                for namespace in _NAMESPACES:
                    if key in namespace and source.flag():
                        namespace[key] = namespace[key]
                    elif key == "unrelated":
                        namespace.pop(key, None) if key in namespace else namespace.update(
                            {key: 1})
            elif operation == 4:
                # Change an attribute of a stand-in (never of the real module).
                stand_in = source.choice(STAND_INS[name][1:])
                attribute = source.choice(USED[name])
                value = source.choice(REPLACEMENTS + [_MISSING, getattr(REAL[name], attribute)])
                if value is _MISSING:
                    vars(stand_in).pop(attribute, None)
                else:
                    setattr(stand_in, attribute, value)
            else:
                compare_call(source.choice(_INPUTS))
        compare_call(_INPUTS[source.number(len(_INPUTS))])
    finally:
        for namespace in _NAMESPACES:
            namespace.update(REAL)
            namespace.pop("unrelated", None)
        for name, value in saved_builtins.items():
            if value is _MISSING:
                if hasattr(builtins, name):
                    delattr(builtins, name)
            else:
                setattr(builtins, name, value)
        for stand_in, attributes in saved_attributes.values():
            vars(stand_in).clear()
            vars(stand_in).update(attributes)


if __name__ == "__main__":
    fuzzlib.main(one_input, max_len=256)
