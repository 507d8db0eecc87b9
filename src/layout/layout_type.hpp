// The Python types of fieldpack_layout: Layout and the iterator of Layout.iter_unpack (Stream has
// its own file, stream_type.cpp).
// Python-aware.
#pragma once

#include "python.hpp"

namespace fieldpack::layout {

// Creates the two types (once per process) and adds Layout to `module`; false with the host's
// error set on failure.
bool add_types(PyObject* module);

class Plan;

// The plan of a Layout object, alive as long as the object; nullptr for any other object.
const Plan* layout_plan(PyObject* object);

}  // namespace fieldpack::layout
