// The walks over a plan.
#include "core/walks.hpp"

#include <cmath>
#include <cstring>
#include <string>

#include "common/bits.hpp"
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

namespace {

// What unpacking reads of the field from its window, to compare with what packing produced:
// the field value, or the text bytes in the order the text codecs read them.
bool reads_back(const FieldStep& step, const std::uint8_t* window, const Produced& produced) {
  if (!produced.is_text) return read_value(step, window) == produced.code;
  const std::size_t size = produced.bytes.size();
  for (std::size_t k = 0; k < size; ++k) {
    const std::uint8_t byte = step.order == ByteOrder::little ? window[size - 1 - k] : window[k];
    if (byte != static_cast<std::uint8_t>(produced.bytes[k])) return false;
  }
  return true;
}

}  // namespace

bool keeps_value(const FieldStep& step, const NativeValue& value, const Encoded& encoded,
                 Failure& failure) {
  if (encoded.is_text) {
    if (encoded.bytes.size() <= step.byte_count) return true;
    failure =
        text_too_long(encoded.bytes.size(), step.byte_count, encoded.text.with_byte_order_mark);
    return false;
  }
  if (step.packed != ValueKind::real) return true;
  const double given = value.real_value;
  if (!std::isfinite(given) || given == 0) return true;  // infinities and NaNs are kept as such
  Result<Number> packed = step.row->decode_number(encoded.code, step.bits);
  const double back = packed.ok() ? packed.value().real_value : given;
  if (std::isfinite(back) && back != 0) return true;
  failure = float_lost(given, step.row->name, back);
  return false;
}

bool check_read_back(const Plan& plan, const Image& image, const std::vector<Produced>& produced,
                     FieldFailure& failure) {
  const std::vector<PlannedField>& fields = plan.fields();
  const std::uint32_t residue = image.offset_bits % 8;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const FieldStep& step = fields[i].step;
    const std::uint64_t first = (residue + fields[i].start_bit) / 8;
    if (step.byte_count == 0 || reads_back(step, image.data + first, produced[i])) continue;
    failure.index = i;
    failure.start_bit = image.offset_bits + fields[i].start_bit;
    // The field alone: what its own bytes hold when nothing else is written.
    std::string alone(step.byte_count, '\0');
    auto* own = reinterpret_cast<std::uint8_t*>(alone.data());
    Encoded encoded;
    encoded.is_text = produced[i].is_text;
    encoded.code = produced[i].code;
    encoded.bytes = ByteSpan(reinterpret_cast<const std::uint8_t*>(produced[i].bytes.data()),
                             produced[i].bytes.size());
    place(step, encoded, own, step.byte_count, 0);
    const std::uint64_t read = produced[i].is_text ? 0 : read_value(step, image.data + first);
    if (!reads_back(step, own, produced[i])) {
      failure.failure = code_too_wide(produced[i].code, step.bits, read_value(step, own));
      return false;
    }
    // Another field wrote over it: the first later one whose window shares a byte with its own.
    std::size_t over = i;
    for (std::size_t j = i + 1; j < fields.size() && over == i; ++j) {
      const std::uint64_t start = (residue + fields[j].start_bit) / 8;
      const std::uint64_t end = start + fields[j].step.byte_count;
      if (start < first + step.byte_count && first < end) over = j;
    }
    failure.failure = written_over(over, produced[i].is_text, produced[i].code, read);
    return false;
  }
  return true;
}

}  // namespace fieldpack::core
