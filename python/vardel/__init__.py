"""vardel: fast, exact conversion of Python data to TOON text and back.

    >>> import vardel
    >>> vardel.encode({"id": 1, "tags": ["a", "b"]})
    'id: 1\\ntags:\\n  [2]: a,b'
"""

from importlib.metadata import PackageNotFoundError, version

from vardel._vardel import DecodeOptions, EncodeOptions, decode_toon, encode

try:
    __version__: str = version("vardel")
except PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

del PackageNotFoundError, version

__all__ = ["encode", "decode_toon", "EncodeOptions", "DecodeOptions"]
