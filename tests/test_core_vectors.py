"""The golden vectors of the layout core (tests/golden/core_vectors.txt).

The file holds recipes, packets and values with what fieldpack_layout.Layout gives for them:
values, packed bytes, failures and problems() sentences. Here it must be what the module gives
now (else it is rewritten with `python3 tests/golden/make_vectors.py`, and the difference is
reviewed), and the host-neutral core alone, built with this machine's C++ compiler into the
native program tests/native/core_vectors.cpp, must give the same for every case. The musl stage
of .ci/run builds the same program for 32-bit ARM and runs it under qemu-arm over the same file.
"""
import difflib
import hashlib
import importlib.util
import os
import platform
import re
import shlex
import shutil
import subprocess
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
GOLDEN = Path(__file__).resolve().parent / "golden"
VECTORS = GOLDEN / "core_vectors.txt"
PROGRAM = ROOT / "tests" / "native" / "core_vectors.cpp"
# Layers 1 and 2: the codec library and the core, which the program links alone.
LIBRARY_DIRS = ["src/common", "src/decoder/codecs", "src/encoder/codecs", "src/core"]
REGENERATE = "python3 tests/golden/make_vectors.py"


def load_generator():
    spec = importlib.util.spec_from_file_location("make_vectors", GOLDEN / "make_vectors.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_vectors_are_what_the_module_gives():
    committed = VECTORS.read_text(encoding="utf-8")
    regenerated = load_generator().generate()
    if regenerated != committed:
        diff = list(difflib.unified_diff(committed.split("\n"), regenerated.split("\n"),
                                         "committed", "regenerated", n=1, lineterm=""))
        shown = "\n".join(diff[:80]) + ("\n..." if len(diff) > 80 else "")
        pytest.fail(f"{VECTORS.relative_to(ROOT)} is not what the module gives now. If the "
                    f"change is meant, rewrite it with `{REGENERATE}` and commit it with the "
                    f"change:\n{shown}", pytrace=False)


def test_vectors_cover_every_encoding_both_ways():
    # The program checks this too, on every machine; here a file that lost an encoding fails
    # without a compiler.
    text = VECTORS.read_text(encoding="utf-8")
    generator = load_generator()
    recipes = re.split(r"^layout\t", text, flags=re.M)[1:]
    unpacked, packed = set(), set()
    for recipe in recipes:
        encodings = {line.split("\t")[3] for line in recipe.split("\n")
                     if line.startswith("field\t")}
        if "\nunpack\t" in recipe:
            unpacked |= encodings
        if "\npack\t" in recipe:
            packed |= encodings
    assert unpacked == packed == set(generator.ALL_ENCODINGS)


# ---------------------------------------------------------------------------------------------
# The native program

def _machine(name):
    """A machine's name as a compiler's target triplet or platform.machine() gives it."""
    name = name.split("-")[0].lower()
    if name in ("amd64", "x86_64"):
        return "x86_64"
    if re.fullmatch(r"i[3-6]86|x86", name):
        return "x86"
    if name.startswith("arm") and name != "arm64":
        return "arm"
    return "aarch64" if name == "arm64" else name


def _warning_flags():
    text = (ROOT / "cmake" / "warnings.cmake").read_text(encoding="utf-8")
    match = re.search(r"set\(FIELDPACK_WARNINGS\s+([^)]*)\)", text)
    assert match, "no FIELDPACK_WARNINGS in cmake/warnings.cmake"
    return match.group(1).split() + ["-Werror"]


def _environment():
    # Without the sanitizer runtime that the asan stage preloads into Python: the compiler and
    # the program have no use for it.
    environment = dict(os.environ)
    environment.pop("LD_PRELOAD", None)
    return environment


def _build(compiler, flags, sources, directory):
    objects = []
    commands = []
    for source in sources:
        obj = directory / (source.relative_to(ROOT).as_posix().replace("/", "_") + ".o")
        objects.append(obj)
        commands.append(compiler + flags + ["-I", str(ROOT / "src"), "-c", str(source),
                                            "-o", str(obj)])
    commands_run = []

    def run(command):
        done = subprocess.run(command, capture_output=True, text=True, env=_environment())
        commands_run.append((command, done))

    # Two at a time: the machines that run the suite are shared.
    with ThreadPoolExecutor(max_workers=2) as pool:
        list(pool.map(run, commands))
    for command, done in commands_run:
        if done.returncode != 0:
            pytest.fail(f"{shlex.join(command)} failed:\n{done.stdout}{done.stderr}",
                        pytrace=False)
    binary = directory / "core_vectors"
    link = compiler + flags + [str(obj) for obj in objects] + ["-o", str(binary) + ".new"]
    done = subprocess.run(link, capture_output=True, text=True, env=_environment())
    if done.returncode != 0:
        pytest.fail(f"{shlex.join(link)} failed:\n{done.stdout}{done.stderr}", pytrace=False)
    os.replace(str(binary) + ".new", binary)
    return binary


@pytest.fixture(scope="module")
def core_program(request, tmp_path_factory):
    """The native program, built from the sources with this machine's compiler (once for a
    given compiler, flags and sources: kept in pytest's cache where there is one)."""
    if not PROGRAM.exists() or not (ROOT / "src" / "core").is_dir():
        pytest.skip("the sources are not beside the tests (an installed copy of the suite)")
    compiler = shlex.split(os.environ.get("CXX", "")) or [
        found for found in (shutil.which("g++"), shutil.which("c++")) if found][:1]
    if not compiler or not shutil.which(compiler[0]):
        pytest.skip("no C++ compiler on this machine (g++, c++ or $CXX)")
    target = subprocess.run(compiler + ["-dumpmachine"], capture_output=True, text=True,
                            env=_environment()).stdout.strip()
    if _machine(target) != _machine(platform.machine()):
        pytest.skip(f"{compiler[0]} builds for {target}, not for this interpreter's "
                    f"{platform.machine()}; the musl stage of .ci/run runs the program on ARM")
    flags = ["-std=c++20", "-O2"] + _warning_flags()
    if os.environ.get("FIELDPACK_SANITIZE", "").upper() in ("ON", "1", "TRUE"):
        # The asan stage: the core over every vector with the sanitizers as well.
        flags += ["-O1", "-g", "-fno-omit-frame-pointer", "-fsanitize=address,undefined",
                  "-fno-sanitize-recover=undefined"]
    sources = [PROGRAM] + sorted(path for folder in LIBRARY_DIRS
                                 for path in (ROOT / folder).glob("*.cpp"))
    key = hashlib.sha256()
    version = subprocess.run(compiler + ["--version"], capture_output=True, text=True,
                             env=_environment()).stdout
    key.update(repr((compiler, version, flags)).encode())
    for folder in LIBRARY_DIRS + ["tests/native"]:
        for path in sorted((ROOT / folder).iterdir()):
            if path.suffix in (".cpp", ".hpp"):
                key.update(path.name.encode() + b"\0" + path.read_bytes())
    cache = getattr(request.config, "cache", None)
    base = cache.mkdir("core_vectors") if cache else tmp_path_factory.mktemp("core_vectors")
    directory = Path(base) / key.hexdigest()[:16]
    if (directory / "core_vectors").exists():
        return directory / "core_vectors"
    directory.mkdir(parents=True, exist_ok=True)
    return _build(compiler, flags, sources, directory)


def run_program(program, vectors):
    environment = _environment()
    environment["UBSAN_OPTIONS"] = "print_stacktrace=1:halt_on_error=1"
    return subprocess.run([str(program), str(vectors)], capture_output=True, text=True,
                          env=environment, timeout=600)


def test_core_gives_every_vector(core_program):
    done = run_program(core_program, VECTORS)
    output = done.stdout + done.stderr
    assert done.returncode == 0, "\n".join(output.splitlines()[-200:])
    summary = done.stdout.strip().splitlines()[-1]
    counts = re.fullmatch(r"(\d+) recipes: (\d+) unpack and (\d+) pack cases, (\d+) problems "
                          r"lists, (\d+) unknown encoding names, (\d+) byte orders; 0 mismatches",
                          summary)
    assert counts, summary
    # Every case of the file was run: as many as the file has records of each kind.
    text = VECTORS.read_text(encoding="utf-8")
    expected = [len(re.findall(rf"^{keyword}\t", text, flags=re.M))
                for keyword in ("layout", "unpack", "pack")]
    assert [int(counts.group(k)) for k in (1, 2, 3)] == expected


def _mutated(tmp_path, name, change):
    """A copy of the vectors with `change` applied to the first line it changes; the copy's
    path and the number of the changed line."""
    lines = VECTORS.read_text(encoding="utf-8").split("\n")
    for index, line in enumerate(lines):
        changed = change(line)
        if changed is not None and changed != line:
            lines[index] = changed
            path = tmp_path / name
            path.write_text("\n".join(lines), encoding="utf-8")
            return path, index + 1
    raise AssertionError(f"no line to change for {name}")


def _flip_last_digit(text):
    return text[:-1] + ("1" if text[-1] == "0" else "0")


@pytest.mark.parametrize("name, change", [
    ("packed byte", lambda l: _flip_last_digit(l)
     if l.startswith("bytes\t") and l != "bytes\t-" else None),
    ("unsigned value", lambda l: l + "1" if l.startswith("value\t") and "\tu\t" in l else None),
    ("bits of a NaN", lambda l: _flip_last_digit(l)
     if l.startswith("value\t") and "\tf\tnan\t" in l else None),
    ("decoded text", lambda l: l.replace("é", "è", 1)
     if l.startswith("value\t") and "\tt\t" in l else None),
    ("message", lambda l: l.replace("BCD", "bcd", 1) if l.startswith("fail\t") else None),
    ("hint", lambda l: l.replace("mean", "mean:", 1) if l.startswith("fail\t") else None),
    ("failing field", lambda l: re.sub(r"^fail\t1\t", "fail\t0\t", l)
     if l.startswith("fail\t") else None),
    ("start bit", lambda l: re.sub(r"^(fail\t\d+\t)(\d+)",
                                   lambda m: m.group(1) + str(int(m.group(2)) + 8), l)
     if l.startswith("fail\t") else None),
    ("repr of a double", lambda l: l.replace("\t0.1\t", "\t0.10000000000000001\t")
     if l.startswith("given\t") else None),
    ("problem", lambda l: l[:-1] + '."' if l.startswith("problem\t") else None),
    ("hint of an unknown name", lambda l: l.replace("'?", "' ?")
     if l.startswith("unknown\t") else None),
])
def test_core_program_reports_each_mismatch(core_program, tmp_path, name, change):
    """A checker that cannot fail checks nothing: each kind of wrong expectation is reported,
    at its own line or its case's, and fails the run."""
    path, line = _mutated(tmp_path, name.replace(" ", "_") + ".txt", change)
    done = run_program(core_program, path)
    assert done.returncode == 1, done.stdout + done.stderr
    lines = path.read_text(encoding="utf-8").split("\n")
    case = next(n for n in range(line, 0, -1)
                if lines[n - 1].split("\t")[0] in ("layout", "problems", "unpack", "pack",
                                                   "unknown", "order"))
    reported = {int(n) for n in re.findall(rf"^{re.escape(str(path))}:(\d+):", done.stdout,
                                           flags=re.M)}
    assert reported and reported <= {case, line}, done.stdout[-3000:]
    assert not done.stdout.rstrip().endswith("; 0 mismatches")


def test_core_program_reports_what_no_vector_covers(core_program, tmp_path):
    # Every recipe with a "ti_f40" field left out: the encoding is then never run either way.
    text = VECTORS.read_text(encoding="utf-8")
    recipes = re.split(r"(?m)^(?=layout\t)", text)
    kept = [r for r in recipes if "\tti_f40\t" not in r]
    assert len(kept) < len(recipes)
    path = tmp_path / "without_ti_f40.txt"
    path.write_text("".join(kept), encoding="utf-8")
    done = run_program(core_program, path)
    assert done.returncode == 1
    assert "no vector covers: unpack ti_f40" in done.stdout
    assert "no vector covers: pack ti_f40" in done.stdout


@pytest.mark.parametrize("content, complaint", [
    ("pack\t-\nbytes\t00\n", "pack before any layout"),
    ("layout\t0\nfield\t\"a\"\t\"x\"\tnot_an_encoding\t8\tbig\t0\t-\t\"'a'\"\n",
     "no encoding named not_an_encoding"),
    ("layout\t0\nfield\t\"a\"\t\"unsigned\"\tunsigned\t8\tbig\t0\t-\t\"'a'\"\n"
     "pack\t-\ngiven\t0\tf\t1.0\t3ff0000000000000\nbytes\t01\n", "packs values of kind u"),
    ("layout\t0\nfield\t\"a\"\t\"unsigned\"\tunsigned\t8\tbig\t0\t-\t\"'a'\"\n"
     "unpack\t0\t0g\n", "not hex"),
])
def test_core_program_refuses_what_is_not_a_vector(core_program, tmp_path, content, complaint):
    path = tmp_path / "bad.txt"
    path.write_text(content, encoding="utf-8")
    done = run_program(core_program, path)
    assert done.returncode == 2
    assert complaint in done.stderr
