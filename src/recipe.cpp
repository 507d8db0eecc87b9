// Field-definition keys as both packet engines read them, and the wrapping of engine failures.
#include "recipe.hpp"

#include <cstring>
#include <string>

#include "boundary.hpp"
#include "conversions.hpp"

namespace fieldpack {

namespace {

struct RecipeKeys {
  PyObject* name = nullptr;
  PyObject* encoding = nullptr;
  PyObject* bits = nullptr;
  PyObject* byte_order = nullptr;
  PyObject* reverse_bits = nullptr;
  PyObject* offset_bits = nullptr;
};

RecipeKeys keys;

Failure missing_field(std::string_view key) {
  std::string message = "Recipe missing required field: '";
  message += key;
  message += '\'';
  return Failure{ErrorKind::key_error, std::move(message)};
}

bool require_dict(PyObject* entry, EngineError& error) {
  if (PyDict_Check(entry)) return true;
  raise_type_cast(entry, "dict");
  error = take_host_error();
  return false;
}

bool present(const PyRef& value, std::string_view key, EngineError& error) {
  if (value) return true;
  error = missing_field(key);
  return false;
}

// The text conversion's check without keeping the UTF-8 form: a plain ASCII str needs none.
bool is_text(PyObject* object, EngineError& error) {
#if !defined(PYPY_VERSION)
  if (PyUnicode_CheckExact(object) && PyUnicode_IS_READY(object) && PyUnicode_IS_ASCII(object)) {
    return true;
  }
#endif
  TextView ignored;
  if (convert_text(object, ignored)) return true;
  error = take_host_error();
  return false;
}

bool size_value(PyObject* value, std::uint32_t& out, EngineError& error) {
  if (convert_size(value, out)) return true;
  error = take_host_error();
  return false;
}

// Lower-cases ASCII text into `buffer`; false when the text is not all ASCII or too long to be
// any name in the table.
bool ascii_lower(TextView text, char* buffer, std::size_t capacity, std::string_view& out) {
  if (text.size() > capacity) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) return false;
    buffer[i] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  }
  out = std::string_view(buffer, text.size());
  return true;
}

// Full Unicode lower-casing is the host's str.lower(): it alone knows that the Kelvin sign
// lowers to "k". Only text that is not plain ASCII comes here.
bool unicode_lower(PyObject* text, PyRef& lowered, std::string_view& out, EngineError& error) {
  PyRef plain = PyRef::borrow(text);
  if (!PyUnicode_CheckExact(text)) {  // a subclass's own lower() plays no part
    const TextView utf8 = text_of(text);
    plain = PyRef::steal(
        PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
    if (!plain) {
      error = take_host_error();
      return false;
    }
  }
  lowered = PyRef::steal(PyObject_CallMethod(plain.get(), "lower", nullptr));
  TextView utf8;
  if (!lowered || !convert_text(lowered.get(), utf8)) {
    error = take_host_error();
    return false;
  }
  out = utf8;
  return true;
}

bool lower_name(PyObject* object, TextView text, char* buffer, std::size_t capacity,
                PyRef& lowered, std::string_view& out, EngineError& error) {
  if (ascii_lower(text, buffer, capacity, out)) return true;
  bool ascii = true;
  for (char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) {  // too long to match, so its exact lower-case form does not matter
    out = std::string_view{};
    return true;
  }
  return unicode_lower(object, lowered, out, error);
}

}  // namespace

bool dict_lookup(PyObject* dict, PyObject* key, PyRef& out) {
#if defined(PYPY_VERSION)
  if (!PyDict_CheckExact(dict)) {
    // dict.get on the instance reads its own storage and never calls __missing__.
    static PyObject* dict_get = nullptr;
    static PyObject* absent = nullptr;
    if (!dict_get) dict_get = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyDict_Type), "get");
    if (!absent) absent = PyList_New(0);
    if (!dict_get || !absent) return false;
    out = PyRef::steal(PyObject_CallFunctionObjArgs(dict_get, dict, key, absent, nullptr));
    if (!out) return false;
    if (out.get() == absent) out = PyRef();
    return true;
  }
#endif
  PyObject* found = PyDict_GetItemWithError(dict, key);
  if (!found && PyErr_Occurred()) return false;
  out = PyRef::borrow(found);
  return true;
}

