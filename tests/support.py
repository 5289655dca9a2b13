"""Helpers shared by the test files."""

import pytest

import vardel._vardel as _vardel

PREFIX = "Python conversion error: "

# The encoder is built in its own branch; until it lands, encode fails with this
# text once the data has been converted.
_PLACEHOLDER = "Nesting too deep: encoder not built yet"


def _encoder_built():
    try:
        _vardel.encode(0)
    except ValueError as e:
        return str(e) != _PLACEHOLDER
    return True


ENCODER_BUILT = _encoder_built()


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


def converts(data, options=None):
    """Encodes `data`, which must convert; returns the text (None while the
    encoder is not built, after checking that only the encoder failed)."""
    if ENCODER_BUILT:
        text = _vardel.encode(data, options)
        assert type(text) is str
        return text
    with pytest.raises(ValueError) as info:
        _vardel.encode(data, options)
    assert str(info.value) == _PLACEHOLDER
    return None


def encoded(data, options=None):
    """The text of `data`; skips the test while the encoder is not built."""
    if not ENCODER_BUILT:
        pytest.skip("the encoder is not built yet")
    return _vardel.encode(data, options)
