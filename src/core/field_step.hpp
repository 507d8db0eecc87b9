// One field's step in each direction, below the interpreter: given a compiled field and the
// bytes, decoding gives a native value (an integer, a double, or decoded text as the text codecs
// describe it) or a failure, and encoding turns a native value into the field's code or bytes and
// writes its window. Every walk over a recipe goes through these steps: the packet functions, a
// layout's walks, the column decoders. What a field needs from its encoding's family is settled
// once, when the field is compiled (compile_step); no walk asks the family again.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include "common/bits.hpp"
#include "common/encodings.hpp"
#include "common/field_window.hpp"
#include "common/result.hpp"
#include "common/text.hpp"
#include "decoder/codecs/decoder.hpp"

namespace fieldpack::core {

// How a layout places its fields. Byte-granular, the packet functions' rule: a field starting at
// bit p occupies the ceil(bits/8) whole bytes from byte floor(p/8), its value right-aligned in
// them. Bit-exact: it occupies exactly bits [p, p + bits), the most significant bit first
// (common/field_window.hpp).
enum class Packing : std::uint8_t { bytes, bits };

// How a window is read and written: the widths a machine loads in one go, in either byte order,
// or every other window (any width, mirrored bits) byte by byte.
enum class WindowAccess : std::uint8_t {
  big1,
  big2,
  big4,
  big8,
  little2,
  little4,
  little8,
  general
};

// The numeric codecs a walk may call directly, without the row's Result: those that never fail.
enum class NumberCodec : std::uint8_t {
  other,
  twos_complement,
  ones_complement,
  sign_magnitude,
  half,
  single,
  double_
};

// What a field's value is to the host: what decoding gives, and what packing takes.
enum class ValueKind : std::uint8_t {
  unsigned_integer,  // std::uint64_t
  signed_integer,    // std::int64_t
  real,              // double
  text,              // decoding: DecodedText; packing: StoredText
  refused,           // packing only: an encoding that packing does not know
};

// The element type of a field's column: integers in the smallest of 8, 16, 32 and 64 bits that
// the width needs, BCD as 64-bit signed integers, half, single and double floats in their own
// format (every other float encoding as double); text as str objects.
enum class ColumnType : std::uint8_t { u8, u16, u32, u64, i8, i16, i32, i64, f16, f32, f64, text };

// A binary16 element, as its bits: C++20 has no half-precision type.
struct Half {
  std::uint16_t bits;
};

// Calls `body` with a null pointer of the column's element type (nothing for text).
template <class Body>
void with_element(ColumnType type, Body&& body) {
  switch (type) {
    case ColumnType::u8:
      return body(static_cast<std::uint8_t*>(nullptr));
    case ColumnType::u16:
      return body(static_cast<std::uint16_t*>(nullptr));
    case ColumnType::u32:
      return body(static_cast<std::uint32_t*>(nullptr));
    case ColumnType::u64:
      return body(static_cast<std::uint64_t*>(nullptr));
    case ColumnType::i8:
      return body(static_cast<std::int8_t*>(nullptr));
    case ColumnType::i16:
      return body(static_cast<std::int16_t*>(nullptr));
    case ColumnType::i32:
      return body(static_cast<std::int32_t*>(nullptr));
    case ColumnType::i64:
      return body(static_cast<std::int64_t*>(nullptr));
    case ColumnType::f16:
      return body(static_cast<Half*>(nullptr));
    case ColumnType::f32:
      return body(static_cast<float*>(nullptr));
    case ColumnType::f64:
      return body(static_cast<double*>(nullptr));
    case ColumnType::text:
      break;
  }
}

// A decoded field, of the kind its step says. Text views the window, or the field's reversed
// copy of it in a TextRoom. Made without initialising anything: a walk fills one per field.
struct FieldValue {
  FieldValue() {}
  union {
    std::uint64_t unsigned_value;
    std::int64_t signed_value;
    double real_value;
    DecodedText text;
  };
};
static_assert(std::is_trivially_destructible_v<FieldValue>);

// A value to pack, as the host converted it for the field's kind. Text views the host's storage.
struct NativeValue {
  union {
    std::uint64_t unsigned_value = 0;
    std::int64_t signed_value;
    double real_value;
  };
  StoredText text;
};

// What encoding a value produced: a numeric code, or encoded text.
struct Encoded {
  bool is_text = false;
  std::uint64_t code = 0;
  EncodedBytes text;
  ByteSpan bytes;  // the encoded text as one buffer (it views `text` or what it views)
};

// Room for the reversed copies of little-endian text windows, which decoded text views: it stays
// where it is until the room goes, so a walk can keep several fields' text at once. Cheap to make
// and to drop when no text needs it, as in most walks.
class TextRoom {
 public:
  TextRoom() {}
  TextRoom(const TextRoom&) = delete;
  TextRoom& operator=(const TextRoom&) = delete;
  ~TextRoom() {
    while (blocks_) blocks_ = std::move(blocks_->next);
  }
  std::uint8_t* take(std::size_t size);

