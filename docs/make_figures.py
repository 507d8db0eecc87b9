"""Draws the layout figures of the documentation from the library itself.

Every figure is a layout's own picture, Layout.figure(values): per field the bits the recipe
declares and the whole bytes (the window) the field really occupies, the packet that packing the
values gives, bit by bit, and a table of the values and what unpacking reads back. Around it
this script puts a title, the bytes pack_parameters returns for the same recipe and values, and
a note. If the library changes how it lays fields out or how it draws them, the figures change
with it; `--check` fails when the committed figures no longer match.

    python docs/make_figures.py           # writes docs/figures/*.svg
    python docs/make_figures.py --check   # exit status 1 if a figure is missing or stale

Plain SVG: no dependency beyond fieldpack.
"""

import argparse
import re
import sys
from pathlib import Path
from xml.sax.saxutils import escape

import fieldpack
from fieldpack_layout import Layout, ccsds

FIGURES = Path(__file__).resolve().parent / "figures"

FONT = "font-family=\"DejaVu Sans Mono, Menlo, Consolas, monospace\""


def field(name, encoding, bits, byte_order="big", reverse_bits=False, offset_bits=None):
    entry = {"name": name, "encoding": encoding, "bits": bits, "byte_order": byte_order,
             "reverse_bits": reverse_bits}
    if offset_bits is not None:
        entry["offset_bits"] = offset_bits
    return entry


def text_width(content, size):
    return int(len(content) * size * 0.62) + 1


def text(x, y, content, size=11, fill="#222", weight="normal"):
    return (f'<text x="{x}" y="{y}" {FONT} font-size="{size}" text-anchor="start" '
            f'fill="{fill}" font-weight="{weight}">{escape(content)}</text>')


def show_value(value):
    if isinstance(value, int) and value > 9:
        return f"0x{value:X}"
    return repr(value)


def show_values(values):
    return "{" + ", ".join(f"{name!r}: {show_value(value)}" for name, value in values.items()) + "}"


def figure(title, recipe, values, note=""):
    """One figure: a title, the layout's picture, the bytes pack_parameters gives, a note."""
    picture = Layout(recipe).figure(values)
    width, height = map(int, re.match(r'<svg [^>]*width="(\d+)" height="(\d+)"', picture).groups())
    packet = fieldpack.pack_parameters(recipe, values)
    lines = [(f"pack_parameters(recipe, {show_values(values)}) -> "
              f"{packet.hex(' ').upper() or '(empty)'}", "#222")]
    if note:
        lines.append((note, "#8a1f11"))
    width = max([width, text_width(title, 14) + 24]
                + [text_width(line, 11) + 24 for line, _ in lines])
    top = 30  # the picture goes under the title
    parts = [text(12, 22, title, size=14, weight="bold"),
             picture.replace("<svg ", f'<svg x="0" y="{top}" ', 1).rstrip("\n")]
    y = top + height
    for line, fill in lines:
        y += 18
        parts.append(text(12, y, line, fill=fill))
    height = y + 14
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
            f'viewBox="0 0 {width} {height}" role="img" aria-label="{escape(title)}">\n'
            f"<title>{escape(title)}</title>\n"
            f'<rect x="0" y="0" width="{width}" height="{height}" fill="#ffffff"/>\n'
            + "\n".join(parts) + "\n</svg>\n")


def all_figures():
    return {
        # The CCSDS primary header as the library lays it out, bit-exact, for the streams page.
        "ccsds-primary-header": ccsds.primary_header.figure(
            {"version": 0, "type": 0, "secondary_header_flag": 1, "apid": 0x064,
             "sequence_flags": 0b11, "sequence_count": 1234, "data_length": 9}),
        # What Layout.figure gives as it is, for the page on compiled layouts.
        "layout-figure": Layout(
            [field("version", "unsigned", 3), field("flag", "unsigned", 1),
             field("apid", "unsigned", 12)]).figure({"version": 5, "flag": 1, "apid": 0x7FF}),
        "header-3-1-12": figure(
            "A 3 + 1 + 12-bit header: all three fields land in byte 0",
            [field("version", "unsigned", 3), field("flag", "unsigned", 1),
             field("apid", "unsigned", 12)],
            {"version": 5, "flag": 1, "apid": 0x7FF},
            "apid's byte 0 overwrites version and flag; version reads back as 7"),
        "offset-4": figure(
            "A 12-bit field that starts at bit 4 occupies bytes 0-1",
            [field("a", "unsigned", 12, offset_bits=4)], {"a": 0xABC},
            "offset_bits=4 lands where offset_bits=0 would: 4 mod 8 is ignored"),
        "right-aligned": figure(
            "Right alignment: 12 bits in 2 bytes, the top 4 bits of byte 0 stay 0",
            [field("a", "unsigned", 12)], {"a": 0xABC}),
        "byte-order": figure(
            "Byte order: the same 16-bit value big-endian, then little-endian",
            [field("big", "unsigned", 16), field("little", "unsigned", 16, "little")],
            {"big": 0x1234, "little": 0x1234}),
        "byte-order-12": figure(
            "Little-endian reverses the whole window, also for 12 bits",
            [field("a", "unsigned", 12, "little")], {"a": 0xABC}),
        "reverse-bits": figure(
            "reverse_bits mirrors the field within its 12 bits, before the byte order",
            [field("a", "unsigned", 12, reverse_bits=True)], {"a": 1}),
        "offsets": figure(
            "Offsets: A placed at bit 16, B at bit 0, C after B",
            [field("A", "unsigned", 16, offset_bits=16), field("B", "unsigned", 8, offset_bits=0),
             field("C", "unsigned", 8)],
            {"A": 0xAABB, "B": 0x11, "C": 0x22},
            "the packet keeps the 5 bytes the furthest end needs; byte 4 is written by no field"),
        "overlap": figure(
            "Overlap: two 4-bit fields share byte 0, the second one's byte wins",
            [field("a", "unsigned", 4), field("b", "unsigned", 4)], {"a": 1, "b": 2},
            "both fields read back the same byte: a=2, b=2"),
        "text-padding": figure(
            "Text shorter than its field: zero bytes after it",
            [field("t", "utf8", 32)], {"t": "A"},
            "unpacking returns the zero bytes too, as U+0000 characters"),
        "text-cut": figure(
            "Text longer than its field: cut at its own window",
            [field("t", "utf8", 16), field("n", "unsigned", 8)], {"t": "ABCD", "n": 0x7F},
            "'CD' is dropped; the next field's byte is never touched by the text"),
        "text-little": figure(
            "Little-endian text: the first bytes that fit, reversed",
            [field("t", "utf8", 16, "little")], {"t": "ABCD"},
            "the window keeps 'AB' and reverses it; unpacking with 'little' gives 'AB' back"),
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true",
                        help="compare with the files instead of writing them")
    args = parser.parse_args(argv)
    figures = all_figures()
    stale = []
    FIGURES.mkdir(exist_ok=True)
    for name, content in figures.items():
        path = FIGURES / f"{name}.svg"
        if args.check:
            if not path.is_file() or path.read_text(encoding="utf-8") != content:
                stale.append(path.name)
        else:
            path.write_text(content, encoding="utf-8")
    known = {f"{name}.svg" for name in figures}
    stale += sorted(p.name for p in FIGURES.glob("*.svg") if p.name not in known)
    if stale:
        print("figures missing, stale or unknown (run python docs/make_figures.py): "
              + ", ".join(stale), file=sys.stderr)
        return 1
    print(f"{len(figures)} figures {'match' if args.check else 'written to'} {FIGURES}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
