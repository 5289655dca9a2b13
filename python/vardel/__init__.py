"""vardel: fast conversion of Python data to TOON text, and of TOON back to data with decode.

    >>> import vardel
    >>> text = vardel.encode({"id": 1, "tags": ["a", "b"]})
    >>> text
    'id: 1\\ntags:\\n  [2]: a,b'
    >>> vardel.decode(text)
    {'id': 1, 'tags': ['a', 'b']}
"""

from vardel._types import common_types
from vardel._vardel import DecodeError, DecodeOptions, EncodeOptions, decode, decode_toon, dump, encode

__version__: str

# True only for type checkers, which then see no module __getattr__ and report
# unknown names; typing itself is not imported, as it is slow to import.
TYPE_CHECKING = False
if not TYPE_CHECKING:

    def __getattr__(name: str) -> str:
        # The version is looked up on first use: importlib.metadata is slow to import.
        if name != "__version__":
            raise AttributeError(f"module 'vardel' has no attribute {name!r}")
        from importlib.metadata import PackageNotFoundError, version

        try:
            found = version("vardel")
        except PackageNotFoundError:  # imported from a source tree that was never installed
            found = "0+unknown"
        globals()["__version__"] = found
        return found

del TYPE_CHECKING

__all__ = [
    "encode",
    "decode_toon",
    "EncodeOptions",
    "DecodeOptions",
    "decode",
    "DecodeError",
    "dump",
    "common_types",
]
