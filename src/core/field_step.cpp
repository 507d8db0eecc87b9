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

bool decode_number(const FieldStep& step, const std::uint8_t* window, TextRoom&, FieldValue& out,
                   Failure& failure) {
  Result<Number> number = step.row->decode_number(read_value(step, window), step.bits);
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

// ---------------------------------------------------------------------------------------------
// Columns

namespace {

template <WindowAccess kAccess>
struct Access;
template <>
struct Access<WindowAccess::big1> {
  using Element = std::uint8_t;
  static std::uint64_t read(const std::uint8_t* p) { return p[0]; }
};
template <>
struct Access<WindowAccess::big2> {
  using Element = std::uint16_t;
  static std::uint64_t read(const std::uint8_t* p) { return load_ordered<std::uint16_t, false>(p); }
};
template <>
struct Access<WindowAccess::big4> {
  using Element = std::uint32_t;
  static std::uint64_t read(const std::uint8_t* p) { return load_ordered<std::uint32_t, false>(p); }
};
template <>
struct Access<WindowAccess::big8> {
  using Element = std::uint64_t;
  static std::uint64_t read(const std::uint8_t* p) { return load_ordered<std::uint64_t, false>(p); }
};
template <>
struct Access<WindowAccess::little2> {
  using Element = std::uint16_t;
  static std::uint64_t read(const std::uint8_t* p) { return load_ordered<std::uint16_t, true>(p); }
};
template <>
struct Access<WindowAccess::little4> {
  using Element = std::uint32_t;
  static std::uint64_t read(const std::uint8_t* p) { return load_ordered<std::uint32_t, true>(p); }
};
template <>
struct Access<WindowAccess::little8> {
  using Element = std::uint64_t;
  static std::uint64_t read(const std::uint8_t* p) { return load_ordered<std::uint64_t, true>(p); }
};

template <WindowAccess kAccess>
void unsigned_loads(const FieldStep& step, const std::uint8_t* window, std::uint64_t stride,
                    std::uint64_t n, std::uint8_t* out) {
  using Element = typename Access<kAccess>::Element;
  auto* values = reinterpret_cast<Element*>(out);
  const std::uint64_t mask = step.mask;
  for (std::uint64_t i = 0; i < n; ++i, window += stride) {
    values[i] = static_cast<Element>(Access<kAccess>::read(window) & mask);
  }
}

}  // namespace

std::uint64_t column_unsigned(const FieldStep& step, const std::uint8_t* window,
                              std::uint64_t stride, std::uint64_t n, std::uint8_t* out, Failure&) {
  switch (step.access) {
    case WindowAccess::big1:
      unsigned_loads<WindowAccess::big1>(step, window, stride, n, out);
      return n;
    case WindowAccess::big2:
      unsigned_loads<WindowAccess::big2>(step, window, stride, n, out);
      return n;
    case WindowAccess::big4:
      unsigned_loads<WindowAccess::big4>(step, window, stride, n, out);
      return n;
    case WindowAccess::big8:
      unsigned_loads<WindowAccess::big8>(step, window, stride, n, out);
      return n;
    case WindowAccess::little2:
      unsigned_loads<WindowAccess::little2>(step, window, stride, n, out);
      return n;
    case WindowAccess::little4:
      unsigned_loads<WindowAccess::little4>(step, window, stride, n, out);
      return n;
    case WindowAccess::little8:
      unsigned_loads<WindowAccess::little8>(step, window, stride, n, out);
      return n;
    case WindowAccess::general:
      break;
  }
  with_element(step.column_type, [&](auto* element) {
    using Element = std::remove_pointer_t<decltype(element)>;
    auto* values = reinterpret_cast<Element*>(out);
    for (std::uint64_t i = 0; i < n; ++i, window += stride) {
      values[i] = static_cast<Element>(read_value(step, window));
    }
  });
  return n;
}

// Any numeric field, value by value through its decode step.
std::uint64_t column_by_step(const FieldStep& step, const std::uint8_t* window,
                             std::uint64_t stride, std::uint64_t n, std::uint8_t* out,
                             Failure& failure) {
  std::uint64_t done = n;
  with_element(step.column_type, [&](auto* element) {
    using Element = std::remove_pointer_t<decltype(element)>;
    auto* values = reinterpret_cast<Element*>(out);
    TextRoom unused;
    FieldValue value;
    for (std::uint64_t i = 0; i < n; ++i, window += stride) {
      if (!step.decode(step, window, unused, value, failure)) {
        done = i;
        return;
      }
      if constexpr (std::is_floating_point_v<Element>) {
        values[i] = value.real_value;
      } else {
        values[i] = static_cast<Element>(value.signed_value);
      }
    }
  });
  return done;
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
