// The recipe walks of pack_parameters: size the packet, then convert each value with the pure
// codecs and place its bytes.
#include "pack_engine.hpp"

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "../boundary.hpp"
#include "../conversions.hpp"
#include "encoder.hpp"
#include "field_window.hpp"

namespace fieldpack::encoder {

namespace {

// A field's converted value: a numeric code, or encoded text.
struct FieldBytes {
  bool is_text = false;
  std::uint64_t code = 0;
  EncodedBytes text;
};

Failure missing_value(const FieldDefinition& field) {
  std::string message = "Missing value for parameter: '";
  message += field.name_text();
  message += '\'';
  return Failure{ErrorKind::key_error, std::move(message)};
}

Failure too_large(std::uint64_t value, std::uint32_t bits) {
  std::string message = "Value ";
  append_decimal(message, value);
  message += " is too large for ";
  append_decimal(message, bits);
  message += " bits";
  return value_error(std::move(message));
}

template <class Native>
bool convert_value(bool (*convert)(PyObject*, Native&), PyObject* object, Native& out,
                   EngineError& error) {
  if (convert(object, out)) return true;
  error = take_host_error();
  return false;
}

bool take_code(Result<std::uint64_t>&& result, FieldBytes& out, EngineError& error) {
  if (!result.ok()) {
    error = std::move(result.failure());
    return false;
  }
  out.code = result.value();
  return true;
}

bool take_text(Result<EncodedBytes>&& result, FieldBytes& out, EngineError& error) {
  if (!result.ok()) {
    error = std::move(result.failure());
    return false;
  }
  out.is_text = true;
  out.text = std::move(result.value());
  return true;
}

bool take_text(EncodedBytes&& bytes, FieldBytes& out, EngineError&) {
  out.is_text = true;
  out.text = std::move(bytes);
  return true;
}

bool encode_signed(Encoding encoding, PyObject* object, std::uint32_t bits, FieldBytes& out,
                   EngineError& error) {
  std::int64_t value = 0;
  if (!convert_value(convert_i64, object, value, error)) return false;
  switch (encoding) {
    case Encoding::sign_magnitude: return take_code(encode_sign_magnitude(value, bits), out, error);
    case Encoding::ones_complement:
      return take_code(encode_ones_complement(value, bits), out, error);
    case Encoding::twos_complement:
      return take_code(encode_twos_complement(value, bits), out, error);
    case Encoding::packed_bcd: return take_code(encode_packed_bcd(value, bits, false), out, error);
    case Encoding::packed_bcd_signed:
      return take_code(encode_packed_bcd(value, bits, true), out, error);
    case Encoding::unpacked_bcd:
      return take_code(encode_unpacked_bcd(value, bits, false), out, error);
    case Encoding::unpacked_bcd_signed:
      return take_code(encode_unpacked_bcd(value, bits, true), out, error);
    default: throw std::logic_error("integer encoding expected");
  }
}

bool encode_text(Encoding encoding, PyObject* object, FieldBytes& out, EngineError& error) {
  TextView text;
  if (!convert_value(convert_text, object, text, error)) return false;
  switch (encoding) {
    case Encoding::utf8: return take_text(encode_utf8(text), out, error);
    case Encoding::utf16: return take_text(encode_utf16(text), out, error);
    case Encoding::utf16le: return take_text(encode_utf16le(text), out, error);
    case Encoding::utf16be: return take_text(encode_utf16be(text), out, error);
    case Encoding::utf32: return take_text(encode_utf32(text), out, error);
    case Encoding::utf32le: return take_text(encode_utf32le(text), out, error);
    case Encoding::utf32be: return take_text(encode_utf32be(text), out, error);
    case Encoding::us_ascii: return take_text(encode_us_ascii(text), out, error);
    case Encoding::iso_8859_1: return take_text(encode_iso_8859_1(text), out, error);
    case Encoding::windows_1252: return take_text(encode_windows_1252(text), out, error);
    default: throw std::logic_error("text encoding expected");
  }
}

// Converts the value by the field's encoding. Packing knows no reserved format and no f128.
bool encode_field_value(const FieldDefinition& field, Encoding encoding, PyObject* object,
                        FieldBytes& out, EngineError& error) {
  switch (encoding) {
    case Encoding::unsigned_integer: {
      std::uint64_t value = 0;
      if (!convert_value(convert_u64, object, value, error)) return false;
      if (field.bits < 64 && value > low_mask(field.bits)) {
        error = too_large(value, field.bits);
        return false;
      }
      out.code = value;
      return true;
    }
    case Encoding::sign_magnitude:
    case Encoding::ones_complement:
    case Encoding::twos_complement:
    case Encoding::packed_bcd:
    case Encoding::packed_bcd_signed:
    case Encoding::unpacked_bcd:
    case Encoding::unpacked_bcd_signed:
      return encode_signed(encoding, object, field.bits, out, error);
    case Encoding::ieee754_f16:
    case Encoding::ieee754_f32: {
      float value = 0;
      if (!convert_value(convert_single, object, value, error)) return false;
      out.code = encoding == Encoding::ieee754_f16 ? encode_ieee754_f16(value)
                                                   : encode_ieee754_f32(value);
      return true;
    }
    case Encoding::ieee754_f64: {
      double value = 0;
      if (!convert_value(convert_double, object, value, error)) return false;
      out.code = encode_ieee754_f64(value);
      return true;
    }
    case Encoding::utf8:
    case Encoding::utf16:
    case Encoding::utf16le:
    case Encoding::utf16be:
    case Encoding::utf32:
    case Encoding::utf32le:
    case Encoding::utf32be:
    case Encoding::us_ascii:
    case Encoding::iso_8859_1:
    case Encoding::windows_1252:
      return encode_text(encoding, object, out, error);
    default:
      error = unsupported_encoding(field);
      return false;
  }
}

// Converting these runs no Python code. Absent (null) counts as plain.
bool is_plain(PyObject* object) {
  return !object || PyLong_CheckExact(object) || PyBool_Check(object) ||
         PyFloat_CheckExact(object) || PyUnicode_Check(object);
}

}  // namespace

EngineResult<PyRef> build_packet(const SequenceItems& entries, PyObject* values) {
  const Py_ssize_t count = entries.size();
  EngineError error;
  RecipeReader reader;

  // Sizing walk: only "bits" and "offset_bits", so every entry's extent is checked before any
  // entry's other keys. A field without an offset starts at the largest end so far.
  // The placement walk reads each entry again. While nothing but exact built-in values has been
  // converted, no Python code has run and the entries are as the sizing walk left them, so the
  // values it found are used instead of searching each entry a second time.
  std::vector<RecipeReader::Kept> kept(static_cast<std::size_t>(count));
  bool entries_unchanged = true;
  std::uint64_t largest_end = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    std::uint32_t bits = 0, offset_bits = 0;
    bool has_offset = false;
    RecipeReader::Kept& keep = kept[static_cast<std::size_t>(i)];
    if (!reader.read_extent(entries[i], bits, has_offset, offset_bits, error,
                            &keep)) {
      return error;
    }
    entries_unchanged = entries_unchanged && is_plain(keep.value[2].get()) &&
                        is_plain(keep.value[5].get());
    const std::uint64_t start = has_offset ? offset_bits : largest_end;
    const std::uint64_t end = start + bits;
    if (end > kLargestBitPosition) {
      const std::string name = entry_name(entries[i], static_cast<std::size_t>(i));
      return EngineError{position_out_of_range(name, end)};
    }
    if (end > largest_end) largest_end = end;
  }
  const std::uint64_t packet_size = (largest_end + 7) / 8;
  PyRef packet = PyRef::steal(
      PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(packet_size)));
  if (!packet) return EngineError{take_host_error()};
  auto* bytes = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(packet.get()));
  std::memset(bytes, 0, static_cast<std::size_t>(packet_size));
  if (count == 0) return packet;

  // Placement walk: a field without an offset follows the previous field's end.
  std::uint64_t cursor = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    FieldDefinition field;
    PyObject* entry = entries[i];
    const RecipeReader::Kept& keep = kept[static_cast<std::size_t>(i)];
    if (!(entries_unchanged ? reader.read_kept(entry, keep, field, error)
                            : reader.read(entry, field, error))) {
      return error;
    }
    entries_unchanged = entries_unchanged && is_plain(keep.value[4].get()) &&
                        is_plain(keep.value[2].get()) && is_plain(keep.value[5].get());
    const std::uint64_t start = field.has_offset ? field.offset_bits : cursor;
    const std::uint64_t end = start + field.bits;
    // Checked again: the entries are read afresh and a value's __index__ may answer differently.
    if (end > kLargestBitPosition) return EngineError{position_out_of_range(field.name_text(), end)};

    PyRef key = name_key(field);
    if (!key) return EngineError{take_host_error()};
    PyRef value;
    if (!dict_lookup(values, key.get(), value)) return EngineError{take_host_error()};
    if (!value) return EngineError{missing_value(field)};
    entries_unchanged = entries_unchanged && is_plain(value.get());

    Encoding encoding;
    if (!reader.encoding(field, encoding, error)) return error;
    FieldBytes field_bytes;
    if (!encode_field_value(field, encoding, value.get(), field_bytes, error)) return error;
    ByteOrder order;
    if (!reader.byte_order(field, order, error)) return error;

    const bool little = order == ByteOrder::little;
    if (field_bytes.is_text) {
      place_bytes(bytes, packet_size, start / 8, field.bits, as_bytes(field_bytes.text), little);
    } else {
      place_code(bytes, packet_size, start / 8, field.bits, field_bytes.code, field.reverse_bits,
                 little);
    }
    cursor = end;
  }
  return packet;
}

}  // namespace fieldpack::encoder
