// Streams of packets of several kinds back to back, each starting with the same header, below the
// interpreter: the table that a stream's header fields and keys compile into, and the walk that
// reads each packet's header, finds its layout by key, its length, counts its sequence, and
// collects the packets of each layout for the column decoders. The walk reads nothing but the
// bytes it is given and keeps no pointer into them, so a host may run it without its interpreter
// lock, on a buffer or on a copy of one chunk at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "core/field_step.hpp"
#include "core/plan.hpp"

namespace fieldpack::core {

// A packet's key: per key field, the 64-bit pattern of its decoded integer (a signed value as
// its two's complement).
using KeyValues = std::vector<std::uint64_t>;

// A header field that must hold `value` (its decoded integer's pattern).
struct HeaderCheck {
  std::size_t field = 0;
  std::uint64_t value = 0;
};

// What a stream is made of, as a host has read and judged it: header fields by their index in
// the header's plan, each of them an integer field (stream_field_refusal takes it).
struct StreamSpec {
  std::vector<std::size_t> key_fields;  // at least one
  // A packet is `length_field`'s value plus `length_offset` bytes long, or `size` bytes when
  // there is no length field.
  std::optional<std::size_t> length_field;
  std::int64_t length_offset = 0;
  std::uint64_t size = 0;
  // Sequence counts per key, modulo `sequence_modulus` (0 stands for 2^64).
  std::optional<std::size_t> sequence_field;
  std::uint64_t sequence_modulus = 0;
  // A packet whose field differs from its check has lost sync (the walk stops there); a packet
  // of a known key whose field differs from a `whole` check is counted as a segment.
  std::vector<HeaderCheck> sync;
  std::vector<HeaderCheck> whole;
  // Per layout: its key and the bytes its fields need from a packet's start; a packet shorter
  // than that is counted and left out of the columns.
  std::vector<KeyValues> layout_keys;
  std::vector<std::uint64_t> layout_needs;
  // Keys of idle packets: counted, neither decoded nor unknown.
  std::vector<KeyValues> idle_keys;
};

// The bytes of a whole packet of a plan: its size (what the packet functions' sizing walk gives,
// never less than what its fields need), or what its fields need when it has none.
inline std::uint64_t whole_size(const Plan& plan) {
  return plan.sizing().ok ? plan.sizing().packet_size : plan.extent(0);
}

// Whether a header field can be read as a stream's integer (a key, a length, a sequence count):
// an unsigned or signed integer encoding of 1 to 64 bits, which decodes without a failure.
bool is_stream_integer(const FieldStep& step);

// The pattern of the decoded integer -magnitude (when `negative`) or magnitude, when a stream
// integer field can give that value; nothing when it never can (a key that cannot occur).
std::optional<std::uint64_t> integer_pattern(const FieldStep& step, bool negative,
                                             std::uint64_t magnitude);

class StreamTable {
 public:
  static constexpr std::int32_t kUnknown = -1;
  static constexpr std::int32_t kIdle = -2;

  // `header` must outlive the table; the spec's fields must be integer fields of it, its keys
  // distinct and of the key fields' count.
  StreamTable(const Plan& header, StreamSpec spec);

  const Plan& header() const { return *header_; }
  const StreamSpec& spec() const { return spec_; }
  std::size_t layout_count() const { return spec_.layout_keys.size(); }
  // The least bytes a packet has: the header's whole size, and at least one, so that every
  // packet moves the walk on.
  std::uint64_t header_need() const { return header_need_; }

  // The layout of a key (kUnknown, kIdle).
  std::int32_t lookup(const std::uint64_t* key) const;

  // Header field `index`'s decoded integer in a packet of which `available` bytes can be read
  // (at least header_need()), as a 64-bit pattern.
  std::uint64_t read(std::size_t index, const std::uint8_t* packet, std::uint64_t available) const {
    const Reader& reader = readers_[index];
    if (reader.word && available >= reader.first_byte + 8) [[likely]] {
      const std::uint64_t raw =
          ((detail::load_big64(packet + reader.first_byte) << reader.left) >> reader.right) &
          reader.mask;
      return reader.codec == NumberCodec::other ? raw : signed_pattern(reader, raw);
    }
    return read_step(index, packet, available);
  }
  bool is_signed(std::size_t index) const;

