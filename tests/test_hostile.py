"""Hostile callers: a bounded share of the seeded torture run of tests/hostile.py, the runner's own
crash handling, and the shapes that broke the packet functions, each with its defined outcome.

Every call here runs in a child process: a call that crashes the interpreter fails its test
instead of ending the run. FIELDPACK_HOSTILE_CALLS sets the size of the share (default 10000,
300 under emulation), FIELDPACK_HOSTILE_SEED its seed. The full run is
`python3 tests/hostile.py --calls 100000 --seed 1 --jobs 2`.
"""
import json
import os
import shlex
import subprocess
import sys

import pytest

import fieldpack
import hostile

EMULATED = os.environ.get("FIELDPACK_HYPOTHESIS_PROFILE") == "emulated"
CALLS = int(os.environ.get("FIELDPACK_HOSTILE_CALLS", "300" if EMULATED else "10000"))
SEED = int(os.environ.get("FIELDPACK_HOSTILE_SEED", "20240611"))
PYPY = sys.implementation.name == "pypy"


@pytest.fixture(scope="module")
def children():
    """Skips where this interpreter cannot start a copy of itself (as under some emulators)."""
    results, death = hostile.run_jobs([], timeout=120)
    if death is not None:
        pytest.skip(f"cannot run a child interpreter: {death['what']}")


def outcome(source):
    (result,) = hostile.run_snippets([source])
    return result


# ---------------------------------------------------------------------------------------------
# The generator and the runner

def test_the_generator_knows_every_function():
    assert sorted(hostile.SIGNATURES) == sorted(fieldpack.__all__)
    names = {hostile.make_case(1, i).split("'")[1] for i in range(3000)
             if hostile.make_case(1, i).startswith("fn")}
    assert names == set(fieldpack.__all__) - {"pack_parameters", "unpack_parameters"}


def test_a_case_is_the_same_text_for_the_same_seed_and_index():
    assert hostile.make_case(7, 11) == hostile.make_case(7, 11)
    assert len({hostile.make_case(7, i) for i in range(50)}) == 50


CRASH = "import os, signal\nos.kill(os.getpid(), signal.SIGSEGV)\n"
PLAIN = "fn, args, kwargs = 'decode_utf8', (b'ok',), {}"


def test_a_batch_that_dies_is_rerun_and_blames_its_one_crashing_case(children):
    report = hostile.Report()
    jobs = [{"source": PLAIN}, {"source": CRASH + PLAIN}, {"source": PLAIN},
            {"source": "fn, args, kwargs = 'decode_utf8', (bytearray(),), {}"}]
    hostile.run_batch(jobs, ["first", "second", "third", "fourth"], report)
    crashes = report.failures["crash"]
    assert [item["label"] for item in crashes] == ["second"]
    assert crashes[0]["source"] == CRASH + PLAIN
    assert sum(report.counts().values()) == 1  # the cases around it were judged, and passed


def test_a_wrong_result_is_reported_not_passed(children):
    # A module function replaced by one that leaves its dict half-built.
    source = ("import fieldpack\nfieldpack.unpack_parameters = lambda *a: {'partial': 1}\n"
              "fn, args = 'unpack_parameters', (b'\\x01', 0, "
              "[{'name': 'a', 'encoding': 'unsigned', 'bits': 8, 'byte_order': 'big', "
              "'reverse_bits': False}])")
    report = hostile.Report()
    hostile.run_batch([{"source": source}], ["patched"], report)
    assert [item["label"] for item in report.failures["mismatch"]] == ["patched"]


