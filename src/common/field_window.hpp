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

// Bit-exact fields: a field of `bits` bits occupies exactly bits [shift, shift + bits) from the
// first byte of its window, the most significant bit first (shift may exceed 7). It reads and
// writes as a byte-granular field whose window holds the field's bits right-aligned in
// ceil(bits/8) bytes would: a little-endian field is a whole number of bytes, taken most
// significant bit first and then reversed.

// The bytes from the window's first that bits [shift, shift + bits) touch.
constexpr std::uint64_t bit_span(std::uint64_t shift, std::uint64_t bits) {
  return bits == 0 ? 0 : (shift % 8 + bits + 7) / 8 + shift / 8;
}

// `count` (at most 64) bits from bit `shift` of `p` on as a number; reads only the bytes they
// touch.
std::uint64_t load_bits(const std::uint8_t* p, std::uint64_t shift, std::uint32_t count);

// Writes the low `count` (at most 64) bits of `pattern` over bits [shift, shift + count) from
// `p`, keeping the other bits of the bytes it touches; bytes from byte `size` on are left alone.
void store_bits(std::uint8_t* p, std::uint64_t size, std::uint64_t shift, std::uint64_t pattern,
                std::uint32_t count);

// What field_value gives for the field at bits [shift, shift + bits) of `window`.
std::uint64_t bit_field_value(const std::uint8_t* window, std::uint32_t shift, std::uint32_t bits,
                              ByteOrder order, bool reverse_bits);

// place_code for a bit-exact field at bits [shift, shift + bits) from byte `first_byte`: exactly
// the field's bits are written (bits of the code above the width are dropped); bytes past
// `packet_size` are dropped.
void place_bit_code(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t first_byte,
                    std::uint32_t shift, std::uint64_t code, std::uint32_t bits, ByteOrder order,
                    bool reverse_bits);

// place_bytes for a bit-exact text field of whole bytes at bit `shift` of byte `first_byte`: the
// kept bytes only, as place_bytes orders them.
void place_bit_bytes(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t first_byte,
                     std::uint32_t shift, ByteSpan bytes, std::uint32_t bits, ByteOrder order);

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
