// The only header that includes the interpreter's API; everything Python-aware includes this.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace fieldpack {

// The host's own storage of a str, read without a call: CPython's, and the copy PyPy keeps for C
// (its state, length and ASCII data are filled when the str first reaches C). The unicode macros
// expand to C-style casts before 3.12, so they are wrapped here, once, with that warning off.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wconversion"
// The str's characters as bytes when it is stored one byte per character and all ASCII.
inline bool ascii_text(PyObject* str, std::string_view& out) {
#if PY_VERSION_HEX < 0x030C0000
  if (!PyUnicode_IS_READY(str)) return false;
#endif
  if (!PyUnicode_IS_ASCII(str)) return false;
  out = std::string_view(static_cast<const char*>(PyUnicode_DATA(str)),
                         static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)));
  return true;
}

// Equal bytes, without a library call for the short texts that names, keys, encodings and byte
// orders are: up to 16 bytes by two overlapping loads of 8 or 4 bytes, up to 3 by the first,
// middle and last byte, which between them are every byte.
template <class Word>
inline bool same_head_and_tail(const char* a, const char* b, std::size_t n) {
  Word a_head, b_head, a_tail, b_tail;
  std::memcpy(&a_head, a, sizeof(Word));
  std::memcpy(&b_head, b, sizeof(Word));
  std::memcpy(&a_tail, a + n - sizeof(Word), sizeof(Word));
  std::memcpy(&b_tail, b + n - sizeof(Word), sizeof(Word));
  return ((a_head ^ b_head) | (a_tail ^ b_tail)) == 0;
}

inline bool same_bytes(std::string_view a, std::string_view b) {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  if (n > 16) return a == b;
  if (n >= 8) return same_head_and_tail<std::uint64_t>(a.data(), b.data(), n);
  if (n >= 4) return same_head_and_tail<std::uint32_t>(a.data(), b.data(), n);
  if (n == 0) return true;
  return a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1];
}

// Two exact strs with the same characters; plain ASCII ones are compared as bytes.
inline bool same_text(PyObject* a, PyObject* b) {
  std::string_view a_text, b_text;
  if (ascii_text(a, a_text) && ascii_text(b, b_text)) return same_bytes(a_text, b_text);
  if (PyUnicode_GetLength(a) != PyUnicode_GetLength(b)) return false;
  return PyUnicode_Compare(a, b) == 0;
}

#pragma GCC diagnostic pop

// A str's own storage, read in place: one code point per unit of `unit_size` bytes (1, 2 or 4),
// `length` of them, and whether all are ASCII. CPython keeps a str so; PyPy lays it out so when
// the str first reaches C code, and keeps that layout for the object's life.
struct StrStorage {
  const void* data = nullptr;
  std::size_t length = 0;
  int unit_size = 1;
  bool ascii = false;
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wconversion"
// False when the str has no such storage yet (a legacy str before 3.12, not made ready): read it
// another way then.
inline bool str_storage(PyObject* str, StrStorage& out) {
#if PY_VERSION_HEX < 0x030C0000
  if (!PyUnicode_IS_READY(str)) return false;
#endif
  out.data = PyUnicode_DATA(str);
  out.length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
  out.unit_size = static_cast<int>(PyUnicode_KIND(str));
  out.ascii = PyUnicode_IS_ASCII(str) != 0;
  return out.unit_size == 1 || out.unit_size == 2 || out.unit_size == 4;
}

// A new str of `length` code points, all below `max_char`, to be filled through its storage:
// units of `unit_size` bytes at `data`.
inline PyObject* new_str_storage(Py_ssize_t length, Py_UCS4 max_char, void*& data, int& unit_size) {
  PyObject* str = PyUnicode_New(length, max_char);
  if (str == nullptr) return nullptr;
  data = PyUnicode_DATA(str);
  unit_size = static_cast<int>(PyUnicode_KIND(str));
  return str;
}
#pragma GCC diagnostic pop

}  // namespace fieldpack
