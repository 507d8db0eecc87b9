"""Pack named parameter values into binary packets and back, and the codecs behind them.

``pack_parameters(recipe, values)`` builds a packet, ``unpack_parameters(packet_bytes,
offset_bits, recipe)`` reads one; a recipe is a sequence of field definitions (dicts with
"name", "encoding", "bits", "byte_order", "reverse_bits" and optionally "offset_bits"). The
other 60 functions are the value codecs, one ``decode_<format>`` and one ``encode_<format>``
per format; 23 of them are reserved names that always raise NotImplementedError.

Fields are byte-granular: a field that starts at bit p occupies the ceil(bits / 8) whole bytes
from byte p // 8, its value right-aligned in them; p % 8 is ignored.

Argument errors, common to every function and raised before any work, unwrapped:

- TypeError "argument '{parameter}': ..." for an argument of the wrong type, for example
  "argument 'bytes': 'bytearray' object cannot be cast as 'bytes'" or "argument 'signed':
  'int' object cannot be cast as 'bool'";
- OverflowError for an integer out of range: Python's own message for a negative value or one
  of 2**64 or more, "out of range integral type conversion attempted" for a width or offset of
  2**32 or more;
- TypeError for too many, missing, unknown or repeated arguments, worded as Python words them.

The packet functions raise every failure of their work as one ValueError, "{type name}:
{text}", for example "KeyError: \"Recipe missing required field: 'bits'\"". The codec
functions raise their failures unwrapped.

    >>> import fieldpack

"""

from collections.abc import Mapping, Sequence
from typing import Any, Literal, NoReturn, SupportsFloat, SupportsIndex

from typing_extensions import NotRequired, TypeAlias, TypedDict

__all__ = [
    "unpack_parameters",
    "pack_parameters",
    "decode_ones_complement",
    "decode_twos_complement",
    "decode_sign_magnitude",
    "decode_unpacked_bcd",
    "decode_packed_bcd",
    "decode_ieee754_f16",
    "decode_ieee754_f32",
    "decode_ieee754_f64",
    "decode_ieee754_f128",
    "decode_ieee754_1985_f32",
    "decode_ieee754_1985_f64",
    "decode_ieee754_1985_f80",
    "decode_mil_std_1750a_f32",
    "decode_mil_std_1750a_f48",
    "decode_dec_f32",
    "decode_dec_f64",
    "decode_ibm_f32",
    "decode_ibm_f64",
    "decode_ti_f32",
    "decode_ti_f40",
    "decode_us_ascii",
    "decode_iso_8859_1",
    "decode_windows_1252",
    "decode_utf8",
    "decode_utf16",
    "decode_utf16le",
    "decode_utf16be",
    "decode_utf32",
    "decode_utf32le",
    "decode_utf32be",
    "encode_ones_complement",
    "encode_twos_complement",
    "encode_sign_magnitude",
    "encode_unpacked_bcd",
    "encode_packed_bcd",
    "encode_ieee754_f16",
    "encode_ieee754_f32",
    "encode_ieee754_f64",
    "encode_ieee754_f128",
    "encode_ieee754_1985_f32",
    "encode_ieee754_1985_f64",
    "encode_ieee754_1985_f80",
    "encode_mil_std_1750a_f32",
    "encode_mil_std_1750a_f48",
    "encode_dec_f32",
    "encode_dec_f64",
    "encode_ibm_f32",
    "encode_ibm_f64",
    "encode_ti_f32",
    "encode_ti_f40",
    "encode_us_ascii",
    "encode_iso_8859_1",
    "encode_windows_1252",
    "encode_utf8",
    "encode_utf16",
    "encode_utf16le",
    "encode_utf16be",
    "encode_utf32",
    "encode_utf32le",
    "encode_utf32be",
]

# ---------------------------------------------------------------------------------------------
# Typing-only names. They exist for type checkers, not at run time: import them under
# ``if typing.TYPE_CHECKING:`` (or in quoted annotations). They are not in ``__all__``.

EncodingName: TypeAlias = Literal[
    "unsigned",
    "sign_magnitude",
    "ones_complement",
    "twos_complement",
    "packed_bcd",
    "packed_bcd_signed",
    "unpacked_bcd",
    "unpacked_bcd_signed",
    "ieee754_f16",
    "ieee754_f32",
    "ieee754_f64",
    "ieee754_f128",
    "ieee754_1985_f32",
    "ieee754_1985_f64",
    "ieee754_1985_f80",
    "mil_std_1750a_f32",
    "mil_std_1750a_f48",
    "dec_f32",
    "dec_f64",
    "ibm_f32",
    "ibm_f64",
    "ti_f32",
    "ti_f40",
    "utf8",
    "utf16",
    "utf16le",
    "utf16be",
    "utf32",
    "utf32le",
    "utf32be",
    "us_ascii",
    "iso_8859_1",
    "latin1",
    "windows_1252",
]
"""Every encoding name a recipe may use, in its canonical lower-case spelling.

Recipes accept any letter case ("UTF8", "Twos_Complement"), so ``FieldDefinition`` types
"encoding" as ``str``; annotate with ``EncodingName`` where you want a checker to catch a
misspelt name. ``unpack_parameters`` knows them all (the eleven reserved formats raise
NotImplementedError); ``pack_parameters`` cannot write "ieee754_f128" and the reserved formats.
"""

