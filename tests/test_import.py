"""Import-time behaviour. Each case runs in a fresh interpreter: the module keeps process-wide
state that a test in this process could not undo."""

import os
import re
import sys

import pytest

from conftest import run_python

REINIT = "Module 'image' has already been imported. Re-initialisation is not supported."
INTERPRETER_CHANGE = (
    "Interpreter change detected - this module can only be loaded into one interpreter per process."
)


def test_namespace_after_import():
    run_python(
        """
        import builtins, base64, os
        import cv2, numpy
        import zerbano.image as m
        ns = vars(m)
        assert ns["__builtins__"] is builtins
        assert ns["cv2"] is cv2 and ns["np"] is numpy
        assert ns["base64"] is base64 and ns["os"] is os
        assert ns["__test__"] == {} and type(ns["__test__"]) is dict
        assert m.__doc__ is None and m.__name__ == "zerbano.image"
        assert m.__package__ == "zerbano" and m.__file__.endswith(".so")
        assert not hasattr(m, "__path__")
        assert list(ns)[-2:] == ["crop_mrz_region", "__test__"]
        """
    )


def test_package_import_does_not_load_the_extension():
    run_python(
        """
        import sys
        import zerbano
        assert "zerbano.image" not in sys.modules
        assert "cv2" not in sys.modules and "numpy" not in sys.modules
        """
    )


def test_repeated_import_returns_the_same_module_and_keeps_rebindings():
    run_python(
        """
        import sys
        import zerbano.image as first
        marker = object()
        first.np = marker
        del sys.modules["zerbano.image"]
        import zerbano.image as second
        assert second is first
        assert second.np is marker
        """
    )


def test_exec_on_another_module_object_is_refused():
    run_python(
        """
        import importlib.util
        spec = importlib.util.find_spec("zerbano.image")
        first = spec.loader.create_module(spec)
        other = spec.loader.create_module(spec)
        assert first is not other
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(other)
        except RuntimeError as error:
            assert str(error) == %r, error
            assert error.__traceback__ is None or all(
                tb.tb_frame.f_code.co_filename != "src/zerbano/image"
                for tb in [error.__traceback__])
        else:
            raise AssertionError("no RuntimeError")
        """
        % REINIT
    )


# The interpreter's subinterpreter module changed in 3.13: renamed, and a failure comes back
# as a result instead of an exception. Both report (exception type name, message).
IMPORT_IN_NEW_INTERPRETER = """
import os
import re
import sys
if sys.version_info >= (3, 13):
    import _interpreters

    def import_in_new_interpreter(config="legacy"):
        # "legacy": the import machinery admits any extension module there, so what refuses
        # is the module's own check.
        failure = _interpreters.run_string(_interpreters.create(config), "import zerbano.image")
        return failure and (failure.type.__name__, failure.msg)
else:
    import _xxsubinterpreters as interpreters

    def import_in_new_interpreter():
        try:
            interpreters.run_string(interpreters.create(), "import zerbano.image")
        except interpreters.RunFailedError as error:
            kind, message = str(error).split(": ", 1)
            return kind.removeprefix("<class '").removesuffix("'>"), message
        return None
"""


@pytest.mark.parametrize("fail_first", [False, True], ids=["after-success", "after-failure"])
def test_second_interpreter_is_refused(fail_first):
    run_python(
        IMPORT_IN_NEW_INTERPRETER + f"""
if {fail_first}:
    class NoCv2:
        def find_spec(self, name, path=None, target=None):
            if name == "cv2":
                raise ImportError("blocked")
    sys.meta_path.insert(0, NoCv2())
    try:
        import zerbano.image
    except ImportError:
        pass
    else:
        raise AssertionError("first import should fail")
else:
    import zerbano.image
failure = import_in_new_interpreter()
assert failure == ("ImportError", "{INTERPRETER_CHANGE}"), failure
"""
    )


@pytest.mark.skipif(sys.version_info < (3, 13), reason="isolated interpreters from Python 3.13")
def test_isolated_interpreter_is_refused_by_the_import_machinery():
    # An interpreter with its own lock admits only modules that declare support for it.
    run_python(
        IMPORT_IN_NEW_INTERPRETER + """
failure = import_in_new_interpreter("isolated")
assert failure == (
    "ImportError", "module zerbano.image does not support loading in subinterpreters"), failure
"""
    )


def test_failed_numpy_import_carries_init_entry_and_the_next_attempt_starts_over():
    run_python(
        """
        import sys, traceback, types
        cv2 = types.ModuleType("cv2")
        sys.modules["cv2"] = cv2

        class NoNumpy:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy":
                    raise ModuleNotFoundError("No module named 'numpy'", name="numpy")
                return None

        sys.meta_path.insert(0, NoNumpy())
        try:
            import zerbano.image
        except ModuleNotFoundError as error:
            entries = [(e.filename, e.name, e.lineno)
                       for e in traceback.extract_tb(error.__traceback__)
                       if e.filename == "src/zerbano/image"]
            assert entries == [("src/zerbano/image", "init zerbano.image", 2)], entries
            assert str(error) == "No module named 'numpy'"
        else:
            raise AssertionError("import should fail")
        assert "zerbano.image" not in sys.modules

        sys.meta_path.pop(0)
        import zerbano.image as m
        assert m.cv2 is cv2
        import numpy
        assert m.np is numpy
        """
    )


