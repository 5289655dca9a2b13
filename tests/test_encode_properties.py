"""Properties of encoded text over random JSON-shaped data and options."""

import re

from hypothesis import given
from hypothesis import strategies as st

from vardel import EncodeOptions, encode

WHITE_SPACE = set(map(chr, [*range(9, 14), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B), 0x2028, 0x2029,
                            0x202F, 0x205F, 0x3000]))
NUMBER = re.compile(r"[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?|[+-]?(inf|infinity|nan)|0[^.].*", re.I | re.S)
FORCES_QUOTES = re.compile(r'[\x00-\x1f"\-:\[\\\]{}\x7f-\x9f]')
ESCAPES = {"\\": "\\\\", '"': '\\"', "\n": "\\n", "\r": "\\r", "\t": "\\t"}


def token(s, delimiter):
    if (s in ("", "true", "false", "null") or s[0] in WHITE_SPACE or s[-1] in WHITE_SPACE or delimiter in s
            or NUMBER.fullmatch(s) or FORCES_QUOTES.search(s)):
        return '"' + "".join(ESCAPES.get(c, c) for c in s) + '"'
    return s


# Short texts over an alphabet that reaches every quoting rule.
texts = st.text(alphabet="ab0.e-+: ,|\t\n\"\\[}\x01\x7f\x85\xa0àé\u2028\u3000in", max_size=5) | st.sampled_from(
    ["true", "null", "nan", "-inf", "007", "1e5", "a b", "x.y", "_k", "Ada"])
scalars = st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats(allow_nan=False, allow_infinity=False) | texts
keys = st.sampled_from(["a", "b", "id", "name", "my key", "b-c", "true"]) | texts
tables = st.integers(0, 3).flatmap(lambda n: st.lists(keys, min_size=n, max_size=n, unique=True)).flatmap(
    lambda ks: st.lists(st.fixed_dictionaries({k: scalars for k in ks}), min_size=1, max_size=4))
data = st.recursive(scalars, lambda inner: st.lists(inner, max_size=4) | st.dictionaries(keys, inner, max_size=4) | tables,
                    max_leaves=25)
options = st.builds(EncodeOptions, delimiter=st.sampled_from([",", "\t", "|"]), indent=st.integers(0, 4),
                    use_length_markers=st.booleans(), strict=st.booleans())


def shuffled(value, rng):
    if isinstance(value, dict):
        items = [(k, shuffled(v, rng)) for k, v in value.items()]
        rng.shuffle(items)
        return dict(items)
    return [shuffled(v, rng) for v in value] if isinstance(value, list) else value


@given(data, options, st.randoms(use_true_random=False))
def test_text_shape_and_insertion_order(value, opts, rng):
    text = encode(value, opts)
    assert not text.endswith("\n") and "\r" not in text
    assert all(not line.lstrip(" ") or line.lstrip(" ")[0] not in WHITE_SPACE for line in text.split("\n"))
    assert encode(shuffled(value, rng), opts) == text


# long texts reach the block-wise scan of long strings
@given(texts | st.text(max_size=6) | st.text("abcdefgh é\x85,|\t:-\"", min_size=15, max_size=70),
       st.sampled_from([",", "\t", "|", ";", ", "]))
def test_strings_that_need_quotes_are_quoted(s, delimiter):
    assert encode({"k": s}, EncodeOptions(delimiter=delimiter)) == "k: " + token(s, delimiter)


def has_non_empty_array(value):
    if isinstance(value, dict):
        return any(map(has_non_empty_array, value.values()))
    return isinstance(value, list) and len(value) > 0


@given(data, st.text(max_size=3).filter(lambda d: d not in (",", "\t", "|")))
def test_bad_delimiter_fails_exactly_when_a_non_empty_array_is_written(value, delimiter):
    try:
        encode(value, EncodeOptions(delimiter=delimiter))
        assert not has_non_empty_array(value)
    except ValueError as e:
        assert has_non_empty_array(value) and str(e) == "Invalid delimiter: " + delimiter
