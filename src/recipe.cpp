// Field-definition keys as both packet engines read them.
#include "recipe.hpp"

#include <cstring>
#include <string>

#include "conversions.hpp"
#include "host.hpp"

namespace fieldpack {

namespace {

std::array<PyObject*, kRecipeKeyCount> interned_keys{};
// Every encoding name and both byte orders as interned strs: a recipe written as literals holds
// these very objects, so most values are recognised by one pointer comparison.
std::array<PyObject*, kEncodingCount> interned_encodings{};
std::array<PyObject*, 2> interned_byte_orders{};  // "big", "little"

EngineStatus require_dict(PyObject* entry) {
  if (is_entry(entry)) return kDone;
  raise_type_cast(entry, "dict");
  return host_error();
}

// The text conversion's check without keeping the UTF-8 form: a plain ASCII str needs none.
EngineStatus check_text(PyObject* object) {
  std::string_view ascii;
  if (PyUnicode_CheckExact(object) && ascii_text(object, ascii)) return kDone;
  TextView ignored;
  if (convert_text(object, ignored)) return kDone;
  return host_error();
}

// Converting these runs no Python code: exact bools, and ints read straight from their storage.
bool converts_without_hooks(PyObject* object) {
  return PyLong_Check(object) || object == Py_True || object == Py_False;
}

EngineResult<std::uint32_t> size_value(PyObject* value) {
  std::uint32_t out = 0;
  if (convert_size(value, out)) return out;
  return host_error();
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
EngineStatus unicode_lower(PyObject* text, PyRef& lowered, std::string_view& out) {
  PyRef plain = PyRef::borrow(text);
  if (!PyUnicode_CheckExact(text)) {  // a subclass's own lower() plays no part
    const TextView utf8 = text_of(text);
    plain = PyRef::steal(
        PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
    if (!plain) return host_error();
  }
  lowered = PyRef::steal(PyObject_CallMethod(plain.get(), "lower", nullptr));
  TextView utf8;
  if (!lowered || !convert_text(lowered.get(), utf8)) return host_error();
  out = utf8;
  return kDone;
}

// `object`'s text lower-cased into `out` (which may view `buffer` or `lowered`); text too long to
// be any of the names wanted comes back empty.
EngineStatus lower_name(PyObject* object, char* buffer, std::size_t capacity, PyRef& lowered,
                        std::string_view& out) {
  std::string_view stored;
  const TextView text = ascii_text(object, stored) ? stored : text_of(object);
  if (ascii_lower(text, buffer, capacity, out)) return kDone;
  bool ascii = true;
  for (char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) {  // too long to match, so its exact lower-case form does not matter
    out = std::string_view{};
    return kDone;
  }
  return unicode_lower(object, lowered, out);
}

}  // namespace

namespace {

template <std::size_t N, class Names>
bool intern_all(std::array<PyObject*, N>& out, const Names& names) {
  std::array<PyObject*, N> made{};
  std::size_t slot = 0;
  for (const std::string_view name : names) {
    made[slot] = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (!made[slot]) {
      for (PyObject* done : made) Py_XDECREF(done);
      return false;
    }
    PyUnicode_InternInPlace(&made[slot]);
    ++slot;
  }
  out = made;  // kept for the life of the process
  return true;
}

std::array<std::string_view, kEncodingCount> encoding_names() {
  std::array<std::string_view, kEncodingCount> names{};
  for (std::size_t i = 0; i < kEncodingCount; ++i) names[i] = kEncodings[i].name;
  return names;
}

}  // namespace

bool make_recipe_keys() {
  if (interned_keys[0]) return true;
  constexpr std::array<std::string_view, 2> kByteOrderNames = {"big", "little"};
  return intern_all(interned_encodings, encoding_names()) &&
         intern_all(interned_byte_orders, kByteOrderNames) &&
         intern_all(interned_keys, kRecipeKeyNames);
}

PyObject* interned_key(RecipeKey key) { return interned_keys[slot_of(key)]; }

TextView text_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (!utf8) {
    PyErr_Clear();
    return {};
  }
  return TextView(utf8, static_cast<std::size_t>(size));
}

namespace {

// "the entry has 'byteorder'; did you mean 'byte_order'?" when the entry has a key close to
// `key` (difflib.get_close_matches with its default cutoff) that is none of the six; empty
// otherwise, and when the host fails (its error is dropped: this only explains a failure).
std::string close_key_hint(PyObject* entry, std::string_view key) {
  std::string hint;
  PyRef keys = host::text_keys(entry);
  PyRef candidates = PyRef::steal(keys ? PyList_New(0) : nullptr);
  for (Py_ssize_t i = 0; candidates && i < PyList_GET_SIZE(keys.get()); ++i) {
    PyObject* candidate = PyList_GET_ITEM(keys.get(), i);
    bool ours = false;
    for (const std::string_view name : kRecipeKeyNames) {
      ours = ours || text_of(candidate) == name;
    }
    if (!ours && PyList_Append(candidates.get(), candidate) < 0) candidates.reset();
  }
  // Imported once and kept, as the module's own names are.
  static PyObject* get_close_matches = nullptr;
  if (candidates && !get_close_matches) {
    PyRef difflib = PyRef::steal(PyImport_ImportModule("difflib"));
    if (difflib) get_close_matches = PyObject_GetAttrString(difflib.get(), "get_close_matches");
  }
  PyRef wanted = PyRef::steal(
      candidates && get_close_matches
          ? PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()))
          : nullptr);
  PyRef matches =
      PyRef::steal(wanted ? PyObject_CallFunctionObjArgs(get_close_matches, wanted.get(),
                                                         candidates.get(), nullptr)
                          : nullptr);
  if (matches && PyList_Check(matches.get()) && PyList_GET_SIZE(matches.get()) > 0) {
    PyRef shown = PyRef::steal(PyObject_Repr(PyList_GET_ITEM(matches.get(), 0)));
    Py_ssize_t size = 0;
    const char* utf8 = shown ? PyUnicode_AsUTF8AndSize(shown.get(), &size) : nullptr;
    if (utf8) {
      hint = "the entry has ";
      hint.append(utf8, static_cast<std::size_t>(size));
      hint += "; did you mean '";
      hint += key;
      hint += "'?";
    }
  }
  PyErr_Clear();
  return hint;
}

// KeyError "Recipe missing required field: '{key}'", with the hint of a close key.
Failure missing_field(PyObject* entry, RecipeKey key) {
  Failure failure = core::missing_field(key);
  failure.hint = close_key_hint(entry, name_of(key));
  return failure;
}

}  // namespace

