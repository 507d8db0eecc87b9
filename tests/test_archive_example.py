"""examples/telemetry_archive.py, which the README runs as written: what "write" puts in the
file, "read" gives back, as numpy columns or, without numpy, as lists. Skipped where the tests
run without the examples beside them (a copy of the tests against an installed wheel)."""

import importlib.util
import math
import sys
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parent.parent / "examples" / "telemetry_archive.py"

try:
    import numpy
except ImportError:
    numpy = None


@pytest.fixture(scope="module")
def example():
    if not SCRIPT.is_file():
        pytest.skip(f"no {SCRIPT}")
    spec = importlib.util.spec_from_file_location("telemetry_archive", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# Relative error of a value after the round trip through its float width.
FLOAT_TOLERANCE = {16: 1e-3, 32: 1e-6, 64: 0.0}


@pytest.mark.parametrize("with_numpy", [
    False, pytest.param(True, marks=pytest.mark.skipif(numpy is None, reason="no numpy"))])
def test_read_gives_back_what_write_wrote(example, tmp_path, monkeypatch, capsys, with_numpy):
    path = tmp_path / "housekeeping.tlm"
    assert example.main(["write", str(path), "--packets", "300", "--seed", "7"]) == 0
    if not with_numpy:
        monkeypatch.setitem(sys.modules, "numpy", None)  # import numpy raises ImportError
    columns = example.read(str(path))
    printed = capsys.readouterr().out.splitlines()

    packets = list(example.packets(300, 7))
    data = path.read_bytes()
    for entry in example.RECIPE:
        name, encoding = entry["name"], entry["encoding"]
        column = columns[name]
        assert hasattr(column, "dtype") == (with_numpy and encoding not in example.TEXT_ENCODINGS)
        got = [v.rstrip("\0") if isinstance(v, str) else v for v in list(column)]
        if name == "checksum":
            want = [sum(data[i * 64:i * 64 + 62]) & 0xFFFF for i in range(300)]
        else:
            want = [values[name] for values in packets]
        if encoding.startswith("ieee754"):
            tolerance = FLOAT_TOLERANCE[entry["bits"]]
            assert all(math.isclose(g, w, rel_tol=tolerance, abs_tol=0)
                       for g, w in zip(got, want)), name
        else:
            assert got == want, name
        # One line a column, its kind and a summary of its values.
        line = next(line for line in printed if line.split()[:1] == [name])
        if not with_numpy:
            assert " list of " in line
        assert ("distinct:" in line) == (encoding in example.TEXT_ENCODINGS), line
