// Binary-coded decimal encoders: a signed 64-bit value to a packed (a digit per nibble) or
// unpacked / zoned (a digit per byte) field pattern. No interpreter here.
//
// Widths above 64 bits: the result is one 64-bit pattern, which holds 16 nibbles or 8 bytes.
// A value with more digits than the width holds fails with the width's digit count, as at any
// width. A value that fits the width but not the pattern (more than 16 packed digits, 15 beside
// a sign nibble, or 8 unpacked digits) fails too, quoting what the pattern holds, rather than
// losing its high digits. A value that fits both encodes exactly as for a 64-bit width. Signed
// unpacked widths of 72 bits or more are refused: every byte of such a field needs a zone, the
// bytes above byte 7 cannot carry one, and a field written without them could never be read
// back (the decoder refuses a byte without a zone).
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "encoder/codecs/encoder.hpp"

namespace fieldpack::encoder {
namespace {

Failure too_many_digits(std::int64_t value, std::uint32_t digit_count) {
  std::string message = "Value ";
  append_decimal(message, value);
  message += " has too many digits for ";
  append_decimal(message, digit_count);
  message += " BCD digits";
  return value_error(std::move(message));
}

constexpr const char* kNegativeUnsigned = "Cannot encode negative value in unsigned BCD";

// The decimal digits of a magnitude (0 has none: it fits any count of positions).
constexpr std::uint32_t decimal_digits(std::uint64_t magnitude) {
  std::uint32_t count = 0;
  for (; magnitude != 0; magnitude /= 10u) ++count;
  return count;
}

// The failure for a magnitude that the width, or else the 64-bit pattern, cannot hold.
std::optional<Failure> check_capacity(std::int64_t value, std::uint32_t width_positions,
                                      std::uint32_t pattern_positions) {
  const std::uint32_t needed = decimal_digits(magnitude_of(value));
  if (needed > width_positions) return too_many_digits(value, width_positions);
  if (needed > pattern_positions) return too_many_digits(value, pattern_positions);
  return std::nullopt;
}

}  // namespace

Result<std::uint64_t> encode_packed_bcd(std::int64_t value, std::uint32_t bits, bool is_signed) {
  if (bits < 4) return value_error("bits must be >= 4 for packed BCD");
  if (value < 0 && !is_signed) return value_error(kNegativeUnsigned);

  const std::uint32_t sign_nibbles = is_signed ? 1u : 0u;
  if (auto failure = check_capacity(value, bits / 4u - sign_nibbles, 16u - sign_nibbles)) {
    return std::move(*failure);
  }
  std::uint64_t remaining = magnitude_of(value);
  std::uint64_t digits = 0;
  for (std::uint32_t i = 0; remaining != 0; ++i) {
    digits |= (remaining % 10u) << (4u * i);
    remaining /= 10u;
  }

  if (!is_signed) return digits;
  // At most 15 digits here, so the shift leaves room for the sign nibble.
  return (digits << 4) | (value < 0 ? 0xDu : 0xCu);
}

Result<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::uint32_t bits, bool is_signed) {
  if (bits / 8u == 0) return value_error("bits must be >= 8 for unpacked BCD");
  if (is_signed && bits / 8u > 8u) return value_error("bits must be < 72 for signed unpacked BCD");
  // Without a sign zone a negative value cannot be represented; dropping its sign would hand
  // back a different number.
  if (value < 0 && !is_signed) return value_error(kNegativeUnsigned);

  if (auto failure = check_capacity(value, bits / 8u, 8u)) return std::move(*failure);
  const std::uint32_t byte_count = std::min(bits / 8u, 8u);
  std::uint64_t remaining = magnitude_of(value);
  // Every byte of the field is written, leading zeros included: zoned bytes carry 0xF0 even for
  // a zero digit, so this loop does not stop early when the value runs out.
  const std::uint64_t zone = is_signed ? 0xF0u : 0x00u;
  std::uint64_t pattern = 0;
  for (std::uint32_t j = 0; j < byte_count; ++j) {
    pattern |= ((remaining % 10u) | zone) << (8u * j);
    remaining /= 10u;
  }

  if (!is_signed) return pattern;
  // The sign shares byte 0 with the lowest digit: its zone becomes 0xC or 0xD instead of 0xF.
  const std::uint64_t sign_zone = value < 0 ? 0xD0u : 0xC0u;
  return (pattern & ~std::uint64_t{0xF0}) | sign_zone;
}

}  // namespace fieldpack::encoder
