// The core of compiled layouts as a C library (fieldpack_core.h): each function is the core's
// walk of the same name, with the host's values as native slots in the caller's memory and the
// failure as a record whose texts the caller frees. Nothing is kept between calls, so a call made
// from inside another (a finalizer's) disturbs nothing.
#include "core_api/fieldpack_core.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/encodings.hpp"
#include "core/messages.hpp"
#include "core/plan.hpp"
#include "core/stream.hpp"
#include "core/walks.hpp"
#include "decoder/codecs/text_codecs.hpp"

#define FIELDPACK_EXPORT extern "C" __attribute__((visibility("default")))

struct fp_plan {
  fieldpack::core::Plan plan;
  uint64_t text_room = 0;
};

struct fp_stream {
  fieldpack::core::StreamTable table;
  std::unique_ptr<fieldpack::core::StreamWalk> walk;
};

struct fp_packing {
  bool strict = false;
  std::vector<fieldpack::core::Produced> produced;
};

namespace fieldpack::core_api {
namespace {

using core::FieldFailure;

// A copy of `text` the failure record owns; empty when memory runs out.
char* owned_copy(const std::string& text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy) std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

void report(const FieldFailure& failure, fp_failure* out) {
  fp_failure_clear(out);
  out->index =
      failure.index == FieldFailure::kNoField ? std::numeric_limits<size_t>::max() : failure.index;
  out->start_bit = failure.start_bit;
  out->kind = static_cast<int32_t>(failure.failure.kind);
  out->message = owned_copy(failure.failure.message);
  out->message_size = out->message ? failure.failure.message.size() : 0;
  out->hint = owned_copy(failure.failure.hint);
  out->hint_size = out->hint ? failure.failure.hint.size() : 0;
}

// UTF-8 of one code point at `out`; the bytes written.
std::size_t put_utf8(std::uint32_t c, char* out) {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (c >> 18));
  out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}

int32_t kind_of(core::ValueKind kind) { return static_cast<int32_t>(kind); }

// Decoded text as UTF-8 at `out`, which has room for three bytes per byte of its window (no
// text form needs more): the bytes written, or false with the failure of text that is not valid.
bool put_text(DecodedText&& text, char* out, std::size_t& written, Failure& failure) {
  Result<DecodedText> checked = decoder::validated(std::move(text));
  if (!checked.ok()) {
    failure = std::move(checked.failure());
    return false;
  }
  const DecodedText& valid = checked.value();
  if (valid.form == TextForm::utf8) {
    if (!valid.units.empty()) std::memcpy(out, valid.units.data(), valid.units.size());
    written = valid.units.size();
    return true;
  }
  std::vector<std::uint32_t> code_points(valid.code_point_count);
  if (!code_points.empty()) decoder::write_code_points(valid, code_points.data());
  written = 0;
  for (const std::uint32_t c : code_points) written += put_utf8(c, out + written);
  return true;
}

}  // namespace
}  // namespace fieldpack::core_api

using namespace fieldpack;

FIELDPACK_EXPORT void fp_failure_clear(fp_failure* failure) {
  std::free(const_cast<char*>(failure->message));
  std::free(const_cast<char*>(failure->hint));
  failure->message = nullptr;
  failure->hint = nullptr;
  failure->message_size = failure->hint_size = 0;
}

FIELDPACK_EXPORT int32_t fp_encoding_row(const char* name, size_t size) {
  const EncodingRow* row = encoding_named(std::string_view(name, size));
  return row ? static_cast<int32_t>(row - kEncodings) : -1;
}

