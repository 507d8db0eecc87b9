"""Compiled layouts for fieldpack: a recipe read once, then packets unpacked and packed
without reading it again.

    from fieldpack_layout import Layout
    layout = Layout(recipe)
    values = layout.unpack(packet)
    packet = layout.pack(values)
"""

import sys

if sys.implementation.name == "pypy":
    # PyPy's own face: the walks driven through cffi, the dicts made by JIT-compiled code.
    from fieldpack_layout._pypy import Layout
else:
    from fieldpack_layout._layout import Layout

del sys

__all__ = ["Layout"]
