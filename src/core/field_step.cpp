// The field steps: compiling a field, reading and writing its window, and the decode, encode and
// column functions that compile_step chooses by the encoding's family.
#include "core/field_step.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "common/bits.hpp"
#include "core/messages.hpp"
#include "encoder/codecs/text_codecs.hpp"

namespace fieldpack::core {

namespace detail {

// ---------------------------------------------------------------------------------------------
// Decoding

bool decode_unsigned(const FieldStep& step, const std::uint8_t* window, TextRoom&, FieldValue& out,
                     Failure&) {
  out.unsigned_value = read_value(step, window);
  return true;
}

bool number_from_value(const FieldStep& step, std::uint64_t raw, FieldValue& out,
                       Failure& failure) {
  Result<Number> number = step.row->decode_number(raw, step.bits);
  if (!number.ok()) {
    failure = std::move(number.failure());
    return false;
  }
  // The row's codecs give signed integers or reals, as the step's kind says.
  if (number.value().kind == Number::Kind::real) {
    out.real_value = number.value().real_value;
  } else {
    out.signed_value = number.value().signed_value;
  }
  return true;
}

bool decode_number(const FieldStep& step, const std::uint8_t* window, TextRoom&, FieldValue& out,
                   Failure& failure) {
  return number_from_value(step, read_value(step, window), out, failure);
}

bool decode_f128(const FieldStep& step, const std::uint8_t*, TextRoom&, FieldValue& out,
                 Failure& failure) {
  // The field value zero-extended to 128 bits has a zero exponent: it is +0.0 whatever the field
  // holds. Wider fields would need the full pattern.
  if (step.bits > 64) {
    failure = f128_too_wide();
    return false;
  }
  out.real_value = 0.0;
  return true;
}

bool decode_reserved(const FieldStep& step, const std::uint8_t*, TextRoom&, FieldValue&,
                     Failure& failure) {
  failure = decoder::reserved_format(step.row->label);
  return false;
}

bool decode_text(const FieldStep& step, const std::uint8_t* window, TextRoom& room, FieldValue& out,
                 Failure& failure) {
  ByteSpan buffer(window, step.byte_count);
  if (step.order == ByteOrder::little) {
    std::uint8_t* reversed = room.take(step.byte_count);
    for (std::size_t k = 0; k < step.byte_count; ++k) reversed[k] = window[step.byte_count - 1 - k];
    buffer = ByteSpan(reversed, step.byte_count);
  }
  Result<DecodedText> text = step.row->decode_text(buffer);
  if (!text.ok()) {
    failure = std::move(text.failure());
    return false;
  }
  out.text = std::move(text.value());
  return true;
}

// The bit-exact fields that are neither unsigned nor read by a number codec: text, whose whole
// bytes are decoded where they are when they start a byte and from an aligned copy otherwise,
// and the encodings that read no bits (f128, reserved).
bool decode_bits_general(const FieldStep& step, const std::uint8_t* window, std::uint32_t shift,
                         TextRoom& room, FieldValue& out, Failure& failure) {
  if (step.decoded != ValueKind::text || shift == 0) {
    return step.decode(step, window, room, out, failure);
  }
  std::uint8_t* aligned = room.take(step.byte_count);
  for (std::uint32_t k = 0; k < step.byte_count; ++k) {
    aligned[k] = static_cast<std::uint8_t>(load_bits(window, shift + 8u * k, 8));
  }
  return step.decode(step, aligned, room, out, failure);
}

// ---------------------------------------------------------------------------------------------
// Encoding

bool encode_unsigned(const FieldStep& step, const NativeValue& value, Encoded& out,
                     Failure& failure) {
  if (step.bits < 64 && value.unsigned_value > step.mask) {
    failure = too_large_for_bits("Value ", value.unsigned_value, " is too large for ", step.bits);
    return false;
  }
  out.is_text = false;
  out.code = value.unsigned_value;
  return true;
}

bool encode_integer(const FieldStep& step, const NativeValue& value, Encoded& out,
                    Failure& failure) {
  Result<std::uint64_t> code = step.row->encode_integer(value.signed_value, step.bits);
  if (!code.ok()) {
    failure = std::move(code.failure());
    return false;
  }
  out.is_text = false;
  out.code = code.value();
  return true;
}

bool encode_real(const FieldStep& step, const NativeValue& value, Encoded& out, Failure&) {
  out.is_text = false;
  out.code = step.row->encode_real(value.real_value);
  return true;
}

bool encode_text(const FieldStep& step, const NativeValue& value, Encoded& out, Failure& failure) {
  Result<EncodedBytes> encoded = step.row->encode_text(value.text);
  if (!encoded.ok()) {
    failure = std::move(encoded.failure());
    return false;
  }
  out.is_text = true;
  out.text = std::move(encoded.value());
  out.bytes = encoder::as_bytes(out.text);
  return true;
}

}  // namespace detail

std::uint8_t* TextRoom::take(std::size_t size) {
  if (size <= sizeof inline_ - used_) {
    std::uint8_t* room = inline_ + used_;
    used_ += size;
    return room;
  }
  auto block = std::make_unique<Block>();
  block->bytes = std::make_unique<std::uint8_t[]>(size);
  block->next = std::move(blocks_);
  blocks_ = std::move(block);
  return blocks_->bytes.get();
}

}  // namespace fieldpack::core
