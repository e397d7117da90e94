"""The two callables as objects: attributes, code objects, signature, pickling, repr."""

import copy
import dis
import gc
import inspect
import pickle
import re
import sys
import traceback
import types
import weakref

import pytest

import zerbano.image as zi

FUNCTIONS = [zi.preprocess_image, zi.crop_mrz_region]

PREPROCESS_DOC = (
    "\n    Reads an image (path or base64) and preprocesses it for OCR.\n"
    "    Returns the preprocessed image.\n    "
)
CROP_DOC = (
    "\n    Attempts to crop the MRZ region from the passport image.\n"
    "    This is a heuristic approach and might need tuning.\n"
    "    For now, we'll return the bottom 25% of the image as a simple heuristic,\n"
    "    as MRZ is usually at the bottom.\n    "
)


def plain(image):
    pass


@pytest.mark.parametrize(
    "function, name, doc, first_line, local_names",
    [
        (zi.preprocess_image, "preprocess_image", PREPROCESS_DOC, 6,
         ("image_input", "img", "decoded_data", "np_data", "gray", "kernel")),
        (zi.crop_mrz_region, "crop_mrz_region", CROP_DOC, 51,
         ("image", "height", "width", "start_row", "cropped")),
    ],
)
def test_attributes_and_code(function, name, doc, first_line, local_names):
    assert function.__name__ == function.__qualname__ == name
    assert function.__module__ == "zerbano.image"
    assert function.__doc__ == doc and len(doc) in (106, 236)
    assert function.__globals__ is vars(zi)
    assert function.__defaults__ is None and function.__kwdefaults__ is None
    assert function.__closure__ is None
    assert function.__annotations__ == {} and function.__annotations__ is function.__annotations__
    code = function.__code__
    assert code.co_name == code.co_qualname == name
    assert code.co_filename == "src/zerbano/image" and code.co_firstlineno == first_line
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (1, 0, 0)
    assert code.co_varnames == local_names and code.co_flags == 3
    assert list(inspect.signature(function).parameters) == [local_names[0]]


def test_instance_dicts_are_separate():
    zi.crop_mrz_region.note = 1
    try:
        assert zi.crop_mrz_region.__dict__ == {"note": 1}
        assert "note" not in zi.preprocess_image.__dict__
    finally:
        del zi.crop_mrz_region.note


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
def test_pickle_and_copy_keep_identity(function):
    assert pickle.loads(pickle.dumps(function)) is function
    assert copy.deepcopy(function) is function


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
def test_repr_names_qualified_name_and_address(function):
    assert re.fullmatch(rf"<function {function.__name__} at 0x[0-9a-f]+>", repr(function))
    assert int(repr(function).rsplit(" ", 1)[1][:-1], 16) == id(function)


@pytest.mark.parametrize(
    "attribute, value",
    [
        ("__name__", 1), ("__qualname__", None), ("__code__", "code"), ("__defaults__", 1),
        ("__kwdefaults__", ()), ("__annotations__", []), ("__globals__", {}),
        ("__closure__", ()),
    ],
)
def test_setting_attributes_fails_like_an_ordinary_function(attribute, value):
    def outcome(target):
        try:
            setattr(target, attribute, value)
        except Exception as error:
            return type(error), str(error).replace("'function'", "TYPE")
        return None

    ours = outcome(zi.crop_mrz_region)
    assert ours is not None
    expected_type, _ = outcome(plain)
    assert ours[0] is expected_type
    if attribute not in ("__globals__", "__closure__"):  # those name the type
        assert ours == outcome(plain)


@pytest.mark.parametrize("attribute", ["__name__", "__qualname__", "__code__"])
def test_deleting_required_attributes_fails_like_an_ordinary_function(attribute):
    with pytest.raises(TypeError) as ours:
        delattr(zi.crop_mrz_region, attribute)
    with pytest.raises(TypeError) as theirs:
        delattr(plain, attribute)
    assert str(ours.value) == str(theirs.value)


