"""The module: attributes, signatures, argument binding, interpreters and PanicException."""

import importlib
import subprocess
import sys
import threading

import pytest

import vardel
import vardel._vardel as m
from support import PREFIX, UMap, USeq, fail, outcome

NAMES = ["encode", "decode_toon", "EncodeOptions", "DecodeOptions"]
E, D, EO, DO = m.encode, m.decode_toon, m.EncodeOptions, m.DecodeOptions


def test_attributes_are_exactly_the_four_names():
    assert m.__all__ == vardel.__all__ == NAMES
    assert set(dir(m)) - set(NAMES) == {"__all__", "__doc__", "__file__", "__loader__",
                                        "__name__", "__package__", "__spec__"}
    assert m.__doc__ == "Python module"
    assert all(getattr(vardel, name) is getattr(m, name) for name in NAMES)


@pytest.mark.parametrize("obj, doc, signature", [
    (E, "Encode Python data to TOON format", "(data, options=None)"),
    (D, "Decode TOON format to Python data", "(toon_str, options=None)"),
    (EO, "Configuration options for TOON encoding",
     "(delimiter=..., indent=2, use_length_markers=True, strict=True)"),
    (DO, "Configuration options for TOON decoding", "(strict=True)"),
])
def test_docs_and_signatures(obj, doc, signature):
    assert (obj.__doc__, obj.__text_signature__, obj.__module__) == (
        doc, signature, "vardel._vardel")


