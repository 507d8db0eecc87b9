// The recipe walk of unpack_parameters: read each field definition, cut its window, convert it
// with the codecs its encoding's row names, store it.
#include "decoder/unpack_engine.hpp"

#include <string>
#include <vector>

#include "common/encodings.hpp"
#include "common/field_window.hpp"
#include "recipe.hpp"

namespace fieldpack::decoder {

Failure window_past_end(std::string_view field_name, std::uint64_t first_byte,
                        std::uint64_t byte_count, std::size_t packet_size) {
  std::string message = "Field '";
  message += field_name;
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

namespace {

EngineResult<PyRef> lift_number(Result<Number>&& decoded) {
  if (!decoded.ok()) return EngineError{std::move(decoded.failure())};
  PyRef object = make_object(decoded.value());
  if (!object) return host_error();
  return object;
}

// A field's value as its encoding's row converts it.
EngineResult<PyRef> decode_field(const FieldDefinition& field, const EncodingRow* row,
                                 std::uint64_t value, const std::uint8_t* window,
                                 std::uint64_t byte_count, ByteOrder order) {
  if (!row) return EngineError{unsupported_encoding(field, false)};
  switch (row->family) {
    case Family::unsigned_integer:
      return lift(value);
    case Family::signed_integer:
    case Family::decimal:
    case Family::binary_float:
      return lift_number(row->decode_number(value, field.bits));
    case Family::binary_f128:
      // The field value zero-extended to 128 bits has a zero exponent: it is +0.0 whatever the
      // field holds. Wider fields would need the full pattern.
      if (field.bits > 64) return EngineError{f128_too_wide()};
      return lift(0.0);
    case Family::reserved:
      return EngineError{reserved_format(row->label)};
    case Family::text: {
      const TextBuffer buffer(window, static_cast<std::size_t>(byte_count), order);
      return lift(row->decode_text(buffer.view()));
    }
  }
  return EngineError{unsupported_encoding(field, false)};
}

}  // namespace

PacketResult process_recipe(ByteSpan packet, std::uint32_t offset_bits,
                            const SequenceItems& recipe) {
  PyRef result = PyRef::steal(PyDict_New());
  if (!result) return PacketFailure{host_error(), {}};
  RecipeReader reader;
  std::uint64_t position = offset_bits;
  const Py_ssize_t count = recipe.size();
  for (Py_ssize_t i = 0; i < count; ++i) {
    const auto index = static_cast<std::size_t>(i);
    EngineResult<FieldDefinition> read = reader.read(recipe[i]);
    if (!read.ok()) {
      return PacketFailure{std::move(read.failure()),
                           entry_at(index, readable_text(recipe[i], RecipeKey::name))};
    }
    const FieldDefinition& field = read.value();

    // 64-bit positions: a start or end past the largest 32-bit position is refused rather than
    // wrapped onto the wrong bytes.
    const std::uint64_t start =
        field.has_offset ? std::uint64_t{offset_bits} + field.offset_bits : position;
    auto failed = [&](EngineError&& error) {
      return PacketFailure{std::move(error),
                           FailedAt{true, index, PyRef::borrow(field.name.get()),
                                    std::string(field.encoding_text()), true, field.bits, start}};
    };
    const std::uint64_t end = start + field.bits;
    if (end > kLargestBitPosition) {
      return failed(EngineError{position_out_of_range(field.name_text(), end)});
    }
    const std::uint64_t first_byte = start / 8;
    const std::uint64_t byte_count = window_byte_count(field.bits);
    if (first_byte + byte_count > packet.size()) {
      return failed(
          EngineError{window_past_end(field.name_text(), first_byte, byte_count, packet.size())});
    }

    EngineResult<ByteOrder> order = reader.byte_order(field);
    if (!order.ok()) return failed(std::move(order.failure()));
    const std::uint8_t* window = packet.data() + first_byte;
    const std::uint64_t value =
        field_value(window, byte_count, field.bits, order.value(), field.reverse_bits);

    EngineResult<const EncodingRow*> row = reader.encoding(field);
    if (!row.ok()) return failed(std::move(row.failure()));
    EngineResult<PyRef> decoded =
        decode_field(field, row.value(), value, window, byte_count, order.value());
    if (!decoded.ok()) return failed(std::move(decoded.failure()));
    PyRef made_key;
    PyObject* const key = field_key(field, made_key);
    if (!key || PyDict_SetItem(result.get(), key, decoded.value().get()) < 0) {
      return failed(host_error());
    }
    position = end;
  }
  return result;
}

}  // namespace fieldpack::decoder
