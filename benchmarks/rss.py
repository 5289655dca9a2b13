"""Peak memory of one codec call, measured in a fresh process.

Run by benchmarks/run.py as ``python -m benchmarks.rss CODEC INPUT``: INPUT is
a pickle of the data (encoders) or a UTF-8 text file (decoders). The child
imports the codecs, loads the input, collects garbage, resets the kernel's
peak-RSS mark to the current RSS (writing 5 to /proc/self/clear_refs), calls
the codec once while keeping its result alive, and prints one JSON object:
the baseline RSS before the call, the peak RSS after it and their difference,
which is the codec's own peak (its working memory plus its output).

The peak is VmHWM of /proc/self/status, the figure getrusage(RUSAGE_SELF)
.ru_maxrss reports for a process's own memory; ru_maxrss itself is printed
too, but it also keeps the peak of the image the child was started from.
"""

from __future__ import annotations

import gc
import json
import pickle
import resource
import sys


def _status_kb(field: str) -> int | None:
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def _reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def _codec(name: str):
    if name == "vardel.encode":
        import vardel
        return vardel.encode
    if name == "vardel.decode_toon":
        import vardel
        return vardel.decode_toon
    if name == "vardel.decode":
        import vardel
        return vardel.decode
    if name == "json.dumps":
        return lambda data: json.dumps(data, sort_keys=True)
    if name == "json.loads":
        return json.loads
    if name == "orjson.dumps":
        import orjson
        return lambda data: orjson.dumps(data, option=orjson.OPT_SORT_KEYS)
    if name == "orjson.loads":
        import orjson
        return orjson.loads
    if name == "msgspec.encode":
        import msgspec
        return msgspec.json.Encoder(order="sorted").encode
    if name == "msgspec.decode":
        import msgspec
        return msgspec.json.Decoder().decode
    raise SystemExit(f"unknown codec {name}")


def main(argv: list[str]) -> int:
    name, path = argv
    fn = _codec(name)
    if path.endswith(".pickle"):
        with open(path, "rb") as f:
            data = pickle.load(f)
    else:
        with open(path, encoding="utf-8") as f:
            data = f.read()
    gc.collect()
    reset = _reset_peak()
    baseline = _status_kb("VmRSS")
    ru_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    result = fn(data)
    peak = _status_kb("VmHWM")
    ru_after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    if isinstance(result, str):
        output_bytes = len(result.encode("utf-8"))
    elif isinstance(result, (bytes, bytearray)):
        output_bytes = len(result)
    else:
        output_bytes = None
    if peak is None or not reset:
        # Without a resettable mark the peak may still be the loading's.
        peak = ru_after
    out = {
        "codec": name,
        "baseline_kb": baseline,
        "peak_kb": peak,
        "delta_kb": None if baseline is None else peak - baseline,
        "peak_reset": reset,
        "ru_maxrss_before_kb": ru_before,
        "ru_maxrss_after_kb": ru_after,
        "output_bytes": output_bytes,
    }
    print(json.dumps(out))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
