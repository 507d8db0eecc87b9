// The Python type fieldpack_layout.Stream. Python-aware.
#pragma once

#include "python.hpp"

namespace fieldpack::layout {

// Creates the type (once per process) and adds it to `module`; false with the host's error set.
bool add_stream_type(PyObject* module);

}  // namespace fieldpack::layout
