// Cutting a field out of a packet. No interpreter here.
#pragma once

#include <cstdint>

namespace fieldpack::decoder {

// The field value of a window of `byte_count` bytes as they stand in the packet: the first eight
// bytes of the window in the field's byte order read as a big-endian number, then cut to `bits`
// bits (unmasked from 64 bits up) or mirrored within them.
std::uint64_t field_value(const std::uint8_t* window, std::uint64_t byte_count, bool little,
                          std::uint32_t bits, bool reverse_bits);

}  // namespace fieldpack::decoder
