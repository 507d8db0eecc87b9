r"""Writes core_vectors.txt: what fieldpack_layout.Layout gives for chosen recipes, packets and
values, for tests/native/core_vectors.cpp to check the host-neutral core against, on this machine
and on every target the core is built for.

    python3 tests/golden/make_vectors.py            # rewrites tests/golden/core_vectors.txt
    python3 tests/golden/make_vectors.py --check    # exit status 1 when the file is not current

The recipes and values are chosen here, deterministically (a fixed-seed generator of our own, so
that every Python version writes the same file); the results come from the installed module.
tests/test_core_vectors.py regenerates the file and fails when it differs from the committed one.

The file is UTF-8 text, one record a line, its fields separated by tabs; `#` starts a comment
line. Text fields are in double quotes, written as UTF-8 with `\\` for a backslash and
`\u{hex}` for a control character, a surrogate or an invisible separator. Records:

    layout <strict 0|1>                      a recipe; the cases below are run against it
    field "name" "encoding as spelled" <encoding resolved> <bits> <big|little> <reverse_bits 0|1>
          <offset_bits|-> "name as the host shows it" ["unread key as the host shows it"]...
    problems                                 Layout.problems(), one `problem "sentence"` each
    unpack <offset_bits> <packet hex|->      Layout.unpack(packet, offset_bits): then either
        value <index> u|i <decimal>            the value of each key of the dict, in its order,
        value <index> f <repr> <hex of the double>   with the index of the field it came from
        value <index> t "text"
      or
        fail <index> <start_bit> <type> "message" "hint"
    pack <-|offset_bits>                     Layout.pack(values) (`-`), or pack_into a zeroed
        given <index> u|i <decimal>          buffer at offset_bits: the value for each field
        given <index> f <repr> <hex>         (a field without one is missing from the dict;
        given <index> t "text"               `any`: a value for a field whose encoding packing
        given <index> any                    refuses, which never looks at it)
      then either
        bytes <hex|->                        the packet, or the buffer from byte offset_bits / 8
                                             on, as far as the fields' windows reach
      or
        fail <index> <start_bit> <type> "message" "hint"
    unknown "spelled" <lower case> <packing 0|1> <type> "message" "hint"
                                             an encoding name no walk knows, as a recipe's
                                             reader reports it for unpacking or packing
    order "spelled" <type> "message"         a byte order that is neither big nor little

A failure is the exception chained to the ValueError that the layout raised (its type name and
args[0]), with the field and start bit of the note naming the field and the failure's hint (the
note after it), or "" when there is none.
"""

import argparse
import difflib
import math
import re
import struct
import sys
from pathlib import Path

from fieldpack import pack_parameters, unpack_parameters
from fieldpack_layout import Layout

VECTORS = Path(__file__).with_name("core_vectors.txt")
ENCODINGS_HEADER = Path(__file__).resolve().parents[2] / "src" / "common" / "encodings.hpp"

RECIPE_KEYS = ("name", "encoding", "bits", "byte_order", "reverse_bits", "offset_bits")

UNSIGNED = ["unsigned"]
SIGNED = ["sign_magnitude", "ones_complement", "twos_complement"]
DECIMAL = ["packed_bcd", "packed_bcd_signed", "unpacked_bcd", "unpacked_bcd_signed"]
FLOATS = {"ieee754_f16": 16, "ieee754_f32": 32, "ieee754_f64": 64}
F128 = ["ieee754_f128"]
RESERVED = {
    "ieee754_1985_f32": 32, "ieee754_1985_f64": 64, "ieee754_1985_f80": 80,
    "mil_std_1750a_f32": 32, "mil_std_1750a_f48": 48, "dec_f32": 32, "dec_f64": 64,
    "ibm_f32": 32, "ibm_f64": 64, "ti_f32": 32, "ti_f40": 40,
}
TEXT = ["utf8", "utf16", "utf16le", "utf16be", "utf32", "utf32le", "utf32be", "us_ascii",
        "iso_8859_1", "latin1", "windows_1252"]
ALL_ENCODINGS = UNSIGNED + SIGNED + DECIMAL + list(FLOATS) + F128 + list(RESERVED) + TEXT

# The byte order and bit reversal of a field, every combination.
CONFIGS = [("big", False), ("little", False), ("big", True), ("little", True)]

NOTE = re.compile(r"^field (\d+)(?: .*)? \((?:.*, )?(\d+) bits? at bit (\d+)\)$", re.DOTALL)


