// The stream table and its walk.
#include "core/stream.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/bits.hpp"
#include "decoder/codecs/decoder.hpp"

namespace fieldpack::core {

namespace {

// How far ahead of the packet it reads the walk asks for the stream's bytes.
constexpr std::uint64_t kPrefetchAhead = 2048;

// Keys whose fields add up to this many bits or fewer get a slot each.
constexpr std::uint32_t kDenseKeyBits = 16;

bool signed_field(const FieldStep& step) { return step.decoded == ValueKind::signed_integer; }

}  // namespace

bool is_stream_integer(const FieldStep& step) {
  const Family family = step.row->family;
  return (family == Family::unsigned_integer || family == Family::signed_integer) &&
         step.bits >= 1 && step.bits <= 64;
}

std::optional<std::uint64_t> integer_pattern(const FieldStep& step, bool negative,
                                             std::uint64_t magnitude) {
  if (magnitude == 0) return 0;
  if (!signed_field(step)) {
    if (negative || magnitude > step.mask) return std::nullopt;
    return magnitude;
  }
  // Two's complement reaches one further below zero than the other two signed encodings.
  const std::uint64_t half = std::uint64_t{1} << (step.bits - 1);
  const std::uint64_t largest =
      negative && step.codec == NumberCodec::twos_complement ? half : half - 1;
  if (magnitude > largest) return std::nullopt;
  return negative ? 0 - magnitude : magnitude;
}

StreamTable::StreamTable(const Plan& header, StreamSpec spec)
    : header_(&header), spec_(std::move(spec)) {
  header_need_ = std::max<std::uint64_t>(whole_size(header), 1);
  readers_.resize(header.field_count());
  for (std::size_t i = 0; i < header.field_count(); ++i) {
    const FieldStep& step = header.fields()[i].step;
    const Placement placed = header.placement(i, header.fields()[i].start_bit);
    Reader& reader = readers_[i];
    reader.first_byte = placed.first_byte;
    reader.bits = step.bits;
    reader.mask = step.mask;
    reader.codec = signed_field(step) ? step.codec : NumberCodec::other;
    if (!is_stream_integer(step) || step.order != ByteOrder::big || step.reverse_bits) continue;
    if (header.packing() == Packing::bits) {
      // The field's bits [shift, shift + bits) of the word, shifted to its bottom.
      reader.word = placed.shift + step.bits <= 64;
      reader.left = placed.shift;
      reader.right = 64 - step.bits;
    } else {
      // The window's whole bytes, right-aligned, then the field's low bits.
      reader.word = step.byte_count <= 8;
      reader.right = 64 - 8 * step.byte_count;
    }
  }
  std::uint32_t key_bits = 0;
  for (const std::size_t field : spec_.key_fields) key_bits += header.fields()[field].step.bits;
  auto insert = [&](const KeyValues& key, std::int32_t value) {
    if (key_bits <= kDenseKeyBits) {
      std::uint64_t slot = 0;
      for (std::size_t i = 0; i < key.size(); ++i) {
        const FieldStep& step = header.fields()[spec_.key_fields[i]].step;
        slot = (slot << step.bits) | (key[i] & step.mask);
      }
      dense_[static_cast<std::size_t>(slot)] = value;
    } else {
      keyed_.emplace(key, value);
    }
  };
  if (key_bits <= kDenseKeyBits) {
    dense_bits_ = key_bits;
    dense_.assign(std::size_t{1} << key_bits, kUnknown);
  }
  for (const KeyValues& key : spec_.idle_keys) insert(key, kIdle);
  // Layouts after idle keys: a key given as both is a layout's.
  for (std::size_t i = 0; i < spec_.layout_keys.size(); ++i) {
    insert(spec_.layout_keys[i], static_cast<std::int32_t>(i));
  }
}

std::int32_t StreamTable::lookup(const std::uint64_t* key) const {
  if (!dense_.empty()) {
    // Each field's low bits: a signed value's pattern there is as unique as the value, since
    // no field holds more values than its bits can tell apart.
    std::uint64_t slot = 0;
    for (std::size_t i = 0; i < spec_.key_fields.size(); ++i) {
      const FieldStep& step = header_->fields()[spec_.key_fields[i]].step;
      slot = (slot << step.bits) | (key[i] & step.mask);
    }
    return dense_[static_cast<std::size_t>(slot)];
  }
  const auto found = keyed_.find(KeyValues(key, key + spec_.key_fields.size()));
  return found == keyed_.end() ? kUnknown : found->second;
}

bool StreamTable::is_signed(std::size_t index) const {
  return signed_field(header_->fields()[index].step);
}

std::uint64_t StreamTable::signed_pattern(const Reader& reader, std::uint64_t raw) {
  std::int64_t value = 0;
  switch (reader.codec) {
    case NumberCodec::twos_complement:
      value = decoder::decode_twos_complement(raw, reader.bits);
      break;
    case NumberCodec::ones_complement:
      value = decoder::decode_ones_complement(raw, reader.bits);
      break;
    default:
      value = decoder::decode_sign_magnitude(raw, reader.bits);
      break;
  }
  return static_cast<std::uint64_t>(value);
}

std::uint64_t StreamTable::read_step(std::size_t index, const std::uint8_t* packet,
                                     std::uint64_t available) const {
  const PlannedField& field = header_->fields()[index];
  const Placement placed = header_->placement(index, field.start_bit);
  FieldValue value;
  Failure failure;
  TextRoom room;
  // Integer fields of at most 64 bits decode without a failure.
  if (header_->packing() == Packing::bits) {
    decode_bits(field.step, packet + placed.first_byte, placed.shift, available - placed.first_byte,
                room, value, failure);
  } else {
    decode(field.step, packet + placed.first_byte, room, value, failure);
  }
  return signed_field(field.step) ? static_cast<std::uint64_t>(value.signed_value)
                                  : value.unsigned_value;
}

StreamWalk::StreamWalk(const StreamTable& table)
    : table_(table),
      packets_(table.layout_count()),
      tallies_(table.layout_count()),
      key_(table.spec().key_fields.size()) {}

void StreamWalk::clear_packets() {
  for (std::vector<StreamPacket>& packets : packets_) packets.clear();
}

// The length field's value plus the offset, as bytes: 0 below zero, the largest length above it.
std::uint64_t StreamWalk::packet_length(std::uint64_t field_value) const {
  const StreamSpec& spec = table_.spec();
  const bool negative =
      table_.is_signed(*spec.length_field) && static_cast<std::int64_t>(field_value) < 0;
  const std::uint64_t magnitude =
      negative ? magnitude_of(static_cast<std::int64_t>(field_value)) : field_value;
  const bool offset_negative = spec.length_offset < 0;
  const std::uint64_t offset = magnitude_of(spec.length_offset);
  if (negative && offset_negative) return 0;
  if (!negative && !offset_negative) {
    const std::uint64_t sum = magnitude + offset;
    return sum < magnitude ? ~std::uint64_t{0} : sum;
  }
  const std::uint64_t plus = negative ? offset : magnitude;
  const std::uint64_t minus = negative ? magnitude : offset;
  return plus >= minus ? plus - minus : 0;
}

void StreamWalk::count_sequence(LayoutTally& tally, std::uint64_t sequence) const {
  const std::uint64_t modulus = table_.spec().sequence_modulus;
  if (modulus != 0) sequence %= modulus;
  if (tally.counted) {
    const std::uint64_t last = tally.last_sequence;
    if (sequence == last) {
      ++tally.repeats;
    } else if (sequence > last) {
      tally.gaps += sequence - last - 1;
    } else {
      // Counted past the modulus (or past 2^64, where the subtraction wraps by itself).
      tally.gaps += modulus == 0 ? sequence - last - 1 : modulus - (last - sequence) - 1;
    }
  }
  tally.counted = true;
  tally.last_sequence = sequence;
}

WalkStop StreamWalk::walk(const std::uint8_t* data, std::uint64_t size, std::uint64_t base,
                          bool at_end) {
  const StreamSpec& spec = table_.spec();
  const std::uint64_t header_need = table_.header_need();
  std::uint64_t position = 0;
  auto stop = [&](std::uint64_t wanted) {
    if (at_end) {
      truncated_ = size - position;
      wanted = 0;
    }
    return WalkStop{position, wanted};
  };
  while (!lost_) {
    const std::uint64_t left = size - position;
    if (left < header_need) return stop(header_need);
    const std::uint8_t* packet = data + position;
    // Each packet's place depends on the length read from the one before it, so the walk waits
    // for every header it reads unless the bytes ahead are on their way: ask for them early.
    if (left > kPrefetchAhead) __builtin_prefetch(packet + kPrefetchAhead);
    bool in_sync = true;
    for (const HeaderCheck& check : spec.sync) {
      in_sync = in_sync && table_.read(check.field, packet, left) == check.value;
    }
    std::uint64_t length = spec.size;
    if (spec.length_field) {
      length = packet_length(table_.read(*spec.length_field, packet, left));
    }
    // A length below the header's would read the next header inside this one: the bytes are
    // no longer packets as the stream describes them, and the walk ends rather than guess.
    if (!in_sync || length < header_need) {
      lost_ = true;
      lost_at_ = base + position;
      return {position, 0};
    }
    if (length > left) return stop(length);
    for (std::size_t i = 0; i < key_.size(); ++i) {
      key_[i] = table_.read(spec.key_fields[i], packet, left);
    }
    const std::int32_t layout = table_.lookup(key_.data());
    if (layout >= 0) {
      const auto index = static_cast<std::size_t>(layout);
      LayoutTally& tally = tallies_[index];
      if (length >= spec.layout_needs[index]) {
        ++tally.packets;
      } else {
        ++tally.short_packets;
      }
      if (spec.sequence_field)
        count_sequence(tally, table_.read(*spec.sequence_field, packet, left));
      for (const HeaderCheck& check : spec.whole) {
        if (table_.read(check.field, packet, left) != check.value) {
          ++tally.segmented;
          break;
        }
      }
      packets_[index].push_back({base + position, length});
    } else if (layout == StreamTable::kIdle) {
      ++idle_;
    } else {
      const auto found = unknown_index_.find(key_);
      if (found != unknown_index_.end()) {
        ++unknown_[found->second].second;
      } else {
        unknown_index_.emplace(key_, unknown_.size());
        unknown_.emplace_back(key_, 1);
      }
    }
    position += length;
  }
  return {position, 0};
}

std::uint64_t gather(const std::uint8_t* data, std::uint64_t base,
                     std::span<const StreamPacket> packets, std::uint64_t need,
                     std::uint64_t stride, std::uint8_t* out) {
  std::uint64_t count = 0;
  const auto bytes = static_cast<std::size_t>(stride);
  for (const StreamPacket& packet : packets) {
    if (packet.length < need) continue;
    std::memcpy(out + count * stride, data + (packet.offset - base), bytes);
    ++count;
  }
  return count;
}

}  // namespace fieldpack::core