class FieldDefinition(TypedDict):
    """One field of a recipe, for users who want a checker to look at their recipes.

    Keys are case-sensitive; other keys are ignored at run time. There are no defaults:
    "byte_order" and "reverse_bits" are required even where they mean nothing (text fields
    ignore "reverse_bits").
    """

    name: str
    """The parameter's name: its key in the result of unpacking and in the values of packing."""
    encoding: str
    """An ``EncodingName`` in any letter case."""
    bits: int
    """Width in bits, 0 to 2**32 - 1; the field occupies ceil(bits / 8) whole bytes."""
    byte_order: str
    """"big" or "little", in any letter case."""
    reverse_bits: bool
    """Mirror the field's bits within its width (exactly True or False; 0 and 1 are refused)."""
    offset_bits: NotRequired[int]
    """Explicit start in bits (unpacking adds its own offset_bits argument); only start // 8
    matters. Without it the field follows the previous one."""

# ---------------------------------------------------------------------------------------------
# The packet functions

def unpack_parameters(
    packet_bytes: bytes, offset_bits: SupportsIndex, recipe: Sequence[Mapping[str, Any]]
) -> dict[str, Any]:
    """Read the fields of ``recipe`` out of a packet, starting at bit ``offset_bits``.

    Returns a new dict of name -> value in recipe order: an ``int`` for the integer and BCD
    encodings, a ``float`` for the IEEE 754 ones, a ``str`` for the text ones. Each field reads
    the ceil(bits / 8) whole bytes from byte start // 8 (the low ``bits`` bits of them, after
    the byte order is applied, then mirrored if "reverse_bits"); the next field starts at this
    one's start plus ``bits``. ``packet_bytes`` must be ``bytes`` (not bytearray or
    memoryview); each entry of ``recipe`` must be a dict.

    Raises:
        ValueError: every failure while reading the recipe, wrapped as "{type name}: {text}":
            "KeyError: \"Recipe missing required field: '{key}'\"";
            "ValueError: Invalid byte_order '{byte_order}': must be 'big' or 'little'";
            "ValueError: Unsupported encoding type: {encoding}";
            "ValueError: Field '{name}' needs {n} bytes from byte {s}, but the packet is
            {length} bytes long";
            "ValueError: Field '{name}' would end at bit {end}, beyond the largest bit position
            4294967295";
            "NotImplementedError: {format} format not yet implemented" for a reserved format;
            "ValueError: IEEE 754 f128 requires special handling for >64 bits (not yet
            implemented in process_recipe)"; and the codecs' messages ("ValueError: Invalid
            UTF-8 bytes: ..."). Interrupts and MemoryError pass through unwrapped.
        TypeError: "argument 'recipe': Can't extract `str` to `Vec`" for a str recipe, and the
            other argument errors, unwrapped.

    Example:
        >>> recipe = [
        ...     {"name": "apid", "encoding": "unsigned", "bits": 16, "byte_order": "big",
        ...      "reverse_bits": False},
        ...     {"name": "temp", "encoding": "twos_complement", "bits": 8, "byte_order": "big",
        ...      "reverse_bits": False},
        ... ]
        >>> fieldpack.unpack_parameters(b"\\x12\\x34\\xfe", 0, recipe)
        {'apid': 4660, 'temp': -2}

    """

