// Taking over host exceptions, and the wrapping of engine failures.
#include "engine_result.hpp"

#include <string>

#include "conversions.hpp"
#include "field_note.hpp"

namespace fieldpack {

HostError take_host_error() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  return HostError{PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback)};
}

PyObject* raise_engine_error(EngineError& error) {
  PyRef exception;
  if (auto* failure = std::get_if<Failure>(&error)) {
    exception = PyRef::steal(failure_exception(*failure));
    if (!exception) return nullptr;
  } else {
    auto& host = std::get<HostError>(error);
    if (!host.value) {
      PyErr_SetString(PyExc_SystemError, "fieldpack: a host call failed without an exception");
      return nullptr;
    }
    // Exhausted memory and interrupts are no failure of the packet's content: they pass as
    // they are, not dressed up as a ValueError.
    const bool passes = PyErr_GivenExceptionMatches(host.value.get(), PyExc_MemoryError) ||
                        !PyErr_GivenExceptionMatches(host.value.get(), PyExc_Exception);
    if (passes) {
      PyErr_Restore(host.type.release(), host.value.release(), host.traceback.release());
      return nullptr;
    }
    exception = std::move(host.value);
  }
  std::string message = type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())));
  message += ": ";
  if (!append_str(message, exception.get())) message += "<exception str() failed>";
  PyRef message_object = PyRef::steal(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (message_object) PyErr_SetObject(PyExc_ValueError, message_object.get());
  return nullptr;
}

void add_hint_of(const EngineError& error) {
  const auto* failure = std::get_if<Failure>(&error);
  if (!failure || failure->hint.empty()) return;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  // Building the note must not meet the exception being raised, which matters more.
  PyErr_Fetch(&type, &value, &traceback);
  PyRef note = PyRef::steal(PyUnicode_FromStringAndSize(
      failure->hint.data(), static_cast<Py_ssize_t>(failure->hint.size())));
  if (!note) PyErr_Clear();
  PyErr_Restore(type, value, traceback);
  if (note) add_note_to_raised(note.get());
}

PyObject* to_python(PacketResult&& result) {
  if (result.ok()) return result.value().release();
  PacketFailure& failure = result.failure();
  raise_engine_error(failure.error);
  if (!PyErr_Occurred()) return nullptr;
  const FailedAt& at = failure.field;
  if (at.known) {
    note_field_of_raised(
        FieldLabel{at.index, at.name.get(), at.encoding, at.has_extent, at.bits, at.start_bit});
  }
  add_hint_of(failure.error);
  return nullptr;
}

}  // namespace fieldpack
