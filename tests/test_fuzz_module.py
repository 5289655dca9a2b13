"""Fuzzing the module from Python: encode with arbitrary nested Python data,
options and hostile user classes, and decode_toon with arbitrary str.

Every call must end with a result or one of the documented exceptions; a
crash ends the run. `make test` runs a few hundred examples per property;
`tools/fuzz python` (VARDEL_FUZZ_EXAMPLES) runs many more.
"""

import collections.abc
import math
import os

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from vardel import DecodeOptions, EncodeOptions, decode_toon, encode

EXAMPLES = int(os.environ.get("VARDEL_FUZZ_EXAMPLES", "300"))
FUZZ = settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=list(HealthCheck),
    derandomize="VARDEL_FUZZ_EXAMPLES" not in os.environ,
)


class Failing(Exception):
    """Raised by hostile user classes."""


class UserSequence(collections.abc.Sequence):
    def __init__(self, items, fail, drift):
        self.items = list(items)
        self.fail = fail  # None, "len" or an index whose __getitem__ raises
        self.drift = drift  # added to the length on every __len__ call
        self.calls = 0

    def __len__(self):
        if self.fail == "len":
            raise Failing("len")
        self.calls += 1
        return max(0, len(self.items) + self.drift * (self.calls - 1))

    def __getitem__(self, i):
        if i == self.fail:
            raise Failing("getitem")
        return self.items[i]


class UserMapping(collections.abc.Mapping):
    def __init__(self, data, fail, mutate):
        self.data = dict(data)
        self.fail = fail  # None, "keys", "values", "len", "getitem", "iter"
        self.mutate = mutate  # keys() changes the data it is about to read

    def _check(self, name):
        if self.fail == name:
            raise Failing(name)

    def __len__(self):
        self._check("len")
        return len(self.data)

    def __iter__(self):
        self._check("iter")
        return iter(list(self.data))

    def __getitem__(self, k):
        self._check("getitem")
        return self.data[k]

    def keys(self):
        self._check("keys")
        keys = list(self.data)
        if self.mutate:
            self.data.clear()
            self.data.update({f"n{i}": i for i in range(3)})
        return keys

    def values(self):
        self._check("values")
        return list(self.data.values())


class IntSub(int):
    def __index__(self):
        raise Failing("index")

    def __str__(self):
        raise Failing("str")


class StrSub(str):
    def __str__(self):
        raise Failing("str")

    def __hash__(self):
        return 0

    __eq__ = str.__eq__


class FloatSub(float):
    def __float__(self):
        raise Failing("float")


SURROGATE = st.sampled_from(["\ud800", "a\udfffb", "\udc80"])
plain_texts = st.one_of(
    st.text(max_size=12),
    st.text(alphabet=' ,|\t\n\r:"\\[]{}-#0123456789.eE+ab\u00a0\u3000\u2028\x00\x7f', max_size=12),
    st.sampled_from(["", "true", "null", "-0", "1e400", "0x1F", " x", "a:b", "[1]: 2", "007"]),
)
texts = st.one_of(plain_texts, SURROGATE)
keys = st.one_of(texts, st.builds(StrSub, texts))
scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(2**64), max_value=2**65),
    st.sampled_from([2**63, 2**64 - 1, -(2**63), -(2**63) - 1, 2**64]),
    st.floats(),
    texts,
    st.builds(IntSub, st.integers(-(2**70), 2**70)),
    st.builds(StrSub, texts),
    st.builds(FloatSub, st.floats()),
    st.sampled_from([b"bytes", bytearray(b"ba"), object(), 1j, Ellipsis, range(3)]),
)
hashables = st.one_of(st.none(), st.booleans(), st.integers(-100, 100), texts, st.floats())


def containers(children):
    return st.one_of(
        st.lists(children, max_size=5),
        st.tuples(children, children),
        st.dictionaries(keys, children, max_size=5),
        st.frozensets(hashables, max_size=4),
        st.sets(hashables, max_size=4),
        st.lists(st.dictionaries(st.sampled_from(["a", "b", "c d", "e:f"]), scalars, max_size=3), max_size=4),
        st.builds(
            UserSequence,
            st.lists(children, max_size=4),
            st.sampled_from([None, None, "len", 0, 1, 3]),
            st.sampled_from([0, 0, 1, -1]),
        ),
        st.builds(
            UserMapping,
            st.dictionaries(keys, children, max_size=4),
            st.sampled_from([None, None, "keys", "values", "len", "getitem", "iter"]),
            st.booleans(),
        ),
    )


data = st.recursive(scalars, containers, max_leaves=25)
encode_options = st.one_of(
    st.none(),
    st.builds(
        EncodeOptions,
        delimiter=st.one_of(st.sampled_from([",", "\t", "|"]), plain_texts),
        indent=st.one_of(st.integers(0, 8), st.sampled_from([2**20, 2**20 + 1, 2**62, 2**64 - 1])),
        use_length_markers=st.booleans(),
        strict=st.booleans(),
    ),
    st.just(DecodeOptions()),
    st.integers(),
)

ENCODE_ERRORS = {
    ValueError: ("Python conversion error: ", "Invalid delimiter: "),
    TypeError: ("argument 'options': ",),
    OverflowError: ("Indentation too large: ",),
}


@FUZZ
@given(data, encode_options)
def test_encode_any_data(value, options):
    try:
        text = encode(value, options)
    except (ValueError, TypeError, OverflowError) as e:
        assert str(e).startswith(ENCODE_ERRORS[type(e)]), repr(e)
        return
    except MemoryError:
        return
    assert isinstance(text, str)
    assert not text.endswith("\n")
    assert "\r" not in text
    try:
        result = decode_toon(text)
    except ValueError as e:
        assert str(e).startswith("Decoding error: "), repr(e)
    else:
        assert isinstance(result, dict)
        for v in result.values():
            if isinstance(v, float):
                assert math.isfinite(v)


toon_lines = st.lists(
    st.one_of(
        texts,
        st.builds(lambda k, v: f"{k}: {v}", texts, texts),
        st.builds(lambda k, n, d, vs: f"{k}[{n}{d}]: " + d.join(vs), texts, st.integers(0, 3),
                  st.sampled_from(["", "|", "\t"]), st.lists(texts, max_size=4)),
        st.builds(lambda k, fs: f"{k}[2]{{{','.join(fs)}}}:", texts, st.lists(texts, max_size=3)),
        st.builds(lambda ind, row: " " * ind + row, st.integers(0, 8), texts),
    ),
    max_size=12,
)
toon_texts = st.one_of(st.text(), toon_lines.map("\n".join), toon_lines.map("\r\n".join))


@FUZZ
@given(toon_texts, st.one_of(st.none(), st.just(DecodeOptions(strict=False)), st.just(EncodeOptions())))
def test_decode_any_text(text, options):
    try:
        result = decode_toon(text, options)
    except UnicodeEncodeError:
        assert any(0xD800 <= ord(c) <= 0xDFFF for c in text)
        return
    except TypeError as e:
        assert isinstance(options, EncodeOptions), repr(e)
        return
    except ValueError as e:
        assert str(e).startswith("Decoding error: "), repr(e)
        return
    assert isinstance(options, (type(None), DecodeOptions))
    assert isinstance(result, dict)
    assert list(result) == sorted(result, key=lambda k: k.encode("utf-8"))
    # Every decoded document can be written again.
    assert isinstance(encode(result), str)
