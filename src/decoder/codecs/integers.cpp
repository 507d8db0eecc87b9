// Signed-integer decoders: a raw field pattern to a signed 64-bit value. No interpreter here.
// All arithmetic is on std::uint64_t, where it wraps; the conversion back to std::int64_t is
// modular in C++20, so no step here can overflow.
#include <cstdint>

#include "decoder/codecs/decoder.hpp"

namespace fieldpack::decoder {
namespace {

constexpr bool bit_set(std::uint64_t value, std::uint32_t index) {
  return ((value >> index) & 1u) != 0;
}

}  // namespace

std::int64_t decode_sign_magnitude(std::uint64_t value, std::uint32_t bits) {
  const std::uint32_t s = sign_bit_index(bits);
  // Bits at and above the sign bit never reach the magnitude, on purpose; so a width of 65
  // (sign bit 0) always decodes to zero.
  const std::uint64_t magnitude = value & low_mask(s);
  // The magnitude is below 2^63, so its negation is representable; negative zero becomes 0.
  return bit_set(value, s) ? -static_cast<std::int64_t>(magnitude)
                           : static_cast<std::int64_t>(magnitude);
}

std::int64_t decode_ones_complement(std::uint64_t value, std::uint32_t bits) {
  if (bits >= 64) {
    const auto v = static_cast<std::int64_t>(value);
    return v < 0 ? v + 1 : v;  // v + 1 cannot overflow for a negative v
  }
  // Bits above the field are kept, on purpose, in both branches: they take part in the result.
  if (!bit_set(value, sign_bit_index(bits))) return static_cast<std::int64_t>(value);
  return static_cast<std::int64_t>(value - (std::uint64_t{1} << bits) + 1u);
}

std::int64_t decode_twos_complement(std::uint64_t value, std::uint32_t bits) {
  if (bits >= 64) return static_cast<std::int64_t>(value);
  // With the sign bit clear the bits above the field are kept, on purpose.
  if (!bit_set(value, sign_bit_index(bits))) return static_cast<std::int64_t>(value);
  // With it set they are dropped: the result is -((2^64 - value) mod 2^bits). This form, rather
  // than (value mod 2^bits) - 2^bits, is the one that gives 0 for a width of 0 (sign bit 63).
  const std::uint64_t magnitude = (0u - value) & low_mask(bits);
  return static_cast<std::int64_t>(0u - magnitude);
}

}  // namespace fieldpack::decoder
