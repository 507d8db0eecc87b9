// The recipe walk of unpack_parameters: read each field definition, cut its window, decode it with
// the field's step, store it.
#include "decoder/unpack_engine.hpp"

#include "core/field_step.hpp"
#include "core/messages.hpp"
#include "recipe.hpp"
#include "values.hpp"

namespace fieldpack::decoder {

PacketResult process_recipe(ByteSpan packet, std::uint32_t offset_bits,
                            const SequenceItems& recipe) {
  PyRef result = PyRef::steal(PyDict_New());
  if (!result) return FailureRecord(host_error());
  RecipeReader reader;
  core::TextRoom room;
  core::FieldValue value;
  Failure failure;
  std::uint64_t position = offset_bits;
  const Py_ssize_t count = recipe.size();
  for (Py_ssize_t i = 0; i < count; ++i) {
    const auto index = static_cast<std::size_t>(i);
    EngineResult<FieldDefinition> read = reader.read(recipe[i]);
    if (!read.ok()) {
      return FailureRecord(std::move(read.failure()), index,
                           readable_text(recipe[i], RecipeKey::name));
    }
    const FieldDefinition& field = read.value();

    // 64-bit positions: a start or end past the largest 32-bit position is refused rather than
    // wrapped onto the wrong bytes.
    const std::uint64_t start =
        field.has_offset ? std::uint64_t{offset_bits} + field.offset_bits : position;
    auto failed = [&](EngineError&& error) {
      return FailureRecord(std::move(error), index, PyRef::borrow(field.name.get()),
                           field.encoding_text(), field.bits, start);
    };
    const std::uint64_t end = start + field.bits;
    if (end > kLargestBitPosition) {
      return failed(core::position_out_of_range(field.name_text(), end));
    }
    const std::uint64_t first_byte = start / 8;
    const std::uint64_t byte_count = window_byte_count(field.bits);
    if (first_byte + byte_count > packet.size()) {
      return failed(
          core::window_past_end(field.name_text(), first_byte, byte_count, packet.size()));
    }
    // The byte order is judged before the encoding name.
    EngineResult<ByteOrder> order = reader.byte_order(field);
    if (!order.ok()) return failed(std::move(order.failure()));
    EngineResult<const EncodingRow*> row = reader.encoding(field);
    if (!row.ok()) return failed(std::move(row.failure()));
    if (!row.value()) return failed(core::unsupported_encoding(field.encoding_text(), false));

    const core::FieldStep step =
        core::compile_step(*row.value(), field.bits, order.value(), field.reverse_bits);
    if (!core::decode(step, packet.data() + first_byte, room, value, failure)) {
      return failed(std::move(failure));
    }
    PyRef object = make_value_object(step.decoded, std::move(value));
    PyRef made_key;
    PyObject* const key = object ? field_key(field, made_key) : nullptr;
    if (!key || PyDict_SetItem(result.get(), key, object.get()) < 0) return failed(host_error());
    position = end;
  }
  return result;
}

}  // namespace fieldpack::decoder
