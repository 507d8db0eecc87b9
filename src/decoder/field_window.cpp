// Forming a field's value from its window. No interpreter here.
#include "field_window.hpp"

#include "../bits.hpp"

namespace fieldpack::decoder {

std::uint64_t field_value(const std::uint8_t* window, std::uint64_t byte_count, bool little,
                          std::uint32_t bits, bool reverse_bits) {
  // Bytes after the eighth of the byte-ordered window do not contribute; for "little" the byte
  // buffer is the window reversed, so its first bytes are the window's last.
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

}  // namespace fieldpack::decoder
