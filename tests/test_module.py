"""The module as Python sees it: attributes, signatures, argument binding,
re-initialisation, the sub-interpreter refusal and PanicException."""

import collections.abc
import importlib
import inspect
import subprocess
import sys
import textwrap
import threading

import pytest

import vardel
import vardel._vardel as m
from support import PREFIX, outcome

NAMES = ["encode", "decode_toon", "EncodeOptions", "DecodeOptions"]
# Attributes the interpreter gives every extension module.
MODULE_DUNDERS = {"__all__", "__doc__", "__file__", "__loader__", "__name__", "__package__",
                  "__spec__"}


def test_attributes_are_exactly_the_four_names():
    assert m.__all__ == NAMES
    assert type(m.__all__) is list
    public = sorted(name for name in dir(m) if not name.startswith("_"))
    assert public == sorted(NAMES)
    assert set(dir(m)) - set(NAMES) <= MODULE_DUNDERS
    assert not hasattr(m, "__version__")
    assert m.__doc__ == "Python module"
    assert m.__name__ == "vardel._vardel"


def test_package_reexports_the_module_names():
    assert vardel.__all__ == NAMES
    for name in NAMES:
        assert getattr(vardel, name) is getattr(m, name)


@pytest.mark.parametrize("fn, doc, signature, params", [
    (m.encode, "Encode Python data to TOON format", "(data, options=None)",
     [("data", inspect.Parameter.empty), ("options", None)]),
    (m.decode_toon, "Decode TOON format to Python data", "(toon_str, options=None)",
     [("toon_str", inspect.Parameter.empty), ("options", None)]),
])
def test_function_docs_and_signatures(fn, doc, signature, params):
    assert fn.__doc__ == doc
    assert fn.__text_signature__ == signature
    assert fn.__module__ == "vardel._vardel"
    assert fn.__self__ is m
    sig = inspect.signature(fn)
    assert [(p.name, p.default) for p in sig.parameters.values()] == params
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())


@pytest.mark.parametrize("cls, name, doc, signature", [
    (m.EncodeOptions, "EncodeOptions", "Configuration options for TOON encoding",
     "(delimiter=..., indent=2, use_length_markers=True, strict=True)"),
    (m.DecodeOptions, "DecodeOptions", "Configuration options for TOON decoding",
     "(strict=True)"),
])
def test_class_docs_and_signatures(cls, name, doc, signature):
    assert cls.__doc__ == doc
    assert cls.__text_signature__ == signature
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__module__ == "vardel._vardel"
    assert cls.__bases__ == (object,)
    # messages that name the class use the bare name
    with pytest.raises(AttributeError, match=f"^'{name}' object has no attribute 'x'$"):
        cls().x


E = m.encode
D = m.decode_toon
EO = m.EncodeOptions
DO = m.DecodeOptions

BINDING_ERRORS = [
    # encode
    (E, (), {}, "encode() missing 1 required positional argument: 'data'"),
    (E, (), {"options": None}, "encode() missing 1 required positional argument: 'data'"),
    (E, (1, None, 3), {}, "encode() takes from 1 to 2 positional arguments but 3 were given"),
    (E, (1, None, 3, 4), {"data": 1},
     "encode() takes from 1 to 2 positional arguments but 4 were given"),
    (E, (1,), {"data": 2}, "encode() got multiple values for argument 'data'"),
    (E, (1, None), {"options": None}, "encode() got multiple values for argument 'options'"),
    (E, (1,), {"indent": 2}, "encode() got an unexpected keyword argument 'indent'"),
    (E, (), {"Data": 1}, "encode() got an unexpected keyword argument 'Data'"),
    # keywords are taken in the order given; the missing check comes last
    (E, (1,), {"data": 2, "foo": 3}, "encode() got multiple values for argument 'data'"),
    (E, (1,), {"foo": 3, "data": 2}, "encode() got an unexpected keyword argument 'foo'"),
    (E, (), {"foo": 1}, "encode() got an unexpected keyword argument 'foo'"),
    # decode_toon
    (D, (), {}, "decode_toon() missing 1 required positional argument: 'toon_str'"),
    (D, (), {"options": None}, "decode_toon() missing 1 required positional argument: 'toon_str'"),
    (D, ("", None, 3), {}, "decode_toon() takes from 1 to 2 positional arguments but 3 were given"),
    (D, ("",), {"toon_str": ""}, "decode_toon() got multiple values for argument 'toon_str'"),
    (D, ("", None), {"options": None},
     "decode_toon() got multiple values for argument 'options'"),
    (D, ("",), {"strict": True}, "decode_toon() got an unexpected keyword argument 'strict'"),
    # EncodeOptions
    (EO, (",", 2, True, True, True), {},
     "EncodeOptions.__new__() takes from 0 to 4 positional arguments but 5 were given"),
    (EO, (",",), {"delimiter": ","},
     "EncodeOptions.__new__() got multiple values for argument 'delimiter'"),
    (EO, (",", 2, True, True), {"strict": True},
     "EncodeOptions.__new__() got multiple values for argument 'strict'"),
    (EO, (), {"foo": 1}, "EncodeOptions.__new__() got an unexpected keyword argument 'foo'"),
    (EO, (), {"Indent": 1}, "EncodeOptions.__new__() got an unexpected keyword argument 'Indent'"),
    # binding fails before any value is converted
    (EO, (None,), {"foo": 1}, "EncodeOptions.__new__() got an unexpected keyword argument 'foo'"),
    # DecodeOptions
    (DO, (True, False), {},
     "DecodeOptions.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (DO, (True,), {"strict": False},
     "DecodeOptions.__new__() got multiple values for argument 'strict'"),
    (DO, (), {"strict": True, "foo": 1},
     "DecodeOptions.__new__() got an unexpected keyword argument 'foo'"),
]


