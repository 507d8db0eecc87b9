// The walks over a plan, below the interpreter: one packet into native values, native values into
// a packet image, and one field over many packets into a typed column. Each field is checked and
// failed exactly as the packet functions check and fail it; a host's face turns the values into
// objects, and reads the values to pack in the walk's order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/text.hpp"
#include "core/field_step.hpp"
#include "core/messages.hpp"
#include "core/plan.hpp"

namespace fieldpack::core {

// Decodes the fields of the packet from bit `offset_bits`, handing each value to
// `sink(index, value)` as soon as it is decoded, in recipe order: the number of fields done before
// the first that failed, whose failure is in `failure` (a field that `sink` refuses by returning
// false stops the walk without one), or every field. Decoded text views the packet or `room`.
template <class Sink>
std::size_t unpack_each(const Plan& plan, ByteSpan packet, std::uint32_t offset_bits,
                        TextRoom& room, FieldFailure& failure, Sink&& sink);

// unpack_each for a plan of the given packing (plan.packing()): a walk of its own, for hosts that
// compile one walk per packing.
template <Packing kPacking, class Sink>
std::size_t unpack_each_as(const Plan& plan, ByteSpan packet, std::uint32_t offset_bits,
                           TextRoom& room, FieldFailure& failure, Sink&& sink);

// unpack_each into `values` (one per field, in recipe order).
std::size_t unpack(const Plan& plan, ByteSpan packet, std::uint32_t offset_bits, FieldValue* values,
                   TextRoom& room, FieldFailure& failure);

// Fills `failure` for field `index`, whose window at `start` does not fit the packet or the
// largest bit position.
void misplaced(const Plan& plan, std::size_t index, std::uint64_t start, std::uint64_t packet_size,
               FieldFailure& failure);

// The largest packet a bit-exact walk copies (into its TextRoom) to read.
inline constexpr std::uint64_t kPaddedPacket = 192;

template <Packing kPacking, class Sink>
std::size_t unpack_each_as(const Plan& plan, ByteSpan packet, std::uint32_t offset_bits,
                           TextRoom& room, FieldFailure& failure, Sink&& sink) {
  constexpr bool kBits = kPacking == Packing::bits;
  const std::vector<PlannedField>& fields = plan.fields();
  const std::size_t count = fields.size();
  // When every window lies inside the packet and every position below the largest, as in nearly
  // every call, no field needs checking on its own.
  const bool all_fit = std::uint64_t{offset_bits} + plan.largest_end() <= kLargestBitPosition &&
                       offset_bits / 8 + plan.extent(offset_bits % 8) <= packet.size();
  FieldValue value;
  // Bit-exact fields of a small packet are read from a copy with eight zero bytes after it, so
  // that one 64-bit load reads any field of 57 bits or less, the last ones too.
  const std::uint8_t* bytes = packet.data();
  std::uint64_t readable = packet.size();
  if constexpr (kBits) {
    if (packet.size() <= kPaddedPacket) {
      std::uint8_t* copy = room.take(packet.size() + 8);
      if (!packet.empty()) std::memcpy(copy, packet.data(), packet.size());
      std::memset(copy + packet.size(), 0, 8);
      bytes = copy;
      readable += 8;
    }
    // A packet that starts on a byte boundary and holds every field: no field's place needs a
    // check, and each is where the plan put it at offset 0, one byte further per 8 bits.
    const std::uint64_t base = offset_bits / 8;
    if (offset_bits % 8 == 0 && base + plan.extent(0) <= packet.size() &&
        std::uint64_t{offset_bits} + plan.largest_end() <= kLargestBitPosition) {
      const std::vector<WordPlace>& places = plan.word_places();
      for (std::size_t i = 0; i < count; ++i) {
        const PlannedField& field = fields[i];
        const std::uint64_t first_byte = base + places[i].first_byte;
        if (!decode_bits(field.step, bytes + first_byte,
                         static_cast<std::uint32_t>(field.start_bit % 8), readable - first_byte,
                         room, value, failure.failure)) [[unlikely]] {
          failure.index = i;
          failure.start_bit = std::uint64_t{offset_bits} + field.start_bit;
          return i;
        }
        if (!sink(i, value)) return i;
      }
      return count;
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    const PlannedField& field = fields[i];
    // 64-bit positions: a start or end past the largest 32-bit position is refused, never
    // wrapped onto the wrong bytes.
    const std::uint64_t start = std::uint64_t{offset_bits} + field.start_bit;
    const std::uint64_t first_byte = start / 8;
    const auto shift = static_cast<std::uint32_t>(kBits ? start % 8 : 0);
    const std::uint64_t byte_count =
        kBits ? bit_span(shift, field.step.bits) : field.step.byte_count;
    if (!all_fit && (start + field.step.bits > kLargestBitPosition ||
                     first_byte + byte_count > packet.size())) [[unlikely]] {
      misplaced(plan, i, start, packet.size(), failure);
      return i;
    }
    const std::uint8_t* window = bytes + first_byte;
    bool decoded;
    if constexpr (kBits) {
      decoded = decode_bits(field.step, window, shift, readable - first_byte, room, value,
                            failure.failure);
    } else {
      decoded = decode(field.step, window, room, value, failure.failure);
    }
    if (!decoded) [[unlikely]] {
      failure.index = i;
      failure.start_bit = start;
      return i;
    }
    if (!sink(i, value)) return i;
  }
  return count;
}

template <class Sink>
std::size_t unpack_each(const Plan& plan, ByteSpan packet, std::uint32_t offset_bits,
                        TextRoom& room, FieldFailure& failure, Sink&& sink) {
  if (plan.packing() == Packing::bits) {
    return unpack_each_as<Packing::bits>(plan, packet, offset_bits, room, failure, sink);
  }
  return unpack_each_as<Packing::bytes>(plan, packet, offset_bits, room, failure, sink);
}

// Where a pack writes: `size` bytes, zero to start with, standing for the packet from byte
// offset_bits / 8 on.
struct Image {
  std::uint8_t* data = nullptr;
  std::uint64_t size = 0;
  std::uint32_t offset_bits = 0;
  // Bytes from `data` that may be read and written back as they were (a bit-exact pack writes a
  // field with one load and one store where they fit); `size` when less.
  std::uint64_t room = 0;
};

// What packing produced for each field, kept by a strict pack to compare with what unpacking
// reads back once every field is written.
struct Produced {
  bool is_text = false;
  std::uint64_t code = 0;
  std::string bytes;  // text, as encoded
};

// How a pack treats values it would lose. Not strict: as the packet functions pack them. Strict:
// text longer than its window, and a finite float that becomes infinite, or a nonzero one that
// becomes zero, at its width, fail the field; what each field produced is kept for check_read_back.
struct PackMode {
  bool strict = false;
  std::vector<Produced>* produced = nullptr;  // one per field, when strict
};

// What strict packing refuses of an encoded value, checked before it is placed; false with
// `failure` set.
bool keeps_value(const FieldStep& step, const NativeValue& value, const Encoded& encoded,
                 Failure& failure);

// Encodes field `index`'s value (of the field's packed kind, which must not be refused) into the
// image; false with `failure` set. `encoded` is scratch room, reused from field to field.
// pack_field_as: the same for a plan of the given packing.
template <Packing kPacking>
bool pack_field_as(const Plan& plan, std::size_t index, const NativeValue& value,
                   const Image& image, Encoded& encoded, FieldFailure& failure,
                   const PackMode& mode = {});

inline bool pack_field(const Plan& plan, std::size_t index, const NativeValue& value,
                       const Image& image, Encoded& encoded, FieldFailure& failure,
                       const PackMode& mode = {}) {
  if (plan.packing() == Packing::bits) {
    return pack_field_as<Packing::bits>(plan, index, value, image, encoded, failure, mode);
  }
  return pack_field_as<Packing::bytes>(plan, index, value, image, encoded, failure, mode);
}

template <Packing kPacking>
inline bool pack_field_as(const Plan& plan, std::size_t index, const NativeValue& value,
                          const Image& image, Encoded& encoded, FieldFailure& failure,
                          const PackMode& mode) {
  const PlannedField& field = plan.fields()[index];
  if (!encode(field.step, value, encoded, failure.failure) ||
      (mode.strict && !keeps_value(field.step, value, encoded, failure.failure))) [[unlikely]] {
    failure.index = index;
    failure.start_bit = image.offset_bits + field.start_bit;
    return false;
  }
  const std::uint64_t start = image.offset_bits % 8 + field.start_bit;
  if constexpr (kPacking == Packing::bits) {
    place_bits(field.step, encoded, image.data, image.size, start / 8,
               static_cast<std::uint32_t>(start % 8), std::max(image.size, image.room));
  } else {
    place(field.step, encoded, image.data, image.size, start / 8);
  }
  if (mode.produced) {
    Produced& produced = (*mode.produced)[index];
    produced.is_text = encoded.is_text;
    produced.code = encoded.code;
    if (encoded.is_text) produced.bytes.assign(encoded.bytes.begin(), encoded.bytes.end());
  }
  return true;
}

// After a pack into `image`: what it wrote of every field copied into `out`, which stands for the
// same bytes of a packet: each field's whole window (byte-granular) or exactly its bits
// (bit-exact). Nothing else of `out` changes.
void copy_fields(const Plan& plan, const Image& image, std::uint8_t* out);

// After a strict pack: every field reads back, as unpack reads it, what packing produced for it
// (a later field writes over none of its bytes, and its code fits its width); false with the
// first field that does not in `failure`.
bool check_read_back(const Plan& plan, const Image& image, const std::vector<Produced>& produced,
                     FieldFailure& failure);

// False, with packing's failure for field `index`, when packing refuses the field's encoding:
// judged before its value is converted, once the host has looked the value up (a missing value
// is reported first).
bool refuse_unpackable(const Plan& plan, std::size_t index, std::uint32_t offset_bits,
                       FieldFailure& failure);

inline bool packable(const Plan& plan, std::size_t index, std::uint32_t offset_bits,
                     FieldFailure& failure) {
  if (plan.fields()[index].step.packed != ValueKind::refused) [[likely]]
    return true;
  return refuse_unpackable(plan, index, offset_bits, failure);
}

// Whether every field lies within the largest bit position when the packet starts at
// `offset_bits`; false with the first field that does not in `failure`.
bool positions_fit(const Plan& plan, std::uint32_t offset_bits, FieldFailure& failure);

// Field `index` of `count` packets of `stride` bytes from `packets` (each starting at bit 0)
// decoded into its column at `out`, elements of its step's column type; the index of the first
// packet whose value fails (its failure in `failure`), or `count`. The field must lie inside a
// packet (failure_in_every_packet finds none) and be numeric.
inline std::uint64_t decode_column(const Plan& plan, std::size_t index, const std::uint8_t* packets,
                                   std::uint64_t stride, std::uint64_t count, std::uint8_t* out,
                                   Failure& failure) {
  const PlannedField& field = plan.fields()[index];
  const Placement placed = plan.placement(index, field.start_bit);
  ColumnRun run;
  run.window = packets + placed.first_byte;
  run.stride = stride;
  run.count = count;
  run.readable = stride - placed.first_byte;
  run.bit_exact = plan.packing() == Packing::bits;
  run.shift = placed.shift;
  return field.step.column(field.step, run, out, failure);
}

// Decodes field `index` of a packet starting at bit 0 from a copy of the bytes it touches
// (`placement(index, start_bit)`, which `copy` holds from its first byte on); false with
// `failure` set.
inline bool decode_copy(const Plan& plan, std::size_t index, const std::uint8_t* copy,
                        TextRoom& room, FieldValue& out, Failure& failure) {
  const PlannedField& field = plan.fields()[index];
  if (plan.packing() == Packing::bytes) return decode(field.step, copy, room, out, failure);
  const Placement placed = plan.placement(index, field.start_bit);
  return decode_bits(field.step, copy, placed.shift, placed.byte_count, room, out, failure);
}

// The failure of field `index` in every packet of `stride` bytes, whatever it holds: a window
// past the packet's end or past the largest bit position. Nothing when the field can be read.
std::optional<Failure> failure_in_every_packet(const Plan& plan, std::size_t index,
                                               std::uint64_t stride);

}  // namespace fieldpack::core
