// What the packet engines return: a value, or the first failure, which is either a failure record
// of our own or an exception the host raised while the engine used it.
#pragma once

#include "python.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "boundary.hpp"
#include "common/result.hpp"
#include "py_ref.hpp"

namespace fieldpack {

// An exception the host raised, taken over the moment the call failed, so that nothing runs on
// with the interpreter's error indicator set.
struct HostError {
  PyRef type;
  PyRef value;
  PyRef traceback;
};

using EngineError = std::variant<Failure, HostError>;

template <class T>
using EngineResult = Result<T, EngineError>;

// For steps that produce nothing but may fail.
using EngineStatus = EngineResult<std::monostate>;
inline constexpr std::monostate kDone{};

// Takes over the pending Python exception.
HostError take_host_error();

inline EngineError host_error() { return EngineError{take_host_error()}; }

// A native value as a new host object: the one way an engine turns a codec's result into a
// value, a failure record staying a failure.
template <class T>
EngineResult<PyRef> lift(T&& native) {
  PyRef object = make_object(std::forward<T>(native));
  if (!object) return host_error();
  return object;
}

template <class T>
EngineResult<PyRef> lift(Result<T>&& result) {
  if (!result.ok()) return EngineError{std::move(result.failure())};
  return lift(std::move(result.value()));
}

// Raises the engine's failure as the packet functions do: a ValueError "{type name}: {text}",
// except that exhausted memory and interrupts pass as they are. Always returns nullptr.
PyObject* raise_engine_error(EngineError& error);

// Adds the failure's hint, if it has one, to the exception being raised, as a note.
void add_hint_of(const EngineError& error);

// Where a packet walk failed: what it knew of the field then, for the exception's note.
struct FailedAt {
  bool known = false;  // false: before any field (no note)
  std::size_t index = 0;
  PyRef name;            // a str, or empty before "name" was read
  std::string encoding;  // as the recipe spells it; empty when not read
  bool has_extent = false;
  std::uint32_t bits = 0;
  std::uint64_t start_bit = 0;
};

// A field known only by its place in the recipe and, when it has a str one, its name.
inline FailedAt entry_at(std::size_t index, PyRef name) {
  FailedAt at;
  at.known = true;
  at.index = index;
  at.name = std::move(name);
  return at;
}

struct PacketFailure {
  EngineError error;
  FailedAt field;
};

using PacketResult = Result<PyRef, PacketFailure>;

// The packet functions' results, handed to the interpreter: a failure is raised as
// raise_engine_error raises it, with a note naming the field and then the failure's hint.
PyObject* to_python(PacketResult&& result);

}  // namespace fieldpack
