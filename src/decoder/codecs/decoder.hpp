// The decode codecs: raw field patterns or bytes to native values. Pure C++, no interpreter.
// Each codec's C++ name is its Python name.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/bits.hpp"
#include "common/result.hpp"
#include "decoder/codecs/text_codecs.hpp"

namespace fieldpack::decoder {

// Signed integers. The sign bit is bit (bits - 1) mod 64 with bits - 1 in 32-bit arithmetic;
// each decoder treats bits above the field in its own way. Never fail.
std::int64_t decode_ones_complement(std::uint64_t value, std::uint32_t bits);
std::int64_t decode_twos_complement(std::uint64_t value, std::uint32_t bits);
std::int64_t decode_sign_magnitude(std::uint64_t value, std::uint32_t bits);

// Binary-coded decimal; value_error on an invalid digit, sign nibble or zone.
Result<std::int64_t> decode_unpacked_bcd(std::uint64_t value, std::uint32_t bits, bool is_signed);
Result<std::int64_t> decode_packed_bcd(std::uint64_t value, std::uint32_t bits, bool is_signed);

// IEEE 754 binary formats; bits above the format width are ignored. Never fail.
double decode_ieee754_f16(std::uint64_t value);
double decode_ieee754_f32(std::uint64_t value);
double decode_ieee754_f64(std::uint64_t value);
double decode_ieee754_f128(UInt128 value);

// Reserved formats: the NotImplementedError a decoder of the format named by `label`
// ("DEC f32") always gives.
Failure reserved_format(std::string_view label);

}  // namespace fieldpack::decoder
