# Recipe items and values handed to C on PyPy.
#
# PyPy's C API asks a dict, list or tuple subclass for its length when the object first reaches
# C, and when that fails, leaves the object half-registered: a later use from C can crash the
# interpreter (a tuple holding it then hands C a null item). So recipe items reach C only
# through `entries`, which iterates without consulting __len__, hands every dict subclass over
# inside a HeldEntry, whose methods read the entry's own storage from Python code, when the walk
# reaches each key, as CPython's C API reads it, and every other object that is not a plain dict
# inside a HeldOther, which keeps only what the error about it names: its type's name. A value
# that is such a subclass, in an entry or among the values to pack, reaches C inside a
# HeldValue, which converts as its item would and names its item's type in errors.
#
# The build embeds this file in the extension module, which runs it once, on first need.

# Types whose instances C may be handed as they are.
_PLAIN = frozenset([str, int, bool, float, bytes, type(None), dict, list, tuple])


def _dangerous(value, type=type, plain=_PLAIN, isinstance=isinstance):
    return type(value) not in plain and isinstance(value, (dict, list, tuple))


def _type_name(item):
    try:
        name = type(item).__qualname__
    except Exception:
        name = None
    return str.__str__(name) if isinstance(name, str) else None


class HeldValue:
    """A value C must not be handed: it converts from Python code, as an integer by its
    __index__ and as a float as the math functions take one; as text or a flag never, and the
    error names the item's type."""

    __slots__ = ("item", "type_name")

    def __init__(self, item):
        self.item = item
        self.type_name = _type_name(item)

    def __index__(self):
        import operator

        return operator.index(self.item)

    def __float__(self):
        import math

        return math.ldexp(self.item, 0)


def _held(value, dangerous=_dangerous, held=HeldValue):
    return held(value) if dangerous(value) else value


class HeldValues:
    """The values to pack, when some of them are such subclasses: looked up in their own
    storage, as C looks up a dict's."""

    __slots__ = ("storage",)

    def __init__(self, storage):
        self.storage = storage

    def get(self, key, default):
        value = dict.get(self.storage, key, default)
        return default if value is default else _held(value)


class HeldEntry(HeldValues):
    """A recipe entry that is a dict subclass, or holds such values: read as HeldValues reads,
    and its items as C iterates a dict's."""

    __slots__ = ()

    def items(self):
        return [(key, _held(value)) for key, value in dict.items(self.storage)]


class HeldOther:
    __slots__ = ("type_name",)

    def __init__(self, item):
        self.type_name = _type_name(item)


def _plain_entry(entry, type=type, str=str, int=int, bool=bool, dangerous=_dangerous):
    """Whether no value of a plain dict must be kept from C: most are strs, ints and bools."""
    for value in entry.values():
        kind = type(value)
        if kind is not str and kind is not int and kind is not bool and dangerous(value):
            return False
    return True


def _screened_entries(sequence, dict=dict, list=list, type=type, isinstance=isinstance,
                      held=HeldEntry, other=HeldOther, plain=_plain_entry):
    out = []
    for item in sequence:
        if type(item) is not dict:
            item = held(item) if isinstance(item, dict) else other(item)
        elif not plain(item):
            item = held(item)
        out.append(item)
    return out


# The common cases, a list or tuple of plain dicts of plain values and a dict of plain values,
# are checked in one body of loops, without calls, so that PyPy's JIT compiles it whole: this
# runs from C on every call of the packet functions.


def entries(sequence, dict=dict, list=list, tuple=tuple, type=type, str=str, int=int,
            bool=bool, screened=_screened_entries):
    kind = type(sequence)
    if kind is list or kind is tuple:
        for item in sequence:
            if type(item) is not dict:
                return screened(sequence)
            for value in item.values():
                value_kind = type(value)
                if value_kind is not str and value_kind is not int and value_kind is not bool:
                    return screened(sequence)
        return sequence if kind is list else list(sequence)
    return screened(sequence)


def values_of(values, dict=dict, type=type, int=int, float=float, str=str,
              dangerous=_dangerous):
    """The values to pack as C may read them: the dict itself, unless one of its values must
    not reach C."""
    for value in dict.values(values):
        kind = type(value)
        if kind is not int and kind is not float and kind is not str and dangerous(value):
            return HeldValues(values)
    return values


def entries_and_values(sequence, values, dict=dict, list=list, type=type, str=str, int=int,
                       bool=bool, float=float):
    """entries and values_of in one call, for a recipe that is a list or tuple (whose iteration
    runs no Python code, so nothing changes by doing both at once): the entries alone when the
    values may be read as they are, as nearly always, else both in a tuple."""
    kind = type(sequence)
    for item in sequence:
        if type(item) is not dict:
            return _both(sequence, values)
        for value in item.values():
            value_kind = type(value)
            if value_kind is not str and value_kind is not int and value_kind is not bool:
                return _both(sequence, values)
    if type(values) is not dict:
        return _both(sequence, values)
    for value in values.values():
        value_kind = type(value)
        if value_kind is not int and value_kind is not float and value_kind is not str:
            return _both(sequence, values)
    return sequence if kind is list else list(sequence)


def _both(sequence, values):
    return entries(sequence), values_of(values)


def text_keys(entry, dict=dict, type=type, issubclass=issubclass, str=str):
    """The keys of the entry's own storage that are text, as plain strs, for the note that names
    a key close to a missing one; nothing of the entry or of its keys runs. Keys that are no text
    in UTF-8 (a lone surrogate) name nothing."""
    if type(entry) is HeldEntry:
        entry = entry.storage
    out = []
    for key in dict.keys(entry):
        if issubclass(type(key), str):
            key = str.__str__(key)
            try:
                str.encode(key, "utf-8")
            except UnicodeEncodeError:
                continue
            out.append(key)
    return out
