// Field values between the host's objects and the field steps' native values: a decoded value
// made into an object, and an object converted for packing, each by the kind the field's step
// gives. Every walk (the packet functions, a layout's walks and columns) goes through these, so
// they are inline. Python-aware.
#pragma once

#include "python.hpp"

#include "boundary.hpp"
#include "conversions.hpp"
#include "core/field_step.hpp"
#include "py_ref.hpp"
#include "text_objects.hpp"

namespace fieldpack {

// The decoded value as a new object: an int, a float or a str. Empty with the host's error set
// when it cannot be made (exhausted memory, or text the codec left for this step to check).
inline PyRef make_value_object(core::ValueKind kind, core::FieldValue&& value) {
  switch (kind) {
    case core::ValueKind::unsigned_integer:
      return make_object(value.unsigned_value);
    case core::ValueKind::signed_integer:
      return make_object(value.signed_value);
    case core::ValueKind::real:
      return make_object(value.real_value);
    case core::ValueKind::text:
      return make_object(std::move(value.text));
    case core::ValueKind::refused:
      break;
  }
  PyErr_SetString(PyExc_SystemError, "fieldpack: a field decoded to no value");
  return PyRef();
}

// `object` converted for a field whose step packs values of `kind` (not refused), by the named
// conversion of that kind; false with the host's error set. Text views the str's own storage,
// which the caller keeps alive while the value is used.
inline bool convert_value(core::ValueKind kind, PyObject* object, core::NativeValue& out) {
  switch (kind) {
    case core::ValueKind::unsigned_integer:
      // The conversion's own first step, without the call.
      if (PyLong_CheckExact(object)) {
        out.unsigned_value = PyLong_AsUnsignedLongLong(object);
        return out.unsigned_value != static_cast<std::uint64_t>(-1) || !PyErr_Occurred();
      }
      return convert_u64(object, out.unsigned_value);
    case core::ValueKind::signed_integer:
      return convert_i64(object, out.signed_value);
    case core::ValueKind::real:
      return convert_double(object, out.real_value);
    case core::ValueKind::text:
      return convert_stored_text(object, out.text);
    case core::ValueKind::refused:
      break;
  }
  PyErr_SetString(PyExc_SystemError, "fieldpack: a value converted for a refused encoding");
  return false;
}

// Whether converting `object` for `kind` runs no Python code: it is of a built-in type the
// conversion reads directly.
inline bool converts_without_hooks(core::ValueKind kind, PyObject* object) {
  switch (kind) {
    case core::ValueKind::unsigned_integer:
    case core::ValueKind::signed_integer:
      return PyLong_Check(object);
    // An int subclass may override __float__; an exact int or bool, or any float, may not.
    case core::ValueKind::real:
      return PyFloat_Check(object) || PyLong_CheckExact(object) || PyBool_Check(object);
    case core::ValueKind::text:
      return PyUnicode_Check(object);
    case core::ValueKind::refused:
      break;
  }
  return true;  // refused before any conversion
}

}  // namespace fieldpack
