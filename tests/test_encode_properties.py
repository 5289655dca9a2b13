"""Properties of encoded text over random JSON-shaped data and options. The model
copies each nested block into its parent line by line, re-indented; the encoder's
one-pass text must equal it byte for byte."""

import re
from decimal import Decimal

from hypothesis import given, settings
from hypothesis import strategies as st

from vardel import EncodeOptions, encode

WHITE_SPACE = set(map(chr, [*range(9, 14), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
                            0x2028, 0x2029, 0x202F, 0x205F, 0x3000]))
NUMBER = re.compile(r"[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?|[+-]?(inf|infinity|nan)", re.I)
FORCES_QUOTES = re.compile(r'[\x00-\x1f"\-:\[\\\]{}\x7f-\x9f]')
BREAKS_HEADER = re.compile(r'[\x00-\x1f":\[\\\]{}\x7f-\x9f]')
IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_.]*")


def needs_quotes(s, delimiter):
    return bool(s == "" or s[0] in WHITE_SPACE or s[-1] in WHITE_SPACE or delimiter in s
                or s in ("true", "false", "null") or NUMBER.fullmatch(s)
                or (len(s) > 1 and s[0] == "0" and s[1] != ".") or FORCES_QUOTES.search(s))


def quoted(s):
    escapes = {"\\": "\\\\", '"': '\\"', "\n": "\\n", "\r": "\\r", "\t": "\\t"}
    return '"' + "".join(escapes.get(c, c) for c in s) + '"'


def token(v, o):
    if v is None or isinstance(v, bool):
        return {None: "null", True: "true", False: "false"}[v]
    if isinstance(v, int):
        return str(v)
    if isinstance(v, float):
        text = format(Decimal(repr(v)), "f")
        return text.rstrip("0").rstrip(".") if "." in text else text
    return quoted(v) if needs_quotes(v, o.delimiter) else v


def key_text(k, o):
    return k if IDENTIFIER.fullmatch(k) else token(k, o)


def field_text(k, d):
    edge = k == "" or k[0] in WHITE_SPACE or k[-1] in WHITE_SPACE
    return quoted(k) if edge or d in k or BREAKS_HEADER.search(k) else k


def is_scalar(v):
    return not isinstance(v, (list, dict))


def model(v, depth, o):
    pad, step = " " * (o.indent * depth), " " * o.indent
    if isinstance(v, dict):
        out = ""
        for i, k in enumerate(sorted(v)):
            out += ("\n" if i else "") + pad + key_text(k, o)
            if is_scalar(v[k]):
                out += ": " + token(v[k], o)
            else:
                child = model_lines(v[k], depth + 1, o)
                out += ":\n" + "".join(pad + step + line + "\n" for line in child)
                out = out.rstrip(" \n")
        return out
    if not isinstance(v, list):
        return token(v, o)
    if not v:
        return "[0]:"
    if o.delimiter not in (",", "\t", "|"):
        raise ValueError("Invalid delimiter: " + o.delimiter)
    d = o.delimiter
    head = f"[{len(v)}{'' if d == ',' else d}]" if o.use_length_markers else "[]"
    first = v[0]
    if (isinstance(first, dict) and all(map(is_scalar, first.values()))
            and all(isinstance(e, dict) and len(e) == len(first) for e in v)
            and all(k in e and is_scalar(e[k]) for e in v for k in first)):
        fields = sorted(first)
        out = head + "{" + d.join(field_text(k, d) for k in fields) + "}:\n"
        out += "".join(pad + step + d.join(token(e[k], o) for k in fields) + "\n" for e in v)
        return out.rstrip(" \n")
    if all(map(is_scalar, v)):
        return head + ": " + d.join(token(e, o) for e in v)
    out = head + ":\n"
    for e in v:
        out += pad + step + "- "
        if isinstance(e, dict):
            for i, k in enumerate(sorted(e)):
                out += ("\n" + pad + step + step if i else "") + key_text(k, o)
                if is_scalar(e[k]):
                    out += ": " + token(e[k], o)
                else:
                    child = model_lines(e[k], depth + 2, o)
                    out += ":\n" + "".join(pad + step + step + line + "\n" for line in child)
        else:
            out += model(e, 0, o)
        out += "\n"
    return out.rstrip(" \n")


def model_lines(v, depth, o):
    text = model(v, depth, o)
    return text.split("\n") if text else []


# Short texts over an alphabet that reaches every quoting rule.
texts = st.text(alphabet="ab0.e-+: ,|\t\n\"\\[}\x01\x7f\x85\xa0àé\u2028\u3000in", max_size=5)
texts |= st.sampled_from(["true", "null", "nan", "-inf", "007", "1e5", "a b", "x.y", "_k", "Ada"])
scalars = (st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1)
           | st.floats(allow_nan=False, allow_infinity=False) | texts)
keys = st.sampled_from(["a", "b", "id", "name", "my key", "b-c", "true"]) | texts


tables = st.integers(0, 3).flatmap(lambda n: st.lists(keys, min_size=n, max_size=n, unique=True)).flatmap(
    lambda ks: st.lists(st.fixed_dictionaries({k: scalars for k in ks}), min_size=1, max_size=4))
data = st.recursive(scalars, lambda inner: st.lists(inner, max_size=4)
                    | st.dictionaries(keys, inner, max_size=4) | tables, max_leaves=25)
options = st.builds(EncodeOptions, delimiter=st.sampled_from([",", "\t", "|"]),
                    indent=st.integers(0, 4), use_length_markers=st.booleans(), strict=st.booleans())


@settings(max_examples=400)
@given(data, options)
def test_one_pass_text_equals_copy_and_reindent(value, opts):
    assert encode(value, opts) == model(value, 0, opts)


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
    for line in text.split("\n"):
        rest = line.lstrip(" ")
        assert rest == "" or rest[0] not in WHITE_SPACE
    assert encode(shuffled(value, rng), opts) == text


@given(texts | st.text(max_size=6), st.sampled_from([",", "\t", "|", ";", ", "]))
def test_strings_that_need_quotes_are_quoted(s, delimiter):
    text = encode({"k": s}, EncodeOptions(delimiter=delimiter))
    assert text == "k: " + (quoted(s) if needs_quotes(s, delimiter) else s)


def has_non_empty_array(value):
    if isinstance(value, dict):
        return any(map(has_non_empty_array, value.values()))
    return isinstance(value, list) and len(value) > 0


@given(data, st.text(max_size=3).filter(lambda d: d not in (",", "\t", "|")))
def test_bad_delimiter_fails_exactly_when_a_non_empty_array_is_written(value, delimiter):
    opts = EncodeOptions(delimiter=delimiter)
    expected = "Invalid delimiter: " + delimiter if has_non_empty_array(value) else model(value, 0, opts)
    try:
        assert encode(value, opts) == expected
    except ValueError as e:
        assert str(e) == expected
