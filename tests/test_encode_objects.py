"""Objects: member lines, key order, nested blocks and their indentation."""

import pytest

from vardel import EncodeOptions, encode

MAX_INDENTATION = 2**20


def lines(*rows):
    return "\n".join(rows)


@pytest.mark.parametrize(
    "data, options, text",
    [
        (5, {}, "5"),
        ("hi", {}, "hi"),
        (None, {}, "null"),
        ({}, {}, ""),
        ({"name": "Ada", "age": 36, "admin": False}, {}, "admin: false\nage: 36\nname: Ada"),
        ({"a": {"b": 1}}, {}, lines("a:", "    b: 1")),
        ({"a": {"b": 1}}, {"indent": 4}, lines("a:", "        b: 1")),
        ({"a": {"b": 1}}, {"indent": 0}, lines("a:", "b: 1")),
        ({"a": {"b": {"c": 1}}}, {}, lines("a:", "    b:", "          c: 1")),
        (
            {"a": {"b": 1, "c": {"d": 2}, "e": 3}},
            {},
            lines("a:", "    b: 1", "    c:", "          d: 2", "    e: 3"),
        ),
        (
            {"a": {"b": 1, "c": {"d": 2}, "e": 3}},
            {"indent": 0},
            lines("a:", "b: 1", "c:", "d: 2", "e: 3"),
        ),
        (
            {"user": {"id": 1, "name": "Ada", "tags": ["x", "y"]}, "active": True},
            {},
            lines("active: true", "user:", "    id: 1", "    name: Ada", "    tags:",
                  "      [2]: x,y"),
        ),
        (
            {"user": {"tags": ["x", "y"]}},
            {"indent": 4, "delimiter": "|"},
            lines("user:", "        tags:", "            [2|]: x|y"),
        ),
        ({"a": [], "b": {}}, {}, lines("a:", "  [0]:", "b:")),
        ({"a": {}, "b": 2}, {}, lines("a:", "b: 2")),
        ({"a b": 1, "c-d": {"e": None}}, {}, lines("a b: 1", '"c-d":', "    e: null")),
        ({"b": 1, "A": 2, "a": 3, "_": 4, "Z": 5}, {}, "A: 2\nZ: 5\n_: 4\na: 3\nb: 1"),
        ({"é": 1, "a": 2, "B": 3}, {}, lines("B: 3", "a: 2", "é: 1")),
        # The end trim after a nested block removes only what the encoder added.
        ({"a": {"b": "x\xa0"}}, {}, lines("a:", '    b: "x\xa0"')),
        ({"a": {"b": "x\u3000y"}}, {}, lines("a:", "    b: x\u3000y")),
        ({"a": {"b": "voilà"}}, {}, lines("a:", "    b: voilà")),  # ends in the byte 0xA0
        # A child's empty line gets the parent's prefix and indent, nothing else.
        (
            {"x": [{"a": {"b": 1}}, 2]},
            {},
            lines("x:", "  [2]:", "      - a:", "              b: 1", "  ", "      - 2"),
        ),
        ({"x": "a;b"}, {"delimiter": ";"}, 'x: "a;b"'),
        ({"x": {"y": []}}, {"delimiter": ""}, lines("x:", "    y:", "      [0]:")),
    ],
)
def test_objects(data, options, text):
    assert encode(data, EncodeOptions(**options)) == text


def chain(levels, leaf):
    """{"k1": {"k2": ... {"z": leaf}}} with the member "z" at nesting level `levels`."""
    data = {"z": leaf}
    for level in range(levels, 0, -1):
        data = {f"k{level}": data}
    return data


@pytest.mark.parametrize("indent", [1, 2, 3])
@pytest.mark.parametrize("level", range(7))
def test_indentation_grows_with_nesting_level(indent, level):
    rows = encode(chain(level, 1), EncodeOptions(indent=indent)).split("\n")
    assert rows[-1] == " " * (indent * level * (level + 3) // 2) + "z: 1"
    # An array under that member: its header carries no prefix of its own.
    rows = encode(chain(level, [1]), EncodeOptions(indent=indent)).split("\n")
    assert rows[-1] == " " * (indent * (level + 1) * (level + 2) // 2) + "[1]: 1"


def test_deepest_accepted_nesting_encodes():
    assert encode(chain(511, 1), EncodeOptions(indent=0)) == "\n".join(
        [f"k{i}:" for i in range(1, 512)] + ["z: 1"]
    )


@pytest.mark.parametrize(
    "data, indent",
    [
        ({"a": {"b": 1}}, 2**19 + 1),
        ({"a": {"b": 1}}, 2**62),
        ({"a": {"b": 1}}, 2**64 - 1),
        ({"a": [1]}, 2**62),
        ([1, 2, {"a": 1}], 2**63),
        (chain(511, 1), 8),
    ],
)
def test_lines_indented_too_far_fail(data, indent):
    with pytest.raises(OverflowError) as info:
        encode(data, EncodeOptions(indent=indent))
    assert str(info.value) == (
        f"Indentation too large: a line would be indented by more than {MAX_INDENTATION} "
        f"spaces (indent {indent})"
    )


@pytest.mark.parametrize(
    "data, indent, text",
    [
        ({"a": {"b": 1}}, 2**19, "a:\n" + " " * 2**20 + "b: 1"),
        # Only written lines count: these hold no indented line at all.
        ({"a": {}, "b": 1}, 2**62, "a:\nb: 1"),
        ([1, 2], 2**64 - 1, "[2]: 1,2"),
        ([{}, {}], 2**64 - 1, "[2]{}:"),
    ],
)
def test_indentation_limit_counts_written_lines(data, indent, text):
    assert encode(data, EncodeOptions(indent=indent)) == text


@pytest.mark.parametrize(
    "data, options, error, message",
    [
        # The conversion runs first: its error wins over an encoder error.
        ({"a": [1], "b": b"x"}, {"delimiter": ";"}, ValueError, "Python conversion error: "),
        # Within the encoder, the first failure in writing order wins. With this
        # indent a root member's array header fits, a nested member line does not.
        ({"a": {"b": 1}, "c": [1]}, {"delimiter": ";", "indent": 2**19 + 1}, OverflowError, "Ind"),
        ({"a": [1], "c": {"b": 1}}, {"delimiter": ";", "indent": 2**19 + 1}, ValueError, "Invalid"),
    ],
)
def test_first_failure_wins(data, options, error, message):
    with pytest.raises(error) as info:
        encode(data, EncodeOptions(**options))
    assert type(info.value) is error
    assert str(info.value).startswith(message)
