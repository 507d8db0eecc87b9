// Masks, bit mirroring, byte order and decimal formatting on plain integers. No interpreter here.
#pragma once

#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>

namespace fieldpack {

static_assert(sizeof(std::uint64_t) == 8 && sizeof(std::uint32_t) == 4);
static_assert(sizeof(double) == 8 && sizeof(float) == 4, "IEEE 754 binary64 and binary32 needed");

// A 128-bit unsigned value as two halves; 32-bit ARM has no native 128-bit integer.
struct UInt128 {
  std::uint64_t low = 0;
  std::uint64_t high = 0;
};

// Shifting a 64-bit value by 64 is undefined, and 64 is a legal width.
constexpr std::uint64_t low_mask(std::uint64_t bits) {
  return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
}

// The sign bit of a field of `bits` bits in a 64-bit pattern. bits - 1 is taken in 32-bit
// unsigned arithmetic before the reduction, so a width of 0 selects bit 63 and a width of 65
// selects bit 0; the signed-integer codecs rely on both.
constexpr std::uint32_t sign_bit_index(std::uint32_t bits) { return (bits - 1u) % 64u; }

// |value| as an unsigned number; defined for the most negative value too (it gives 2^63).
constexpr std::uint64_t magnitude_of(std::int64_t value) {
  const auto pattern = static_cast<std::uint64_t>(value);
  return value < 0 ? 0u - pattern : pattern;
}

// All 64 bits in mirrored order (bit 0 <-> bit 63), in a fixed number of steps.
constexpr std::uint64_t reverse64(std::uint64_t v) {
  v = ((v >> 1) & 0x5555555555555555ULL) | ((v & 0x5555555555555555ULL) << 1);
  v = ((v >> 2) & 0x3333333333333333ULL) | ((v & 0x3333333333333333ULL) << 2);
  v = ((v >> 4) & 0x0F0F0F0F0F0F0F0FULL) | ((v & 0x0F0F0F0F0F0F0F0FULL) << 4);
  v = ((v >> 8) & 0x00FF00FF00FF00FFULL) | ((v & 0x00FF00FF00FF00FFULL) << 8);
  v = ((v >> 16) & 0x0000FFFF0000FFFFULL) | ((v & 0x0000FFFF0000FFFFULL) << 16);
  return (v >> 32) | (v << 32);
}

// The low `bits` bits of v in mirrored order (bit 0 <-> bit bits-1); higher bits are dropped.
// A width above 64 mirrors all 64 bits, so the cost never depends on the width.
constexpr std::uint64_t reverse_low_bits(std::uint64_t v, std::uint64_t bits) {
  if (bits == 0) return 0;
  if (bits >= 64) return reverse64(v);
  return reverse64(v & low_mask(bits)) >> (64 - bits);
}

constexpr std::uint16_t byteswap16(std::uint16_t v) {
  return static_cast<std::uint16_t>((v >> 8) | (v << 8));
}

constexpr std::uint32_t byteswap32(std::uint32_t v) {
  return ((v & 0xFFu) << 24) | ((v & 0xFF00u) << 8) | ((v >> 8) & 0xFF00u) | (v >> 24);
}

// The compilers' own swap where they have one: GCC does not always see the portable form as one
// instruction, and left as a call it costs a column loop most of its time.
constexpr std::uint64_t byteswap64(std::uint64_t v) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_bswap64(v);
#else
  return (std::uint64_t{byteswap32(static_cast<std::uint32_t>(v))} << 32) |
         byteswap32(static_cast<std::uint32_t>(v >> 32));
#endif
}

inline constexpr bool kHostIsLittleEndian = std::endian::native == std::endian::little;

// A 16- or 32-bit unit stored in the given byte order, loaded through memcpy (unaligned-safe) in
// the host's order and swapped only when the orders differ, which lets loops over units vectorize.
template <class Unit, bool kLittleEndian>
Unit load_unit(const std::uint8_t* p) {
  static_assert(sizeof(Unit) == 2 || sizeof(Unit) == 4);
  Unit unit;
  std::memcpy(&unit, p, sizeof unit);
  if constexpr (kLittleEndian != kHostIsLittleEndian) {
    if constexpr (sizeof(Unit) == 2) {
      unit = byteswap16(unit);
    } else {
      unit = byteswap32(unit);
    }
  }
  return unit;
}

template <class Unit, bool kLittleEndian>
void store_unit(std::uint8_t* p, Unit unit) {
  static_assert(sizeof(Unit) == 2 || sizeof(Unit) == 4);
  if constexpr (kLittleEndian != kHostIsLittleEndian) {
    if constexpr (sizeof(Unit) == 2) {
      unit = byteswap16(unit);
    } else {
      unit = byteswap32(unit);
    }
  }
  std::memcpy(p, &unit, sizeof unit);
}

template <class Int>
void append_decimal(std::string& out, Int value) {
  char buffer[24];
  auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  out.append(buffer, end);
}

// Upper-case hexadecimal, zero-padded to at least `digits` digits.
inline void append_hex(std::string& out, std::uint64_t value, int digits) {
  char buffer[17];
  auto end = std::to_chars(buffer, buffer + sizeof buffer, value, 16).ptr;
  const int length = static_cast<int>(end - buffer);
  for (int i = length; i < digits; ++i) out.push_back('0');
  for (char* p = buffer; p != end; ++p) out.push_back(*p >= 'a' ? static_cast<char>(*p - 32) : *p);
}

}  // namespace fieldpack
