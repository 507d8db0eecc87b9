"""Draws the layout figures of the documentation from the library itself.

Every figure packs a recipe with fieldpack.pack_parameters, draws the bytes that came back bit
by bit, and prints under them what unpack_parameters reads back from those bytes. Above the
bytes it shows, per field, the bits the recipe declares and the whole bytes (the window) the
field really occupies. If the library changes how it lays fields out, the figures change with
it; `--check` fails when the committed figures no longer match.

    python docs/make_figures.py           # writes docs/figures/*.svg
    python docs/make_figures.py --check   # exit status 1 if a figure is missing or stale

Plain SVG written by hand: no dependency beyond fieldpack.
"""

import argparse
import sys
from pathlib import Path
from xml.sax.saxutils import escape

import fieldpack

FIGURES = Path(__file__).resolve().parent / "figures"

BIT = 18  # width of one bit cell
LEFT = 118  # room for the row labels
LANE = 24  # height of one lane of field bars
FONT = "font-family=\"DejaVu Sans Mono, Menlo, Consolas, monospace\""
COLOURS = [("#cfe3ff", "#2f6db5"), ("#ffe1bf", "#b8660b"), ("#d4f0d0", "#2f8a3a"),
           ("#f3d2f0", "#8e3a87"), ("#fff4b3", "#8a7a12"), ("#d9d9d9", "#555555")]


def field(name, encoding, bits, byte_order="big", reverse_bits=False, offset_bits=None):
    entry = {"name": name, "encoding": encoding, "bits": bits, "byte_order": byte_order,
             "reverse_bits": reverse_bits}
    if offset_bits is not None:
        entry["offset_bits"] = offset_bits
    return entry


def declared_spans(recipe):
    """(start bit, bits) of each field as the walk of both packet functions places it."""
    spans, cursor = [], 0
    for entry in recipe:
        start = entry.get("offset_bits", cursor)
        spans.append((start, entry["bits"]))
        cursor = start + entry["bits"]
    return spans


def text_width(content, size):
    return int(len(content) * size * 0.62) + 1


class Svg:
    def __init__(self):
        self.parts = []
        self.right = 0  # the furthest x anything reaches

    def rect(self, x, y, width, height, fill, stroke, stroke_width=1):
        self.right = max(self.right, x + width)
        self.parts.append(f'<rect x="{x}" y="{y}" width="{width}" height="{height}" '
                          f'fill="{fill}" stroke="{stroke}" stroke-width="{stroke_width}"/>')

    def line(self, x1, y1, x2, y2, stroke="#333", stroke_width=1, dash=False):
        extra = ' stroke-dasharray="3,3"' if dash else ""
        self.parts.append(f'<line x1="{x1}" y1="{y1}" x2="{x2}" y2="{y2}" stroke="{stroke}" '
                          f'stroke-width="{stroke_width}"{extra}/>')

    def text(self, x, y, content, size=12, anchor="start", fill="#222", weight="normal"):
        width = text_width(content, size)
        self.right = max(self.right, x + (width if anchor == "start" else width // 2))
        self.parts.append(f'<text x="{x}" y="{y}" {FONT} font-size="{size}" '
                          f'text-anchor="{anchor}" fill="{fill}" font-weight="{weight}">'
                          f"{escape(content)}</text>")

    def document(self, height, title):
        width = int(self.right) + 12
        head = (f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
                f'viewBox="0 0 {width} {height}" role="img" aria-label="{escape(title)}">\n'
                f"<title>{escape(title)}</title>\n"
                f'<rect x="0" y="0" width="{width}" height="{height}" fill="#ffffff"/>\n')
        return head + "\n".join(self.parts) + "\n</svg>\n"


def show_value(value):
    if isinstance(value, int) and value > 9:
        return f"0x{value:X}"
    return repr(value)


def show_values(values):
    return "{" + ", ".join(f"{name!r}: {show_value(value)}" for name, value in values.items()) + "}"


def figure(title, recipe, values, note=""):
    """One figure: declared bits, windows, the packed bytes and what reads back."""
    packet = fieldpack.pack_parameters(recipe, values)
    read_back = fieldpack.unpack_parameters(packet, 0, recipe)
    spans = declared_spans(recipe)
    windows = [(start // 8, start // 8 + (bits + 7) // 8) for start, bits in spans]
    total_bytes = max([len(packet)] + [last for _, last in windows])

    svg = Svg()
    y = 22
    svg.text(12, y, title, size=14, weight="bold")
    y += 14

    def bar_rows(label, intervals, unit):
        # One lane per field: overlapping fields stay apart, and a label too long for its bar
        # goes to the bar's right without covering another field.
        nonlocal y
        top = y + 6
        svg.text(12, top + len(intervals) * LANE // 2 + 4, label, size=11, fill="#555")
        for lane, (first, last) in enumerate(intervals):
            if last <= first:
                continue
            fill, stroke = COLOURS[lane % len(COLOURS)]
            x = LEFT + first * unit
            bar_y = top + lane * LANE
            bar_width = (last - first) * unit
            svg.rect(x + 1, bar_y, bar_width - 2, LANE - 4, fill, stroke)
            name = recipe[lane]["name"]
            if text_width(name, 11) + 6 <= bar_width:
                svg.text(x + bar_width // 2, bar_y + 14, name, size=11, anchor="middle",
                         fill=stroke)
            else:
                svg.text(x + bar_width + 4, bar_y + 14, name, size=11, fill=stroke)
        y = top + len(intervals) * LANE

    bar_rows("declared bits", [(start, start + bits) for start, bits in spans], BIT)
    bar_rows("window (bytes)", windows, 8 * BIT)

    # The packet, bit by bit, with byte numbers above and hexadecimal below.
    y += 20
    svg.text(12, y + 16, "packet", size=11, fill="#555")
    for byte_index in range(total_bytes):
        x = LEFT + byte_index * 8 * BIT
        svg.text(x + 4 * BIT, y - 4, f"byte {byte_index}", size=10, anchor="middle", fill="#555")
        inside = byte_index < len(packet)
        byte = packet[byte_index] if inside else 0
        for bit in range(8):
            svg.rect(x + bit * BIT, y, BIT, 24, "#ffffff" if inside else "#f0f0f0", "#999")
            if inside:
                svg.text(x + bit * BIT + BIT // 2, y + 16, str((byte >> (7 - bit)) & 1),
                         anchor="middle")
        svg.rect(x, y, 8 * BIT, 24, "none", "#222", 2)
        svg.text(x + 4 * BIT, y + 42, f"{byte:02X}" if inside else "(none)", size=13,
                 anchor="middle", weight="bold")
    y += 66

    hex_bytes = packet.hex(" ").upper() or "(empty)"
    svg.text(12, y, f"pack_parameters(recipe, {show_values(values)}) -> {hex_bytes}", size=11)
    y += 18
    svg.text(12, y, f"unpack_parameters(packet, 0, recipe) -> {show_values(read_back)}",
             size=11)
    if note:
        y += 18
        svg.text(12, y, note, size=11, fill="#8a1f11")
    return svg.document(y + 14, title)


def all_figures():
    return {
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