def pack_parameters(recipe: Sequence[Mapping[str, Any]], values: dict[str, Any]) -> bytes:
    """Build the packet that ``recipe`` describes from ``values`` (a dict keyed by field name).

    The packet is as long as the furthest field end, rounded up to whole bytes, and starts
    zero-filled. Each field writes ceil(bits / 8) whole bytes from byte start // 8, its value
    right-aligned, replacing what was there (fields that share a byte overwrite each other). A
    text field writes its encoded text, zero-padded or cut to its own window. Keys of
    ``values`` that no field names are ignored. "ieee754_f128" and the eleven reserved formats
    cannot be packed.

    Raises:
        ValueError: every failure while building, wrapped as "{type name}: {text}":
            "KeyError: \"Recipe missing required field: '{key}'\"";
            "KeyError: \"Missing value for parameter: '{name}'\"";
            "ValueError: Unsupported encoding type: {encoding}";
            "ValueError: Value {value} is too large for {bits} bits" ("unsigned");
            "ValueError: Invalid byte_order '{byte_order}': must be 'big' or 'little'";
            "ValueError: Field '{name}' would end at bit {end}, beyond the largest bit position
            4294967295"; "TypeError: ..." for a value of the wrong type; and the codecs'
            messages. Interrupts and MemoryError pass through unwrapped.
        TypeError: "argument 'values': '{type}' object cannot be cast as 'dict'", "argument
            'recipe': Can't extract `str` to `Vec`" and the other argument errors, unwrapped.

    Example:
        >>> recipe = [
        ...     {"name": "apid", "encoding": "unsigned", "bits": 16, "byte_order": "big",
        ...      "reverse_bits": False},
        ...     {"name": "temp", "encoding": "twos_complement", "bits": 8, "byte_order": "big",
        ...      "reverse_bits": False},
        ... ]
        >>> fieldpack.pack_parameters(recipe, {"apid": 0x1234, "temp": -2})
        b'\\x124\\xfe'

    """

# ---------------------------------------------------------------------------------------------
# Signed integers

def decode_ones_complement(value: SupportsIndex, bits: SupportsIndex) -> int:
    """Read a ones' complement pattern of width ``bits`` as a signed integer.

    ``value`` is the raw pattern, 0 to 2**64 - 1. The all-ones pattern (negative zero) reads
    as 0. Bits of ``value`` above the field take part in the result (pass a masked pattern);
    widths of 64 or more read the pattern as 64 bits.

    Raises:
        OverflowError: ``value`` negative or too large, ``bits`` 2**32 or more.

    Example:
        >>> fieldpack.decode_ones_complement(0xFE, 8)
        -1

    """

def decode_twos_complement(value: SupportsIndex, bits: SupportsIndex) -> int:
    """Read a two's complement pattern of width ``bits`` as a signed integer.

    ``value`` is the raw pattern, 0 to 2**64 - 1. With the sign bit set, bits above the field
    are ignored; with it clear they are kept (pass a masked pattern). Widths of 64 or more read
    the pattern as 64 bits.

    Raises:
        OverflowError: ``value`` negative or too large, ``bits`` 2**32 or more.

    Example:
        >>> fieldpack.decode_twos_complement(0x80, 8)
        -128

    """

def decode_sign_magnitude(value: SupportsIndex, bits: SupportsIndex) -> int:
    """Read a sign-magnitude pattern of width ``bits`` as a signed integer.

    The sign is bit ``bits - 1``; the magnitude is the bits below it (bits above the field are
    dropped). Negative zero reads as 0.

    Raises:
        OverflowError: ``value`` negative or too large, ``bits`` 2**32 or more.

    Example:
        >>> fieldpack.decode_sign_magnitude(0x85, 8)
        -5

    """

def encode_ones_complement(value: SupportsIndex, bits: SupportsIndex) -> int:
    """Encode a signed integer as a ones' complement pattern of width ``bits``.

    Range: -(2**(bits-1) - 1) to 2**(bits-1) - 1. Zero encodes as all zeros.

    Raises:
        ValueError: "bits must be <= 64 for ones' complement encoding";
            "Value {value} is too large for {bits} bits";
            "Value {value} is too large (magnitude) for {bits} bits".
        OverflowError: ``value`` outside the signed 64-bit range, ``bits`` 2**32 or more.

    Example:
        >>> fieldpack.encode_ones_complement(-1, 8)
        254

    """

def encode_twos_complement(value: SupportsIndex, bits: SupportsIndex) -> int:
    """Encode a signed integer as a two's complement pattern of width ``bits``.

    Range: -2**(bits-1) to 2**(bits-1) - 1; a width of 64 takes every signed 64-bit value.

    Raises:
        ValueError: "bits must be <= 64 for two's complement encoding";
            "Value {value} out of range for {bits} bits (range: {min} to {max})".
        OverflowError: ``value`` outside the signed 64-bit range, ``bits`` 2**32 or more.

    Example:
        >>> fieldpack.encode_twos_complement(-2, 16)
        65534

    """

def encode_sign_magnitude(value: SupportsIndex, bits: SupportsIndex) -> int:
    """Encode a signed integer as a sign-magnitude pattern of width ``bits`` (2 to 64).

    Range: -(2**(bits-1) - 1) to 2**(bits-1) - 1; negative zero is never produced.

    Raises:
        ValueError: "bits must be between 2 and 64 for sign-magnitude encoding";
            "Magnitude of {value} is too large for {bits} bits".
        OverflowError: ``value`` outside the signed 64-bit range, ``bits`` 2**32 or more.

    Example:
        >>> fieldpack.encode_sign_magnitude(-5, 8)
        133

    """

# ---------------------------------------------------------------------------------------------
# Binary-coded decimal

