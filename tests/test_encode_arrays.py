"""Arrays: the empty, inline, tabular and list forms, headers and delimiters."""

import pytest

from vardel import EncodeOptions, encode


def lines(*rows):
    return "\n".join(rows)


ADA_BOB = [{"id": 1, "name": "Ada"}, {"id": 2, "name": "Bob"}]


@pytest.mark.parametrize(
    "data, options, text",
    [
        ([1, 2, 3], {}, "[3]: 1,2,3"),
        (["a", "b c", "d,e", ""], {}, '[4]: a,b c,"d,e",""'),
        ([1, "x", None, True, 2.5], {}, "[5]: 1,x,null,true,2.5"),
        ([], {}, "[0]:"),
        ([], {"use_length_markers": False, "delimiter": "|"}, "[0]:"),
        ([1, 2], {"use_length_markers": False}, "[]: 1,2"),
        ([1, 2], {"delimiter": "|"}, "[2|]: 1|2"),
        ([1, 2], {"delimiter": "\t"}, "[2\t]: 1\t2"),
        ([1, 2], {"delimiter": "\t", "use_length_markers": False}, "[]: 1\t2"),
        (["a|b", "c,d"], {"delimiter": "|"}, '[2|]: "a|b"|c,d'),
        (["a\tb", "c"], {"delimiter": "\t"}, '[2\t]: "a\\tb"\tc'),
        (ADA_BOB, {}, lines("[2]{id,name}:", "  1,Ada", "  2,Bob")),
        (ADA_BOB, {"delimiter": "|"}, lines("[2|]{id|name}:", "  1|Ada", "  2|Bob")),
        (ADA_BOB, {"delimiter": "\t"}, lines("[2\t]{id\tname}:", "  1\tAda", "  2\tBob")),
        (ADA_BOB, {"use_length_markers": False}, "[]{id,name}:\n  1,Ada\n  2,Bob"),
        (ADA_BOB, {"indent": 0}, lines("[2]{id,name}:", "1,Ada", "2,Bob")),
        (
            {"users": ADA_BOB},
            {},
            lines("users:", "  [2]{id,name}:", "      1,Ada", "      2,Bob"),
        ),
        (
            {"users": ADA_BOB},
            {"indent": 4, "delimiter": "\t"},
            "users:\n    [2\t]{id\tname}:\n            1\tAda\n            2\tBob",
        ),
        ([{"a": 1}], {}, lines("[1]{a}:", "  1")),
        ([{}, {}], {}, "[2]{}:"),
        (
            [{"my key": 1, "b-c": "x y"}, {"my key": 2, "b-c": "z"}],
            {},
            lines("[2]{b-c,my key}:", "  x y,1", "  z,2"),
        ),
        ([{"a": 1, "b": 2}, {"a": 3}], {}, lines("[2]:", "  - a: 1", "    b: 2", "  - a: 3")),
        (
            [1, {"a": 1, "b": 2}, [3, 4], "x"],
            {},
            lines("[4]:", "  - 1", "  - a: 1", "    b: 2", "  - [2]: 3,4", "  - x"),
        ),
        (
            [{"a": 1, "b": [1, 2]}, {"a": 2, "b": [3]}],
            {},
            lines(
                "[2]:", "  - a: 1", "    b:", "    [2]: 1,2", "",
                "  - a: 2", "    b:", "    [1]: 3",
            ),
        ),
        (
            [{"a": 1, "b": [1, 2]}, {"a": 2, "b": [3]}],
            {"delimiter": "|", "use_length_markers": False},
            "[]:\n  - a: 1\n    b:\n    []: 1|2\n\n  - a: 2\n    b:\n    []: 3",
        ),
        (
            [{"a": {"x": 1}, "b": 2}, 5],
            {},
            lines("[2]:", "  - a:", "        x: 1", "", "    b: 2", "  - 5"),
        ),
        (
            [{"a": {"x": 1}, "b": 2}, 5],
            {"indent": 4},
            lines("[2]:", "    - a:", "                x: 1", "", "        b: 2", "    - 5"),
        ),
        (
            [{"a": {"x": 1}, "b": 2}, 5],
            {"indent": 0},
            lines("[2]:", "- a:", "x: 1", "", "b: 2", "- 5"),
        ),
        ([{}, 1], {}, lines("[2]:", "  - ", "  - 1")),
        ([1, {}], {}, lines("[2]:", "  - 1", "  -")),
        ([[{"a": 1}, {"a": 2}], 5], {}, lines("[2]:", "  - [2]{a}:", "  1", "  2", "  - 5")),
        ([[{"a": 1}, {"a": 2}], 5], {"indent": 4}, "[2]:\n    - [2]{a}:\n    1\n    2\n    - 5"),
        ({"a": [1, [2]]}, {}, lines("a:", "  [2]:", "      - 1", "      - [1]: 2")),
        ({"a": [1, [2]]}, {"indent": 4}, "a:\n    [2]:\n            - 1\n            - [1]: 2"),
        ([[1, 2], [3]], {}, lines("[2]:", "  - [2]: 1,2", "  - [1]: 3")),
        ([[[1]]], {}, lines("[1]:", "  - [1]:", "  - [1]: 1")),
        # An empty object under a list item's key leaves the same empty line.
        ([{"a": {}, "b": 1}], {}, lines("[1]:", "  - a:", "", "    b: 1")),
        ([{"a": {}}], {}, lines("[1]:", "  - a:")),
        ([{"a": [1]}], {}, lines("[1]:", "  - a:", "    [1]: 1")),
        ([{"a": []}, 1], {}, lines("[2]:", "  - a:", "    [0]:", "", "  - 1")),
    ],
)
def test_arrays(data, options, text):
    assert encode(data, EncodeOptions(**options)) == text