// The values of one entry as the general path reads them, each owned from the moment it is
// found.
class RecipeReader::Entry {
 public:
  // `scanned`: what a pass over the entry found, still the entry's own since nothing has run.
  Entry(PyObject* dict, const Found* scanned) : dict_(dict), stale_(scanned == nullptr) {
    if (scanned) {
      for (std::size_t slot = 0; slot < kRecipeKeyCount; ++slot) {
        values_[slot] = PyRef::borrow((*scanned)[slot]);
      }
    }
  }

  // The value under `key`, or empty when the entry has none.
  EngineResult<PyObject*> get(RecipeKey key) {
    const std::size_t slot = slot_of(key);
    if (stale_ && !host::dict_lookup(dict_, interned_key(key), values_[slot])) return host_error();
    return values_[slot].get();
  }

  // A required key's value, owned by `out`.
  EngineStatus required(RecipeKey key, PyRef& out) {
    EngineResult<PyObject*> value = get(key);
    if (!value.ok()) return std::move(value.failure());
    if (!value.value()) return EngineError{missing_field(dict_, key)};
    out = PyRef::borrow(value.value());
    return kDone;
  }

  // A size; the value is owned while its conversion runs. `present` says whether the key is.
  EngineStatus size(RecipeKey key, bool required_key, bool& present, std::uint32_t& out) {
    EngineResult<PyObject*> value = get(key);
    if (!value.ok()) return std::move(value.failure());
    present = value.value() != nullptr;
    if (!present) {
      return required_key ? EngineStatus(EngineError{missing_field(dict_, key)}) : kDone;
    }
    const PyRef held = PyRef::borrow(value.value());
    EngineResult<std::uint32_t> converted = size_value(held.get());
    if (!converted.ok()) return std::move(converted.failure());
    out = converted.value();
    after_converting(held.get());
    return kDone;
  }

  // A required flag; the value is owned while its conversion runs.
  EngineStatus flag(RecipeKey key, bool& out) {
    EngineResult<PyObject*> value = get(key);
    if (!value.ok()) return std::move(value.failure());
    if (!value.value()) return EngineError{missing_field(dict_, key)};
    const PyRef held = PyRef::borrow(value.value());
    if (held.get() == Py_True || held.get() == Py_False) {
      out = held.get() == Py_True;
    } else if (!convert_bool(held.get(), out)) {
      return host_error();
    }
    after_converting(held.get());
    return kDone;
  }

