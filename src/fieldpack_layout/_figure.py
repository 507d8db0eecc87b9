"""The picture of a layout, as SVG text: Layout.figure, and what notebooks show for a layout.

It is drawn from what every caller sees of a layout (recipe, names, size, pack, unpack), so it
shows what the library does, not what a second reading of the recipe would guess. The SVG is
plain text: no embedded fonts, nothing referred to outside it, and the same bytes for the same
layout and values, so that pictures drawn from it can be compared with committed ones.
"""

import math
import operator
from xml.sax.saxutils import escape, quoteattr

BIT = 18  # width of one bit cell
ROW_BYTES = 8  # bytes per row of the picture; longer packets wrap
LEFT = 118  # room for the row labels
LANE = 24  # height of one lane of field bars
LINE = 16  # height of a line of the table under the rows
FONT = 'font-family="DejaVu Sans Mono, Menlo, Consolas, monospace"'
COLOURS = [("#cfe3ff", "#2f6db5"), ("#ffe1bf", "#b8660b"), ("#d4f0d0", "#2f8a3a"),
           ("#f3d2f0", "#8e3a87"), ("#fff4b3", "#8a7a12"), ("#d9d9d9", "#555555")]
GREY = "#555"
RED = "#b3261e"
LONGEST_VALUE = 40  # characters of a value shown in the table before it is cut


def figure(layout, values=None):
    """The SVG picture of `layout`: per field the bits it declares and, in a byte-granular
    layout, the whole bytes (its window) it occupies, wrapped in rows of 8 bytes; given
    `values`, the packet that layout.pack(values) makes, bit by bit and in hexadecimal, and a
    table of the values given and read back. Raises what layout.pack(values) raises."""
    packet = None if values is None else layout.pack(values)
    recipe = layout.recipe
    bit_exact = layout.packing == "bits"
    fields = [_Field(index, entry, start, bits, bit_exact)
              for index, (entry, (start, bits)) in enumerate(zip(recipe, _spans(recipe)))]
    read_back, failure = None, None
    if packet is not None:
        try:
            read_back = layout.unpack(packet)
        except (ValueError, NotImplementedError) as error:
            failure = f"unpack fails on these bytes: {type(error).__name__}: {error}"

    size = layout.size
    total = max([size or 0, len(packet) if packet is not None else 0]
                + [field.window[1] for field in fields])
    svg = _Svg()
    y = 10
    if total == 0:
        y += 14
        why = "every field is 0 bits wide" if fields else "no fields"
        svg.text(12, y, f"no bytes: {why}", size=11, fill=GREY)
        y += 6
    for row in _rows(fields, total):
        if isinstance(row, _Gap):
            y += 18
            svg.text(LEFT, y, row.text(fields), size=11, fill=GREY)
            y += 6
        else:
            y = _draw_row(svg, y, row, total, fields, packet, size, bit_exact)
    y = _draw_table(svg, y + 14, fields, values, read_back)
    if failure:
        y += 4
        svg.text(12, y, failure, size=11, fill=RED)
        y += LINE
    return svg.document(y + 4, repr(layout).strip("<>"))


class _Field:
    def __init__(self, index, entry, start, bits, bit_exact):
        self.index = index
        self.name = entry["name"]
        self.encoding = entry["encoding"]
        self.start, self.bits = start, bits
        # Byte-granular: the whole bytes from the start's byte on that the bits need.
        # Bit-exact: the bytes the bits touch.
        first = start // 8
        end = (start + bits + 7) // 8 if bit_exact and bits else first + (bits + 7) // 8
        self.window = (first, end)
        self.colours = COLOURS[index % len(COLOURS)]


def _spans(recipe):
    """(start bit, bits) of each field, where both packet walks place it: at its offset_bits,
    or where the declared bits of the field before it end."""
    spans, cursor = [], 0
    for entry in recipe:
        offset = entry.get("offset_bits")
        start = cursor if offset is None else operator.index(offset)
        bits = operator.index(entry["bits"])
        spans.append((start, bits))
        cursor = start + bits
    return spans


class _Gap:
    """Rows left out: bytes first to last (inclusive), where nothing starts or ends."""

    def __init__(self, first, last):
        self.first, self.last = first, last

    def text(self, fields):
        inside = [f for f in fields if f.window[0] <= self.first and self.last < f.window[1]]
        where = ("inside " + ", ".join(_quoted(f.name) for f in inside) if inside
                 else "of no field")
        count = self.last - self.first + 1
        return f"... bytes {self.first} to {self.last} ({count} bytes, {where}) not drawn"


