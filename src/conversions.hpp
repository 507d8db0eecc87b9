// The named argument conversions: borrowed PyObject* -> native value. Each returns false with a
// Python exception set; the packet engines apply the same conversions to recipe entries and values.
#pragma once

#include "python.hpp"

#include <cstdint>
#include <string>

#include "common/bits.hpp"
#include "common/text.hpp"
#include "host.hpp"
#include "py_ref.hpp"

namespace fieldpack {

// Raises TypeError "'{type}' object cannot be cast as '{target}'".
void raise_type_cast(PyObject* object, const char* target);

// The qualified name of an object's type as UTF-8, or the fallback text if it cannot be had.
std::string type_qualname(PyObject* type);

// A type's name as read: its text when it is a str, a fixed stand-in otherwise.
std::string type_name_text(PyObject* name);

// Appends str(object) as UTF-8; false (the error cleared, nothing appended) when str() fails.
bool append_str(std::string& out, PyObject* object);

bool convert_u64(PyObject* object, std::uint64_t& out);
bool convert_i64(PyObject* object, std::int64_t& out);
bool convert_size(PyObject* object, std::uint32_t& out);  // 0 ... 2^32 - 1 on every host
bool convert_u128(PyObject* object, UInt128& out);
bool convert_double(PyObject* object, double& out);
bool convert_single(PyObject* object, float& out);
bool convert_bool(PyObject* object, bool& out);
bool convert_text(PyObject* object, TextView& out);
// A str read in place, in the host's own storage where it has one and as its UTF-8 form
// otherwise. A str holding a lone surrogate fails as convert_text does, with the host's own
// encoding error.
bool convert_stored_text(PyObject* object, StoredText& out);
bool convert_bytes(PyObject* object, ByteSpan& out);
// A str (or subclass) as it is, borrowed: the caller's arguments hold it for the call.
bool convert_str(PyObject* object, PyObject*& out);
// The items of a sequence argument, each held by a strong reference for the length of the call,
// so that changes to the caller's sequence while a call runs cannot pull an item away. A tuple is
// held as it is, a list's items are copied, and any other sequence is iterated (host.hpp).
class SequenceItems {
 public:
  // User-provided, so that a value-initialized SequenceItems (as an element of the binder's
  // std::tuple is) does not first zero its inline storage.
  SequenceItems() {}
  SequenceItems(const SequenceItems&) = delete;
  SequenceItems& operator=(const SequenceItems&) = delete;
  ~SequenceItems();

  bool collect(PyObject* sequence);  // false with a Python error set
  // For the recipe of a pack: a list or a tuple whose items the host must see first (PyPy's) is
  // left to finish, which collects it and screens the values to pack in the same call into the
  // host; any other sequence is collected at once. False with a Python error set.
  bool collect_later(PyObject* sequence);
  // What collect_later left, collected, and the values to pack as the walks may read them
  // (host::pack_values). False with a Python error set.
  bool finish(PyObject* values, PyRef& readable_values);
  Py_ssize_t size() const { return size_; }
  PyObject* operator[](Py_ssize_t index) const { return items_[index]; }

 private:
  static constexpr Py_ssize_t kInline = 16;
  bool reserve(Py_ssize_t count);
  bool hold_list_items(PyObject* list);

  PyRef pending_;              // left by collect_later
  PyRef tuple_;                // when the items are a tuple's
  PyObject* inline_[kInline];  // otherwise owned here, or in heap_ beyond kInline
  PyObject** heap_ = nullptr;
  PyObject** owned_ = inline_;
  Py_ssize_t capacity_ = kInline;
  PyObject* const* items_ = inline_;
  Py_ssize_t size_ = 0;
};

bool convert_sequence(PyObject* object, SequenceItems& out);
// convert_sequence for a recipe whose pack finishes collecting it (SequenceItems::finish).
bool convert_pack_recipe(PyObject* object, SequenceItems& out);

// A recipe entry: a dict, a dict subclass, or such an entry as the host hands it over.
inline bool is_entry(PyObject* object) {
  return PyDict_Check(object) || host::is_held_entry(object);
}
bool convert_dict(PyObject* object, PyObject*& out);  // out: the same object, borrowed

// Conversion tags for the function table: the native type and the routine that fills it.
template <class Native, bool (*Convert)(PyObject*, Native&)>
struct Conversion {
  using native = Native;
  static bool convert(PyObject* object, Native& out) { return Convert(object, out); }
};

using U64Arg = Conversion<std::uint64_t, convert_u64>;
using I64Arg = Conversion<std::int64_t, convert_i64>;
using SizeArg = Conversion<std::uint32_t, convert_size>;
using U128Arg = Conversion<UInt128, convert_u128>;
using DoubleArg = Conversion<double, convert_double>;
using SingleArg = Conversion<float, convert_single>;
using BoolArg = Conversion<bool, convert_bool>;
using StrArg = Conversion<PyObject*, convert_str>;
using StoredTextArg = Conversion<StoredText, convert_stored_text>;
using BytesArg = Conversion<ByteSpan, convert_bytes>;
using SequenceArg = Conversion<SequenceItems, convert_sequence>;
using PackRecipeArg = Conversion<SequenceItems, convert_pack_recipe>;
using DictArg = Conversion<PyObject*, convert_dict>;

}  // namespace fieldpack