 private:
  // After converting `object`: if that may have run Python code, the keys still to be read are
  // looked up afresh.
  void after_converting(PyObject* object) {
    if (!converts_without_hooks(object)) stale_ = true;
  }

  PyObject* dict_;
  PyRef values_[kRecipeKeyCount];
  bool stale_;  // whether the values must be looked up afresh as they are read
};

template <class Meaning>
const Meaning* RecipeReader::Remembered<Meaning>::find(PyObject* object) const {
  for (unsigned i = 0; i < kRemembered; ++i) {
    if (text[i] == object) return &meaning[i];
  }
  return nullptr;
}

template <class Meaning>
const Meaning* RecipeReader::Remembered<Meaning>::find_equal(PyObject* object) const {
  // Equal text in another object, as every value of a recipe read from JSON is.
  if (!PyUnicode_Check(object)) return nullptr;
  std::string_view probe;
  if (ascii_text(object, probe)) {
    // Plain ASCII, as names nearly always are: its bytes are read once, and only remembered
    // ASCII texts can equal it.
    for (unsigned i = 0; i < kRemembered; ++i) {
      if (text[i] && ascii[i].data && same_bytes({ascii[i].data, ascii[i].size}, probe)) {
        return &meaning[i];
      }
    }
    return nullptr;
  }
  for (unsigned i = 0; i < kRemembered; ++i) {
    if (text[i] && same_text(text[i], object)) return &meaning[i];
  }
  return nullptr;
}

template <class Meaning>
void RecipeReader::Remembered<Meaning>::store(PyObject* object, Meaning value, bool own) {
  const unsigned slot = next;
  next = (next + 1) & (kRemembered - 1);
  PyObject* const old = text[slot];
  const bool old_owned = (owned >> slot) & 1u;
  text[slot] = object;
  meaning[slot] = value;
  owned = own ? owned | (1u << slot) : owned & ~(1u << slot);
  // Dropped last, with this slot already consistent: a str subclass's finalizer may run here.
  if (old_owned) Py_DECREF(old);
}

template <class Meaning>
void RecipeReader::Remembered<Meaning>::remember(PyObject* object, Meaning value) {
  // The view lives in the str's own storage, which the reference taken here keeps. An interned
  // str is found by pointer; only others are looked for by their text.
  std::string_view stored;
  if (PyUnicode_Check(object) && !(PyUnicode_CheckExact(object) && host::may_be_interned(object))) {
    ascii_text(object, stored);
  }
  ascii[next] = Bytes{stored.data(), stored.size()};
  Py_INCREF(object);
  store(object, value, true);
}

template <class Meaning>
void RecipeReader::Remembered<Meaning>::remember_ours(PyObject* object, Meaning value) {
  ascii[next] = Bytes{nullptr, 0};
  store(object, value, false);
}

RecipeReader::RecipeReader() {
  for (std::size_t slot = 0; slot < kRecipeKeyCount; ++slot) keys_[slot] = interned_keys[slot];
}

int RecipeReader::slot_of_key(PyObject* key) {
  for (std::size_t slot = 0; slot < kRecipeKeyCount; ++slot) {
    if (key == keys_[slot]) return static_cast<int>(slot);
  }
  if (!PyUnicode_CheckExact(key)) return kUnreadable;
  std::string_view text;
  // Our names are ASCII: a str that is not cannot be one of them.
  if (!ascii_text(key, text)) return kNoSlot;
  for (std::size_t slot = 0; slot < kRecipeKeyCount; ++slot) {
    if (text == kRecipeKeyNames[slot]) {
      json_keys_[slot] = PyRef::borrow(key);
      keys_[slot] = key;
      return static_cast<int>(slot);
    }
  }
  return kNoSlot;
}

bool RecipeReader::scan(PyObject* entry, Found& found) {
  for (PyObject*& value : found) value = nullptr;
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  // Counting items spares the call that would only report the end.
  const Py_ssize_t size = PyDict_Size(entry);
  for (Py_ssize_t item = 0; item < size && PyDict_Next(entry, &position, &key, &value); ++item) {
    int slot = kNoSlot;
    if (item < kTrackedItems) {
      const int expected = slot_at_[item];
      if (expected >= 0 && key == keys_[expected]) {
        slot = expected;
      } else {
        slot = slot_of_key(key);
        slot_at_[item] = slot;
      }
    } else {
      slot = slot_of_key(key);
    }
    if (slot == kUnreadable) return false;
    if (slot >= 0) found[slot] = value;
  }
  return true;
}

