// The recipe walks of pack_parameters: size the packet, then convert each value with the codecs
// its encoding's row names and place its bytes.
#include "encoder/pack_engine.hpp"

#include <cstring>
#include <string>

#include "common/encodings.hpp"
#include "common/field_window.hpp"
#include "recipe.hpp"

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

template <class Native>
EngineResult<Native> convert_value(bool (*convert)(PyObject*, Native&), PyObject* object) {
  Native out{};
  if (convert(object, out)) return out;
  return host_error();
}

EngineResult<FieldBytes> code_bytes(Result<std::uint64_t>&& code) {
  if (!code.ok()) return EngineError{std::move(code.failure())};
  return FieldBytes{false, code.value(), {}};
}

// The value converted by its encoding's row. Packing knows no reserved format and no f128.
EngineResult<FieldBytes> encode_field(const FieldDefinition& field, const EncodingRow* row,
                                      PyObject* object) {
  if (!row || !packable(*row)) return EngineError{unsupported_encoding(field)};
  switch (row->family) {
    case Family::unsigned_integer: {
      EngineResult<std::uint64_t> value = convert_value(convert_u64, object);
      if (!value.ok()) return std::move(value.failure());
      if (field.bits < 64 && value.value() > low_mask(field.bits)) {
        return EngineError{
            too_large_for_bits("Value ", value.value(), " is too large for ", field.bits)};
      }
      return FieldBytes{false, value.value(), {}};
    }
    case Family::signed_integer:
    case Family::decimal: {
      EngineResult<std::int64_t> value = convert_value(convert_i64, object);
      if (!value.ok()) return std::move(value.failure());
      return code_bytes(row->encode_integer(value.value(), field.bits));
    }
    case Family::binary_float: {
      EngineResult<double> value = convert_value(convert_double, object);
      if (!value.ok()) return std::move(value.failure());
      return FieldBytes{false, row->encode_real(value.value()), {}};
    }
    case Family::text: {
      EngineResult<StoredText> text = convert_value(convert_stored_text, object);
      if (!text.ok()) return std::move(text.failure());
      Result<EncodedBytes> encoded = row->encode_text(text.value());
      if (!encoded.ok()) return EngineError{std::move(encoded.failure())};
      return FieldBytes{true, 0, std::move(encoded.value())};
    }
    case Family::binary_f128:
    case Family::reserved:
      break;
  }
  return EngineError{unsupported_encoding(field)};
}

}  // namespace

EngineResult<PyRef> build_packet(const SequenceItems& entries, PyObject* values) {
  const Py_ssize_t count = entries.size();
  RecipeReader reader;

  // Sizing walk: only "bits" and "offset_bits", so every entry's extent is checked before any
  // entry's other keys. A field without an offset starts at the largest end so far.
  std::uint64_t largest_end = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    EngineResult<Extent> extent = reader.read_extent(entries[i]);
    if (!extent.ok()) return std::move(extent.failure());
    const std::uint64_t start =
        extent.value().has_offset ? extent.value().offset_bits : largest_end;
    const std::uint64_t end = start + extent.value().bits;
    if (end > kLargestBitPosition) {
      const std::string name = entry_name(entries[i], static_cast<std::size_t>(i));
      return EngineError{position_out_of_range(name, end)};
    }
    if (end > largest_end) largest_end = end;
  }
  const std::uint64_t packet_size = (largest_end + 7) / 8;
  PyRef packet =
      PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(packet_size)));
  if (!packet) return host_error();
  auto* bytes = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(packet.get()));
  std::memset(bytes, 0, static_cast<std::size_t>(packet_size));
  if (count == 0) return packet;

  // Placement walk: every entry is read again, as it stands now; a field without an offset
  // follows the previous field's end.
  std::uint64_t cursor = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    EngineResult<FieldDefinition> read = reader.read(entries[i]);
    if (!read.ok()) return std::move(read.failure());
    const FieldDefinition& field = read.value();
    const std::uint64_t start = field.has_offset ? field.offset_bits : cursor;
    const std::uint64_t end = start + field.bits;
    // Checked again: an __index__ may answer differently the second time.
    if (end > kLargestBitPosition) {
      return EngineError{position_out_of_range(field.name_text(), end)};
    }

    PyRef key = name_key(field);
    if (!key) return host_error();
    PyRef value;
    if (!dict_lookup(values, key.get(), value)) return host_error();
    if (!value) return EngineError{missing_value(field)};

    EngineResult<const EncodingRow*> row = reader.encoding(field);
    if (!row.ok()) return std::move(row.failure());
    EngineResult<FieldBytes> field_bytes = encode_field(field, row.value(), value.get());
    if (!field_bytes.ok()) return std::move(field_bytes.failure());
    EngineResult<ByteOrder> order = reader.byte_order(field);
    if (!order.ok()) return std::move(order.failure());

    const std::uint64_t first_byte = start / 8;
    if (field_bytes.value().is_text) {
      place_bytes(bytes, packet_size, first_byte, as_bytes(field_bytes.value().text), field.bits,
                  order.value());
    } else {
      place_code(bytes, packet_size, first_byte, field_bytes.value().code, field.bits,
                 order.value(), field.reverse_bits);
    }
    cursor = end;
  }
  return packet;
}

}  // namespace fieldpack::encoder
