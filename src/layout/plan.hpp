// A compiled layout: a recipe read once, in the order and with the checks of unpack_parameters,
// into a plan of one row per field, and the walks of both directions over that plan. The walks
// give the packet functions' answers (results, failures and their order) for the recipe as it
// was read. Python-aware.
#pragma once

#include "python.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/encodings.hpp"
#include "common/field_window.hpp"
#include "common/text.hpp"
#include "conversions.hpp"
#include "engine_result.hpp"
#include "field_note.hpp"
#include "py_ref.hpp"

namespace fieldpack::layout {

// How the unpack walk forms a field's value from its window.
enum class Read : std::uint8_t {
  big1,
  big2,
  big4,
  big8,
  little2,
  little4,
  little8,
  general,  // any other width, mirrored bits: the shared field_value
};

// One field as construction read it.
struct FieldPlan {
  PyRef key;  // the name as a plain str: the key of the result and of the values' lookup
  const EncodingRow* row = nullptr;  // never null: construction refuses names no walk knows
  // Where both walks start the field at offset 0; 64 bits, as a recipe can place a field past
  // the largest 32-bit position, which the walks refuse when they reach it.
  std::uint64_t start_bit = 0;
  std::uint32_t bits = 0;
  std::uint32_t byte_count = 0;  // ceil(bits / 8)
  std::uint64_t mask = 0;        // the low `bits` bits; all 64 from 64 bits up
  ByteOrder order = ByteOrder::big;
  bool reverse_bits = false;
  Read read = Read::general;
};

// Where a walk failed, for the note that names the field.
struct FailedField {
  static constexpr std::size_t kNoField = static_cast<std::size_t>(-1);
  std::size_t index = kNoField;  // kNoField: the failure belongs to no field
  std::uint64_t start_bit = 0;
};

// What the packet functions' sizing walk gives for the recipe: the packet length, or the failure
// that pack_parameters reports before looking at any value.
struct Sizing {
  bool ok = true;
  std::uint64_t packet_size = 0;
  Failure failure{};
  FailedField field{};
};

// A fault of the recipe, and what is known of the field it was found in.
struct RecipeFault {
  EngineError error;
  std::size_t index = 0;
  PyRef name;            // the entry's name when it has one that is a str
  std::string encoding;  // the encoding as written, once the entry was read whole
  bool has_extent = false;
  std::uint32_t bits = 0;
  std::uint64_t start_bit = 0;

  // Raises the fault as unpack_parameters raises it, with the note of the field.
  PyObject* raise();
};

class Plan {
 public:
  // Reads `recipe` (each entry in turn: the dictionary check, the six keys, the byte order, the
  // encoding name); the first fault is returned.
  static Result<std::unique_ptr<Plan>, RecipeFault> read(const SequenceItems& recipe);

  const std::vector<FieldPlan>& fields() const { return fields_; }
  std::size_t field_count() const { return fields_.size(); }
  const Sizing& sizing() const { return sizing_; }

  // The bytes from byte floor(offset_bits / 8) that the fields' windows need when the offset
  // leaves `residue` = offset_bits mod 8 bits in its first byte.
  std::uint64_t extent(std::uint32_t residue) const { return extents_[residue]; }
  // The largest end of a field as the walks place them at offset 0.
  std::uint64_t largest_end() const { return largest_end_; }

  PyObject* names() const { return names_.get(); }
  PyObject* result_template() const { return template_.get(); }
  // A new list of new dict copies of the entries as read; empty, with ReferenceError set, once
  // the garbage collector has cleared what the layout kept of them (the objects of an entry can
  // refer back to the layout), or with the host's error.
  PyRef recipe() const;
  // What the layout keeps of the entries, for the garbage collector.
  PyObject* entries() const { return entries_.get(); }
  void clear_entries() { entries_.reset(); }

  // The note of field `index`, placed at `start_bit`.
  FieldLabel label(std::size_t index, std::uint64_t start_bit) const;
  // The field's name as UTF-8, for messages.
  TextView name_text(std::size_t index) const;
  // The failure of packing a field whose encoding packing does not know (a reserved format,
  // f128), as pack_parameters words it.
  const Failure& unpackable(std::size_t index) const { return cold_[index].unsupported; }

  // Raises the walk's failure as the packet functions raise theirs, with the note of the field.
  PyObject* raise(EngineError& error, const FailedField& where) const;

  // What is legal but probably a mistake, one sentence each; empty with the host's error set
  // only when the host fails (exhausted memory).
  PyRef problems() const;

 private:
  // What the walks need only on their failure paths and problems() needs.
  struct Cold {
    std::string encoding;  // as the recipe writes it
    bool has_offset = false;
    std::uint32_t offset_bits = 0;
    Failure unsupported;  // "Unsupported encoding type: ..." when packing does not know it
  };

  std::vector<FieldPlan> fields_;
  std::vector<Cold> cold_;
  Sizing sizing_;
  std::array<std::uint64_t, 8> extents_{};
  std::uint64_t largest_end_ = 0;
  PyRef names_;     // tuple of the keys, recipe order
  PyRef template_;  // dict: each distinct key -> None, in the order of first appearance
  // Per field: (the entry's own items as (key, value) pairs, its "name", "encoding" and
  // "byte_order" as read).
  PyRef entries_;

  PyObject* kept(std::size_t index) const;
};

// Unpacks one packet: the dict unpack_parameters(packet, offset_bits, recipe) gives, or its
// failure and the field it arose in.
EngineResult<PyRef> unpack(const Plan& plan, ByteSpan packet, std::uint32_t offset_bits,
                           FailedField& where);

// Converts and encodes the value of every field, looked up in `values` (a dict), into `image`:
// `image_size` bytes, zero to start with, standing for the packet from byte offset_bits / 8 on.
// The first failure is returned with its field. With offset 0 and an image of the sizing walk's
// packet length, the image becomes pack_parameters(recipe, values).
EngineStatus pack(const Plan& plan, PyObject* values, std::uint8_t* image, std::uint64_t image_size,
                  std::uint32_t offset_bits, FailedField& where);

}  // namespace fieldpack::layout
