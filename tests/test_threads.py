"""Calls from 8 threads at once give what the same calls give one after another.

The calls share their arguments across threads; the hooks of those arguments (an __index__, a
numpy-style __bool__, a value's __float__, a colliding key's __eq__) give the interpreter lock
away in the middle of a call, so other threads run the same functions while a call is suspended
inside the module. Successes, wrapped failures and argument errors alike must match the serial
run. The threads run in a child process, so that a crash fails the test instead of the run.
"""
import json
import os
import subprocess

import pytest

import hostile

EMULATED = os.environ.get("FIELDPACK_HYPOTHESIS_PROFILE") == "emulated"
ROUNDS = 3 if EMULATED else 40

CHILD = r'''
import json, random, sys, threading, time
sys.path.insert(0, TESTS)
import fieldpack
from hostile import *

class Yield(Index):
    """Gives the interpreter lock away, then answers."""
    def __index__(self):
        time.sleep(0)
        return self.value

class YieldFloat(Flt):
    def __float__(self):
        time.sleep(0)
        return self.value

def yielding_bool(value):
    return NumpyBool(value, None)

class YieldKey(Collide):
    def __eq__(self, other):
        time.sleep(0)
        return self.eq

    __hash__ = Collide.__hash__

def field(name, encoding, bits, order="big", reverse=False, **extra):
    entry = {YieldKey("encoding"): 0, "name": name, "encoding": encoding, "bits": bits,
             "byte_order": order, "reverse_bits": reverse}
    entry.update(extra)
    return entry

recipe = [
    field("a", "unsigned", Yield(12), reverse=yielding_bool(True)),
    field("b", "twos_complement", 16, StrSub("little")),
    field("c", "ieee754_f32", Yield(32)),
    field("d", "utf8", 24, offset_bits=Yield(64)),
    field("e", "packed_bcd_signed", 12),
]
values = {"a": Yield(0xABC), "b": Yield(-2), "c": YieldFloat(1.5), "d": StrSub("hé"),
          "e": Yield(-12)}
packet = fieldpack.pack_parameters(recipe, values)

calls = [
    ("pack_parameters", (recipe, values)),
    ("unpack_parameters", (packet, 0, recipe)),
    ("unpack_parameters", (BytesSub(packet + b"\x00"), Yield(0), tuple(recipe))),
    ("pack_parameters", (recipe, {"a": 1})),                        # a missing value
    ("pack_parameters", (recipe, dict(values, a=Yield(1 << 12)))),  # too large
    ("unpack_parameters", (packet[:3], 0, recipe)),                  # past the packet's end
    ("unpack_parameters", (packet, 0, [field("x", "bogus", Yield(8))])),
    ("unpack_parameters", (packet, 0, [field("x", "ti_f32", 32)])),
    ("pack_parameters", ([field("x", "unsigned", Yield(8), reverse=1)], {"x": 1})),
    ("unpack_parameters", (packet, Yield(-1), recipe)),              # argument error
    ("pack_parameters", ("recipe", values)),                          # argument error
    ("encode_ieee754_f16", (YieldFloat(0.1),)),
    ("decode_packed_bcd", (Yield(0x123D), Yield(16), yielding_bool(True))),
    ("encode_unpacked_bcd", (Yield(-42), 16, True)),
    ("encode_sign_magnitude", (Yield(1 << 40), 8)),
    ("decode_windows_1252", (BytesSub(b"\x80\x81"),)),
    ("encode_us_ascii", (StrSub("\xe9"),)),
    ("decode_ieee754_f128", (Yield(0x3FFF << 112),)),
]

def outcome(name, args):
    try:
        value = getattr(fieldpack, name)(*args)
    except Exception as error:
        return [type(error).__qualname__, str(error)]
    return ["ok", repr(value)]

serial = [outcome(name, args) for name, args in calls]
arm()
sys.setswitchinterval(1e-6)
mismatches = []
errors = []
start = threading.Barrier(8)

def worker(seed):
    try:
        rng = random.Random(seed)
        order = list(range(len(calls)))
        start.wait()
        for _ in range(ROUNDS):
            rng.shuffle(order)
            for i in order:
                got = outcome(*calls[i])
                if got != serial[i]:
                    mismatches.append([seed, calls[i][0], i, got, serial[i]])
    except BaseException as error:
        errors.append(repr(error))

threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(8)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
print(json.dumps({"calls": 8 * ROUNDS * len(calls), "serial": serial,
                  "mismatches": mismatches[:10], "count": len(mismatches), "errors": errors}))
'''


def test_eight_threads_agree_with_serial_calls():
    code = CHILD.replace("TESTS", repr(hostile.TESTS_DIR)).replace("ROUNDS", str(ROUNDS))
    command = hostile.child_command()[:-2] + ["-c", code]
    try:
        proc = subprocess.run(command, capture_output=True, text=True, timeout=1800)
    except OSError as error:
        pytest.skip(f"cannot run a child interpreter: {error}")
    assert proc.returncode == 0, f"the child ended with {proc.returncode}:\n{proc.stderr[-3000:]}"
    result = json.loads(proc.stdout.splitlines()[-1])
    assert result["errors"] == []
    assert result["count"] == 0, result["mismatches"]
    # The serial run went through successes as well as failures of every kind.
    kinds = {entry[0] for entry in result["serial"]}
    assert {"ok", "ValueError", "TypeError", "OverflowError"} <= kinds, result["serial"]
