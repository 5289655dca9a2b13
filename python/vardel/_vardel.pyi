"""The native core of vardel: TOON encoding and decoding."""

from collections.abc import Callable
from typing import Any, ClassVar, Literal, Protocol, Self, TypeAlias, TypeVar, final

_T_contra = TypeVar("_T_contra", contravariant=True)

class _SupportsWrite(Protocol[_T_contra]):
    def write(self, s: _T_contra, /) -> object: ...

__all__ = ["encode", "decode_toon", "EncodeOptions", "DecodeOptions"]

# The characters that can separate array elements, field names and cells.
_Delimiter: TypeAlias = Literal[",", "\t", "|"]

@final
class EncodeOptions:
    """Configuration options for TOON encoding.

    A plain mutable record; every attribute can be read and assigned (not
    deleted). Values are checked for their Python type only: a delimiter other
    than ",", "\\t" or "|" is refused when an array with elements is encoded.
    Instances compare equal when their fields are; being mutable, they are
    unhashable. Their repr evaluates back to an equal instance, and they can
    be copied and pickled.
    """

    __hash__: ClassVar[None]  # type: ignore[assignment]
    # The delimiter's default is ",": the runtime signature shows it as "...".
    def __new__(
        cls,
        delimiter: _Delimiter = ...,
        indent: int = 2,
        use_length_markers: bool = True,
        strict: bool = True,
        *,
        sort_keys: bool = True,
        uniform_indent: bool = False,
    ) -> Self: ...
    @property
    def delimiter(self) -> str:
        """Separator of array elements, tabular field names and cells: ",", "\\t" or "|"."""
    @delimiter.setter
    def delimiter(self, value: _Delimiter, /) -> None: ...
    @property
    def indent(self) -> int:
        """Spaces per nesting level, from 0 to 2**64 - 1 (OverflowError outside)."""
    @indent.setter
    def indent(self, value: int, /) -> None: ...
    @property
    def use_length_markers(self) -> bool:
        """Whether array headers carry the element count and the delimiter mark."""
    @use_length_markers.setter
    def use_length_markers(self, value: bool, /) -> None: ...
    @property
    def strict(self) -> bool:
        """Kept for compatibility; encoding gives the same result either way."""
    @strict.setter
    def strict(self, value: bool, /) -> None: ...
    @property
    def sort_keys(self) -> bool:
        """Whether object members are written sorted by key (else in each mapping's own order)."""
    @sort_keys.setter
    def sort_keys(self, value: bool, /) -> None: ...
    @property
    def uniform_indent(self) -> bool:
        """Whether every nesting level adds exactly `indent` spaces, with no blank lines."""
    @uniform_indent.setter
    def uniform_indent(self, value: bool, /) -> None: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __reduce__(
        self,
    ) -> tuple[type[Self], tuple[str, int, bool, bool], tuple[None, dict[str, bool]]]: ...

@final
class DecodeOptions:
    """Configuration options for TOON decoding.

    `delimiter` is checked when it is set: a str other than ",", "\\t" or "|"
    raises ValueError. Instances compare, print, copy and pickle as
    EncodeOptions instances do, and are likewise unhashable.
    """

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, strict: bool = True, *, delimiter: _Delimiter = ",") -> Self: ...
    @property
    def strict(self) -> bool:
        """Whether element counts and row widths must match their headers.

        decode_toon reads neither field.
        """
    @strict.setter
    def strict(self, value: bool, /) -> None: ...
    @property
    def delimiter(self) -> _Delimiter:
        """Delimiter of arrays whose header carries no delimiter mark: ",", "\\t" or "|"."""
    @delimiter.setter
    def delimiter(self, value: _Delimiter, /) -> None: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __reduce__(self) -> tuple[type[Self], tuple[bool], tuple[None, dict[str, str]]]: ...

def encode(
    data: object,
    options: EncodeOptions | None = None,
    *,
    default: Callable[[Any], object] | None = None,
) -> str:
    """Encode Python data to TOON format.

    `data` is a tree of None, bool, int (-2**63 to 2**64 - 1), float, str,
    list, tuple, set, frozenset, dict with str keys, or any other
    collections.abc Sequence or Mapping, at most 512 containers deep. Object
    members come out sorted by key; NaN and infinities are written as null.
    The text never ends with a line feed.

    `default`, when given, is called with each object the conversion
    refuses (bytes included), and what it returns is converted in the
    object's place; vardel.common_types is a ready-made one. An exception it
    raises propagates unchanged.

    Raises ValueError for data that cannot be converted ("Python conversion
    error: ...", also for a str holding a lone surrogate and for exceptions
    raised by the data's own methods) and for an unusable delimiter
    ("Invalid delimiter: ..."), OverflowError when a line would be
    indented by 2**62 spaces or more (MemoryError when a text does not fit in memory), and TypeError when `options` is not an
    EncodeOptions or `default` is not callable. A conversion error, and an
    exception from `default`, carry a note naming where in the data they
    happened, e.g. "at $.users[1].created".
    """

def dump(
    data: object,
    fp: _SupportsWrite[str] | _SupportsWrite[bytes],
    options: EncodeOptions | None = None,
    *,
    default: Callable[[Any], object] | None = None,
) -> None:
    """Encode Python data to TOON text written to the file `fp`.

    The text is `encode(data, options, default=default)`, written as UTF-8
    bytes to a binary stream of the io module and as strs to anything else,
    a piece of about 1 MiB at a time: a large text is never held whole
    beside the buffer it is written in. Nothing is written when encoding
    fails; the exceptions are encode's, and those of `fp.write`.
    """

def decode_toon(toon_str: str, options: DecodeOptions | None = None) -> dict[str, Any]:
    """Decode TOON format to Python data.

    Always returns a dict, with its keys sorted. Every `key: value` line,
    however far it is indented, becomes an entry of that one dict; inline
    and tabular arrays become lists of scalars or of flat dicts; list-form
    arrays leave no entry.

    Raises ValueError ("Decoding error: ...", with a note naming the line,
    e.g. "at line 3") for a bad escape in a quoted token, TypeError when `toon_str` is not a str or `options` is not a
    DecodeOptions, and UnicodeEncodeError when `toon_str` holds a lone
    surrogate.
    """

class DecodeError(ValueError):
    """TOON text that decode cannot read.

    `msg` is the reason; `lineno` and `colno` (1-based, colno in characters)
    are its place in the text. str() of the error is
    "<msg> (line <lineno>, column <colno>)".
    """

    msg: str
    lineno: int
    colno: int

def decode(toon_str: str, options: DecodeOptions | None = None) -> Any:
    """Decode TOON text to Python data, nested to any depth.

    Reads back everything encode writes, in its default and its uniform
    layout, and TOON as people write it. The result is the top-level value:
    a dict (keys in the written order), a list or a scalar; an empty text
    gives {}. `options.delimiter` is the delimiter of arrays whose header
    carries no delimiter mark; with `options.strict` (the default) element
    counts and row widths must match their headers.

    Raises DecodeError (a ValueError) for text it cannot read, at most 512
    containers deep included; TypeError when `toon_str` is not a str or
    `options` is not a DecodeOptions; UnicodeEncodeError when `toon_str`
    holds a lone surrogate.
    """
