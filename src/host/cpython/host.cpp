// CPython's side of the host interface (see host.hpp).
#include "host.hpp"

#include <cstring>

#include "conversions.hpp"
#include "decoder/codecs/text_codecs.hpp"
#include "encoder/codecs/text_codecs.hpp"

namespace fieldpack::host {

PyRef sequence_items(PyObject* sequence) {
  if (PyList_CheckExact(sequence)) return PyRef::borrow(sequence);
  // Iterated without asking for the length: a length that fails or lies changes nothing, and
  // both hosts agree (PyPy's helper never consults it either).
  PyRef list = PyRef::steal(PyList_New(0));
  PyRef iterator = PyRef::steal(list ? PyObject_GetIter(sequence) : nullptr);
  if (!iterator) return PyRef();
  while (PyObject* item = PyIter_Next(iterator.get())) {
    const int appended = PyList_Append(list.get(), item);
    Py_DECREF(item);
    if (appended < 0) return PyRef();
  }
  if (PyErr_Occurred()) return PyRef();
  return list;
}

PyRef pack_values(PyObject* values) { return PyRef::borrow(values); }

bool entries_and_values(PyObject* sequence, PyObject* values, PyRef& items, PyRef& readable) {
  items = sequence_items(sequence);
  readable = pack_values(values);
  return items && readable;
}

bool is_held_entry(PyObject*) { return false; }

std::string cast_type_name(PyObject* object) {
  return type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(object)));
}

PyRef text_keys(PyObject* entry) {
  PyRef keys = PyRef::steal(PyList_New(0));
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (keys && PyDict_Next(entry, &position, &key, &value)) {
    if (!PyUnicode_Check(key)) continue;
    // A plain str of the key's text: a subclass's own methods play no part.
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
    PyRef plain = PyRef::steal(utf8 ? PyUnicode_FromStringAndSize(utf8, size) : nullptr);
    if (!plain) {
      PyErr_Clear();  // a key that is no text (a lone surrogate) names nothing close
      continue;
    }
    if (PyList_Append(keys.get(), plain.get()) < 0) keys.reset();
  }
  return keys;
}

PyRef own_items(PyObject* entry) { return PyRef::steal(PyDict_Items(entry)); }

bool float_by_index(PyObject*, double&, bool&) { return false; }

PyRef guessed_one_byte_str(ByteSpan utf8) {
  const std::size_t ascii_length = ascii_prefix_length(utf8.data(), utf8.size());
  // A non-ASCII character takes two bytes at least, so the bytes less one are room enough.
  const std::size_t capacity = utf8.size() - 1;
  void* data = nullptr;
  int unit_size = 0;
  PyObject* str = new_str_storage(static_cast<Py_ssize_t>(capacity), 0xFF, data, unit_size);
  if (str == nullptr) return PyRef();
  auto* out = static_cast<std::uint8_t*>(data);
  std::memcpy(out, utf8.data(), ascii_length);
  const decoder::OneByteFill fill = decoder::fill_one_byte_form(
      utf8.subspan(ascii_length), out + ascii_length, capacity - ascii_length);
  if (!fill.fits) {
    Py_DECREF(str);
    return PyRef();
  }
  const std::size_t count = ascii_length + fill.code_point_count;
  // Shrinking in place is cheap, and it spares the pass that would count the characters first.
  if (count != capacity && PyUnicode_Resize(&str, static_cast<Py_ssize_t>(count)) < 0) {
    Py_XDECREF(str);
    return PyRef();
  }
  return PyRef::steal(str);
}

namespace {

// Into room for the longest outcome, then cut to length, as the host's own encoder does.
template <class Unit>
PyRef wide_utf8(const Unit* units, std::size_t length) {
  constexpr std::size_t kMaxBytes = sizeof(Unit) == 2 ? 3 : 4;
  if (length > static_cast<std::size_t>(PY_SSIZE_T_MAX) / kMaxBytes) return PyRef();
  const std::size_t room = length * kMaxBytes;
  // Short texts go through the stack: exact-size bytes without a resize.
  std::uint8_t stack[1024];
  if (room <= sizeof stack) {
    const std::size_t size = encoder::write_utf8_or_find_surrogate(units, length, stack);
    if (size == encoder::kSurrogateFound) return PyRef();
    return PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(stack),
                                                  static_cast<Py_ssize_t>(size)));
  }
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(room));
  if (bytes == nullptr) return PyRef();
  const std::size_t size = encoder::write_utf8_or_find_surrogate(
      units, length, reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes)));
  if (size == encoder::kSurrogateFound) {
    Py_DECREF(bytes);
    return PyRef();
  }
  if (size != room && _PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(size)) < 0) {
    return PyRef();  // the resize released the object
  }
  return PyRef::steal(bytes);
}

}  // namespace

PyRef wide_str_utf8(PyObject* str) {
  StrStorage storage;
  if (!str_storage(str, storage) || storage.unit_size == 1) return PyRef();
  return storage.unit_size == 2
             ? wide_utf8(static_cast<const std::uint16_t*>(storage.data), storage.length)
             : wide_utf8(static_cast<const std::uint32_t*>(storage.data), storage.length);
}

}  // namespace fieldpack::host
