// Building str and bytes objects from the text codecs' results, each in one pass into the final
// object where the host allows it.
#include "python.hpp"

#include "text_objects.hpp"

#include <cstdint>
#include <new>
#include <string>

#include "decoder/codecs/text_codecs.hpp"
#include "encoder/codecs/text_codecs.hpp"

namespace fieldpack {
namespace {

bool is_the_text_itself(const EncodedBytes& bytes) {
  return bytes.form == TextForm::utf8 && !bytes.with_byte_order_mark;
}

PyObject* new_str(DecodedText&& text) {
#ifdef PYPY_VERSION
  // PyPy keeps every str as UTF-8 and offers no writable storage to build one in; UTF-8 is the
  // form to hand it. The text is valid, so the host's own check cannot fail.
  if (text.form == TextForm::utf8) {
    return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(text.units.data()),
                                static_cast<Py_ssize_t>(text.units.size()), "strict");
  }
  try {
    const std::string utf8 = decoder::to_utf8(text);
    return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict");
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
#else
  // The storage width must be the narrowest that holds the largest code point: CPython compares
  // and hashes strings assuming exactly that.
  const std::uint32_t bits = text.code_point_bits;
  const Py_UCS4 max_char = bits < 0x80      ? 0x7F
                           : bits < 0x100   ? 0xFF
                           : bits < 0x10000 ? 0xFFFF
                                            : 0x10FFFF;
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.code_point_count), max_char);
  if (str == nullptr) return nullptr;
  void* data = str_data(str);
  switch (str_kind(str)) {
    case PyUnicode_1BYTE_KIND:
      decoder::write_code_points(text, static_cast<Py_UCS1*>(data));
      break;
    case PyUnicode_2BYTE_KIND:
      decoder::write_code_points(text, static_cast<Py_UCS2*>(data));
      break;
    default:
      decoder::write_code_points(text, static_cast<Py_UCS4*>(data));
      break;
  }
  return str;
#endif
}

PyObject* new_bytes(EncodedBytes&& bytes) {
  if (bytes.byte_count > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  const auto size = static_cast<Py_ssize_t>(bytes.byte_count);
  if (is_the_text_itself(bytes)) return PyBytes_FromStringAndSize(bytes.text.data(), size);
  if (bytes.storage.size() == bytes.byte_count && size != 0) {
    return PyBytes_FromStringAndSize(bytes.storage.data(), size);
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
  if (is_the_text_itself(bytes)) return ByteSpan(as_bytes_pointer(bytes.text), bytes.text.size());
  if (bytes.storage.size() != bytes.byte_count) {
    if (bytes.byte_count > bytes.storage.max_size()) throw std::bad_alloc();
    bytes.storage.resize(static_cast<std::size_t>(bytes.byte_count));
    encoder::write_bytes(bytes, reinterpret_cast<std::uint8_t*>(bytes.storage.data()));
  }
  return ByteSpan(reinterpret_cast<const std::uint8_t*>(bytes.storage.data()),
                  bytes.storage.size());
}

}  // namespace fieldpack