def decode_unpacked_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int:
    """Read unpacked BCD (one digit per byte, least significant digit in the lowest byte).

    Uses bits // 8 bytes. Unsigned: each byte holds 0-9. Signed (zoned decimal): byte 0 holds
    the last digit and the sign zone (0xC or 0xF or 0x3 positive, 0xD negative), the other
    bytes 0x30-0x39 or 0xF0-0xF9. A signed width of 72 bits or more always fails (byte 8 reads
    as 0x00).

    Raises:
        ValueError: "Invalid BCD digit: {byte} (must be 0-9)";
            "Invalid zoned decimal signed byte: 0x{byte} (expected 0x30-0x39, 0xC0-0xC9,
            0xD0-0xD9, or 0xF0-0xF9)";
            "Invalid zoned decimal byte: 0x{byte} (expected ASCII 0x30-0x39 or EBCDIC
            0xF0-0xF9)".
        TypeError: "argument 'signed': 'int' object cannot be cast as 'bool'" for 0 or 1.

    Example:
        >>> fieldpack.decode_unpacked_bcd(0xF1F2D3, 24, signed=True)
        -123

    """

def decode_packed_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int:
    """Read packed BCD (one digit per nibble, least significant digit in the lowest nibble).

    Uses bits // 4 nibbles. Signed: nibble 0 is the sign (0xB, 0xD negative; 0xA, 0xC, 0xE,
    0xF positive), checked before the digits.

    Raises:
        ValueError: "Invalid BCD digit: {digit} (must be 0-9)";
            "Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD".
        TypeError: "argument 'signed': 'int' object cannot be cast as 'bool'" for 0 or 1.

    Example:
        >>> fieldpack.decode_packed_bcd(0x1234, 16)
        1234

    """

def encode_unpacked_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int:
    """Encode an integer as unpacked BCD: bits // 8 digit bytes, at most 8 (one 64-bit pattern).

    Signed writes zoned decimal with EBCDIC zones: 0xF0 on every digit byte, 0xC0 (positive)
    or 0xD0 (negative) on byte 0. Unsigned refuses negative values (it has no sign to keep).

    Raises:
        ValueError: "bits must be >= 8 for unpacked BCD";
            "Cannot encode negative value in unsigned BCD";
            "Value {value} has too many digits for {digits} BCD digits".

    Example:
        >>> hex(fieldpack.encode_unpacked_bcd(-123, 24, signed=True))
        '0xf1f2d3'

    """

def encode_packed_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int:
    """Encode an integer as packed BCD: bits // 4 digit nibbles, at most 16 (one 64-bit pattern).

    Signed puts the sign nibble first (0xC for zero and positive, 0xD for negative), leaving
    one nibble fewer for digits.

    Raises:
        ValueError: "bits must be >= 4 for packed BCD";
            "Cannot encode negative value in unsigned BCD";
            "Value {value} has too many digits for {digits} BCD digits".

    Example:
        >>> hex(fieldpack.encode_packed_bcd(-1234, 20, signed=True))
        '0x1234d'

    """

# ---------------------------------------------------------------------------------------------
# IEEE 754 binary formats

def decode_ieee754_f16(value: SupportsIndex) -> float:
    """Read the low 16 bits of ``value`` as an IEEE 754 binary16 (half precision) number.

    Exact; bits above 15 are ignored; a NaN keeps its sign and payload.

    Raises:
        OverflowError: ``value`` negative or 2**64 or more.

    Example:
        >>> fieldpack.decode_ieee754_f16(0x3C00)
        1.0

    """

def decode_ieee754_f32(value: SupportsIndex) -> float:
    """Read the low 32 bits of ``value`` as an IEEE 754 binary32 (single precision) number.

    Exact; a signalling NaN comes out quiet.

    Raises:
        OverflowError: ``value`` negative or 2**64 or more.

    Example:
        >>> fieldpack.decode_ieee754_f32(0x3F800000)
        1.0

    """

def decode_ieee754_f64(value: SupportsIndex) -> float:
    """Read ``value`` as the 64 bits of an IEEE 754 binary64 number.

    Raises:
        OverflowError: ``value`` negative or 2**64 or more.

    Example:
        >>> fieldpack.decode_ieee754_f64(0xBFF0000000000000)
        -1.0

    """

def decode_ieee754_f128(value: SupportsIndex) -> float:
    """Read a 128-bit IEEE 754 binary128 pattern (0 to 2**128 - 1) as a float.

    The fraction is truncated to double precision (toward zero, not rounded); values below the
    double normal range become signed zero, above it signed infinity; every NaN becomes the
    positive quiet NaN. In a recipe, "ieee754_f128" works differently (see the docs).

    Raises:
        OverflowError: ``value`` negative or 2**128 or more.

    Example:
        >>> fieldpack.decode_ieee754_f128(0x40008000 << 96)
        3.0

    """

