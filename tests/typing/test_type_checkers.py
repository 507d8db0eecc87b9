"""The type stubs against the installed modules and against two type checkers.

- stubtest: every name, parameter, default and __all__ of the stubs matches the built module,
  for fieldpack and for fieldpack_layout;
- good.py: mypy --strict and basedpyright (strict) report nothing;
- bad.py: they report exactly the lines marked "# expect-error: <mypy code> / <pyright rule>",
  each with the named code, and no other line;
- the examples in the stubs' docstrings run and print what they show;
- the signatures of the stubs are those of the module, on every interpreter (stubtest cannot run
  on PyPy).

Checks that need the checkers or the installed stubs are skipped without them (pip install
".[typing]"), unless FIELDPACK_REQUIRE_TYPING is set, as in CI's types stage: then they fail.
"""

import ast
import doctest
import importlib.util
import json
import os
import platform
import re
import subprocess
import sys
from collections import defaultdict
from pathlib import Path

import pytest

import fieldpack
import fieldpack_layout

HERE = Path(__file__).resolve().parent
GOOD = HERE / "good.py"
BAD = HERE / "bad.py"
MARKER = re.compile(r"#\s*expect-error:\s*([\w-]+)\s*/\s*(\w+)\s*$")


SOURCE_STUBS = HERE.parent.parent / "stubs" / "fieldpack-stubs" / "__init__.pyi"
MODULES = ["fieldpack", "fieldpack_layout"]
REQUIRED = bool(os.environ.get("FIELDPACK_REQUIRE_TYPING"))


def require(module):
    if module == "mypy" and platform.python_implementation() != "CPython":
        # mypy and its stubtest import the symtable module, which PyPy 3.9 does not have.
        pytest.skip("mypy does not run on PyPy")
    if REQUIRED:
        __import__(module)
    else:
        pytest.importorskip(module)


def site_folder(module):
    """The folder that holds the module: an extension module's own, a package's parent."""
    spec = importlib.util.find_spec(module)
    origin = Path(spec.origin)
    return origin.parent.parent if spec.submodule_search_locations else origin.parent


def installed_stubs(module="fieldpack"):
    """The stubs as installed beside the module, which is what users' checkers read."""
    origin = site_folder(module)
    path = origin / f"{module}-stubs" / "__init__.pyi"
    if not path.is_file():
        message = f"no stubs installed beside {origin}"
        pytest.fail(message) if REQUIRED else pytest.skip(message)
    return path


def stub_file(module="fieldpack"):
    """The installed stubs, or the source tree's when the module was built without installing."""
    path = site_folder(module) / f"{module}-stubs" / "__init__.pyi"
    source = SOURCE_STUBS.parent.parent / f"{module}-stubs" / "__init__.pyi"
    return path if path.is_file() or REQUIRED else source


def run(args):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, cwd=HERE)


def mypy_reports(path, tmp_path):
    """{line: set of error codes} from mypy --strict (path: a file in this folder)."""
    require("mypy")
    installed_stubs()
    result = run(["-m", "mypy", "--strict", "--strict-bytes", "--show-error-codes",
                  "--no-error-summary", "--no-pretty", "--cache-dir", str(tmp_path / "cache"),
                  path.name])
    reports = defaultdict(set)
    for line in result.stdout.splitlines():
        found = re.match(rf"{re.escape(path.name)}:(\d+): error: .*\[([\w-]+)\]$", line)
        if found:
            reports[int(found[1])].add(found[2])
        elif ": error:" in line:
            pytest.fail(f"unparsed mypy error: {line}")
    if result.returncode not in (0, 1) or (result.returncode == 1) != bool(reports):
        pytest.fail(f"mypy exited {result.returncode}:\n{result.stdout}{result.stderr}")
    return reports


def pyright_reports(path, tmp_path):
    """{line: set of rules} from basedpyright in strict mode, errors and warnings alike."""
    require("basedpyright")
    installed_stubs()
    result = run(["-m", "basedpyright", "--project", str(HERE / "pyrightconfig.json"),
                  "--pythonpath", sys.executable, "--outputjson", path.name])
    try:
        output = json.loads(result.stdout)
    except json.JSONDecodeError:
        pytest.fail(f"basedpyright exited {result.returncode}:\n{result.stdout}{result.stderr}")
    reports = defaultdict(set)
    for diagnostic in output["generalDiagnostics"]:
        if diagnostic["severity"] in ("error", "warning"):
            rule = diagnostic.get("rule", diagnostic["message"])
            reports[diagnostic["range"]["start"]["line"] + 1].add(rule)
    return reports


