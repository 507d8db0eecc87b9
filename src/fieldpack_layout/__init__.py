"""Compiled layouts for fieldpack: a recipe read once, then packets unpacked and packed
without reading it again.

    from fieldpack_layout import Layout
    layout = Layout(recipe)
    values = layout.unpack(packet)
    packet = layout.pack(values)

and streams of packets of several layouts, each picked by a key in a common header:

    from fieldpack_layout import Stream, ccsds
    columns = ccsds.stream({0x64: power, 0x65: thermal}).unpack_file("level0.bin", numpy=True)
"""

import sys

if sys.implementation.name == "pypy":
    # PyPy's own face: the walks driven through cffi, the dicts made by JIT-compiled code.
    from fieldpack_layout._pypy import Layout
    from fieldpack_layout._pypy_stream import Stream
else:
    from fieldpack_layout._layout import Layout, Stream

from fieldpack_layout._stream import StreamResult, StreamSummary, StreamWarning

del sys

__all__ = ["Layout", "Stream", "StreamResult", "StreamSummary", "StreamWarning"]
