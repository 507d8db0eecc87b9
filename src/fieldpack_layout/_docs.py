"""The docstrings and signatures of Layout, its iterator and Stream, for the face that is Python
code (PyPy's, whose compiled types carry no docstrings). The compiled types carry the same texts,
which a test keeps equal."""

LAYOUT = (
    'A recipe read once, for packing and unpacking many packets.\n'
    '\n'
    'The recipe is a sequence of field definitions, as unpack_parameters and pack_parameters of\n'
    'the fieldpack module take it. It is read and checked here, in the order and with the\n'
    "messages of unpack_parameters; a fault raises that function's ValueError. The layout keeps\n"
    'what it read: changing the recipe afterwards changes nothing.\n'
    '\n'
    'layout.unpack(p, o) gives exactly what unpack_parameters(bytes(p), o, recipe) gives, and\n'
    'layout.pack(v) what pack_parameters(recipe, v) gives, result or exception; a ValueError\n'
    'that wraps another exception keeps it as __cause__. An exception raised while working on\n'
    'a field carries a note naming it (PEP 678), such as\n'
    '"field 3 \'temperature\' (unsigned, 8 bits at bit 24)".\n'
    '\n'
    'With strict=True, pack and pack_into refuse any value that packing would lose (text longer\n'
    'than its window, a float that becomes infinite or zero at its width, a field that does not\n'
    'read back what was packed). defaults maps field names to the values packed when the\n'
    'values lack them; they are copied and checked here.\n'
    '\n'
    "packing='bits' makes the layout bit-exact: a field occupies exactly bits [p, p + bits) of\n"
    'the packet, the most significant bit first, instead of the whole bytes from the byte where\n'
    'it starts. Integers and BCD take any width at any start (little-endian ones whole bytes);\n'
    'text and floats whole bytes at any start. Fields of whole bytes on byte boundaries read\n'
    'and write the same under both packings.\n'
    '\n'
    'Layouts are immutable, hashable by identity, safe to share between threads, and pickle\n'
    'and copy with their options.'
)

LAYOUT_SIGNATURE = "(recipe, *, strict=False, defaults=None, packing='bytes')"

