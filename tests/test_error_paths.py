"""Notes that say where in the data a conversion failed: the path text, and how it is attached."""

import json

import pytest
from hypothesis import given
from hypothesis import strategies as st


@pytest.mark.parametrize(("steps", "note"), [
    ([], "at $"),
    (["users", 1, "created"], "at $.users[1].created"),
    ([0, 0, 12345678901], "at $[0][0][12345678901]"),
    (["a key", "x"], 'at $["a key"].x'),
    (["", "1st", "_ok", "kw", "class"], 'at $[""]["1st"]._ok.kw.class'),
    (["café", "名前", "a-b", "a.b", "a[0]"], 'at $.café.名前["a-b"]["a.b"]["a[0]"]'),
    (['say "hi"', "back\\slash", "tab\tnew\nline\r", "\x00\x1f\x7f"],
     'at $["say \\"hi\\""]["back\\\\slash"]["tab\\tnew\\nline\\r"]["\\u0000\\u001f\x7f"]'),
    (["\b\f", "\u2028", "😀", "\ud800x", "\udfff"],
     'at $["\\b\\f"]["\u2028"]["😀"]["\\ud800x"]["\\udfff"]'),
    ([5.5, None], "at $[5.5][None]"),  # not str: only for completeness, the converter stops at such keys
])
def test_path_text(hooks, steps, note):
    assert hooks.path_note(steps) == note


def parse(note):
    """The steps of a note, each with the form it was written in ("." or "[")."""
    assert note.startswith("at $")
    i, steps = 4, []
    while i < len(note):
        if note[i] == ".":
            j = i + 1
            while j < len(note) and note[j] not in ".[":
                j += 1
            steps.append((".", note[i + 1:j]))
        elif note.startswith('["', i):
            key, j = json.JSONDecoder().raw_decode(note, i + 1)  # strict: no raw control characters
            assert note[j] == "]"
            steps.append(("[", key))
            j += 1
        else:
            assert note[i] == "["
            j = note.index("]", i)
            steps.append(("[", int(note[i + 1:j])))
            j += 1
        i = j
    return steps


@given(st.lists(st.integers(0, 2**40) | st.text(), max_size=6))
def test_every_key_reads_back(hooks, steps):
    expected = [("." if isinstance(s, str) and s.isidentifier() else "[", s) for s in steps]
    assert parse(hooks.path_note(steps)) == expected


class NotesNotAList(Exception):
    pass


class NoAddNote(Exception):
    def add_note(self, note):
        raise RuntimeError("no notes")


class Interrupting(Exception):
    def add_note(self, note):
        raise KeyboardInterrupt


@pytest.mark.parametrize(("exc", "notes"), [
    (ValueError("Python conversion error: x"), ["at $.a[0]"]),
    (KeyError("k"), ["at $.a[0]"]),
    (KeyboardInterrupt(), ["at $.a[0]"]),
    (NoAddNote("n"), None),
    (Interrupting("i"), None),
])
def test_note_is_added_without_changing_the_exception(hooks, exc, notes):
    before = (type(exc), str(exc), exc.args)
    hooks.add_path_note(exc, ["a", 0])
    assert (type(exc), str(exc), exc.args) == before
    assert getattr(exc, "__notes__", None) == notes


def test_note_follows_earlier_notes_and_survives_odd_notes(hooks):
    e = ValueError("v")
    e.add_note("first")
    hooks.add_path_note(e, [1])
    assert e.__notes__ == ["first", "at $[1]"]
    odd = NotesNotAList("n")
    odd.__notes__ = ("a tuple",)
    hooks.add_path_note(odd, [1])
    assert odd.__notes__ == ("a tuple",) and str(odd) == "n"


# ---------------------------------------------------------------- decode_toon: the line of a decoding error

@pytest.mark.parametrize(("text", "line"), [
    ('x: "a\\q"', 1),
    ('a: 1\nb: 2\n\nc: "\\u12"', 4),
    ('a: 1\r\nt[2]{x,y}:\r\n  1,2\r\n  3,"\\z"\r\n', 4),  # a table row
    ('t[2]{"\\k",y}:\n  1,2', 1),  # a field name
    ('k[2]: 1,"\\x"', 1),  # an inline array
    ('a: 1\n\n\n"k\\w": 3', 4),  # a key
    ('a: 1\n' * 999 + 'b: "\\q"', 1000),  # the last line, no line feed
    ('\n\n   \nb: "\\"\n', 4),
    ('a:\n  b:\n    c[1]: "\\e"\nd: 1', 3),
    ('a: 1\rb\nc: "\\q"', 2),  # a lone CR ends no line
])
def test_decoding_errors_name_their_line(text, line):
    from vardel import decode_toon

    with pytest.raises(ValueError) as info:
        decode_toon(text)
    assert str(info.value).startswith("Decoding error: ") and info.value.__notes__ == [f"at line {line}"]
    assert info.value.args == (str(info.value),)
