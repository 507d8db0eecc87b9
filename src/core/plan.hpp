// A compiled layout below the interpreter: a plan of one compiled field per recipe entry, made
// from native field descriptions that a host has read and judged, with where the packet
// functions' walks place each field and what their sizing walk gives. The walks over a plan
// (core/walks.hpp) fill native values; each host's face makes its objects from them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/encodings.hpp"
#include "common/field_window.hpp"
#include "common/result.hpp"
#include "core/field_step.hpp"

namespace fieldpack::core {

// A field as a recipe describes it, read and judged by a host: what a plan is compiled from.
struct FieldSpec {
  std::string name;                  // UTF-8
  std::string encoding;              // as the recipe spells it
  const EncodingRow* row = nullptr;  // never null: a name no walk knows is refused before
  std::uint32_t bits = 0;
  ByteOrder order = ByteOrder::big;
  bool reverse_bits = false;
  bool has_offset = false;
  std::uint32_t offset_bits = 0;
};

struct PlannedField {
  FieldStep step;
  // Where both walks start the field at offset 0; 64 bits, as a recipe can place a field past
  // the largest 32-bit position, which the walks refuse when they reach it.
  std::uint64_t start_bit = 0;
};

// Where a walk failed (the field, and where it was placed), and what failed.
struct FieldFailure {
  static constexpr std::size_t kNoField = static_cast<std::size_t>(-1);
  std::size_t index = kNoField;
  std::uint64_t start_bit = 0;  // any offset included
  Failure failure{};
};

// What the packet functions' sizing walk gives for the recipe: the packet length, or the failure
// that pack_parameters reports before looking at any value.
struct Sizing {
  bool ok = true;
  std::uint64_t packet_size = 0;
  FieldFailure failure{};
};

// Why a bit-exact layout refuses the field, read and judged as it is (the byte order before the
// width): a little-endian number, text or float that is not a whole number of bytes. Nothing
// when it takes the field.
std::optional<Failure> bit_exact_refusal(const FieldSpec& spec);

// Where a field lies in a packet when it starts at bit `start`: from byte `first_byte` on, `shift`
// bits into it (bit-exact layouts; 0 for byte-granular ones), touching `byte_count` bytes.
struct Placement {
  std::uint64_t first_byte = 0;
  std::uint32_t shift = 0;
  std::uint64_t byte_count = 0;
};

inline Placement placement(Packing packing, const FieldStep& step, std::uint64_t start) {
  if (packing == Packing::bytes) return {start / 8, 0, step.byte_count};
  return {start / 8, static_cast<std::uint32_t>(start % 8), bit_span(start % 8, step.bits)};
}

// Where a bit-exact field's bits go with one 64-bit load and store (field_step.hpp, store_word)
// when the packet starts on a byte boundary and the image has eight bytes to spare after its
// end: the word from byte `first_byte`, the field `below` bits above the word's last bit.
// `fits` is false for fields that go in otherwise.
struct WordPlace {
  std::uint64_t first_byte = 0;
  std::uint32_t below = 0;
  bool fits = false;
};

class Plan {
 public:
  // A bit-exact plan's specs must be ones that bit_exact_refusal takes.
  explicit Plan(std::vector<FieldSpec> specs, Packing packing = Packing::bytes);

  Packing packing() const { return packing_; }
  // One per field for a bit-exact plan; empty for a byte-granular one.
  const std::vector<WordPlace>& word_places() const { return word_places_; }
  Placement placement(std::size_t index, std::uint64_t start) const {
    return core::placement(packing_, fields_[index].step, start);
  }

  std::size_t field_count() const { return fields_.size(); }
  const std::vector<PlannedField>& fields() const { return fields_; }
  const FieldSpec& spec(std::size_t index) const { return specs_[index]; }
  const Sizing& sizing() const { return sizing_; }

  // The bytes from byte floor(offset_bits / 8) that the fields need when the offset leaves
  // `residue` = offset_bits mod 8 bits in its first byte.
  std::uint64_t extent(std::uint32_t residue) const { return extents_[residue]; }
  // The largest end of a field as the walks place them at offset 0.
  std::uint64_t largest_end() const { return largest_end_; }

  // Packing's failure for a field whose encoding it refuses (a reserved format, f128).
  Failure refused(std::size_t index) const;

  // What is legal but probably a mistake, one sentence each. `names` holds each field's name as
  // the host shows a name (its repr), `unread_keys` per field the keys of its entry that no walk
  // reads, as the host shows them.
  std::vector<std::string> problems(std::span<const std::string> names,
                                    std::span<const std::vector<std::string>> unread_keys) const;

 private:
  std::vector<FieldSpec> specs_;
  Packing packing_ = Packing::bytes;
  std::vector<PlannedField> fields_;
  std::vector<WordPlace> word_places_;
  Sizing sizing_;
  std::array<std::uint64_t, 8> extents_{};
  std::uint64_t largest_end_ = 0;
};

}  // namespace fieldpack::core