# name: (text signature or None, docstring)
MEMBERS = {
    '__reduce__': (
        None,
        'Layout(recipe, **options), for pickle and copy.',
    ),
    '_repr_svg_': (
        '($self, /)',
        'figure(): the picture that notebooks show for a layout.',
    ),
    'defaults': (
        None,
        'A new dict of the values packed for fields the values do not name.',
    ),
    'figure': (
        '($self, values=None)',
        (
            'The SVG picture of the layout, as a str: per field the bits it declares and the whole\n'
            'bytes (its window) it occupies, in rows of 8 bytes, and a table of the fields. Given values,\n'
            'also the packet pack(values) makes, bit by bit and in hexadecimal, and in the table the\n'
            'values and what unpacking that packet reads back. Raises what pack(values) raises.'
        ),
    ),
    'iter_unpack': (
        '($self, buffer, stride=None)',
        (
            'Iterate over the packets of a buffer: packet i is the stride bytes from byte i*stride,\n'
            "unpacked with offset_bits 0. stride defaults to size; the buffer's length must be a\n"
            'multiple of it. The buffer is held (and cannot be resized) until the last packet is out.'
        ),
    ),
    'names': (
        None,
        'The field names in recipe order, a tuple of str.',
    ),
    'pack': (
        '($self, values)',
        (
            'Pack the values of a dict into a new bytes object of size bytes.\n'
            '\n'
            'The result and any exception are those of pack_parameters(recipe, values).'
        ),
    ),
    'pack_into': (
        '($self, buffer, values, offset_bits=0)',
        (
            'Pack the values of a dict into a writable buffer, from bit offset_bits on.\n'
            '\n'
            "Every value is converted and encoded before the first byte is written; then each field's\n"
            'whole window (in a bit-exact layout: exactly its bits) is written in recipe order, as\n'
            'pack() writes it. Bytes (bits) of no field are left alone, and a failure leaves the buffer\n'
            'untouched. Into a zeroed buffer of size bytes it writes pack(values).'
        ),
    ),
    'packing': (
        None,
        "How fields are placed: 'bytes' (whole bytes from the byte a field starts in) or 'bits' (exactly the field's bits).",
    ),
    'problems': (
        '($self, /)',
        (
            'What the recipe does that is legal but probably a mistake, as a list of sentences:\n'
            'fields with the same name, fields sharing bytes (bits, in a bit-exact layout), fields\n'
            'starting inside a byte of a byte-granular layout, keys no\n'
            'walk reads, numeric fields wider than 64 bits, floats at a width not their own, text that\n'
            'is not whole bytes, encodings that cannot be packed, and a layout that cannot be packed.'
        ),
    ),
    'recipe': (
        None,
        'A new list of dict copies of the entries as read, extra keys kept.',
    ),
    'size': (
        None,
        "The packet length in bytes, from pack_parameters' sizing walk; None if it fails.",
    ),
    'strict': (
        None,
        'Whether pack and pack_into refuse any value that packing would lose.',
    ),
    'unpack': (
        '($self, buffer, offset_bits=0)',
        (
            'Unpack the packet in buffer, from bit offset_bits on, into a new dict.\n'
            '\n'
            'buffer is any C-contiguous buffer (bytes, bytearray, memoryview, mmap, array); the result\n'
            'and any exception are those of unpack_parameters(bytes(buffer), offset_bits, recipe).'
        ),
    ),
    'unpack_columns': (
        '($self, buffer, stride=None, *, numpy=False)',
        (
            'Unpack every packet of a buffer into columns: a dict of name -> one value per packet.\n'
            '\n'
            'Packet i is the stride bytes from byte i*stride, as iter_unpack reads them (stride defaults\n'
            "to size; the buffer's length must be a multiple of it), and the values are those iter_unpack\n"
            'gives. Columns are lists; with numpy=True numeric fields become numpy arrays whose dtype\n'
            "follows from the field's encoding and width (integers in the smallest of 8/16/32/64 bits\n"
            'that the width needs, BCD as int64, IEEE 754 half, single and double floats as float16,\n'
            'float32 and float64, other floats as float64), and text fields stay lists of str.\n'
            'A packet that fails raises what iter_unpack would raise first, with notes naming the field\n'
            'and the packet. Numeric fields into arrays are decoded without the interpreter lock; the\n'
            'buffer is held meanwhile, and writing into it from another thread gives unspecified values.'
        ),
    ),
    'unpack_file': (
        '($self, path_or_file, stride=None, *, numpy=False, chunk_packets=65536, progress=None)',
        (
            'Unpack a file of back-to-back packets into columns, as unpack_columns unpacks a buffer.\n'
            '\n'
            'path_or_file is a path, or a binary file read from where it stands (and left open). The\n'
            'file is read chunk_packets packets at a time; memory beyond the result stays at one chunk.\n'
            'A partial packet at the end is a ValueError: raised up front when the file tells its size,\n'
            'else once the packets before it are decoded. progress is a callable, called as\n'
            'progress(packets_done, packets_total_or_None) at the start and after each chunk, or True\n'
            'for a tqdm bar (a plain line on stderr without tqdm).'
        ),
    ),
}

ITERATOR = 'The packets of a buffer, unpacked one by one.'

ITERATOR_MEMBERS = {
    '__length_hint__': (None, 'Packets left.'),
}