TextView text_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (!utf8) {
    PyErr_Clear();
    return {};
  }
  return TextView(utf8, static_cast<std::size_t>(size));
}

HostError take_host_error() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  return HostError{PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback)};
}

bool make_recipe_keys() {
  if (keys.name) return true;
  RecipeKeys made;
  made.name = PyUnicode_InternFromString("name");
  made.encoding = PyUnicode_InternFromString("encoding");
  made.bits = PyUnicode_InternFromString("bits");
  made.byte_order = PyUnicode_InternFromString("byte_order");
  made.reverse_bits = PyUnicode_InternFromString("reverse_bits");
  made.offset_bits = PyUnicode_InternFromString("offset_bits");
  if (!made.name || !made.encoding || !made.bits || !made.byte_order || !made.reverse_bits ||
      !made.offset_bits) {
    for (PyObject* key : {made.name, made.encoding, made.bits, made.byte_order,
                          made.reverse_bits, made.offset_bits}) {
      Py_XDECREF(key);
    }
    return false;
  }
  keys = made;
  return true;
}

// Two strs with the same characters; plain ASCII ones are compared as bytes.
static bool same_text(PyObject* a, PyObject* b) {
  if (PyUnicode_GET_LENGTH(a) != PyUnicode_GET_LENGTH(b)) return false;
#if !defined(PYPY_VERSION)
  if (PyUnicode_IS_READY(a) && PyUnicode_IS_READY(b) && PyUnicode_IS_ASCII(a) &&
      PyUnicode_IS_ASCII(b)) {
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<std::size_t>(PyUnicode_GET_LENGTH(a))) == 0;
  }
#endif
  return PyUnicode_Compare(a, b) == 0;
}

const RecipeReader::Remembered* RecipeReader::find(const Remembered (&table)[kRemembered],
                                                   PyObject* text) {
  for (const Remembered& entry : table) {
    if (entry.text.get() == text) return &entry;
  }
  // Equal text in another object, as every value of a recipe read from JSON is.
  if (!PyUnicode_Check(text)) return nullptr;
  for (const Remembered& entry : table) {
    if (entry.text && same_text(entry.text.get(), text)) return &entry;
  }
  return nullptr;
}

void RecipeReader::remember(Remembered (&table)[kRemembered], int& next, PyObject* text,
                            std::uint8_t meaning) {
  table[next].text = PyRef::borrow(text);
  table[next].meaning = meaning;
  next = (next + 1) % kRemembered;
}

RecipeReader::RecipeReader() {
  PyObject* const interned[kSlotCount] = {keys.name,       keys.encoding,     keys.bits,
                                          keys.byte_order, keys.reverse_bits, keys.offset_bits};
  for (int slot = 0; slot < kSlotCount; ++slot) keys_[slot] = PyRef::borrow(interned[slot]);
}

int RecipeReader::slot_of(PyObject* key) {
  for (int slot = 0; slot < kSlotCount; ++slot) {
    if (key == keys_[slot].get()) return slot;
  }
  if (!PyUnicode_CheckExact(key)) return kUnreadable;
  static constexpr const char* kTexts[kSlotCount] = {"name",       "encoding",     "bits",
                                                     "byte_order", "reverse_bits", "offset_bits"};
  static constexpr Py_ssize_t kLengths[kSlotCount] = {4, 8, 4, 10, 12, 11};
  const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
  for (int slot = 0; slot < kSlotCount; ++slot) {
    if (kLengths[slot] == length && PyUnicode_CompareWithASCIIString(key, kTexts[slot]) == 0) {
      keys_[slot] = PyRef::borrow(key);
      return slot;
    }
  }
  return kNoSlot;
}

// One pass over the entry's items costs less than a lookup per key. Only exact str keys can be
// told apart without running Python code; any other key might compare equal to one of ours
// through its own __eq__, so such an entry is read by lookups instead.
bool RecipeReader::scan(PyObject* entry, Found& found) {
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  // Counting items spares the call that would only report the end.
  const Py_ssize_t size = PyDict_Size(entry);
  for (int item = 0; item < size && PyDict_Next(entry, &position, &key, &value); ++item) {
    int slot = kNoSlot;
    if (item < kTrackedItems) {
      const int expected = slot_at_[item];
      if (expected >= 0 && key == keys_[expected].get()) {
        slot = expected;
      } else {
        slot = slot_of(key);
        slot_at_[item] = slot;
      }
    } else {
      slot = slot_of(key);
    }
    if (slot == kUnreadable) return false;
    if (slot >= 0) found.value[slot] = value;
  }
  return true;
}