@pytest.mark.skipif(PYPY, reason="objects that outlive a call are counted on CPython")
def test_a_reference_kept_by_each_call_is_reported_as_a_leak(children):
    # Stands for a module that forgets to release what a hook gave it.
    source = ("import hostile\nclass Kept(Index):\n    def __index__(self):\n"
              "        hostile.__dict__.setdefault('KEPT', []).append(self)\n        return 8\n"
              "e = {'name': 'a', 'encoding': 'unsigned', 'bits': Kept(8), 'byte_order': 'big', "
              "'reverse_bits': False}\nfn, args = 'unpack_parameters', (b'\\x01', 0, [e])")
    report = hostile.Report()
    hostile.run_batch([{"source": source}], ["kept"], report)
    assert [item["label"] for item in report.failures["leak"]] == ["kept"]


def test_torture_share(children):
    report = hostile.run(CALLS, SEED)
    assert report.ok(), "\n" + report.text(limit=3)


# ---------------------------------------------------------------------------------------------
# Shapes that broke the packet functions. Each source builds `fn` and `args`; the hostile objects
# act only once armed, just before the call. Names are made at run time so that the field
# definition holds their only reference.

def entry(bits="8", reverse="False", extra=""):
    return ("e = {}\n" + extra +
            "e['name'] = ''.join(['p', '0'])\n"
            "e['encoding'] = ''.join(['unsi', 'gned'])\n"
            f"e['bits'] = {bits}\n"
            "e['byte_order'] = StrSub(''.join(['bi', 'g']))\n"
            f"e['reverse_bits'] = {reverse}\n")


def unpack(packet=b"\x01\x02"):
    return f"fn, args = 'unpack_parameters', ({packet!r}, 0, [e])"


def pack(value="1"):
    return f"fn, args = 'pack_parameters', ([e], {{'p0': {value}}})"


def ok(value):
    return {"ok": hostile.canon(value)}


def wrapped(text):
    return {"raise": "ValueError", "text": text}


def missing(key):
    return wrapped(f"KeyError: \"Recipe missing required field: '{key}'\"")


CLEARING_BOOL = "NumpyBool(True, Clear(e))"