namespace {

// Exact str whose text is at hand without a failure; its UTF-8 form is then cached by the host.
bool plain_text(PyObject* value) {
  if (!value || !PyUnicode_CheckExact(value)) return false;
  std::string_view ascii;
  if (ascii_text(value, ascii)) return true;
  Py_ssize_t size = 0;
  if (PyUnicode_AsUTF8AndSize(value, &size)) return true;
  PyErr_Clear();  // the general path reads it again and reports the failure
  return false;
}

// An int whose value fits a size, read straight from its storage.
bool plain_size(PyObject* value, std::uint32_t& out) {
  if (!PyLong_Check(value)) return false;
  if (convert_size(value, out)) return true;
  PyErr_Clear();
  return false;
}

}  // namespace

bool RecipeReader::read_plain(const Found& found, FieldDefinition& field) {
  PyObject* const name = found[slot_of(RecipeKey::name)];
  PyObject* const encoding = found[slot_of(RecipeKey::encoding)];
  PyObject* const bits = found[slot_of(RecipeKey::bits)];
  PyObject* const byte_order = found[slot_of(RecipeKey::byte_order)];
  PyObject* const reverse = found[slot_of(RecipeKey::reverse_bits)];
  PyObject* const offset = found[slot_of(RecipeKey::offset_bits)];
  if (!plain_text(name) || !bits || !plain_size(bits, field.bits) ||
      (reverse != Py_True && reverse != Py_False)) {
    return false;
  }
  if (!encoding || !(encodings_.find(encoding) || plain_text(encoding))) return false;
  if (!byte_order || !(byte_orders_.find(byte_order) || plain_text(byte_order))) return false;
  field.has_offset = offset != nullptr;
  if (offset && !plain_size(offset, field.offset_bits)) return false;
  field.reverse_bits = reverse == Py_True;
  field.name = PyRef::borrow(name);
  field.encoding = PyRef::borrow(encoding);
  field.byte_order = PyRef::borrow(byte_order);
  return true;
}

bool RecipeReader::read_if_plain(PyObject* entry, FieldDefinition& field) {
  if constexpr (!host::kOnePassReadsAreCheap) return false;
  Found found;
  return PyDict_Check(entry) && scan(entry, found) && read_plain(found, field);
}

EngineResult<FieldDefinition> RecipeReader::read(PyObject* entry) {
  // One object returned on every path, so the definition is filled where the caller reads it:
  // moving a definition just written into the result made the move's wide loads wait for the
  // narrow stores still in flight (a few percent of a 24-field unpack).
  EngineResult<FieldDefinition> field{FieldDefinition{}};
  if constexpr (host::kOnePassReadsAreCheap) {
    Found found;
    const bool scanned = PyDict_Check(entry) && scan(entry, found);
    if (scanned && read_plain(found, field.value())) return field;
    field = read_by_keys(entry, scanned ? &found : nullptr);
  } else {
    field = read_by_keys(entry, nullptr);
  }
  return field;
}

EngineResult<FieldDefinition> RecipeReader::read_by_keys(PyObject* entry, const Found* scanned) {
  python_may_have_run_ = true;
  if (EngineStatus is_dict = require_dict(entry); !is_dict.ok()) {
    return std::move(is_dict.failure());
  }
  Entry values(entry, scanned);
  FieldDefinition field;
  bool present = false;
  // In the fixed order of the keys; a remembered encoding or byte order has passed the text
  // check before.
  EngineStatus read = values.required(RecipeKey::name, field.name);
  if (read.ok()) read = check_text(field.name.get());
  if (read.ok()) read = values.required(RecipeKey::encoding, field.encoding);
  if (read.ok() && !encodings_.find(field.encoding.get())) read = check_text(field.encoding.get());
  if (read.ok()) read = values.size(RecipeKey::bits, true, present, field.bits);
  if (read.ok()) read = values.required(RecipeKey::byte_order, field.byte_order);
  if (read.ok() && !byte_orders_.find(field.byte_order.get())) {
    read = check_text(field.byte_order.get());
  }
  if (read.ok()) read = values.flag(RecipeKey::reverse_bits, field.reverse_bits);
  if (read.ok()) {
    read = values.size(RecipeKey::offset_bits, false, field.has_offset, field.offset_bits);
  }
  if (!read.ok()) return std::move(read.failure());
  return field;
}

