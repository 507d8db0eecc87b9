// Taking over host exceptions, and raising a walk's failure.
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

namespace {

// The inner exception of a failure: the one the host raised, or one made for our own failure
// record. Empty when it is not to be wrapped (exhausted memory and interrupts, which then are
// raised as they are) or when even making it fails (that error raised).
PyRef inner_exception(EngineError& error) {
  if (auto* failure = std::get_if<Failure>(&error)) {
    return PyRef::steal(failure_exception(*failure));
  }
  auto& host = std::get<HostError>(error);
  if (!host.value) {
    PyErr_SetString(PyExc_SystemError, "fieldpack: a host call failed without an exception");
    return PyRef();
  }
  // Exhausted memory and interrupts are no failure of the packet's content: they pass as they
  // are, not dressed up as a ValueError.
  const bool passes = PyErr_GivenExceptionMatches(host.value.get(), PyExc_MemoryError) ||
                      !PyErr_GivenExceptionMatches(host.value.get(), PyExc_Exception);
  if (passes) {
    PyErr_Restore(host.type.release(), host.value.release(), host.traceback.release());
    return PyRef();
  }
  if (host.traceback) PyException_SetTraceback(host.value.get(), host.traceback.get());
  return std::move(host.value);
}

// Raises ValueError "{type name}: {text}" for the inner exception, with it as __cause__ when
// chained.
void raise_wrapped(PyRef inner, Wrapping wrapping) {
  std::string message = type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(inner.get())));
  message += ": ";
  if (!append_str(message, inner.get())) message += "<exception str() failed>";
  PyRef text = PyRef::steal(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return;
  if (wrapping == Wrapping::unchained) {
    PyErr_SetObject(PyExc_ValueError, text.get());
    return;
  }
  PyRef outer = PyRef::steal(PyObject_CallOneArg(PyExc_ValueError, text.get()));
  if (!outer) return;
  PyException_SetCause(outer.get(), inner.release());  // takes the reference
  PyErr_SetObject(PyExc_ValueError, outer.get());
}

}  // namespace

PyObject* raise_record(FailureRecord& record, Wrapping wrapping) {
  // An exception that passes unwrapped carries the notes too.
  if (PyRef inner = inner_exception(record.error)) raise_wrapped(std::move(inner), wrapping);
  if (PyErr_Occurred()) add_notes_to_raised(record);
  return nullptr;
}

PyObject* to_python(PacketResult&& result) {
  if (result.ok()) return result.value().release();
  return raise_record(result.failure(), Wrapping::unchained);
}

}  // namespace fieldpack
