// The call boundary: native results become new Python objects, failure records become raised
// exceptions, and C++ exceptions (a broken invariant, exhausted memory) are stopped here.
#pragma once

#include "python.hpp"

#include <cstdint>
#include <exception>
#include <new>

#include "py_ref.hpp"
#include "result.hpp"
#include "text_objects.hpp"

namespace fieldpack {

// Builds the exception object a failure record stands for; nullptr with an error set if even
// that fails.
PyObject* failure_exception(const Failure& failure);

// Raises the failure as an exception of its kind; always returns nullptr.
PyObject* raise_failure(const Failure& failure);

// Raises PanicException (created on first need) with the message.
PyObject* raise_panic(const char* message);

inline PyObject* to_python(std::int64_t value) { return PyLong_FromLongLong(value); }
inline PyObject* to_python(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
inline PyObject* to_python(double value) { return PyFloat_FromDouble(value); }
inline PyObject* to_python(PyRef&& object) { return object.release(); }
inline PyObject* to_python(Failure&& failure) { return raise_failure(failure); }

template <class T>
PyObject* to_python(Result<T>&& result) {
  if (!result.ok()) return raise_failure(result.failure());
  return to_python(std::move(result.value()));
}

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

}  // namespace fieldpack
