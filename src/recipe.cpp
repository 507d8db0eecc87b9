// Field-definition keys as both packet engines read them, and the wrapping of engine failures.
#include "recipe.hpp"

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

// A strong reference to the value under `key`, or empty when absent. The lookup reads the
// dictionary's own storage, so a subclass's __getitem__ and __missing__ play no part.
bool lookup(PyObject* entry, PyObject* key, PyRef& out, EngineError& error) {
  PyObject* found = PyDict_GetItemWithError(entry, key);
  if (!found && PyErr_Occurred()) {
    error = take_host_error();
    return false;
  }
  out = PyRef::borrow(found);
  return true;
}

bool required(PyObject* entry, PyObject* key, std::string_view key_text, PyRef& out,
              EngineError& error) {
  if (!lookup(entry, key, out, error)) return false;
  if (!out) {
    error = missing_field(key_text);
    return false;
  }
  return true;
}

bool required_text(PyObject* entry, PyObject* key, std::string_view key_text, PyRef& out,
                   TextView& text, EngineError& error) {
  if (!required(entry, key, key_text, out, error)) return false;
  if (!convert_text(out.get(), text)) {
    error = take_host_error();
    return false;
  }
  return true;
}

bool required_size(PyObject* entry, PyObject* key, std::string_view key_text, std::uint32_t& out,
                   EngineError& error) {
  PyRef object;
  if (!required(entry, key, key_text, object, error)) return false;
  if (!convert_size(object.get(), out)) {
    error = take_host_error();
    return false;
  }
  return true;
}

bool optional_size(PyObject* entry, PyObject* key, bool& present, std::uint32_t& out,
                   EngineError& error) {
  PyRef object;
  if (!lookup(entry, key, object, error)) return false;
  present = static_cast<bool>(object);
  if (present && !convert_size(object.get(), out)) {
    error = take_host_error();
    return false;
  }
  return true;
}

bool require_dict(PyObject* entry, EngineError& error) {
  if (PyDict_Check(entry)) return true;
  raise_type_cast(entry, "dict");
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
  lowered = PyRef::steal(PyObject_CallMethod(text, "lower", nullptr));
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

bool read_field_definition(PyObject* entry, FieldDefinition& field, EngineError& error) {
  if (!require_dict(entry, error)) return false;
  if (!required_text(entry, keys.name, "name", field.name, field.name_text, error)) return false;
  if (!required_text(entry, keys.encoding, "encoding", field.encoding, field.encoding_text,
                     error)) {
    return false;
  }
  if (!required_size(entry, keys.bits, "bits", field.bits, error)) return false;
  if (!required_text(entry, keys.byte_order, "byte_order", field.byte_order,
                     field.byte_order_text, error)) {
    return false;
  }
  PyRef reverse;
  if (!required(entry, keys.reverse_bits, "reverse_bits", reverse, error)) return false;
  if (!convert_bool(reverse.get(), field.reverse_bits)) {
    error = take_host_error();
    return false;
  }
  return optional_size(entry, keys.offset_bits, field.has_offset, field.offset_bits, error);
}

bool read_field_extent(PyObject* entry, std::uint32_t& bits, bool& has_offset,
                       std::uint32_t& offset_bits, EngineError& error) {
  if (!require_dict(entry, error)) return false;
  if (!required_size(entry, keys.bits, "bits", bits, error)) return false;
  return optional_size(entry, keys.offset_bits, has_offset, offset_bits, error);
}

bool resolve_encoding(const FieldDefinition& field, Encoding& encoding, EngineError& error) {
  char buffer[kLongestEncodingName];
  PyRef lowered;
  std::string_view lower;
  if (!lower_name(field.encoding.get(), field.encoding_text, buffer, sizeof buffer, lowered,
                  lower, error)) {
    return false;
  }
  encoding = encoding_from_name(lower);
  return true;
}

bool resolve_byte_order(const FieldDefinition& field, ByteOrder& order, EngineError& error) {
  char buffer[6];
  PyRef lowered;
  std::string_view lower;
  if (!lower_name(field.byte_order.get(), field.byte_order_text, buffer, sizeof buffer, lowered,
                  lower, error)) {
    return false;
  }
  if (lower == "big") {
    order = ByteOrder::big;
    return true;
  }
  if (lower == "little") {
    order = ByteOrder::little;
    return true;
  }
  std::string message = "Invalid byte_order '";
  message += field.byte_order_text;
  message += "': must be 'big' or 'little'";
  error = value_error(std::move(message));
  return false;
}

Failure unsupported_encoding(const FieldDefinition& field) {
  std::string message = "Unsupported encoding type: ";
  message += field.encoding_text;
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
  return PyRef::steal(PyUnicode_FromStringAndSize(
      field.name_text.data(), static_cast<Py_ssize_t>(field.name_text.size())));
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
  PyRef text = PyRef::steal(PyObject_Str(exception.get()));
  Py_ssize_t size = 0;
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (utf8) {
    message.append(utf8, static_cast<std::size_t>(size));
  } else {
    PyErr_Clear();
    message += "<exception str() failed>";
  }
  PyRef message_object = PyRef::steal(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (message_object) PyErr_SetObject(PyExc_ValueError, message_object.get());
  return nullptr;
}

}  // namespace fieldpack
