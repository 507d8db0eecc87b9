// IEEE 754 binary decoders: half, single, double and quadruple patterns to a double.
// No interpreter here. NaNs are widened in integer bits, never by the floating-point unit: a
// unit running in default-NaN mode (common on 32-bit ARM) would replace sign and payload.
#include <bit>
#include <cstdint>

#include "decoder/codecs/decoder.hpp"

namespace fieldpack::decoder {
namespace {

constexpr std::uint64_t kDoubleQuietNan = 0x7FF8000000000000ULL;

// A binary32 pattern widened to binary64 exactly. A NaN keeps its sign and its payload at the
// top of the wider fraction, and comes out quiet.
double widen_single(std::uint32_t single) {
  if ((single & 0x7F800000u) == 0x7F800000u && (single & 0x007FFFFFu) != 0) {
    const std::uint64_t sign = std::uint64_t{single >> 31} << 63;
    const std::uint64_t payload = std::uint64_t{single & 0x007FFFFFu} << 29;
    return std::bit_cast<double>(sign | kDoubleQuietNan | payload);
  }
  return static_cast<double>(std::bit_cast<float>(single));
}

// A binary16 pattern widened to the binary32 pattern of the same value.
constexpr std::uint32_t half_to_single(std::uint32_t half) {
  const std::uint32_t sign = (half & 0x8000u) << 16;
  const std::uint32_t exponent = (half >> 10) & 0x1Fu;
  const std::uint32_t fraction = half & 0x3FFu;
  if ((half & 0x7FFFu) == 0) return sign;
  if (exponent == 31) {
    if (fraction == 0) return sign | 0x7F800000u;
    return sign | 0x7FC00000u | (fraction << 13);
  }
  if (exponent != 0) return sign | ((exponent + 112u) << 23) | (fraction << 13);
  // Subnormal: shift the leading one into the hidden-bit position (bit 23) and lower the
  // exponent by the same amount. z is 6 to 15 for a nonzero 10-bit fraction.
  const auto z = static_cast<std::uint32_t>(std::countl_zero(static_cast<std::uint16_t>(fraction)));
  return sign | ((118u - z) << 23) | ((fraction << (z + 8u)) & 0x7FFFFFu);
}

}  // namespace

double decode_ieee754_f16(std::uint64_t value) {
  // Bits above 15 are ignored, on purpose.
  return widen_single(half_to_single(static_cast<std::uint32_t>(value & 0xFFFFu)));
}

double decode_ieee754_f32(std::uint64_t value) {
  return widen_single(static_cast<std::uint32_t>(value & 0xFFFFFFFFu));
}

double decode_ieee754_f64(std::uint64_t value) { return std::bit_cast<double>(value); }

// Truncating, not rounding: the 60 lowest fraction bits are dropped, and every exponent below
// the double normal range gives a signed zero (no double subnormal is produced).
double decode_ieee754_f128(UInt128 value) {
  const std::uint64_t sign = value.high & 0x8000000000000000ULL;
  const std::uint64_t exponent = (value.high >> 48) & 0x7FFFu;
  if (exponent == 0x7FFF) {
    // A NaN loses its sign and payload here, on purpose: every NaN decodes as float('nan').
    const bool is_nan = (value.high & low_mask(48)) != 0 || value.low != 0;
    return std::bit_cast<double>(is_nan ? kDoubleQuietNan : sign | 0x7FF0000000000000ULL);
  }
  if (exponent <= 0x3C00) return std::bit_cast<double>(sign);
  if (exponent >= 0x43FF) return std::bit_cast<double>(sign | 0x7FF0000000000000ULL);
  // Fraction bits 60-111: 48 from the high word, 4 from the top of the low word. The rebiased
  // exponent (16383 -> 1023) is 1 to 2046 here, a double normal, so the value is assembled
  // directly: (1 + m * 2^-52) * 2^(e - 16383), exactly.
  const std::uint64_t mantissa = ((value.high & low_mask(48)) << 4) | (value.low >> 60);
  return std::bit_cast<double>(sign | ((exponent - 0x3C00u) << 52) | mantissa);
}

}  // namespace fieldpack::decoder
