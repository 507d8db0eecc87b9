// The recipe walk of unpack_parameters: read each field definition, cut its window, convert it
// with the pure codecs, store it.
#include "unpack_engine.hpp"

#include <stdexcept>
#include <string>
#include <vector>

#include "../boundary.hpp"
#include "decoder.hpp"
#include "field_window.hpp"

namespace fieldpack::decoder {

namespace {

Failure window_past_end(const FieldDefinition& field, std::uint64_t first_byte,
                        std::uint64_t byte_count, std::size_t packet_size) {
  std::string message = "Field '";
  message += field.name_text();
  message += "' needs ";
  append_decimal(message, byte_count);
  message += byte_count == 1 ? " byte from byte " : " bytes from byte ";
  append_decimal(message, first_byte);
  message += ", but the packet is ";
  append_decimal(message, packet_size);
  message += packet_size == 1 ? " byte long" : " bytes long";
  return value_error(std::move(message));
}

Failure f128_too_wide() {
  return value_error(
      "IEEE 754 f128 requires special handling for >64 bits (not yet implemented in "
      "process_recipe)");
}

template <class T>
bool to_object(Result<T>&& result, PyObject*& object, EngineError& error) {
  if (!result.ok()) {
    error = std::move(result.failure());
    return false;
  }
  object = to_python(std::move(result.value()));
  return true;
}

template <class T>
bool to_object(T&& value, PyObject*& object, EngineError&) {
  object = to_python(std::forward<T>(value));
  return true;
}

// The byte buffer of a text field: the window itself for "big", a reversed copy for "little".
class ByteBuffer {
 public:
  ByteBuffer(const std::uint8_t* window, std::uint64_t byte_count, bool little) {
    const std::size_t size = static_cast<std::size_t>(byte_count);
    if (!little) {
      view_ = ByteSpan(window, size);
      return;
    }
    std::uint8_t* out = size <= sizeof small_ ? small_ : (large_.resize(size), large_.data());
    for (std::size_t k = 0; k < size; ++k) out[k] = window[size - 1 - k];
    view_ = ByteSpan(out, size);
  }
  ByteSpan view() const { return view_; }

