// Field notes on exceptions (PEP 678).
#include "field_note.hpp"

#include <string>

#include "common/bits.hpp"

namespace fieldpack {

namespace {

// Appends repr(object) as UTF-8; false with the host's error set when it fails.
bool append_repr(std::string& out, PyObject* object) {
  PyRef text = PyRef::steal(PyObject_Repr(object));
  Py_ssize_t size = 0;
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (!utf8) return false;
  out.append(utf8, static_cast<std::size_t>(size));
  return true;
}

}  // namespace

PyRef field_note(const FieldLabel& field) {
  std::string text = "field ";
  append_decimal(text, field.index);
  if (field.name && PyUnicode_Check(field.name)) {
    // repr() of a plain str: a subclass's own __repr__ plays no part, and quotes or control
    // characters in the name cannot make the note ambiguous.
    // Made from the text itself: PyPy's PyUnicode_FromObject would call a subclass's __str__.
    PyRef plain = PyRef::borrow(field.name);
    if (!PyUnicode_CheckExact(field.name)) {
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(field.name, &size);
      plain = PyRef::steal(utf8 ? PyUnicode_FromStringAndSize(utf8, size)
                                : PyUnicode_FromObject(field.name));
    }
    if (!plain) return PyRef();
    text += ' ';
    if (!append_repr(text, plain.get())) return PyRef();
  }
  if (!field.encoding.empty() || field.has_extent) {
    text += " (";
    text += field.encoding;
    if (field.has_extent) {
      if (!field.encoding.empty()) text += ", ";
      append_decimal(text, field.bits);
      text += field.bits == 1 ? " bit at bit " : " bits at bit ";
      append_decimal(text, field.start_bit);
    }
    text += ')';
  }
  return PyRef::steal(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

bool add_note(PyObject* exception, PyObject* note) {
  // Looked up on the exception, not by version: an exception class may define its own.
  PyRef method = PyRef::steal(PyObject_GetAttrString(exception, "add_note"));
  if (method) {
    PyRef done = PyRef::steal(PyObject_CallFunctionObjArgs(method.get(), note, nullptr));
    return static_cast<bool>(done);
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
  PyErr_Clear();
  // Hosts before PEP 678 keep notes in the same place for whoever reads them.
  PyRef notes = PyRef::steal(PyObject_GetAttrString(exception, "__notes__"));
  if (!notes) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    notes = PyRef::steal(PyList_New(0));
    if (!notes || PyObject_SetAttrString(exception, "__notes__", notes.get()) < 0) return false;
  }
  if (!PyList_Check(notes.get())) {
    PyErr_SetString(PyExc_TypeError, "Cannot add note: __notes__ is not a list");
    return false;
  }
  return PyList_Append(notes.get(), note) == 0;
}

void add_note_to_raised(PyObject* note) {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value && traceback) PyException_SetTraceback(value, traceback);
  if (value && note && !add_note(value, note)) PyErr_Clear();
  PyErr_Restore(type, value, traceback);
}

void note_field_of_raised(const FieldLabel& field) {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  // Building the note must not meet the exception being raised.
  PyErr_Fetch(&type, &value, &traceback);
  PyRef note = field_note(field);
  if (!note) PyErr_Clear();
  PyErr_Restore(type, value, traceback);
  if (note) add_note_to_raised(note.get());
}

}  // namespace fieldpack
