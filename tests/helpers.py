"""Small helpers shared by the behaviour tests."""

import traceback

import pytest

MODULE_FILE = "src/zerbano/image"


def module_entries(error):
    """The traceback entries of `error` that the module added: (function name, line) pairs."""
    return [
        (entry.name, entry.lineno)
        for entry in traceback.extract_tb(error.__traceback__)
        if entry.filename == MODULE_FILE
    ]


def raises_at(exception, message, entry, call, *args, **kwargs):
    """Calls and checks the exception's type, exact message and the module's one entry."""
    with pytest.raises(exception) as info:
        call(*args, **kwargs)
    assert type(info.value) is exception
    if message is not None:
        assert str(info.value) == message
    assert module_entries(info.value) == [entry]
    return info.value