def test_failed_base64_import_is_reported_at_line_3():
    run_python(
        """
        import sys, traceback

        class NoBase64:
            def find_spec(self, name, path=None, target=None):
                if name == "base64":
                    raise ImportError("blocked")

        import cv2, numpy  # some numpy versions import base64 themselves
        sys.modules.pop("base64", None)
        sys.meta_path.insert(0, NoBase64())
        try:
            import zerbano.image
        except ImportError as error:
            entries = [(e.filename, e.name, e.lineno)
                       for e in traceback.extract_tb(error.__traceback__)
                       if e.filename == "src/zerbano/image"]
            assert entries == [("src/zerbano/image", "init zerbano.image", 3)], entries
        else:
            raise AssertionError("import should fail")
        """
    )


def test_preplaced_cv2_is_bound_without_the_import_machinery():
    run_python(
        """
        import sys
        marker = object()
        sys.modules["cv2"] = marker
        asked = []

        class Recorder:
            def find_spec(self, name, path=None, target=None):
                asked.append(name)

        sys.meta_path.insert(0, Recorder())
        import zerbano.image as m
        assert m.cv2 is marker
        assert "cv2" not in asked, asked
        """
    )


@pytest.mark.parametrize("taken", [False, True], ids=["name-free", "name-taken"])
def test_loading_under_another_name(taken):
    run_python(
        f"""
        import importlib.util, sys
        origin = importlib.util.find_spec("zerbano.image").origin
        placeholder = object()
        if {taken}:
            sys.modules["zerbano.image"] = placeholder
        spec = importlib.util.spec_from_file_location("alias.image", origin)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        assert module.__name__ == "alias.image" and module.__package__ == "alias"
        assert module.__file__ == origin
        expected = placeholder if {taken} else module
        assert sys.modules["zerbano.image"] is expected
        """
    )


def test_create_phase_copies_spec_attributes():
    # The create phase driven directly with hand-made specs, before any module is held.
    run_python(
        """
        import ctypes, importlib.util, types
        origin = importlib.util.find_spec("zerbano.image").origin
        library = ctypes.PyDLL(origin)
        library.PyInit_image.restype = ctypes.c_void_p
        definition = library.PyInit_image()
        create = ctypes.pythonapi.PyModule_FromDefAndSpec2
        create.restype = ctypes.py_object
        create.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]

        loader = object()
        full = types.SimpleNamespace(name="a.image", loader=loader, origin="/x.so",
                                     parent="a", submodule_search_locations=["/p"])
        m = create(definition, full, 1013)
        assert m.__name__ == "a.image" and m.__loader__ is loader
        assert m.__file__ == "/x.so" and m.__package__ == "a" and m.__path__ == ["/p"]

        nones = types.SimpleNamespace(name="b.image", loader=None, origin=None, parent=None,
                                      submodule_search_locations=None)
        m = create(definition, nones, 1013)
        assert m.__loader__ is None and m.__file__ is None and m.__package__ is None
        assert not hasattr(m, "__path__")

        bare = types.SimpleNamespace(name="c.image")
        m = create(definition, bare, 1013)
        assert m.__package__ is None and m.__loader__ is None
        assert "__file__" not in vars(m) and not hasattr(m, "__path__")

        class Broken:
            name = "d.image"
            @property
            def loader(self):
                raise KeyError("loader")
        try:
            create(definition, Broken(), 1013)
        except KeyError:
            pass
        else:
            raise AssertionError("a spec error other than AttributeError must propagate")
        """
    )


def test_no_version_warning_on_this_interpreter():
    run_python(
        """
        import warnings
        warnings.simplefilter("error")
        import zerbano.image
        """
    )


FOREIGN_BUILD = os.environ.get("ZERBANO_FOREIGN_BUILD")


@pytest.mark.skipif(not FOREIGN_BUILD, reason="needs ZERBANO_FOREIGN_BUILD: the module built for "
                    "another Python version whose C API this one still has (.ci/run sets it)")
def test_a_build_for_another_version_warns_with_the_build_version():
    built = re.search(r"\.cpython-3(\d+)d?-", FOREIGN_BUILD).group(1)
    running = f"{sys.version_info[0]}.{sys.version_info[1]}"
    run_python(
        f"""
        import importlib.machinery, importlib.util, warnings
        path = {FOREIGN_BUILD!r}
        loader = importlib.machinery.ExtensionFileLoader("zerbano.image", path)
        spec = importlib.util.spec_from_file_location("zerbano.image", path, loader=loader)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            try:
                loader.exec_module(importlib.util.module_from_spec(spec))
            except RuntimeWarning as warning:
                assert str(warning) == ("compile time Python version 3.{built} of module "
                                        "'zerbano.image' does not match runtime version "
                                        "{running}"), str(warning)
            else:
                raise AssertionError("no warning")
        """
    )
