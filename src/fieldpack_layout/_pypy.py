"""Layout on PyPy: the same type as the compiled one, with its walks driven through cffi.

On PyPy every object that crosses into C code through the C API is first laid out for C, and
every int and str made there is converted back: a dict of 24 values made in C costs more than all
the rest of an unpack. So this face hands C nothing but raw memory: the core's C library
(``_fieldpack_core.so``, declared by ``_core_ffi``) decodes a packet into native slots, and the
code here, which PyPy's JIT compiles, makes the dict; packing converts the values here into slots
and the library encodes and places them.

Reading and checking a recipe, which runs once per layout, stays with the compiled face
(``_layout.Layout``): a layout here keeps one, and with it the same recipe reader, the same
messages and notes, ``recipe``, ``problems()``, the columns and files of archives, and the
picture. What the walks of this face raise is what that face raises: the failures the library
reports are raised here as ``raise_record`` raises them there, and values that are not plain are
converted by the compiled conversions themselves (``_layout._convert``), so they fail alike.
"""

import copyreg
import os
import sys

from fieldpack_layout import _docs, _layout
from fieldpack_layout._core_ffi import ffi

__all__ = ["Layout"]

_lib = ffi.dlopen(os.path.join(os.path.dirname(os.path.abspath(__file__)), "_fieldpack_core.so"))
_Compiled = _layout.Layout
_convert = _layout._convert
_from_buffer = ffi.from_buffer
_fp_unpack = _lib.fp_unpack
_fp_pack = _lib.fp_pack
_fp_pack_packet = _lib.fp_pack_packet
_unpack_bytes = ffi.unpack


def _new_bytes(size):
    """Zeroed room for a packet image of `size` bytes."""
    return ffi.new("char[]", size or 1)

try:
    from __pypy__ import strategy as _strategy

    # Dicts whose every key is an exact str, so that looking a name up runs no Python code.
    _PLAIN_KEYS = ("UnicodeDictStrategy", "JsonDictStrategy", "EmptyDictStrategy")
except ImportError:  # not PyPy: every key is checked
    def _strategy(values):
        for key in values:
            if type(key) is not str:
                return None
        return "plain"

    _PLAIN_KEYS = ("plain",)

_UNSIGNED, _SIGNED, _REAL, _TEXT, _REFUSED = range(5)
_ERRORS = (ValueError, KeyError, TypeError, OverflowError, NotImplementedError)
_NO_FIELD = ffi.cast("size_t", -1)
_U64 = (1 << 64) - 1
_I64 = 1 << 63
_ABSENT = object()
# A text slot holds the text's offset in the text room times 2^32, plus its size.
_TEXT_SHIFT = 32
# Columns by the element type the library decodes them into (fp_field_info.column): numpy's
# dtype, cffi's type for a list's block, the size in bytes. binary16 has no C type: as a list it
# is left to the compiled face.
_DTYPES = ("uint8", "uint16", "uint32", "uint64", "int8", "int16", "int32", "int64", "float16",
           "float32", "float64")
_C_TYPES = ("uint8_t", "uint16_t", "uint32_t", "uint64_t", "int8_t", "int16_t", "int32_t",
            "int64_t", "uint16_t", "float", "double")
_SIZES = (1, 2, 4, 8, 1, 2, 4, 8, 2, 4, 8)
_COLUMN_F16, _COLUMN_TEXT = 8, 11
# Packets a column call decodes at a time: copies and list blocks stay small.
_BLOCK = 65536
_TEXT_SIZE = (1 << 32) - 1


# ---------------------------------------------------------------------------------------------
# Raising as the compiled face raises


def _type_name(cls):
    """A type's qualified name as the compiled face reads it."""
    try:
        name = cls.__qualname__
        if isinstance(name, str):
            name.encode("utf-8")
            return str.__str__(name)
    except Exception:  # noqa: BLE001 - any failure gives the stand-in, as in C
        pass
    return "<failed to extract type name>"


def _add_note(error, note):
    """PEP 678: add_note where the exception has it, else its __notes__ list; a note that cannot
    be added is left out."""
    try:
        try:
            add = error.add_note
        except AttributeError:
            try:
                notes = error.__notes__
            except AttributeError:
                notes = []
                error.__notes__ = notes
            if isinstance(notes, list):
                notes.append(note)
        else:
            add(note)
    except Exception:  # noqa: BLE001 - a note that cannot be added is left out
        pass


def _wrap(inner):
    """The ValueError "{type}: {text}" for an inner exception, chained to it; exhausted memory
    and interrupts pass as they are."""
    if isinstance(inner, MemoryError) or not isinstance(inner, Exception):
        return inner
    try:
        text = str(inner)
        text.encode("utf-8")
    except Exception:  # noqa: BLE001 - as the compiled face words a str() that fails
        text = "<exception str() failed>"
    outer = ValueError(_type_name(type(inner)) + ": " + text)
    outer.__cause__ = inner
    return outer