CHECKERS = {"mypy": (mypy_reports, 0), "basedpyright": (pyright_reports, 1)}


def expected_errors(path):
    """{line: (mypy code, pyright rule)} from the markers."""
    expected = {}
    for number, text in enumerate(path.read_text(encoding="utf-8").splitlines(), start=1):
        found = MARKER.search(text)
        if found:
            expected[number] = (found[1], found[2])
    return expected


@pytest.mark.parametrize("checker", CHECKERS)
def test_good_example_passes(checker, tmp_path):
    reports, _ = CHECKERS[checker]
    assert dict(reports(GOOD, tmp_path)) == {}


@pytest.mark.parametrize("checker", CHECKERS)
def test_bad_example_fails_exactly_where_marked(checker, tmp_path):
    reports, column = CHECKERS[checker]
    expected = expected_errors(BAD)
    assert len(expected) >= 10
    found = reports(BAD, tmp_path)
    unexpected = {line: codes for line, codes in found.items() if line not in expected}
    missing = {line: codes[column] for line, codes in expected.items()
               if codes[column] not in found.get(line, set())}
    assert unexpected == {} and missing == {}


@pytest.mark.parametrize("module", MODULES)
def test_stubs_match_the_module(module):
    require("mypy")
    installed_stubs(module)
    # The allowlist names typing-only names of fieldpack's stubs.
    allowlist = (["--allowlist", str(HERE / "stubtest-allowlist.txt")]
                 if module == "fieldpack" else [])
    result = run(["-m", "mypy.stubtest", *allowlist, module])
    assert result.returncode == 0, result.stdout + result.stderr


def stub_docstrings():
    tree = ast.parse(stub_file().read_text(encoding="utf-8"))
    return {node.name: ast.get_docstring(node, clean=True) or ""
            for node in tree.body if isinstance(node, ast.FunctionDef)}


def test_every_function_has_a_docstring_with_an_example():
    docstrings = stub_docstrings()
    assert sorted(docstrings) == sorted(fieldpack.__all__)
    lacking = [name for name, text in docstrings.items()
               if not re.search(rf"^\s*>>> .*fieldpack\.{name}\(", text, re.MULTILINE)]
    assert lacking == []