@pytest.mark.parametrize(
    "data, text",
    [
        ([{"a": 1}, {"a": 2, "b": 3}], lines("[2]:", "  - a: 1", "  - a: 2", "    b: 3")),
        ([{"a": 1}, {"b": 1}], lines("[2]:", "  - a: 1", "  - b: 1")),
        ([{"a": 1}, {"a": [2]}], lines("[2]:", "  - a: 1", "  - a:", "    [1]: 2")),
        ([{"a": [1]}, {"a": 2}], lines("[2]:", "  - a:", "    [1]: 1", "", "  - a: 2")),
        ([1, {"a": 1}], lines("[2]:", "  - 1", "  - a: 1")),
        ([{}, {"a": 1}], lines("[2]:", "  - ", "  - a: 1")),
        ([{"a": 1}, {}], lines("[2]:", "  - a: 1", "  -")),
    ],
)
def test_objects_that_do_not_share_scalar_keys_form_a_list(data, text):
    assert encode(data) == text


@pytest.mark.parametrize(
    "name, delimiter, header",
    [
        ("my key", ",", "{my key}"),
        ("b-c", ",", "{b-c}"),
        ("123", ",", "{123}"),
        ("a|b", ",", "{a|b}"),
        ("a,b", "|", "{a,b}"),
        ("a,b", ",", '{"a,b"}'),
        ("a|b", "|", '{"a|b"}'),
        ("a:b", ",", '{"a:b"}'),
        ("", ",", '{""}'),
        (" x", ",", '{" x"}'),
        ("x\xa0", ",", '{"x\xa0"}'),
        ('q"', ",", '{"q\\""}'),
        ("[x", ",", '{"[x"}'),
        ("x\ty", "|", '{"x\\ty"}'),
        ("\x01", ",", '{"\x01"}'),
        ("a\x85", ",", '{"a\x85"}'),
    ],
)
def test_field_names_are_quoted_only_when_they_break_the_header(name, delimiter, header):
    mark = "" if delimiter == "," else delimiter
    text = encode([{name: 1}], EncodeOptions(delimiter=delimiter))
    assert text == f"[1{mark}]{header}:\n  1"


def test_field_names_and_cells_quote_the_delimiter():
    assert encode([{"a:b": 1, "c,d": "e,f"}]) == lines('[1]{"a:b","c,d"}:', '  1,"e,f"')


@pytest.mark.parametrize("delimiter", [";", ", ", "", "\t\t", "||", " ", "é"])
@pytest.mark.parametrize(
    "data",
    [[1], [{"a": 1}], [[1]], [{"a": [1]}], {"x": {"y": [None]}}, [[], 1]],
)
def test_non_empty_arrays_refuse_other_delimiters(data, delimiter):
    with pytest.raises(ValueError) as info:
        encode(data, EncodeOptions(delimiter=delimiter))
    assert str(info.value) == "Invalid delimiter: " + delimiter


@pytest.mark.parametrize(
    "data, text", [([], "[0]:"), ({"a": []}, "a:\n  [0]:"), ({"a": "b"}, "a: b")]
)
def test_documents_without_non_empty_arrays_take_any_delimiter(data, text):
    assert encode(data, EncodeOptions(delimiter=";")) == text
