"""The result str holds exactly the written characters, at the width CPython
would give it (a str of another width never compares equal)."""

import pytest

import vardel


@pytest.mark.parametrize(
    "value",
    ["plain", "café", "ÿ", "Ā", "中文", "🙂", "a é 中 🙂", "é" * 1000 + "🙂", "\u00a0x", "x\u3000"],
)
def test_text_of_every_width_comes_back_equal(value):
    text = vardel.encode({"k": value, "l": [value, "b"]})
    quoted = f'"{value}"' if value != value.strip() else value
    assert text == f"k: {quoted}\nl:\n  [2]: {quoted},b"
    assert vardel.decode_toon(text) == {"k": value, "l": [value, "b"]}
