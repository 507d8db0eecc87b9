// CPython's traits (see host.hpp). Python-aware.
#pragma once

#include "python.hpp"

#include "py_ref.hpp"

namespace fieldpack::host {

inline constexpr bool kOnePassReadsAreCheap = true;
inline constexpr bool kTuplesAreHandedOver = true;
inline constexpr bool kListsAreHandedOver = true;
inline constexpr bool kViewsPinBuffers = true;

inline bool may_be_interned(PyObject* str) { return PyUnicode_CHECK_INTERNED(str) != 0; }

// A dict subclass's own storage is what PyDict_GetItemWithError reads.
inline bool dict_lookup(PyObject* dict, PyObject* key, PyRef& out) {
  // Borrowed for no longer than it takes to own it.
  PyObject* found = PyDict_GetItemWithError(dict, key);
  if (!found && PyErr_Occurred()) return false;
  out = PyRef::borrow(found);
  return true;
}

}  // namespace fieldpack::host
