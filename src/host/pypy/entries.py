# Recipe items handed to C on PyPy.
#
# PyPy's C API asks a dict or tuple subclass for its length when the object first reaches C,
# and when that fails, leaves the object half-registered: a later use from C can crash the
# interpreter (a tuple holding it then hands C a null item). So recipe items reach C only
# through `entries`, which iterates without consulting __len__, hands every dict subclass over
# inside a HeldEntry, whose methods read the entry's own storage from Python code, when the walk
# reaches each key, as CPython's C API reads it, and every other object that is not a plain dict
# inside a HeldOther, which keeps only what the error about it names: its type's name.
#
# The build embeds this file in the extension module, which runs it once, on first need.


class HeldEntry:
    __slots__ = ("entry",)

    def __init__(self, entry):
        self.entry = entry

    def get(self, key, default):
        return dict.get(self.entry, key, default)

    def items(self):
        return list(dict.items(self.entry))


class HeldOther:
    __slots__ = ("type_name",)

    def __init__(self, item):
        try:
            name = type(item).__qualname__
        except Exception:
            name = None
        self.type_name = str.__str__(name) if isinstance(name, str) else None


def entries(sequence, dict=dict, list=list, type=type, isinstance=isinstance, held=HeldEntry,
            other=HeldOther):
    if type(sequence) is list:
        for item in sequence:
            if type(item) is not dict:
                break
        else:
            return sequence
    out = []
    for item in sequence:
        if type(item) is not dict:
            item = held(item) if isinstance(item, dict) else other(item)
        out.append(item)
    return out



def text_keys(entry, dict=dict, type=type, issubclass=issubclass, str=str):
    """The keys of the entry's own storage that are text, as plain strs, for the note that names
    a key close to a missing one; nothing of the entry or of its keys runs. Keys that are no text
    in UTF-8 (a lone surrogate) name nothing."""
    if type(entry) is HeldEntry:
        entry = entry.entry
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