// Two keyed lookups cost less than a pass over all of an entry's items, and each key is then
// naturally read as the entry stands when the walk reaches it.
EngineResult<Extent> RecipeReader::read_extent(PyObject* entry) {
  python_may_have_run_ = true;
  if (EngineStatus is_dict = require_dict(entry); !is_dict.ok()) {
    return std::move(is_dict.failure());
  }
  Extent extent;
  PyRef bits;
  if (!host::dict_lookup(entry, interned_key(RecipeKey::bits), bits)) return host_error();
  if (!bits) return EngineError{missing_field(entry, RecipeKey::bits)};
  if (!convert_size(bits.get(), extent.bits)) return host_error();
  PyRef offset;
  if (!host::dict_lookup(entry, interned_key(RecipeKey::offset_bits), offset)) return host_error();
  extent.has_offset = static_cast<bool>(offset);
  if (offset && !convert_size(offset.get(), extent.offset_bits)) return host_error();
  return extent;
}

EngineResult<const EncodingRow*> RecipeReader::encoding(const FieldDefinition& field) {
  PyObject* const text = field.encoding.get();
  if (const EncodingRow* const* known = encodings_.find(text)) return *known;
  // Only an interned str can be one of ours; a recipe read from JSON holds none.
  if (PyUnicode_CheckExact(text) && host::may_be_interned(text)) {
    for (std::size_t i = 0; i < kEncodingCount; ++i) {
      if (text == interned_encodings[i]) {
        encodings_.remember_ours(text, &kEncodings[i]);
        return &kEncodings[i];
      }
    }
  }
  if (const EncodingRow* const* known = encodings_.find_equal(text)) return *known;
  // A name spelled as the table spells it needs no lower-casing.
  std::string_view ascii;
  if (PyUnicode_Check(text) && ascii_text(text, ascii)) {
    if (const EncodingRow* row = encoding_named(ascii)) {
      encodings_.remember(text, row);
      return row;
    }
  }
  char buffer[kLongestEncodingName];
  PyRef lowered;
  std::string_view lower;
  EngineStatus lowering = lower_name(text, buffer, sizeof buffer, lowered, lower);
  // str.lower() allocates objects, and an allocation can start the garbage collector.
  if (lowered) python_may_have_run_ = true;
  if (!lowering.ok()) return std::move(lowering.failure());
  const EncodingRow* row = encoding_named(lower);
  encodings_.remember(field.encoding.get(), row);
  return row;
}

EngineResult<ByteOrder> RecipeReader::byte_order(const FieldDefinition& field) {
  PyObject* const text = field.byte_order.get();
  if (const ByteOrder* known = byte_orders_.find(text)) return *known;
  for (const ByteOrder order : {ByteOrder::big, ByteOrder::little}) {
    if (text == interned_byte_orders[static_cast<std::size_t>(order)]) {
      byte_orders_.remember_ours(text, order);
      return order;
    }
  }
  // Spelled as the names are: told apart by their bytes, in another str than the interned ones
  // (as in a recipe read from JSON).
  std::string_view ascii;
  if (PyUnicode_Check(text) && ascii_text(text, ascii)) {
    if (same_bytes(ascii, "big")) return ByteOrder::big;
    if (same_bytes(ascii, "little")) return ByteOrder::little;
  }
  if (const ByteOrder* known = byte_orders_.find_equal(text)) return *known;
  char buffer[6];
  PyRef lowered;
  std::string_view lower;
  EngineStatus lowering = lower_name(text, buffer, sizeof buffer, lowered, lower);
  // str.lower() allocates objects, and an allocation can start the garbage collector.
  if (lowered) python_may_have_run_ = true;
  if (!lowering.ok()) return std::move(lowering.failure());
  if (lower == "big" || lower == "little") {
    const ByteOrder order = lower == "big" ? ByteOrder::big : ByteOrder::little;
    byte_orders_.remember(field.byte_order.get(), order);
    return order;
  }
  return EngineError{core::invalid_byte_order(field.byte_order_text())};
}

std::string entry_name(PyObject* entry, std::size_t index) {
  PyRef name;
  TextView text;
  if (is_entry(entry) && host::dict_lookup(entry, interned_key(RecipeKey::name), name) && name &&
      convert_text(name.get(), text)) {
    return std::string(text);
  }
  PyErr_Clear();
  std::string label = "#";
  append_decimal(label, index);
  return label;
}

PyRef readable_text(PyObject* entry, RecipeKey key) {
  PyRef value;
  if (!is_entry(entry) || !host::dict_lookup(entry, interned_key(key), value) || !value ||
      !PyUnicode_Check(value.get())) {
    PyErr_Clear();
    return PyRef();
  }
  return value;
}

PyRef name_key(const FieldDefinition& field) {
  if (PyUnicode_CheckExact(field.name.get())) return PyRef::borrow(field.name.get());
  const TextView text = field.name_text();
  return PyRef::steal(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace fieldpack