def test_optional_attributes_reset_to_none():
    function = zi.preprocess_image
    function.__defaults__ = ("x",)
    function.__kwdefaults__ = {}
    function.__doc__ = "changed"
    try:
        assert function.__defaults__ == ("x",) and function.__kwdefaults__ == {}
    finally:
        del function.__defaults__
        function.__kwdefaults__ = None
        function.__doc__ = PREPROCESS_DOC
    assert function.__defaults__ is None and function.__kwdefaults__ is None


def test_collector_and_weak_references():
    assert all(gc.is_tracked(function) for function in FUNCTIONS)
    assert weakref.ref(zi.crop_mrz_region)() is zi.crop_mrz_region
    assert vars(zi) in gc.get_referents(zi.crop_mrz_region)


def test_binds_as_a_method_like_an_ordinary_function():
    class Holder:
        crop = zi.crop_mrz_region

    holder = Holder()
    assert Holder.crop is zi.crop_mrz_region
    assert holder.crop.__func__ is zi.crop_mrz_region and holder.crop.__self__ is holder


def test_type_cannot_be_instantiated():
    with pytest.raises(TypeError):
        type(zi.crop_mrz_region)()


# The code objects' body is `raise AssertionError` in the running version's bytecode, laid out
# from the headers the module was built with. Each test compares it with what this interpreter's
# compiler makes of a one-line def with the same name, parameter, file and first line.


def compiled_twin(function):
    code = function.__code__
    source = "\n" * (code.co_firstlineno - 1) + (
        f"def {code.co_name}({code.co_varnames[0]}): assert False\n")
    namespace = {}
    exec(compile(source, code.co_filename, "exec", optimize=0), namespace)
    return namespace[code.co_name].__code__


def same_bytecode_or_fail(ours, twin):
    # Bytecode of another version's numbers or layout must not be run: it may crash.
    if ours.co_code != twin.co_code:
        pytest.fail(f"the body {ours.co_code!r} is not the compiler's {twin.co_code!r}: not run")


def lines_per_code_unit(code):
    return [line for start, end, line in code.co_lines() for _ in range(start, end, 2)]


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
def test_code_object_body_is_what_the_compiler_makes(function):
    ours, twin = function.__code__, compiled_twin(function)
    assert ours.co_code == twin.co_code
    assert (ours.co_stacksize, ours.co_exceptiontable) == (twin.co_stacksize, twin.co_exceptiontable)
    assert lines_per_code_unit(ours) == lines_per_code_unit(twin)
    assert [position[:2] for position in ours.co_positions()] == [
        position[:2] for position in twin.co_positions()]
    assert dis.Bytecode(ours).dis() == dis.Bytecode(twin).dis()
    assert [(i.opname, i.arg, i.argval) for i in dis.get_instructions(ours)] == [
        (i.opname, i.arg, i.argval) for i in dis.get_instructions(twin)]


def raised(code):
    try:
        types.FunctionType(code, {})(None)
    except BaseException as error:
        entry = traceback.extract_tb(error.__traceback__)[-1]
        return type(error), error.args, (entry.filename, entry.lineno, entry.name)
    return None


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
def test_running_the_code_object_raises_as_a_def_does(function):
    ours, twin = function.__code__, compiled_twin(function)
    same_bytecode_or_fail(ours, twin)
    outcome = raised(ours)
    assert outcome == raised(twin)
    assert outcome == (AssertionError, (), ("src/zerbano/image", ours.co_firstlineno,
                                            function.__name__))


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
def test_tracing_the_code_object_as_a_def(function):
    ours, twin = function.__code__, compiled_twin(function)
    same_bytecode_or_fail(ours, twin)

    def trace(code):
        events = []

        def tracer(frame, event, arg):
            if frame.f_code is code:
                events.append((event, frame.f_lineno, type(arg).__name__ if arg else None))
            return tracer

        previous = sys.gettrace()
        sys.settrace(tracer)
        try:
            raised(code)
        finally:
            sys.settrace(previous)
        return events

    events = trace(ours)
    assert events == trace(twin)
    assert [event for event, _, _ in events] == ["call", "line", "exception", "return"]


