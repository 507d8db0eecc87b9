// Field notes on exceptions (PEP 678).
#include "field_note.hpp"

#include <string>
#include <string_view>

#include "common/bits.hpp"
#include "engine_result.hpp"
#include "py_ref.hpp"

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

// The field's note; empty with the host's error set when the host fails.
std::string field_note(const FailureRecord& record) {
  std::string text = "field ";
  append_decimal(text, record.index);
  PyObject* const name = record.name.get();
  if (name && PyUnicode_Check(name)) {
    // repr() of a plain str: a subclass's own __repr__ plays no part, and quotes or control
    // characters in the name cannot make the note ambiguous.
    // Made from the text itself: PyPy's PyUnicode_FromObject would call a subclass's __str__.
    PyRef plain = PyRef::borrow(name);
    if (!PyUnicode_CheckExact(name)) {
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
      plain =
          PyRef::steal(utf8 ? PyUnicode_FromStringAndSize(utf8, size) : PyUnicode_FromObject(name));
    }
    if (!plain) return {};
    text += ' ';
    if (!append_repr(text, plain.get())) return {};
  }
  if (!record.encoding.empty() || record.has_extent) {
    text += " (";
    text += record.encoding;
    if (record.has_extent) {
      if (!record.encoding.empty()) text += ", ";
      append_decimal(text, record.bits);
      text += record.bits == 1 ? " bit at bit " : " bits at bit ";
      append_decimal(text, record.start_bit);
    }
    text += ')';
  }
  return text;
}

void add_text_note(PyObject* exception, std::string_view text) {
  if (text.empty()) return;
  PyRef note =
      PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!note || !add_note(exception, note.get())) PyErr_Clear();
}

}  // namespace

bool add_note(PyObject* exception, PyObject* note) {
  // Looked up on the exception, not by version: an exception class may define its own.
  PyRef method = PyRef::steal(PyObject_GetAttrString(exception, "add_note"));
  if (method) {
    PyRef done = PyRef::steal(PyObject_CallOneArg(method.get(), note));
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

void add_notes_to_raised(const FailureRecord& record) {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  // Building the notes must not meet the exception being raised, which matters more.
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value && traceback) PyException_SetTraceback(value, traceback);
  if (value) {
    if (record.index != FailureRecord::kNoField) {
      std::string note = field_note(record);
      if (note.empty()) PyErr_Clear();
      add_text_note(value, note);
    }
    if (const auto* failure = std::get_if<Failure>(&record.error)) {
      add_text_note(value, failure->hint);
    }
    add_text_note(value, record.packet);
  }
  PyErr_Restore(type, value, traceback);
}

}  // namespace fieldpack