class _Fields:
    """What a layout's notes say of its fields."""

    __slots__ = ("names", "encodings", "bits", "starts")

    def __init__(self, names, encodings, bits, starts):
        self.names, self.encodings, self.bits, self.starts = names, encodings, bits, starts

    def note(self, index, start_bit):
        bits = self.bits[index]
        return "field %d %r (%s, %d %s at bit %d)" % (
            index, self.names[index], self.encodings[index], bits,
            "bit" if bits == 1 else "bits", start_bit)


def _raise(fields, inner, index, start_bit, hint="", packet=""):
    error = _wrap(inner)
    if index is not None:
        _add_note(error, fields.note(index, start_bit))
    if hint:
        _add_note(error, hint)
    if packet:
        _add_note(error, packet)
    raise error


def _failure_error(failure):
    """The exception a failure record of the library stands for, its texts freed."""
    try:
        kind = failure.kind
        if kind < 0:
            return MemoryError(), ""
        message = ffi.unpack(failure.message, failure.message_size).decode("utf-8", "replace")
        hint = ffi.unpack(failure.hint, failure.hint_size).decode("utf-8", "replace")
        return _ERRORS[kind](message), hint
    finally:
        _lib.fp_failure_clear(failure)


def _raise_failure(fields, failure, packet=""):
    error, hint = _failure_error(failure)
    index = failure.index
    if index == _NO_FIELD:
        _raise(fields, error, None, 0, hint, packet)
    _raise(fields, error, int(index), int(failure.start_bit), hint, packet)


# ---------------------------------------------------------------------------------------------
# Arguments, bound with the compiled face's wording


def _bind(function, parameters, required, args, kwargs):
    """The arguments of `function`, one per parameter (_ABSENT when not given), or the TypeError
    the compiled face's binder raises."""
    positional = len(parameters) if "*" not in parameters else parameters.index("*")
    names = [p for p in parameters if p != "*"]
    if len(args) > positional:
        takes = str(positional) if required == positional else "from %d to %d" % (required, positional)
        raise TypeError("%s() takes %s positional arguments but %d %s given" % (
            function, takes, len(args), "was" if len(args) == 1 else "were"))
    bound = list(args) + [_ABSENT] * (len(names) - len(args))
    given = [True] * len(args) + [False] * (len(names) - len(args))
    for keyword, value in kwargs.items():
        if keyword not in names:
            raise TypeError("%s() got an unexpected keyword argument '%s'" % (function, keyword))
        at = names.index(keyword)
        if given[at]:
            raise TypeError("%s() got multiple values for argument '%s'" % (function, keyword))
        bound[at], given[at] = value, True
    missing = [names[i] for i in range(required) if not given[i]]
    if missing:
        listed = ["'%s'" % name for name in missing]
        if len(listed) > 1:
            listed[-1] = "and " + listed[-1]
        raise TypeError("%s() missing %d required positional argument%s: %s" % (
            function, len(missing), "" if len(missing) == 1 else "s",
            (", " if len(listed) > 2 else " ").join(listed)))
    return bound


def _size(value):
    """An unsigned size (offset_bits), converted as the compiled face converts it."""
    if type(value) is int and 0 <= value <= 0xFFFFFFFF:
        return value
    value = _convert(_UNSIGNED, value)
    if value > 0xFFFFFFFF:
        raise OverflowError("out of range integral type conversion attempted")
    return value


def _read_view(obj):
    """A C-contiguous buffer's bytes, read in place."""
    if type(obj) is bytes:
        return ffi.from_buffer(obj)
    try:
        view = memoryview(obj)
    except TypeError:
        raise TypeError("'%s' does not have the buffer interface" % type(obj).__name__) from None
    if not view.c_contiguous:
        _refuse_buffer(lambda: _BUFFER_CHECK.unpack(obj))
    return ffi.from_buffer(view)


def _write_view(obj, function):
    try:
        view = memoryview(obj)
        if view.readonly:
            raise TypeError
    except TypeError:
        raise TypeError("%s() argument 'buffer' must be read-write bytes-like object, not %s" % (
            function, "None" if obj is None else _type_name(type(obj)))) from None
    if not view.c_contiguous:
        _refuse_buffer(lambda: _BUFFER_CHECK.pack_into(obj, {}))
    return ffi.from_buffer(view, require_writable=True)


# An empty compiled layout: its walks ask for a buffer as the compiled face does, so that a buffer
# it refuses is refused here with the exporter's own exception (numpy's ValueError, for one).
_BUFFER_CHECK = _Compiled([])


def _refuse_buffer(ask):
    ask()
    raise BufferError("the buffer is not C-contiguous")


# ---------------------------------------------------------------------------------------------
# The type


def _documented(cls, text, signature, members):
    """Gives the type the texts and signatures of the compiled one."""
    import inspect

    def signature_of(text_signature):
        namespace = {}
        exec("def f%s: pass" % text_signature.replace("$self", "self"), namespace)
        return inspect.signature(namespace["f"])

    cls.__doc__ = text
    if signature:
        cls.__signature__ = signature_of(signature)
    for name, (member_signature, doc) in members.items():
        member = cls.__dict__.get(name)
        if isinstance(member, property):
            setattr(cls, name, property(member.fget, doc=doc))
        elif member is not None:
            member.__doc__ = doc
            if member_signature:
                member.__signature__ = signature_of(member_signature)
    return cls


