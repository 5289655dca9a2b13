"""vardel: fast, exact conversion of Python data to TOON text and back."""

from vardel._vardel import DecodeOptions, EncodeOptions, decode_toon, encode

__all__ = ["encode", "decode_toon", "EncodeOptions", "DecodeOptions"]
