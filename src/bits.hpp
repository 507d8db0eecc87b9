// Masks, bit mirroring, byte order and decimal formatting on plain integers. No interpreter here.
#pragma once

#include <charconv>
#include <cstdint>
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
