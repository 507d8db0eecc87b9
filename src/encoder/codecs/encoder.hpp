// The encode codecs: native values to raw field patterns or bytes. Pure C++, no interpreter.
// Each codec's C++ name is its Python name.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/bits.hpp"
#include "common/result.hpp"
#include "encoder/codecs/text_codecs.hpp"

namespace fieldpack::encoder {

// Signed integers: the field pattern in the low `bits` bits, or value_error for a width or value
// the representation cannot hold.
Result<std::uint64_t> encode_ones_complement(std::int64_t value, std::uint32_t bits);
Result<std::uint64_t> encode_twos_complement(std::int64_t value, std::uint32_t bits);
Result<std::uint64_t> encode_sign_magnitude(std::int64_t value, std::uint32_t bits);

// Binary-coded decimal: the field pattern, or value_error.
Result<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::uint32_t bits, bool is_signed);
Result<std::uint64_t> encode_packed_bcd(std::int64_t value, std::uint32_t bits, bool is_signed);

// IEEE 754: the format's bit pattern. f16 rounds the single to half. Never fail.
std::uint64_t encode_ieee754_f16(float value);
std::uint64_t encode_ieee754_f32(float value);
std::uint64_t encode_ieee754_f64(double value);

// Reserved formats and f128: the NotImplementedError an encoder of the format named by `label`
// ("DEC f32") always gives.
Failure reserved_encoding(std::string_view label);

}  // namespace fieldpack::encoder

namespace fieldpack::encoder {

// A binary64 rounded to the nearest binary32 (ties to even, too large a magnitude to an infinity
// of the same sign); a NaN keeps its sign and the top of its payload and comes out quiet, on
// every host, whatever its floating-point unit does with NaNs.
float round_to_single(double value);

}  // namespace fieldpack::encoder