def encode_ieee754_f16(value: SupportsFloat | SupportsIndex) -> int:
    """Encode a number as an IEEE 754 binary16 pattern (0 to 0xFFFF).

    Rounds twice, first to single precision and then to half, each to nearest, ties to even;
    too large a magnitude gives infinity, too small a signed zero. NaN gives 0x7E00.

    Raises:
        TypeError: "argument 'value': must be real number, not {type}".
        OverflowError: an int too large to convert to float.

    Example:
        >>> hex(fieldpack.encode_ieee754_f16(0.1))
        '0x2e66'

    """

def encode_ieee754_f32(value: SupportsFloat | SupportsIndex) -> int:
    """Encode a number as an IEEE 754 binary32 pattern (0 to 2**32 - 1).

    Rounds to nearest, ties to even; beyond the single range it becomes infinity. NaN gives
    0x7FC00000.

    Raises:
        TypeError: "argument 'value': must be real number, not {type}".
        OverflowError: an int too large to convert to float.

    Example:
        >>> hex(fieldpack.encode_ieee754_f32(1.0))
        '0x3f800000'

    """

def encode_ieee754_f64(value: SupportsFloat | SupportsIndex) -> int:
    """Return the 64 bits of a float (an int is converted first) as an unsigned integer.

    Raises:
        TypeError: "argument 'value': must be real number, not {type}".
        OverflowError: an int too large to convert to float.

    Example:
        >>> hex(fieldpack.encode_ieee754_f64(-0.0))
        '0x8000000000000000'

    """

def encode_ieee754_f128(_value: SupportsFloat | SupportsIndex) -> NoReturn:
    """Reserved: binary128 encoding is not implemented; always raises after converting.

    Raises:
        NotImplementedError: "IEEE 754 f128 encoding not yet implemented".
        TypeError: "argument '_value': must be real number, not {type}".

    Example:
        >>> fieldpack.encode_ieee754_f128(1.0)
        Traceback (most recent call last):
        NotImplementedError: IEEE 754 f128 encoding not yet implemented

    """

# ---------------------------------------------------------------------------------------------
# Reserved floating-point formats: registered by name, not implemented. Each converts its
# argument (decoders as an unsigned 64-bit int, encoders as a float; a wrong type raises the
# argument error), then raises NotImplementedError.

def decode_ieee754_1985_f32(_value: SupportsIndex) -> NoReturn:
    """Reserved IEEE 754-1985 f32 (not implemented): always raises.

    Raises:
        NotImplementedError: "IEEE 754-1985 f32 format not yet implemented".

    Example:
        >>> fieldpack.decode_ieee754_1985_f32(0)
        Traceback (most recent call last):
        NotImplementedError: IEEE 754-1985 f32 format not yet implemented

    """

def decode_ieee754_1985_f64(_value: SupportsIndex) -> NoReturn:
    """Reserved IEEE 754-1985 f64 (not implemented): always raises.

    Raises:
        NotImplementedError: "IEEE 754-1985 f64 format not yet implemented".

    Example:
        >>> fieldpack.decode_ieee754_1985_f64(0)
        Traceback (most recent call last):
        NotImplementedError: IEEE 754-1985 f64 format not yet implemented

    """

def decode_ieee754_1985_f80(_value: SupportsIndex) -> NoReturn:
    """Reserved IEEE 754-1985 f80 (not implemented): always raises.

    Raises:
        NotImplementedError: "IEEE 754-1985 f80 format not yet implemented".

    Example:
        >>> fieldpack.decode_ieee754_1985_f80(0)
        Traceback (most recent call last):
        NotImplementedError: IEEE 754-1985 f80 format not yet implemented

    """

def decode_mil_std_1750a_f32(_value: SupportsIndex) -> NoReturn:
    """Reserved MIL-STD-1750A f32 (not implemented): always raises.

    Raises:
        NotImplementedError: "MIL-STD-1750A f32 format not yet implemented".

    Example:
        >>> fieldpack.decode_mil_std_1750a_f32(0)
        Traceback (most recent call last):
        NotImplementedError: MIL-STD-1750A f32 format not yet implemented

    """

def decode_mil_std_1750a_f48(_value: SupportsIndex) -> NoReturn:
    """Reserved MIL-STD-1750A f48 (not implemented): always raises.

    Raises:
        NotImplementedError: "MIL-STD-1750A f48 format not yet implemented".

    Example:
        >>> fieldpack.decode_mil_std_1750a_f48(0)
        Traceback (most recent call last):
        NotImplementedError: MIL-STD-1750A f48 format not yet implemented

    """

