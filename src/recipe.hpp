// Reading field definitions out of recipe entries, shared by both packet engines.
//
// Reading an entry can run Python code: the __index__ of "bits" or "offset_bits", the __bool__ of
// a numpy-style bool under "reverse_bits", the __eq__ of a key object whose hash equals one of
// ours (met by a keyed lookup), a dict subclass's methods (on PyPy), and finalizers run by the
// garbage collector whenever an object is allocated. Any of it may change or empty the entry, the
// recipe or the values dictionary. So every value is held by a strong reference from the moment
// it is found, and each key is read when the walk reaches it, seeing the entry as it is then: a
// key removed by an earlier key's conversion is missing. The one-pass read of an entry's items
// (CPython) stands in for the keyed lookups only while nothing but exact built-in values has been
// converted since the pass, which runs no Python code; after any other conversion the keys not
// yet read are looked up afresh.
#pragma once

#include "python.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/encodings.hpp"
#include "common/field_window.hpp"
#include "common/text.hpp"
#include "core/messages.hpp"
#include "engine_result.hpp"
#include "py_ref.hpp"

namespace fieldpack {

using core::kLargestBitPosition;
using core::kRecipeKeyCount;
using core::kRecipeKeyNames;
using core::name_of;
using core::RecipeKey;
using core::slot_of;

// The interned key strings, made once when a module is first initialised.
bool make_recipe_keys();
PyObject* interned_key(RecipeKey key);

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

// What the sizing walk of packing reads of an entry.
struct Extent {
  std::uint32_t bits = 0;
  bool has_offset = false;
  std::uint32_t offset_bits = 0;
};

// Reads field definitions for one packet call. Recipes repeat a handful of encoding and
// byte-order strings, so their meaning is remembered by object for the length of the call (each
// remembered object held by a strong reference, but for the module's own interned names, which
// outlive every call); a field that repeats one is resolved by a pointer comparison.
class RecipeReader {
 public:
  RecipeReader();

  // The dictionary check, then "name", "encoding", "bits", "byte_order", "reverse_bits" and the
  // optional "offset_bits"; the first failure is returned.
  EngineResult<FieldDefinition> read(PyObject* entry);

  // The dictionary check, "bits", then the optional "offset_bits".
  EngineResult<Extent> read_extent(PyObject* entry);

  // The whole entry when it can be read without running Python code and without a failure:
  // every key present, every value of its exact built-in type and valid. False, with nothing
  // read and nothing run, otherwise (and always on PyPy, where this would cost more than it
  // saves).
  bool read_if_plain(PyObject* entry, FieldDefinition& field);

  // Whether any read so far may have run Python code (a keyed lookup, or a conversion of
  // anything but an exact built-in value), which may have changed any entry or dictionary.
  bool python_may_have_run() const { return python_may_have_run_; }

  // The encoding's row after full Unicode lower-casing; nullptr for a name no engine knows.
  EngineResult<const EncodingRow*> encoding(const FieldDefinition& field);

  // "big" or "little" after lower-casing, or the byte-order failure quoting the caller's text.
  EngineResult<ByteOrder> byte_order(const FieldDefinition& field);

 private:
  class Entry;
  using Found = PyObject* [kRecipeKeyCount];
  static constexpr int kNoSlot = -1;
  static constexpr int kUnreadable = -2;
  static constexpr int kTrackedItems = 8;

  // CPython: the entry's six values from one pass over its items, borrowed; false when a key
  // cannot be told apart from ours without running Python code.
  bool scan(PyObject* entry, Found& found);
  int slot_of_key(PyObject* key);
  // The whole field from scanned values when every one of them is present, of its exact built-in
  // type and valid: then nothing can have run Python code, and nothing failed.
  bool read_plain(const Found& found, FieldDefinition& field);
  // Key by key, every value owned, each key looked up afresh once Python code may have run;
  // `scanned` (may be null) holds what a pass found, valid until then.
  EngineResult<FieldDefinition> read_by_keys(PyObject* entry, const Found* scanned);

  // The key objects last met for each slot: the interned ones (which live as long as the
  // module) to start with, and the equal but distinct strings of a recipe read from JSON once
  // met, then owned by json_keys_. slot_at_ is the slot found at each item position of the
  // previous entry: entries of one recipe usually list the same keys in the same order, and
  // the first entry is guessed to list them in the order they are read.
  PyObject* keys_[kRecipeKeyCount];
  PyRef json_keys_[kRecipeKeyCount];
  int slot_at_[kTrackedItems] = {0, 1, 2, 3, 4, 5, kNoSlot, kNoSlot};

  static constexpr unsigned kRemembered = 4;  // a power of two
  template <class Meaning>
  struct Remembered {
    // The module's own interned names live as long as the process and are kept without a
    // reference (most recipes hold nothing else); any other text is owned (bit i of `owned`).
    // A slot's other fields are written with its text and read only once it has one, so they
    // start uninitialised: a reader is made on every call.
    struct Bytes {
      const char* data;  // null unless the text is stored as plain ASCII
      std::size_t size;
    };
    PyObject* text[kRemembered] = {};
    Bytes ascii[kRemembered];
    Meaning meaning[kRemembered];
    unsigned owned = 0;
    unsigned next = 0;

    Remembered() = default;
    Remembered(const Remembered&) = delete;
    Remembered& operator=(const Remembered&) = delete;
    ~Remembered() {
      for (unsigned i = 0; owned != 0; ++i, owned >>= 1) {
        if (owned & 1u) Py_DECREF(text[i]);
      }
    }
    const Meaning* find(PyObject* text) const;            // the same object
    const Meaning* find_equal(PyObject* text) const;      // equal text in another str
    void remember(PyObject* text, Meaning meaning);       // takes a reference
    void remember_ours(PyObject* text, Meaning meaning);  // one of the module's interned names

   private:
    void store(PyObject* text, Meaning meaning, bool own);
  };
  Remembered<const EncodingRow*> encodings_;
  Remembered<ByteOrder> byte_orders_;
  bool python_may_have_run_ = false;
};

// The key under which a field's value is stored or looked up: the name itself when it is an
// exact str, else a plain str of the same text (so a subclass's hooks play no part). Empty with
// the host's error set on failure.
PyRef name_key(const FieldDefinition& field);

// The same key for the length of one field's use, without a reference of its own when it is the
// name itself (the field holds that one); `made` keeps a key that had to be made.
inline PyObject* field_key(const FieldDefinition& field, PyRef& made) {
  if (PyUnicode_CheckExact(field.name.get())) return field.name.get();
  made = name_key(field);
  return made.get();
}

// For notes on a failure met while reading an entry: the str under `key`, if the entry has
// one; empty otherwise, and when the lookup fails (its error is dropped).
PyRef readable_text(PyObject* entry, RecipeKey key);

// What to call an entry in a message before its "name" has been read: the name if it has a
// usable one, else "#index".
std::string entry_name(PyObject* entry, std::size_t index);

}  // namespace fieldpack
