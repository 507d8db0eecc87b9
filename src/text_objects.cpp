// Building str and bytes objects from the text codecs' results, each in one pass into the final
// object.
#include "python.hpp"

#include "text_objects.hpp"

#include <cstdint>
#include <new>
#include <string>

#include "boundary.hpp"
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

// The string is made in the narrowest storage that holds the largest code point, on both hosts:
// CPython compares and hashes strings assuming exactly that, and PyPy turns a string made this
// way into its own far faster than it takes one from PyUnicode_DecodeUTF8.
PyObject* new_str(DecodedText&& text) {
  const std::uint32_t bits = text.code_point_bits;
  const Py_UCS4 max_char = bits < 0x80      ? 0x7F
                           : bits < 0x100   ? 0xFF
                           : bits < 0x10000 ? 0xFFFF
                                            : 0x10FFFF;
  void* data = nullptr;
  int unit_size = 0;
  PyRef str = PyRef::steal(
      new_str_storage(static_cast<Py_ssize_t>(text.code_point_count), max_char, data, unit_size));
  if (!str) return nullptr;
  bool written = false;
  switch (unit_size) {
    case 1:
      written = decoder::write_code_points(text, static_cast<std::uint8_t*>(data));
      break;
    case 2:
      written = decoder::write_code_points(text, static_cast<std::uint16_t*>(data));
      break;
    default:
      written = decoder::write_code_points(text, static_cast<std::uint32_t*>(data));
      break;
  }
  // Only UTF-8 that was counted but not checked can prove malformed here; the string, never
  // seen by anyone, is dropped.
  if (!written) return raise_failure(decoder::malformed_utf8(text.units));
  return str.release();
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