bool RecipeReader::collect(PyObject* entry, Found& found, EngineError& error) {
#if defined(PYPY_VERSION)
  // PyPy's C API reads a dict subclass through its Python-level methods.
  if (!PyDict_CheckExact(entry)) {
    PyObject* const ours[kSlotCount] = {keys.name,       keys.encoding,     keys.bits,
                                        keys.byte_order, keys.reverse_bits, keys.offset_bits};
    for (int slot = 0; slot < kSlotCount; ++slot) {
      if (!dict_lookup(entry, ours[slot], found.owned[slot])) {
        error = take_host_error();
        return false;
      }
      found.value[slot] = found.owned[slot].get();
    }
    return true;
  }
#endif
  if (scan(entry, found)) return true;
  PyObject* const interned[kSlotCount] = {keys.name,       keys.encoding,     keys.bits,
                                          keys.byte_order, keys.reverse_bits, keys.offset_bits};
  for (int slot = 0; slot < kSlotCount; ++slot) {
    found.value[slot] = PyDict_GetItemWithError(entry, interned[slot]);
    if (!found.value[slot] && PyErr_Occurred()) {
      error = take_host_error();
      return false;
    }
  }
  return true;
}

// A remembered string has passed the text conversion before, so it is not checked again.
bool RecipeReader::checked_text(PyObject* value, std::string_view key_text,
                                const Remembered (&table)[kRemembered], PyRef& out,
                                EngineError& error) {
  out = PyRef::borrow(value);
  if (!present(out, key_text, error)) return false;
  return find(table, value) || is_text(value, error);
}

bool RecipeReader::read(PyObject* entry, FieldDefinition& field, EngineError& error) {
  if (!require_dict(entry, error)) return false;
  Found found;
  return collect(entry, found, error) && read_found(found, field, error);
}

bool RecipeReader::read_kept(PyObject* entry, const Kept& kept, FieldDefinition& field,
                             EngineError& error) {
  if (!require_dict(entry, error)) return false;
  Found found;
  for (int slot = 0; slot < kSlotCount; ++slot) found.value[slot] = kept.value[slot].get();
  return read_found(found, field, error);
}

bool RecipeReader::read_found(const Found& found, FieldDefinition& field, EngineError& error) {
  // Owned before any conversion runs: an __index__ or __bool__ may change the entry.
  PyRef bits = PyRef::borrow(found.value[kBits]);
  PyRef reverse = PyRef::borrow(found.value[kReverseBits]);
  PyRef offset = PyRef::borrow(found.value[kOffsetBits]);
  field.name = PyRef::borrow(found.value[kName]);
  if (!present(field.name, "name", error) || !is_text(field.name.get(), error)) return false;
  if (!checked_text(found.value[kEncoding], "encoding", encodings_, field.encoding, error)) {
    return false;
  }
  if (!present(bits, "bits", error) || !size_value(bits.get(), field.bits, error)) return false;
  if (!checked_text(found.value[kByteOrder], "byte_order", byte_orders_, field.byte_order,
                    error)) {
    return false;
  }
  if (!present(reverse, "reverse_bits", error)) return false;
  if (reverse.get() == Py_False || reverse.get() == Py_True) {
    field.reverse_bits = reverse.get() == Py_True;
  } else if (!convert_bool(reverse.get(), field.reverse_bits)) {
    error = take_host_error();
    return false;
  }
  field.has_offset = static_cast<bool>(offset);
  return !field.has_offset || size_value(offset.get(), field.offset_bits, error);
}