@pytest.mark.skipif(not hasattr(sys, "monitoring"), reason="sys.monitoring from Python 3.12")
@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
def test_monitoring_the_code_object_as_a_def(function):
    ours, twin = function.__code__, compiled_twin(function)
    same_bytecode_or_fail(ours, twin)
    monitoring = sys.monitoring
    events = monitoring.events
    local = {"PY_START": events.PY_START, "LINE": events.LINE, "INSTRUCTION": events.INSTRUCTION}
    unwinding = {"RAISE": events.RAISE, "PY_UNWIND": events.PY_UNWIND}  # global events only
    tool = next(tool for tool in range(6) if monitoring.get_tool(tool) is None)

    def monitor(code):
        seen = []

        def recorder(name):
            def callback(event_code, *details):
                if event_code is code:
                    seen.append((name, details[0] if name != "LINE" else details[0] -
                                 code.co_firstlineno))
            return callback

        monitoring.use_tool_id(tool, "zerbano test")
        try:
            for name, event in {**local, **unwinding}.items():
                monitoring.register_callback(tool, event, recorder(name))
            monitoring.set_local_events(tool, code, sum(local.values()))
            monitoring.set_events(tool, sum(unwinding.values()))
            raised(code)
        finally:
            monitoring.set_events(tool, 0)
            monitoring.set_local_events(tool, code, 0)
            monitoring.free_tool_id(tool)
        return seen

    seen = monitor(ours)
    assert seen == monitor(twin)
    assert {name for name, _ in seen} == {*local, *unwinding}


def test_attributes_are_those_of_an_ordinary_function():
    # Each version adds attributes to a def (__type_params__ in 3.12, __annotate__ in 3.14):
    # the callables have the running version's. A def's __builtins__ the callables do not
    # carry; their __vectorcalloffset__ a def does not show.
    assert set(dir(plain)) - {"__builtins__"} == set(dir(zi.crop_mrz_region)) - {
        "__vectorcalloffset__"}


def _outcome(action):
    try:
        return "ok", action()
    except Exception as error:
        return type(error), str(error)


def _annotate(format):
    return {"image": int}


class _NotADict:
    pass


# Each step runs on a fresh plain def and on the callable: every outcome must be the same.
VERSIONED_ATTRIBUTE_STEPS = [
    ("__type_params__", [("get",), ("set", (int,)), ("get",), ("set", [int]), ("delete",)]),
    ("__annotate__", [("get",), ("set", _annotate), ("get",), ("annotations",),
                      ("set", None), ("annotations",), ("set", 5), ("delete",)]),
    ("__annotate__", [("set", lambda format: 5), ("annotations",),
                      ("set", lambda format: _NotADict()), ("annotations",), ("set", _annotate),
                      ("set_annotations", {"x": 1}), ("get",), ("annotations",)]),
]


@pytest.mark.parametrize("attribute, steps", VERSIONED_ATTRIBUTE_STEPS,
                         ids=["type-params", "annotate", "annotate-vs-annotations"])
def test_versioned_attributes_behave_like_an_ordinary_function(attribute, steps):
    if not hasattr(plain, attribute):
        pytest.skip(f"a def has no {attribute} on Python {sys.version_info[:2]}")

    def run(target):
        actions = {
            "get": lambda: getattr(target, attribute),
            "set": lambda value: setattr(target, attribute, value),
            "delete": lambda: delattr(target, attribute),
            "annotations": lambda: target.__annotations__,
            "set_annotations": lambda value: setattr(target, "__annotations__", value),
        }
        return [_outcome(lambda: actions[step[0]](*step[1:])) for step in steps]

    def fresh(image):
        pass

    function = zi.crop_mrz_region
    saved = {name: getattr(function, name) for name in (attribute, "__annotations__")}
    try:
        assert run(function) == run(fresh)
    finally:
        for name, value in saved.items():
            setattr(function, name, value)
    assert function.__annotations__ == {}