 private:
  // How a header field's value comes out of the 64-bit big-endian word from its first byte,
  // for a big-endian, unmirrored field of at most 64 bits (`word`); every other field, and one
  // too near the end of what can be read, goes through its decode step.
  struct Reader {
    std::uint64_t first_byte = 0;
    std::uint32_t left = 0;
    std::uint32_t right = 0;
    std::uint64_t mask = 0;
    std::uint32_t bits = 0;
    NumberCodec codec = NumberCodec::other;  // a signed field's; other for unsigned
    bool word = false;
  };
  static std::uint64_t signed_pattern(const Reader& reader, std::uint64_t raw);
  std::uint64_t read_step(std::size_t index, const std::uint8_t* packet,
                          std::uint64_t available) const;

  std::vector<Reader> readers_;
  const Plan* header_;
  StreamSpec spec_;
  std::uint64_t header_need_ = 1;
  // Keys of at most 16 bits in all: one slot per key (the fields' low bits side by side);
  // otherwise a map.
  std::vector<std::int32_t> dense_;
  std::map<KeyValues, std::int32_t> keyed_;
  std::uint32_t dense_bits_ = 0;
};

// One packet of a layout: where it starts in the stream, and its length.
struct StreamPacket {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// What the walk counted for one layout.
struct LayoutTally {
  std::uint64_t packets = 0;        // long enough for the layout
  std::uint64_t short_packets = 0;  // shorter than the layout's fields need
  std::uint64_t gaps = 0;           // packets missing, by the sequence counts
  std::uint64_t repeats = 0;        // packets with the same count as the one before
  std::uint64_t segmented = 0;      // packets that fail a `whole` check
  bool counted = false;             // whether `last_sequence` holds a count
  std::uint64_t last_sequence = 0;
};

// Where a walk over some bytes stopped: the bytes it consumed (whole packets), and when it
// stopped for want of bytes, how many the packet there needs from `consumed` on (0 otherwise).
struct WalkStop {
  std::uint64_t consumed = 0;
  std::uint64_t wanted = 0;
};

// The walk over a stream, fed its bytes one piece after the other.
class StreamWalk {
 public:
  explicit StreamWalk(const StreamTable& table);

  // Walks the packets of `data[0, size)`, which starts at byte `base` of the stream; `at_end`
  // says no bytes follow (what is left of a packet there is the truncated tail). Appends the
  // packets of each layout to packets(layout). Stops at the first packet not wholly inside,
  // or where sync is lost, which ends the walk for good: later calls walk nothing.
  WalkStop walk(const std::uint8_t* data, std::uint64_t size, std::uint64_t base, bool at_end);

  // The packets of a layout found since clear_packets(), short ones included, in stream order.
  const std::vector<StreamPacket>& packets(std::size_t layout) const { return packets_[layout]; }
  void clear_packets();

  const std::vector<LayoutTally>& tallies() const { return tallies_; }
  // Unknown keys with their packet counts, in the order they were first met.
  const std::vector<std::pair<KeyValues, std::uint64_t>>& unknown() const { return unknown_; }
  std::uint64_t idle() const { return idle_; }
  std::uint64_t truncated() const { return truncated_; }
  bool lost() const { return lost_; }
  std::uint64_t lost_at() const { return lost_at_; }

 private:
  std::uint64_t packet_length(std::uint64_t field_value) const;
  void count_sequence(LayoutTally& tally, std::uint64_t sequence) const;

  const StreamTable& table_;
  std::vector<std::vector<StreamPacket>> packets_;
  std::vector<LayoutTally> tallies_;
  std::vector<std::pair<KeyValues, std::uint64_t>> unknown_;
  std::map<KeyValues, std::size_t> unknown_index_;
  KeyValues key_;
  std::uint64_t idle_ = 0;
  std::uint64_t truncated_ = 0;
  bool lost_ = false;
  std::uint64_t lost_at_ = 0;
};

// The first `stride` bytes of each packet at least `need` bytes long, side by side at `out`
// (`data` holds the stream from byte `base` on, every packet inside it); the packets copied.
// A stride above `need` (a layout that needs no bytes is given one) copies bytes the packet has.
std::uint64_t gather(const std::uint8_t* data, std::uint64_t base,
                     std::span<const StreamPacket> packets, std::uint64_t need,
                     std::uint64_t stride, std::uint8_t* out);

}  // namespace fieldpack::core
