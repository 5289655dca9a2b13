"""What encode writes, decode_toon reads back: flat documents with any strings and keys."""

from decimal import Decimal

from hypothesis import given, settings
from hypothesis import strategies as st
from vardel import EncodeOptions, decode_toon, encode

from support import assert_same

# Characters that quoting, splitting and trimming have to get right, mixed into any text.
TRICKY = list(',"|\t\\:[]{}-#\' \u00a0\u3000\u2028\u0085\r\n\x00\x01\ufeffé☃😀0.e')
strings = st.text(st.characters(exclude_categories=("Cs",)) | st.sampled_from(TRICKY), max_size=10)
scalars = st.one_of(st.none(), st.booleans(), st.integers(-(2**63), 2**64 - 1),
                    st.floats(allow_nan=False, allow_infinity=False), strings)
inline_arrays = st.lists(scalars, max_size=6)
tables = st.lists(strings, min_size=1, max_size=4, unique=True).flatmap(
    lambda keys: st.lists(st.fixed_dictionaries({k: scalars for k in keys}), min_size=1, max_size=4)
)
documents = st.dictionaries(strings, st.one_of(scalars, inline_arrays, tables), max_size=6)
options = st.builds(EncodeOptions, delimiter=st.sampled_from([",", "\t", "|"]),
                    indent=st.integers(1, 4), use_length_markers=st.just(True))


def expected(value):
    """What decode_toon gives back: whole floats as ints when they fit the integer range."""
    if isinstance(value, float) and value.is_integer():
        whole = int(Decimal(repr(value)))
        return whole if -(2**63) <= whole <= 2**64 - 1 else value
    if isinstance(value, list):
        return [expected(v) for v in value]
    if isinstance(value, dict):
        return {k: expected(v) for k, v in sorted(value.items())}
    return value


@settings(max_examples=400, deadline=None)
@given(documents, options)
def test_flat_document_round_trips(doc, opts):
    assert_same(decode_toon(encode(doc, opts)), expected(doc))


@settings(max_examples=200, deadline=None)
@given(strings, documents, options)
def test_nested_members_land_at_top_level(outer, doc, opts):
    assert_same(decode_toon(encode({outer: doc}, opts)), expected(doc))


def test_whole_floats_come_back_as_their_digits():
    doc = {"a": 3.0, "b": -0.0, "c": 2.0**63, "d": 1e300, "e": 0.5}
    assert_same(decode_toon(encode(doc)), {"a": 3, "b": 0, "c": 9223372036854776000, "d": 1e300, "e": 0.5})
