// The Python types of fieldpack_layout: Layout and the iterator of Layout.iter_unpack.
// Python-aware.
#pragma once

#include "python.hpp"

namespace fieldpack::layout {

// Creates the two types (once per process) and adds Layout to `module`; false with the host's
// error set on failure.
bool add_types(PyObject* module);

}  // namespace fieldpack::layout
