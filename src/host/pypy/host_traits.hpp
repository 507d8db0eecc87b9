// PyPy's traits (see host.hpp). PyPy's dict iteration from C costs more than keyed lookups, a
// buffer can be resized while a view of it is held, and PyPy does not say whether a str is
// interned. Python-aware.
#pragma once

#include "python.hpp"

#include "py_ref.hpp"

namespace fieldpack::host {

inline constexpr bool kOnePassReadsAreCheap = false;
inline constexpr bool kTuplesAreHandedOver = false;
inline constexpr bool kListsAreHandedOver = false;
inline constexpr bool kViewsPinBuffers = false;

inline bool may_be_interned(PyObject*) { return true; }

// Through Python code for a dict subclass and a held entry (host.cpp).
bool dict_lookup(PyObject* dict, PyObject* key, PyRef& out);

}  // namespace fieldpack::host