SHAPES = [
    # A numpy-style bool whose __bool__ empties its own field definition, "bits" by __index__:
    # every key but "offset_bits" was read before, and "offset_bits" is then absent.
    ("bool-clears-entry-unpack", entry("Index(8)", CLEARING_BOOL) + unpack(), ok({"p0": 0x80})),
    ("bool-clears-entry-pack", entry("Index(8)", CLEARING_BOOL) + pack(), ok(b"\x80")),
    ("bool-clears-offset-unpack",
     entry("Index(8)", CLEARING_BOOL, "e['offset_bits'] = Index(8)\n") + unpack(),
     ok({"p0": 0x80})),
    # Packing sized the packet with the offset; placement no longer finds it.
    ("bool-clears-offset-pack",
     entry("Index(8)", CLEARING_BOOL, "e['offset_bits'] = Index(8)\n") + pack(),
     ok(b"\x80\x00")),
    # An __index__ of "bits" that empties the field definition: later keys are missing.
    ("index-clears-entry-unpack", entry("Index(8, Clear(e))") + unpack(), missing("byte_order")),
    ("index-clears-entry-pack", entry("Index(8, Clear(e))") + pack(), missing("name")),
    # An __index__ that replaces the byte order (whose old str only the dict held).
    ("index-replaces-byte-order-unpack",
     entry("Index(16, Put(e, 'byte_order', ''.join(['lit', 'tle'])))") + unpack(),
     ok({"p0": 0x0201})),
    ("index-replaces-byte-order-pack",
     entry("Index(16, Put(e, 'byte_order', ''.join(['lit', 'tle'])))") + pack("0x0102"),
     ok(b"\x02\x01")),
    ("index-grows-entry-unpack", entry("Index(8, Grow(e))") + unpack(), ok({"p0": 1})),
    ("bool-removes-name-unpack", entry("8", "NumpyBool(False, Pop(e, 'name'))") + unpack(),
     ok({"p0": 1})),
    # The value's own __index__ empties the values and the field definition after both were
    # read: the field is packed, the next one has lost its value.
    ("value-index-clears-values",
     "values = {}\n" + entry() +
     "f = dict(e, name='q')\nvalues['p0'] = Index(5, Then(Clear(values), Clear(e)))\n"
     "values['q'] = 6\nfn, args = 'pack_parameters', ([e, f], values)",
     wrapped("KeyError: \"Missing value for parameter: 'q'\"")),
    ("value-index-clears-its-entry",
     "values = {}\n" + entry() + "values['p0'] = Index(5, Clear(e))\n"
     "fn, args = 'pack_parameters', ([e], values)", ok(b"\x05")),
    # A key of the values dict whose hash is the name's and whose __eq__ empties the dict.
    ("values-key-collides-and-clears",
     "values = {}\nvalues[Collide('p0', False, Clear(values))] = 0\n" + entry() +
     "values['p0'] = 1\nfn, args = 'pack_parameters', ([e], values)",
     wrapped("KeyError: \"Missing value for parameter: 'p0'\"")),
    # A key that claims to equal the name is the name's value.
    ("values-key-collides-and-equals",
     "values = {Collide('p0', True): 7}\n" + entry() +
     "fn, args = 'pack_parameters', ([e], values)", ok(b"\x07")),
    # The failing length of a recipe is ignored; the recipe is still iterated.
    ("recipe-len-raises-list", entry() + "r = ListSub('ok', Raise('hostile'))\nfill(r, [e])\n"
     "fn, args = 'unpack_parameters', (b'\\x01', 0, r)", ok({"p0": 1})),
    ("recipe-len-negative", entry() + "r = SeqGet('neg')\nfill(r, [e])\n"
     "fn, args = 'pack_parameters', (r, {'p0': 3})", ok(b"\x03")),
    ("recipe-len-not-an-int", entry() + "r = ListSub('str')\nfill(r, [e])\n"
     "fn, args = 'unpack_parameters', (b'\\x01', 0, r)", ok({"p0": 1})),
    ("recipe-tuple-len-raises", entry() + "fn, args = 'unpack_parameters', "
     "(b'\\x01', 0, TupleSub((e,)))", ok({"p0": 1})),
    # Iteration that raises is the conversion's own failure: not wrapped.
    ("recipe-iteration-raises", entry() + "r = ListSub('ok', None, Raise('hostile'))\n"
     "fill(r, [e, e])\nfn, args = 'unpack_parameters', (b'\\x01', 0, r)",
     {"raise": "HostileError", "text": "arg.recipe.__iter__"}),
    # Exceptions inside the engine: wrapped with their qualified name, except those that pass.
    ("index-raises-exception", entry("Index(8, Raise('hostile'))") + unpack(),
     wrapped("HostileError: value.__index__")),
    ("index-raises-nested-class", entry("Index(8, Raise('nested'))") + unpack(),
     wrapped("Outer.Inner: value.__index__")),
    ("index-raises-unprintable", entry("Index(8, Raise('badstr'))") + unpack(),
     wrapped("BadStr: <exception str() failed>")),
    ("index-raises-interrupt", entry("Index(8, Raise('interrupt'))") + unpack(),
     {"raise": "KeyboardInterrupt", "text": "value.__index__"}),
    ("index-raises-exit", entry("Index(8, Raise('exit'))") + pack(),
     {"raise": "SystemExit", "text": "value.__index__"}),
    ("index-raises-memory", entry("Index(8, Raise('memory'))") + pack(),
     {"raise": "MemoryError", "text": "value.__index__"}),
    ("bool-raises-base-exception", entry("8", "NumpyBool(True, Raise('base'))") + unpack(),
     {"raise": "HostileBase", "text": "value.__bool__"}),
    ("bool-returns-int", entry("8", "NumpyBool(1)") + unpack(),
     wrapped("TypeError: 'bool_' object cannot be cast as 'bool'")),
    ("bool-without-dunder", entry("8", "NumpyBoolBare()") + unpack(),
     wrapped("TypeError: object of type 'bool_' does not define a '__bool__' conversion")),
    # Floats: what float() takes by __float__ or __index__, never a str.
    ("pack-f64-by-index",
     "e = {'name': 'x', 'encoding': 'ieee754_f64', 'bits': 64, 'byte_order': 'big', "
     "'reverse_bits': False}\nfn, args = 'pack_parameters', ([e], {'x': FltIdx(3)})",
     ok(b"\x40\x08" + bytes(6))),
    ("pack-f32-by-float",
     "e = {'name': 'x', 'encoding': 'ieee754_f32', 'bits': 32, 'byte_order': 'big', "
     "'reverse_bits': False}\nfn, args = 'pack_parameters', ([e], {'x': Flt(1.5)})",
     ok(b"\x3f\xc0\x00\x00")),
    ("encode-f64-by-index", "fn, args = 'encode_ieee754_f64', (FltIdx(3),)",
     ok(0x4008000000000000)),
    ("encode-f16-by-index", "fn, args = 'encode_ieee754_f16', (FltIdx(-2),)", ok(0xC000)),
    ("encode-reserved-by-index", "fn, args = 'encode_ti_f32', (FltIdx(1),)",
     {"raise": "NotImplementedError", "text": "TI f32 encoding not yet implemented"}),
]

