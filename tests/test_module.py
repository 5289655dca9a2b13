"""The module: attributes, signatures, argument binding, interpreters and PanicException."""

import importlib
import subprocess
import sys
import threading

import pytest

import vardel
import vardel._vardel as m
from support import UMap, outcome

NAMES = ["encode", "decode_toon", "EncodeOptions", "DecodeOptions"]
E, D, EO, DO = m.encode, m.decode_toon, m.EncodeOptions, m.DecodeOptions


def test_attributes_are_exactly_the_four_names():
    # The package adds the reader's two names, dump and the ready-made default hook;
    # the extension's own list is unchanged.
    assert m.__all__ == NAMES
    assert vardel.__all__ == [*NAMES, "decode", "DecodeError", "dump", "common_types"]
    assert set(dir(m)) - set(NAMES) == {"__all__", "__doc__", "__file__", "__loader__", "__name__",
                                        "__package__", "__spec__", "decode", "DecodeError", "dump"}
    assert all(getattr(vardel, name) is getattr(m, name) for name in vardel.__all__[:-1])


def test_module_docstring_says_what_the_module_does():
    first, second = m.__doc__.splitlines()
    assert first.startswith("The native core of vardel: encode converts Python data to TOON")
    assert second.endswith("decode_toon reads TOON text back into Python data.")


@pytest.mark.parametrize("obj, doc, signature", [
    (E, "Encode Python data to TOON format", "(data, options=None, *, default=None)"),
    (D, "Decode TOON format to Python data", "(toon_str, options=None)"),
    (m.decode, "Decode TOON text to Python data, nested to any depth", "(toon_str, options=None)"),
    (EO, "Configuration options for TOON encoding",
     "(delimiter=..., indent=2, use_length_markers=True, strict=True, *, sort_keys=True, uniform_indent=False)"),
    (DO, "Configuration options for TOON decoding", "(strict=True, *, delimiter=',')"),
])
def test_docs_and_signatures(obj, doc, signature):
    assert (obj.__doc__, obj.__text_signature__, obj.__module__) == (doc, signature, "vardel._vardel")


SURROGATE = "'utf-8' codec can't encode character '\\ud800' in position 3: surrogates not allowed"


@pytest.mark.parametrize("fn, args, kwargs, exc, message", [
    (E, (), {}, TypeError, "encode() missing 1 required positional argument: 'data'"),
    (E, (1, None, 3), {}, TypeError, "encode() takes from 1 to 2 positional arguments but 3 were given"),
    (E, (1,), {"data": 2}, TypeError, "encode() got multiple values for argument 'data'"),
    (E, (), {"Data": 1}, TypeError, "encode() got an unexpected keyword argument 'Data'"),
    # keywords are taken in the order given; then the options, then the data
    (E, (1,), {"foo": 3, "data": 2}, TypeError, "encode() got an unexpected keyword argument 'foo'"),
    (E, (b"x", "opts"), {"foo": 1}, TypeError, "encode() got an unexpected keyword argument 'foo'"),
    (E, (b"x", "opts"), {}, TypeError, "argument 'options': 'str' object cannot be converted to 'EncodeOptions'"),
    (E, (1, DO()), {}, TypeError, "argument 'options': 'DecodeOptions' object cannot be converted to 'EncodeOptions'"),
    (D, (), {}, TypeError, "decode_toon() missing 1 required positional argument: 'toon_str'"),
    # the text is checked before the options
    (D, (5, "x"), {}, TypeError, "argument 'toon_str': 'int' object cannot be converted to 'PyString'"),
    (D, ("a: \ud800", "x"), {}, UnicodeEncodeError, SURROGATE),
    (D, ("a: 1", EO()), {}, TypeError, "argument 'options': 'EncodeOptions' object cannot be converted to 'DecodeOptions'"),
    (m.decode, ("a: 1", ","), {}, TypeError, "argument 'options': 'str' object cannot be converted to 'DecodeOptions'"),
    (EO, (",", 2, True, True, True), {}, TypeError, "EncodeOptions.__new__() takes from 0 to 4 positional arguments but 5 were given"),
    (DO, (True, "|"), {}, TypeError, "DecodeOptions.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (DO, (), {"strict": True, "foo": 1}, TypeError, "DecodeOptions.__new__() got an unexpected keyword argument 'foo'"),
])
def test_binding_errors(fn, args, kwargs, exc, message):
    assert outcome(fn, *args, **kwargs) == (exc, message)


def test_ways_of_passing_data_and_no_options_agree():
    data = {"b": [1, 2.5, None], "a": "x"}
    for args, kwargs in [((data, None), {}), ((data,), {"options": None}), ((), {"data": data}),
                         ((), {"options": EO(), "data": data})]:
        assert E(*args, **kwargs) == "a: x\nb:\n  [3]: 1,2.5,null"


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
        os.write(1, f"{who}: imported\\n".encode())
    except ImportError as e:
        os.write(1, f"{who}: {e}\\n".encode())
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
    lines = result.stdout.splitlines()
    assert result.returncode == 0 and len(lines) == 4, result.stderr
    for line in lines:
        who, _, what = line.partition(": ")
        assert what == "imported" if who == owner else "sub-interpreters" in what, line


def check_report(err, text):
    assert err.startswith(f"vardel: internal failure in thread {threading.get_ident()} at ")
    assert err.endswith(": " + text + "\n")


@pytest.mark.parametrize("call, message", [(lambda h: h.panic("héllo ✓ 😀"), "héllo ✓ 😀"),
                                           (lambda h: h.throw_error(), "logic")])  # a C++ exception
def test_panic_is_raised_and_reported_on_one_line(hooks, panic_type, capfd, call, message):
    assert panic_type.__bases__ == (BaseException,) and panic_type.__name__ == "PanicException"
    capfd.readouterr()
    with pytest.raises(panic_type) as info:
        call(hooks)
    assert info.value.args == (message,)
    out, err = capfd.readouterr()
    assert out == "" and err.count("\n") == 1
    check_report(err, message)


@pytest.mark.parametrize("site", [lambda boom, opts: E({"o": [UMap(keys=boom)]}, opts),
                                  lambda boom, opts: setattr(opts, "indent", type("X", (), {"__index__": boom})())])
def test_panic_in_user_code_stays_a_panic(hooks, panic_type, capfd, site):
    opts = EO()
    capfd.readouterr()
    with pytest.raises(panic_type) as info:
        site(lambda *args: hooks.panic("deep trouble"), opts)
    assert info.value.args == ("deep trouble",)
    err = capfd.readouterr().err
    # the hook's report, a notice with the traceback, then the report of the entry point
    check_report(err.split("\n", 1)[0] + "\n", "deep trouble")
    check_report(err.rsplit("\n", 2)[-2] + "\n", "deep trouble")
    assert "\nTraceback (most recent call last):\n" in err
    opts.indent = 7  # the borrow ended with the call
    assert E({"a": [1]}, opts) == "a:\n       [1]: 1"


PACKAGE_NAMES = """if 1:
    import importlib.metadata, vardel
    assert "__version__" not in vars(vardel) and "TYPE_CHECKING" not in vars(vardel)
    try:
        vardel.encodee
    except AttributeError as e:
        print(e)
    print(vardel.__version__ == vars(vardel)["__version__"] == importlib.metadata.version("vardel"))
"""


def test_package_finds_its_version_on_first_use_and_refuses_other_names():
    proc = subprocess.run([sys.executable, "-c", PACKAGE_NAMES], capture_output=True, text=True, timeout=60)
    assert (proc.stdout, proc.stderr) == ("module 'vardel' has no attribute 'encodee'\nTrue\n", "")
