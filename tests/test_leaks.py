"""No reference and no memory is lost on the error paths of the packet functions and the codecs.

Each scenario builds its arguments once (hostile objects that raise, or plain ones that fail) and
calls the function many times in a child process, so that a scenario that crashes fails its test
instead of ending the run. On CPython the reference counts of every argument and of everything
inside it must be what they were, and the interpreter's allocated blocks must not grow with the
number of calls; on both hosts the resident memory must not grow by more than a bound that a
leak of one small object per call would exceed. FIELDPACK_LEAK_CALLS sets the calls per scenario
for the memory check (default 50000).
"""
import json
import os
import subprocess
import sys

import pytest

import hostile

CPYTHON = sys.implementation.name == "cpython"
EMULATED = os.environ.get("FIELDPACK_HYPOTHESIS_PROFILE") == "emulated"
WINDOW = int(os.environ.get("FIELDPACK_LEAK_CALLS", "1000" if EMULATED else "25000"))
WINDOWS = 10
# A leak of one 64-byte object per call, halved for the allocator's slack.
RSS_BOUND = max(1 << 20, WINDOW * 32)
FRESH_CALLS = 300 if EMULATED else 3000
# AddressSanitizer holds freed memory in quarantine, so resident memory grows without a leak.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

FIELD = ("{'name': 'p', 'encoding': 'unsigned', 'bits': 8, 'byte_order': 'big', "
         "'reverse_bits': False}")

SCENARIOS = {
    # Inside the engines: wrapped failures, and the exceptions that pass through.
    "index-raises": f"e = dict({FIELD}, bits=Index(8, Raise('hostile')))\n"
                    "call = ('unpack_parameters', (b'\\x01', 0, [e]))",
    "bool-raises": f"e = dict({FIELD}, reverse_bits=NumpyBool(True, Raise('hostile')))\n"
                   "call = ('pack_parameters', ([e], {'p': 1}))",
    "bool-not-bool": f"e = dict({FIELD}, reverse_bits=NumpyBool(1))\n"
                     "call = ('unpack_parameters', (b'\\x01', 0, [e]))",
    "key-eq-raises": f"e = {{Collide('encoding', False, Raise('hostile')): 1}}\ne.update({FIELD})\n"
                     "call = ('unpack_parameters', (b'\\x01', 0, [e]))",
    "values-key-eq-raises": f"v = {{Collide('p', False, Raise('hostile')): 1, 'p': 3}}\n"
                            f"call = ('pack_parameters', ([{FIELD}], v))",
    "value-index-raises": f"call = ('pack_parameters', ([{FIELD}], {{'p': Index(1, Raise('value'))}}))",
    "value-float-raises": f"e = dict({FIELD}, encoding='ieee754_f64', bits=64)\n"
                          "call = ('pack_parameters', ([e], {'p': Flt(1.0, Raise('hostile'))}))",
    "unprintable": f"e = dict({FIELD}, bits=Index(8, Raise('badstr')))\n"
                   "call = ('unpack_parameters', (b'\\x01', 0, [e]))",
    "interrupt": f"e = dict({FIELD}, bits=Index(8, Raise('interrupt')))\n"
                 "call = ('pack_parameters', ([e], {'p': 1}))",
    "memory-error": f"e = dict({FIELD}, bits=Index(8, Raise('memory')))\n"
                    "call = ('unpack_parameters', (b'\\x01', 0, [e]))",
    "missing-key": "call = ('unpack_parameters', (b'\\x01', 0, [{'name': 'p'}]))",
    "missing-value": f"call = ('pack_parameters', ([{FIELD}], {{}}))",
    "bad-byte-order": f"e = dict({FIELD}, byte_order=StrSub('middle'))\n"
                      "call = ('pack_parameters', ([e], {'p': 1}))",
    "too-large": f"call = ('pack_parameters', ([{FIELD}], {{'p': IntSub(256)}}))",
    "window-past-end": f"call = ('unpack_parameters', (b'', 0, [{FIELD}]))",
    "codec-failure": f"e = dict({FIELD}, encoding='utf32', bits=24)\n"
                     "call = ('unpack_parameters', (b'abc', 0, [e]))",
    "not-a-dict": "call = ('pack_parameters', ([['name']], {}))",
    # Argument conversion.
    "recipe-len-raises": f"r = ListSub('ok', Raise('hostile'))\nfill(r, [{FIELD}])\n"
                         "call = ('unpack_parameters', (b'\\x01', 0, r))",
    "recipe-iteration-raises": f"r = SeqGet('ok', None, Raise('hostile'))\n"
                               f"fill(r, [{FIELD}, {FIELD}])\n"
                               "call = ('unpack_parameters', (b'\\x01', 0, r))",
    "offset-index-raises": "call = ('unpack_parameters', (b'', Index(0, Raise('type')), []))",
    "bytes-cast": "call = ('decode_utf8', (bytearray(b'x'),))",
    "bool-cast": "call = ('decode_packed_bcd', (0x12, 8, NumpyBoolBare()))",
    # Codecs.
    "codec-float-raises": "call = ('encode_ieee754_f32', (Flt(1.0, Raise('hostile')),))",
    "codec-index-raises": "call = ('encode_twos_complement', (Index(1, Raise('overflow')), 8))",
    "codec-value-error": "call = ('encode_packed_bcd', (IntSub(1000), 8))",
    "codec-reserved": "call = ('decode_ti_f40', (Index(1),))",
    "codec-surrogate": "call = ('encode_utf8', (StrSub('\\ud800'),))",
    # And two that succeed, with hostile but well-behaved objects.
    "unpack-ok": f"e = dict({FIELD}, bits=Index(8), reverse_bits=NumpyBool(True), "
                 "name=StrSub('p'))\ncall = ('unpack_parameters', (BytesSub(b'\\x01'), 0, [e]))",
    "pack-ok": f"e = dict({FIELD}, encoding='ieee754_f32', bits=32)\n"
               "call = ('pack_parameters', ((e,), {'p': FltIdx(2)}))",
    # More encodings and byte orders than a call remembers, the module's own interned names
    # alternating with equal texts in other strs, so remembered slots of each kind replace
    # each other.
    "remembered-mix-unpack": "r = mixed_names_recipe()\n"
                             "call = ('unpack_parameters', (bytes(len(r)), 0, r))",
    "remembered-mix-pack": "r = mixed_names_recipe()\n"
                           "call = ('pack_parameters', (r, {e['name']: 0 for e in r}))",
}