@pytest.mark.parametrize("fn, args, kwargs, message", [
    (E, (), {}, "encode() missing 1 required positional argument: 'data'"),
    (E, (1, None, 3), {}, "encode() takes from 1 to 2 positional arguments but 3 were given"),
    (E, (1, None, 3, 4), {"data": 1}, "encode() takes from 1 to 2 positional arguments but 4 were given"),
    (E, (1,), {"data": 2}, "encode() got multiple values for argument 'data'"),
    (E, (1,), {"indent": 2}, "encode() got an unexpected keyword argument 'indent'"),
    (E, (), {"Data": 1}, "encode() got an unexpected keyword argument 'Data'"),
    # keywords are taken in the order given; the missing check comes last
    (E, (1,), {"data": 2, "foo": 3}, "encode() got multiple values for argument 'data'"),
    (E, (1,), {"foo": 3, "data": 2}, "encode() got an unexpected keyword argument 'foo'"),
    # binding, then the options, then the data
    (E, (b"x", "opts"), {"foo": 1}, "encode() got an unexpected keyword argument 'foo'"),
    (E, (b"x", "opts"), {}, "argument 'options': 'str' object cannot be converted to 'EncodeOptions'"),
    (E, ({}, {"indent": 4}), {}, "argument 'options': 'dict' object cannot be converted to 'EncodeOptions'"),
    (E, ({}, DO()), {}, "argument 'options': 'DecodeOptions' object cannot be converted to 'EncodeOptions'"),
    (D, (), {}, "decode_toon() missing 1 required positional argument: 'toon_str'"),
    (D, ("", None, 3), {}, "decode_toon() takes from 1 to 2 positional arguments but 3 were given"),
    (D, ("",), {"toon_str": ""}, "decode_toon() got multiple values for argument 'toon_str'"),
    (D, ("",), {"strict": True}, "decode_toon() got an unexpected keyword argument 'strict'"),
    # the text is checked before the options
    (D, (5, "x"), {}, "argument 'toon_str': 'int' object cannot be converted to 'PyString'"),
    (D, (b"a: 1",), {}, "argument 'toon_str': 'bytes' object cannot be converted to 'PyString'"),
    (D, (None,), {}, "argument 'toon_str': 'NoneType' object cannot be converted to 'PyString'"),
    (D, ("a: 1", {"strict": True}), {}, "argument 'options': 'dict' object cannot be converted to 'DecodeOptions'"),
    (D, ("a: 1", EO()), {}, "argument 'options': 'EncodeOptions' object cannot be converted to 'DecodeOptions'"),
    (EO, (",", 2, True, True, True), {}, "EncodeOptions.__new__() takes from 0 to 4 positional arguments but 5 were given"),
    (EO, (",",), {"delimiter": ","}, "EncodeOptions.__new__() got multiple values for argument 'delimiter'"),
    (EO, (None,), {"foo": 1}, "EncodeOptions.__new__() got an unexpected keyword argument 'foo'"),
    (DO, (True, False), {}, "DecodeOptions.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (DO, (), {"strict": True, "foo": 1}, "DecodeOptions.__new__() got an unexpected keyword argument 'foo'"),
])
def test_binding_errors(fn, args, kwargs, message):
    assert outcome(fn, *args, **kwargs) == (TypeError, message)


def test_surrogate_text_fails_before_the_options_are_read():
    message = "'utf-8' codec can't encode character '\\ud800' in position 3: surrogates not allowed"
    assert outcome(D, "a: \ud800", "x") == (UnicodeEncodeError, message)


@pytest.mark.parametrize("data", [{"b": [1, 2.5, None], "a": "x"}, "hi", [1, b"bytes"]])
def test_ways_of_passing_data_and_no_options_agree(data):
    expected = outcome(E, data)
    assert expected[0] is not TypeError
    for args, kwargs in [((data, None), {}), ((data,), {"options": None}), ((), {"data": data}),
                         ((data, EO()), {}), ((), {"options": EO(), "data": data})]:
        assert outcome(E, *args, **kwargs) == expected


def test_reinitialisation_returns_the_same_module():
    saved = sys.modules.pop("vardel._vardel")
    try:
        assert importlib.import_module("vardel._vardel") is saved
    finally:
        sys.modules["vardel._vardel"] = saved


LOAD = """if 1:
    import os
    try:
        import vardel._vardel
        result = "imported"
    except ImportError as e:
        result = str(e)
    os.write(1, f"{who}: {result}\\n".encode())
"""
SUBINTERPRETER = f"""if 1:
    import sys
    if sys.version_info >= (3, 13):
        import _interpreters as interpreters
        interp = interpreters.create("legacy")
    else:
        import _xxsubinterpreters as interpreters
        interp = interpreters.create(isolated=False)
    for who in ["main"] * MAIN_FIRST + ["sub", "sub"] + ["main"] * (2 - MAIN_FIRST):
        if who == "main":
            exec({LOAD!r})
        else:
            interpreters.run_string(interp, "who = 'sub'\\n" + {LOAD!r})
"""


@pytest.mark.parametrize("main_first", [True, False])
def test_only_the_first_interpreter_gets_the_module(main_first):
    # From 3.13 a single-phase module is always initialised in the main interpreter first.
    owner = "main" if main_first or sys.version_info >= (3, 13) else "sub"
    result = subprocess.run([sys.executable, "-c", f"MAIN_FIRST = {int(main_first)}\n" + SUBINTERPRETER],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    for line in result.stdout.splitlines():
        who, _, what = line.partition(": ")
        assert what == "imported" if who == owner else "sub-interpreters" in what, line
    assert len(result.stdout.splitlines()) == 4


def test_import_issues_no_warning():
    result = subprocess.run([sys.executable, "-W", "error", "-c", "import vardel"],
                            capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr) == (0, "")


# --- PanicException -------------------------------------------------------

@pytest.mark.parametrize("call, message", [
    (lambda h: h.panic("héllo ✓ 😀"), "héllo ✓ 😀"),
    (lambda h: h.throw_error(), "logic"),  # a C++ exception from the core
    (lambda h: h.panic(""), None),  # a fallback text
])
def test_panic_is_raised_and_reported_on_one_line(hooks, panic_type, capfd, call, message):
    assert panic_type.__bases__ == (BaseException,) and panic_type.__name__ == "PanicException"
    capfd.readouterr()
    with pytest.raises(panic_type) as info:
        call(hooks)
    (text,) = info.value.args
    assert text == message if message else text.strip()
    out, err = capfd.readouterr()
    assert out == "" and err.count("\n") == 1 and err.endswith(": " + text + "\n")
    assert err.startswith(f"vardel: internal failure in thread {threading.get_ident()} at ")


HOOKS = []


def boom(*args):
    HOOKS[0].panic("deep trouble")


def instance(name="X", base=object, **attrs):
    return type(name, (base,), attrs)()


OPTS = EO()
PANIC_SITES = {
    "keys": lambda: E({"o": [UMap(keys=boom)]}, OPTS),
    "values": lambda: E([UMap(values=boom)], OPTS),
    "mapping len": lambda: E([UMap(len=boom)], OPTS),
    "sequence len": lambda: E([USeq(len=boom)], OPTS),
    "getitem": lambda: E([USeq(getitem=boom)], OPTS),
    "set iteration": lambda: E([type("S", (set,), {"__iter__": boom})([1])], OPTS),
    "abc check": lambda: E([instance(__class__=property(boom))], OPTS),
    "str of error": lambda: E([UMap(keys=fail(instance(base=Exception, __str__=boom)))], OPTS),
    "constructor index": lambda: EO(indent=instance(__index__=boom)),
    "constructor bool": lambda: EO(strict=instance("bool_", __module__="numpy", __bool__=boom)),
    "decode options": lambda: DO(instance("bool_", __module__="numpy", __bool__=boom)),
    "setter": lambda: setattr(OPTS, "indent", instance(__index__=boom)),
}


@pytest.mark.parametrize("site", PANIC_SITES)
def test_panic_in_user_code_stays_a_panic(hooks, panic_type, capfd, monkeypatch, site):
    monkeypatch.setattr(sys.modules[__name__], "HOOKS", [hooks])
    capfd.readouterr()
    with pytest.raises(panic_type) as info:
        PANIC_SITES[site]()
    assert info.value.args == ("deep trouble",)
    lines = capfd.readouterr().err.splitlines()
    # the hook's report, a notice with the traceback, then the report of the entry point
    assert [lines[0][:24], lines[-1][:24]] == ["vardel: internal failure"] * 2
    assert lines[0].endswith(": deep trouble") and lines[-1].endswith(": deep trouble")
    assert "Traceback (most recent call last):" in lines
    OPTS.indent = 7  # the borrow ended with the call
    assert E({"a": [1]}, OPTS) == "a:\n       [1]: 1"
    OPTS.indent = 2


def test_plain_exception_in_user_code_is_a_conversion_error():
    with pytest.raises(ValueError) as info:
        E(UMap(keys=fail(KeyError("gone"))))
    assert type(info.value) is ValueError and str(info.value) == PREFIX + "KeyError: 'gone'"
    assert info.value.__cause__ is None and info.value.__context__ is None