 private:
  std::uint8_t small_[64];
  std::vector<std::uint8_t> large_;
  ByteSpan view_;
};

bool decode_text(Encoding encoding, ByteSpan bytes, PyObject*& object, EngineError& error) {
  switch (encoding) {
    case Encoding::utf8: return to_object(decode_utf8(bytes), object, error);
    case Encoding::utf16: return to_object(decode_utf16(bytes), object, error);
    case Encoding::utf16le: return to_object(decode_utf16le(bytes), object, error);
    case Encoding::utf16be: return to_object(decode_utf16be(bytes), object, error);
    case Encoding::utf32: return to_object(decode_utf32(bytes), object, error);
    case Encoding::utf32le: return to_object(decode_utf32le(bytes), object, error);
    case Encoding::utf32be: return to_object(decode_utf32be(bytes), object, error);
    case Encoding::us_ascii: return to_object(decode_us_ascii(bytes), object, error);
    case Encoding::iso_8859_1: return to_object(decode_iso_8859_1(bytes), object, error);
    case Encoding::windows_1252: return to_object(decode_windows_1252(bytes), object, error);
    default: break;
  }
  throw std::logic_error("text decoding reached with a non-text encoding");
}

// Converts a field by its encoding. `object` is the new value, or nullptr with a Python error
// pending when the host failed to make it.
bool convert_field(const FieldDefinition& field, Encoding encoding, std::uint64_t value,
                   const std::uint8_t* window, std::uint64_t byte_count, bool little,
                   PyObject*& object, EngineError& error) {
  const std::uint32_t bits = field.bits;
  switch (encoding) {
    case Encoding::unsigned_integer: return to_object(value, object, error);
    case Encoding::sign_magnitude:
      return to_object(decode_sign_magnitude(value, bits), object, error);
    case Encoding::ones_complement:
      return to_object(decode_ones_complement(value, bits), object, error);
    case Encoding::twos_complement:
      return to_object(decode_twos_complement(value, bits), object, error);
    case Encoding::packed_bcd: return to_object(decode_packed_bcd(value, bits, false), object, error);
    case Encoding::packed_bcd_signed:
      return to_object(decode_packed_bcd(value, bits, true), object, error);
    case Encoding::unpacked_bcd:
      return to_object(decode_unpacked_bcd(value, bits, false), object, error);
    case Encoding::unpacked_bcd_signed:
      return to_object(decode_unpacked_bcd(value, bits, true), object, error);
    case Encoding::ieee754_f16: return to_object(decode_ieee754_f16(value), object, error);
    case Encoding::ieee754_f32: return to_object(decode_ieee754_f32(value), object, error);
    case Encoding::ieee754_f64: return to_object(decode_ieee754_f64(value), object, error);
    case Encoding::ieee754_f128:
      // The field value zero-extended to 128 bits has a zero exponent: it is +0.0 whatever the
      // field holds. Wider fields would need the full pattern.
      if (bits > 64) {
        error = f128_too_wide();
        return false;
      }
      return to_object(0.0, object, error);
    case Encoding::ieee754_1985_f32: error = decode_ieee754_1985_f32(value); return false;
    case Encoding::ieee754_1985_f64: error = decode_ieee754_1985_f64(value); return false;
    case Encoding::ieee754_1985_f80: error = decode_ieee754_1985_f80(value); return false;
    case Encoding::mil_std_1750a_f32: error = decode_mil_std_1750a_f32(value); return false;
    case Encoding::mil_std_1750a_f48: error = decode_mil_std_1750a_f48(value); return false;
    case Encoding::dec_f32: error = decode_dec_f32(value); return false;
    case Encoding::dec_f64: error = decode_dec_f64(value); return false;
    case Encoding::ibm_f32: error = decode_ibm_f32(value); return false;
    case Encoding::ibm_f64: error = decode_ibm_f64(value); return false;
    case Encoding::ti_f32: error = decode_ti_f32(value); return false;
    case Encoding::ti_f40: error = decode_ti_f40(value); return false;
    case Encoding::unknown: error = unsupported_encoding(field); return false;
    default: {
      const ByteBuffer buffer(window, byte_count, little);
      return decode_text(encoding, buffer.view(), object, error);
    }
  }
}

}  // namespace

EngineResult<PyRef> process_recipe(ByteSpan packet, std::uint32_t offset_bits,
                                   const SequenceItems& recipe) {
  PyRef result = PyRef::steal(PyDict_New());
  if (!result) return EngineError{take_host_error()};
  EngineError error;
  RecipeReader reader;
  std::uint64_t position = offset_bits;
  const Py_ssize_t count = recipe.size();
  for (Py_ssize_t i = 0; i < count; ++i) {
    FieldDefinition field;
    if (!reader.read(recipe[i], field, error)) return error;

    // 64-bit positions: a start or end past the largest 32-bit position is refused rather than
    // wrapped onto the wrong bytes.
    const std::uint64_t start =
        field.has_offset ? std::uint64_t{offset_bits} + field.offset_bits : position;
    const std::uint64_t end = start + field.bits;
    if (end > kLargestBitPosition) return EngineError{position_out_of_range(field.name_text(), end)};
    const std::uint64_t first_byte = start / 8;
    const std::uint64_t byte_count = (std::uint64_t{field.bits} + 7) / 8;
    if (first_byte + byte_count > packet.size()) {
      return EngineError{window_past_end(field, first_byte, byte_count, packet.size())};
    }

    ByteOrder order;
    if (!reader.byte_order(field, order, error)) return error;
    const bool little = order == ByteOrder::little;
    const std::uint8_t* window = packet.data() + first_byte;
    const std::uint64_t value =
        field_value(window, byte_count, little, field.bits, field.reverse_bits);

    Encoding encoding;
    if (!reader.encoding(field, encoding, error)) return error;
    PyObject* object = nullptr;
    if (!convert_field(field, encoding, value, window, byte_count, little, object, error)) {
      return error;
    }
    PyRef decoded = PyRef::steal(object);
    if (!decoded) return EngineError{take_host_error()};
    PyRef key = name_key(field);
    if (!key || PyDict_SetItem(result.get(), key.get(), decoded.get()) < 0) {
      return EngineError{take_host_error()};
    }
    position = end;
  }
  return result;
}

}  // namespace fieldpack::decoder
