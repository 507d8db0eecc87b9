"""Hostile callers for fieldpack: a seeded generator of odd but legal calls, and a runner that
executes them in child processes so that a crash is reported instead of ending the run.

Every case is a short Python snippet built from the classes below: objects whose __index__,
__float__, __bool__, __eq__, __len__ or iteration run code that empties or changes the field
definition, the recipe or the values dictionary, or raises. A case is regenerated from
(seed, index) alone, so a failure is reproduced by `--case SEED:INDEX`, which prints the snippet.

Each call is judged twice:

* by its type: a packet function returns a dict or bytes, or raises an argument error (TypeError,
  OverflowError, or whatever the caller's own code raised while the arguments were converted),
  a ValueError "{type}: {text}" for anything that failed inside the engine, or one of the
  exceptions that pass through untouched (not an Exception, or a MemoryError); a codec returns
  its int, float, str or bytes or raises one of its documented exception types;
* against a reference walk written here in Python, which reads each key when the walk reaches it
  (so a key that the caller's code removed earlier is missing), converts values with the same
  hooks in the same order, and hands the plain values to the module's own codec functions. Where
  the wording of a message belongs to the interpreter or is not fixed (conversion messages,
  positions past the packet), only the exception types are compared.

On CPython every tenth case is also repeated to see whether the interpreter's allocated blocks
grow with the number of calls (a leak).

    python3 tests/hostile.py --calls 100000 --seed 1 [--jobs 2]
    python3 tests/hostile.py --case 1:4711            # the snippet of one case, then its verdict

It prints the number of calls and of failures by kind (crash, hang, pending exception, hook that
must not run, wrong wrapping, unexpected result, mismatch with the reference walk, leak) with
reproducers; --shrink N cuts the first N crash reproducers down, --json FILE keeps them all.
Run it with the interpreter whose module is to be tried (a PyPy venv, or a sanitizer build with
its runtime preloaded: children inherit the environment).
"""

import argparse
import gc
import json
import math
import operator
import os
import random
import shlex
import subprocess
import sys
import time
import warnings
from concurrent.futures import ThreadPoolExecutor

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))

__all__ = [
    "HostileError", "HostileBase", "BadStr", "Outer", "Nop", "Raise", "Clear", "Pop", "Put",
    "Grow", "Then", "Once", "Index", "Flt", "FltIdx", "Num", "IntSub", "FloatSub", "StrSub",
    "BytesSub", "NumpyBool", "NumpyBoolPlain", "NumpyBoolBare", "Collide", "Entry", "Values",
    "ListSub", "TupleSub", "SeqGet", "HollowDict", "HollowList", "HollowTuple", "fill",
    "mixed_names_recipe", "arm",
]


# ---------------------------------------------------------------------------------------------
# What the hostile objects raise and do

class HostileError(Exception):
    """Raised by the caller's own code; its text names the hook that raised it."""


class HostileBase(BaseException):
    """Not an Exception: must pass through every packet function untouched."""


class BadStr(Exception):
    def __str__(self):
        raise HostileError("BadStr.__str__")


class Outer:
    class Inner(Exception):
        """An exception whose qualified name has a dot."""


_RAISE = {
    "hostile": HostileError, "type": TypeError, "overflow": OverflowError, "value": ValueError,
    "key": KeyError, "memory": MemoryError, "interrupt": KeyboardInterrupt, "exit": SystemExit,
    "base": HostileBase, "badstr": BadStr, "nested": Outer.Inner,
}

# Hooks that must never run: dict storage is read without a subclass's hooks, bytes in place,
# and a str subclass's own methods play no part.
FORBIDDEN = []

# Acts do nothing while a case is being built (inserting a colliding key compares keys too); the
# runner arms them just before the call.
_armed = [False]


def arm(on=True):
    _armed[0] = on
    del FORBIDDEN[:]


_busy = [False]


def _quiet():
    """True while a case is built, or while an act runs (a dict operation of an act that meets
    a colliding key would otherwise run that key's act again, without end)."""
    return not _armed[0] or _busy[0]


class _Leaf:
    def __call__(self, role):
        if _quiet():
            return
        _busy[0] = True
        try:
            self.run(role)
        finally:
            _busy[0] = False


def _forbidden(where):
    if _armed[0]:
        FORBIDDEN.append(where)


class Nop:
    def __call__(self, role):
        pass


class Raise(_Leaf):
    def __init__(self, kind):
        self.kind = kind

    def run(self, role):
        raise _RAISE[self.kind](role)


class Clear(_Leaf):
    def __init__(self, target):
        self.target = target

    def run(self, role):
        if isinstance(self.target, SeqGet):
            self.target.items.clear()
        elif not isinstance(self.target, tuple):
            self.target.clear()


class Pop(_Leaf):
    def __init__(self, target, key):
        self.target, self.key = target, key

    def run(self, role):
        if isinstance(self.target, dict):
            dict.pop(self.target, self.key, None)
        elif isinstance(self.target, list) and list.__len__(self.target) > self.key:
            list.__delitem__(self.target, self.key)


class Put(_Leaf):
    def __init__(self, target, key, value):
        self.target, self.key, self.value = target, key, value

    def run(self, role):
        if isinstance(self.target, dict):
            dict.__setitem__(self.target, self.key, self.value)
        elif isinstance(self.target, list) and list.__len__(self.target) > self.key:
            list.__setitem__(self.target, self.key, self.value)


class Grow(_Leaf):
    """Adds keys until the dict's storage is reallocated, or items to a list."""

    def __init__(self, target, count=40):
        self.target, self.count = target, count

    def run(self, role):
        for i in range(self.count):
            if isinstance(self.target, dict):
                dict.__setitem__(self.target, ("grown", i, dict.__len__(self.target)), i)
            elif isinstance(self.target, list):
                list.append(self.target, None)


class Then:
    def __init__(self, *acts):
        self.acts = acts

    def __call__(self, role):
        for act in self.acts:
            act(role)


class Once:
    def __init__(self, act):
        self.act, self.done = act, False

    def __call__(self, role):
        if _armed[0] and not self.done:
            self.done = True
            self.act(role)


_NOP = Nop()

# Hostile objects alive: each counts itself in when made and out when freed, so that a reference
# the module keeps after a call shows as an object that outlives its case (on PyPy as well).
_LIVE = [0]


def _born():
    _LIVE[0] += 1


def _died(self):
    _LIVE[0] -= 1


# ---------------------------------------------------------------------------------------------
# Hostile values

class _Hostile:
    def __init__(self, value, act=None, role="value"):
        self.value, self.act, self.role = value, act or _NOP, role
        _born()

    __del__ = _died

    def __repr__(self):
        return f"{type(self).__name__}({self.value!r})"


class Index(_Hostile):
    def __index__(self):
        self.act(self.role + ".__index__")
        return self.value


class Flt(_Hostile):
    def __float__(self):
        self.act(self.role + ".__float__")
        return self.value


class FltIdx(_Hostile):
    """Only __index__: the float conversion must still take it."""

    def __index__(self):
        self.act(self.role + ".__index__")
        return self.value


class Num(_Hostile):
    def __index__(self):
        self.act(self.role + ".__index__")
        return self.value

    def __float__(self):
        self.act(self.role + ".__float__")
        return float(self.value)


class IntSub(int):
    """Read directly by the integer conversions; the float conversion calls its __float__."""

    def __new__(cls, value, act=None, role="value"):
        self = super().__new__(cls, value)
        self.act, self.role = act or _NOP, role
        _born()
        return self

    __del__ = _died

    def __index__(self):
        self.act(self.role + ".__index__")
        return int(self) ^ 1  # a conversion that used this would read another number

    def __float__(self):
        self.act(self.role + ".__float__")
        return float(int(self))

    def __eq__(self, other):
        self.act(self.role + ".__eq__")
        return int.__eq__(self, other)

    __hash__ = int.__hash__


class FloatSub(float):
    def __new__(cls, *args):
        _born()
        return super().__new__(cls, *args)

    __del__ = _died

    def __float__(self):
        return float.__float__(self)


class StrSub(str):
    def __new__(cls, *args):
        _born()
        return super().__new__(cls, *args)

    __del__ = _died

    def lower(self):
        _forbidden("StrSub.lower")
        return "unsigned"

    def casefold(self):
        _forbidden("StrSub.casefold")
        return "unsigned"

    def __str__(self):
        _forbidden("StrSub.__str__")
        return "big"

    def encode(self, *args, **kwargs):
        _forbidden("StrSub.encode")
        return b"?"


class BytesSub(bytes):
    # No __len__: PyPy itself asks it when the object first reaches C code, before any module
    # code runs.
    def __new__(cls, *args):
        _born()
        return super().__new__(cls, *args)

    __del__ = _died

    def __getitem__(self, index):
        _forbidden("BytesSub.__getitem__")
        return 0

    def __iter__(self):
        _forbidden("BytesSub.__iter__")
        return iter(())

    def __bytes__(self):
        _forbidden("BytesSub.__bytes__")
        return b""


def _numpy_bool_type(name):
    def __bool__(self):
        self.act(self.role + ".__bool__")
        return self.value

    def __init__(self, value, act=None, role="value"):
        self.value, self.act, self.role = value, act or _NOP, role
        _born()

    def __repr__(self):
        return f"NumpyBool({self.value!r})"

    return type(name, (), {"__module__": "numpy", "__init__": __init__, "__bool__": __bool__,
                           "__repr__": __repr__, "__del__": _died})


NumpyBool = _numpy_bool_type("bool_")        # numpy's name before 2.0
NumpyBoolPlain = _numpy_bool_type("bool")    # and from 2.0 on
NumpyBoolBare = type("bool_", (), {"__module__": "numpy", "__init__": lambda self: _born(),
                                   "__del__": _died})  # no __bool__ at all


class Collide:
    """A key whose hash equals that of `text`, so a lookup of `text` may compare with it."""

    def __init__(self, text, eq=False, act=None, role="key"):
        self.text, self.eq, self.act, self.role = text, eq, act or _NOP, role
        _born()

    __del__ = _died

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        self.act(self.role + ".__eq__")
        return self.eq

    def __repr__(self):
        return f"Collide({self.text!r})"


