"""The include-based layering check of tools/check-layers."""

import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SCRIPT = ROOT / "tools" / "check-layers"


def run(root: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, str(SCRIPT), str(root)], capture_output=True, text=True, check=False
    )


def test_the_tree_is_layered() -> None:
    result = run(ROOT)
    assert result.returncode == 0, result.stdout


@pytest.mark.parametrize(
    ("path", "line", "fault"),
    [
        ("src/core/a.h", '#include "encode/encode.h"', "not below it"),
        ("src/encode/a.cpp", '#include "decode/decode.h"', "not below it"),
        ("src/decode/a.cpp", '#include "bridge/pyref.h"', "not below it"),
        ("src/bridge/a.cpp", '#include "module/args.h"', "not below it"),
        ("src/decode/a.cpp", "#include <Python.h>", "below the bridge"),
        ("fuzz/f.cpp", '#include "bridge/pyref.h"', "not below it"),
        ("fuzz/f.cpp", "#include <Python.h>", "below the bridge"),
        ("tests/cpp/t.cpp", "#include <Python.h>", "below the bridge"),
        ("src/misc/a.cpp", "", "belongs to no layer"),
    ],
)
def test_an_include_that_goes_up_fails(tmp_path: Path, path: str, line: str, fault: str) -> None:
    (tmp_path / "src" / "core").mkdir(parents=True)
    (tmp_path / "src" / "core" / "ok.h").write_text('#include "core/other.h"\n#include <vector>\n')
    (tmp_path / "src" / "module").mkdir()
    (tmp_path / "src" / "module" / "ok.cpp").write_text(
        '#include <Python.h>\n#include "bridge/pyref.h"\n#include "core/value.h"\n'
    )
    target = tmp_path / path
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_text(f"// a file\n{line}\n")
    result = run(tmp_path)
    assert result.returncode == 1
    assert fault in result.stdout
    assert path in result.stdout