def _rows(fields, total):
    """The first byte of each row to draw, and _Gap for runs of rows that would only repeat
    the rows around them (the middle of a long text field, a wide gap between offsets). Rows
    are drawn where a field's bits or window start or end, and the first and the last."""
    row_bits = 8 * ROW_BYTES
    count = (total + ROW_BYTES - 1) // ROW_BYTES
    marked = {0, count - 1}
    for field in fields:
        for start, end in ((field.start, field.start + field.bits),
                           (8 * field.window[0], 8 * field.window[1])):
            marked.add(start // row_bits)
            marked.add(max(end - 1, start) // row_bits)
    rows, previous = [], -1
    for row in sorted(r for r in marked if 0 <= r < count):
        if row - previous == 2:
            rows.append((previous + 1) * ROW_BYTES)
        elif row - previous > 2:
            rows.append(_Gap((previous + 1) * ROW_BYTES, row * ROW_BYTES - 1))
        rows.append(row * ROW_BYTES)
        previous = row
    return rows


def _draw_row(svg, y, first_byte, total, fields, packet, size, bit_exact):
    """One row of the picture, for bytes first_byte on; returns the y under it."""
    last_byte = min(first_byte + ROW_BYTES, total)
    low, high = 8 * first_byte, 8 * last_byte

    declared = [(f, f.start, f.start + f.bits) for f in fields]
    y = _bars(svg, y, "declared bits", declared, low, high)
    # A bit-exact field occupies its declared bits and nothing else: no window to draw.
    if not bit_exact:
        windows = [(f, 8 * f.window[0], 8 * f.window[1]) for f in fields]
        y = _bars(svg, y, "window (bytes)", windows, low, high)

    # The bytes, bit by bit, with their numbers above and, given a packet, hexadecimal below.
    y += 20
    svg.text(12, y + 16, "packet", size=11, fill=GREY)
    for byte_index in range(first_byte, last_byte):
        x = LEFT + (byte_index - first_byte) * 8 * BIT
        svg.text(x + 4 * BIT, y - 4, f"byte {byte_index}", size=10, anchor="middle", fill=GREY)
        length = len(packet) if packet is not None else size
        inside = length is None or byte_index < length
        for bit in range(8):
            svg.rect(x + bit * BIT, y, BIT, 24, "#ffffff" if inside else "#f0f0f0", "#999")
            if inside and packet is not None:
                svg.text(x + bit * BIT + BIT // 2, y + 16,
                         str((packet[byte_index] >> (7 - bit)) & 1), anchor="middle")
        svg.rect(x, y, 8 * BIT, 24, "none", "#222", 2)
        if packet is not None:
            svg.text(x + 4 * BIT, y + 42, f"{packet[byte_index]:02X}" if inside else "(none)",
                     size=13, anchor="middle", weight="bold")
    return y + (46 if packet is not None else 28)


def _bars(svg, y, label, intervals, low, high):
    """One bar per field for the part of its interval (in bits) within [low, high), in as few
    lanes as keep bars and names apart; returns the y under them."""
    pieces = []
    for field, start, end in intervals:
        first, last = max(start, low), min(end, high)
        if first >= last:
            continue
        x, width = LEFT + (first - low) * BIT, (last - first) * BIT
        name = _shown(field.name)
        # The name goes in the bar, or right of it where the field ends; a part too narrow
        # that goes on in the next row leaves the name to that row.
        if _text_width(name, 11) + 6 <= width:
            place = "inside"
        elif last == end:
            place = "right"
        else:
            place = None
        right = x + width + (_text_width(name, 11) + 8 if place == "right" else 0)
        pieces.append((field, x, width, name, place, right))
    lanes = []  # the right end of what each lane holds so far
    placed = []
    for piece in sorted(pieces, key=lambda piece: (piece[1], piece[0].index)):
        x = piece[1]
        lane = next((i for i, end in enumerate(lanes) if end <= x), len(lanes))
        if lane == len(lanes):
            lanes.append(0)
        lanes[lane] = piece[5]
        placed.append((lane, piece))
    if not lanes:
        return y
    top = y + 6
    svg.text(12, top + len(lanes) * LANE // 2 + 4, label, size=11, fill=GREY)
    for lane, (field, x, width, name, place, _) in placed:
        fill, stroke = field.colours
        bar_y = top + lane * LANE
        svg.rect(x + 1, bar_y, width - 2, LANE - 4, fill, stroke)
        if place == "inside":
            svg.text(x + width // 2, bar_y + 14, name, size=11, anchor="middle", fill=stroke)
        elif place == "right":
            svg.text(x + width + 4, bar_y + 14, name, size=11, fill=stroke)
    return top + len(lanes) * LANE


def _draw_table(svg, y, fields, values, read_back):
    """A line per field: its colour, index, name, encoding, bits, start and bytes, and given
    values, the value and what unpacking the packet gives back (in red where that is not the
    value). Returns the y under it."""
    head = ["", "#", "name", "encoding", "bits", "at bit", "bytes"]
    lines = []
    for field in fields:
        first, end = field.window
        window = "-" if end == first else str(first) if end == first + 1 else f"{first}-{end - 1}"
        lines.append(["", str(field.index), _quoted(field.name), _shown(str(field.encoding)),
                      str(field.bits), str(field.start), window])
    differs = [False] * len(fields)
    if values is not None:
        head += ["value", "reads back"]
        for field, line in zip(fields, lines):
            given = dict.__getitem__(values, field.name)  # as pack found it
            line.append(_value_text(given, field.encoding))
            if read_back is None:
                line.append("")
            else:
                back = read_back[field.name]
                line.append(_value_text(back, field.encoding))
                differs[field.index] = _differs(given, back)
    # Column c starts two characters after the widest text of column c - 1; column 0 is the
    # colour swatch.
    columns = [12, 28]
    for c in range(2, len(head)):
        widest = max(len(line[c - 1]) for line in lines + [head])
        columns.append(columns[-1] + _text_width(" " * (widest + 2), 11))
    y += LINE
    for c, text in enumerate(head):
        if text:
            svg.text(columns[c], y, text, size=11, fill=GREY, weight="bold")
    for number, (field, line) in enumerate(zip(fields, lines)):
        y += LINE
        fill, stroke = field.colours
        svg.rect(12, y - 10, 10, 10, fill, stroke)
        for c, text in enumerate(line):
            if not text:
                continue
            red = differs[number] and c == len(line) - 1
            svg.text(columns[c], y, text, size=11, fill=RED if red else "#222",
                     weight="bold" if red else "normal")
    if any(differs):
        y += LINE
        svg.text(12, y, "red: read back other than given (text: its trailing NULs aside; "
                 "floats: beyond rounding)", size=11, fill=RED)
    return y + 6


def _differs(given, back):
    """Whether what reads back is not the value packed, as a person reading the table would
    judge: text with the zero characters that pad it, floats to their width's rounding."""
    try:
        if isinstance(back, str):
            return not isinstance(given, str) or back.rstrip("\0") != given.rstrip("\0")
        if isinstance(back, float):
            given = float(given)
            if math.isnan(given) or math.isnan(back):
                return math.isnan(given) != math.isnan(back)
            if math.isinf(given) or math.isinf(back) or given == 0 or back == 0:
                return given != back
            # A 16-bit float keeps 11 significant bits; more than that is not rounding.
            return abs(back - given) > abs(given) * 2.0 ** -10
        return bool(back != given)
    except (TypeError, ValueError, OverflowError):
        return True


def _value_text(value, encoding):
    text = repr(value)
    if type(value) is int and value > 9 and str(encoding).lower() == "unsigned":
        text += f" (0x{value:X})"
    text = _shown(text)
    return text if len(text) <= LONGEST_VALUE else text[:LONGEST_VALUE - 3] + "..."


def _shown(text):
    """Text as it can stand in the picture: characters that do not print (and that XML may
    not hold) as their escapes."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def _quoted(name):
    return _shown(repr(name))


def _text_width(content, size):
    return int(len(content) * size * 0.62) + 1


class _Svg:
    def __init__(self):
        self.parts = []
        self.right = 0  # the furthest x anything reaches

    def rect(self, x, y, width, height, fill, stroke, stroke_width=1):
        self.right = max(self.right, x + width)
        self.parts.append(f'<rect x="{x}" y="{y}" width="{width}" height="{height}" '
                          f'fill="{fill}" stroke="{stroke}" stroke-width="{stroke_width}"/>')

    def text(self, x, y, content, size=12, anchor="start", fill="#222", weight="normal"):
        width = _text_width(content, size)
        self.right = max(self.right, x + (width if anchor == "start" else width // 2))
        self.parts.append(f'<text x="{x}" y="{y}" {FONT} font-size="{size}" '
                          f'text-anchor="{anchor}" fill="{fill}" font-weight="{weight}">'
                          f"{escape(content)}</text>")

    def document(self, height, title):
        width = int(self.right) + 12
        title = _shown(title)
        head = (f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
                f'viewBox="0 0 {width} {height}" role="img" aria-label={quoteattr(title)}>\n'
                f"<title>{escape(title)}</title>\n"
                f'<rect x="0" y="0" width="{width}" height="{height}" fill="#ffffff"/>\n')
        return head + "\n".join(self.parts) + "\n</svg>\n"