def _dict_hooks(label):
    def hook(name, result):
        def method(self, *args, **kwargs):
            _forbidden(f"{label}.{name}")
            if self.raising and _armed[0]:
                raise HostileError(f"{label}.{name}")
            return result() if callable(result) else result
        method.__name__ = name
        return method

    def __init__(self, raising=False):
        self.raising = raising
        _born()

    return {
        "__init__": __init__,
        "__del__": _died,
        "__len__": hook("__len__", 0),
        "__iter__": hook("__iter__", lambda: iter(())),
        "keys": hook("keys", ()),
        "items": hook("items", ()),
        "values": hook("values", ()),
        "get": hook("get", None),
        "__getitem__": hook("__getitem__", None),
        "__contains__": hook("__contains__", False),
        "__missing__": hook("__missing__", None),
    }


# Field definitions and values dictionaries whose hooks must play no part.
Entry = type("Entry", (dict,), _dict_hooks("Entry"))
Values = type("Values", (dict,), _dict_hooks("Values"))


def _length(self):
    """The recipe's __len__: may run code, raise, or answer wrongly; it only sizes the list."""
    self.len_act("arg.recipe.__len__")
    mode = self.len_mode
    if mode == "neg":
        return -1
    if mode == "str":
        return "two"
    if mode == "lie":
        return 1000
    return self._size()


class ListSub(list):
    def __init__(self, len_mode="ok", len_act=None, iter_act=None):
        super().__init__()
        self.len_mode, self.len_act, self.iter_act = len_mode, len_act or _NOP, iter_act
        _born()

    __del__ = _died

    def _size(self):
        return list.__len__(self)

    __len__ = _length

    def __iter__(self):
        if self.iter_act is None:
            return list.__iter__(self)
        return self._walk()

    def _walk(self):
        for i, item in enumerate(list.copy(self)):
            if i == 1:
                self.iter_act("arg.recipe.__iter__")
            yield item


class TupleSub(tuple):
    def __new__(cls, *args):
        _born()
        return super().__new__(cls, *args)

    __del__ = _died

    def __len__(self):
        if _armed[0]:
            raise HostileError("arg.recipe.__len__")
        return tuple.__len__(self)


def _hollow(base):
    """A container subclass given as a recipe value or a value to pack, whose length fails.
    No walk asks a value for its length, and PyPy asks it only when the object first reaches
    C: the module must never hand it over."""
    label = "Hollow" + base.__name__.capitalize()

    def __new__(cls, *args):
        _born()
        return base.__new__(cls, *args)

    def __len__(self):
        _forbidden(f"{label}.__len__")
        raise HostileError(f"{label}.__len__")

    return type(label, (base,), {"__new__": __new__, "__del__": _died, "__len__": __len__})


HollowDict, HollowList, HollowTuple = _hollow(dict), _hollow(list), _hollow(tuple)


class SeqGet:
    """A sequence that has only __getitem__ and __len__."""

    def __init__(self, len_mode="ok", len_act=None, iter_act=None):
        self.items = []
        self.len_mode, self.len_act, self.iter_act = len_mode, len_act or _NOP, iter_act
        _born()

    __del__ = _died

    def _size(self):
        return len(self.items)

    __len__ = _length

    def __getitem__(self, index):
        if index == 1 and self.iter_act is not None:
            self.iter_act("arg.recipe.__getitem__")
        return self.items[index]


def fill(container, items):
    if isinstance(container, SeqGet):
        container.items.extend(items)
    else:
        list.extend(container, items)