CHILD = r'''
import gc, json, sys
sys.path.insert(0, TESTS)
import fieldpack, hostile
from hostile import *

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE

def settle():
    # PyPy frees what C code held only over a few collections with calls into C between them.
    for _ in range(8):
        gc.collect()
        fieldpack.decode_utf8(b"")

def contents(obj, seen):
    """The argument and everything reachable inside it that the call may touch."""
    if id(obj) in seen:
        return
    seen[id(obj)] = obj
    if isinstance(obj, dict):
        for k, v in list(dict.items(obj)):
            contents(k, seen); contents(v, seen)
    elif isinstance(obj, (list, tuple)):
        for item in list(obj) if not isinstance(obj, list) else list.copy(obj):
            contents(item, seen)
    elif isinstance(obj, SeqGet):
        contents(obj.items, seen)
    for name in ("value", "act"):
        if hasattr(type(obj), "__dict__") and name in getattr(obj, "__dict__", {}):
            contents(obj.__dict__[name], seen)

out = {}
for name, source in json.load(sys.stdin).items():
    ns = {}
    exec("from hostile import *\n" + source, ns)
    fn_name, args = ns["call"]
    fn = getattr(fieldpack, fn_name)
    def call(n):
        hostile.arm()
        for _ in range(n):
            try:
                fn(*args)
            except BaseException:
                pass
        hostile.arm(False)
    result = {}
    call(200)
    if hasattr(sys, "getrefcount"):
        seen = {}
        contents(args, seen)
        # Small ints, None, the bools and interned strings are shared by the whole interpreter:
        # their counts move with everything else that runs.
        objs = [o for o in seen.values()
                if o is not args and type(o) not in (int, bool, float, type(None))
                and not (type(o) is str and sys.intern(o) is o)]
        before = [sys.getrefcount(o) for o in objs]
        call(REFCALLS)
        after = [sys.getrefcount(o) for o in objs]
        result["refs"] = [[repr(o)[:60], a - b] for o, a, b in zip(objs, after, before) if a != b]
        gc.collect()
        blocks = sys.getallocatedblocks()
        call(REFCALLS)
        gc.collect()
        result["blocks"] = sys.getallocatedblocks() - blocks
    code = compile("from hostile import *\n" + source, "<scenario>", "exec")
    settle()
    live = hostile._LIVE[0]
    for _ in range(FRESH):
        fresh = {}
        exec(code, fresh)
        hostile.arm()
        try:
            fn(*fresh["call"][1])
        except BaseException:
            pass
        hostile.arm(False)
        del fresh
    settle()
    result["alive"] = hostile._LIVE[0] - live
    gc.collect()
    start = rss()
    result["rss"] = []
    for _ in range(WINDOWS):
        call(WINDOW)
        gc.collect()
        now = rss()
        result["rss"].append(now - start)
        start = now
        if result["rss"][-1] < BOUND:
            break
    out[name] = result
    print(json.dumps({name: result}), flush=True)
'''


@pytest.fixture(scope="module")
def measured():
    if not os.path.exists("/proc/self/statm"):
        pytest.skip("resident memory is read from /proc")
    code = (CHILD.replace("TESTS", repr(hostile.TESTS_DIR))
            .replace("PAGE", str(os.sysconf("SC_PAGE_SIZE")))
            .replace("REFCALLS", "2000").replace("FRESH", str(FRESH_CALLS))
            .replace("WINDOWS", str(WINDOWS)).replace("WINDOW", str(WINDOW))
            .replace("BOUND", str(RSS_BOUND)))
    command = hostile.child_command()[:-2] + ["-c", code]
    try:
        proc = subprocess.run(command, input=json.dumps(SCENARIOS), capture_output=True,
                              text=True, timeout=3000)
    except OSError as error:
        pytest.skip(f"cannot run a child interpreter: {error}")
    results = {}
    for line in proc.stdout.splitlines():
        results.update(json.loads(line))
    results["<exit>"] = (proc.returncode, proc.stderr[-2000:])
    return results


def _result(measured, name):
    if name not in measured:
        code, stderr = measured["<exit>"]
        pytest.fail(f"the child died (exit status {code}) in or before this scenario:\n{stderr}")
    return measured[name]


@pytest.mark.skipif(not CPYTHON, reason="reference counts are CPython's")
@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_arguments_keep_their_reference_counts(measured, name):
    result = _result(measured, name)
    assert result["refs"] == []
    # 2000 calls: a new object kept per call would add at least 2000 blocks.
    assert result["blocks"] < 1000, result


@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_objects_of_each_call_are_freed(measured, name):
    result = _result(measured, name)
    assert result["alive"] < FRESH_CALLS // 3, result


@pytest.mark.skipif(SANITIZED, reason="freed memory sits in the sanitizer's quarantine")
@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_resident_memory_stops_growing(measured, name):
    result = _result(measured, name)
    assert min(result["rss"]) < RSS_BOUND, result
