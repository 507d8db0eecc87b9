import contextlib
import json

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
