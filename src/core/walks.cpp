// The walks over a plan.
#include "core/walks.hpp"

#include <algorithm>
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
  const Placement placed = plan.placement(index, start);
  failure.index = index;
  failure.start_bit = start;
  failure.failure = end > kLargestBitPosition
                        ? position_out_of_range(plan.spec(index).name, end)
                        : window_past_end(plan.spec(index).name, placed.first_byte,
                                          placed.byte_count, packet_size);
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
  const Placement placed = plan.placement(index, field.start_bit);
  if (end > kLargestBitPosition) return position_out_of_range(plan.spec(index).name, end);
  if (placed.first_byte + placed.byte_count > stride) {
    return window_past_end(plan.spec(index).name, placed.first_byte, placed.byte_count, stride);
  }
  return std::nullopt;
}

namespace {

// What unpacking reads of the field placed at `placed` in `image`, as unpack reads it: the field
// value, or byte k of the text in the order the text codecs read them.
std::uint64_t value_read(Packing packing, const FieldStep& step, const std::uint8_t* image,
                         const Placement& placed) {
  const std::uint8_t* window = image + placed.first_byte;
  if (packing == Packing::bytes) return read_value(step, window);
  return read_bits_value(step, window, placed.shift, placed.byte_count);
}

std::uint8_t byte_read(Packing packing, const FieldStep& step, const std::uint8_t* image,
                       const Placement& placed, std::size_t k, std::size_t size) {
  const std::size_t at = step.order == ByteOrder::little ? size - 1 - k : k;
  const std::uint8_t* window = image + placed.first_byte;
  if (packing == Packing::bytes) return window[at];
  return static_cast<std::uint8_t>(load_bits(window, placed.shift + 8 * at, 8));
}

// Whether unpacking reads back from the field what packing produced for it.
bool reads_back(Packing packing, const FieldStep& step, const std::uint8_t* image,
                const Placement& placed, const Produced& produced) {
  if (!produced.is_text) return value_read(packing, step, image, placed) == produced.code;
  const std::size_t size = produced.bytes.size();
  for (std::size_t k = 0; k < size; ++k) {
    if (byte_read(packing, step, image, placed, k, size) !=
        static_cast<std::uint8_t>(produced.bytes[k])) {
      return false;
    }
  }
  return true;
}

// What a field occupies from the image's start, for telling whether two fields share any: whole
// bytes, or bits.
struct Occupied {
  std::uint64_t first, end;
};

Occupied occupied(Packing packing, const FieldStep& step, std::uint64_t start) {
  if (packing == Packing::bits) return {start, start + step.bits};
  return {start / 8, start / 8 + step.byte_count};
}

}  // namespace

void copy_fields(const Plan& plan, const Image& image, std::uint8_t* out) {
  const std::uint32_t residue = image.offset_bits % 8;
  const std::vector<PlannedField>& fields = plan.fields();
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const FieldStep& step = fields[i].step;
    // An empty field may sit in an empty image, whose data pointer memcpy must not see.
    if (step.bits == 0) continue;
    const Placement placed = plan.placement(i, residue + fields[i].start_bit);
    if (plan.packing() == Packing::bytes) {
      std::memcpy(out + placed.first_byte, image.data + placed.first_byte,
                  static_cast<std::size_t>(placed.byte_count));
      continue;
    }
    // Its bits, 64 at a time.
    const std::uint8_t* from = image.data + placed.first_byte;
    std::uint8_t* to = out + placed.first_byte;
    for (std::uint64_t done = 0; done < step.bits; done += 64) {
      const auto run = static_cast<std::uint32_t>(std::min<std::uint64_t>(step.bits - done, 64));
      store_bits(to, placed.byte_count, placed.shift + done,
                 load_bits(from, placed.shift + done, run), run);
    }
  }
}

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
  const Packing packing = plan.packing();
  const std::uint32_t residue = image.offset_bits % 8;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const FieldStep& step = fields[i].step;
    const std::uint64_t start = residue + fields[i].start_bit;
    const Placement placed = plan.placement(i, start);
    if (step.bits == 0 || reads_back(packing, step, image.data, placed, produced[i])) continue;
    failure.index = i;
    failure.start_bit = image.offset_bits + fields[i].start_bit;
    // The field alone: what its own bytes hold when nothing else is written.
    std::string alone(static_cast<std::size_t>(placed.byte_count), '\0');
    auto* own = reinterpret_cast<std::uint8_t*>(alone.data());
    Encoded encoded;
    encoded.is_text = produced[i].is_text;
    encoded.code = produced[i].code;
    encoded.bytes = ByteSpan(reinterpret_cast<const std::uint8_t*>(produced[i].bytes.data()),
                             produced[i].bytes.size());
    const Placement own_place{0, placed.shift, placed.byte_count};
    if (packing == Packing::bits) {
      place_bits(step, encoded, own, placed.byte_count, 0, placed.shift, placed.byte_count);
    } else {
      place(step, encoded, own, placed.byte_count, 0);
    }
    const std::uint64_t read =
        produced[i].is_text ? 0 : value_read(packing, step, image.data, placed);
    if (!reads_back(packing, step, own, own_place, produced[i])) {
      failure.failure =
          code_too_wide(produced[i].code, step.bits, value_read(packing, step, own, own_place));
      return false;
    }
    // Another field wrote over it: the first later one that shares some of what it occupies.
    const Occupied mine = occupied(packing, step, start);
    std::size_t over = i;
    for (std::size_t j = i + 1; j < fields.size() && over == i; ++j) {
      if (packing == Packing::bits && fields[j].step.bits == 0) continue;
      const Occupied theirs = occupied(packing, fields[j].step, residue + fields[j].start_bit);
      if (theirs.first < mine.end && mine.first < theirs.end) over = j;
    }
    failure.failure = written_over(over, produced[i].is_text, produced[i].code, read);
    return false;
  }
  return true;
}

}  // namespace fieldpack::core