class Random:
    """splitmix64: the same numbers on every Python, whatever its random module does."""

    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFFFFFFFFFF

    def next64(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & 0xFFFFFFFFFFFFFFFF
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & 0xFFFFFFFFFFFFFFFF
        return z ^ (z >> 31)

    def bits(self, count):
        value = 0
        for _ in range(0, count, 64):
            value = (value << 64) | self.next64()
        return value & ((1 << count) - 1) if count else 0

    def below(self, limit):
        """Uniform in [0, limit)."""
        if limit <= 1:
            return 0
        width = (limit - 1).bit_length()
        while True:
            value = self.bits(width)
            if value < limit:
                return value

    def between(self, low, high):
        return low + self.below(high - low + 1)

    def pick(self, items):
        return items[self.below(len(items))]

    def bytes(self, count):
        return bytes(self.below(256) for _ in range(count))


def quoted(text):
    out = []
    for ch in text:
        code = ord(ch)
        if ch == "\\":
            out.append("\\\\")
        elif (code < 0x20 or 0x7F <= code < 0xA0 or 0xD800 <= code < 0xE000
              or code in (0x2028, 0x2029, 0xFEFF)):
            out.append("\\u{%x}" % code)
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def hex_or_dash(data):
    return bytes(data).hex() if data else "-"


def double_hex(value):
    return struct.pack(">d", value).hex()


def field(name, encoding, bits, byte_order="big", reverse_bits=False, offset_bits=None, **extra):
    entry = {"name": name, "encoding": encoding, "bits": bits, "byte_order": byte_order,
             "reverse_bits": reverse_bits}
    if offset_bits is not None:
        entry["offset_bits"] = offset_bits
    entry.update(extra)
    return entry


def family(encoding):
    encoding = encoding.lower()
    if encoding in UNSIGNED:
        return "unsigned"
    if encoding in SIGNED or encoding in DECIMAL:
        return "signed"
    if encoding in FLOATS:
        return "real"
    if encoding in TEXT:
        return "text"
    return "refused"


def window_bytes(bits):
    return (bits + 7) // 8


def starts(recipe):
    """Where the walks start each field at offset 0: at its offset, else where the one before
    ended."""
    position = 0
    out = []
    for entry in recipe:
        start = entry.get("offset_bits", position)
        out.append(start)
        position = start + entry["bits"]
    return out


def extent(recipe, residue):
    """The bytes from byte offset_bits // 8 that the windows reach when the offset leaves
    `residue` bits in its first byte: what pack_into writes."""
    return max([(residue + start) // 8 + window_bytes(entry["bits"])
                for entry, start in zip(recipe, starts(recipe))], default=0)


class Vectors:
    def __init__(self):
        self.lines = []
        self.recipe = None
        self.layout = None
        self.counts = {"layouts": 0, "unpack": 0, "pack": 0, "failures": 0, "problems": 0,
                       "unknown": 0, "order": 0}

    def comment(self, text):
        self.lines.append("")
        self.lines.append("# " + text)

    # -- recipes ----------------------------------------------------------------------------

    def use(self, recipe, strict=False):
        """Starts a recipe: its fields and what problems() says of it."""
        self.recipe = recipe
        self.layout = Layout(recipe, strict=strict)
        self.counts["layouts"] += 1
        self.lines.append(f"layout\t{int(strict)}")
        for entry in recipe:
            encoding = entry["encoding"].lower()
            assert encoding in ALL_ENCODINGS, encoding
            offset = entry.get("offset_bits")
            unread = [repr(key) for key in entry if key not in RECIPE_KEYS]
            self.lines.append("\t".join(
                ["field", quoted(entry["name"]), quoted(entry["encoding"]), encoding,
                 str(entry["bits"]), entry["byte_order"].lower(), str(int(entry["reverse_bits"])),
                 "-" if offset is None else str(offset), quoted(repr(entry["name"]))]
                + [quoted(key) for key in unread]))
        problems = self.layout.problems()
        self.lines.append("problems")
        self.lines.extend("problem\t" + quoted(sentence) for sentence in problems)
        if problems:
            self.counts["problems"] += 1
        return self.layout

    def failure(self, error):
        """The fail record of what a layout raised."""
        assert type(error) is ValueError, repr(error)
        cause = error.__cause__
        assert cause is not None and len(cause.args) == 1, repr(error)
        kind = type(cause).__name__
        assert kind in ("ValueError", "KeyError", "TypeError", "OverflowError",
                        "NotImplementedError"), kind
        notes = getattr(error, "__notes__", [])
        assert 1 <= len(notes) <= 2, notes
        match = NOTE.match(notes[0])
        assert match, notes[0]
        index, bits, start = (int(group) for group in match.groups())
        assert bits == self.recipe[index]["bits"], (notes[0], self.recipe[index])
        hint = notes[1] if len(notes) == 2 else ""
        self.counts["failures"] += 1
        return "\t".join(["fail", str(index), str(start), kind, quoted(cause.args[0]),
                          quoted(hint)])

    def index_of_name(self, name):
        """The field a dict's value under `name` came from: the last of that name."""
        return max(i for i, entry in enumerate(self.recipe) if entry["name"] == name)

    # -- unpacking --------------------------------------------------------------------------

    def unpack(self, packet, offset_bits=0):
        packet = bytes(packet)
        self.counts["unpack"] += 1
        self.lines.append(f"unpack\t{offset_bits}\t{hex_or_dash(packet)}")
        try:
            values = self.layout.unpack(packet, offset_bits)
        except ValueError as error:
            self.lines.append(self.failure(error))
            return None
        assert list(values) == list(dict.fromkeys(entry["name"] for entry in self.recipe))
        for name, value in values.items():
            index = self.index_of_name(name)
            kind = family(self.recipe[index]["encoding"])
            if kind == "text":
                assert type(value) is str
                self.lines.append(f"value\t{index}\tt\t{quoted(value)}")
            elif kind == "unsigned":
                assert type(value) is int and value >= 0
                self.lines.append(f"value\t{index}\tu\t{value}")
            elif kind == "signed":
                assert type(value) is int
                self.lines.append(f"value\t{index}\ti\t{value}")
            else:  # floats, and f128's 0.0
                assert type(value) is float
                self.lines.append(f"value\t{index}\tf\t{value!r}\t{double_hex(value)}")
        return values

    # -- packing ----------------------------------------------------------------------------

    def given(self, index, value):
        kind = family(self.recipe[index]["encoding"])
        if kind == "refused":
            return f"given\t{index}\tany"
        if kind == "text":
            assert type(value) is str
            value.encode("utf-8")  # no lone surrogate: the host refuses those before the core
            return f"given\t{index}\tt\t{quoted(value)}"
        if kind == "real":
            assert type(value) is float
            return f"given\t{index}\tf\t{value!r}\t{double_hex(value)}"
        assert type(value) is int
        if kind == "unsigned":
            assert 0 <= value < 1 << 64, value
            return f"given\t{index}\tu\t{value}"
        assert -(1 << 63) <= value < 1 << 63, value
        return f"given\t{index}\ti\t{value}"

    def pack(self, values, offset_bits=None):
        """Packs `values` (a dict by name) with Layout.pack, or with pack_into at offset_bits.
        The packed bytes, or None when packing failed."""
        self.counts["pack"] += 1
        self.lines.append("pack\t" + ("-" if offset_bits is None else str(offset_bits)))
        for index, entry in enumerate(self.recipe):
            if entry["name"] in values:
                self.lines.append(self.given(index, values[entry["name"]]))
        size = self.layout.size
        assert size is None or size < 1 << 20, "a packet too large for a vector"
        try:
            if offset_bits is None:
                packed = self.layout.pack(values)
            else:
                first = offset_bits // 8
                # Positions past the largest one fail before the buffer's size is looked at.
                buffer = bytearray(first + extent(self.recipe, offset_bits % 8)
                                   if first < 1 << 20 else 16)
                self.layout.pack_into(buffer, values, offset_bits)
                packed = bytes(buffer[first:])
                assert not any(buffer[:first])
        except ValueError as error:
            self.lines.append(self.failure(error))
            return None
        self.lines.append("bytes\t" + hex_or_dash(packed))
        return packed

    def round_trip(self, values):
        """Packs the values, and unpacks what packing gave when it did not fail."""
        packed = self.pack(values)
        if packed is not None:
            self.unpack(packed)

    # -- names ------------------------------------------------------------------------------

    def unknown(self, spelled):
        """An encoding name that no walk knows, as Layout (for unpacking) and pack_parameters
        (for packing) report it."""
        entry = field("x", spelled, 8)
        for packing in (0, 1):
            try:
                if packing:
                    pack_parameters([entry], {"x": 1})
                else:
                    Layout([entry])
            except ValueError as error:
                notes = getattr(error, "__notes__", [])
                kind, _, message = str(error).partition(": ")
                hint = notes[1] if len(notes) == 2 else ""
            else:
                raise AssertionError(f"{spelled!r} was accepted")
            self.counts["unknown"] += 1
            self.lines.append("\t".join(["unknown", quoted(spelled), spelled.lower(), str(packing),
                                         kind, quoted(message), quoted(hint)]))

    def bad_order(self, spelled):
        try:
            unpack_parameters(b"\0", 0, [field("x", "unsigned", 8, spelled)])
        except ValueError as error:
            kind, _, message = str(error).partition(": ")
        else:
            raise AssertionError(f"{spelled!r} was accepted")
        self.counts["order"] += 1
        self.lines.append("\t".join(["order", quoted(spelled), kind, quoted(message)]))


# ---------------------------------------------------------------------------------------------
# The cases

def accepted(encoding, bits, value):
    """Whether a lone field of the encoding and width packs `value` and unpacks what that gave:
    the widths that can stand among others in a recipe whose walks are to reach its last
    field."""
    layout = Layout([field("probe", encoding, bits)])
    try:
        layout.unpack(layout.pack({"probe": value}))
    except ValueError:
        return False
    return True


def every_width(v, encoding, widths, zero, configs=CONFIGS, aligned=True):
    """For each byte order and bit reversal, a recipe of one field of each width that the
    encoding takes (each from a byte of its own, or back to back); each width it refuses gets a
    recipe of its own. Yields the recipes for the cases of the caller."""
    taken = [bits for bits in widths if accepted(encoding, bits, zero)]
    refused = [bits for bits in widths if bits not in taken]
    for byte_order, reverse in configs:
        v.comment(f"{encoding}, widths {taken[0]} to {taken[-1]}, {byte_order}, "
                  f"reverse_bits {reverse}, "
                  + ("each field from a byte of its own" if aligned else "back to back"))
        recipe, offset = [], 0
        for bits in taken:
            extra = {"offset_bits": offset} if aligned else {}
            recipe.append(field(f"w{bits}", encoding, bits, byte_order, reverse, **extra))
            offset += window_bytes(bits) * 8
        v.use(recipe)
        yield recipe
    if refused:
        v.comment(f"{encoding}: widths it refuses ({', '.join(map(str, refused))})")
        for bits in refused:
            v.use([field("w", encoding, bits)])
            v.unpack(bytes(window_bytes(bits)))
            v.round_trip({"w": zero})


def unsigned_cases(v, rng):
    widths = [0, 1, 3, 7, 8, 9, 12, 16, 17, 24, 31, 32, 33, 40, 48, 56, 63, 64, 65, 72, 96]

    def value_of(bits, mode):
        top = (1 << min(bits, 64)) - 1
        return {"zero": 0, "max": top, "random": rng.below(top + 1)}[mode]

    for aligned in (True, False):
        for recipe in every_width(v, "unsigned", widths, 0, aligned=aligned):
            for mode in ("zero", "max", "random"):
                v.round_trip({e["name"]: value_of(e["bits"], mode) for e in recipe})
            v.unpack(rng.bytes(extent(recipe, 0)))
            v.unpack(rng.bytes(extent(recipe, 5) + 1), 13)
            v.pack({e["name"]: value_of(e["bits"], "random") for e in recipe}, 13)
            v.unpack(rng.bytes(extent(recipe, 0) - 1))  # one byte short

    v.comment("unsigned: values too large for their width, packets too short, mixed spelling")
    for bits in [0, 1, 3, 7, 8, 16, 31, 32, 33, 63]:
        for byte_order, reverse in CONFIGS[:2] + CONFIGS[3:]:
            v.use([field("n", "UNSIGNED" if bits % 2 else "Unsigned", bits, byte_order, reverse)])
            v.pack({"n": 1 << bits})
            v.pack({"n": (1 << 64) - 1})
            v.pack({"n": (1 << bits) - 1 if bits else 0})
            v.unpack(b"\xa5" * (window_bytes(bits) - 1) if bits else b"")
            v.unpack(b"\xa5" * window_bytes(bits) + b"\x5a")


def signed_range(encoding, bits):
    if bits == 0:
        return 0, 0
    bits = min(bits, 64)
    top = (1 << (bits - 1)) - 1
    return (-top - 1 if encoding == "twos_complement" else -top), top


def signed_cases(v, rng):
    widths = [0, 1, 2, 3, 7, 8, 12, 16, 24, 31, 32, 33, 48, 63, 64, 72]
    for encoding in SIGNED:
        for recipe in every_width(v, encoding, widths, 0):
            for mode in ("min", "max", "random"):
                values = {}
                for e in recipe:
                    low, high = signed_range(encoding, e["bits"])
                    values[e["name"]] = {"min": low, "max": high,
                                         "random": rng.between(low, high)}[mode]
                v.round_trip(values)
            v.unpack(rng.bytes(extent(recipe, 0)))
            v.unpack(b"\xff" * extent(recipe, 0))
            v.unpack(b"\x80" * extent(recipe, 0))
            v.pack({e["name"]: rng.between(*signed_range(encoding, e["bits"])) for e in recipe},
                   6)

        v.comment(f"{encoding}: the edges of each width, negative zero, out of range")
        for bits in [1, 2, 8, 16, 32, 33, 63, 64]:
            v.use([field("s", encoding, bits)])
            low, high = signed_range(encoding, bits)
            for value in sorted({low - 1, low, -1, 0, 1, high, high + 1, -(1 << 63),
                                 (1 << 63) - 1}):
                if -(1 << 63) <= value < 1 << 63:
                    v.pack({"s": value})
            size = window_bytes(bits)
            sign = 1 << (bits - 1)
            for code in (sign, (1 << bits) - 1, sign + 1, sign - 1):
                v.unpack(code.to_bytes(size, "big"))
            v.unpack(b"\xff" * (size - 1))


def decimal_cases(v, rng):
    widths = [0, 4, 7, 8, 9, 12, 16, 20, 24, 32, 40, 48, 64, 72]
    for encoding in DECIMAL:
        packed = encoding.startswith("packed")
        signed = encoding.endswith("signed")
        digit_bits = 4 if packed else 8

        def digits_in(bits):
            count = min(bits, 64) // digit_bits
            return max(count - 1, 0) if signed and packed else count

        for recipe in every_width(v, encoding, widths, 0):
            for mode in ("max", "random", "random", "negative"):
                values = {}
                for e in recipe:
                    top = 10 ** min(digits_in(e["bits"]), 18) - 1
                    value = rng.below(top + 1)
                    values[e["name"]] = {"max": top, "random": value,
                                         "negative": -value if signed else value}[mode]
                v.round_trip(values)
            v.unpack(rng.bytes(extent(recipe, 0)))

        v.comment(f"{encoding}: values out of range, digits and signs that are not")
        for bits in [4, 8, 16, 32, 64]:
            v.use([field("b", encoding, bits)])
            digits = digits_in(bits)
            for value in (10 ** digits - 1, 10 ** digits, -1, -(10 ** digits - 1),
                          -(10 ** digits), 10 ** 18, (1 << 63) - 1, -(1 << 63)):
                v.pack({"b": value})
            size = window_bytes(bits)
            for pattern in (b"\x0a", b"\xa0", b"\x99", b"\xff", b"\x1c", b"\x0d", b"\x39",
                            b"\xd9", b"\xc0"):
                v.unpack((pattern * size)[:size])
            v.unpack(rng.bytes(size))


FLOAT_VALUES = [
    0.0, -0.0, 1.0, -1.0, 0.1, -2.5, math.pi, 1 / 3, 65504.0, 65519.99, 65520.0, 1e5, -1e5,
    6.1e-5, 5.96e-8, 2.9e-8, 1e-8, 3.4028234663852886e38, 3.4028235e38, 1e39, -1e39,
    1.17549435e-38, 1.4e-45, 7e-46, 1e-50, 1.7976931348623157e308, 2.2250738585072014e-308,
    5e-324, -5e-324, 1e300, -1e-300, math.inf, -math.inf, math.nan, -math.nan,
    # NaNs with payloads, a signalling one among them, as the bits of a double
    struct.unpack(">d", bytes.fromhex("7ff0000000000001"))[0],
    struct.unpack(">d", bytes.fromhex("fff4000000000123"))[0],
    struct.unpack(">d", bytes.fromhex("7ff8000000abcdef"))[0],
]

FLOAT_PATTERNS = {
    16: ["0000", "8000", "3c00", "7bff", "0001", "03ff", "0400", "7c00", "fc00", "7e00", "7c01",
         "fe01", "7fff", "c000", "3555"],
    32: ["00000000", "80000000", "3f800000", "7f7fffff", "00000001", "007fffff", "00800000",
         "7f800000", "ff800000", "7fc00000", "7f800001", "ffc00001", "7fa00000", "c0490fdb"],
    64: ["0000000000000000", "8000000000000000", "3ff0000000000000", "7fefffffffffffff",
         "0000000000000001", "000fffffffffffff", "7ff0000000000000", "fff0000000000000",
         "7ff8000000000000", "7ff0000000000001", "fff8000000000001", "7ff4000000000000",
         "400921fb54442d18"],
}


def float_cases(v, rng):
    for encoding, width in FLOATS.items():
        for byte_order, reverse in CONFIGS:
            v.comment(f"{encoding}, {byte_order}, reverse_bits {reverse}: special values")
            v.use([field("x", encoding, width, byte_order, reverse)])
            for value in FLOAT_VALUES:
                v.round_trip({"x": value})
            for pattern in FLOAT_PATTERNS[width]:
                data = bytes.fromhex(pattern)
                v.unpack(data if byte_order == "big" else data[::-1])
            for _ in range(3):
                v.unpack(rng.bytes(width // 8))

        v.comment(f"{encoding} strict: values the format would lose")
        v.use([field("x", encoding, width)], strict=True)
        for value in FLOAT_VALUES:
            v.pack({"x": value})

        v.comment(f"{encoding} in other widths than its own, and at unaligned offsets")
        for bits in (0, 8, 12, 16, 24, 32, 40, 64, 80):
            if bits == width:
                continue
            v.use([field("w", encoding, bits, offset_bits=3),
                   field("y", encoding, width, "little")])
            for value in (1.5, -0.0, math.nan, 1e10, 65504.0):
                v.round_trip({"w": value, "y": -value})
            v.unpack(rng.bytes(extent(v.recipe, 0)))


def f128_cases(v, rng):
    for bits in (0, 8, 32, 64, 65, 128):
        for byte_order, reverse in CONFIGS[:2]:
            v.comment(f"ieee754_f128 in {bits} bits, {byte_order}: read as 0.0 up to 64 bits, "
                      "refused above, never packed")
            v.use([field("q", "IEEE754_F128" if bits == 64 else "ieee754_f128", bits,
                         byte_order, reverse),
                   field("after", "unsigned", 8)])
            v.unpack(rng.bytes(window_bytes(bits) + 1))
            v.unpack(rng.bytes(window_bytes(bits)))
            v.pack({"q": 1.0, "after": 7})
            v.pack({"after": 7})
            v.pack({"q": 1.0})


def reserved_cases(v, rng):
    for encoding, width in RESERVED.items():
        v.comment(f"{encoding}: not implemented, both ways")
        spelled = encoding.upper() if width == 32 else encoding
        v.use([field("before", "unsigned", 4), field("r", spelled, width, "little"),
               field("z", encoding, 0)])
        v.unpack(rng.bytes(1 + width // 8))
        v.unpack(rng.bytes(width // 8))
        v.pack({"before": 1, "r": 1.0, "z": 0.0})
        v.pack({"before": 1, "z": 0.0})
        v.pack({"before": 16, "r": 1.0})
        v.use([field("z", encoding, 0), field("n", "unsigned", 8)])
        v.unpack(b"\x01")
        v.pack({"z": 2.0, "n": 1})


TEXTS = [
    "", "A", "hello", "Hello, world!", "tab\there", "\x00\x01\x7f", "café", "ÿþ", "naïve façade",
    "€‚ƒ„…†‡ˆ‰Š‹ŒŽ‘’“”•–—˜™š›œžŸ", "Ωμέγα", "Привет", "日本語のテキスト", "한국어",
    "😀", "a😀b", "𝄞 music", "\U0010ffff", "\ufeffmarked", "ab\u00a0cd", "x" * 40,
    "mixé 日本 😀 end",
]

CODECS = {"utf8": "utf-8", "utf16": "utf-16-be", "utf16le": "utf-16-le",
          "utf16be": "utf-16-be", "utf32": "utf-32-be", "utf32le": "utf-32-le",
          "utf32be": "utf-32-be", "us_ascii": "ascii", "iso_8859_1": "latin-1",
          "latin1": "latin-1", "windows_1252": "cp1252"}

MALFORMED = {
    "utf8": ["ff", "c080", "eda080", "f4908080", "e282", "618062", "f09f98", "f09f9880",
             "e080af", "c3a9", "efbbbf61", "00e282ac00"],
    "utf16": ["0061", "006100", "d800", "dc000061", "d83dde00", "feff0061", "fffe6100",
              "fffe", "feff", "d83d0061", "0000"],
    "utf32": ["00000061", "00110000", "0000d800", "000061", "0000feff00000061",
              "fffe000061000000", "0001f600", "ffffffff"],
    "us_ascii": ["61626364", "6180", "ff", "7f00"],
    "iso_8859_1": [bytes(range(256)).hex()],
    "windows_1252": [bytes(range(256)).hex(), "efbbbf636166c3a9", "fffe61006200",
                     "feff00610062", "efbbbfff", "fffe00d8", "80819d"],
}
MALFORMED["utf16le"] = MALFORMED["utf16be"] = MALFORMED["utf16"]
MALFORMED["utf32le"] = MALFORMED["utf32be"] = MALFORMED["utf32"]
MALFORMED["latin1"] = MALFORMED["iso_8859_1"]


def encodable(text, encoding):
    try:
        text.encode(CODECS[encoding])
    except UnicodeEncodeError:
        return False
    # Bytes 81, 8D, 8F, 90 and 9D stand for themselves here; Python's cp1252 has no byte for
    # them, so leave them to the texts that fail.
    return not (encoding == "windows_1252" and any(ord(c) in (0x81, 0x8D, 0x8F, 0x90, 0x9D)
                                                   for c in text))


def text_cases(v, rng):
    for encoding in TEXT:
        unit = 4 if "32" in encoding else 2 if "16" in encoding else 1
        widths = [0, 8 * unit, 8 * unit - 4 if unit > 1 else 9, 24 * unit, 40 * unit, 64 * unit]
        if unit == 1:
            widths.append(128)
        fitting = [t for t in TEXTS if encodable(t, encoding)]
        others = [t for t in TEXTS if not encodable(t, encoding)]
        for recipe in every_width(v, encoding, widths, "", CONFIGS[:3], aligned=False):
            for k in range(0, len(fitting), 3):
                v.round_trip({e["name"]: fitting[(k + j) % len(fitting)]
                              for j, e in enumerate(recipe)})
            v.pack({e["name"]: "é" * (e["bits"] // 8 + 1) for e in recipe}, 12)
            v.unpack(b"\0" * extent(recipe, 0))
            v.unpack(rng.bytes(extent(recipe, 7)), 7)

        if encoding in ("utf8", "utf16le", "utf32", "windows_1252"):
            v.comment(f"{encoding}: windows of hundreds of bytes, several of them reversed in "
                      "one walk")
            for recipe in ([field("long", encoding, 4128, "little")],
                           [field(f"l{k}", encoding, 960, "little") for k in range(3)]
                           + [field("b", encoding, 2400)]):
                v.use(recipe)
                for k in range(2):
                    v.round_trip({e["name"]: fitting[-1 - k - j] * 12
                                  for j, e in enumerate(recipe)})

        v.comment(f"{encoding}: texts the set has no bytes for, text longer than its window")
        v.use([field("t", encoding, 64)])
        for text in others:
            v.pack({"t": text})
        v.use([field("t", encoding, 64)], strict=True)
        for text in fitting:
            v.pack({"t": text})

        v.comment(f"{encoding}: bytes that are not text in it, byte order marks")
        for pattern in MALFORMED[encoding]:
            data = bytes.fromhex(pattern)
            for byte_order in ("big", "little"):
                v.use([field("m", encoding, len(data) * 8, byte_order)])
                v.unpack(data)


def layout_cases(v, rng):
    v.comment("a housekeeping packet: every family, offsets, names beyond ASCII, extra keys")
    recipe = [
        field("apid", "unsigned", 11, offset_bits=5),
        field("sequence", "unsigned", 14, offset_bits=18),
        field("length", "unsigned", 16, "little"),
        field("température", "twos_complement", 12, unit="degC"),
        field("voltage", "ieee754_f32", 32, "little", offset_bits=64),
        field("mode", "us_ascii", 32),
        field("counter", "packed_bcd", 16, "big", True),
        field("温度", "ieee754_f16", 16, offset_bits=160),
        field("status", "sign_magnitude", 7, comment="spare bit", unit=None),
        field("label", "utf16le", 96, offset_bits=192),
        field("it's", "ones_complement", 9, "little", True),
        field("flag", "unsigned", 1),
        field("energy", "ieee754_f64", 64, "little", offset_bits=304),
    ]
    for strict in (False, True):
        v.use(recipe, strict=strict)
        values = {"apid": 0x7FF, "sequence": 12345, "length": 0xBEEF, "température": -2048,
                  "voltage": 3.3, "mode": "SAFE", "counter": 1234, "温度": -0.0, "status": -63,
                  "label": "pressure😀", "it's": -255, "flag": 1, "energy": -1e-310}
        for offset in (None, 0, 1, 7, 8, 1003):
            packed = v.pack(values, offset)
            if packed is not None and offset is not None:
                v.unpack(bytes(offset // 8) + packed, offset)
        missing = dict(values)
        del missing["voltage"]
        v.pack(missing)
        v.unpack(rng.bytes(48))
        v.unpack(rng.bytes(47))
        v.unpack(rng.bytes(48), 2 ** 32 - 400)

    v.comment("overlapping fields, duplicate names: later over earlier, the later value kept")
    recipe = [
        field("a", "unsigned", 16),
        field("b", "unsigned", 8, offset_bits=8),
        field("a", "unsigned", 4, offset_bits=20),
        field("c", "utf8", 24, offset_bits=8),
        field("d", "twos_complement", 8, offset_bits=4),
        field("e", "unsigned", 72, offset_bits=40),
    ]
    for strict in (False, True):
        v.use(recipe, strict=strict)
        v.pack({"a": 0x1234, "b": 0xAB, "c": "xyz", "d": -1, "e": 0xFFFF})
        v.pack({"a": 0xF, "b": 0x12, "c": "", "d": 2, "e": 0})
        v.pack({"a": 0xF, "b": 0x00, "c": "", "d": 0, "e": (1 << 64) - 1})
        v.pack({"a": 3, "b": 4, "c": "é", "d": 0, "e": 1}, 3)
        v.unpack(bytes(range(1, 15)))
        v.unpack(bytes(range(1, 15)), 4)
    v.use([field("x", "unsigned", 8), field("y", "unsigned", 4, offset_bits=4)], strict=True)
    v.pack({"x": 0xFF, "y": 0})
    v.pack({"x": 0xF0, "y": 0xF})
    v.use([field("x", "unsigned", 9, "big", True), field("y", "unsigned", 12, "little", True)],
          strict=True)
    v.pack({"x": 0x1FF, "y": 0x801})
    v.pack({"x": 3, "y": 1})

    v.comment("positions up to and past the largest 32-bit bit position")
    top = 2 ** 32 - 1
    for offset, bits in ((top - 8, 8), (top - 7, 8), (top + 1 - 64, 64), (top, 1), (top, 0),
                         (top - 2, 4)):
        v.use([field("far", "unsigned", bits, offset_bits=offset)])
        v.unpack(b"\x01\x02")
        if offset + bits > top:  # a packet that fits would be half a gigabyte
            v.pack({"far": 0})
    v.use([field("near", "unsigned", 8), field("next", "ieee754_f64", 64)])
    for offset in (top - 72, top - 71, top - 64, top - 8, top):
        v.unpack(b"\x00" * 9, offset)
        if offset + 72 > top:
            v.pack({"near": 1, "next": 1.0}, offset)
    v.use([field("wide", "utf8", 4096, offset_bits=top - 4096), field("after", "unsigned", 1)])
    v.unpack(b"abc")
    v.pack({"wide": "x", "after": 1})

    v.comment("an empty recipe, and fields of no bits")
    v.use([])
    v.unpack(b"")
    v.unpack(b"\x01", 3)
    v.pack({})
    v.pack({}, 9)
    v.use([field("z0", "unsigned", 0), field("z1", "utf8", 0), field("z2", "ieee754_f32", 0),
           field("z3", "packed_bcd_signed", 0, offset_bits=7)])
    v.unpack(b"")
    v.unpack(b"", 1)
    v.pack({"z0": 0, "z1": "", "z2": 0.0, "z3": 0})
    v.pack({"z0": 0, "z1": "a", "z2": 1.0, "z3": 1})
    v.pack({"z0": 0, "z1": "a", "z2": 1.0, "z3": 1}, 5)


def name_cases(v):
    v.comment("encoding names no walk knows, and byte orders that are neither big nor little")
    for spelled in ("twoscomplement", "UNSIGNED ", "utf-8", "ieee754_f31", "dec_f3", "latin",
                    "Packed_BCD_Sign", "", "ibm_f32x", "ti_f4O", "ÜTF8", "utf161e"):
        v.unknown(spelled)
    for spelled in ("middle", "", "big-endian", "LITTLE ", "bíg"):
        v.bad_order(spelled)


def generate():
    # The table of encodings, where the sources are at hand (not beside an installed copy of
    # the tests): a name it gains must gain vectors here.
    header = ENCODINGS_HEADER.read_text(encoding="utf-8") if ENCODINGS_HEADER.exists() else ""
    table = set(re.findall(r'rows::\w+\("(\w+)"', header))
    if table and table != set(ALL_ENCODINGS):
        raise SystemExit("make_vectors.py knows other encodings than src/common/encodings.hpp: "
                         f"{sorted(table ^ set(ALL_ENCODINGS))}")
    v = Vectors()
    rng = Random(0x5EED_C0DE)
    unsigned_cases(v, rng)
    signed_cases(v, rng)
    decimal_cases(v, rng)
    float_cases(v, rng)
    f128_cases(v, rng)
    reserved_cases(v, rng)
    text_cases(v, rng)
    layout_cases(v, rng)
    name_cases(v)
    counts = ", ".join(f"{count} {kind}" for kind, count in v.counts.items())
    lines = [
        "# Golden vectors of the layout core, written by tests/golden/make_vectors.py from",
        "# fieldpack_layout.Layout; run that script to rewrite this file, not an editor.",
        f"# {counts}",
    ]
    return "\n".join(lines + v.lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true",
                        help="only compare with the committed file; exit status 1 if it differs")
    parser.add_argument("--output", type=Path, default=VECTORS)
    args = parser.parse_args()
    text = generate()
    if args.check:
        current = args.output.read_text(encoding="utf-8") if args.output.exists() else ""
        if current == text:
            return 0
        sys.stdout.writelines(difflib.unified_diff(
            current.splitlines(True), text.splitlines(True), str(args.output), "regenerated", n=1))
        return 1
    args.output.write_text(text, encoding="utf-8", newline="\n")
    print(f"wrote {args.output}: {text.splitlines()[2][2:]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
