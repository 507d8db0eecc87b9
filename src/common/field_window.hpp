// Field windows, both directions: the ceil(bits/8) whole bytes from byte floor(start/8) that a
// field occupies, its value right-aligned in them. No interpreter here.
#pragma once

#include <cstdint>

#include "common/text.hpp"

namespace fieldpack {

enum class ByteOrder : std::uint8_t { big, little };

// The bytes of a window of `bits` bits.
constexpr std::uint64_t window_byte_count(std::uint32_t bits) {
  return (std::uint64_t{bits} + 7) / 8;
}

// The field value of a window of `byte_count` bytes as they stand in the packet: the first eight
// bytes of the window in the field's byte order read as a big-endian number, then cut to `bits`
// bits (unmasked from 64 bits up) or mirrored within them.
std::uint64_t field_value(const std::uint8_t* window, std::uint64_t byte_count, std::uint32_t bits,
                          ByteOrder order, bool reverse_bits);

// Writes `code` as the field's ceil(bits/8) bytes, big-endian and right-aligned (mirrored within
// `bits` first when asked, reversed end to end for "little"), from byte `first_byte`. Bytes past
// `packet_size` are dropped. The code is not masked: bits above the field that still fall inside
// its bytes are written.
void place_code(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t first_byte,
                std::uint64_t code, std::uint32_t bits, ByteOrder order, bool reverse_bits);

// Writes encoded text from byte `first_byte`, cut at the end of the field's own ceil(bits/8)-byte
// window so that it never reaches bytes of other fields; for "little" the kept bytes are
// reversed. Shorter text leaves the rest of the window as it was.
void place_bytes(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t first_byte,
                 ByteSpan bytes, std::uint32_t bits, ByteOrder order);

}  // namespace fieldpack
