// Failure records to exceptions, and the one exception class of the module's own.
#include "boundary.hpp"

namespace fieldpack {

static PyObject* exception_type(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::value_error:
      return PyExc_ValueError;
    case ErrorKind::key_error:
      return PyExc_KeyError;
    case ErrorKind::type_error:
      return PyExc_TypeError;
    case ErrorKind::overflow_error:
      return PyExc_OverflowError;
    case ErrorKind::not_implemented:
      return PyExc_NotImplementedError;
  }
  return PyExc_SystemError;
}

PyObject* failure_exception(const Failure& failure) {
  PyRef message = PyRef::steal(PyUnicode_FromStringAndSize(
      failure.message.data(), static_cast<Py_ssize_t>(failure.message.size())));
  if (!message) return nullptr;
  return PyObject_CallFunctionObjArgs(exception_type(failure.kind), message.get(), nullptr);
}

PyObject* raise_failure(const Failure& failure) {
  PyRef message = PyRef::steal(PyUnicode_FromStringAndSize(
      failure.message.data(), static_cast<Py_ssize_t>(failure.message.size())));
  if (message) PyErr_SetObject(exception_type(failure.kind), message.get());
  return nullptr;
}

static constexpr const char kPanicDoc[] =
    "Raised when fieldpack's native code fails unexpectedly, through a broken internal "
    "invariant rather than bad input.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it "
    "typically propagates all the way up and ends the interpreter instead of being caught by "
    "handlers meant for ordinary errors.";

// Created under the interpreter lock; nothing between the check and the store releases it, so
// two threads cannot both create it.
static PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (!type) {
    type = PyErr_NewExceptionWithDoc("fieldpack.PanicException", kPanicDoc, PyExc_BaseException,
                                     nullptr);
  }
  return type;
}

PyObject* raise_panic(const char* message) {
  PyObject* type = panic_exception_type();
  if (type) PyErr_SetString(type, message);
  return nullptr;
}

}  // namespace fieldpack
