// The call boundary: native results become new Python objects, failure records become raised
// exceptions, and C++ exceptions (a broken invariant, exhausted memory) are stopped here.
#pragma once

#include "python.hpp"

#include <cstdint>
#include <exception>
#include <new>

#include "common/encodings.hpp"
#include "common/result.hpp"
#include "py_ref.hpp"
#include "text_objects.hpp"

namespace fieldpack {

// Builds the exception object a failure record stands for; nullptr with an error set if even
// that fails.
PyObject* failure_exception(const Failure& failure);

// Raises the failure as an exception of its kind; always returns nullptr.
PyObject* raise_failure(const Failure& failure);

// Raises PanicException (created on first need) with the message.
PyObject* raise_panic(const char* message);

// Native values as new objects; empty with the host's error set when the host cannot make one.
inline PyRef make_object(std::int64_t value) { return PyRef::steal(PyLong_FromLongLong(value)); }
inline PyRef make_object(std::uint64_t value) {
  return PyRef::steal(PyLong_FromUnsignedLongLong(value));
}
inline PyRef make_object(double value) { return PyRef::steal(PyFloat_FromDouble(value)); }
inline PyRef make_object(PyRef&& object) { return std::move(object); }
inline PyRef make_object(const Number& number) {
  switch (number.kind) {
    case Number::Kind::signed_integer:
      return make_object(number.signed_value);
    case Number::Kind::unsigned_integer:
      return make_object(number.unsigned_value);
    case Number::Kind::real:
      break;
  }
  return make_object(number.real_value);
}

// A function's result handed to the interpreter: a new reference, or nullptr with the exception
// raised.
template <class T>
PyObject* to_python(T&& native) {
  return make_object(std::forward<T>(native)).release();
}

inline PyObject* to_python(Failure&& failure) { return raise_failure(failure); }

template <class T>
PyObject* to_python(Result<T>&& result) {
  if (!result.ok()) return raise_failure(result.failure());
  return to_python(std::move(result.value()));
}

// The C API version every module of this distribution is created with (PyModule_Create2): the
// one the module definition was written for, whichever version the host's headers carry.
inline constexpr int kModuleApiVersion = 1013;

// A module's initialisation: made once per process by `create` (a new reference, or nullptr with
// an error set, when nothing is kept and a later import tries again), then kept in `cache`.
template <class Create>
PyObject* init_once(PyObject*& cache, Create create);

// Runs `body` (which returns a new reference or nullptr with an error set); nothing thrown in
// native code crosses into the interpreter.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    return raise_panic(error.what());
  } catch (...) {
    return raise_panic("fieldpack: unexpected internal failure");
  }
}

template <class Create>
PyObject* init_once(PyObject*& cache, Create create) {
  if (cache) {
    Py_INCREF(cache);
    return cache;
  }
  PyObject* module = guarded(create);
  if (!module) return nullptr;
  cache = module;
  Py_INCREF(cache);  // kept for the life of the process
  return module;
}

}  // namespace fieldpack
