// Placing field bytes. No interpreter here.
#include "field_window.hpp"

#include <algorithm>
#include <cstring>

#include "../bits.hpp"

namespace fieldpack::encoder {

namespace {

// The part of [first_byte, first_byte + count) that lies inside the packet.
std::uint64_t writable(std::uint64_t packet_size, std::uint64_t first_byte, std::uint64_t count) {
  if (first_byte >= packet_size) return 0;
  return std::min(count, packet_size - first_byte);
}

}  // namespace

void place_code(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t first_byte,
                std::uint32_t bits, std::uint64_t code, bool reverse_bits, bool little) {
  const std::uint64_t byte_count = (std::uint64_t{bits} + 7) / 8;
  const std::uint64_t limit = writable(packet_size, first_byte, byte_count);
  if (limit == 0) return;
  if (reverse_bits) code = reverse_low_bits(code, bits);
  std::uint8_t* out = packet + first_byte;
  // A code has 64 bits: in a wider field the bytes beyond its eight are zero. Big-endian puts
  // them first, little-endian last.
  const std::uint64_t zeros = byte_count > 8 ? byte_count - 8 : 0;
  for (std::uint64_t k = 0; k < limit; ++k) {
    std::uint64_t significance = 0;  // which byte of the code lands here, 0 = least significant
    if (little) {
      if (k >= 8) {
        std::memset(out + k, 0, static_cast<std::size_t>(limit - k));
        return;
      }
      significance = k;
    } else {
      if (k < zeros) {
        const std::uint64_t run = std::min(zeros, limit);
        std::memset(out, 0, static_cast<std::size_t>(run));
        k = run - 1;
        continue;
      }
      significance = byte_count - 1 - k;
    }
    out[k] = static_cast<std::uint8_t>(code >> (8 * significance));
  }
}

void place_bytes(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t first_byte,
                 std::uint32_t bits, ByteSpan bytes, bool little) {
  const std::uint64_t window = (std::uint64_t{bits} + 7) / 8;
  const std::uint64_t kept = std::min<std::uint64_t>(bytes.size(), window);
  const std::uint64_t limit = writable(packet_size, first_byte, kept);
  std::uint8_t* out = packet + first_byte;
  for (std::uint64_t k = 0; k < limit; ++k) {
    out[k] = little ? bytes[static_cast<std::size_t>(kept - 1 - k)] : bytes[static_cast<std::size_t>(k)];
  }
}

}  // namespace fieldpack::encoder
