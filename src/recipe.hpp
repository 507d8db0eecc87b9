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

// Takes over the pending Python exception.
HostError take_host_error();

// The interned key strings, made once when the module is first initialised.
bool make_recipe_keys();

enum class ByteOrder : std::uint8_t { big, little };

// One field definition, read in the fixed key order. Text views stay valid while the matching
// PyRef holds its string.
struct FieldDefinition {
  PyRef name;
  TextView name_text;
  PyRef encoding;
  TextView encoding_text;
  std::uint32_t bits = 0;
  PyRef byte_order;
  TextView byte_order_text;
  bool reverse_bits = false;
  bool has_offset = false;
  std::uint32_t offset_bits = 0;
};

// The dictionary check, then "name", "encoding", "bits", "byte_order", "reverse_bits" and the
// optional "offset_bits"; the first failure is returned.
bool read_field_definition(PyObject* entry, FieldDefinition& field, EngineError& error);

// What the sizing walk of packing reads: the dictionary check, "bits", then "offset_bits".
bool read_field_extent(PyObject* entry, std::uint32_t& bits, bool& has_offset,
                       std::uint32_t& offset_bits, EngineError& error);

// The encoding after full Unicode lower-casing; unknown names come back as Encoding::unknown.
bool resolve_encoding(const FieldDefinition& field, Encoding& encoding, EngineError& error);

// "big" or "little" after lower-casing, or the byte-order failure quoting the caller's text.
bool resolve_byte_order(const FieldDefinition& field, ByteOrder& order, EngineError& error);

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
