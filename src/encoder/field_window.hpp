// Placing a field's bytes into a packet. No interpreter here.
#pragma once

#include <cstdint>

#include "../text.hpp"

namespace fieldpack::encoder {

// Writes `code` as the field's ceil(bits/8) bytes, big-endian and right-aligned (mirrored within
// `bits` first when asked, reversed end to end for "little"), from byte `first_byte`. Bytes past
// `packet_size` are dropped. The code is not masked: bits above the field that still fall inside
// its bytes are written.
void place_code(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t first_byte,
                std::uint32_t bits, std::uint64_t code, bool reverse_bits, bool little);

// Writes encoded text from byte `first_byte`, cut at the end of the field's own ceil(bits/8)-byte
// window so that it never reaches bytes of other fields; for "little" the kept bytes are
// reversed. Shorter text leaves the rest of the window as it was.
void place_bytes(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t first_byte,
                 std::uint32_t bits, ByteSpan bytes, bool little);

}  // namespace fieldpack::encoder