def decode_dec_f32(_value: SupportsIndex) -> NoReturn:
    """Reserved DEC f32 (not implemented): always raises.

    Raises:
        NotImplementedError: "DEC f32 format not yet implemented".

    Example:
        >>> fieldpack.decode_dec_f32(0)
        Traceback (most recent call last):
        NotImplementedError: DEC f32 format not yet implemented

    """

def decode_dec_f64(_value: SupportsIndex) -> NoReturn:
    """Reserved DEC f64 (not implemented): always raises.

    Raises:
        NotImplementedError: "DEC f64 format not yet implemented".

    Example:
        >>> fieldpack.decode_dec_f64(0)
        Traceback (most recent call last):
        NotImplementedError: DEC f64 format not yet implemented

    """

def decode_ibm_f32(_value: SupportsIndex) -> NoReturn:
    """Reserved IBM f32 (not implemented): always raises.

    Raises:
        NotImplementedError: "IBM f32 format not yet implemented".

    Example:
        >>> fieldpack.decode_ibm_f32(0)
        Traceback (most recent call last):
        NotImplementedError: IBM f32 format not yet implemented

    """

def decode_ibm_f64(_value: SupportsIndex) -> NoReturn:
    """Reserved IBM f64 (not implemented): always raises.

    Raises:
        NotImplementedError: "IBM f64 format not yet implemented".

    Example:
        >>> fieldpack.decode_ibm_f64(0)
        Traceback (most recent call last):
        NotImplementedError: IBM f64 format not yet implemented

    """

def decode_ti_f32(_value: SupportsIndex) -> NoReturn:
    """Reserved TI f32 (not implemented): always raises.

    Raises:
        NotImplementedError: "TI f32 format not yet implemented".

    Example:
        >>> fieldpack.decode_ti_f32(0)
        Traceback (most recent call last):
        NotImplementedError: TI f32 format not yet implemented

    """

def decode_ti_f40(_value: SupportsIndex) -> NoReturn:
    """Reserved TI f40 (not implemented): always raises.

    Raises:
        NotImplementedError: "TI f40 format not yet implemented".

    Example:
        >>> fieldpack.decode_ti_f40(0)
        Traceback (most recent call last):
        NotImplementedError: TI f40 format not yet implemented

    """

def encode_ieee754_1985_f32(_value: SupportsFloat | SupportsIndex) -> NoReturn:
    """Reserved IEEE 754-1985 f32 (not implemented): always raises.

    Raises:
        NotImplementedError: "IEEE 754-1985 f32 encoding not yet implemented".

    Example:
        >>> fieldpack.encode_ieee754_1985_f32(1.0)
        Traceback (most recent call last):
        NotImplementedError: IEEE 754-1985 f32 encoding not yet implemented

    """

def encode_ieee754_1985_f64(_value: SupportsFloat | SupportsIndex) -> NoReturn:
    """Reserved IEEE 754-1985 f64 (not implemented): always raises.

    Raises:
        NotImplementedError: "IEEE 754-1985 f64 encoding not yet implemented".

    Example:
        >>> fieldpack.encode_ieee754_1985_f64(1.0)
        Traceback (most recent call last):
        NotImplementedError: IEEE 754-1985 f64 encoding not yet implemented

    """

def encode_ieee754_1985_f80(_value: SupportsFloat | SupportsIndex) -> NoReturn:
    """Reserved IEEE 754-1985 f80 (not implemented): always raises.

    Raises:
        NotImplementedError: "IEEE 754-1985 f80 encoding not yet implemented".

    Example:
        >>> fieldpack.encode_ieee754_1985_f80(1.0)
        Traceback (most recent call last):
        NotImplementedError: IEEE 754-1985 f80 encoding not yet implemented

    """

def encode_mil_std_1750a_f32(_value: SupportsFloat | SupportsIndex) -> NoReturn:
    """Reserved MIL-STD-1750A f32 (not implemented): always raises.

    Raises:
        NotImplementedError: "MIL-STD-1750A f32 encoding not yet implemented".

    Example:
        >>> fieldpack.encode_mil_std_1750a_f32(1.0)
        Traceback (most recent call last):
        NotImplementedError: MIL-STD-1750A f32 encoding not yet implemented

    """

def encode_mil_std_1750a_f48(_value: SupportsFloat | SupportsIndex) -> NoReturn:
    """Reserved MIL-STD-1750A f48 (not implemented): always raises.

    Raises:
        NotImplementedError: "MIL-STD-1750A f48 encoding not yet implemented".

    Example:
        >>> fieldpack.encode_mil_std_1750a_f48(1.0)
        Traceback (most recent call last):
        NotImplementedError: MIL-STD-1750A f48 encoding not yet implemented

    """