# The same field definition with an extra key whose hash is that of one of the six names and
# whose __eq__ empties the definition: that key's lookup, and every later one, finds nothing.
for key, unpack_expected, pack_expected in [
        ("name", missing("name"), missing("name")),
        ("encoding", missing("encoding"), missing("encoding")),
        ("bits", missing("bits"), missing("bits")),
        ("byte_order", missing("byte_order"), missing("byte_order")),
        ("reverse_bits", missing("reverse_bits"), missing("reverse_bits")),
        # Read last: the field has every other key and no offset. Packing looks it up in its
        # sizing walk already, so the placement walk finds an empty definition.
        ("offset_bits", ok({"p0": 1}), missing("name"))]:
    extra = f"e[Collide({key!r}, False, Clear(e))] = 1\n"
    SHAPES.append((f"collide-{key}-unpack", entry(extra=extra) + unpack(), unpack_expected))
    SHAPES.append((f"collide-{key}-pack", entry(extra=extra) + pack(), pack_expected))


# PyPy asks a tuple subclass for its length when it converts it into a C function's argument,
# before the module runs, so the module cannot ignore a failing one there.
HOST_LENGTH = pytest.mark.skipif(sys.implementation.name == "pypy",
                                 reason="PyPy calls a tuple subclass's __len__ at the call")


@pytest.mark.parametrize("source, expected", [
    pytest.param(s, e, id=i, marks=[HOST_LENGTH] if i == "recipe-tuple-len-raises" else [])
    for i, s, e in SHAPES])
def test_hostile_shape(children, source, expected):
    got = outcome(source)
    got.pop("forbidden", None)
    assert got == expected, hostile.reproducer(source)


HOOKED = ("{name} = {cls}(raising=True)\n"
          "for k, v in dict(name='p0', encoding='unsigned', bits=8, byte_order='big', "
          "reverse_bits=False).items():\n    dict.__setitem__({name}, k, v)\n")