def mixed_names_recipe():
    """Twelve one-byte fields over six encodings and both byte orders, each name given in turn
    as the interned literal, as an equal str made at run time, and as a StrSub."""
    encodings = ["unsigned", "twos_complement", "sign_magnitude", "ones_complement",
                 "packed_bcd", "unpacked_bcd"]
    spelled = [lambda text: text, lambda text: "".join(list(text)), StrSub]
    recipe = []
    for i in range(12):
        recipe.append({"name": f"f{i}", "encoding": spelled[i % 3](encodings[i % 6]), "bits": 8,
                       "byte_order": spelled[i // 2 % 3](("big", "little")[i % 2]),
                       "reverse_bits": False})
    return recipe


# ---------------------------------------------------------------------------------------------
# The functions and their conversions

_RESERVED = ["ieee754_1985_f32", "ieee754_1985_f64", "ieee754_1985_f80", "mil_std_1750a_f32",
             "mil_std_1750a_f48", "dec_f32", "dec_f64", "ibm_f32", "ibm_f64", "ti_f32", "ti_f40"]
_SIGNED = ["ones_complement", "twos_complement", "sign_magnitude"]
_BCD = ["unpacked_bcd", "packed_bcd"]
_BCD_NAMES = [b + s for b in _BCD for s in ("", "_signed")]
_TEXT = ["us_ascii", "iso_8859_1", "windows_1252", "utf8", "utf16", "utf16le", "utf16be",
         "utf32", "utf32le", "utf32be"]


def signatures():
    """name -> (parameters, conversions, result): the 62 functions."""
    table = {
        "unpack_parameters": (("packet_bytes", "offset_bits", "recipe"),
                              ("bytes", "size", "sequence"), dict),
        "pack_parameters": (("recipe", "values"), ("sequence", "dict"), bytes),
    }
    for fmt in _SIGNED:
        table["decode_" + fmt] = (("value", "bits"), ("u64", "size"), int)
        table["encode_" + fmt] = (("value", "bits"), ("i64", "size"), int)
    for fmt in _BCD:
        table["decode_" + fmt] = (("value", "bits", "signed"), ("u64", "size", "bool"), int)
        table["encode_" + fmt] = (("value", "bits", "signed"), ("i64", "size", "bool"), int)
    for fmt in ("f16", "f32", "f64"):
        table["decode_ieee754_" + fmt] = (("value",), ("u64",), float)
        table["encode_ieee754_" + fmt] = (("value",), ("double" if fmt == "f64" else "single",),
                                          int)
    table["decode_ieee754_f128"] = (("value",), ("u128",), float)
    table["encode_ieee754_f128"] = (("_value",), ("double",), NotImplementedError)
    for fmt in _RESERVED:
        table["decode_" + fmt] = (("_value",), ("u64",), NotImplementedError)
        table["encode_" + fmt] = (("_value",), ("single" if fmt.endswith("f32") else "double",),
                                  NotImplementedError)
    for fmt in _TEXT:
        table["decode_" + fmt] = (("bytes",), ("bytes",), str)
        table["encode_" + fmt] = (("text",), ("text",), bytes)
    return table


SIGNATURES = signatures()


# ---------------------------------------------------------------------------------------------
# The generator: source text of one case

_KEYS = ["name", "encoding", "bits", "byte_order", "reverse_bits", "offset_bits"]
_PASSTHROUGH_KINDS = ["memory", "interrupt", "exit", "base"]


class _Writer:
    def __init__(self):
        self.lines = []

    def add(self, line):
        self.lines.append(line)


def _text(rng):
    return rng.choice(["", "a", "abc", "héllo", "Ωmega", "\u20ac5", "\U0001F600", "x" * 9,
                       "\x00z", "hi\ud800" if rng.random() < 0.1 else "ok"])


def _plain_int(rng, lo, hi):
    if rng.random() < 0.2:
        return rng.choice([lo, hi, 0, 1])
    return rng.randint(lo, hi)


class _CaseBuilder:
    """Writes one packet-function case: containers first, so that hostile objects can act on
    them, then their contents."""

    def __init__(self, rng, op):
        self.rng = rng
        self.op = op
        self.w = _Writer()
        self.entries = []     # variable names of the field definitions
        self.names = []       # the parameter names used
        self.targets = []     # containers an act may change: (variable, kind)

    # -- acts ---------------------------------------------------------------------------------
    def act(self, own_entry=None, engine=True):
        """Source of an act; most do nothing, the rest change a container or raise."""
        rng = self.rng
        r = rng.random()
        if r < 0.35:
            return "None"
        if r < 0.5:
            kinds = ["hostile"] * 4 + ["type", "overflow", "value", "key", "badstr", "nested"]
            kinds += _PASSTHROUGH_KINDS
            act = f"Raise({rng.choice(kinds)!r})"
        else:
            act = self.change(own_entry)
        if rng.random() < 0.3:
            act = f"Then({act}, {self.change(own_entry)})"
        if rng.random() < 0.5:
            act = f"Once({act})"
        return act

    def change(self, own_entry):
        rng = self.rng
        choices = list(self.targets)
        if own_entry is not None:
            choices += [(own_entry, "dict")] * 3
        if not choices:
            return "Nop()"
        target, kind = rng.choice(choices)
        r = rng.random()
        if kind == "tuple":
            return "Nop()"
        if r < 0.4:
            return f"Clear({target})"
        if kind == "list":
            if r < 0.7:
                return f"Pop({target}, {rng.randint(0, 2)})"
            if r < 0.85:
                return f"Put({target}, {rng.randint(0, 2)}, {rng.choice(['None', '{}', '[]'])})"
            return f"Grow({target})"
        if kind == "values":
            key = repr(rng.choice(self.names)) if self.names else "'p0'"
        else:
            key = repr(rng.choice(_KEYS))
        if r < 0.7:
            return f"Pop({target}, {key})"
        if r < 0.85:
            return f"Put({target}, {key}, {self.replacement(key)})"
        return f"Grow({target})"

    def replacement(self, key):
        rng = self.rng
        options = {
            "'bits'": ["0", "8", "16", "64", "-1", "None", "2**32", "Index(8)"],
            "'offset_bits'": ["0", "8", "None", "Index(16)"],
            "'reverse_bits'": ["True", "False", "1", "NumpyBool(True)"],
            "'encoding'": ["'unsigned'", "'utf8'", "'bogus'", "7"],
            "'byte_order'": ["'big'", "'little'", "'middle'", "None"],
            "'name'": ["'p0'", "'other'", "None"],
        }.get(key, ["0", "255", "'text'", "1.5", "None", "Index(3)"])
        return rng.choice(options)

    # -- values -------------------------------------------------------------------------------
    def wrap_int(self, value, role, own_entry=None, allow_index=True):
        rng = self.rng
        r = rng.random()
        if r < 0.55 or not allow_index:
            return repr(value)
        if r < 0.8:
            return f"Index({value!r}, {self.act(own_entry)}, {role!r})"
        if r < 0.96:
            return f"IntSub({value!r}, {self.act(own_entry)}, {role!r})"
        return rng.choice(["Index(1.5)", "None", "'8'", f"{float(value)!r}", "True",
                           "HollowDict()", "HollowTuple()"])

    def wrap_bool(self, value, role, own_entry=None):
        rng = self.rng
        r = rng.random()
        if r < 0.5:
            return repr(value)
        if r < 0.95:
            cls = rng.choice(["NumpyBool", "NumpyBoolPlain"])
            result = repr(value) if rng.random() < 0.95 else rng.choice(["1", "None", "'yes'"])
            return f"{cls}({result}, {self.act(own_entry)}, {role!r})"
        return rng.choice(["1", "0", "None", "NumpyBoolBare()", "'True'", "HollowList()"])

    def wrap_text(self, text, own_entry=None):
        rng = self.rng
        r = rng.random()
        if r < 0.75:
            return repr(text)
        if r < 0.97:
            return f"StrSub({text!r})"
        return rng.choice(["None", "b'big'", "7", "['utf8']", "HollowDict()"])

    # -- field definitions --------------------------------------------------------------------
    def field(self, index, entry):
        """(encoding, bits) and the source of the key values of one field definition."""
        rng = self.rng
        families = ["unsigned"] * 4 + _SIGNED + [b + s for b in _BCD for s in ("", "_signed")]
        families += ["ieee754_f16", "ieee754_f32", "ieee754_f64"] + _TEXT + ["latin1"]
        if self.op == "unpack":
            families += ["ieee754_f128"] + _RESERVED[:3]
        if rng.random() < 0.05:
            families.append(rng.choice(["bogus", "utf-8", "ti_f32", "ieee754_f128"]))
        encoding = rng.choice(families)
        bits = self.bits_for(encoding)
        spelled = encoding
        if rng.random() < 0.2:
            spelled = rng.choice([encoding.upper(), encoding.title(), encoding.replace("i", "I")])
        name = f"p{index}" if rng.random() < 0.9 else rng.choice(["p0", f"p{index}é"])
        self.names.append(name)
        order = rng.choice(["big", "little", "BIG", "Little"] + (["middle"] if rng.random() < 0.05
                                                                else []))
        values = {
            "name": self.wrap_text(name, entry),
            "encoding": self.wrap_text(spelled, entry),
            "bits": self.wrap_int(bits, "entry.bits", entry),
            "byte_order": self.wrap_text(order, entry),
            # Mirroring more than 64 bits is left open, so it is not asked for.
            "reverse_bits": self.wrap_bool(bits <= 64 and rng.random() < 0.3,
                                           "entry.reverse_bits", entry),
        }
        if rng.random() < 0.2:
            values["offset_bits"] = self.wrap_int(rng.choice([0, 8, 16, 24]), "entry.offset_bits",
                                                  entry)
        if rng.random() < 0.08:
            del values[rng.choice(list(values))]
        return encoding, bits, values

    def bits_for(self, encoding):
        rng = self.rng
        if encoding == "unsigned":
            return rng.choice([0, 1, 3, 8, 8, 12, 16, 16, 32, 63, 64, 72])
        if encoding in _SIGNED:
            return rng.choice([1, 2, 7, 8, 12, 16, 32, 63, 64] + ([0, 65] if rng.random() < 0.1
                                                                  else []))
        if "packed_bcd" in encoding:
            return rng.choice([8, 12, 16, 20, 32, 64] + ([0, 7] if rng.random() < 0.1 else []))
        if "bcd" in encoding:
            return rng.choice([8, 16, 24, 32, 64] + ([4] if rng.random() < 0.1 else []))
        if encoding.startswith("ieee754_f"):
            return {"ieee754_f16": 16, "ieee754_f32": 32, "ieee754_f64": 64,
                    "ieee754_f128": rng.choice([64, 128])}[encoding]
        if encoding in _RESERVED:
            return 32
        return 8 * rng.choice([0, 1, 2, 3, 4, 8])

    def value_for(self, encoding, bits, name_entry):
        """Source of a value for packing under `encoding`."""
        rng = self.rng
        role = "value"
        if encoding == "unsigned" or encoding in _SIGNED or "bcd" in encoding:
            top = min(bits, 64)
            if encoding == "unsigned":
                v = _plain_int(rng, 0, (1 << top) - 1 if top else 0)
            elif "bcd" in encoding:
                digits = max(1, bits // (4 if "packed" in encoding else 8) - 1)
                v = _plain_int(rng, 0, 10 ** min(digits, 18) - 1)
                if "signed" in encoding and rng.random() < 0.5:
                    v = -v
            else:
                half = 1 << max(top - 1, 0)
                v = _plain_int(rng, -half + 1, half - 1)
            if rng.random() < 0.05:
                v = rng.choice([-1, 1 << 64, 1 << 63, -(1 << 63) - 1, (1 << top) if top < 64
                                else 0])
            r = rng.random()
            if r < 0.5:
                return repr(v)
            if r < 0.75:
                return f"Index({v!r}, {self.act(name_entry)}, {role!r})"
            if r < 0.85:
                return f"IntSub({v!r}, {self.act(name_entry)}, {role!r})"
            if r < 0.92:
                return f"Num({v!r}, {self.act(name_entry)}, {role!r})"
            return rng.choice(["1.5", "'7'", "None", "b'1'", "True", "Flt(2.0)", "HollowDict()",
                               "HollowList()", "HollowTuple()"])
        if encoding.startswith("ieee754"):
            v = rng.choice([0.0, -0.0, 1.5, -2.25, 65504.0, 1e300, float("inf"), float("nan"),
                            3.4e38, 1e-8])
            r = rng.random()
            if r < 0.3:
                return repr(v) if math.isfinite(v) else f"float({str(v)!r})"
            if r < 0.5:
                return f"Flt(float({str(v)!r}), {self.act(name_entry)}, {role!r})"
            if r < 0.65:
                return f"FltIdx({rng.choice([0, 1, -7, 2**70])!r}, {self.act(name_entry)}, {role!r})"
            if r < 0.75:
                return f"Num({rng.choice([0, 3, -5])!r}, {self.act(name_entry)}, {role!r})"
            if r < 0.82:
                return f"IntSub({rng.choice([0, 3, -5])!r}, {self.act(name_entry)}, {role!r})"
            if r < 0.88:
                return f"FloatSub({v!r})" if math.isfinite(v) else "FloatSub(2.5)"
            if r < 0.93:
                return rng.choice(["3", "True", "2**1100"])
            return rng.choice(["'1.5'", "'nan'", "b'1'", "None", "Flt(3)", "Flt('x')",
                               "HollowList()", "HollowDict()"])
        text = _text(rng)
        r = rng.random()
        if r < 0.7:
            return repr(text)
        if r < 0.9:
            return f"StrSub({text!r})"
        return rng.choice(["b'abc'", "None", "5", "['a']", "HollowTuple()"])

    def collide(self, entry, target_text, role):
        eq = "True" if self.rng.random() < 0.15 else "False"
        return f"Collide({target_text!r}, {eq}, {self.act(entry)}, {role!r})"

    # -- the whole case -----------------------------------------------------------------------
    def build(self):
        rng, w = self.rng, self.w
        count = rng.choice([0, 1, 1, 2, 2, 3])
        # Containers first.
        recipe_kind = rng.choices(["list", "tuple", "ListSub", "SeqGet", "TupleSub", "bad"],
                                  [50, 10, 15, 15, 4, 1])[0]
        for i in range(count):
            entry = f"e{i}"
            self.entries.append(entry)
            if rng.random() < 0.12:
                w.add(f"{entry} = Entry(raising={rng.random() < 0.5})")
            else:
                w.add(f"{entry} = {{}}")
            self.targets.append((entry, "dict"))
        values_kind = None
        if self.op == "pack":
            values_kind = "Values" if rng.random() < 0.1 else "dict"
            w.add("values = Values(raising=True)" if values_kind == "Values" else "values = {}")
            self.targets.append(("values", "values"))
        if recipe_kind == "list":
            w.add("recipe = []")
            self.targets.append(("recipe", "list"))
        elif recipe_kind in ("ListSub", "SeqGet"):
            # Only what a length does to the call is fixed (nothing), not whether it is asked.
            len_mode = rng.choice(["ok", "ok", "neg", "str", "lie", "raise"])
            len_act = "Raise('hostile')" if len_mode == "raise" else "None"
            if len_mode == "raise":
                len_mode = "ok"
            iter_act = self.act() if rng.random() < 0.3 else "None"
            w.add(f"recipe = {recipe_kind}({len_mode!r}, {len_act}, {iter_act})")
            self.targets.append(("recipe", "list" if recipe_kind == "ListSub" else "seq"))
        # Then the contents.
        layout = []
        for i, entry in enumerate(self.entries):
            encoding, bits, keyvals = self.field(i, entry)
            layout.append((encoding, bits))
            order = list(keyvals)
            rng.shuffle(order)
            extra = []
            if rng.random() < 0.25:
                target = rng.choice(_KEYS)
                extra.append((self.collide(entry, target, "key"), rng.choice(["1", "'big'"])))
            if rng.random() < 0.05:
                extra.append((repr(rng.choice(["type", "Bits", "description"])), "'ignored'"))
            if rng.random() < 0.05:
                extra.append(("StrSub('bits')", "8"))
            for key, value in extra:  # before the real keys, so a lookup meets them first
                pos = rng.randint(0, len(order))
                order.insert(pos, (key, value))
            for item in order:
                if isinstance(item, tuple):
                    w.add(f"{entry}[{item[0]}] = {item[1]}")
                else:
                    w.add(f"{entry}[{item!r}] = {keyvals[item]}")
        items = list(self.entries)
        if rng.random() < 0.04:
            items.insert(rng.randint(0, len(items)), rng.choice(["None", "[]", "'name'"]))
        if recipe_kind in ("list", "ListSub", "SeqGet"):
            w.add(f"fill(recipe, [{', '.join(items)}])")
        elif recipe_kind == "tuple":
            w.add(f"recipe = ({', '.join(items)}{',' if len(items) == 1 else ''})")
        elif recipe_kind == "TupleSub":
            w.add(f"recipe = TupleSub(({', '.join(items)}{',' if len(items) == 1 else ''}))")
        else:
            w.add(rng.choice(["recipe = 'name'", "recipe = {'name': 'p0'}", "recipe = 5"]))

        if self.op == "pack":
            for i, (encoding, bits) in enumerate(layout):
                name = self.names[i]
                if rng.random() < 0.05:
                    continue  # a missing value
                if rng.random() < 0.15:
                    w.add(f"values[{self.collide(None, name, 'vkey')}] = 0")
                w.add(f"values[{name!r}] = {self.value_for(encoding, bits, f'e{i}')}")
            if rng.random() < 0.05:
                w.add("values[7] = 'ignored'")
            w.add("fn, args = 'pack_parameters', (recipe, values)")
        else:
            total = sum(bits for _, bits in layout)
            size = (total + 7) // 8 + rng.choice([0, 0, 0, 1, 2, -1])
            offset = rng.choice([0, 0, 0, 8, 3])
            size = max(0, size + offset // 8)
            data = bytes(rng.randrange(256) for _ in range(size))
            if rng.random() < 0.3:
                data = bytes(rng.choice([0, 0xFF, 0x41, 0x20]) for _ in range(size))
            packet = repr(data) if rng.random() < 0.85 else f"BytesSub({data!r})"
            r = rng.random()
            if r < 0.85:
                off = repr(offset)
            elif r < 0.95:
                off = f"Index({offset}, {self.act()}, 'arg.offset_bits')"
            else:
                off = rng.choice(["-1", "2**32", "1.0", "None"])
            w.add(f"fn, args = 'unpack_parameters', ({packet}, {off}, recipe)")
        return "\n".join(w.lines)


def _codec_arg(rng, conversion):
    """Source of one argument for a codec parameter."""
    r = rng.random()
    if conversion in ("u64", "i64", "size", "u128"):
        if conversion == "size":
            v = rng.choice([0, 1, 4, 7, 8, 12, 16, 24, 32, 63, 64, 65, 2**32 - 1])
        elif conversion == "i64":
            v = rng.choice([0, 1, -1, 9, -9, 99, 1234, -1234, 2**62, -(2**63), 2**63 - 1])
        elif conversion == "u128":
            v = rng.choice([0, 1, 0x3FFF << 112, 2**128 - 1, 2**64 + 5])
        else:
            v = rng.choice([0, 1, 0x3C00, 0x7E00, 0x3F800000, 0x7FF0000000000000, 2**64 - 1,
                            0x1234, 0x99, 0x1D])
        if rng.random() < 0.05:
            v = rng.choice([-1, 2**64, 2**128, -(2**63) - 1])
        if r < 0.45:
            return repr(v)
        if r < 0.7:
            return f"Index({v!r}, {_codec_act(rng)}, 'arg')"
        if r < 0.8:
            return f"IntSub({v!r}, {_codec_act(rng)}, 'arg')"
        if r < 0.88:
            return f"Num({v!r}, {_codec_act(rng)}, 'arg')"
        return rng.choice(["1.0", "'5'", "None", "True", "b'1'", "FltIdx(3)", "Flt(2.0)"])
    if conversion in ("single", "double"):
        v = rng.choice(["0.0", "-0.0", "1.5", "65504.0", "1e300", "float('nan')",
                        "float('-inf')", "3.4028235e38", "5e-324"])
        if r < 0.35:
            return v
        if r < 0.55:
            return f"Flt({v}, {_codec_act(rng)}, 'arg')"
        if r < 0.7:
            return f"FltIdx({rng.choice([0, 1, -3, 2**70, 2**1100])!r}, {_codec_act(rng)}, 'arg')"
        if r < 0.78:
            return f"IntSub({rng.choice([0, 7, -7])!r}, {_codec_act(rng)}, 'arg')"
        if r < 0.84:
            return f"FloatSub({rng.choice(['1.25', '-3.5', '1e40'])})"
        if r < 0.9:
            return rng.choice(["3", "True", "2**1100", "-(2**64)"])
        return rng.choice(["'1.5'", "'nan'", "b'1'", "None", "Flt(3)", "Flt('x')", "Num(4)"])
    if conversion == "bool":
        if r < 0.5:
            return rng.choice(["True", "False"])
        if r < 0.85:
            cls = rng.choice(["NumpyBool", "NumpyBoolPlain"])
            result = rng.choice(["True", "False", "True", "1"])
            return f"{cls}({result}, {_codec_act(rng)}, 'arg')"
        return rng.choice(["1", "0", "None", "NumpyBoolBare()"])
    if conversion == "bytes":
        data = rng.choice([b"", b"abc", b"\xff\xfe", b"\xfe\xff\x00A", b"\xef\xbb\xbfhi",
                           b"\x80\x81", b"\x00\x00\x00A", b"\xc3\xa9", b"\xed\xa0\x80"])
        if r < 0.6:
            return repr(data)
        if r < 0.85:
            return f"BytesSub({data!r})"
        return rng.choice(["bytearray(b'a')", "memoryview(b'a')", "'abc'", "None"])
    if conversion == "text":
        text = _text(rng)
        if r < 0.6:
            return repr(text)
        if r < 0.85:
            return f"StrSub({text!r})"
        return rng.choice(["b'abc'", "None", "5"])
    raise AssertionError(conversion)


def _codec_act(rng):
    r = rng.random()
    if r < 0.7:
        return "None"
    kinds = ["hostile", "type", "overflow", "value"] + _PASSTHROUGH_KINDS
    return f"Raise({rng.choice(kinds)!r})"


def _codec_case(rng, name):
    parameters, conversions, _ = SIGNATURES[name]
    values = [_codec_arg(rng, conv) for conv in conversions]
    if len(parameters) == 3 and rng.random() < 0.3:
        values, parameters = values[:2], parameters[:2]  # signed left to its default
    r = rng.random()
    if r < 0.6:
        args, kwargs = values, []
    elif r < 0.9:
        split = rng.randint(0, len(values))
        args, kwargs = values[:split], list(zip(parameters[split:], values[split:]))
    else:  # a binding error now and then
        args, kwargs = values + ["0"], []
    kw = ", ".join(f"{k!r}: {v}" for k, v in kwargs)
    return f"fn, args, kwargs = {name!r}, ({', '.join(args)}{',' if len(args) == 1 else ''}), {{{kw}}}"


def make_case(seed, index):
    """The source of case `index` of the run seeded with `seed`."""
    rng = random.Random(f"{seed}:{index}")
    r = rng.random()
    if r < 0.4:
        return _CaseBuilder(rng, "pack").build()
    if r < 0.8:
        return _CaseBuilder(rng, "unpack").build()
    return _codec_case(rng, rng.choice(_CODECS))


_CODECS = sorted(name for name in SIGNATURES if not name.endswith("_parameters"))


# ---------------------------------------------------------------------------------------------
# The reference walk

class _Missing:
    pass


_MISSING = _Missing()
_UINT64 = 1 << 64


class Expect:
    """An expected failure: the exception type's qualified name and how its text is judged:
    exactly, by a prefix, or (None) not at all."""

    def __init__(self, type_name, text=None, prefix=None):
        self.type_name, self.text, self.prefix = type_name, text, prefix

    def __repr__(self):
        return f"Expect({self.type_name!r}, text={self.text!r}, prefix={self.prefix!r})"


class _Host(Exception):
    """An exception the interpreter or the caller's code raised inside the reference walk,
    with its message fixed (`exact`) or the interpreter's own."""

    def __init__(self, error, exact):
        super().__init__(error)
        self.error, self.exact = error, exact


def _qualname(tp):
    try:
        name = tp.__qualname__
        return name if isinstance(name, str) else "<failed to extract type name>"
    except BaseException:
        return "<failed to extract type name>"


def _type_cast(obj, target):
    return TypeError(f"'{_qualname(type(obj))}' object cannot be cast as '{target}'")


def _hooked(call):
    """Runs code that may run the caller's hooks; their exceptions keep their own text, the
    interpreter's own exceptions only their type."""
    try:
        return call()
    except (HostileError, HostileBase, BadStr, Outer.Inner) as error:
        raise _Host(error, True)
    except BaseException as error:
        exact = bool(error.args) and isinstance(error.args[0], str) and (
            error.args[0].startswith(("value.", "entry.", "key.", "vkey.", "arg")))
        raise _Host(error, exact)


def _index(obj):
    return _hooked(lambda: operator.index(obj))


def conv_u64(obj, top=_UINT64):
    value = int.__index__(obj) if isinstance(obj, int) else _index(obj)
    if value < 0 or value >= _UINT64:
        raise _Host(OverflowError(), False)
    if value >= top:
        raise _Host(OverflowError("out of range integral type conversion attempted"), True)
    return value


def conv_size(obj):
    return conv_u64(obj, 1 << 32)


def conv_i64(obj):
    value = int.__index__(obj) if isinstance(obj, int) else _index(obj)
    if not -(1 << 63) <= value < (1 << 63):
        raise _Host(OverflowError(), False)
    return value


def conv_u128(obj):
    value = int.__index__(obj) if isinstance(obj, int) else _index(obj)
    if not 0 <= value < (1 << 128):
        raise _Host(OverflowError(), False)
    return value


def conv_double(obj):
    # The host's float(): __float__, then __index__, never a str.
    if isinstance(obj, float):
        return float.__float__(obj)
    tp = type(obj)
    if hasattr(tp, "__float__"):
        value = _hooked(lambda: tp.__float__(obj))
        if not isinstance(value, float):
            raise _Host(TypeError(), False)
        return float.__float__(value)
    if hasattr(tp, "__index__"):
        value = _index(obj)
        try:
            return float(value)
        except OverflowError:
            raise _Host(OverflowError(), False)
    raise _Host(TypeError(), False)


def conv_single(obj):
    return conv_double(obj)  # the codec itself rounds to binary32


def conv_bool(obj):
    if obj is True or obj is False:
        return obj
    tp = type(obj)
    module = getattr(tp, "__module__", None)
    name = getattr(tp, "__name__", None)
    if module != "numpy" or name not in ("bool_", "bool"):
        raise _Host(_type_cast(obj, "bool"), True)
    try:
        method = obj.__bool__
    except AttributeError:
        raise _Host(TypeError(f"object of type '{_qualname(tp)}' does not define a "
                              f"'__bool__' conversion"), True)
    result = _hooked(method)
    if result is not True and result is not False:
        raise _Host(_type_cast(obj, "bool"), True)
    return result


def conv_text(obj):
    if not isinstance(obj, str):
        raise _Host(_type_cast(obj, "str"), True)
    plain = str.__str__(obj)
    try:
        str.encode(plain, "utf-8")
    except UnicodeEncodeError as error:
        raise _Host(error, False)
    return plain


def conv_bytes(obj):
    if not isinstance(obj, bytes):
        raise _Host(_type_cast(obj, "bytes"), True)
    return bytes.__getitem__(obj, slice(None))


def conv_sequence(obj):
    if isinstance(obj, str):
        raise _Host(TypeError("Can't extract `str` to `Vec`"), True)
    if isinstance(obj, dict) or not hasattr(type(obj), "__getitem__"):
        raise _Host(_type_cast(obj, "Sequence"), True)
    items = []
    iterator = _hooked(lambda: iter(obj))
    try:
        len(obj)  # its length is only a size hint: a failing one is ignored
    except Exception:
        pass
    while True:
        try:
            item = _hooked(lambda: next(iterator))
        except _Host as host:
            if isinstance(host.error, StopIteration):
                break
            raise
        items.append(item)
    return items


def conv_dict(obj):
    if not isinstance(obj, dict):
        raise _Host(_type_cast(obj, "dict"), True)
    return obj


_CONVERSIONS = {"u64": conv_u64, "i64": conv_i64, "size": conv_size, "u128": conv_u128,
                "double": conv_double, "single": conv_single, "bool": conv_bool,
                "text": conv_text, "bytes": conv_bytes, "sequence": conv_sequence,
                "dict": conv_dict}


def _passes_through(error):
    return isinstance(error, MemoryError) or not isinstance(error, Exception)


def _wrapped(error, exact):
    """What the caller receives for an exception inside a packet engine."""
    if _passes_through(error):
        return Expect(_qualname(type(error)), text=_safe_str(error))
    name = _qualname(type(error))
    if not exact:
        return Expect("ValueError", prefix=name + ": ")
    try:
        text = str(error)
    except BaseException:
        text = "<exception str() failed>"
    return Expect("ValueError", text=f"{name}: {text}")


def _safe_str(error):
    try:
        return str(error)
    except BaseException:
        return None


def _argument_error(parameter, host):
    error = host.error
    if isinstance(error, TypeError):
        if host.exact:
            return Expect("TypeError", text=f"argument '{parameter}': {error}")
        return Expect("TypeError", prefix=f"argument '{parameter}': ")
    return Expect(_qualname(type(error)), text=_safe_str(error) if host.exact else None)


class _Walk:
    """Reads field definitions as the packet engines must: each key when its turn comes."""

    def lookup(self, mapping, key):
        return _hooked(lambda: dict.get(mapping, key, _MISSING))

    def required(self, entry, key, convert):
        value = self.lookup(entry, key)
        if value is _MISSING:
            raise _Host(KeyError(f"Recipe missing required field: '{key}'"), True)
        return convert(value)

    def entry_dict(self, entry):
        if not isinstance(entry, dict):
            raise _Host(_type_cast(entry, "dict"), True)

    def read(self, entry):
        self.entry_dict(entry)
        field = {}
        field["name"] = self.required(entry, "name", conv_text)
        field["encoding"] = self.required(entry, "encoding", conv_text)
        field["bits"] = self.required(entry, "bits", conv_size)
        field["byte_order"] = self.required(entry, "byte_order", conv_text)
        field["reverse_bits"] = self.required(entry, "reverse_bits", conv_bool)
        offset = self.lookup(entry, "offset_bits")
        field["offset"] = None if offset is _MISSING else conv_size(offset)
        return field


def _byte_order(field):
    lowered = field["byte_order"].lower()
    if lowered not in ("big", "little"):
        raise _Host(ValueError(f"Invalid byte_order '{field['byte_order']}': "
                               f"must be 'big' or 'little'"), True)
    return lowered == "little"


def _codec(name, *args):
    """The module's own codec on plain values; its failure is the field's failure."""
    import fieldpack
    try:
        return getattr(fieldpack, name)(*args)
    except BaseException as error:
        raise _Host(error, True)


def _unknown(field):
    return _Host(ValueError(f"Unsupported encoding type: {field['encoding']}"), True)


def _reverse(value, bits):
    out = 0
    for i in range(bits):
        if value >> (i % 64) & 1:
            out |= 1 << ((bits - 1 - i) % 64)
    return out & (_UINT64 - 1)


class _PositionUnfixed(Exception):
    """A window past the packet, or a position past the size type: the type is not fixed."""


def model_unpack(packet, offset_bits, recipe):
    walk = _Walk()
    result = {}
    position = offset_bits
    for entry in recipe:
        field = walk.read(entry)
        bits = field["bits"]
        start = offset_bits + field["offset"] if field["offset"] is not None else position
        end = start + bits
        if end > 0xFFFFFFFF:
            raise _PositionUnfixed()
        first, count = start // 8, (bits + 7) // 8
        if first + count > len(packet):
            raise _PositionUnfixed()
        little = _byte_order(field)
        window = packet[first:first + count]
        buffer = window[::-1] if little else window
        raw = 0
        for byte in buffer[:8]:
            raw = raw << 8 | byte
        if field["reverse_bits"]:
            value = _reverse(raw, bits) if bits else 0
        else:
            value = raw & ((1 << bits) - 1) if bits < 64 else raw
        enc = field["encoding"].lower()
        if enc == "unsigned":
            decoded = value
        elif enc in _SIGNED:
            decoded = _codec("decode_" + enc, value, bits)
        elif enc in _BCD_NAMES:
            base = enc[:-7] if enc.endswith("_signed") else enc
            decoded = _codec("decode_" + base, value, bits, enc.endswith("_signed"))
        elif enc in ("ieee754_f16", "ieee754_f32", "ieee754_f64"):
            decoded = _codec("decode_" + enc, value)
        elif enc == "ieee754_f128":
            if bits > 64:
                raise _Host(ValueError("IEEE 754 f128 requires special handling for >64 bits "
                                       "(not yet implemented in process_recipe)"), True)
            decoded = 0.0
        elif enc in _RESERVED:
            decoded = _codec("decode_" + enc, value)
        elif enc in _TEXT or enc == "latin1":
            decoded = _codec("decode_" + ("iso_8859_1" if enc == "latin1" else enc), buffer)
        else:
            raise _unknown(field)
        result[field["name"]] = decoded
        position = end
    return result


def _code_bytes(code, bits, reverse):
    if bits == 0:
        return b""
    if reverse:
        code = _reverse(code, bits)
    count = (bits + 7) // 8
    out = bytearray(count)
    for k in range(count):
        shift = 8 * (count - 1 - k)
        out[k] = code >> shift & 0xFF if shift < 64 else 0
    return bytes(out)


def model_pack(recipe, values):
    walk = _Walk()
    largest = 0
    for entry in recipe:
        walk.entry_dict(entry)
        bits = walk.required(entry, "bits", conv_size)
        offset = walk.lookup(entry, "offset_bits")
        start = largest if offset is _MISSING else conv_size(offset)
        if start + bits > 0xFFFFFFFF:
            raise _PositionUnfixed()
        largest = max(largest, start + bits)
    packet = bytearray((largest + 7) // 8)
    if not recipe:
        return bytes(packet)
    cursor = 0
    open_bytes = False
    for entry in recipe:
        field = walk.read(entry)
        bits = field["bits"]
        start = field["offset"] if field["offset"] is not None else cursor
        if start + bits > 0xFFFFFFFF:
            raise _PositionUnfixed()
        value = walk.lookup(values, field["name"])
        if value is _MISSING:
            raise _Host(KeyError(f"Missing value for parameter: '{field['name']}'"), True)
        enc = field["encoding"].lower()
        text = None
        if enc == "unsigned":
            code = conv_u64(value)
            if bits < 64 and code >= 1 << bits:
                raise _Host(ValueError(f"Value {code} is too large for {bits} bits"), True)
        elif enc in _SIGNED:
            code = _codec("encode_" + enc, conv_i64(value), bits)
        elif enc in _BCD_NAMES:
            base = enc[:-7] if enc.endswith("_signed") else enc
            code = _codec("encode_" + base, conv_i64(value), bits, enc.endswith("_signed"))
        elif enc in ("ieee754_f16", "ieee754_f32"):
            code = _codec("encode_" + enc, conv_single(value))
        elif enc == "ieee754_f64":
            code = _codec("encode_" + enc, conv_double(value))
        elif enc in _TEXT or enc == "latin1":
            text = _codec("encode_" + ("iso_8859_1" if enc == "latin1" else enc),
                          conv_text(value))
        else:
            raise _unknown(field)
        little = _byte_order(field)
        if text is None and bits > 64:
            open_bytes = True  # what a code wider than 64 bits leaves in its leading bytes
        # Text longer than its field is cut to the field's bytes, so that it cannot overwrite
        # its neighbours; "little" then reverses what is kept.
        window = (bits + 7) // 8
        data = text[:window] if text is not None else _code_bytes(code, bits,
                                                                  field["reverse_bits"])
        if little:
            data = data[::-1]
        base = start // 8
        for k, byte in enumerate(data):
            if base + k < len(packet):
                packet[base + k] = byte
        cursor = start + bits
    return _Open(bytes(packet)) if open_bytes else bytes(packet)


class _Open(bytes):
    """A packet some of whose bytes are not fixed: only its type and length are."""


def model_call(name, args, kwargs):
    """The expected outcome of a call with correctly bound arguments: ("ok", value) or
    ("raise", Expect), or None when the arguments do not bind."""
    parameters, conversions, _ = SIGNATURES[name]
    if len(args) > len(parameters):
        return None
    bound = dict(zip(parameters, args))
    for key, value in kwargs.items():
        if key not in parameters or key in bound:
            return None
        bound[key] = value
    if any(p not in bound for p in parameters if p != "signed"):
        return None
    plain = []
    for parameter, conversion in zip(parameters, conversions):
        if parameter not in bound:
            plain.append(False)
            continue
        try:
            plain.append(_CONVERSIONS[conversion](bound[parameter]))
        except _Host as host:
            return ("raise", _argument_error(parameter, host))
    if name == "unpack_parameters":
        engine = lambda: model_unpack(*plain)
    elif name == "pack_parameters":
        engine = lambda: model_pack(*plain)
    else:
        try:
            import fieldpack
            return ("ok", getattr(fieldpack, name)(*plain))
        except BaseException as error:
            return ("raise", Expect(_qualname(type(error)), text=_safe_str(error)))
    try:
        return ("ok", engine())
    except _Host as host:
        return ("raise", _wrapped(host.error, host.exact))
    except _PositionUnfixed:
        return ("raise", Expect("ValueError", prefix=""))


# ---------------------------------------------------------------------------------------------
# Judging one call

CATEGORIES = ["crash", "hang", "pending", "hook", "wrapping", "unexpected", "mismatch", "leak"]


def canon(value):
    """A comparable form that keeps exact types, float bit patterns and dict order."""
    if type(value) is dict:
        return ["dict", [[canon(k), canon(v)] for k, v in value.items()]]
    if type(value) is float:
        return ["float", value.hex() if math.isfinite(value) else repr(value),
                math.copysign(1.0, value) < 0]
    return [type(value).__qualname__, repr(value)]


def _build(source):
    namespace = {}
    exec("from hostile import *\n" + source, namespace)
    return namespace["fn"], namespace["args"], namespace.get("kwargs", {})


def _call(fn_name, args, kwargs):
    import fieldpack
    arm()
    try:
        return ("ok", getattr(fieldpack, fn_name)(*args, **kwargs))
    except BaseException as error:
        return ("raise", error)
    finally:
        _armed[0] = False


_PYPY = sys.implementation.name == "pypy"


def _role(error):
    """The hook named by an exception that the caller's code raised, else ""."""
    first = error.args[0] if error.args else None
    return first if isinstance(first, str) else ""


def _unwrapped_allowed(error):
    """The caller's own exception, raised while the arguments were converted."""
    role = _role(error)
    return role.startswith("arg") and "__len__" not in role


def _judge_type(fn_name, outcome):
    """None, or (category, detail) for a result of the wrong type or a disallowed exception."""
    kind, value = outcome
    _, _, result = SIGNATURES[fn_name]
    packet_fn = fn_name in ("pack_parameters", "unpack_parameters")
    if kind == "ok":
        if result is NotImplementedError or type(value) is not result:
            return ("unexpected", f"returned {type(value).__qualname__}")
        return None
    error = value
    name = _qualname(type(error))
    text = _safe_str(error)
    if isinstance(error, SystemError):
        return ("pending", f"SystemError: {text}")
    if _passes_through(error):
        return None
    if _PYPY and (_role(error) in _HOST_ASKS or any(f"HostileError: {h}" == text
                                                     for h in _HOST_ASKS)):
        return None  # see _verdict
    if packet_fn:
        if _unwrapped_allowed(error):
            return None
        if "recipe.__len__" in (text or "") or "__len__() should" in (text or ""):
            return ("hook", f"a failing length was not ignored: {name}: {text!r}")
        if type(error) is ValueError:
            if text is None or ": " not in text or " " in text.split(": ", 1)[0]:
                return ("wrapping", f"ValueError without a type name: {text!r}")
            inner = text.split(": ", 1)[0]
            if inner in ("KeyboardInterrupt", "SystemExit", "MemoryError", "HostileBase"):
                return ("wrapping", f"passed-through kind wrapped: {text!r}")
            return None
        if type(error) in (TypeError, OverflowError):
            if type(error) is TypeError and not (text or "").startswith(
                    ("argument '", fn_name + "()")):
                return ("wrapping", f"TypeError without an argument prefix: {text!r}")
            if _role(error).startswith(("entry", "value", "key", "vkey")):
                return ("wrapping", f"{name} from inside the engine not wrapped: {text!r}")
            return None
        return ("wrapping" if isinstance(error, Exception) else "unexpected",
                f"{name}: {text!r} not wrapped")
    if result is NotImplementedError and type(error) is NotImplementedError:
        return None
    if type(error) in (TypeError, OverflowError, ValueError, UnicodeEncodeError):
        return None
    if _unwrapped_allowed(error):
        return None
    return ("unexpected", f"{name}: {text!r}")


def _matches(expect, error):
    if _qualname(type(error)) != expect.type_name:
        return False
    text = _safe_str(error)
    if expect.text is not None and text != expect.text:
        return False
    if expect.prefix is not None and not (text or "").startswith(expect.prefix):
        return False
    return True


def _describe(outcome):
    kind, value = outcome
    if kind == "ok":
        return f"returned {value!r}"[:300]
    return f"raised {_qualname(type(value))}: {_safe_str(value)!r}"[:300]


_HOST_ASKS = ("Entry.__len__", "Values.__len__")


def _verdict(source):
    fn_name, args, kwargs = _build(source)
    outcome = _call(fn_name, args, kwargs)
    forbidden = list(FORBIDDEN)
    host_asked = False
    if _PYPY:
        # PyPy asks a dict subclass for its length when the object first reaches C code; what
        # a failing length then does is the host's, not the module's.
        host_asked = any(f in _HOST_ASKS for f in forbidden)
        forbidden = [f for f in forbidden if f not in _HOST_ASKS]
    # PyPy also asks a tuple subclass for its length when it converts it into an argument of a
    # C function, before the module runs: a failure there is the host's.
    boundary_length = _PYPY and any(
        isinstance(a, tuple) and type(a) is not tuple for a in list(args) + list(kwargs.values()))
    del args, kwargs
    if (boundary_length and outcome[0] == "raise"
            and _safe_str(outcome[1]) in ("arg.recipe.__len__", "__len__() should return >= 0")):
        return None
    verdict = _judge_type(fn_name, outcome)
    if verdict:
        return verdict[0], f"{verdict[1]} ({_describe(outcome)})"
    if forbidden:
        return "hook", f"consulted {', '.join(sorted(set(forbidden)))} ({_describe(outcome)})"
    if host_asked and outcome[0] == "raise":
        return None
    # The reference walk, on a second copy of the same objects.
    _, args, kwargs = _build(source)
    arm()
    try:
        expected = model_call(fn_name, args, kwargs)
    finally:
        arm(False)
    if expected is None:
        if outcome[0] == "ok" or type(outcome[1]) is not TypeError:
            return "mismatch", f"expected a binding TypeError, {_describe(outcome)}"
        return None
    if expected[0] == "ok":
        if isinstance(expected[1], _Open):
            if outcome[0] != "ok" or len(outcome[1]) != len(expected[1]):
                return "mismatch", f"expected {len(expected[1])} bytes, {_describe(outcome)}"
            return None
        if outcome[0] != "ok" or canon(outcome[1]) != canon(expected[1]):
            return "mismatch", f"expected {expected[1]!r}, {_describe(outcome)}"[:400]
        return None
    if outcome[0] == "ok" or not _matches(expected[1], outcome[1]):
        return "mismatch", f"expected {expected[1]!r}, {_describe(outcome)}"[:400]
    return None


def _collect(full=False):
    # The child runs with automatic collection off, so everything a case made is still in the
    # youngest generation: collecting that one is enough, and cheap.
    gc.collect() if full else gc.collect(0)


def _layout_verdict(source):
    """The same packet case through compiled layouts of both packings, each on fresh objects:
    construction and every method may meet the hostile objects, and must end in a value of the
    right type or an exception, never a crash or an exception left pending. (Layouts promise the
    functions' results only for recipes whose objects answer alike every time, so results are
    not compared here.)"""
    for packing in ("bytes", "bits"):
        verdict = _layout_verdict_of(source, packing)
        if verdict:
            return verdict
    return None


def _layout_verdict_of(source, packing):
    fn_name, args, kwargs = _build(source)
    if fn_name not in ("pack_parameters", "unpack_parameters") or kwargs:
        return None
    try:
        import fieldpack_layout
    except ImportError:
        return None
    recipe = args[0] if fn_name == "pack_parameters" else args[2]
    arm()
    try:
        try:
            layout = fieldpack_layout.Layout(recipe, packing=packing)
        except BaseException as error:  # noqa: BLE001 - every exception is an outcome
            if isinstance(error, SystemError):
                return "pending", f"Layout(packing={packing!r}): SystemError: {_safe_str(error)}"
            return None
        calls = []
        if fn_name == "pack_parameters":
            values = args[1]
            calls.append(("pack", lambda: layout.pack(values), bytes))
            calls.append(("pack_into", lambda: layout.pack_into(bytearray(64), values), type(None)))
            calls.append(("figure", lambda: layout.figure(values), str))
        else:
            packet, offset = args[0], args[1]
            calls.append(("unpack", lambda: layout.unpack(packet, offset), dict))
            calls.append(("unpack_columns",
                          lambda: layout.unpack_columns(bytes(packet) * 3, len(packet) or 1), dict))
            calls.append(("iter_unpack", lambda: list(layout.iter_unpack(
                bytes(packet) * 2, len(packet) or 1)), list))
        calls.append(("recipe", lambda: layout.recipe, list))
        calls.append(("problems", layout.problems, list))
        for name, call, result in calls:
            try:
                value = call()
            except BaseException as error:  # noqa: BLE001
                if isinstance(error, SystemError):
                    return "pending", f"Layout.{name} ({packing}): SystemError: {_safe_str(error)}"
                continue
            if type(value) is not result:
                return "unexpected", (f"Layout.{name} ({packing}) returned "
                                      f"{type(value).__qualname__}")
        return None
    finally:
        _armed[0] = False


class _HostileFile:
    """A binary file whose readinto() misbehaves: raises, answers None or a count it did not
    read, keeps the view it was given, or resizes the buffer behind it (which PyPy allows)."""

    def __init__(self, data, mode, act):
        self.data, self.mode, self.act, self.at, self.kept = data, mode, act, 0, []
        _born()

    __del__ = _died

    def readinto(self, view):
        self.act("file.readinto")
        mode = self.mode
        if mode == "none":
            return None
        if mode == "lie":
            return len(view) + 1
        if mode == "float":
            return 1.5
        if mode == "keep":
            self.kept.append(view)
        if mode == "resize":
            try:
                view.obj.clear()
            except Exception:  # noqa: BLE001 - refused where a view pins the buffer
                pass
            return 0
        chunk = self.data[self.at:self.at + len(view)]
        view[:len(chunk)] = chunk
        self.at += len(chunk)
        return len(chunk)


class _Pairs:
    """A mapping as a stream reads one: items() alone, which runs an act first."""

    def __init__(self, pairs, act):
        self.pairs, self.act = pairs, act
        _born()

    __del__ = _died

    def items(self):
        self.act("mapping.items")
        return list(self.pairs)


def _stream_pieces(rng, layout, targets):
    """The arguments of a Stream over a two-field header (k, n: one byte each) whose layouts
    are `layout` and the header itself, each given plainly or by a hostile object, and the
    acts that run in their hooks; `targets` are containers an act may change."""
    def act():
        r = rng.random()
        if r < 0.7:
            return _NOP
        if r < 0.85:
            return Raise(rng.choice(sorted(_RAISE)))
        target = rng.choice(targets)
        return rng.choice([Clear(target), Grow(target), Once(Raise("hostile"))])

    def number(value, role):
        kind = rng.random()
        if kind < 0.5:
            return value
        if kind < 0.8:
            return Index(value, act(), role)
        return IntSub(value, act(), role)

    def name(text):
        return StrSub(text) if rng.random() < 0.3 else text

    key = rng.choice([name("k")] * 4 + [("k",), TupleSub(("k",)), HollowTuple(("k",)),
                                        ("k", "n"), name("n"), 5])
    tuple_key = isinstance(key, tuple) and tuple.__len__(key) == 2
    keys = [(number(1, "key"), number(2, "key")) if tuple_key else number(1, "key"),
            (number(3, "key"), 0) if tuple_key
            else number(rng.choice([3] * 8 + [300, -1]), "key")]
    pairs = [(keys[0], layout), (keys[1], rng.choice([layout] * 9 + ["not a layout"]))]
    form = rng.choice(["dict"] * 3 + ["values"] * 2 + ["hollow"] * 2 + ["pairs"] * 2 + ["list"])
    if form == "dict":
        layouts = dict(pairs)
    elif form == "values":
        layouts = Values()
        for k, v in pairs:
            dict.__setitem__(layouts, k, v)
    elif form == "hollow":
        layouts = HollowDict(pairs)
    elif form == "pairs":
        layouts = _Pairs(pairs, act())
    else:
        layouts = ListSub()
        list.extend(layouts, pairs)
    targets.append(layouts if isinstance(layouts, (dict, list)) else pairs)
    options = {"key": key, "layouts": layouts}
    if rng.random() < 0.8:
        options["length"] = name("n")
        options["length_offset"] = number(rng.choice([0, 2, -1]), "length_offset")
    else:
        options["size"] = number(rng.choice([2, 5, 5, 0]), "size")
    if rng.random() < 0.5:
        options["sequence"] = name("n")
        options["sequence_modulus"] = number(rng.choice([3, 256, 2**64, 0]), "sequence_modulus")
    if rng.random() < 0.3:
        options["tail"] = name("rest")
    if rng.random() < 0.4:
        idle = rng.choice([ListSub(), HollowList(), []])
        list.extend(idle, [number(7, "idle")])
        options["idle"] = idle
    for option in ("sync", "unsegmented"):
        if rng.random() < 0.3:
            checks = rng.choice([Values(), HollowDict(), {}])
            dict.__setitem__(checks, name("k"), number(1, option))
            options[option] = checks
    return options, act


def _stream_verdict(source):
    """The same unpack case's recipe as a layout of a Stream whose arguments, mappings, keys
    and files misbehave: construction and every call end in a value of the right type or an
    exception, never a crash or an exception left pending, and no hook of a dict subclass's
    storage runs."""
    fn_name, args, kwargs = _build(source)
    if fn_name != "unpack_parameters" or kwargs:
        return None
    try:
        import io
        import pickle
        import fieldpack_layout
    except ImportError:
        return None
    rng = random.Random(source)
    header = fieldpack_layout.Layout([
        {"name": "k", "encoding": "unsigned", "bits": 8, "byte_order": "big",
         "reverse_bits": False},
        {"name": "n", "encoding": "unsigned", "bits": 8, "byte_order": "big",
         "reverse_bits": False}])
    packet = args[0]
    try:
        packet = bytes(packet) if isinstance(packet, (bytes, bytearray)) else b""
    except Exception:  # noqa: BLE001 - a packet that will not become bytes: an empty one
        packet = b""
    arm()
    try:
        try:
            layout = fieldpack_layout.Layout(args[2], packing=rng.choice(["bytes", "bits"]))
        except BaseException:  # noqa: BLE001 - the layout verdict judges this
            layout = header
    finally:
        _armed[0] = False
    del args
    targets = [[]]
    options, act = _stream_pieces(rng, layout, targets)
    data = b"".join(bytes([rng.choice([1, 3, 7, 9]), size]) + packet[:max(0, size - 2)]
                    + bytes(max(0, size - 2 - len(packet)))
                    for size in (rng.randrange(0, 40) for _ in range(rng.randrange(6))))
    data += bytes(rng.randrange(3))
    files = [io.BytesIO(data), _HostileFile(data, rng.choice(["ok", "none", "lie", "float", "keep",
                                                            "resize"]), act())]
    progress = rng.choice([None, lambda done, total: act()("progress"),
                           Index(1, act(), "progress")])
    chunk = rng.choice([1, 3, 64, 64, Index(2, act(), "chunk_bytes"), 0])
    numpy_flag = rng.random() < 0.3 and "numpy" in sys.modules
    arm()
    try:
        try:
            stream = fieldpack_layout.Stream(header, **options)
        except BaseException as error:  # noqa: BLE001 - every exception is an outcome
            if isinstance(error, SystemError):
                return "pending", f"Stream(): SystemError: {_safe_str(error)}"
            stream = None
        calls = []
        if stream is not None:
            result = fieldpack_layout.StreamResult
            calls = [
                ("unpack_columns", lambda: stream.unpack_columns(data, numpy=numpy_flag,
                                                                 offsets=rng.random() < 0.5),
                 result),
                ("unpack_columns(bytearray)", lambda: stream.unpack_columns(bytearray(data)),
                 result),
                ("split", lambda: stream.split(memoryview(data)), result),
                ("repr", lambda: repr(stream), str),
            ] + [(f"unpack_file({type(f).__name__})",
                  lambda f=f: stream.unpack_file(f, chunk_bytes=chunk, progress=progress), result)
                 for f in files]
            # Last, once the hooks are judged: pickling a stream pickles its layouts' recipes,
            # whose objects pickle asks for their items.
            calls.append(("pickle", lambda: pickle.loads(pickle.dumps(stream)), type(stream)))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for name, call, kind in calls:
                if name == "pickle":
                    forbidden = [f for f in FORBIDDEN if not (_PYPY and f in _HOST_ASKS)]
                    if forbidden:
                        return "hook", f"Stream consulted {', '.join(sorted(set(forbidden)))}"
                try:
                    value = call()
                except BaseException as error:  # noqa: BLE001
                    if isinstance(error, SystemError):
                        return "pending", f"Stream.{name}: SystemError: {_safe_str(error)}"
                    continue
                if type(value) is not kind:
                    return "unexpected", f"Stream.{name} returned {type(value).__qualname__}"
        forbidden = [f for f in FORBIDDEN if not (_PYPY and f in _HOST_ASKS)]
        if forbidden and stream is None:
            return "hook", f"Stream() consulted {', '.join(sorted(set(forbidden)))}"
        return None
    finally:
        _armed[0] = False


def judge(source, repeats=20):
    """(category, detail) for one case, or None when it passed."""
    if sys.implementation.name != "cpython":
        # PyPy keeps the objects of up to a few hundred recent calls that raised for a while,
        # so only the steady growth of memory over many calls tells a leak there.
        return _verdict(source) or _layout_verdict(source) or _stream_verdict(source)
    _collect()
    live = _LIVE[0]
    verdict = _verdict(source) or _layout_verdict(source)
    if verdict:
        return verdict
    # A stream keeps no hostile object past its calls.
    _collect()
    before = _LIVE[0]
    verdict = _stream_verdict(source)
    if verdict:
        return verdict
    _collect()
    if _LIVE[0] > before:
        for _ in range(repeats):
            _stream_verdict(source)
        _collect(full=True)
        if _LIVE[0] - before >= repeats:
            return "leak", f"{_LIVE[0] - before} hostile objects outlive {repeats} streams"
    _collect()
    if _LIVE[0] > live:
        live = _LIVE[0]
        for _ in range(repeats):
            fn_name, args, kwargs = _build(source)
            _call(fn_name, args, kwargs)
            del args, kwargs
        _collect(full=True)
        if _LIVE[0] - live >= repeats:
            return "leak", (f"{_LIVE[0] - live} hostile objects outlive {repeats} repeated calls")
    return None


def leaks(source, rounds=20):
    """True when repeating the case makes the interpreter's allocated blocks grow by a block or
    more per call, window after window, and still after a longer run (caches warm up slowly, a
    leak does not stop). CPython only."""
    if not hasattr(sys, "getallocatedblocks") or sys.implementation.name != "cpython":
        return False

    def once():
        fn_name, args, kwargs = _build(source)
        _call(fn_name, args, kwargs)

    def grows(size, windows=3):
        for _ in range(windows):
            gc.collect()
            before = sys.getallocatedblocks()
            for _ in range(size):
                once()
            gc.collect()
            if sys.getallocatedblocks() - before < size:
                return False
        return True

    for _ in range(rounds):
        once()
    return grows(rounds) and grows(10 * rounds)


# ---------------------------------------------------------------------------------------------
# Child processes

def _child(argv):
    """Reads jobs (JSON list) from stdin, writes one JSON line per job, then "done"."""
    warnings.simplefilter("ignore")
    if sys.implementation.name == "cpython":
        gc.disable()
    leak_every = int(argv[0]) if argv else 0
    jobs = json.load(sys.stdin)
    out = sys.stdout
    try:
        import faulthandler
        faulthandler.enable()
    except Exception:
        pass
    for job in jobs:
        source = _source(job)
        try:
            compile(source, "<case>", "exec")
        except SyntaxError as error:
            out.write(json.dumps({"verdict": ["unexpected", f"case does not build: {error}"]})
                      + "\n")
            continue
        if job.get("outcome"):  # run the snippet, report what it did
            try:
                fn_name, args, kwargs = _build(source)
            except Exception as error:
                out.write(json.dumps({"build": f"{type(error).__name__}: {error}"}) + "\n")
                continue
            kind, value = _call(fn_name, args, kwargs)
            if kind == "ok":
                report = {"ok": canon(value)}
            else:
                report = {"raise": _qualname(type(value)), "text": _safe_str(value)}
            report["forbidden"] = sorted(set(FORBIDDEN))
            out.write(json.dumps(report) + "\n")
            out.flush()
            continue
        verdict = judge(source)
        if verdict is None and leak_every and job.get("index", 0) % leak_every == 0:
            if leaks(source):
                verdict = ("leak", "allocated blocks grow with repeated calls")
        out.write(json.dumps({"verdict": verdict}) + "\n")
        out.flush()
    out.write('"done"\n')
    out.flush()


def child_command():
    # Where no binfmt handler runs foreign binaries, an emulated interpreter is started through
    # its emulator: FIELDPACK_CHILD_PREFIX holds that command (for example "qemu-arm -L ROOT").
    command = shlex.split(os.environ.get("FIELDPACK_CHILD_PREFIX", "")) + [sys.executable]
    if sys.flags.no_site:
        command.append("-S")
    code = (f"import sys; sys.path.insert(0, {TESTS_DIR!r}); import hostile; "
            f"hostile._child(sys.argv[1:])")
    return command + ["-c", code]


def run_jobs(jobs, leak_every=0, timeout=300):
    """Runs jobs in one child. Returns (results, death): results for the jobs that finished, in
    order; death None, or a description of how the child ended early."""
    try:
        proc = subprocess.run(child_command() + [str(leak_every)], input=json.dumps(jobs),
                              capture_output=True, text=True, timeout=timeout)
        stdout, stderr, code = proc.stdout, proc.stderr, proc.returncode
    except subprocess.TimeoutExpired as expired:
        stdout = expired.stdout or ""
        stderr = expired.stderr or ""
        if isinstance(stdout, bytes):
            stdout, stderr = stdout.decode(errors="replace"), stderr.decode(errors="replace")
        code = "timeout"
    results, done, other = [], False, []
    for line in stdout.splitlines():
        try:
            item = json.loads(line)
        except ValueError:
            other.append(line)  # PyPy's compatibility layer reports its fatal errors here
            continue
        if item == "done":
            done = True
        else:
            results.append(item)
    if done and code == 0:
        return results, None
    return results, _death(code, "\n".join(other + [stderr]))


def _death(code, stderr):
    if code == "timeout":
        what = "hang (timed out)"
    elif isinstance(code, int) and code < 0:
        what = f"killed by signal {-code}"
    else:
        what = f"exit status {code}"
    lines = stderr.splitlines()
    keep = [line for line in lines if any(s in line for s in (
        "SUMMARY", "Fatal Python", "ERROR: AddressSanitizer", "runtime error", "Aborted",
        "cpyext", "was not supposed to fail"))]
    # The module's own frames of a sanitizer report say where it went wrong.
    keep += [line.strip() for line in lines if "/src/" in line and " in " in line][:8]
    return {"what": what, "stderr": "\n".join(keep[:14] or lines[-12:])}


def _die_category(death):
    return "hang" if death["what"].startswith("hang") else "crash"


class Report:
    def __init__(self):
        self.calls = 0
        self.failures = {c: [] for c in CATEGORIES}

    def add(self, category, label, detail, source):
        self.failures[category].append({"label": label, "detail": detail, "source": source})

    def counts(self):
        return {c: len(v) for c, v in self.failures.items()}

    def ok(self):
        return not any(self.failures.values())

    def text(self, limit=5):
        lines = [f"calls: {self.calls}"]
        lines += [f"{c}: {len(v)}" for c, v in self.failures.items()]
        for category, items in self.failures.items():
            for item in items[:limit]:
                lines.append("")
                lines.append(f"== {category}: case {item['label']}: {item['detail']}")
                lines.append(reproducer(item["source"]))
            if len(items) > limit:
                lines.append(f"... and {len(items) - limit} more {category} cases")
        return "\n".join(lines)


def reproducer(source):
    return ("# PYTHONPATH=tests python3 - <<'EOF'\nimport fieldpack\nfrom hostile import *\n"
            + source + "\narm()\ngetattr(fieldpack, fn)(*args, **(globals().get('kwargs') or {}))"
            + "\n# EOF")


def _source(job):
    return make_case(*job["case"]) if "case" in job else job["source"]


def run_batch(jobs, labels, report, leak_every=0, timeout=600):
    """Runs jobs in one child; when it dies, the job it died in runs alone, so the crash is
    reported with that single case (or, if it only dies after others, with the one of them
    that dies alone), and the rest of the batch goes on in a new child."""
    results, death = run_jobs(jobs, leak_every, timeout)
    for label, job, result in zip(labels, jobs, results):
        _record(report, label, job, result["verdict"])
    if death is None:
        return
    done = len(results)
    culprit, label = jobs[done], labels[done]
    single, single_death = run_jobs([culprit], leak_every, timeout)
    if single_death:
        report.add(_die_category(single_death), label,
                   f"{single_death['what']}\n{single_death['stderr']}", _source(culprit))
    else:
        if single:
            _record(report, label, culprit, single[0]["verdict"])
        alone = False
        for earlier_label, earlier in zip(labels[:done], jobs[:done]):
            _, d = run_jobs([earlier], 0, timeout)
            if d:
                alone = True
                report.add(_die_category(d), earlier_label,
                           f"{d['what']} (noticed later)\n{d['stderr']}", _source(earlier))
        if not alone:
            report.add(_die_category(death), f"{labels[0]}..{label}",
                       f"{death['what']} only when these cases run in one process",
                       _source(culprit))
    if done + 1 < len(jobs):
        run_batch(jobs[done + 1:], labels[done + 1:], report, leak_every, timeout)


def _record(report, label, job, verdict):
    if verdict:
        report.add(verdict[0], label, verdict[1], _source(job))


def run(calls, seed, jobs=1, batch=500, leak_every=200, timeout=600, progress=None):
    report = Report()
    report.calls = calls
    batches = [list(range(start, min(start + batch, calls))) for start in range(0, calls, batch)]

    def work(indices):
        part = Report()
        run_batch([{"case": [seed, i], "index": i} for i in indices],
                  [f"{seed}:{i}" for i in indices], part, leak_every, timeout)
        if progress:
            progress(indices[-1] + 1)
        return part

    with ThreadPoolExecutor(max_workers=max(1, jobs)) as pool:
        for part in pool.map(work, batches):
            for category, items in part.failures.items():
                report.failures[category].extend(items)
    return report


def run_snippets(sources, timeout=120):
    """Runs each snippet in a child of its own and reports what the call did: {"ok": canon} or
    {"raise": type, "text": str}, with "forbidden" hooks; or {"died": description}."""
    out = []
    for source in sources:
        results, death = run_jobs([{"source": source, "outcome": True}], 0, timeout)
        out.append(results[0] if results else {"died": death})
    return out


_SIMPLER = [
    (r"Once\((.*)\)$", r"\1"),
    (r"StrSub\(('[^']*')\)", r"\1"),
    (r"IntSub\((-?\d+), [^)]*\)", r"\1"),
    (r", 'entry\.\w+'\)", ")"),
    (r", 'value'\)", ")"),
    (r", 'key'\)", ")"),
    (r"Entry\(raising=\w+\)", "{}"),
]


def _dies(source, timeout):
    """The child running the snippet is killed by a signal or stopped by a sanitizer."""
    _, death = run_jobs([{"source": source, "outcome": True}], 0, timeout)
    return death is not None and ("signal" in death["what"] or "Sanitizer" in death["stderr"]
                                  or "runtime error" in death["stderr"])


def shrink(source, timeout=60):
    """A shorter snippet that still crashes: statements dropped and hostile wrappers replaced
    by plain values, one change at a time, while the child still dies."""
    import re
    lines = source.split("\n")
    changed = True
    while changed:
        changed = False
        for i in range(len(lines) - 1):  # the last line makes the call
            trial = lines[:i] + lines[i + 1:]
            if _dies("\n".join(trial), timeout):
                lines, changed = trial, True
                break
        if changed:
            continue
        for i, line in enumerate(lines):
            for pattern, replacement in _SIMPLER:
                simpler = re.sub(pattern, replacement, line)
                if simpler != line and _dies("\n".join(lines[:i] + [simpler] + lines[i + 1:]),
                                             timeout):
                    lines[i], changed = simpler, True
                    break
            if changed:
                break
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=10000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=1)
    parser.add_argument("--batch", type=int, default=500)
    parser.add_argument("--leak-every", type=int, default=200,
                        help="repeat every Nth case to watch the allocated blocks (0: never; "
                             "CPython only)")
    parser.add_argument("--limit", type=int, default=5, help="reproducers shown per category")
    parser.add_argument("--case", help="SEED:INDEX: print that case and judge it in a child")
    parser.add_argument("--json", metavar="FILE", help="write every failure there")
    parser.add_argument("--shrink", type=int, default=0, metavar="N",
                        help="shrink the reproducers of the first N crashes")
    options = parser.parse_args(argv)
    if options.case:
        seed, index = (int(part) for part in options.case.split(":"))
        source = make_case(seed, index)
        print(reproducer(source))
        results, death = run_jobs([{"case": [seed, index], "index": 0}], 1)
        print("verdict:", death or (results[0]["verdict"] if results else None) or "passed")
        return 0
    started = time.monotonic()

    def progress(done):
        print(f"  ... batch ending at case {done} finished", file=sys.stderr, flush=True)

    report = run(options.calls, options.seed, options.jobs, options.batch, options.leak_every,
                 progress=progress)
    print(f"{sys.implementation.name} {sys.version.split()[0]}, seed {options.seed}, "
          f"{time.monotonic() - started:.0f} s")
    for item in report.failures["crash"][:options.shrink]:
        if "only when" not in item["detail"]:
            item["source"] = shrink(item["source"])
    print(report.text(options.limit))
    if options.json:
        with open(options.json, "w") as f:
            json.dump({"calls": report.calls, "host": sys.implementation.name,
                       "failures": report.failures}, f, indent=1)
    return 0 if report.ok() else 1


if __name__ == "__main__":
    sys.exit(main())