@pytest.mark.parametrize("name", fieldpack.__all__)
def test_docstring_examples_run(name):
    text = stub_docstrings()[name]
    parser = doctest.DocTestParser()
    test = parser.get_doctest(text, {"fieldpack": fieldpack}, name, str(stub_file()), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    output = []
    runner.run(test, out=output.append)
    assert runner.tries > 0 and runner.failures == 0, "".join(output)


def stub_signature(node):
    """The text signature a stub function declares, as inspect.signature prints it."""
    arguments = node.args
    defaults = [None] * (len(arguments.args) - len(arguments.defaults)) + arguments.defaults
    parts = [argument.arg if default is None else f"{argument.arg}={ast.literal_eval(default)!r}"
             for argument, default in zip(arguments.args, defaults)]
    assert not (arguments.posonlyargs or arguments.kwonlyargs or arguments.vararg
                or arguments.kwarg)
    return "(" + ", ".join(parts) + ")"


def test_stub_signatures_match_the_module():
    # What stubtest checks, done here too so that interpreters without mypy's stubtest (PyPy
    # lacks the symtable module it needs) compare their own module with the stubs.
    import inspect

    tree = ast.parse(stub_file().read_text(encoding="utf-8"))
    declared = {node.name: stub_signature(node) for node in tree.body
                if isinstance(node, ast.FunctionDef)}
    actual = {name: str(inspect.signature(getattr(fieldpack, name))) for name in fieldpack.__all__}
    assert declared == actual


def layout_stub_tree():
    return ast.parse(stub_file("fieldpack_layout").read_text(encoding="utf-8"))


def test_layout_docstring_examples_run():
    tree = layout_stub_tree()
    texts = [ast.get_docstring(tree)] + [ast.get_docstring(node) for node in ast.walk(tree)
                                         if isinstance(node, (ast.ClassDef, ast.FunctionDef))]
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    output = []
    for number, text in enumerate(t for t in texts if t):
        test = parser.get_doctest(text, {"Layout": fieldpack_layout.Layout,
                                         "Stream": fieldpack_layout.Stream}, str(number),
                                  str(stub_file("fieldpack_layout")), 0)
        runner.run(test, out=output.append)
    assert runner.tries >= 8 and runner.failures == 0, "".join(output)


def test_ccsds_docstring_examples_run():
    path = stub_file("fieldpack_layout").parent / "ccsds.pyi"
    tree = ast.parse(path.read_text(encoding="utf-8"))
    texts = [ast.get_docstring(node) for node in ast.walk(tree)
             if isinstance(node, ast.FunctionDef)]
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    output = []
    for number, text in enumerate(t for t in texts if t):
        runner.run(parser.get_doctest(text, {}, str(number), str(path), 0), out=output.append)
    assert runner.tries >= 2 and runner.failures == 0, "".join(output)


def layout_stub_signature(node):
    """A stub method's signature as inspect.signature prints it for the bound method."""
    arguments = node.args
    plain = arguments.args[1:]  # without self
    defaults = [None] * (len(plain) - len(arguments.defaults)) + arguments.defaults
    parts = [a.arg if d is None else f"{a.arg}={ast.literal_eval(d)!r}"
             for a, d in zip(plain, defaults)]
    if arguments.kwonlyargs:
        parts.append("*")
        parts += [a.arg if d is None else f"{a.arg}={ast.literal_eval(d)!r}"
                  for a, d in zip(arguments.kwonlyargs, arguments.kw_defaults)]
    return "(" + ", ".join(parts) + ")"


def test_stream_stub_signatures_match_the_module():
    import inspect

    if getattr(fieldpack_layout.Stream.split, "__text_signature__", None) is None:
        pytest.skip("this host keeps no text signatures for methods of extension types (PyPy)")

    stream_class = next(node for node in layout_stub_tree().body
                        if isinstance(node, ast.ClassDef) and node.name == "Stream")
    declared, properties = {}, set()
    for node in stream_class.body:
        if not isinstance(node, ast.FunctionDef) or node.name.startswith("_"):
            continue
        if any(isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list):
            properties.add(node.name)
        else:
            declared.setdefault(node.name, layout_stub_signature(node))
    layout = fieldpack_layout.Layout([{"name": "k", "encoding": "unsigned", "bits": 8,
                                       "byte_order": "big", "reverse_bits": False}])
    stream = fieldpack_layout.Stream(layout, key="k", layouts={}, size=1)
    assert declared == {name: str(inspect.signature(getattr(stream, name))) for name in declared}
    public = {name for name in dir(stream) if not name.startswith("_")}
    assert public == set(declared) | properties


def test_layout_stub_signatures_match_the_module():
    import inspect

    if getattr(fieldpack_layout.Layout.unpack, "__text_signature__", None) is None:
        pytest.skip("this host keeps no text signatures for methods of extension types (PyPy)")

    layout_class = next(node for node in layout_stub_tree().body
                        if isinstance(node, ast.ClassDef) and node.name == "Layout")
    declared = {}
    for node in layout_class.body:
        is_property = isinstance(node, ast.FunctionDef) and any(
            isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list)
        if (isinstance(node, ast.FunctionDef) and not node.name.startswith("_")
                and not is_property):
            # Of overloads, the first: they differ in types, not in names or defaults.
            declared.setdefault(node.name, layout_stub_signature(node))
    layout = fieldpack_layout.Layout([])
    actual = {name: str(inspect.signature(getattr(layout, name))) for name in declared}
    assert declared == actual
    public = {name for name in dir(layout) if not name.startswith("_")}
    properties = {node.name for node in layout_class.body if isinstance(node, ast.FunctionDef)
                  and node.name not in declared and not node.name.startswith("_")}
    assert public == set(declared) | properties