def encode_dec_f32(_value: SupportsFloat | SupportsIndex) -> NoReturn:
    """Reserved DEC f32 (not implemented): always raises.

    Raises:
        NotImplementedError: "DEC f32 encoding not yet implemented".

    Example:
        >>> fieldpack.encode_dec_f32(1.0)
        Traceback (most recent call last):
        NotImplementedError: DEC f32 encoding not yet implemented

    """

def encode_dec_f64(_value: SupportsFloat | SupportsIndex) -> NoReturn:
    """Reserved DEC f64 (not implemented): always raises.

    Raises:
        NotImplementedError: "DEC f64 encoding not yet implemented".

    Example:
        >>> fieldpack.encode_dec_f64(1.0)
        Traceback (most recent call last):
        NotImplementedError: DEC f64 encoding not yet implemented

    """

def encode_ibm_f32(_value: SupportsFloat | SupportsIndex) -> NoReturn:
    """Reserved IBM f32 (not implemented): always raises.

    Raises:
        NotImplementedError: "IBM f32 encoding not yet implemented".

    Example:
        >>> fieldpack.encode_ibm_f32(1.0)
        Traceback (most recent call last):
        NotImplementedError: IBM f32 encoding not yet implemented

    """

def encode_ibm_f64(_value: SupportsFloat | SupportsIndex) -> NoReturn:
    """Reserved IBM f64 (not implemented): always raises.

    Raises:
        NotImplementedError: "IBM f64 encoding not yet implemented".

    Example:
        >>> fieldpack.encode_ibm_f64(1.0)
        Traceback (most recent call last):
        NotImplementedError: IBM f64 encoding not yet implemented

    """

def encode_ti_f32(_value: SupportsFloat | SupportsIndex) -> NoReturn:
    """Reserved TI f32 (not implemented): always raises.

    Raises:
        NotImplementedError: "TI f32 encoding not yet implemented".

    Example:
        >>> fieldpack.encode_ti_f32(1.0)
        Traceback (most recent call last):
        NotImplementedError: TI f32 encoding not yet implemented

    """

def encode_ti_f40(_value: SupportsFloat | SupportsIndex) -> NoReturn:
    """Reserved TI f40 (not implemented): always raises.

    Raises:
        NotImplementedError: "TI f40 encoding not yet implemented".

    Example:
        >>> fieldpack.encode_ti_f40(1.0)
        Traceback (most recent call last):
        NotImplementedError: TI f40 encoding not yet implemented

    """

# ---------------------------------------------------------------------------------------------
# Single-byte text

def decode_us_ascii(bytes: bytes) -> str:
    """Decode US-ASCII: bytes 0x00-0x7F, one character each.

    Raises:
        ValueError: "Invalid US-ASCII byte: 0x{byte} (must be <= 0x7F)" for the first byte
            0x80-0xFF.

    Example:
        >>> fieldpack.decode_us_ascii(b"OK")
        'OK'

    """

def decode_iso_8859_1(bytes: bytes) -> str:
    """Decode ISO-8859-1 (Latin-1): each byte is the character of the same code point.

    Never fails on its content.

    Example:
        >>> fieldpack.decode_iso_8859_1(b"caf\\xe9")
        'café'

    """

def decode_windows_1252(bytes: bytes) -> str:
    """Decode Windows-1252 (the WHATWG index); a leading UTF-8 or UTF-16 byte order mark
    switches to that encoding and is dropped.

    Raises:
        ValueError: "Failed to decode Windows-1252 bytes" for malformed UTF-8 or UTF-16 after
            such a mark; plain Windows-1252 never fails.

    Example:
        >>> fieldpack.decode_windows_1252(b"\\x80 5")
        '€ 5'

    """

def encode_us_ascii(text: str) -> bytes:
    """Encode text as US-ASCII.

    Raises:
        ValueError: "Character '{c}' (U+{code}) is not valid US-ASCII" for the first character
            above U+007F.

    Example:
        >>> fieldpack.encode_us_ascii("OK")
        b'OK'

    """

def encode_iso_8859_1(text: str) -> bytes:
    """Encode text as ISO-8859-1 (Latin-1).

    Raises:
        ValueError: "Character '{c}' (U+{code}) is not valid ISO-8859-1" for the first
            character above U+00FF.

    Example:
        >>> fieldpack.encode_iso_8859_1("café")
        b'caf\\xe9'

    """

def encode_windows_1252(text: str) -> bytes:
    """Encode text as Windows-1252 (the WHATWG index).

    Raises:
        ValueError: "Failed to encode to Windows-1252" for a character without a byte (the
            message does not name it).

    Example:
        >>> fieldpack.encode_windows_1252("€ 5")
        b'\\x80 5'

    """

# ---------------------------------------------------------------------------------------------
# Unicode text

