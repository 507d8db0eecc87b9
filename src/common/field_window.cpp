// Field windows: forming a field's value from its window, and placing a field's bytes.
// No interpreter here.
#include "common/field_window.hpp"

#include <algorithm>
#include <cstring>

#include "common/bits.hpp"

namespace fieldpack {

namespace {

// The part of [first_byte, first_byte + count) that lies inside the packet.
std::uint64_t writable(std::uint64_t packet_size, std::uint64_t first_byte, std::uint64_t count) {
  if (first_byte >= packet_size) return 0;
  return std::min(count, packet_size - first_byte);
}

}  // namespace

std::uint64_t field_value(const std::uint8_t* window, std::uint64_t byte_count, std::uint32_t bits,
                          ByteOrder order, bool reverse_bits) {
  // Bytes after the eighth of the byte-ordered window do not contribute; for "little" the byte
  // buffer is the window reversed, so its first bytes are the window's last.
  const bool little = order == ByteOrder::little;
  const std::uint64_t take = byte_count < 8 ? byte_count : 8;
  std::uint64_t raw = 0;
  for (std::uint64_t k = 0; k < take; ++k) {
    raw = (raw << 8) | (little ? window[byte_count - 1 - k] : window[k]);
  }
  if (reverse_bits) {
    // From 64 bits up the whole 64-bit value is mirrored: one rule, whatever the width.
    return reverse_low_bits(raw, bits);
  }
  return bits < 64 ? raw & low_mask(bits) : raw;
}

void place_code(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t first_byte,
                std::uint64_t code, std::uint32_t bits, ByteOrder order, bool reverse_bits) {
  const std::uint64_t byte_count = window_byte_count(bits);
  const std::uint64_t limit = writable(packet_size, first_byte, byte_count);
  if (limit == 0) return;
  if (reverse_bits) code = reverse_low_bits(code, bits);
  const bool little = order == ByteOrder::little;
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
                 ByteSpan bytes, std::uint32_t bits, ByteOrder order) {
  const std::uint64_t kept = std::min<std::uint64_t>(bytes.size(), window_byte_count(bits));
  const std::uint64_t limit = writable(packet_size, first_byte, kept);
  std::uint8_t* out = packet + first_byte;
  // Little-endian text is the whole kept text reversed: its first bytes land at the window's end.
  const bool little = order == ByteOrder::little;
  for (std::uint64_t k = 0; k < limit; ++k) {
    const std::uint64_t from = little ? kept - 1 - k : k;
    out[k] = bytes[static_cast<std::size_t>(from)];
  }
}

}  // namespace fieldpack
