"""Helpers shared by the test files."""

import pytest

import vardel._vardel as _vardel

PREFIX = "Python conversion error: "


def outcome(fn, *args, **kwargs):
    """Returns ("ok", result) or (exception type, message) of one call."""
    try:
        return ("ok", fn(*args, **kwargs))
    except Exception as e:  # noqa: BLE001 - the outcome is what is compared
        return (type(e), str(e))


def conversion_error(data, options=None):
    """Encodes `data`, which must fail to convert; returns the text after the prefix."""
    with pytest.raises(ValueError) as info:
        _vardel.encode(data, options)
    message = str(info.value)
    assert type(info.value) is ValueError
    assert message.startswith(PREFIX), message
    return message[len(PREFIX):]


def encoded(data, options=None):
    """Encodes `data`, which must succeed; returns the text."""
    text = _vardel.encode(data, options)
    assert type(text) is str
    return text