 private:
  struct Block {
    std::unique_ptr<Block> next;
    std::unique_ptr<std::uint8_t[]> bytes;
  };
  std::uint8_t inline_[256];
  std::size_t used_ = 0;
  std::unique_ptr<Block> blocks_;
};

struct FieldStep;
using DecodeFunction = bool (*)(const FieldStep& step, const std::uint8_t* window, TextRoom& room,
                                FieldValue& out, Failure& failure);
using EncodeFunction = bool (*)(const FieldStep& step, const NativeValue& value, Encoded& out,
                                Failure& failure);
// One field in `count` packets of `stride` bytes, for a column function.
struct ColumnRun {
  const std::uint8_t* window = nullptr;  // the field's first byte in the first packet
  std::uint64_t stride = 0;
  std::uint64_t count = 0;
  // Bytes that may be read from the field's first byte in the last packet: at least the field's.
  std::uint64_t readable = 0;
  bool bit_exact = false;
  std::uint32_t shift = 0;  // bit-exact: the bits of the first byte before the field
};

// The decoded values of the run's packets as elements of the step's column type at `out`, each
// exactly what the field's decode step gives (a NaN made quiet, as the float decoders make it);
// the index of the first that fails (its failure in `failure`, as the decode step words it), or
// the count.
using ColumnFunction = std::uint64_t (*)(const FieldStep& step, const ColumnRun& run,
                                         std::uint8_t* out, Failure& failure);

// A field compiled for its steps.
struct FieldStep {
  const EncodingRow* row = nullptr;
  DecodeFunction decode = nullptr;
  EncodeFunction encode = nullptr;  // null when packing refuses the encoding
  ColumnFunction column = nullptr;  // compile_layout_step's; null for text
  std::uint64_t mask = 0;           // the low `bits` bits; all 64 from 64 bits up
  std::uint32_t bits = 0;
  std::uint32_t byte_count = 0;  // ceil(bits / 8)
  ByteOrder order = ByteOrder::big;
  bool reverse_bits = false;
  WindowAccess access = WindowAccess::general;
  ValueKind decoded = ValueKind::unsigned_integer;
  ValueKind packed = ValueKind::unsigned_integer;
  // compile_layout_step's: the column's element type; for bit-exact fields whether the field's
  // bits read from one 64-bit load are its value (big-endian, unmirrored, 1 to 64 bits) when the
  // load holds them; and the codec that decodes a number of the field, where it never fails.
  ColumnType column_type = ColumnType::text;
  bool word_bits = false;
  NumberCodec codec = NumberCodec::other;
};

// A field compiled for its steps: its window's reading and writing, and the decode and encode
// functions of its encoding's family.
FieldStep compile_step(const EncodingRow& row, std::uint32_t bits, ByteOrder order,
                       bool reverse_bits);

// What a compiled layout adds to a field's step, once per field (the packet functions, which
// compile every field on every call, do without): the column function of its encoding's codec
// and its column's element type, and whether a bit-exact field's bits can come from one 64-bit
// load (columns.cpp).
void compile_layout_step(FieldStep& step);

// The field value of a window, as field_value forms it; the common widths in one load.
std::uint64_t read_value(const FieldStep& step, const std::uint8_t* window);

// Decodes the field from its window; false with `failure` set.
bool decode(const FieldStep& step, const std::uint8_t* window, TextRoom& room, FieldValue& out,
            Failure& failure);

// Encodes a value of the step's packed kind; false with `failure` set. The step must have an
// encoder (packing refuses the others before converting their value).
bool encode(const FieldStep& step, const NativeValue& value, Encoded& out, Failure& failure);

// Writes what encode produced into the field's window from byte `first_byte` of `image`; bytes
// past `image_size` are dropped. A code is written in the field's byte order (mirrored within
// its width first when asked); text is cut at the end of the window.
void place(const FieldStep& step, const Encoded& encoded, std::uint8_t* image,
           std::uint64_t image_size, std::uint64_t first_byte);

// Bit-exact fields, at bits [shift, shift + bits) from `window` (shift below 8). `readable`: the
// bytes that may be read from `window`, at least the bit_span the field touches.

// The field value of the field's bits, as bit_field_value forms it.
std::uint64_t read_bits_value(const FieldStep& step, const std::uint8_t* window,
                              std::uint32_t shift, std::uint64_t readable);

// decode for a bit-exact field.
bool decode_bits(const FieldStep& step, const std::uint8_t* window, std::uint32_t shift,
                 std::uint64_t readable, TextRoom& room, FieldValue& out, Failure& failure);

// place for a bit-exact field: exactly the field's bits (a code) or its kept bytes (text).
void place_bits(const FieldStep& step, const Encoded& encoded, std::uint8_t* image,
                std::uint64_t image_size, std::uint64_t first_byte, std::uint32_t shift);

// ---------------------------------------------------------------------------------------------
// Inline: every walk runs these for every field.

namespace detail {

// The steps compile_step chooses from (field_step.cpp).
bool decode_unsigned(const FieldStep&, const std::uint8_t*, TextRoom&, FieldValue&, Failure&);
bool decode_number(const FieldStep&, const std::uint8_t*, TextRoom&, FieldValue&, Failure&);
bool decode_f128(const FieldStep&, const std::uint8_t*, TextRoom&, FieldValue&, Failure&);
bool decode_reserved(const FieldStep&, const std::uint8_t*, TextRoom&, FieldValue&, Failure&);
bool decode_text(const FieldStep&, const std::uint8_t*, TextRoom&, FieldValue&, Failure&);
bool encode_unsigned(const FieldStep&, const NativeValue&, Encoded&, Failure&);
bool encode_integer(const FieldStep&, const NativeValue&, Encoded&, Failure&);
bool encode_real(const FieldStep&, const NativeValue&, Encoded&, Failure&);
bool encode_text(const FieldStep&, const NativeValue&, Encoded&, Failure&);
bool number_from_value(const FieldStep&, std::uint64_t, FieldValue&, Failure&);
bool decode_bits_general(const FieldStep&, const std::uint8_t*, std::uint32_t, TextRoom&,
                         FieldValue&, Failure&);

inline std::uint64_t load_big64(const std::uint8_t* p) {
  std::uint64_t value;
  std::memcpy(&value, p, sizeof value);
  if constexpr (kHostIsLittleEndian) value = byteswap64(value);
  return value;
}

inline void store_big64(std::uint8_t* p, std::uint64_t value) {
  if constexpr (kHostIsLittleEndian) value = byteswap64(value);
  std::memcpy(p, &value, sizeof value);
}

template <class Unsigned>
Unsigned swap_bytes(Unsigned value) {
  if constexpr (sizeof(Unsigned) == 2) return byteswap16(value);
  if constexpr (sizeof(Unsigned) == 4) return byteswap32(value);
  if constexpr (sizeof(Unsigned) == 8) return byteswap64(value);
  return value;
}

// A value stored big-endian (kLittle false) or little-endian, loaded as a number.
template <class Unsigned, bool kLittle>
std::uint64_t load_ordered(const std::uint8_t* p) {
  Unsigned value;
  std::memcpy(&value, p, sizeof value);
  if constexpr (kLittle != kHostIsLittleEndian) value = swap_bytes(value);
  return value;
}

template <class Unsigned, bool kLittle>
void store_ordered(std::uint8_t* p, std::uint64_t code) {
  auto value = static_cast<Unsigned>(code);
  if constexpr (kLittle != kHostIsLittleEndian) value = swap_bytes(value);
  std::memcpy(p, &value, sizeof value);
}

inline WindowAccess access_of(std::uint32_t byte_count, ByteOrder order, bool reverse_bits) {
  if (reverse_bits) return WindowAccess::general;
  const bool little = order == ByteOrder::little;
  switch (byte_count) {
    case 1:
      return WindowAccess::big1;  // one byte reads the same in both orders
    case 2:
      return little ? WindowAccess::little2 : WindowAccess::big2;
    case 4:
      return little ? WindowAccess::little4 : WindowAccess::big4;
    case 8:
      return little ? WindowAccess::little8 : WindowAccess::big8;
    default:
      return WindowAccess::general;
  }
}

}  // namespace detail

inline FieldStep compile_step(const EncodingRow& row, std::uint32_t bits, ByteOrder order,
                              bool reverse_bits) {
  FieldStep step;
  step.row = &row;
  step.bits = bits;
  step.byte_count = static_cast<std::uint32_t>(window_byte_count(bits));
  step.mask = low_mask(bits);
  step.order = order;
  step.reverse_bits = reverse_bits;
  step.access = detail::access_of(step.byte_count, order, reverse_bits);
  // The one place that asks what the encoding's family needs.
  switch (row.family) {
    case Family::unsigned_integer:
      step.decode = detail::decode_unsigned;
      step.encode = detail::encode_unsigned;
      step.decoded = step.packed = ValueKind::unsigned_integer;
      break;
    case Family::signed_integer:
    case Family::decimal:
      step.decode = detail::decode_number;
      step.encode = detail::encode_integer;
      step.decoded = step.packed = ValueKind::signed_integer;
      break;
    case Family::binary_float:
      step.decode = detail::decode_number;
      step.encode = detail::encode_real;
      step.decoded = step.packed = ValueKind::real;
      break;
    case Family::binary_f128:
    case Family::reserved:
      step.decode = row.family == Family::reserved ? detail::decode_reserved : detail::decode_f128;
      step.decoded = ValueKind::real;
      step.packed = ValueKind::refused;
      break;
    case Family::text:
      step.decode = detail::decode_text;
      step.encode = detail::encode_text;
      step.decoded = step.packed = ValueKind::text;
      break;
  }
  return step;
}

inline std::uint64_t read_value(const FieldStep& step, const std::uint8_t* window) {
  switch (step.access) {
    case WindowAccess::big1:
      return window[0] & step.mask;
    case WindowAccess::big2:
      return detail::load_ordered<std::uint16_t, false>(window) & step.mask;
    case WindowAccess::big4:
      return detail::load_ordered<std::uint32_t, false>(window) & step.mask;
    case WindowAccess::big8:
      return detail::load_ordered<std::uint64_t, false>(window) & step.mask;
    case WindowAccess::little2:
      return detail::load_ordered<std::uint16_t, true>(window) & step.mask;
    case WindowAccess::little4:
      return detail::load_ordered<std::uint32_t, true>(window) & step.mask;
    case WindowAccess::little8:
      return detail::load_ordered<std::uint64_t, true>(window) & step.mask;
    case WindowAccess::general:
      break;
  }
  return field_value(window, step.byte_count, step.bits, step.order, step.reverse_bits);
}

// Unsigned fields, the most common by far, skip the call through the step's pointer.
inline bool decode(const FieldStep& step, const std::uint8_t* window, TextRoom& room,
                   FieldValue& out, Failure& failure) {
  if (step.decode == detail::decode_unsigned) {
    out.unsigned_value = read_value(step, window);
    return true;
  }
  return step.decode(step, window, room, out, failure);
}

inline bool encode(const FieldStep& step, const NativeValue& value, Encoded& out,
                   Failure& failure) {
  if (step.encode == detail::encode_unsigned) {
    if (step.bits < 64 && value.unsigned_value > step.mask) [[unlikely]] {
      return detail::encode_unsigned(step, value, out, failure);  // words the failure
    }
    out.is_text = false;
    out.code = value.unsigned_value;
    return true;
  }
  return step.encode(step, value, out, failure);
}

inline void place(const FieldStep& step, const Encoded& encoded, std::uint8_t* image,
                  std::uint64_t image_size, std::uint64_t first_byte) {
  if (encoded.is_text) {
    place_bytes(image, image_size, first_byte, encoded.bytes, step.bits, step.order);
    return;
  }
  const std::uint64_t code = encoded.code;
  // The common widths without place_code's loop when the window lies inside the image.
  if (first_byte + step.byte_count <= image_size) {
    std::uint8_t* out = image + first_byte;
    switch (step.access) {
      case WindowAccess::big1:
        out[0] = static_cast<std::uint8_t>(code);
        return;
      case WindowAccess::big2:
        return detail::store_ordered<std::uint16_t, false>(out, code);
      case WindowAccess::big4:
        return detail::store_ordered<std::uint32_t, false>(out, code);
      case WindowAccess::big8:
        return detail::store_ordered<std::uint64_t, false>(out, code);
      case WindowAccess::little2:
        return detail::store_ordered<std::uint16_t, true>(out, code);
      case WindowAccess::little4:
        return detail::store_ordered<std::uint32_t, true>(out, code);
      case WindowAccess::little8:
        return detail::store_ordered<std::uint64_t, true>(out, code);
      case WindowAccess::general:
        break;
    }
  }
  place_code(image, image_size, first_byte, code, step.bits, step.order, step.reverse_bits);
}

// The code of a value that encodes without a failure in the simplest way, computed here as the
// step's encoder computes it: an unsigned value within the width, a two's complement one within
// its range. False for every other value and field, which go through encode (and its wording of
// a failure).
inline bool quick_code(const FieldStep& step, const NativeValue& value, std::uint64_t& code) {
  if (step.decode == detail::decode_unsigned) {
    code = value.unsigned_value;
    return step.bits >= 64 || code <= step.mask;
  }
  if (step.codec == NumberCodec::twos_complement && step.bits - 1u < 64u) {
    const std::uint64_t half = std::uint64_t{1} << (step.bits - 1);
    code = static_cast<std::uint64_t>(value.signed_value);
    // In range when value + half lies in [0, 2 * half), in wrapping arithmetic.
    if (step.bits < 64 && code + half > step.mask) return false;
    code &= step.mask;
    return true;
  }
  return false;
}

// Writes the low bits of `code` (the field's width of them, `mask`) into the 64-bit word from
// `word`, `below` bits above its last bit, keeping its other bits.
inline void store_word(std::uint8_t* word, std::uint32_t below, std::uint64_t mask,
                       std::uint64_t code) {
  const std::uint64_t placed = mask << below;
  const std::uint64_t old = detail::load_big64(word);
  detail::store_big64(word, (old & ~placed) | ((code << below) & placed));
}

inline std::uint64_t read_bits_value(const FieldStep& step, const std::uint8_t* window,
                                     std::uint32_t shift, std::uint64_t readable) {
  if (step.word_bits && shift + step.bits <= 64 && readable >= 8) {
    return (detail::load_big64(window) << shift) >> (64 - step.bits);
  }
  return bit_field_value(window, shift, step.bits, step.order, step.reverse_bits);
}

inline bool decode_bits(const FieldStep& step, const std::uint8_t* window, std::uint32_t shift,
                        std::uint64_t readable, TextRoom& room, FieldValue& out, Failure& failure) {
  if (step.decode == detail::decode_unsigned) {
    out.unsigned_value = read_bits_value(step, window, shift, readable);
    return true;
  }
  if (step.decode == detail::decode_number) {
    const std::uint64_t raw = read_bits_value(step, window, shift, readable);
    // The codecs that never fail, called directly.
    switch (step.codec) {
      case NumberCodec::twos_complement:
        out.signed_value = decoder::decode_twos_complement(raw, step.bits);
        return true;
      case NumberCodec::ones_complement:
        out.signed_value = decoder::decode_ones_complement(raw, step.bits);
        return true;
      case NumberCodec::sign_magnitude:
        out.signed_value = decoder::decode_sign_magnitude(raw, step.bits);
        return true;
      case NumberCodec::half:
        out.real_value = decoder::decode_ieee754_f16(raw);
        return true;
      case NumberCodec::single:
        out.real_value = decoder::decode_ieee754_f32(raw);
        return true;
      case NumberCodec::double_:
        out.real_value = decoder::decode_ieee754_f64(raw);
        return true;
      case NumberCodec::other:
        break;
    }
    return detail::number_from_value(step, raw, out, failure);
  }
  return detail::decode_bits_general(step, window, shift, room, out, failure);
}

// `room`: the bytes from `image` that may be read and written back as they were, at least
// `image_size`; a field's bits beyond `image_size` are dropped all the same.
inline void place_bits(const FieldStep& step, const Encoded& encoded, std::uint8_t* image,
                       std::uint64_t image_size, std::uint64_t first_byte, std::uint32_t shift,
                       std::uint64_t room) {
  if (encoded.is_text) {
    place_bit_bytes(image, image_size, first_byte, shift, encoded.bytes, step.bits, step.order);
    return;
  }
  // One load and one store when the field's bits lie inside the image and the word inside the
  // room.
  if (step.word_bits && shift + step.bits <= 64 && first_byte + 8 <= room &&
      8 * first_byte + shift + step.bits <= 8 * image_size) {
    std::uint8_t* out = image + first_byte;
    const std::uint32_t below = 64 - shift - step.bits;
    const std::uint64_t mask = step.mask << below;
    const std::uint64_t word = detail::load_big64(out);
    detail::store_big64(out, (word & ~mask) | ((encoded.code << below) & mask));
    return;
  }
  place_bit_code(image, image_size, first_byte, shift, encoded.code, step.bits, step.order,
                 step.reverse_bits);
}

}  // namespace fieldpack::core
