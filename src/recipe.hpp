// Reading field definitions out of recipe entries, shared by both packet engines, and the error
// type of the engines.
#pragma once

#include "python.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "encoding_names.hpp"
#include "py_ref.hpp"
#include "result.hpp"
#include "text.hpp"

namespace fieldpack {

// An exception the host raised while an engine used it, taken over the moment the call failed.
struct HostError {
  PyRef type;
  PyRef value;
  PyRef traceback;
};

using EngineError = std::variant<Failure, HostError>;

template <class T>
using EngineResult = Result<T, EngineError>;

// The value under `key` in the dictionary's own storage, never through a subclass's
// __getitem__ or __missing__; empty when absent. False with a Python error set on failure.
bool dict_lookup(PyObject* dict, PyObject* key, PyRef& out);

// Takes over the pending Python exception.
HostError take_host_error();

// The interned key strings, made once when the module is first initialised.
bool make_recipe_keys();

enum class ByteOrder : std::uint8_t { big, little };

// The UTF-8 form of a str already accepted by the text conversion; for messages only.
TextView text_of(PyObject* text);

// One field definition, read in the fixed key order. "name", "encoding" and "byte_order" are
// kept as the caller's str objects, already checked to be text.
struct FieldDefinition {
  PyRef name;
  PyRef encoding;
  std::uint32_t bits = 0;
  PyRef byte_order;
  bool reverse_bits = false;
  bool has_offset = false;
  std::uint32_t offset_bits = 0;

  TextView name_text() const { return text_of(name.get()); }
  TextView encoding_text() const { return text_of(encoding.get()); }
  TextView byte_order_text() const { return text_of(byte_order.get()); }
};

// Reads field definitions for one packet call. Recipes repeat a handful of encoding and
// byte-order strings, so their lower-cased meaning is remembered by object for the length of
// the call (each remembered object held by a strong reference); a field that repeats one is
// resolved by a pointer comparison.
class RecipeReader {
 public:
  RecipeReader();

  // The dictionary check, then "name", "encoding", "bits", "byte_order", "reverse_bits" and the
  // optional "offset_bits"; the first failure is returned.
  bool read(PyObject* entry, FieldDefinition& field, EngineError& error);

  // The values of an entry's six keys, held for a later read of the same entry.
  struct Kept {
    PyRef value[6];
  };

  // What the sizing walk of packing reads: the dictionary check, "bits", then "offset_bits".
  // With `keep`, the entry's values are kept there for read_kept.
  bool read_extent(PyObject* entry, std::uint32_t& bits, bool& has_offset,
                   std::uint32_t& offset_bits, EngineError& error, Kept* keep = nullptr);

  // As read, from values kept by read_extent. Only valid while no Python code can have run since
  // (nothing but exact ints, bools, floats and strs converted), so the entry still holds them.
  bool read_kept(PyObject* entry, const Kept& kept, FieldDefinition& field, EngineError& error);

  // The encoding after full Unicode lower-casing; unknown names come back as Encoding::unknown.
  bool encoding(const FieldDefinition& field, Encoding& encoding, EngineError& error);

  // "big" or "little" after lower-casing, or the byte-order failure quoting the caller's text.
  bool byte_order(const FieldDefinition& field, ByteOrder& order, EngineError& error);

 private:
  enum Slot { kName, kEncoding, kBits, kByteOrder, kReverseBits, kOffsetBits, kSlotCount };
  static constexpr int kNoSlot = -1;
  static constexpr int kUnreadable = -2;
  static constexpr int kTrackedItems = 8;
  struct Found {
    PyObject* value[kSlotCount] = {};
    PyRef owned[kSlotCount];  // holds values a lookup handed over as new references
  };
  int slot_of(PyObject* key);
  bool scan(PyObject* entry, Found& found);
  bool collect(PyObject* entry, Found& found, EngineError& error);
  bool read_found(const Found& found, FieldDefinition& field, EngineError& error);

  // The key objects last met for each slot (interned to start with; the equal but distinct
  // strings of a recipe read from JSON once met), and the slot found at each item position of
  // the previous entry: entries of one recipe usually list the same keys in the same order.
  PyRef keys_[kSlotCount];
  int slot_at_[kTrackedItems] = {kNoSlot, kNoSlot, kNoSlot, kNoSlot,
                                 kNoSlot, kNoSlot, kNoSlot, kNoSlot};

  static constexpr int kRemembered = 4;
  struct Remembered {
    PyRef text;
    std::uint8_t meaning = 0;
  };
  static const Remembered* find(const Remembered (&table)[kRemembered], PyObject* text);
  static void remember(Remembered (&table)[kRemembered], int& next, PyObject* text,
                       std::uint8_t meaning);
  bool checked_text(PyObject* value, std::string_view key_text,
                    const Remembered (&table)[kRemembered], PyRef& out, EngineError& error);

  Remembered encodings_[kRemembered];
  Remembered byte_orders_[kRemembered];
  int next_encoding_ = 0;
  int next_byte_order_ = 0;
};

Failure unsupported_encoding(const FieldDefinition& field);

// The key under which a field's value is stored or looked up: the name itself when it is an
// exact str, else a plain str of the same text (so a subclass's hooks play no part).
PyRef name_key(const FieldDefinition& field);

// What to call an entry in a message before its "name" has been read: the name if it has a
// usable one, else "#index".
std::string entry_name(PyObject* entry, std::size_t index);

// A field whose start or end lies beyond the largest bit position a size can hold.
Failure position_out_of_range(std::string_view field_name, std::uint64_t end_bit);

inline constexpr std::uint64_t kLargestBitPosition = 0xFFFFFFFFu;

// Raises the engine's failure as the packet functions do: a ValueError "{type name}: {text}".
PyObject* raise_engine_error(EngineError& error);

inline PyObject* to_python(EngineResult<PyRef>&& result) {
  if (!result.ok()) return raise_engine_error(result.failure());
  return result.value().release();
}

}  // namespace fieldpack