def decode_utf8(bytes: bytes) -> str:
    """Decode strict UTF-8; a leading EF BB BF stays as U+FEFF.

    Raises:
        ValueError: "Invalid UTF-8 bytes: invalid utf-8 sequence of {length} bytes from index
            {index}"; "Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index {index}".

    Example:
        >>> fieldpack.decode_utf8(b"\\xc3\\xa9t\\xc3\\xa9")
        'été'

    """

def decode_utf16(bytes: bytes) -> str:
    """Decode UTF-16 with an optional byte order mark (removed); big-endian without one.

    Raises:
        ValueError: "UTF-16 requires an even number of bytes with at least 2 bytes";
            "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found".

    Example:
        >>> fieldpack.decode_utf16(b"\\xff\\xfeA\\x00")
        'A'

    """

def decode_utf16le(bytes: bytes) -> str:
    """Decode little-endian UTF-16; a byte order mark is an ordinary character.

    Raises:
        ValueError: "UTF-16 requires an even number of bytes";
            "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found".

    Example:
        >>> fieldpack.decode_utf16le(b"A\\x00")
        'A'

    """

def decode_utf16be(bytes: bytes) -> str:
    """Decode big-endian UTF-16; a byte order mark is an ordinary character.

    Raises:
        ValueError: "UTF-16 requires an even number of bytes";
            "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found".

    Example:
        >>> fieldpack.decode_utf16be(b"\\x00A")
        'A'

    """

def decode_utf32(bytes: bytes) -> str:
    """Decode UTF-32 with an optional byte order mark (removed); big-endian without one.

    Raises:
        ValueError: "UTF-32 requires a multiple of 4 bytes with at least 4 bytes";
            "Invalid UTF-32 codepoint: 0x{unit:08X}" for a surrogate or a unit above 0x10FFFF.

    Example:
        >>> fieldpack.decode_utf32(b"\\x00\\x00\\x00A")
        'A'

    """

def decode_utf32le(bytes: bytes) -> str:
    """Decode little-endian UTF-32; a byte order mark is an ordinary character.

    Raises:
        ValueError: "UTF-32 requires a multiple of 4 bytes";
            "Invalid UTF-32 codepoint: 0x{unit:08X}".

    Example:
        >>> fieldpack.decode_utf32le(b"A\\x00\\x00\\x00")
        'A'

    """

def decode_utf32be(bytes: bytes) -> str:
    """Decode big-endian UTF-32; a byte order mark is an ordinary character.

    Raises:
        ValueError: "UTF-32 requires a multiple of 4 bytes";
            "Invalid UTF-32 codepoint: 0x{unit:08X}".

    Example:
        >>> fieldpack.decode_utf32be(b"\\x00\\x00\\x00A")
        'A'

    """

def encode_utf8(text: str) -> bytes:
    """Encode text as UTF-8, without a byte order mark.

    Raises:
        UnicodeEncodeError: a str holding lone surrogates (Python's own error, unwrapped).

    Example:
        >>> fieldpack.encode_utf8("été")
        b'\\xc3\\xa9t\\xc3\\xa9'

    """

def encode_utf16(text: str) -> bytes:
    """Encode text as big-endian UTF-16 behind the mark FE FF.

    Raises:
        UnicodeEncodeError: a str holding lone surrogates.

    Example:
        >>> fieldpack.encode_utf16("A")
        b'\\xfe\\xff\\x00A'

    """

def encode_utf16le(text: str) -> bytes:
    """Encode text as little-endian UTF-16, without a mark.

    Raises:
        UnicodeEncodeError: a str holding lone surrogates.

    Example:
        >>> fieldpack.encode_utf16le("A")
        b'A\\x00'

    """

def encode_utf16be(text: str) -> bytes:
    """Encode text as big-endian UTF-16, without a mark.

    Raises:
        UnicodeEncodeError: a str holding lone surrogates.

    Example:
        >>> fieldpack.encode_utf16be("A")
        b'\\x00A'

    """

def encode_utf32(text: str) -> bytes:
    """Encode text as big-endian UTF-32 behind the mark 00 00 FE FF.

    Raises:
        UnicodeEncodeError: a str holding lone surrogates.

    Example:
        >>> fieldpack.encode_utf32("A")
        b'\\x00\\x00\\xfe\\xff\\x00\\x00\\x00A'

    """

def encode_utf32le(text: str) -> bytes:
    """Encode text as little-endian UTF-32, without a mark.

    Raises:
        UnicodeEncodeError: a str holding lone surrogates.

    Example:
        >>> fieldpack.encode_utf32le("A")
        b'A\\x00\\x00\\x00'

    """

def encode_utf32be(text: str) -> bytes:
    """Encode text as big-endian UTF-32, without a mark.

    Raises:
        UnicodeEncodeError: a str holding lone surrogates.

    Example:
        >>> fieldpack.encode_utf32be("A")
        b'\\x00\\x00\\x00A'

    """
