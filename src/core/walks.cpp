// The walks over a plan.
#include "core/walks.hpp"

#include "core/messages.hpp"

namespace fieldpack::core {

void misplaced(const Plan& plan, std::size_t index, std::uint64_t start, std::uint64_t packet_size,
               FieldFailure& failure) {
  const FieldStep& step = plan.fields()[index].step;
  const std::uint64_t end = start + step.bits;
  failure.index = index;
  failure.start_bit = start;
  failure.failure = end > kLargestBitPosition ? position_out_of_range(plan.spec(index).name, end)
                                              : window_past_end(plan.spec(index).name, start / 8,
                                                                step.byte_count, packet_size);
}

std::size_t unpack(const Plan& plan, ByteSpan packet, std::uint32_t offset_bits, FieldValue* values,
                   TextRoom& room, FieldFailure& failure) {
  return unpack_each(plan, packet, offset_bits, room, failure,
                     [values](std::size_t index, const FieldValue& value) {
                       values[index] = value;
                       return true;
                     });
}

bool refuse_unpackable(const Plan& plan, std::size_t index, std::uint32_t offset_bits,
                       FieldFailure& failure) {
  failure.index = index;
  failure.start_bit = offset_bits + plan.fields()[index].start_bit;
  failure.failure = plan.refused(index);
  return false;
}

bool positions_fit(const Plan& plan, std::uint32_t offset_bits, FieldFailure& failure) {
  if (offset_bits + plan.largest_end() <= kLargestBitPosition) return true;
  for (std::size_t i = 0; i < plan.field_count(); ++i) {
    const PlannedField& field = plan.fields()[i];
    const std::uint64_t start = offset_bits + field.start_bit;
    if (start + field.step.bits > kLargestBitPosition) {
      failure.index = i;
      failure.start_bit = start;
      failure.failure = position_out_of_range(plan.spec(i).name, start + field.step.bits);
      return false;
    }
  }
  return true;
}

std::optional<Failure> failure_in_every_packet(const Plan& plan, std::size_t index,
                                               std::uint64_t stride) {
  const PlannedField& field = plan.fields()[index];
  const std::uint64_t end = field.start_bit + field.step.bits;
  const std::uint64_t first_byte = field.start_bit / 8;
  if (end > kLargestBitPosition) return position_out_of_range(plan.spec(index).name, end);
  if (first_byte + field.step.byte_count > stride) {
    return window_past_end(plan.spec(index).name, first_byte, field.step.byte_count, stride);
  }
  return std::nullopt;
}

}  // namespace fieldpack::core
