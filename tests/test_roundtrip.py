"""What encode writes, decode_toon reads back: flat documents with any strings and keys."""

import random
from decimal import Decimal

import pytest

from hypothesis import given, settings
from hypothesis import strategies as st

from support import assert_same
from vardel import EncodeOptions, decode_toon, encode

# Characters that quoting, splitting and trimming have to get right, mixed into any text.
TRICKY = list(',"|\t\\:[]{}-#\' \u00a0\u3000\u2028\u0085\r\n\x00\x01\ufeffé☃😀0.e')
strings = st.text(st.characters(exclude_categories=("Cs",)) | st.sampled_from(TRICKY), max_size=10)
scalars = st.one_of(st.none(), st.booleans(), st.integers(-(2**63), 2**64 - 1),
                    st.floats(allow_nan=False, allow_infinity=False), strings)
tables = st.lists(strings, min_size=1, max_size=4, unique=True).flatmap(
    lambda keys: st.lists(st.fixed_dictionaries({k: scalars for k in keys}), min_size=1, max_size=4))
documents = st.dictionaries(strings, st.one_of(scalars, st.lists(scalars, max_size=6), tables), max_size=6)
options = st.builds(EncodeOptions, delimiter=st.sampled_from([",", "\t", "|"]), indent=st.integers(1, 4))


def expected(value):
    """What decode_toon gives back: whole floats as ints when they fit the integer range."""
    if isinstance(value, float) and value.is_integer():
        whole = int(Decimal(repr(value)))
        return whole if -(2**63) <= whole <= 2**64 - 1 else value
    if isinstance(value, list):
        return [expected(v) for v in value]
    return {k: expected(v) for k, v in sorted(value.items())} if isinstance(value, dict) else value


@settings(max_examples=400, deadline=None)
@given(documents, options, st.none() | strings)
def test_document_round_trips_and_nested_members_land_at_top_level(doc, opts, outer):
    assert_same(decode_toon(encode(doc if outer is None else {outer: doc}, opts)), expected(doc))


@pytest.mark.parametrize("count", [2, 15, 16, 17, 300])
@pytest.mark.parametrize("alphabet", ["ab", "service_0", "aé\x00\x7f", "z\U0001f600\u00ff"])
def test_members_of_any_object_size_come_back_in_byte_order(count, alphabet):
    # Long shared prefixes, NUL and bytes above 0x7F, and objects on both sides
    # of the small-object sort, keys given in random order.
    rng = random.Random(count)
    keys = list(dict.fromkeys("".join(rng.choices(alphabet, k=rng.randint(0, 12))) for _ in range(count)))
    rng.shuffle(keys)
    doc = {k: i for i, k in enumerate(keys)}
    in_order = sorted(keys, key=str.encode)
    text = encode(doc)
    assert [int(line.rsplit(": ", 1)[1]) for line in text.split("\n")] == [doc[k] for k in in_order]
    result = decode_toon(text)
    assert list(result) == in_order and result == doc
