"""Wrong uses of vardel's API: mypy --strict reports an error on exactly the lines marked `# error`."""

import vardel
from vardel import DecodeOptions, EncodeOptions, decode_toon, encode

encode()  # error
encode({}, DecodeOptions())  # error
encode({}, options=EncodeOptions(), indent=2)  # error
decode_toon(b"a: 1")  # error
decode_toon("a: 1", EncodeOptions())  # error
EncodeOptions(delimiter=None)  # error
EncodeOptions(indent="2")  # error
EncodeOptions(use_length_markers=1)  # error
EncodeOptions(",", 2, True, True, True)  # error
DecodeOptions(strict="yes")  # error
EncodeOptions(delimiter="tab")  # error
EncodeOptions(";")  # error
EncodeOptions(",", 2, True, True, sort_keys=None)  # error
EncodeOptions(uniform_indent="no")  # error
DecodeOptions(True, "|")  # error
DecodeOptions(delimiter="\\t")  # error
DecodeOptions(delimiter=";")  # error
vardel.encodee({})  # error
vardel.__versoin__  # error

options = EncodeOptions()
options.indent = "4"  # error
options.delimiter = "tab"  # error
options.sort_keys = None  # error
decode_options = DecodeOptions()
decode_options.delimiter = ";"  # error
options.other = 1  # error
count: int = options.delimiter  # error
text: bytes = encode(1)  # error
result: list[object] = decode_toon("a: 1")  # error
encode({}, None, str)  # error
encode({}, default=5)  # error
encode({}, default=lambda: "x")  # error


class Custom(EncodeOptions):  # error
    pass
