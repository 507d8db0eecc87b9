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

// Clears bits [shift, shift + count) from p, bytes from byte `size` on left alone.
void clear_bits(std::uint8_t* p, std::uint64_t size, std::uint64_t shift, std::uint64_t count) {
  const std::uint64_t end = shift + count;
  while (shift < end && shift % 8 != 0) {
    const auto run =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(end - shift, 8 - shift % 8));
    store_bits(p, size, shift, 0, run);
    shift += run;
  }
  const std::uint64_t first = shift / 8;
  const std::uint64_t whole = (end - shift) / 8;
  if (first < size)
    std::memset(p + first, 0, static_cast<std::size_t>(std::min(whole, size - first)));
  shift += 8 * whole;
  store_bits(p, size, shift, 0, static_cast<std::uint32_t>(end - shift));
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

std::uint64_t load_bits(const std::uint8_t* p, std::uint64_t shift, std::uint32_t count) {
  if (count == 0) return 0;
  p += shift / 8;
  const auto s = static_cast<std::uint32_t>(shift % 8);
  const std::uint32_t bytes = (s + count + 7) / 8;  // 1 to 9
  std::uint64_t word = 0;
  for (std::uint32_t k = 0; k < bytes && k < 8; ++k) word = (word << 8) | p[k];
  if (bytes <= 8) return (word >> (8 * bytes - s - count)) & low_mask(count);
  // Nine bytes: the field's last bits are the top of the ninth.
  const std::uint32_t after = 72 - s - count;  // 0 to 6 bits of the ninth byte after the field
  return ((word << (8 - after)) | (p[8] >> after)) & low_mask(count);
}

void store_bits(std::uint8_t* p, std::uint64_t size, std::uint64_t shift, std::uint64_t pattern,
                std::uint32_t count) {
  if (count == 0) return;
  const std::uint64_t skip = shift / 8;
  if (skip >= size) return;
  p += skip;
  size -= skip;
  const auto s = static_cast<std::uint32_t>(shift % 8);
  const std::uint32_t end = s + count;  // the field's end, in bits from p
  const std::uint32_t bytes = (end + 7) / 8;
  for (std::uint32_t k = 0; k < bytes && k < size; ++k) {
    // The field's bits [low, high) in this byte; the last of them is bit `end - high` of the
    // pattern.
    const std::uint32_t low = std::max(s, 8 * k);
    const std::uint32_t high = std::min(end, 8 * k + 8);
    const std::uint32_t width = high - low;
    const std::uint32_t below = 8 * k + 8 - high;  // bits of the byte after the field
    const auto part = static_cast<std::uint32_t>((pattern >> (end - high)) & low_mask(width));
    const auto mask = static_cast<std::uint32_t>(low_mask(width) << below);
    p[k] = static_cast<std::uint8_t>((p[k] & ~mask) | (part << below));
  }
}

std::uint64_t bit_field_value(const std::uint8_t* window, std::uint32_t shift, std::uint32_t bits,
                              ByteOrder order, bool reverse_bits) {
  if (bits == 0) return 0;
  const bool little = order == ByteOrder::little;
  std::uint64_t raw = 0;
  if (bits <= 64) {
    raw = load_bits(window, shift, bits);
    // A little-endian field is whole bytes: its first byte is the least significant.
    if (little) raw = byteswap64(raw) >> (64 - bits);
    return reverse_bits ? reverse_low_bits(raw, bits) : raw;
  }
  // Wider: field_value's first eight bytes of the byte-ordered window. Right-aligned, a
  // big-endian window starts with the bits that pad it to whole bytes; a little-endian one
  // (whole bytes) reversed starts with the field's last eight bytes.
  if (little) {
    raw = byteswap64(load_bits(window, std::uint64_t{shift} + bits - 64, 64));
  } else {
    const std::uint32_t pad = static_cast<std::uint32_t>(8 * window_byte_count(bits) - bits);
    raw = load_bits(window, shift, 64 - pad);
  }
  return reverse_bits ? reverse64(raw) : raw;
}

void place_bit_code(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t first_byte,
                    std::uint32_t shift, std::uint64_t code, std::uint32_t bits, ByteOrder order,
                    bool reverse_bits) {
  if (bits == 0 || first_byte >= packet_size) return;
  std::uint8_t* out = packet + first_byte;
  const std::uint64_t size = packet_size - first_byte;
  if (reverse_bits) code = reverse_low_bits(code, bits);
  const bool little = order == ByteOrder::little;
  if (bits <= 64) {
    if (little) code = byteswap64(code) >> (64 - bits);
    store_bits(out, size, shift, code, bits);
    return;
  }
  // Wider: the code's eight bytes and zeros, as place_code lays them out; big-endian puts the
  // zeros first, little-endian last.
  const std::uint64_t zeros = bits - 64;
  if (little) {
    store_bits(out, size, shift, byteswap64(code), 64);
    clear_bits(out, size, shift + 64, zeros);
  } else {
    clear_bits(out, size, shift, zeros);
    store_bits(out, size, shift + zeros, code, 64);
  }
}

void place_bit_bytes(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t first_byte,
                     std::uint32_t shift, ByteSpan bytes, std::uint32_t bits, ByteOrder order) {
  if (first_byte >= packet_size) return;
  const std::uint64_t kept = std::min<std::uint64_t>(bytes.size(), window_byte_count(bits));
  std::uint8_t* out = packet + first_byte;
  const std::uint64_t size = packet_size - first_byte;
  const bool little = order == ByteOrder::little;
  for (std::uint64_t k = 0; k < kept && k < size; ++k) {
    const std::uint64_t from = little ? kept - 1 - k : k;
    store_bits(out, size, shift + 8 * k, bytes[static_cast<std::size_t>(from)], 8);
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
