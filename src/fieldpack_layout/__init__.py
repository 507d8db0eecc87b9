"""Compiled layouts for fieldpack: a recipe read once, then packets unpacked and packed
without reading it again.

    from fieldpack_layout import Layout
    layout = Layout(recipe)
    values = layout.unpack(packet)
    packet = layout.pack(values)
"""

from fieldpack_layout._layout import Layout

__all__ = ["Layout"]