bool RecipeReader::read_extent(PyObject* entry, std::uint32_t& bits, bool& has_offset,
                               std::uint32_t& offset_bits, EngineError& error, Kept* keep) {
  if (!require_dict(entry, error)) return false;
  Found found;
  if (!collect(entry, found, error)) return false;
  if (keep) {
    for (int slot = 0; slot < kSlotCount; ++slot) {
      keep->value[slot] = PyRef::borrow(found.value[slot]);
    }
  }
  PyRef bits_value = PyRef::borrow(found.value[kBits]);
  PyRef offset = PyRef::borrow(found.value[kOffsetBits]);
  if (!present(bits_value, "bits", error) || !size_value(bits_value.get(), bits, error)) {
    return false;
  }
  has_offset = static_cast<bool>(offset);
  return !has_offset || size_value(offset.get(), offset_bits, error);
}

bool RecipeReader::encoding(const FieldDefinition& field, Encoding& encoding,
                            EngineError& error) {
  if (const Remembered* known = find(encodings_, field.encoding.get())) {
    encoding = static_cast<Encoding>(known->meaning);
    return true;
  }
  char buffer[kLongestEncodingName];
  PyRef lowered;
  std::string_view lower;
  if (!lower_name(field.encoding.get(), field.encoding_text(), buffer, sizeof buffer, lowered,
                  lower, error)) {
    return false;
  }
  encoding = encoding_from_name(lower);
  remember(encodings_, next_encoding_, field.encoding.get(), static_cast<std::uint8_t>(encoding));
  return true;
}

bool RecipeReader::byte_order(const FieldDefinition& field, ByteOrder& order,
                              EngineError& error) {
  if (const Remembered* known = find(byte_orders_, field.byte_order.get())) {
    order = static_cast<ByteOrder>(known->meaning);
    return true;
  }
  char buffer[6];
  PyRef lowered;
  std::string_view lower;
  if (!lower_name(field.byte_order.get(), field.byte_order_text(), buffer, sizeof buffer, lowered,
                  lower, error)) {
    return false;
  }
  if (lower == "big" || lower == "little") {
    order = lower == "big" ? ByteOrder::big : ByteOrder::little;
    remember(byte_orders_, next_byte_order_, field.byte_order.get(),
             static_cast<std::uint8_t>(order));
    return true;
  }
  std::string message = "Invalid byte_order '";
  message += field.byte_order_text();
  message += "': must be 'big' or 'little'";
  error = value_error(std::move(message));
  return false;
}

Failure unsupported_encoding(const FieldDefinition& field) {
  std::string message = "Unsupported encoding type: ";
  message += field.encoding_text();
  return value_error(std::move(message));
}

std::string entry_name(PyObject* entry, std::size_t index) {
  PyObject* name = PyDict_Check(entry) ? PyDict_GetItemWithError(entry, keys.name) : nullptr;
  TextView text;
  if (name && convert_text(name, text)) return std::string(text);
  PyErr_Clear();
  std::string label = "#";
  append_decimal(label, index);
  return label;
}

PyRef name_key(const FieldDefinition& field) {
  if (PyUnicode_CheckExact(field.name.get())) return PyRef::borrow(field.name.get());
  const TextView text = field.name_text();
  return PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Failure position_out_of_range(std::string_view field_name, std::uint64_t end_bit) {
  std::string message = "Field '";
  message += field_name;
  message += "' would end at bit ";
  append_decimal(message, end_bit);
  message += ", beyond the largest bit position ";
  append_decimal(message, kLargestBitPosition);
  return value_error(std::move(message));
}

PyObject* raise_engine_error(EngineError& error) {
  PyRef exception;
  if (auto* failure = std::get_if<Failure>(&error)) {
    exception = PyRef::steal(failure_exception(*failure));
    if (!exception) return nullptr;
  } else {
    auto& host = std::get<HostError>(error);
    // Exhausted memory and interrupts are no failure of the packet's content: they pass as
    // they are, not dressed up as a ValueError.
    const bool passes = !host.value ||
                        PyErr_GivenExceptionMatches(host.value.get(), PyExc_MemoryError) ||
                        !PyErr_GivenExceptionMatches(host.value.get(), PyExc_Exception);
    if (passes) {
      PyErr_Restore(host.type.release(), host.value.release(), host.traceback.release());
      return nullptr;
    }
    exception = std::move(host.value);
  }
  std::string message = type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())));
  message += ": ";
  if (!append_str(message, exception.get())) message += "<exception str() failed>";
  PyRef message_object = PyRef::steal(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (message_object) PyErr_SetObject(PyExc_ValueError, message_object.get());
  return nullptr;
}

}  // namespace fieldpack
