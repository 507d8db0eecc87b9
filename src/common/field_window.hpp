// Field windows, both directions: the ceil(bits/8) whole bytes from byte floor(start/8) that a
// field occupies, its value right-aligned in them. No interpreter here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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

// The byte buffer a text field decodes: its window itself for "big", the window reversed end to
// end for "little" (in place up to 64 bytes, on the heap beyond).
class TextBuffer {
 public:
  TextBuffer(const std::uint8_t* window, std::size_t size, ByteOrder order) {
    if (order == ByteOrder::big) {
      view_ = ByteSpan(window, size);
      return;
    }
    std::uint8_t* out = size <= sizeof small_ ? small_ : (large_.resize(size), large_.data());
    for (std::size_t k = 0; k < size; ++k) out[k] = window[size - 1 - k];
    view_ = ByteSpan(out, size);
  }
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;
  ByteSpan view() const { return view_; }

 private:
  std::uint8_t small_[64];
  std::vector<std::uint8_t> large_;
  ByteSpan view_;
};

}  // namespace fieldpack
