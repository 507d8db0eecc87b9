// The digit arithmetic of the BCD decoders on a whole 64-bit pattern at once, shared by the
// codecs and the column loops that decode many fields in a row. No interpreter here.
#pragma once

#include <cstdint>

namespace fieldpack::decoder {

inline constexpr std::uint64_t kNibbleLows = 0x1111111111111111ULL;

// One bit per nibble (at the nibble's bit 0) for each nibble above 9: bit 3 and one of bits 1-2.
constexpr std::uint64_t nibbles_above_nine(std::uint64_t digits) {
  return (digits >> 3) & ((digits >> 2) | (digits >> 1)) & kNibbleLows;
}

// Up to 16 valid BCD digits to binary, by merging neighbouring lanes: pairs of digits into
// bytes, bytes into 16-bit lanes, those into 32-bit lanes. No lane overflows its width
// (99 < 2^8, 9999 < 2^16, 99999999 < 2^32).
constexpr std::uint64_t packed_digits_value(std::uint64_t digits) {
  digits = (digits & 0x0F0F0F0F0F0F0F0FULL) + ((digits >> 4) & 0x0F0F0F0F0F0F0F0FULL) * 10u;
  digits = (digits & 0x00FF00FF00FF00FFULL) + ((digits >> 8) & 0x00FF00FF00FF00FFULL) * 100u;
  digits = (digits & 0x0000FFFF0000FFFFULL) + ((digits >> 16) & 0x0000FFFF0000FFFFULL) * 10000u;
  return (digits & 0xFFFFFFFFULL) + (digits >> 32) * 100000000u;
}

// Up to eight valid digits, one per byte with the least significant byte first, to binary, by
// the same merging (9 < 2^8 per byte; 99, 9999 and 99999999 per lane).
constexpr std::uint64_t byte_digits_value(std::uint64_t digits) {
  digits = (digits & 0x00FF00FF00FF00FFULL) + ((digits >> 8) & 0x00FF00FF00FF00FFULL) * 10u;
  digits = (digits & 0x0000FFFF0000FFFFULL) + ((digits >> 16) & 0x0000FFFF0000FFFFULL) * 100u;
  return (digits & 0xFFFFFFFFULL) + (digits >> 32) * 10000u;
}

// One bit per byte (at the byte's bit 7) for each byte above 9.
constexpr std::uint64_t bytes_above_nine(std::uint64_t bytes) {
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  return (((bytes & kLow7) + 0x7676767676767676ULL) | bytes) & kHigh;
}

}  // namespace fieldpack::decoder
