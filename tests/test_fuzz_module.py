"""Fuzzing the module from Python: encode with arbitrary nested data, options
and hostile user classes; decode_toon with arbitrary str. Every call ends with
a result or a documented exception. `make test` runs a few hundred examples per
property; `tools/fuzz python` (VARDEL_FUZZ_EXAMPLES) runs many more."""

import functools
import math
import os

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support import UMap, USeq
from vardel import DecodeOptions, EncodeOptions, decode_toon, encode

FUZZ = settings(max_examples=int(os.environ.get("VARDEL_FUZZ_EXAMPLES", "300")), deadline=None,
                suppress_health_check=list(HealthCheck), derandomize="VARDEL_FUZZ_EXAMPLES" not in os.environ)


class Failing(Exception):
    """Raised by the hostile user classes."""


def fail(*args):
    raise Failing("hostile")


def grow(obj):
    obj.items.append(0) if isinstance(obj, USeq) else obj.pairs.update({str(len(obj.pairs)): 0})


# What a user method does before its usual work; a result that is not None replaces that work's.
ACTIONS = [fail, grow, lambda obj: (obj.items if isinstance(obj, USeq) else obj.pairs).clear(),
           lambda obj: 7, lambda obj: -1, lambda obj: setattr(obj, "__class__", UMap)]
ODD = dict(__index__=fail, __str__=fail, __repr__=fail, __float__=fail, __hash__=lambda s: 0)
IntSub, StrSub, FloatSub = (type(t.__name__ + "Sub", (t,), ODD) for t in (int, str, float))


def hostile(cls, items, methods):
    obj = cls(items)
    obj.on = {name: functools.partial(action, obj) for name, action in methods.items()}
    return obj


plain_texts = st.one_of(
    st.text(max_size=12),
    st.text(alphabet=' ,|\t\n\r:"\\[]{}-#0123456789.eE+ab\u00a0\u3000\u2028\x00\x7f', max_size=12),
    st.sampled_from(["", "true", "null", "-0", "1e400", "0x1F", " x", "a:b", "[1]: 2", "007"]),
)
texts = st.one_of(plain_texts, st.sampled_from(["\ud800", "a\udfffb", "\udc80"]))
keys = st.one_of(texts, st.builds(StrSub, texts))
scalars = st.one_of(
    st.none(), st.booleans(), st.floats(), texts, st.builds(StrSub, texts), st.builds(FloatSub, st.floats()),
    st.integers(-(2**64), 2**65), st.sampled_from([2**63, 2**64 - 1, -(2**63), -(2**63) - 1, 2**64]),
    st.builds(IntSub, st.integers(-(2**70), 2**70)),
    st.sampled_from([b"bytes", bytearray(b"ba"), object(), 1j, Ellipsis, range(3)]),
)
hashables = st.one_of(st.none(), st.booleans(), st.integers(-100, 100), texts, st.floats())


def methods(*names):
    return st.dictionaries(st.sampled_from(names), st.sampled_from(ACTIONS), max_size=2)


def containers(children):
    return st.one_of(
        st.lists(children, max_size=5), st.tuples(children, children), st.dictionaries(keys, children, max_size=5),
        st.frozensets(hashables, max_size=4), st.sets(hashables, max_size=4),
        st.lists(st.dictionaries(st.sampled_from(["a", "b", "c d", "e:f"]), scalars, max_size=3), max_size=4),
        st.builds(hostile, st.just(USeq), st.lists(children, max_size=4), methods("len", "getitem")),
        st.builds(hostile, st.just(UMap), st.dictionaries(keys, children, max_size=4), methods("keys", "values", "len")),
    )


encode_options = st.one_of(
    st.none(), st.just(DecodeOptions()), st.integers(),
    st.builds(EncodeOptions, delimiter=st.one_of(st.sampled_from([",", "\t", "|"]), plain_texts),
              indent=st.one_of(st.integers(0, 8), st.sampled_from([2**20, 2**20 + 1, 2**62, 2**64 - 1])),
              use_length_markers=st.booleans(), strict=st.booleans()),
)
ENCODE_ERRORS = {ValueError: ("Python conversion error: ", "Invalid delimiter: "),
                 TypeError: ("argument 'options': ",), OverflowError: ("Indentation too large: ",)}


@FUZZ
@given(st.recursive(scalars, containers, max_leaves=25), encode_options)
def test_encode_any_data(value, options):
    try:
        text = encode(value, options)
    except (ValueError, TypeError, OverflowError) as e:
        assert str(e).startswith(ENCODE_ERRORS[type(e)]), repr(e)
        return
    assert "\r" not in text and not text.endswith("\n")
    try:
        result = decode_toon(text)
    except ValueError as e:
        assert str(e).startswith("Decoding error: "), repr(e)
    else:
        assert not any(isinstance(v, float) and not math.isfinite(v) for v in result.values())


toon_lines = st.lists(st.one_of(
    texts,
    st.builds("{}: {}".format, texts, texts),
    st.builds(lambda k, n, d, vs: f"{k}[{n}{d}]: " + d.join(vs), texts, st.integers(0, 3),
              st.sampled_from(["", "|", "\t"]), st.lists(texts, max_size=4)),
    st.builds(lambda k, fs: f"{k}[2]{{{','.join(fs)}}}:", texts, st.lists(texts, max_size=3)),
    st.builds(lambda ind, row: " " * ind + row, st.integers(0, 8), texts),
), max_size=12)


@FUZZ
@given(st.one_of(st.text(), toon_lines.map("\n".join), toon_lines.map("\r\n".join)),
       st.sampled_from([None, DecodeOptions(strict=False), EncodeOptions()]))
def test_decode_any_text(text, options):
    try:
        result = decode_toon(text, options)
    except UnicodeEncodeError:
        assert any(0xD800 <= ord(c) <= 0xDFFF for c in text)
        return
    except (TypeError, ValueError) as e:
        assert isinstance(options, EncodeOptions) if type(e) is TypeError else str(e).startswith("Decoding error: ")
        return
    assert not isinstance(options, EncodeOptions)
    assert type(result) is dict and list(result) == sorted(result, key=lambda k: k.encode("utf-8"))
    assert isinstance(encode(result), str)  # every decoded document can be written again
