// Signed-integer encoders: a signed 64-bit value to a raw field pattern, with width and range
// checks. No interpreter here. Magnitudes are taken in std::uint64_t, where negating the most
// negative value is defined (it gives 2^63).
#include <cstdint>
#include <string>

#include "encoder/codecs/encoder.hpp"

namespace fieldpack::encoder {
Result<std::uint64_t> encode_sign_magnitude(std::int64_t value, std::uint32_t bits) {
  if (bits < 2 || bits > 64) {
    return value_error("bits must be between 2 and 64 for sign-magnitude encoding");
  }
  const std::uint64_t magnitude = magnitude_of(value);
  const std::uint64_t sign_bit = std::uint64_t{1} << (bits - 1);
  // -2^63 has a magnitude of 2^63 and fails here at every width.
  if (magnitude >= sign_bit)
    return too_large_for_bits("Magnitude of ", value, " is too large for ", bits);
  return value < 0 ? magnitude | sign_bit : magnitude;
}

Result<std::uint64_t> encode_ones_complement(std::int64_t value, std::uint32_t bits) {
  if (bits > 64) return value_error("bits must be <= 64 for ones' complement encoding");
  // Widths 0 and 64 both take bit 63 as the sign bit: every non-negative value passes unchanged.
  const std::uint64_t limit = std::uint64_t{1} << sign_bit_index(bits);
  if (value >= 0) {
    const auto pattern = static_cast<std::uint64_t>(value);
    if (pattern >= limit) return too_large_for_bits("Value ", value, " is too large for ", bits);
    return pattern;
  }
  const std::uint64_t magnitude = magnitude_of(value);
  if (magnitude >= limit)
    return too_large_for_bits("Value ", value, " is too large (magnitude) for ", bits);
  // The complement of the magnitude within the field: (2^bits - 1) - magnitude whenever the
  // magnitude fits, and 0 for a width of 0, where there is no field to complement into.
  return ~magnitude & low_mask(bits);
}

Result<std::uint64_t> encode_twos_complement(std::int64_t value, std::uint32_t bits) {
  if (bits > 64) return value_error("bits must be <= 64 for two's complement encoding");
  if (bits == 64) return static_cast<std::uint64_t>(value);
  // Bounds in wrapping arithmetic: for a width of 0 the half is 2^63, which wraps to the full
  // signed range, so every value passes and encodes as 0.
  const std::uint64_t half = std::uint64_t{1} << sign_bit_index(bits);
  const auto min = static_cast<std::int64_t>(0u - half);
  const auto max = static_cast<std::int64_t>(half - 1u);
  if (value < min || value > max) {
    std::string message = "Value ";
    append_decimal(message, value);
    message += " out of range for ";
    append_decimal(message, bits);
    message += " bits (range: ";
    append_decimal(message, min);
    message += " to ";
    append_decimal(message, max);
    message += ")";
    return value_error(std::move(message));
  }
  return static_cast<std::uint64_t>(value) & low_mask(bits);
}

}  // namespace fieldpack::encoder
