"""Typed use of vardel's public API; must pass mypy --strict and run cleanly."""

import copy
import datetime
import pickle
from typing import Any, Literal, assert_type

import vardel
from vardel import DecodeOptions, EncodeOptions, decode_toon, encode


def main() -> None:
    options = EncodeOptions(delimiter="|", indent=4, use_length_markers=False, strict=True)
    options.delimiter, options.indent, options.use_length_markers, options.strict = "\t", 2, True, False
    options.sort_keys, options.uniform_indent = False, True
    assert_type(options.delimiter, str)
    assert_type(options.indent, int)
    assert_type(options.use_length_markers, bool)
    assert_type(options.strict, bool)
    assert_type(options.sort_keys, bool)
    assert_type(options.uniform_indent, bool)
    options = EncodeOptions(",", 2, True, True, sort_keys=True, uniform_indent=False)
    assert options == eval(repr(options)) and not options != copy.deepcopy(options)
    assert pickle.loads(pickle.dumps(options)) == copy.copy(options)
    text = encode({"rows": [{"id": 1, "name": "Ada"}, {"id": 2, "name": "Bob"}]}, options)
    assert_type(text, str)
    assert_type(encode(data=[1, 2.5, None, True, "x", (3,), {4}], options=None), str)
    decode_options = DecodeOptions()
    decode_options.strict = True
    decode_options.delimiter = "|"
    assert_type(decode_options.strict, bool)
    assert_type(DecodeOptions().delimiter, Literal[",", "\t", "|"])
    assert DecodeOptions(False, delimiter="\t") == pickle.loads(pickle.dumps(DecodeOptions(False, delimiter="\t")))
    back = decode_toon(text, DecodeOptions(strict=False))
    assert_type(back, dict[str, Any])
    assert_type(decode_toon(toon_str="a: 1"), dict[str, Any])
    when = datetime.date(2024, 1, 2)
    assert_type(encode([when], default=vardel.common_types), str)
    assert_type(encode({"when": when}, options, default=lambda o: str(o)), str)
    assert encode([when], default=vardel.common_types) == "[1]: \"2024-01-02\"", encode([when], default=vardel.common_types)
    assert_type(vardel.__version__, str)
    assert back == {"rows": [{"id": 1, "name": "Ada"}, {"id": 2, "name": "Bob"}]}, back
    assert vardel.__version__


if __name__ == "__main__":
    main()