@pytest.mark.parametrize("fn, args, kwargs, message", BINDING_ERRORS)
def test_binding_errors(fn, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_binding_comes_before_options_and_data():
    # a wrong options type and unconvertible data lose against the argument list
    with pytest.raises(TypeError, match="unexpected keyword argument 'foo'"):
        m.encode(b"x", "not options", foo=1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'foo'"):
        m.decode_toon(5, 5, foo=1)
    # then options before data
    with pytest.raises(TypeError, match="cannot be converted to 'EncodeOptions'"):
        m.encode(b"x", "not options")


@pytest.mark.parametrize("data", [
    {"b": [1, 2.5, None], "a": "x"},
    [True, {"k": (1, 2)}],
    "hi",
    {1: "bad key"},
    [1, b"bytes"],
])
def test_ways_of_passing_data_and_no_options_agree(data):
    expected = outcome(m.encode, data)
    assert expected[0] in ("ok", ValueError)
    if isinstance(data, dict) and len(data) == 2:
        assert expected == ("ok", "a: x\nb:\n  [3]: 1,2.5,null")
    assert outcome(m.encode, data, None) == expected
    assert outcome(m.encode, data, options=None) == expected
    assert outcome(m.encode, data=data) == expected
    assert outcome(m.encode, options=None, data=data) == expected
    assert outcome(m.encode, data, m.EncodeOptions()) == expected
    assert outcome(m.encode, data, options=m.EncodeOptions()) == expected


def test_reinitialisation_returns_the_same_module():
    saved = sys.modules.pop("vardel._vardel")
    try:
        again = importlib.import_module("vardel._vardel")
        assert again is saved
        assert again.__all__ == NAMES
        assert again.encode is saved.encode
    finally:
        sys.modules["vardel._vardel"] = saved
    assert m.__all__ == NAMES


SUBINTERPRETER = textwrap.dedent("""
    import sys
    {first}
    if sys.version_info >= (3, 13):
        import _interpreters as interpreters
        interp = interpreters.create("legacy")
    else:
        import _xxsubinterpreters as interpreters
        interp = interpreters.create(isolated=False)
    code = '''
    import os
    try:
        import vardel._vardel
        os.write(1, b"sub: imported\\\\n")
    except ImportError as e:
        os.write(1, ("sub: ImportError: " + str(e) + "\\\\n").encode())
    '''
    for _ in range(2):
        interpreters.run_string(interp, code)
    interpreters.destroy(interp)
    {after}
""")


def run_python(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60)


def test_second_interpreter_is_refused():
    code = SUBINTERPRETER.format(first="import vardel._vardel; m = vardel._vardel",
                                 after="print('main:', m.encode.__name__)")
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 3, result.stdout
    # refused every time, by the module's own check (single-phase init is allowed here)
    for line in lines[:2]:
        assert line.startswith("sub: ImportError: "), line
        assert "sub-interpreters" in line and "not support" in line
    assert lines[2] == "main: encode"


def test_first_interpreter_owns_the_module():
    # A sub-interpreter imports first. Up to 3.12 it initialises the module and
    # owns it, so the main interpreter is refused; from 3.13 the interpreter
    # runs the initialisation of a single-phase module in the main interpreter
    # first, so the main interpreter owns it and the sub-interpreter is refused.
    after = textwrap.dedent("""
        for _ in range(2):
            try:
                import vardel._vardel
                print("main: imported")
            except ImportError as e:
                print("main: ImportError:", e)
    """)
    result = run_python(SUBINTERPRETER.format(first="", after=after))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 4, result.stdout
    owner, refused = ("main", "sub") if sys.version_info >= (3, 13) else ("sub", "main")
    for line in lines:
        if line.startswith(owner):
            assert line == owner + ": imported"
        else:
            assert line.startswith(refused + ": ImportError: ") and "sub-interpreters" in line
    assert sum(line.startswith(owner) for line in lines) == 2


# --- PanicException -------------------------------------------------------

def report_lines(err):
    return [line for line in err.splitlines() if line.startswith("vardel: internal failure")]


def test_panic_exception_class(panic_type):
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)
    assert panic_type.__name__ == "PanicException"
    assert "BaseException" in panic_type.__doc__
    assert "PanicException" not in dir(m)


@pytest.mark.parametrize("message", ["boom", "héllo ✓ 😀", "two words: a, b"])
def test_panic_is_raised_and_reported_on_one_line(hooks, panic_type, capfd, message):
    capfd.readouterr()
    with pytest.raises(panic_type) as info:
        hooks.panic(message)
    assert type(info.value) is panic_type
    assert info.value.args == (message,)
    out, err = capfd.readouterr()
    assert out == ""
    assert err.count("\n") == 1 and err.endswith("\n")
    line = err[:-1]
    assert line.endswith(": " + message)
    assert str(threading.get_ident()) in line
    assert "testhooks.cpp:" in line


def test_panic_without_message_uses_a_fallback(hooks, panic_type, capfd):
    capfd.readouterr()
    with pytest.raises(panic_type) as info:
        hooks.panic("")
    (text,) = info.value.args
    assert text.strip() != ""
    err = capfd.readouterr().err
    assert err.count("\n") == 1 and err.endswith(": " + text + "\n")


def test_foreign_cxx_exception_becomes_panic(hooks, panic_type, capfd):
    capfd.readouterr()
    with pytest.raises(panic_type) as info:
        hooks.throw_error()
    assert info.value.args == ("logic",)
    err = capfd.readouterr().err
    assert err.count("\n") == 1 and err.endswith(": logic\n")


def test_panic_is_not_caught_by_except_exception(hooks, panic_type, capfd):
    def swallow():
        try:
            hooks.panic("through")
        except Exception:  # noqa: BLE001 - must not catch it
            return "swallowed"
    with pytest.raises(panic_type):
        swallow()
    capfd.readouterr()


class PanickingMapping(collections.abc.Mapping):
    """A mapping that fails internally in the method named `where`."""

    def __init__(self, hooks, where, message):
        self.hooks, self.where, self.message = hooks, where, message

    def _maybe(self, name):
        if name == self.where:
            self.hooks.panic(self.message)

    def keys(self):
        self._maybe("keys")
        return ["a"]

    def values(self):
        self._maybe("values")
        return [1]

    def __len__(self):
        self._maybe("len")
        return 1

    def __getitem__(self, key):
        return 1

    def __iter__(self):
        return iter(["a"])


class PanickingSequence(collections.abc.Sequence):
    def __init__(self, hooks, where, message):
        self.hooks, self.where, self.message = hooks, where, message

    def __len__(self):
        if self.where == "len":
            self.hooks.panic(self.message)
        return 1

    def __getitem__(self, i):
        if self.where == "getitem":
            self.hooks.panic(self.message)
        if i >= 1:
            raise IndexError(i)
        return 1


class PanickingSet(set):
    def __init__(self, hooks, message):
        super().__init__([1])
        self.hooks, self.message = hooks, message

    def __iter__(self):
        self.hooks.panic(self.message)


class PanickingClassCheck:
    """isinstance() against the collections.abc classes fails internally."""

    def __init__(self, hooks, message):
        self.hooks, self.message = hooks, message

    @property
    def __class__(self):
        self.hooks.panic(self.message)


PANIC_SITES = {
    "mapping keys": lambda h, msg: PanickingMapping(h, "keys", msg),
    "mapping values": lambda h, msg: PanickingMapping(h, "values", msg),
    "mapping len": lambda h, msg: PanickingMapping(h, "len", msg),
    "sequence len": lambda h, msg: PanickingSequence(h, "len", msg),
    "sequence item": lambda h, msg: PanickingSequence(h, "getitem", msg),
    "set iteration": lambda h, msg: PanickingSet(h, msg),
    "abc check": lambda h, msg: PanickingClassCheck(h, msg),
}


@pytest.mark.parametrize("site", sorted(PANIC_SITES))
def test_panic_in_user_code_ends_encode_as_panic(hooks, panic_type, capfd, site):
    opts = m.EncodeOptions()
    data = {"outer": [PANIC_SITES[site](hooks, "deep trouble")]}
    capfd.readouterr()
    with pytest.raises(panic_type) as info:
        m.encode(data, opts)
    assert type(info.value) is panic_type
    assert info.value.args == ("deep trouble",)
    err = capfd.readouterr().err
    lines = err.splitlines()
    reports = report_lines(err)
    # the hook's report, then the notice and traceback, then the report of encode
    assert len(reports) == 2
    assert all(r.endswith(": deep trouble") for r in reports)
    assert lines[0] == reports[0] and lines[-1] == reports[1]
    notice = lines[1:3]
    assert all(line.startswith("vardel: ") for line in notice)
    assert "PanicException" in notice[0]
    assert lines[3] == "Traceback (most recent call last):"
    assert lines[-2].endswith("PanicException: deep trouble")
    # the borrow of the options ended with the call
    opts.indent = 7
    assert opts.indent == 7
    # and the module still works
    assert m.encode({"a": [1]}) == "a:\n  [1]: 1"


def set_indent(value):
    opts = m.EncodeOptions()
    opts.indent = value


class StrPanics(Exception):
    def __init__(self, hooks):
        self.hooks = hooks

    def __str__(self):
        self.hooks.panic("from str")


class RaisesStrPanics(collections.abc.Mapping):
    def __init__(self, hooks):
        self.hooks = hooks

    def keys(self):
        raise StrPanics(self.hooks)

    __getitem__ = __len__ = __iter__ = None


@pytest.mark.parametrize("make", [
    lambda h: m.EncodeOptions(indent=Indexer(lambda: h.panic("from user code"))),
    lambda h: m.EncodeOptions(strict=numpy_bool(lambda: h.panic("from user code"))),
    lambda h: m.DecodeOptions(numpy_bool(lambda: h.panic("from user code"))),
    lambda h: set_indent(Indexer(lambda: h.panic("from user code"))),
    lambda h: m.encode([RaisesStrPanics(h)]),
], ids=["constructor index", "constructor bool", "decode options", "setter", "str of error"])
def test_panic_in_other_user_code_stays_a_panic(hooks, panic_type, capfd, make):
    capfd.readouterr()
    with pytest.raises(panic_type) as info:
        make(hooks)
    message = info.value.args[0]
    assert message in ("from user code", "from str")
    err = capfd.readouterr().err
    reports = report_lines(err)
    # the hook's report, the notice with the traceback, the report of the entry
    assert len(reports) == 2 and all(r.endswith(": " + message) for r in reports)
    assert "Traceback (most recent call last):" in err


class Indexer:
    def __init__(self, fn):
        self.fn = fn

    def __index__(self):
        return self.fn()


def numpy_bool(fn):
    cls = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: fn()})
    return cls()


def test_plain_exception_in_user_code_is_a_conversion_error():
    class Failing(collections.abc.Mapping):
        def keys(self):
            raise KeyError("gone")
        __getitem__ = __len__ = __iter__ = None
    with pytest.raises(ValueError) as info:
        m.encode(Failing())
    assert str(info.value) == PREFIX + "KeyError: 'gone'"
    assert info.value.__cause__ is None and info.value.__context__ is None


def test_import_issues_no_warning():
    # warnings turned into errors must not break the import
    result = run_python("import vardel; print(vardel.EncodeOptions.__module__)")
    strict = subprocess.run([sys.executable, "-W", "error", "-c",
                             "import vardel; print(vardel.EncodeOptions.__module__)"],
                            capture_output=True, text=True, timeout=60)
    assert strict.returncode == 0, strict.stderr
    assert strict.stdout == result.stdout == "vardel._vardel\n"
    assert strict.stderr == ""