class Layout:
    __slots__ = ("_compiled", "_plan", "_count", "_fields", "_keys", "_decoded", "_packed",
                 "_starts", "_size", "_sizing", "_text_room", "_make", "_fill", "_pool",
                 "_strict", "_defaults", "_text_fields", "_own_pack", "_own_unpack",
                 "_column_types", "__weakref__")

    def __new__(cls, *args, **kwargs):
        compiled = _Compiled(*args, **kwargs)
        self = object.__new__(cls)
        object.__setattr__(self, "_compiled", compiled)
        self._build(compiled)
        return self

    def _build(self, compiled):
        set_ = object.__setattr__
        specs = compiled._specs()
        count = len(specs)
        c_specs = ffi.new("fp_field_spec[]", max(count, 1))
        keep = []
        for i, (name, encoding, row, bits, little, reverse, has_offset, offset) in enumerate(specs):
            name_buffer, encoding_buffer = ffi.new("char[]", name), ffi.new("char[]", encoding)
            keep.append((name_buffer, encoding_buffer))
            spec = c_specs[i]
            spec.name, spec.name_size = name_buffer, len(name)
            spec.encoding, spec.encoding_size = encoding_buffer, len(encoding)
            spec.encoding_row, spec.bits, spec.little = row, bits, little
            spec.reverse_bits, spec.has_offset, spec.offset_bits = reverse, has_offset, offset
        plan = _lib.fp_plan_new(c_specs, count, compiled.packing == "bits")
        if plan == ffi.NULL:
            raise MemoryError()
        plan = ffi.gc(plan, _lib.fp_plan_free)
        info = ffi.new("fp_field_info[]", max(count, 1))
        _lib.fp_plan_fields(plan, info)
        keys = compiled.names
        encodings = tuple(spec[1].decode("utf-8") for spec in specs)
        bits = tuple(spec[3] for spec in specs)
        starts = tuple(int(info[i].start_bit) for i in range(count))
        set_(self, "_plan", plan)
        set_(self, "_count", count)
        set_(self, "_keys", keys)
        set_(self, "_fields", _Fields(keys, encodings, bits, starts))
        set_(self, "_decoded", tuple(info[i].decoded for i in range(count)))
        set_(self, "_packed", tuple(info[i].packed for i in range(count)))
        set_(self, "_starts", starts)
        size = ffi.new("uint64_t*")
        failure = ffi.new("fp_failure*")
        if _lib.fp_plan_size(plan, size, failure):
            set_(self, "_size", int(size[0]))
            set_(self, "_sizing", None)
        else:
            set_(self, "_size", None)
            set_(self, "_sizing", _failure_error(failure) + (int(failure.index),
                                                              int(failure.start_bit)))
        set_(self, "_text_room", int(_lib.fp_plan_text_room(plan)))
        set_(self, "_make", _dict_maker(keys, self._decoded, bits))
        set_(self, "_fill", _filler(keys, self._packed, bits))
        set_(self, "_text_fields", _TEXT in self._packed)
        # The column types when the library decodes every column: numeric fields of distinct
        # names (a name's column is its last field's); else None.
        column_types = tuple(int(info[i].column) for i in range(count))
        set_(self, "_column_types", column_types if _COLUMN_TEXT not in column_types and
             len(set(keys)) == count else None)
        set_(self, "_strict", compiled.strict)
        # The pool keeps a first item that is never taken, so that it never becomes empty (an
        # empty list changes how PyPy stores it, and back, on every call).
        set_(self, "_pool", [None, self._new_buffers()])
        # pack's own way for plain values, when there is a size to pack to and nothing strict.
        set_(self, "_own_pack", _own_pack(self) if self._size is not None and
             not compiled.strict else None)
        set_(self, "_own_unpack", _own_unpack(self))
        set_(self, "_defaults", compiled.defaults or None)

    # -- what a layout is ----------------------------------------------------------------------

    def __setattr__(self, name, value):
        raise AttributeError("Layout objects are immutable: cannot set or delete '%s'" % name)

    def __delattr__(self, name):
        raise AttributeError("Layout objects are immutable: cannot set or delete '%s'" % name)

    def __init_subclass__(cls, **kwargs):
        raise TypeError("type 'fieldpack_layout.Layout' is not an acceptable base type")

    def __repr__(self):
        return repr(self._compiled)

    def __reduce__(self):
        made_by, args = self._compiled.__reduce__()[:2]
        if made_by is _Compiled:
            return (Layout, args)
        # copyreg.__newobj_ex__(type, recipe args, options)
        return (copyreg.__newobj_ex__, (Layout,) + tuple(args[1:]))

    @property
    def size(self):
        return self._size

    @property
    def names(self):
        return self._keys

    @property
    def recipe(self):
        return self._compiled.recipe

    @property
    def strict(self):
        return self._strict

    @property
    def defaults(self):
        return self._compiled.defaults

    @property
    def packing(self):
        return self._compiled.packing

    def problems(self):
        return self._compiled.problems()

    def figure(self, *args, **kwargs):
        from fieldpack_layout import _figure

        (values,) = _bind("Layout.figure", ("values",), 0, args, kwargs)
        return _figure.figure(self, None if values is _ABSENT else values)

    def _repr_svg_(self):
        from fieldpack_layout import _figure

        return _figure.figure(self, None)

    def unpack_columns(self, *args, **kwargs):
        buffer, stride, numpy = _bind("Layout.unpack_columns", ("buffer", "stride", "*", "numpy"),
                                      1, args, kwargs)
        size = len(_read_view(buffer))
        stride = self._stride("Layout.unpack_columns", stride)
        if size % stride:
            raise ValueError("Layout.unpack_columns() requires a buffer of a multiple of %d bytes, "
                             "not %d" % (stride, size))
        if numpy is _ABSENT:
            numpy = False
        columns = None
        if type(numpy) is bool:
            columns = self._columns(buffer, size // stride, stride, numpy)
        if columns is None:
            # What the library does not decode, and every failure, as the compiled face has it
            # (the stride given as the int it came to, so that no hook of it runs twice).
            return self._compiled.unpack_columns(buffer, stride, numpy=numpy)
        return columns

    def _columns(self, buffer, count, stride, numpy):
        """The columns of numeric fields of distinct names, decoded by the library a block of
        packets at a time from a copy (nothing of the caller's buffer is read while it could
        change); None when a field is text, a binary16 field would become a list, or a packet
        fails."""
        types = self._column_types
        if types is None or count == 0 or (not numpy and _COLUMN_F16 in types):
            return None
        if numpy:
            import numpy as np

            out = [np.empty(count, _DTYPES[kind]) for kind in types]
            targets = [_array_memory(array, count * _SIZES[kind]) for array, kind in
                       zip(out, types)]
        else:
            out = [[] for _ in types]
            scratch = [ffi.new(_C_TYPES[kind] + "[]", min(count, _BLOCK)) for kind in types]
        whole = _from_buffer(buffer) if type(buffer) is bytes else None
        view = memoryview(buffer).cast("B") if whole is None else None
        decode, sizes = _lib.fp_decode_column, [_SIZES[kind] for kind in types]
        plan, fields = self._plan, range(self._count)
        for first in range(0, count, _BLOCK):
            n = min(_BLOCK, count - first)
            if whole is not None:
                packets = whole + first * stride
            else:
                block = view[first * stride:(first + n) * stride].tobytes()
                packets = _from_buffer(block)
            for i in fields:
                if numpy:
                    target = targets[i] + first * sizes[i]
                else:
                    target = scratch[i]
                if decode(plan, i, packets, stride, n, target) != n:
                    return None
                if not numpy:
                    out[i] += _unpack_bytes(target, n)
        return dict(zip(self._keys, out))

    def unpack_file(self, *args, **kwargs):
        return self._compiled.unpack_file(*args, **kwargs)

    def _specs(self):
        return self._compiled._specs()

    # -- walks ---------------------------------------------------------------------------------

    def _buffers(self):
        """Slots, text room and a failure record for one walk: taken from the layout's pool and
        given back after, so that threads and calls made from inside a walk (a finalizer's)
        each have their own."""
        return _take(self._pool, self._new_buffers)

    def _new_buffers(self):
        count = max(self._count, 1)
        slots = ffi.new("uint64_t[]", count)
        return (slots, ffi.cast("int64_t*", slots), ffi.cast("double*", slots),
                ffi.new("char[]", max(self._text_room, 1)), ffi.new("fp_failure*"),
                ffi.new("char*[]", count), ffi.new("size_t[]", count),
                _new_bytes(self._size or 0))

    def unpack(self, *args, **kwargs):
        return self._own_unpack(*args, **kwargs)

    def _unpack_general(self, args, kwargs):
        if kwargs or len(args) != 1:
            buffer, offset_bits = _bind("Layout.unpack", ("buffer", "offset_bits"), 1, args,
                                        kwargs)
        else:
            buffer, offset_bits = args[0], _ABSENT
        view = _read_view(buffer)
        offset_bits = 0 if offset_bits is _ABSENT else _size(offset_bits)
        return self._unpack(view, len(view), offset_bits, -1)

    def _unpack(self, pointer, size, offset_bits, packet):
        """The dict of one packet; a failure raised with the note of packet `packet` (of
        iter_unpack) when it is not -1."""
        pool = self._pool
        buffers = _take(pool, self._new_buffers)
        slots, signed, real, text, failure = buffers[:5]
        done = _fp_unpack(self._plan, pointer, size, offset_bits, slots, text, failure)
        if done != self._count:
            pool.append(buffers)
            note = ("packet %d of iter_unpack, at byte %d" % (packet, packet * size)
                    if packet >= 0 else "")
            _raise_failure(self._fields, failure, note)
        result = self._make(slots, signed, real, text, 0)
        pool.append(buffers)
        return result

    def iter_unpack(self, *args, **kwargs):
        buffer, stride = _bind("Layout.iter_unpack", ("buffer", "stride"), 1, args, kwargs)
        size = len(_read_view(buffer))
        stride = self._stride("Layout.iter_unpack", stride)
        if size % stride:
            raise ValueError("Layout.iter_unpack() requires a buffer of a multiple of %d bytes, "
                             "not %d" % (stride, size))
        iterator = object.__new__(LayoutIterator)
        iterator._start(self, buffer, stride, size // stride)
        return iterator

    def _stride(self, function, given):
        if given is not _ABSENT and given is not None:
            index = _index(given)
            if index >= 1:
                return index
            raise ValueError("%s() stride must be at least 1, not %d" % (function, index))
        if self._sizing is not None:
            raise ValueError("%s() needs a stride: the layout cannot be packed, so it has no size"
                             % function)
        if self._size == 0:
            raise ValueError("%s() needs a stride: the layout's packets are 0 bytes long"
                             % function)
        return self._size

    def pack(self, *args, **kwargs):
        own = self._own_pack
        return own(*args, **kwargs) if own is not None else self._pack_general(args, kwargs)

    def _pack_general(self, args, kwargs):
        if not kwargs and len(args) == 1:
            values = args[0]
        else:
            (values,) = _bind("Layout.pack", ("values",), 1, args, kwargs)
        if not isinstance(values, dict):
            raise TypeError("Layout.pack() argument 'values' must be dict, not %s" % (
                "None" if values is None else _type_name(type(values))))
        if self._sizing is not None:
            self._raise_sizing()
        size = self._size
        image = _new_bytes(size)
        self._pack(values, image, size, 0)
        return _unpack_bytes(image, size)

    def pack_into(self, *args, **kwargs):
        buffer, values, offset_bits = _bind("Layout.pack_into", ("buffer", "values", "offset_bits"),
                                            2, args, kwargs)
        view = _write_view(buffer, "Layout.pack_into")
        if not isinstance(values, dict):
            raise TypeError("Layout.pack_into() argument 'values' must be dict, not %s" % (
                "None" if values is None else _type_name(type(values))))
        offset_bits = 0 if offset_bits is _ABSENT else _size(offset_bits)
        if self._sizing is not None:
            self._raise_sizing()
        failure = ffi.new("fp_failure*")
        if not _lib.fp_positions_fit(self._plan, offset_bits, failure):
            _raise_failure(self._fields, failure)
        first_byte = offset_bits // 8
        image_size = int(_lib.fp_plan_extent(self._plan, offset_bits % 8))
        if first_byte + image_size > len(view):
            raise ValueError("Layout.pack_into() requires a buffer of at least %d bytes at "
                             "offset_bits %d, not %d" % (first_byte + image_size, offset_bits,
                                                         len(view)))
        # Every value is converted and encoded into a private image first, so that a failure
        # leaves the buffer as it was; then each field's window goes over, in recipe order. The
        # conversions ran Python code and PyPy lets a buffer be resized meanwhile: it is looked
        # at afresh, and nothing is written if it no longer holds the windows.
        image = _new_bytes(image_size)
        self._pack(values, image, image_size, offset_bits)
        view = _write_view(buffer, "Layout.pack_into")
        if first_byte + image_size > len(view):
            raise ValueError("Layout.pack_into() lost its buffer: it was resized while the "
                             "values were converted")
        _lib.fp_copy_fields(self._plan, image, image_size, offset_bits, view + first_byte)

    def _raise_sizing(self):
        error, hint, index, start_bit = self._sizing
        _raise(self._fields, error, None if index == int(_NO_FIELD) else index, start_bit, hint)

    def _pack(self, values, target, image_size, offset_bits):
        """Converts the value of every field, in recipe order, and has the library encode and
        place them. Plain values (ints, floats, strs of the field's kind) are converted here
        and handed over together; before anything that can run Python code (a value's hook, a
        lookup that may meet a key's __eq__) the fields so far are handed over, so that no hook
        runs past a field that fails."""
        count = self._count
        buffers = self._buffers()
        slots, signed, real, text_room, failure, texts, text_sizes = buffers[:7]
        packing = ffi.NULL
        if self._strict:
            packing = _lib.fp_packing_new(self._plan, 1)
            if packing == ffi.NULL:
                raise MemoryError()
        keep = [None] * count  # the UTF-8 of text values, alive until they are packed
        packed = 0
        try:
            plain_keys = type(values) is dict and _strategy(values) in _PLAIN_KEYS
            # Plain values under plain keys go to their slots in one straight run; the first
            # that is not, and all after it, take the general way below.
            first = (self._fill(values, slots, signed, real, texts, text_sizes, keep)
                     if plain_keys else 0)
            kinds = self._packed
            defaults = self._defaults
            for i in range(first, count):
                key = self._keys[i]
                if not plain_keys:
                    packed = self._flush(packing, packed, i, slots, texts, text_sizes, target,
                                         image_size, offset_bits, failure)
                value = dict.get(values, key, _ABSENT)
                if value is _ABSENT and defaults is not None:
                    value = defaults.get(key, _ABSENT)
                if value is _ABSENT:
                    packed = self._flush(packing, packed, i, slots, texts, text_sizes, target,
                                         image_size, offset_bits, failure)
                    _raise(self._fields, KeyError("Missing value for parameter: '%s'" % key), i,
                           offset_bits + self._starts[i])
                kind = kinds[i]
                cls = type(value)
                if kind == _UNSIGNED and cls is int and 0 <= value <= _U64:
                    slots[i] = value
                elif kind == _SIGNED and cls is int and -_I64 <= value < _I64:
                    signed[i] = value
                elif kind == _REAL and cls is float:
                    real[i] = value
                elif kind == _TEXT and cls is str and (utf8 := _utf8(value)) is not None:
                    keep[i] = _text_slot(i, utf8, texts, text_sizes)
                elif kind == _REFUSED:
                    # Refused before its value is looked at: the library says so.
                    packed = self._flush(packing, packed, i + 1, slots, texts, text_sizes,
                                         target, image_size, offset_bits, failure)
                else:
                    packed = self._flush(packing, packed, i, slots, texts, text_sizes, target,
                                         image_size, offset_bits, failure)
                    try:
                        value = _converted(kind, value)
                    except BaseException as error:  # noqa: BLE001 - raised as the walks raise
                        _raise(self._fields, error, i, offset_bits + self._starts[i])
                    if kind == _UNSIGNED:
                        slots[i] = value
                    elif kind == _SIGNED:
                        signed[i] = value
                    elif kind == _REAL:
                        real[i] = value
                    else:
                        keep[i] = _text_slot(i, value.encode("utf-8"), texts, text_sizes)
            self._flush(packing, packed, count, slots, texts, text_sizes, target, image_size,
                        offset_bits, failure)
            if packing != ffi.NULL and not _lib.fp_pack_finish(self._plan, packing, target,
                                                                image_size, offset_bits, failure):
                _raise_failure(self._fields, failure)
        finally:
            if packing != ffi.NULL:
                _lib.fp_packing_free(packing)
            self._pool.append(buffers)

    def _flush(self, packing, packed, upto, slots, texts, text_sizes, target, image_size,
               offset_bits, failure):
        """Has the library pack fields [packed, upto); the fields packed from then on."""
        if upto > packed:
            done = _lib.fp_pack(self._plan, packing, packed, upto, slots, texts, text_sizes,
                                target, image_size, offset_bits, failure)
            if done != upto:
                _raise_failure(self._fields, failure)
        return upto


def _array_memory(array, size):
    """The memory of what numpy.empty gave, which the library writes `size` bytes into."""
    view = memoryview(array)
    if view.readonly or not view.c_contiguous or view.nbytes < size:
        raise BufferError("numpy.empty gave no array of the size asked for")
    return _from_buffer(view, require_writable=True)


def _utf8(text):
    """A str's UTF-8, or None when it holds a lone surrogate (the compiled conversion then says
    what is wrong)."""
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError:
        return None


def _text_slot(index, utf8, texts, text_sizes):
    """Points field `index`'s text slot at the UTF-8; what keeps it alive until it is packed."""
    pointer = ffi.from_buffer(utf8)
    texts[index] = ffi.cast("char*", pointer)
    text_sizes[index] = len(utf8)
    return (utf8, pointer)


def _index(value):
    import operator

    return operator.index(value)


def _converted(kind, value):
    """The value as the compiled conversion of `kind` reads it. PyPy asks a dict, list or tuple
    subclass for its length when it first reaches C, and fails hard when that fails: such a value
    is read here, as that conversion would read it, and only what that gives goes over."""
    if isinstance(value, (dict, list, tuple)) and type(value) not in (dict, list, tuple):
        if kind == _TEXT:
            raise TypeError("'%s' object cannot be cast as 'str'" % _type_name(type(value)))
        if kind == _REAL:
            import math

            value = math.ldexp(value, 0)
        else:
            import operator

            value = operator.index(value)
    return _convert(kind, value)


def _generated(name, parameters, body, free):
    """A function made from source for one layout: `free` maps the names of the layout's own
    values in its body to them, which it reads as closure cells; every other name is this
    module's or a builtin."""
    names = sorted(free)
    source = "def outer(%s):\n    def %s(%s):\n%s\n    return %s\n" % (
        ", ".join(names), name, parameters,
        "\n".join("        " + line for line in body), name)
    namespace = {}
    exec(source, namespace)
    made = namespace["outer"](*[free[n] for n in names])
    # The module's own globals: PyPy's JIT takes a module's globals and the builtins as
    # constants, where a closure cell's content is read at each call.
    return type(made)(made.__code__, globals(), made.__name__, made.__defaults__,
                      made.__closure__)


def _take(pool, new_buffers):
    """Buffers of the layout's pool, or new ones when it has none to spare. Threads share the
    pool, and one may be switched out between the check and the pop: another may then take the
    last buffers, or the item kept so that the list never empties."""
    try:
        buffers = pool.pop() if len(pool) > 1 else None
    except IndexError:
        buffers = None
    return buffers if buffers is not None else new_buffers()


def _plain_keys(values):
    """Whether values is a dict whose every key is an exact str: looking a name up in it runs
    no Python code."""
    return type(values) is dict and _strategy(values) in _PLAIN_KEYS


def _own_pack(layout):
    """The layout's own pack method: its common case first, everything else the general way.
    `layout.pack` gives it (see _OwnMethod), so that a program that packs with several layouts
    has each compiled by the JIT on its own: a trace that grows too long makes the JIT stop
    inlining the biggest function in it, and were that the method all layouts share, every
    layout's pack would then run the one trace compiled for the first, through guards that fail."""
    free = {"pool": layout._pool, "new_buffers": layout._new_buffers, "fill": layout._fill,
            "count": layout._count, "text_fields": layout._text_fields, "plan": layout._plan,
            "size": layout._size, "general": layout._pack_general}
    # The common case: plain values under plain keys, packed by one call of the library into
    # room kept for it; a value that is not plain, or fails, goes the general way, which says
    # what failed.
    body = [
        "if not kwargs and len(args) == 1:",
        "    values = args[0]",
        "    if _plain_keys(values):",
        "        buffers = _take(pool, new_buffers)",
        "        keep = [None] * count if text_fields else None",
        "        if fill(values, buffers[0], buffers[1], buffers[2], buffers[5], buffers[6],",
        "                keep) == count:",
        "            image = buffers[7]",
        "            if _fp_pack_packet(plan, buffers[0], buffers[5], buffers[6], image, size,",
        "                               buffers[4]) == count:",
        "                result = _unpack_bytes(image, size)",
        "                pool.append(buffers)",
        "                return result",
        "        pool.append(buffers)",
        "return general(args, kwargs)",
    ]
    return _as_method(_generated("pack", "*args, **kwargs", body, free), "pack")


def _own_unpack(layout):
    """The layout's own unpack method, made for the reason _own_pack gives: a packet given as
    bytes and decoded without a failure here, everything else the general way (which says what
    failed)."""
    free = {"pool": layout._pool, "new_buffers": layout._new_buffers,
            "plan": layout._plan, "count": layout._count,
            "make": layout._make, "general": layout._unpack_general}
    body = [
        "if not kwargs and len(args) == 1:",
        "    buffer = args[0]",
        "    if type(buffer) is bytes:",
        "        buffers = _take(pool, new_buffers)",
        "        slots = buffers[0]",
        "        if _fp_unpack(plan, _from_buffer(buffer), len(buffer), 0, slots, buffers[3],",
        "                     buffers[4]) == count:",
        "            result = make(slots, buffers[1], buffers[2], buffers[3], 0)",
        "            pool.append(buffers)",
        "            return result",
        "        pool.append(buffers)",
        "return general(args, kwargs)",
    ]
    return _as_method(_generated("unpack", "*args, **kwargs", body, free), "unpack")


def _as_method(function, name):
    """A layout's own method, named and documented as the type's."""
    function.__qualname__ = "Layout." + name
    function.__module__ = "fieldpack_layout"
    function.__doc__ = _docs.MEMBERS[name][1]
    function.__signature__ = _OwnMethod.bound_signatures[name]
    return function


class _OwnMethod:
    """Layout.pack and Layout.unpack: the function on the type, and on a layout its own
    method, when it has one."""

    bound_signatures = {}

    def __init__(self, function, slot):
        import inspect

        self.function = function
        self.slot = slot
        _OwnMethod.bound_signatures[function.__name__] = inspect.signature(
            function.__get__(object()))

    def __get__(self, layout, owner=None):
        if layout is None:
            return self.function
        own = self.slot.__get__(layout)
        return own if own is not None else self.function.__get__(layout, owner)


def _dict_maker(keys, kinds, widths):
    """A function that makes unpack's dict from the slots from index `b` on: one dict display,
    which the JIT compiles to the stores it needs. Unsigned values narrower than 64 bits are read
    through the signed view of the slots: they fit it, and a read that cannot need a long
    integer is cheaper."""
    parts = []
    free = {}
    for i, (key, kind, bits) in enumerate(zip(keys, kinds, widths)):
        free["k%d" % i] = key
        if kind == _UNSIGNED and bits >= 64:
            parts.append("k%d: u[b + %d]" % (i, i))
        elif kind in (_UNSIGNED, _SIGNED):
            parts.append("k%d: s[b + %d]" % (i, i))
        elif kind == _REAL:
            parts.append("k%d: d[b + %d]" % (i, i))
        else:
            parts.append("k%d: _text_of(t, u[b + %d])" % (i, i))
    return _generated("make", "u, s, d, t, b", ["return {%s}" % ", ".join(parts)], free)


def _filler(keys, kinds, widths):
    """A function that puts the values of the fields, looked up in a dict whose keys are all
    exact strs, into their slots, as long as each is a plain value of its field's kind (an int
    or bool, a float, a str), which converts without running Python code: one straight run of
    code, which the JIT compiles whole. The slots check the range of what they are given; a
    value out of it, like a name the values lack, is left to the general way. It returns the
    index of the first field it left alone, or the field count."""
    free = {}
    body = ["i = 0", "try:"]
    for i, (key, kind, bits) in enumerate(zip(keys, kinds, widths)):
        free["k%d" % i] = key
        if i:
            body.append("    i = %d" % i)
        body.append("    v = values[k%d]" % i)
        if kind == _UNSIGNED:
            # Negative values would pass the signed slot; they fail the general way.
            body.append("    if (type(v) is not int and type(v) is not bool) or v < 0: return %d"
                        % i)
            body.append("    %s[%d] = v" % ("s" if bits < 64 else "u", i))
        elif kind == _SIGNED:
            body.append("    if type(v) is not int and type(v) is not bool: return %d" % i)
            body.append("    s[%d] = v" % i)
        elif kind == _REAL:
            body.append("    if type(v) is not float: return %d" % i)
            body.append("    d[%d] = v" % i)
        elif kind == _TEXT:
            body.append("    if type(v) is not str: return %d" % i)
            body.append("    b = _utf8(v)")
            body.append("    if b is None: return %d" % i)
            body.append("    keep[%d] = _text_slot(%d, b, texts, sizes)" % (i, i))
        else:
            body.append("    return %d" % i)
            break
    else:
        body.append("    return %d" % len(keys))
    body += ["except (KeyError, OverflowError):", "    return i"]
    return _generated("fill", "values, u, s, d, texts, sizes, keep", body, free)


def _text_of(room, slot):
    return ffi.unpack(room + (slot >> _TEXT_SHIFT), slot & _TEXT_SIZE).decode("utf-8")


# Packets a bytes object's iterator decodes at a time.
_CHUNK_PACKETS = 64


class LayoutIterator:
    """The packets of a buffer, unpacked one by one."""

    __slots__ = ("_layout", "_source", "_view", "_stride", "_next", "_count", "_rows",
                 "_ready", "_failure")

    def __new__(cls, *args, **kwargs):
        raise TypeError("cannot create 'fieldpack_layout.LayoutIterator' instances")

    def _start(self, layout, source, stride, count):
        self._layout, self._source, self._stride = layout, source, stride
        self._next, self._count = 0, count
        # A bytes object never changes: one view serves every packet, and its packets are
        # decoded a chunk at a time. PyPy lets any other buffer be resized while a view of it is
        # held, and anything may write into it between packets, so there every packet is read
        # when it is asked for, from a view of its own.
        self._view = self._rows = None
        self._ready = 0  # packets [_next, _ready) wait in _rows
        self._failure = None
        if type(source) is bytes and count:
            self._view = _from_buffer(source)
            fields = max(layout._count, 1)
            chunk = min(count, _CHUNK_PACKETS)
            slots = ffi.new("uint64_t[]", chunk * fields)
            self._rows = (slots, ffi.cast("int64_t*", slots), ffi.cast("double*", slots),
                          ffi.new("char[]", max(chunk * layout._text_room, 1)),
                          ffi.new("fp_failure*"))

    def __iter__(self):
        return self

    def __next__(self):
        packet = self._next
        if self._source is None or packet >= self._count:
            raise StopIteration
        if packet < self._ready:
            self._next = packet + 1
            rows = self._rows
            if packet + 1 == self._count:
                self._source = self._view = self._rows = None
            layout = self._layout
            base = (packet % _CHUNK_PACKETS) * layout._count
            return layout._make(rows[0], rows[1], rows[2], rows[3], base)
        if self._rows is not None:
            return self._decode_chunk(packet)
        return self._one(packet)

    def _decode_chunk(self, packet):
        if self._failure is not None:  # the packet that failed, asked for at last
            self._next = packet + 1
            failure, self._failure = self._failure, None
            self._source = self._view = self._rows = None
            _raise(*failure)
        layout, stride, rows = self._layout, self._stride, self._rows
        n = min(_CHUNK_PACKETS, self._count - packet)
        done = _lib.fp_unpack_many(layout._plan, self._view + packet * stride, stride, n,
                                   rows[0], rows[3], rows[4])
        if done < n:
            error, hint = _failure_error(rows[4])
            failed = packet + done
            index = rows[4].index
            self._failure = (layout._fields, error,
                             None if index == _NO_FIELD else int(index),
                             int(rows[4].start_bit), hint,
                             "packet %d of iter_unpack, at byte %d" % (failed, failed * stride))
        self._ready = packet + done
        return self.__next__()

    def _one(self, packet):
        self._next = packet + 1
        source, stride = self._source, self._stride
        if packet + 1 == self._count:
            self._source = None  # the buffer is free again once the last packet is out
        view = _read_view(source)
        # Packets the buffer no longer holds are not there to iterate over.
        if (packet + 1) * stride > len(view):
            self._next = self._count
            self._source = None
            raise StopIteration
        return self._layout._unpack(view + packet * stride, stride, 0, packet)

    def __length_hint__(self):
        return self._count - self._next if self._source is not None else 0


Layout.__module__ = LayoutIterator.__module__ = "fieldpack_layout"
_documented(Layout, _docs.LAYOUT, _docs.LAYOUT_SIGNATURE, _docs.MEMBERS)
_documented(LayoutIterator, _docs.ITERATOR, None, _docs.ITERATOR_MEMBERS)
for _name in ("pack", "unpack"):
    type.__setattr__(Layout, _name, _OwnMethod(Layout.__dict__[_name],
                                               Layout.__dict__["_own_" + _name]))
del _name
