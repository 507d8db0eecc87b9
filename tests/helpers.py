import contextlib
import json
import sys

import pytest


@contextlib.contextmanager
def raises_exactly(exc_type, message):
    """Messages are interface: the whole of str(exception), its notes left aside."""
    with pytest.raises(exc_type) as caught:
        yield caught
    assert str(caught.value) == message


def field(name, bits, encoding="unsigned", byte_order="big", reverse_bits=False, **extra):
    entry = {"name": name, "encoding": encoding, "bits": bits, "byte_order": byte_order,
             "reverse_bits": reverse_bits}
    entry.update(extra)
    return entry


def as_read_from_json(recipe):
    """The recipe as json.load gives it: equal keys and strings, none of them interned."""
    copy = json.loads(json.dumps(recipe))
    assert copy == recipe
    return copy


def outcome(function, *args, **kwargs):
    """What a call gives, comparable between two ways of doing the same: the result's repr (so
    that NaNs, signed zeros and key order count), or the exception's type and message."""
    try:
        return "ok", repr(function(*args, **kwargs))
    except Exception as e:  # noqa: BLE001 - every exception is an outcome to compare
        return type(e), str(e)


def assert_documented_alike(public, name, doc, signature, members, private=()):
    """PyPy's face takes the compiled type's texts from _docs: the public type `public` and the
    compiled `fieldpack_layout._layout.<name>` must both carry them."""
    listed = {member for member in dir(public) if not member.startswith("_")}
    assert listed | {"__reduce__", *private} == set(members)
    assert public.__doc__ == doc
    for member, (_, text) in members.items():
        assert getattr(public, member).__doc__ == text, member
    if sys.implementation.name != "cpython":  # PyPy's compiled types carry no texts
        return
    from fieldpack_layout import _layout

    compiled = getattr(_layout, name)
    if sys.version_info >= (3, 10):  # 3.9 drops a heap type's signature from its doc
        assert compiled.__text_signature__ == signature
    for member, (expected, _) in members.items():
        text = getattr(getattr(compiled, member), "__text_signature__", None)
        # 3.13 gives a method whose doc has none the signature of its calling convention
        assert text == expected or (expected is None and text == "($self, /)"), member
