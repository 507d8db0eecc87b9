"""Stream on PyPy: the compiled type, driven through the C API as Layout's archives are.

A stream's calls cross into C once and do all their work there (the walk, the gathering, the
columns), so the C API's cost per object does not count; what this face adds is the translation
of PyPy's layouts (Python objects, ``_pypy.Layout``) into the compiled layouts they keep, and of
the arguments PyPy must not hand to C as they are: a dict, list or tuple subclass is asked for
its length when it first reaches C, and a length that fails then ends the process. Such
arguments are read here, in Python, into plain ones.
"""

import copyreg

from fieldpack_layout import _docs, _layout
from fieldpack_layout._pypy import Layout, _documented

__all__ = ["Stream"]

_Compiled = _layout.Stream
_CONTAINERS = (dict, list, tuple)


def _inner(layout):
    """The compiled layout a PyPy layout keeps; anything else as it is."""
    return layout._compiled if type(layout) is Layout else layout


def _plain(value):
    """A dict, list or tuple subclass as a plain one of its own items, read without its hooks;
    anything else as it is."""
    if isinstance(value, _CONTAINERS) and type(value) not in _CONTAINERS:
        if isinstance(value, dict):
            return {key: item for key, item in dict.items(value)}
        if isinstance(value, tuple):
            return tuple.__getitem__(value, slice(None))
        return list.__getitem__(value, slice(None))
    return value


class _Items:
    """A mapping's items, read here: what the compiled face reads through items()."""

    __slots__ = ("_items",)

    def __init__(self, items):
        self._items = items

    def items(self):
        return self._items


def _mapping(value, convert):
    """A mapping's items with their values converted, for the compiled face; anything that has
    no items() as it is (the compiled face says what is wrong with it)."""
    if isinstance(value, dict):
        items = dict.items(value)
    elif hasattr(value, "items") and not isinstance(value, _CONTAINERS):
        items = value.items()
    else:
        return _plain(value)
    pairs = []
    for item in items:
        key, layout = _plain(item)
        pairs.append((_plain(key), convert(layout)))
    return _Items(pairs)


class Stream:
    __slots__ = ("_compiled", "_header", "_layouts", "__weakref__")

    def __new__(cls, *args, **kwargs):
        # Arguments go over as given (the compiled type binds them and words every binding
        # error), each made plain first, and the layouts as the compiled layouts they keep.
        header = args[0] if args else kwargs.get("header")
        args = [_plain(_inner(arg)) for arg in args]
        arguments = {name: _plain(value) for name, value in kwargs.items()}
        if "header" in arguments:
            arguments["header"] = _plain(_inner(arguments["header"]))
        given = []
        if "layouts" in kwargs:
            def keep(layout):
                given.append(layout)
                return _inner(layout)

            arguments["layouts"] = _mapping(kwargs["layouts"], keep)
        for name in ("sync", "unsegmented"):
            if arguments.get(name) is not None:
                arguments[name] = _mapping(kwargs[name], _plain)
        if arguments.get("idle") is not None:
            arguments["idle"] = [_plain(key) for key in arguments["idle"]]
        compiled = _Compiled(*args, **arguments)
        self = object.__new__(cls)
        object.__setattr__(self, "_compiled", compiled)
        object.__setattr__(self, "_header", header)
        object.__setattr__(self, "_layouts", tuple(given))
        return self

    def __setattr__(self, name, value):
        raise AttributeError("Stream objects are immutable: cannot set or delete '%s'" % name)

    def __delattr__(self, name):
        raise AttributeError("Stream objects are immutable: cannot set or delete '%s'" % name)

    def __init_subclass__(cls, **kwargs):
        raise TypeError("type 'fieldpack_layout.Stream' is not an acceptable base type")

    def __repr__(self):
        return repr(self._compiled)

    def __reduce__(self):
        options = self._compiled.__reduce__()[1][2]
        options["layouts"] = self.layouts
        return (copyreg.__newobj_ex__, (Stream, (self._header,), options))

    @property
    def header(self):
        return self._header

    @property
    def layouts(self):
        return dict(zip(self._compiled.layouts, self._layouts))

    def unpack_columns(self, *args, **kwargs):
        return self._compiled.unpack_columns(*[_plain(a) for a in args],
                                             **{k: _plain(v) for k, v in kwargs.items()})

    def unpack_file(self, *args, **kwargs):
        return self._compiled.unpack_file(*[_plain(a) for a in args],
                                          **{k: _plain(v) for k, v in kwargs.items()})

    def split(self, *args, **kwargs):
        return self._compiled.split(*[_plain(a) for a in args],
                                    **{k: _plain(v) for k, v in kwargs.items()})


def _passed_on(name):
    return property(lambda self: getattr(self._compiled, name))


for _name in ("key", "length", "length_offset", "size", "sequence", "sequence_modulus", "tail",
              "idle", "sync", "unsegmented"):
    setattr(Stream, _name, _passed_on(_name))
del _name

Stream.__module__ = "fieldpack_layout"
_documented(Stream, _docs.STREAM, _docs.STREAM_SIGNATURE, _docs.STREAM_MEMBERS)
