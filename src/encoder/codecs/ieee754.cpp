// IEEE 754 binary encoders: a single or double to its half, single or double pattern, and the
// double-to-single rounding of the single conversion. No interpreter here.
// NaNs are narrowed in integer bits, never by the floating-point unit: a unit in default-NaN
// mode (common on 32-bit ARM) would replace their sign and payload.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "encoder/codecs/encoder.hpp"

namespace fieldpack::encoder {

float round_to_single(double value) {
  if (std::isnan(value)) {
    // Sign, quiet bit, and the 22 payload bits just below the double's quiet bit.
    const auto bits = std::bit_cast<std::uint64_t>(value);
    const auto sign = static_cast<std::uint32_t>(bits >> 63) << 31;
    const auto payload = static_cast<std::uint32_t>((bits >> 29) & 0x3FFFFFu);
    return std::bit_cast<float>(sign | 0x7FC00000u | payload);
  }
  // From the midpoint between the largest single and 2^128 on, round-to-nearest-even gives
  // infinity. Saying so here keeps the cast below within the single range, where it is defined.
  constexpr double kOverflowThreshold = 0x1.FFFFFFp127;
  if (std::fabs(value) >= kOverflowThreshold) {
    constexpr float kInfinity = std::numeric_limits<float>::infinity();
    return std::signbit(value) ? -kInfinity : kInfinity;
  }
  return static_cast<float>(value);  // the default rounding: to nearest, ties to even
}

std::uint64_t encode_ieee754_f64(double value) { return std::bit_cast<std::uint64_t>(value); }

std::uint64_t encode_ieee754_f32(float value) { return std::bit_cast<std::uint32_t>(value); }

// The single (already rounded from the double by the caller's conversion) rounded to half,
// ties to even. Rounding twice, double -> single -> half, is intended: it can differ from a
// direct double -> half rounding when the first step lands on a half-way point.
std::uint64_t encode_ieee754_f16(float value) {
  const auto single = std::bit_cast<std::uint32_t>(value);
  const std::uint32_t sign = (single >> 16) & 0x8000u;
  const std::uint32_t exponent = (single >> 23) & 0xFFu;
  const std::uint32_t fraction = single & 0x7FFFFFu;

  if (exponent == 255) {
    // The top fraction bits may all be zero for a NaN: 0x0200 keeps it from becoming infinity.
    return sign | 0x7C00u | (fraction >> 13) | (fraction != 0 ? 0x0200u : 0u);
  }
  if (exponent >= 143) return sign | 0x7C00u;
  if (exponent >= 113) {
    // Round bit is fraction bit 12; the bits below it and the lowest kept bit (13) decide ties.
    // A carry runs into the exponent, and from the largest finite half into infinity.
    std::uint32_t half = ((exponent - 112u) << 10) | (fraction >> 13);
    if ((fraction & 0x1000u) != 0 && (fraction & 0x2FFFu) != 0) ++half;
    return sign | half;
  }
  if (exponent >= 102) {
    // Half subnormal: the hidden bit becomes explicit and the value shifts right by 14 to 24.
    // A carry out of the largest subnormal gives the smallest normal, as it should.
    const std::uint32_t significand = fraction | 0x800000u;
    const std::uint32_t shift = 126u - exponent;
    const std::uint32_t round_bit = 1u << (shift - 1u);
    std::uint32_t half = significand >> shift;
    const bool sticky = (significand & (round_bit - 1u)) != 0;
    if ((significand & round_bit) != 0 && (sticky || (half & 1u) != 0)) ++half;
    return sign | half;
  }
  return sign;
}

}  // namespace fieldpack::encoder
