// The named argument conversions. Host conversions raise their own messages, which differ between
// CPython and PyPy; the texts built here are the same on both.
#include "conversions.hpp"

#include <string>

#include "encoder/codecs/encoder.hpp"
#include "encoder/codecs/text_codecs.hpp"
#include "host.hpp"

namespace fieldpack {

std::string type_name_text(PyObject* name) {
  if (name && PyUnicode_Check(name)) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size)) {
      return std::string(utf8, static_cast<std::size_t>(size));
    }
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

std::string type_qualname(PyObject* type) {
  const PyRef name = PyRef::steal(PyObject_GetAttrString(type, "__qualname__"));
  return type_name_text(name.get());
}

bool append_str(std::string& out, PyObject* object) {
  PyRef text = PyRef::steal(object ? PyObject_Str(object) : nullptr);
  Py_ssize_t size = 0;
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (!utf8) {
    PyErr_Clear();
    return false;
  }
  out.append(utf8, static_cast<std::size_t>(size));
  return true;
}

void raise_type_cast(PyObject* object, const char* target) {
  std::string message = "'";
  message += host::cast_type_name(object);
  message += "' object cannot be cast as '";
  message += target;
  message += "'";
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

// An int converts directly; anything else first goes through the index protocol, so floats and
// strings are refused there with the host's TypeError.
static bool as_u64(PyObject* object, std::uint64_t& out) {
  PyRef index;
  if (!PyLong_Check(object)) {
    index = PyRef::steal(PyNumber_Index(object));
    if (!index) return false;
    object = index.get();
  }
  if constexpr (sizeof(unsigned long) == sizeof(std::uint64_t)) {
    // Where a long has 64 bits, PyLong_AsUnsignedLong accepts exactly the same values and reads
    // them without the byte-array detour PyLong_AsUnsignedLongLong takes for large ones. Its
    // failures are worded differently, so a failure is asked again of the usual conversion.
    const unsigned long value = PyLong_AsUnsignedLong(object);
    if (value != static_cast<unsigned long>(-1) || !PyErr_Occurred()) {
      out = value;
      return true;
    }
    PyErr_Clear();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool convert_u64(PyObject* object, std::uint64_t& out) { return as_u64(object, out); }

bool convert_i64(PyObject* object, std::int64_t& out) {
  PyRef index;
  if (!PyLong_Check(object)) {
    index = PyRef::steal(PyNumber_Index(object));
    if (!index) return false;
    object = index.get();
  }
  if constexpr (sizeof(long) == sizeof(std::int64_t)) {
    // As in as_u64: the same values, a quicker reading, the usual wording on failure.
    const long value = PyLong_AsLong(object);
    if (value != -1 || !PyErr_Occurred()) {
      out = value;
      return true;
    }
    PyErr_Clear();
  }
  const long long value = PyLong_AsLongLong(object);
  if (value == -1 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool convert_size(PyObject* object, std::uint32_t& out) {
  std::uint64_t value = 0;
  if (!as_u64(object, value)) return false;
  if (value > 0xFFFFFFFFu) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<std::uint32_t>(value);
  return true;
}

// Public API only: the low half by masking, the high half from the value shifted down, whose
// conversion raises the host's OverflowError for a negative or too large value.
bool convert_u128(PyObject* object, UInt128& out) {
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) return false;
  PyRef shift = PyRef::steal(PyLong_FromLong(64));
  if (!shift) return false;
  PyRef high = PyRef::steal(PyNumber_Rshift(index.get(), shift.get()));
  if (!high) return false;
  const unsigned long long high_value = PyLong_AsUnsignedLongLong(high.get());
  if (high_value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  const unsigned long long low_value = PyLong_AsUnsignedLongLongMask(index.get());
  if (low_value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out.low = low_value;
  out.high = high_value;
  return true;
}

bool convert_double(PyObject* object, double& out) {
  if (PyFloat_CheckExact(object)) {
    out = PyFloat_AS_DOUBLE(object);
    return true;
  }
  bool converted = false;
  if (host::float_by_index(object, out, converted)) return converted;
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool convert_single(PyObject* object, float& out) {
  double value = 0;
  if (!convert_double(object, value)) return false;
  out = encoder::round_to_single(value);
  return true;
}

static bool text_equals(PyObject* object, std::string_view expected) {
  if (!object || !PyUnicode_Check(object)) return false;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (!utf8) {
    PyErr_Clear();
    return false;
  }
  return std::string_view(utf8, static_cast<std::size_t>(size)) == expected;
}

// numpy's boolean scalars are not bools; they are accepted through their own __bool__.
static bool is_numpy_bool(PyObject* object) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  PyRef module = PyRef::steal(PyObject_GetAttrString(type, "__module__"));
  PyRef name = PyRef::steal(PyObject_GetAttrString(type, "__name__"));
  PyErr_Clear();
  return text_equals(module.get(), "numpy") &&
         (text_equals(name.get(), "bool_") || text_equals(name.get(), "bool"));
}

bool convert_bool(PyObject* object, bool& out) {
  if (object == Py_True || object == Py_False) {
    out = object == Py_True;
    return true;
  }
  if (!is_numpy_bool(object)) {
    raise_type_cast(object, "bool");
    return false;
  }
  PyRef method = PyRef::steal(PyObject_GetAttrString(object, "__bool__"));
  if (!method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    std::string message = "object of type '";
    message += type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(object)));
    message += "' does not define a '__bool__' conversion";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
  }
  PyRef result = PyRef::steal(PyObject_CallObject(method.get(), nullptr));
  if (!result) return false;
  if (result.get() != Py_True && result.get() != Py_False) {
    raise_type_cast(object, "bool");
    return false;
  }
  out = result.get() == Py_True;
  return true;
}

bool convert_text(PyObject* object, TextView& out) {
  if (!PyUnicode_Check(object)) {
    raise_type_cast(object, "str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (!utf8) return false;
  out = TextView(utf8, static_cast<std::size_t>(size));
  return true;
}

bool convert_stored_text(PyObject* object, StoredText& out) {
  if (!PyUnicode_Check(object)) {
    raise_type_cast(object, "str");
    return false;
  }
  StrStorage storage;
  if (str_storage(object, storage)) {
    switch (storage.unit_size) {
      case 1:
        out = {storage.data, storage.length,
               storage.ascii ? TextStorage::ascii : TextStorage::ucs1};
        return true;
      case 2:
        out = {storage.data, storage.length, TextStorage::ucs2};
        break;
      default:
        out = {storage.data, storage.length, TextStorage::ucs4};
        break;
    }
    // A lone surrogate has no encoding anywhere. Asking the host for the UTF-8 form below then
    // fails with the host's own error, the one this conversion has always given.
    if (!encoder::holds_surrogate(out)) return true;
  }
  TextView utf8;
  if (!convert_text(object, utf8)) return false;
  out = StoredText::of_utf8(utf8);
  return true;
}

bool convert_str(PyObject* object, PyObject*& out) {
  if (!PyUnicode_Check(object)) {
    raise_type_cast(object, "str");
    return false;
  }
  out = object;
  return true;
}

bool convert_bytes(PyObject* object, ByteSpan& out) {
  if (!PyBytes_Check(object)) {
    raise_type_cast(object, "bytes");
    return false;
  }
  out = ByteSpan(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object)),
                 static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
  return true;
}

SequenceItems::~SequenceItems() {
  if (tuple_) return;
  for (Py_ssize_t i = 0; i < size_; ++i) Py_DECREF(items_[i]);
  if (heap_) PyMem_Free(heap_);
}

bool SequenceItems::reserve(Py_ssize_t count) {
  if (count <= capacity_) return true;
  const auto bytes = static_cast<std::size_t>(count) * sizeof(PyObject*);
  auto** grown = static_cast<PyObject**>(PyMem_Malloc(bytes));
  if (!grown) {
    PyErr_NoMemory();
    return false;
  }
  for (Py_ssize_t i = 0; i < size_; ++i) grown[i] = owned_[i];
  PyMem_Free(heap_);
  heap_ = grown;
  owned_ = grown;
  items_ = grown;
  capacity_ = count;
  return true;
}

// The items of a list, each held. Copying them runs no Python code, so the list cannot change
// underneath.
bool SequenceItems::hold_list_items(PyObject* list) {
  const Py_ssize_t size = PyList_GET_SIZE(list);
  if (!reserve(size)) return false;
  // The item array itself: on PyPy PyList_GET_ITEM is a call into the interpreter per item.
  PyObject** items = size > 0 ? PySequence_Fast_ITEMS(list) : nullptr;
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = items[i];
    Py_INCREF(item);
    owned_[i] = item;
  }
  size_ = size;
  return true;
}

bool SequenceItems::collect(PyObject* sequence) {
  if (PyTuple_CheckExact(sequence) && host::kTuplesAreHandedOver) {
    const Py_ssize_t size = PyTuple_GET_SIZE(sequence);
    tuple_ = PyRef::borrow(sequence);
    size_ = size;
    items_ = size > 0 ? &PyTuple_GET_ITEM(sequence, 0) : nullptr;
    return true;
  }
  if (PyList_CheckExact(sequence) && host::kListsAreHandedOver) return hold_list_items(sequence);
  const PyRef list = host::sequence_items(sequence);
  return list && hold_list_items(list.get());
}

bool SequenceItems::collect_later(PyObject* sequence) {
  if ((PyList_CheckExact(sequence) && !host::kListsAreHandedOver) ||
      (PyTuple_CheckExact(sequence) && !host::kTuplesAreHandedOver)) {
    pending_ = PyRef::borrow(sequence);
    return true;
  }
  return collect(sequence);
}

bool SequenceItems::finish(PyObject* values, PyRef& readable_values) {
  if (!pending_) {
    readable_values = host::pack_values(values);
    return static_cast<bool>(readable_values);
  }
  PyRef items;
  if (!host::entries_and_values(pending_.get(), values, items, readable_values)) return false;
  pending_.reset();
  return hold_list_items(items.get());
}

// What a sequence argument must be before its items are collected.
static bool check_sequence(PyObject* object) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  // Lists and tuples, the usual recipes, are sequences without asking.
  if (!PyList_CheckExact(object) && !PyTuple_CheckExact(object) && !PySequence_Check(object)) {
    raise_type_cast(object, "Sequence");
    return false;
  }
  return true;
}

bool convert_pack_recipe(PyObject* object, SequenceItems& out) {
  return check_sequence(object) && out.collect_later(object);
}

bool convert_sequence(PyObject* object, SequenceItems& out) {
  return check_sequence(object) && out.collect(object);
}

bool convert_dict(PyObject* object, PyObject*& out) {
  if (!PyDict_Check(object)) {
    raise_type_cast(object, "dict");
    return false;
  }
  out = object;
  return true;
}

}  // namespace fieldpack
