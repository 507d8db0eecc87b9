// Argument binding with the host's own wording for arity and keyword errors.
#include "binding.hpp"

#include <string>

namespace fieldpack {

static void append(std::string& out, std::string_view text) { out.append(text); }

static bool too_many_positional(const Signature& signature, Py_ssize_t given) {
  std::string message(signature.name);
  message += "() takes ";
  if (signature.required == signature.positional) {
    append_decimal(message, signature.positional);
  } else {
    message += "from ";
    append_decimal(message, signature.required);
    message += " to ";
    append_decimal(message, signature.positional);
  }
  message += " positional arguments but ";
  append_decimal(message, given);
  message += given == 1 ? " was given" : " were given";
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

static bool missing_required(const Signature& signature, PyObject* const* bound) {
  std::string_view missing[kMaxParameters];
  std::size_t count = 0;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (!bound[i]) missing[count++] = signature.parameters[i];
  }
  std::string message(signature.name);
  message += "() missing ";
  append_decimal(message, count);
  message += count == 1 ? " required positional argument: " : " required positional arguments: ";
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) message += count > 2 ? ", " : " ";
    if (i > 0 && i == count - 1) message += "and ";
    message += '\'';
    append(message, missing[i]);
    message += '\'';
  }
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

static bool keyword_matches(PyObject* keyword, std::string_view parameter) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
  if (!utf8) {  // a keyword that is no valid text matches no parameter
    PyErr_Clear();
    return false;
  }
  return std::string_view(utf8, static_cast<std::size_t>(size)) == parameter;
}

bool bind_given(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, PyObject** bound) {
  const std::size_t positional = static_cast<std::size_t>(nargs);
  if (positional > signature.positional) {
    return too_many_positional(signature, static_cast<Py_ssize_t>(positional));
  }
  for (std::size_t i = 0; i < signature.count; ++i) bound[i] = i < positional ? args[i] : nullptr;

  const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    std::size_t match = signature.count;
    for (std::size_t i = 0; i < signature.count && match == signature.count; ++i) {
      if (keyword_matches(keyword, signature.parameters[i])) match = i;
    }
    if (match == signature.count) {
      PyErr_Format(PyExc_TypeError, "%.100s() got an unexpected keyword argument '%U'",
                   std::string(signature.name).c_str(), keyword);
      return false;
    }
    if (bound[match]) {
      std::string message(signature.name);
      message += "() got multiple values for argument '";
      append(message, signature.parameters[match]);
      message += '\'';
      PyErr_SetString(PyExc_TypeError, message.c_str());
      return false;
    }
    bound[match] = args[positional + static_cast<std::size_t>(k)];
  }

  for (std::size_t i = 0; i < signature.required; ++i) {
    if (!bound[i]) return missing_required(signature, bound);
  }
  return true;
}

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound) {
  if (!bind_given(signature, args, nargs, kwnames, bound)) return false;
  for (std::size_t i = signature.required; i < signature.count; ++i) {
    if (!bound[i]) bound[i] = Py_False;  // the only default any function has
  }
  return true;
}

void prefix_argument_error(std::string_view parameter) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef old_type = PyRef::steal(type), old_value = PyRef::steal(value);
  PyRef old_traceback = PyRef::steal(traceback);

  std::string message = "argument '";
  append(message, parameter);
  message += "': ";
  append_str(message, old_value.get());
  PyRef message_object = PyRef::steal(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!message_object) return;
  PyRef error =
      PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message_object.get(), nullptr));
  if (!error) return;
  if (old_value) {
    if (PyObject* cause = PyException_GetCause(old_value.get())) {
      PyException_SetCause(error.get(), cause);  // steals the new reference
    }
  }
  PyErr_SetObject(PyExc_TypeError, error.get());
}

}  // namespace fieldpack
