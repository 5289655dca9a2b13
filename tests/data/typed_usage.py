"""Typed use of vardel's public API; must pass mypy --strict and run cleanly."""

from typing import Any, assert_type

import vardel
from vardel import DecodeOptions, EncodeOptions, decode_toon, encode


def to_prompt(rows: list[dict[str, int | str]], delimiter: str = ",") -> str:
    options = EncodeOptions(delimiter="|", indent=4, use_length_markers=False, strict=True)
    options.delimiter = delimiter
    options.indent = 2
    options.use_length_markers = True
    options.strict = False
    assert_type(options.delimiter, str)
    assert_type(options.indent, int)
    assert_type(options.use_length_markers, bool)
    assert_type(options.strict, bool)
    return encode({"rows": rows}, options)


def main() -> None:
    text = to_prompt([{"id": 1, "name": "Ada"}, {"id": 2, "name": "Bob"}], "\t")
    assert_type(text, str)
    assert_type(encode([1, 2.5, None, True, "x", (3,), {4}]), str)
    assert_type(encode(data={"a": 1}, options=None), str)

    back = decode_toon(text, DecodeOptions(strict=False))
    assert_type(back, dict[str, Any])
    assert_type(decode_toon(toon_str="a: 1"), dict[str, Any])
    decode_options = DecodeOptions()
    decode_options.strict = True
    assert_type(decode_options.strict, bool)

    version = vardel.__version__
    assert_type(version, str)

    # The same facts, checked when the file runs.
    assert back == {"rows": [{"id": 1, "name": "Ada"}, {"id": 2, "name": "Bob"}]}, back
    assert decode_toon("a: 1") == {"a": 1}
    assert isinstance(version, str) and version


if __name__ == "__main__":
    main()