FIELDPACK_EXPORT fp_plan* fp_plan_new(const fp_field_spec* specs, size_t count, int32_t bit_exact) {
  try {
    std::vector<core::FieldSpec> fields(count);
    for (size_t i = 0; i < count; ++i) {
      const fp_field_spec& spec = specs[i];
      core::FieldSpec& field = fields[i];
      field.name.assign(spec.name, spec.name_size);
      field.encoding.assign(spec.encoding, spec.encoding_size);
      if (spec.encoding_row < 0 || static_cast<size_t>(spec.encoding_row) >= kEncodingCount) {
        return nullptr;
      }
      field.row = &kEncodings[spec.encoding_row];
      field.bits = spec.bits;
      field.order = spec.little ? ByteOrder::little : ByteOrder::big;
      field.reverse_bits = spec.reverse_bits != 0;
      field.has_offset = spec.has_offset != 0;
      field.offset_bits = spec.offset_bits;
    }
    auto made = new fp_plan{
        core::Plan(std::move(fields), bit_exact ? core::Packing::bits : core::Packing::bytes)};
    for (const core::PlannedField& field : made->plan.fields()) {
      if (field.step.decoded == core::ValueKind::text) made->text_room += 3 * field.step.byte_count;
    }
    return made;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

FIELDPACK_EXPORT void fp_plan_free(fp_plan* plan) { delete plan; }

FIELDPACK_EXPORT void fp_plan_fields(const fp_plan* plan, fp_field_info* out) {
  const std::vector<core::PlannedField>& fields = plan->plan.fields();
  for (size_t i = 0; i < fields.size(); ++i) {
    const core::FieldStep& step = fields[i].step;
    out[i] = fp_field_info{core_api::kind_of(step.decoded),
                           core_api::kind_of(step.packed),
                           static_cast<int32_t>(step.column_type),
                           step.bits,
                           step.byte_count,
                           fields[i].start_bit};
  }
}

FIELDPACK_EXPORT int32_t fp_plan_size(const fp_plan* plan, uint64_t* packet_size,
                                      fp_failure* failure) {
  const core::Sizing& sizing = plan->plan.sizing();
  if (sizing.ok) {
    *packet_size = sizing.packet_size;
    return 1;
  }
  core::FieldFailure copy = sizing.failure;
  core_api::report(copy, failure);
  return 0;
}

FIELDPACK_EXPORT uint64_t fp_plan_extent(const fp_plan* plan, uint32_t residue) {
  return plan->plan.extent(residue % 8);
}

FIELDPACK_EXPORT int32_t fp_positions_fit(const fp_plan* plan, uint32_t offset_bits,
                                          fp_failure* failure) {
  core::FieldFailure misplaced;
  if (core::positions_fit(plan->plan, offset_bits, misplaced)) return 1;
  core_api::report(misplaced, failure);
  return 0;
}

FIELDPACK_EXPORT uint64_t fp_plan_text_room(const fp_plan* plan) { return plan->text_room; }

namespace fieldpack::core_api {
namespace {

// One packet into its slots and text; the fields done.
size_t unpack_into(const fp_plan* plan, ByteSpan packet, uint32_t offset_bits, uint64_t* slots,
                   char* text, std::size_t text_base, core::FieldFailure& failed) {
  std::size_t used = 0;
  core::TextRoom room;
  const std::vector<core::PlannedField>& fields = plan->plan.fields();
  return core::unpack_each(
      plan->plan, packet, offset_bits, room, failed, [&](size_t index, core::FieldValue& value) {
        if (fields[index].step.decoded != core::ValueKind::text) {
          // An integer of either sign or a double: the 64 bits of the value's union.
          std::memcpy(&slots[index], &value.unsigned_value, sizeof(uint64_t));
          return true;
        }
        // Text checked and written in recipe order, so a field that is not valid text fails
        // before the fields after it are read, as the host's str would.
        std::size_t written = 0;
        if (!put_text(std::move(value.text), text + used, written, failed.failure)) {
          failed.index = index;
          failed.start_bit = offset_bits + fields[index].start_bit;
          return false;
        }
        slots[index] = (static_cast<uint64_t>(text_base + used) << 32) | written;
        used += written;
        return true;
      });
}

void out_of_memory(fp_failure* failure) {
  report(core::FieldFailure{core::FieldFailure::kNoField, 0, Failure{}}, failure);
  failure->kind = -1;
}

}  // namespace
}  // namespace fieldpack::core_api

FIELDPACK_EXPORT size_t fp_unpack(const fp_plan* plan, const uint8_t* packet, size_t packet_size,
                                  uint32_t offset_bits, uint64_t* slots, char* text,
                                  fp_failure* failure) {
  try {
    core::FieldFailure failed;
    const size_t done = core_api::unpack_into(plan, ByteSpan(packet, packet_size), offset_bits,
                                              slots, text, 0, failed);
    if (done < plan->plan.field_count()) core_api::report(failed, failure);
    return done;
  } catch (const std::bad_alloc&) {
    core_api::out_of_memory(failure);
    return 0;
  }
}

FIELDPACK_EXPORT size_t fp_unpack_many(const fp_plan* plan, const uint8_t* packets, size_t stride,
                                       size_t count, uint64_t* slots, char* text,
                                       fp_failure* failure) {
  try {
    const size_t fields = plan->plan.field_count();
    core::FieldFailure failed;
    for (size_t k = 0; k < count; ++k) {
      const size_t text_base = static_cast<size_t>(k * plan->text_room);
      if (core_api::unpack_into(plan, ByteSpan(packets + k * stride, stride), 0, slots + k * fields,
                                text + text_base, text_base, failed) < fields) {
        core_api::report(failed, failure);
        return k;
      }
    }
    return count;
  } catch (const std::bad_alloc&) {
    core_api::out_of_memory(failure);
    return 0;
  }
}

FIELDPACK_EXPORT size_t fp_decode_column(const fp_plan* plan, size_t index, const uint8_t* packets,
                                         size_t stride, size_t count, void* out) {
  if (plan->plan.fields()[index].step.column_type == core::ColumnType::text ||
      core::failure_in_every_packet(plan->plan, index, stride)) {
    return 0;
  }
  Failure failure;
  return static_cast<size_t>(core::decode_column(plan->plan, index, packets, stride, count,
                                                 static_cast<uint8_t*>(out), failure));
}

FIELDPACK_EXPORT fp_packing* fp_packing_new(const fp_plan* plan, int32_t strict) {
  try {
    auto packing = std::make_unique<fp_packing>();
    packing->strict = strict != 0;
    if (packing->strict) packing->produced.resize(plan->plan.field_count());
    return packing.release();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

FIELDPACK_EXPORT void fp_packing_free(fp_packing* packing) { delete packing; }

FIELDPACK_EXPORT size_t fp_pack(const fp_plan* plan, fp_packing* packing, size_t first, size_t last,
                                const uint64_t* slots, const char* const* texts,
                                const size_t* text_sizes, uint8_t* image, uint64_t image_size,
                                uint32_t offset_bits, fp_failure* failure) {
  const core::Image target{image, image_size, offset_bits};
  const bool strict = packing && packing->strict;
  const core::PackMode mode{strict, strict ? &packing->produced : nullptr};
  const std::vector<core::PlannedField>& fields = plan->plan.fields();
  core::NativeValue value;
  core::Encoded encoded;
  core::FieldFailure failed;
  for (size_t i = first; i < last; ++i) {
    if (!core::packable(plan->plan, i, offset_bits, failed)) {
      core_api::report(failed, failure);
      return i;
    }
    switch (fields[i].step.packed) {
      case core::ValueKind::unsigned_integer:
        value.unsigned_value = slots[i];
        break;
      case core::ValueKind::signed_integer:
        value.signed_value = static_cast<int64_t>(slots[i]);
        break;
      case core::ValueKind::real:
        std::memcpy(&value.real_value, &slots[i], sizeof(double));
        break;
      case core::ValueKind::text:
      case core::ValueKind::refused:
        value.text = StoredText::of_utf8(TextView(texts[i], text_sizes[i]));
        break;
    }
    try {
      if (!core::pack_field(plan->plan, i, value, target, encoded, failed, mode)) {
        core_api::report(failed, failure);
        return i;
      }
    } catch (const std::bad_alloc&) {
      core_api::out_of_memory(failure);
      return i;
    }
  }
  return last;
}

FIELDPACK_EXPORT void fp_copy_fields(const fp_plan* plan, const uint8_t* image, uint64_t image_size,
                                     uint32_t offset_bits, uint8_t* out) {
  core::copy_fields(plan->plan, {const_cast<uint8_t*>(image), image_size, offset_bits}, out);
}

FIELDPACK_EXPORT size_t fp_pack_packet(const fp_plan* plan, const uint64_t* slots,
                                       const char* const* texts, const size_t* text_sizes,
                                       uint8_t* image, uint64_t image_size, fp_failure* failure) {
  if (image_size > 0) std::memset(image, 0, static_cast<size_t>(image_size));
  return fp_pack(plan, nullptr, 0, plan->plan.field_count(), slots, texts, text_sizes, image,
                 image_size, 0, failure);
}

FIELDPACK_EXPORT int32_t fp_pack_finish(const fp_plan* plan, fp_packing* packing,
                                        const uint8_t* image, uint64_t image_size,
                                        uint32_t offset_bits, fp_failure* failure) {
  if (!packing || !packing->strict) return 1;
  core::FieldFailure failed;
  const core::Image target{const_cast<uint8_t*>(image), image_size, offset_bits};
  if (core::check_read_back(plan->plan, target, packing->produced, failed)) return 1;
  core_api::report(failed, failure);
  return 0;
}

namespace fieldpack::core_api {
namespace {

std::vector<core::HeaderCheck> checks(const size_t* fields, const uint64_t* values, size_t count) {
  std::vector<core::HeaderCheck> made(count);
  for (size_t i = 0; i < count; ++i) made[i] = {fields[i], values[i]};
  return made;
}

std::vector<core::KeyValues> keys(const uint64_t* values, size_t count, size_t width) {
  std::vector<core::KeyValues> made(count);
  for (size_t i = 0; i < count; ++i) made[i].assign(values + i * width, values + (i + 1) * width);
  return made;
}

}  // namespace
}  // namespace fieldpack::core_api

FIELDPACK_EXPORT fp_stream* fp_stream_new(const fp_plan* header, const fp_stream_spec* spec) {
  try {
    const core::Plan& plan = header->plan;
    auto integer = [&](size_t field) {
      return field < plan.field_count() && core::is_stream_integer(plan.fields()[field].step);
    };
    core::StreamSpec made;
    if (spec->key_count == 0) return nullptr;
    made.key_fields.assign(spec->key_fields, spec->key_fields + spec->key_count);
    if (spec->has_length) made.length_field = spec->length_field;
    made.length_offset = spec->length_offset;
    made.size = spec->size;
    if (spec->has_sequence) made.sequence_field = spec->sequence_field;
    made.sequence_modulus = spec->sequence_modulus;
    made.sync = core_api::checks(spec->sync_fields, spec->sync_values, spec->sync_count);
    made.whole = core_api::checks(spec->whole_fields, spec->whole_values, spec->whole_count);
    made.layout_keys = core_api::keys(spec->layout_keys, spec->layout_count, spec->key_count);
    made.layout_needs.assign(spec->layout_needs, spec->layout_needs + spec->layout_count);
    made.idle_keys = core_api::keys(spec->idle_keys, spec->idle_count, spec->key_count);
    bool fields_ok = std::all_of(made.key_fields.begin(), made.key_fields.end(), integer) &&
                     (!made.length_field || integer(*made.length_field)) &&
                     (!made.sequence_field || integer(*made.sequence_field));
    for (const auto* list : {&made.sync, &made.whole}) {
      for (const core::HeaderCheck& check : *list) fields_ok = fields_ok && integer(check.field);
    }
    if (!fields_ok) return nullptr;
    auto stream = new fp_stream{core::StreamTable(plan, std::move(made)), nullptr};
    try {
      stream->walk = std::make_unique<core::StreamWalk>(stream->table);
    } catch (const std::bad_alloc&) {
      delete stream;
      return nullptr;
    }
    return stream;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

FIELDPACK_EXPORT void fp_stream_free(fp_stream* stream) { delete stream; }

FIELDPACK_EXPORT int32_t fp_stream_walk(fp_stream* stream, const uint8_t* data, uint64_t size,
                                        uint64_t base, int32_t at_end, uint64_t* consumed,
                                        uint64_t* wanted) {
  try {
    const core::WalkStop stop = stream->walk->walk(data, size, base, at_end != 0);
    *consumed = stop.consumed;
    *wanted = stop.wanted;
    return 1;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

FIELDPACK_EXPORT void fp_stream_counts(const fp_stream* stream, fp_stream_tally* tallies,
                                       fp_stream_totals* totals) {
  const core::StreamWalk& walk = *stream->walk;
  for (size_t i = 0; i < walk.tallies().size(); ++i) {
    const core::LayoutTally& tally = walk.tallies()[i];
    tallies[i] = {tally.packets, tally.short_packets, tally.gaps, tally.repeats, tally.segmented};
  }
  uint64_t unknown = 0;
  for (const auto& [key, count] : walk.unknown()) unknown += count;
  *totals = {walk.idle(),      walk.unknown().size(), unknown,
             walk.truncated(), walk.lost() ? 1 : 0,   walk.lost_at()};
}

FIELDPACK_EXPORT size_t fp_stream_packets(const fp_stream* stream, size_t layout, uint64_t* offsets,
                                          uint64_t* lengths, size_t room) {
  const std::vector<core::StreamPacket>& packets = stream->walk->packets(layout);
  for (size_t i = 0; i < packets.size() && i < room; ++i) {
    offsets[i] = packets[i].offset;
    lengths[i] = packets[i].length;
  }
  return packets.size();
}

FIELDPACK_EXPORT void fp_stream_clear_packets(fp_stream* stream) { stream->walk->clear_packets(); }

FIELDPACK_EXPORT int32_t fp_stream_reset(fp_stream* stream) {
  try {
    stream->walk = std::make_unique<core::StreamWalk>(stream->table);
    return 1;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}