STREAM = (
    'A file or buffer of packets of several layouts back to back, each starting with the\n'
    'same header, walked packet by packet and decoded into columns per layout.\n'
    '\n'
    'header is a Layout read at the start of every packet. key names one integer field of it,\n'
    "or a tuple of them, whose value (a tuple of values) picks the packet's Layout in layouts,\n"
    'a mapping of key -> Layout; each layout describes the whole packet from its first bit,\n'
    'header included. A packet is header[length] + length_offset bytes long, or size bytes:\n'
    'exactly one of length and size is given. sequence names the field of the sequence count,\n'
    'counted per key modulo sequence_modulus (default 2**bits of the field). With tail, the\n'
    'bytes of a packet past what its layout needs come back as a column of bytes of that name.\n'
    'idle lists keys of idle packets (counted, not decoded); sync maps header fields to the\n'
    'value every packet has (a packet that differs has lost sync); unsegmented maps header\n'
    'fields to the value of a packet that is no segment (the others are counted).\n'
    '\n'
    "The walk stops where sync is lost (also at a length below the header's) and never loops;\n"
    "a last packet longer than what remains is the truncated tail. Each call's result has a\n"
    'summary of the walk, and a StreamWarning is issued once per call whose summary is not\n'
    'clean. Streams are immutable, safe to share between threads, and pickle.'
)

STREAM_SIGNATURE = (
    '(header, *, key, layouts, length=None, length_offset=0, size=None, sequence=None, '
    'sequence_modulus=None, tail=None, idle=(), sync=None, unsegmented=None)'
)

STREAM_MEMBERS = {
    'header': (
        None,
        'The Layout read at the start of every packet.',
    ),
    'idle': (
        None,
        'The keys of idle packets, a tuple.',
    ),
    'key': (
        None,
        'The header field (a str) or fields (a tuple) of the key.',
    ),
    'layouts': (
        None,
        'A new dict of key -> Layout, in the given order.',
    ),
    'length': (
        None,
        'The header field of the packet length, or None.',
    ),
    'length_offset': (
        None,
        "What is added to the length field's value to give a packet's bytes.",
    ),
    'sequence': (
        None,
        'The header field of the sequence count, or None.',
    ),
    'sequence_modulus': (
        None,
        'The modulus of the sequence counts, or None without a sequence field.',
    ),
    'size': (
        None,
        'The packet size in bytes when it is fixed, or None.',
    ),
    'split': (
        '($self, buffer)',
        (
            'The packets of each key of layouts joined as they stand, without decoding them: a\n'
            "StreamResult of key -> bytes, short packets included, with the walk's summary."
        ),
    ),
    'sync': (
        None,
        'A new dict of header field -> the value every packet has, or None.',
    ),
    'tail': (
        None,
        'The name of the column of the bytes past a layout, or None.',
    ),
    'unpack_columns': (
        '($self, buffer, *, numpy=False, offsets=False)',
        (
            "Walk the packets of a C-contiguous buffer and decode each layout's into columns.\n"
            '\n'
            'The result is a StreamResult: per key of layouts, in their order, a dict of name -> one\n'
            'value per packet of that key, as Layout.unpack_columns gives it (numpy arrays for numeric\n'
            'fields with numpy=True), plus the tail column when the stream has one and, with\n'
            "offsets=True, 'offset': where each packet starts, to merge keys back into stream order.\n"
            'A key that never occurs gets empty columns of the same types. Packets shorter than their\n'
            'layout are left out and counted. A packet that fails to decode raises the first failure in\n'
            "stream order, with notes naming the field and the packet's key and byte."
        ),
    ),
    'unpack_file': (
        '($self, path_or_file, *, numpy=False, offsets=False, chunk_bytes=16777216, progress=None)',
        (
            'Walk and decode a file of packets as unpack_columns walks and decodes a buffer.\n'
            '\n'
            'path_or_file is a path, or a binary file read from where it stands (and left open). The\n'
            'file is read chunk_bytes at a time (a chunk grows to hold the largest packet); memory\n'
            'beyond the result stays at about one chunk. progress is a callable, called as\n'
            'progress(bytes_read, bytes_total_or_None) at the start and after each chunk, or True for\n'
            'a tqdm bar (a plain line on stderr without tqdm).'
        ),
    ),
    'unsegmented': (
        None,
        'A new dict of header field -> the value of a packet that is no segment, or None.',
    ),
    '__reduce__': (
        None,
        'Stream(header, **arguments), for pickle and copy.',
    ),
}
