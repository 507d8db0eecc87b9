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
#include "host.hpp"

namespace fieldpack {
namespace {

// The string is made in the narrowest storage that holds the largest code point, on both hosts:
// CPython compares and hashes strings assuming exactly that, and PyPy turns a string made this
// way into its own far faster than it takes one from PyUnicode_DecodeUTF8.
PyObject* new_str(DecodedText&& text) {
  if (!text.validated) {
    // UTF-8 with non-ASCII bytes, on the guess that nothing in it passes U+00FF, as most Western
    // text does: made in one pass, checked on the way, where the host can.
    PyRef guessed = host::guessed_one_byte_str(text.units);
    if (guessed || PyErr_Occurred()) return guessed.release();
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
  if (const std::uint8_t* in_place = encoder::bytes_in_place(bytes)) {
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

PyRef encode_utf8_object(PyObject* str) {
  // Wide text in the one pass that also looks for surrogates, where the host can.
  if (PyRef bytes = host::wide_str_utf8(str); bytes || PyErr_Occurred()) return bytes;
  StoredText text;
  if (!convert_stored_text(str, text)) return PyRef();
  return make_object(encoder::encode_utf8(text));
}

}  // namespace fieldpack
