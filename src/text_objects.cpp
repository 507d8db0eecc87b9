// Building str and bytes objects from the text codecs' results, each in one pass into the final
// object.
#include "python.hpp"

#include "text_objects.hpp"

#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "boundary.hpp"
#include "conversions.hpp"
#include "decoder/codecs/text_codecs.hpp"
#include "encoder/codecs/text_codecs.hpp"

namespace fieldpack {
namespace {

// Where the encoded bytes are already at hand, in the text itself or in the encoder's storage.
const std::uint8_t* bytes_in_place(const EncodedBytes& bytes) {
  if (bytes.with_byte_order_mark) return nullptr;
  const TextStorage storage = bytes.text.storage;
  const bool text_itself = (bytes.form == TextForm::utf8 &&
                            (storage == TextStorage::utf8 || storage == TextStorage::ascii)) ||
                           (bytes.form == TextForm::latin1 &&
                            (storage == TextStorage::ascii || storage == TextStorage::ucs1));
  if (text_itself) return static_cast<const std::uint8_t*>(bytes.text.data);
  if (bytes.storage.size() == bytes.byte_count && !bytes.storage.empty()) {
    return reinterpret_cast<const std::uint8_t*>(bytes.storage.data());
  }
  return nullptr;
}

#if !defined(PYPY_VERSION)
// UTF-8 with non-ASCII bytes, on the guess that nothing in it passes U+00FF, as most Western text
// does: made in one pass into a one-byte string as long as the bytes, checked on the way, then
// cut to length. Shrinking in place is cheap, and it spares the pass that would count the
// characters first. Empty without an error when the guess fails; the caller takes the long way.
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
  if (count != capacity && PyUnicode_Resize(&str, static_cast<Py_ssize_t>(count)) < 0) {
    Py_XDECREF(str);
    return PyRef();
  }
  return PyRef::steal(str);
}
#endif

// The string is made in the narrowest storage that holds the largest code point, on both hosts:
// CPython compares and hashes strings assuming exactly that, and PyPy turns a string made this
// way into its own far faster than it takes one from PyUnicode_DecodeUTF8.
PyObject* new_str(DecodedText&& text) {
  if (!text.validated) {
#if !defined(PYPY_VERSION)
    PyRef guessed = guessed_one_byte_str(text.units);
    if (guessed || PyErr_Occurred()) return guessed.release();
#endif
    Result<DecodedText> checked = decoder::validated(std::move(text));
    if (!checked.ok()) return raise_failure(checked.failure());
    text = std::move(checked.value());
  }
  const std::uint32_t bits = text.code_point_bits;
  const Py_UCS4 max_char = bits < 0x80      ? 0x7F
                           : bits < 0x100   ? 0xFF
                           : bits < 0x10000 ? 0xFFFF
                                            : 0x10FFFF;
  void* data = nullptr;
  int unit_size = 0;
  PyObject* str =
      new_str_storage(static_cast<Py_ssize_t>(text.code_point_count), max_char, data, unit_size);
  if (str == nullptr) return nullptr;
  switch (unit_size) {
    case 1:
      decoder::write_code_points(text, static_cast<std::uint8_t*>(data));
      break;
    case 2:
      decoder::write_code_points(text, static_cast<std::uint16_t*>(data));
      break;
    default:
      decoder::write_code_points(text, static_cast<std::uint32_t*>(data));
      break;
  }
  return str;
}

PyObject* new_bytes(EncodedBytes&& bytes) {
  if (bytes.byte_count > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  const auto size = static_cast<Py_ssize_t>(bytes.byte_count);
  if (const std::uint8_t* in_place = bytes_in_place(bytes)) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(in_place), size);
  }
  PyObject* object = PyBytes_FromStringAndSize(nullptr, size);
  if (object == nullptr) return nullptr;
  encoder::write_bytes(bytes, reinterpret_cast<std::uint8_t*>(PyBytes_AsString(object)));
  return object;
}

}  // namespace

PyRef make_object(DecodedText&& text) { return PyRef::steal(new_str(std::move(text))); }

PyRef make_object(EncodedBytes&& bytes) { return PyRef::steal(new_bytes(std::move(bytes))); }

#if !defined(PYPY_VERSION)
namespace {

// Wide text to UTF-8 in the one pass that also looks for surrogates, as the host's own encoder
// does: into room for the longest outcome, then cut to length. Empty without an error when the
// text holds a surrogate or is not stored wide; the caller takes the checked path then.
template <class Unit>
PyRef wide_utf8(const Unit* units, std::size_t length) {
  constexpr std::size_t kMaxBytes = sizeof(Unit) == 2 ? 3 : 4;
  if (length > static_cast<std::size_t>(PY_SSIZE_T_MAX) / kMaxBytes) return PyRef();
  const std::size_t room = length * kMaxBytes;
  // Short texts go through the stack: exact-size bytes without a resize.
  std::uint8_t stack[1024];
  if (room <= sizeof stack) {
    const std::size_t size = encoder::write_utf8_unchecked_text(units, length, stack);
    if (size == encoder::kSurrogateFound) return PyRef();
    return PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(stack),
                                                  static_cast<Py_ssize_t>(size)));
  }
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(room));
  if (bytes == nullptr) return PyRef();
  const std::size_t size = encoder::write_utf8_unchecked_text(
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
#endif

PyRef encode_utf8_object(PyObject* str) {
#if !defined(PYPY_VERSION)
  StrStorage storage;
  if (str_storage(str, storage) && storage.unit_size != 1) {
    PyRef bytes = storage.unit_size == 2
                      ? wide_utf8(static_cast<const std::uint16_t*>(storage.data), storage.length)
                      : wide_utf8(static_cast<const std::uint32_t*>(storage.data), storage.length);
    if (bytes || PyErr_Occurred()) return bytes;
  }
#endif
  StoredText text;
  if (!convert_stored_text(str, text)) return PyRef();
  return make_object(encoder::encode_utf8(text));
}

ByteSpan as_bytes(const EncodedBytes& bytes) {
  if (const std::uint8_t* in_place = bytes_in_place(bytes)) {
    return ByteSpan(in_place, static_cast<std::size_t>(bytes.byte_count));
  }
  if (bytes.byte_count > bytes.storage.max_size()) throw std::bad_alloc();
  bytes.storage.resize(static_cast<std::size_t>(bytes.byte_count));
  encoder::write_bytes(bytes, reinterpret_cast<std::uint8_t*>(bytes.storage.data()));
  return ByteSpan(reinterpret_cast<const std::uint8_t*>(bytes.storage.data()),
                  bytes.storage.size());
}

}  // namespace fieldpack
