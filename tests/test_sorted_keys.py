"""Dicts are written in key order whatever their neighbours hold: runs of dicts with the same key
objects, dicts whose keys change in number, text, object or insertion order, and levels where the
key sets alternate, at the top and nested, in tables and in lists."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vardel import EncodeOptions, encode

from support import SameText

POOL = ["id", "name", "zeta", "alpha", "m", "kind", "b", "a_long_key_name"]


def fresh(key):
    """An equal str that is another object, so that no record of key objects can recognise it."""
    return "".join(list(key))


def presorted(value):
    """The same data with every dict's keys inserted in sorted order, as new objects."""
    if isinstance(value, dict):
        return {fresh(k): presorted(value[k]) for k in sorted(value)}
    if isinstance(value, list):
        return [presorted(v) for v in value]
    return value


def check(data):
    expected = encode(presorted(data))
    assert encode(data) == expected
    assert encode(data, EncodeOptions(indent=4)) == encode(presorted(data), EncodeOptions(indent=4))


# Key sets, each a list of the POOL's key objects in insertion order.
SHAPES = {
    "A": ["zeta", "id", "name"],
    "B": ["name", "zeta", "id"],  # A's keys in another order
    "C": ["zeta", "id"],  # fewer keys
    "D": ["zeta", "id", "kind"],  # as many keys, one other
    "E": ["b", "a_long_key_name", "alpha", "m", "kind", "zeta", "id", "name"],
    # wide dicts, about as many keys as are remembered and more
    "W": [f"w{i:02d}" for i in range(47, -1, -1)],
    "X": [f"w{i:02d}" for i in range(49)][::-1],
    "Y": ["zeta"] + [f"y{i}" for i in range(39)],  # begins as A and D do
}


def row(shape, i, nested=False):
    value = (lambda k: {"y": i, "x": [k, i]}) if nested else (lambda k: f"{k}{i}")
    return {k: value(k) for k in SHAPES[shape]}


@pytest.mark.parametrize("pattern", [
    "AAAAAAAAAA",
    "AB" * 12,
    "AAAB" + "A" * 20,
    "A" * 9 + "C" + "A" * 9 + "C" + "A" * 9,
    "ABCDE" * 5,
    "A" + "D" * 8 + "A" * 10,
    "E" * 3 + "A" + "E" * 12,
    "CA" * 3 + "A" * 15 + "D" * 3,
    # a few shapes taking turns, as a tweet's entities, metadata and user do
    "ABC" * 8,
    "AYCW" * 6,
    "ADYW" * 6 + "E" * 4 + "ADYW" * 3,
    # more shapes taking turns than are remembered
    "ABCDEW" * 5,
    "WXWXYWXY" * 3,
])
@pytest.mark.parametrize("nested", [False, True])
def test_a_level_whose_key_sets_change(pattern, nested):
    rows = [row(shape, i, nested) for i, shape in enumerate(pattern)]
    check(rows)
    check({"outer": {"rows": rows, "more": rows[::-1]}})
    # the same text under other key objects, half way through
    half = len(rows) // 2
    check(rows[:half] + [{fresh(k): v for k, v in r.items()} for r in rows[half:]])


shapes = st.lists(st.sampled_from(POOL), min_size=1, max_size=len(POOL), unique=True)


@st.composite
def levels(draw, depth=0):
    """A list of dicts drawn from a few key sets (the same key objects each time a set recurs)."""
    sets = draw(st.lists(shapes, min_size=1, max_size=6))
    picks = draw(st.lists(st.tuples(st.integers(0, len(sets) - 1), st.booleans()), min_size=1, max_size=16))
    out = []
    for i, (which, reverse) in enumerate(picks):
        keys = sets[which][::-1] if reverse else sets[which]
        # every fifth dict of the outer level holds a level of its own under its first key
        inner = depth == 0 and i % 5 == 4
        out.append({k: draw(levels(depth + 1)) if inner and j == 0 else i for j, k in enumerate(keys)})
    return out


@settings(max_examples=150, deadline=None)
@given(levels())
def test_any_sequence_of_key_sets_is_written_in_key_order(rows):
    check(rows)


@pytest.mark.parametrize("n", [17, 40, 256, 257, 600])
def test_large_objects_order_whole_keys_and_keep_the_later_of_equal_ones(n):
    # Past the first eight bytes only the rest of a key tells it apart, or its length.
    names = [f"a_long_prefix_{i:04d}" for i in range(n - 4)] + ["a", "ab", "a_long_prefix_", "a_long_prefix_0000x"]
    data = {k: i for i, k in enumerate(names[::-1])}
    data[SameText(names[5])] = "later"
    data[SameText("a")] = "last"
    expected = {fresh(k): data[k] for k in sorted(names)}
    expected["a_long_prefix_0005"], expected["a"] = "later", "last"
    assert encode(data) == encode(expected)


SMALL_KEYS = {
    # eight-byte prefixes that all differ, zero-padded for the short keys
    "distinct": ["id", "b", "zeta", "a", "ab", "name", "timeout_ms", "buffer_size", "kind", "m",
                 "url", "port", "verify", "owner", "region", "y"],
    # prefixes that tie: only the rest of the key, or its length, tells them apart
    "shared": ["settings_b", "settings_a", "settings", "settings_ab", "a", "settings_", "z",
               "settings_0", "settings_zz", "settings_10", "settings_1", "b", "settings_c",
               "settings_9", "settings_aa", "c"],
    # a key and the same key with a zero byte after it share their prefix
    "zero": ["a\0", "a", "b", "a\0\0", "ab", "\0", "", "b\0", "aa", "ba", "a\0b", "bb", "c", "ca",
             "d", "a\0a"],
}


@pytest.mark.parametrize("keys", SMALL_KEYS)
@pytest.mark.parametrize("n", [2, 3, 7, 8, 9, 15, 16])
@pytest.mark.parametrize("repeat", [False, True])
def test_small_objects_in_key_order(keys, n, repeat):
    names = SMALL_KEYS[keys][:n]
    for shift in range(n):
        order = names[shift:] + names[:shift]
        order = order[::2] + order[1::2]
        data = {k: i for i, k in enumerate(order)}
        expected = {fresh(k): data[k] for k in sorted(names)}
        if repeat and n < 16:
            # an equal key of another object: the dict holds both, the text the later value
            data[SameText(order[-1])] = "later"
            expected[order[-1]] = "later"
        assert encode(data) == encode(expected)