@pytest.mark.parametrize("source, value", [
    (HOOKED.format(name="e", cls="Entry") + "fn, args = 'unpack_parameters', (b'\\x07', 0, [e])",
     {"p0": 7}),
    (HOOKED.format(name="e", cls="Entry") + "fn, args = 'pack_parameters', ([e], {'p0': 7})",
     b"\x07"),
    ("v = Values(raising=True)\ndict.__setitem__(v, 'p0', 7)\n"
     "fn, args = 'pack_parameters', ([{'name': 'p0', 'encoding': 'unsigned', 'bits': 8, "
     "'byte_order': 'big', 'reverse_bits': False}], v)", b"\x07"),
], ids=["entry-unpack", "entry-pack", "values"])
def test_dict_subclass_hooks_play_no_part(children, source, value):
    """A field definition or values dict whose __len__, __getitem__, get, __contains__, keys,
    __iter__ and __missing__ raise is read from its own storage. PyPy itself asks __len__ when
    the object first reaches C code; there the call may fail, but only with that error."""
    got = outcome(source)
    forbidden = got.pop("forbidden", [])
    if PYPY and forbidden in (["Entry.__len__"], ["Values.__len__"]):
        assert got in ({"ok": hostile.canon(value)},
                       {"raise": "ValueError", "text": f"HostileError: {forbidden[0]}"},
                       {"raise": "HostileError", "text": forbidden[0]}), got
        return
    assert forbidden == [], got
    assert got == {"ok": hostile.canon(value)}


@pytest.mark.parametrize("source", [
    "fn, args = 'encode_ieee754_f64', ('1.5',)",
    "fn, args = 'encode_ieee754_f32', (StrSub('2'),)",
    "fn, args = 'encode_ieee754_f16', (b'1',)",
])
def test_float_conversion_refuses_text(children, source):
    got = outcome(source)
    assert got["raise"] == "TypeError" and got["text"].startswith("argument 'value': "), got


def test_packing_a_str_as_a_float_is_a_wrapped_type_error(children):
    got = outcome("e = {'name': 'x', 'encoding': 'ieee754_f64', 'bits': 64, 'byte_order': "
                  "'big', 'reverse_bits': False}\nfn, args = 'pack_parameters', ([e], "
                  "{'x': '1.5'})")
    assert got["raise"] == "ValueError" and got["text"].startswith("TypeError: "), got


# Recipe items whose __len__ raises, given three times over: PyPy asks a dict or tuple subclass
# for its length when it first hands the object to C code, and then holds a broken object, or
# hands a tuple's slot over empty, on the next call. The first call may fail with that error on
# PyPy; every call after it, and every call on CPython, ends as the recipe says.
REPEATED = """
import json, fieldpack
class D(dict):
    def __len__(self):
        raise ValueError('len')
class T(tuple):
    def __len__(self):
        raise ValueError('len')
entry = dict(name='a', encoding='unsigned', bits=8, byte_order='big', reverse_bits=False)
recipe = {recipe}
out = []
for _ in range(3):
    try:
        out.append(['ok', repr(fieldpack.{call})])
    except Exception as error:
        out.append([type(error).__name__, str(error)])
print(json.dumps(out))
"""
NOT_A_DICT = ["ValueError", "TypeError: 'T' object cannot be cast as 'dict'"]


@pytest.mark.parametrize("recipe, call, expected", [
    ("(D(entry),)", "unpack_parameters(b'\\x05', 0, recipe)", ["ok", "{'a': 5}"]),
    ("(entry, D(entry, name='b'))", "pack_parameters(recipe, {'a': 1, 'b': 2})",
     ["ok", "b'\\x01\\x02'"]),
    ("[T((1,))]", "unpack_parameters(b'\\x05', 0, recipe)", NOT_A_DICT),
    ("[entry, T((1,))]", "pack_parameters(recipe, {'a': 1})", NOT_A_DICT),
    ("(T((1,)),)", "unpack_parameters(b'\\x05', 0, recipe)", NOT_A_DICT),
], ids=["tuple-dict-unpack", "tuple-dict-pack", "list-tuple-unpack", "list-tuple-pack",
        "tuple-tuple-unpack"])
def test_items_whose_length_fails_never_crash_a_later_call(children, recipe, call, expected):
    command = shlex.split(os.environ.get("FIELDPACK_CHILD_PREFIX", "")) + [sys.executable, "-c"]
    proc = subprocess.run(command + [REPEATED.format(recipe=recipe, call=call)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    first, *later = json.loads(proc.stdout)
    assert later == [expected, expected]
    assert first == expected or (PYPY and first == ["ValueError", "len"]), first
