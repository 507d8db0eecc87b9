// Binary-coded decimal decoders: packed (a digit per nibble) and unpacked or zoned (a digit per
// byte) field patterns to signed 64-bit values. No interpreter here.
// Positions above the 64-bit pattern read as zero, so the work is bounded by 16 nibbles or 8
// bytes whatever the width; a width of up to 2^32 - 1 costs no more than a width of 64.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <string>

#include "decoder/codecs/bcd_digits.hpp"
#include "decoder/codecs/decoder.hpp"

namespace fieldpack::decoder {
namespace {

Failure invalid_digit(std::uint64_t digit) {
  std::string message = "Invalid BCD digit: ";
  append_decimal(message, digit);
  message += " (must be 0-9)";
  return value_error(std::move(message));
}

Failure invalid_zoned_byte(const char* prefix, std::uint32_t byte, const char* suffix) {
  std::string message = prefix;
  append_hex(message, byte, 2);
  message += suffix;
  return value_error(std::move(message));
}

constexpr const char* kSignedByteSuffix =
    " (expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)";
constexpr const char* kZonedByteSuffix = " (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)";

constexpr bool in_range(std::uint32_t byte, std::uint32_t first, std::uint32_t last) {
  return byte >= first && byte <= last;
}

}  // namespace

Result<std::int64_t> decode_packed_bcd(std::uint64_t value, std::uint32_t bits, bool is_signed) {
  // Nibbles beyond the 16 the pattern holds are zero digits, so a count of 16 stands for any
  // larger one.
  const std::uint32_t nibble_count = std::min(bits / 4u, 16u);
  if (nibble_count == 0) return std::int64_t{0};
  // Bits above the last whole nibble are ignored, on purpose.
  const std::uint64_t field = value & low_mask(std::uint64_t{nibble_count} * 4u);

  std::uint64_t digits = field;
  bool negative = false;
  if (is_signed) {
    // The sign nibble is judged before any digit.
    const std::uint64_t sign = field & 0xFu;
    if (sign <= 9) {
      return value_error("Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD");
    }
    negative = sign == 0xB || sign == 0xD;
    digits = field >> 4;
  }
  if (const std::uint64_t invalid = nibbles_above_nine(digits); invalid != 0) {
    // The lowest offending nibble is the one reported.
    const int shift = std::countr_zero(invalid);
    return invalid_digit((digits >> shift) & 0xFu);
  }
  // At most 16 digits: the magnitude is below 10^16, so it fits and its negation does too.
  const auto magnitude = static_cast<std::int64_t>(packed_digits_value(digits));
  return negative ? -magnitude : magnitude;
}

Result<std::int64_t> decode_unpacked_bcd(std::uint64_t value, std::uint32_t bits, bool is_signed) {
  const std::uint32_t byte_count = bits / 8u;
  if (byte_count == 0) return std::int64_t{0};
  // Bytes beyond the 8 the pattern holds read as 0x00; bytes above the field are ignored.
  const std::uint32_t held_bytes = std::min(byte_count, 8u);

  std::int64_t magnitude = 0;
  std::int64_t scale = 1;
  if (!is_signed) {
    // 0x00 is a valid digit, so bytes beyond the pattern change nothing: a width above 64 bits
    // decodes like 64.
    for (std::uint32_t k = 0; k < held_bytes; ++k, scale *= 10) {
      const auto byte = static_cast<std::uint32_t>((value >> (8u * k)) & 0xFFu);
      if (byte > 9) return invalid_digit(byte);
      magnitude += byte * scale;
    }
    return magnitude;
  }

  const auto sign_byte = static_cast<std::uint32_t>(value & 0xFFu);
  bool negative = false;
  if (in_range(sign_byte, 0xC0, 0xC9)) {
    magnitude = sign_byte - 0xC0;
  } else if (in_range(sign_byte, 0xD0, 0xD9)) {
    magnitude = sign_byte - 0xD0;
    negative = true;
  } else if (in_range(sign_byte, 0xF0, 0xF9)) {
    magnitude = sign_byte - 0xF0;
  } else if (in_range(sign_byte, 0x30, 0x39)) {
    magnitude = sign_byte - 0x30;
  } else {
    return invalid_zoned_byte("Invalid zoned decimal signed byte: 0x", sign_byte,
                              kSignedByteSuffix);
  }
  scale = 10;
  for (std::uint32_t k = 1; k < held_bytes; ++k, scale *= 10) {
    const auto byte = static_cast<std::uint32_t>((value >> (8u * k)) & 0xFFu);
    std::uint32_t digit;
    if (in_range(byte, 0x30, 0x39)) {
      digit = byte - 0x30;
    } else if (in_range(byte, 0xF0, 0xF9)) {
      digit = byte - 0xF0;
    } else {
      return invalid_zoned_byte("Invalid zoned decimal byte: 0x", byte, kZonedByteSuffix);
    }
    magnitude += digit * scale;
  }
  // A ninth byte lies beyond the pattern and reads 0x00, which has no zone: every signed width
  // of 72 bits or more fails here once the first eight bytes pass, on purpose.
  if (byte_count > 8) {
    return invalid_zoned_byte("Invalid zoned decimal byte: 0x", 0, kZonedByteSuffix);
  }
  return negative ? -magnitude : magnitude;
}

}  // namespace fieldpack::decoder
