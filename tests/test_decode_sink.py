"""decode_toon builds its objects while it reads: equal keys and short values are
made once and shared, and members keep their order whichever way they arrive.
Running out of memory at any point: test_memory.py."""

import sys

import pytest

from vardel import decode, decode_toon, encode

LONG = "k" * 70  # longer than any cached key


@pytest.mark.parametrize("text, expected", [
    # the same key spelled bare, quoted and in a field list is one key
    ('a: 1\n"a": 2\nt[1]{a,"a"}:\n  3,4', {"a": 2, "t": [{"a": 4}]}),
    # keys that differ only in the middle (same first and last eight bytes), unescaped into scratch storage
    ('"aaaaaaaa\\tXbbbbbbbb": 1\n"aaaaaaaa\\tYbbbbbbbb": 2',
     {"aaaaaaaa\tXbbbbbbbb": 1, "aaaaaaaa\tYbbbbbbbb": 2}),
    # one character, and the same bytes read as Latin-1 characters, are different keys
    ("é: 1\nÃ©: 2\nt[2]{é,Ã©}:\n  3,4\n  5,6", {"Ã©": 2, "é": 1, "t": [{"Ã©": 4, "é": 3}, {"Ã©": 6, "é": 5}]}),
    # keys of every str width, repeated on every row, and a key too long to cache
    (f"t[2]{{a,é,€,😀,{LONG}}}:\n  1,2,3,4,5\n  6,7,8,9,10",
     {"t": [{"a": 1, LONG: 5, "é": 2, "€": 3, "😀": 4}, {"a": 6, LONG: 10, "é": 7, "€": 8, "😀": 9}]}),
    # short values of every width, repeated across columns and rows, next to look-alikes
    ("t[3]{x,y}:\n  é,Ã©\n  Ã©,é\n  ab,\"ab\"\nv[4]: 😀,€,😀,\"aaaaaaaXbbbbbbbb\"",
     {"t": [{"x": "é", "y": "Ã©"}, {"x": "Ã©", "y": "é"}, {"x": "ab", "y": "ab"}],
      "v": ["😀", "€", "😀", "aaaaaaaXbbbbbbbb"]}),
    ('v[2]: "aaaaaaaXbbbbbbbb","aaaaaaaYbbbbbbbb"', {"v": ["aaaaaaaXbbbbbbbb", "aaaaaaaYbbbbbbbb"]}),
])
def test_equal_and_look_alike_keys_and_values(text, expected):
    got = decode_toon(text)
    assert got == expected
    assert [list(r) for r in got.get("t", [])] == [list(r) for r in expected.get("t", [])]


def utf8_order(row):
    return sorted(row, key=lambda k: k.encode())


WIDE = [f"f{i:03}" for i in range(300)]  # more field names than the key cache has slots


@pytest.mark.parametrize("rows", [
    # every kind of scalar in every column
    [{"a": None, "b": True, "c": False, "d": -5, "e": 18446744073709551615, "f": 2.5, "g": "x",
      "h": "", "i": "é😀", "j": "a long value, " * 5}] * 3,
    # wider than the key cache and than any small dict
    [{k: i * 1000 + j for j, k in enumerate(WIDE)} for i in range(3)],
    # field names of every width, the empty name, and one too long to cache
    [{"": 1, "é": 2, "€": 3, "😀": 4, LONG: 5}, {"": 6, "é": 7, "€": 8, "😀": 9, LONG: 10}],
    # a single row, a single column
    [{"only": "one"}],
])
def test_full_rows_are_whole_and_in_key_order(rows):
    got = decode_toon(encode({"t": rows}))["t"]
    assert got == rows
    assert [list(r) for r in got] == [utf8_order(r) for r in rows]


# Texts of 1 to 17 bytes, ASCII or with a two-byte character at each place, as values and keys:
# the short ones are made without the general routine, and must come out whole and as narrow as
# any str with their characters.
SHORT_TEXTS = ["abcdefghijklmnopq"[:n] for n in range(1, 18)] + [
    ("abcdefghijklmnop"[:n - 1])[:i] + "é" + ("abcdefghijklmnop"[:n - 1])[i:]
    for n in (1, 2, 3, 4, 5, 7, 8, 9, 15, 16) for i in range(n)
]


@pytest.mark.parametrize("text", SHORT_TEXTS)
def test_short_strs_are_exact_and_narrowest(text):
    got = decode_toon(f'v: "{text}"\nt[1]{{"{text}"}}:\n  "{text}"')
    [(key, cell)] = got["t"][0].items()
    for s in (got["v"], key, cell):
        assert s == text
        # A new str one character longer, of the same width, less that character.
        assert sys.getsizeof(s) == sys.getsizeof(text + ("a" if text.isascii() else "ÿ")) - 1


def test_rows_share_their_key_objects():
    rows = decode_toon("t[3]{id,name}:\n  1,a\n  2,b\n  3,c")["t"]
    assert all(k is k0 for r in rows for k, k0 in zip(r, rows[0]))


# Keys a later call finds again: look-alikes of one length that share their first and last eight
# bytes, keys of one to three bytes, keys with escapes, keys that are not ASCII, the longest kept
# key and one longer.
LOOK_ALIKES = ["aaaaaaaaXbbbbbbbb", "aaaaaaaaYbbbbbbbb", "aaaaaaaaXYbbbbbbbb", "a", "b", "ab", "aXb", "aYb",
               "aaaaaaaa\tXbbbbbbbb", "a\tb", "é", "ée", "k" * 64, "k" * 63 + "j", "k" * 65]


@pytest.mark.parametrize("read, layout", [(decode, "t[2]{{{}}}:\n  1\n  2"), (decode_toon, "t[2]{{{}}}:\n  1\n  2"),
                                          (decode, "t[2]:\n  - {}: 1\n  - {}: 2")])
def test_later_calls_read_every_key_as_itself(read, layout):
    for _ in range(2):
        for key in LOOK_ALIKES:
            written = encode({key: 1})[:-3]  # the key as written, quoted where it must be
            text = layout.format(written, written)
            assert read(text) == {"t": [{key: 1}, {key: 2}]}, text


def test_later_calls_share_the_keys_of_earlier_ones():
    first, second = (decode("o:\n  shared_name: 1\nt[1]{id}:\n  1") for _ in range(2))
    assert next(iter(first["o"])) is next(iter(second["o"]))
    assert next(iter(first["t"][0])) is next(iter(second["t"][0]))


def test_short_rows_are_sorted_with_the_last_repeated_field():
    rows = decode_toon("t[3]{c,b,a,b}:\n  1,2,3,4\n  5,6\n  7,8,9")["t"]
    assert [list(r.items()) for r in rows] == [[("a", 3), ("b", 4), ("c", 1)], [("b", 6), ("c", 5)],
                                               [("a", 9), ("b", 8), ("c", 7)]]
