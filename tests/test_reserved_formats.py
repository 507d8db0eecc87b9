"""Registered floating-point formats that convert their argument, then report not implemented."""


import pytest

import fieldpack
from helpers import raises_exactly

FORMATS = {
    "ieee754_1985_f32": "IEEE 754-1985 f32",
    "ieee754_1985_f64": "IEEE 754-1985 f64",
    "ieee754_1985_f80": "IEEE 754-1985 f80",
    "mil_std_1750a_f32": "MIL-STD-1750A f32",
    "mil_std_1750a_f48": "MIL-STD-1750A f48",
    "dec_f32": "DEC f32",
    "dec_f64": "DEC f64",
    "ibm_f32": "IBM f32",
    "ibm_f64": "IBM f64",
    "ti_f32": "TI f32",
    "ti_f40": "TI f40",
}


@pytest.mark.parametrize("name, label", FORMATS.items())
def test_decoder_reports_its_format(name, label):
    decode = getattr(fieldpack, f"decode_{name}")
    for value in (0, 2**64 - 1):
        with raises_exactly(NotImplementedError, f"{label} format not yet implemented"):
            decode(value)
    with raises_exactly(NotImplementedError, f"{label} format not yet implemented"):
        decode(_value=5)
    with pytest.raises(OverflowError):  # the conversion comes first
        decode(-1)
    with raises_exactly(TypeError, f"decode_{name}() got an unexpected keyword argument 'value'"):
        decode(value=0)


@pytest.mark.parametrize("name, label", FORMATS.items())
def test_encoder_reports_its_format(name, label):
    encode = getattr(fieldpack, f"encode_{name}")
    for value in (1.5, 7, -1e300):
        with raises_exactly(NotImplementedError, f"{label} encoding not yet implemented"):
            encode(value)
    with pytest.raises(TypeError, match="^argument '_value': "):
        encode("1.5")
