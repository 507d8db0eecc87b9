// What the walks over a recipe return: a value, or the first failure with where it happened. A
// failure is a failure record of our own or an exception the host raised while the walk used it;
// the one function raise_record raises it, for the packet functions and every layout alike.
#pragma once

#include "python.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "boundary.hpp"
#include "common/result.hpp"
#include "core/plan.hpp"
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

// A native value as a new host object: the one way a walk turns a codec's result into a value, a
// failure record staying a failure.
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

// What failed, and what the walk knew then of the field it failed in, for the exception's notes.
// A walk that fails before it knows everything (a name not read yet, a position not computed)
// leaves those parts out, and the note says only what is known.
struct FailureRecord {
  static constexpr std::size_t kNoField = core::FieldFailure::kNoField;

  EngineError error;
  std::size_t index = kNoField;  // in recipe order; kNoField: before any field (no note)
  PyRef name;                    // the field's "name" (a str), or empty when not known
  std::string encoding;          // as the recipe spells it; empty when not known
  bool has_extent = false;       // whether `bits` and `start_bit` are known
  std::uint32_t bits = 0;
  std::uint64_t start_bit = 0;  // as the walk computed it, any offset included
  std::string packet;           // "packet 7 of unpack_file, at byte 546", for walks over many

  FailureRecord() = default;
  explicit FailureRecord(EngineError&& failed) : error(std::move(failed)) {}
  // A field known only by its place in the recipe and, when it has a str one, its name.
  FailureRecord(EngineError&& failed, std::size_t at, PyRef field_name)
      : error(std::move(failed)), index(at), name(std::move(field_name)) {}
  // A field read whole.
  FailureRecord(EngineError&& failed, std::size_t at, PyRef field_name, std::string_view spelled,
                std::uint32_t width, std::uint64_t start)
      : error(std::move(failed)),
        index(at),
        name(std::move(field_name)),
        encoding(spelled),
        has_extent(true),
        bits(width),
        start_bit(start) {}
};

// How raise_record wraps: the packet functions raise their ValueError with no inner exception
// chained to it; a layout chains it, as __cause__.
enum class Wrapping : std::uint8_t { unchained, chained };

// Raises the record as the packet functions raise their failures: a ValueError
// "{type name}: {text}", except that exhausted memory and interrupts pass as they are; then notes
// (PEP 678) naming the field, the failure's hint and the packet, each when there is one. Always
// returns nullptr.
PyObject* raise_record(FailureRecord& record, Wrapping wrapping);

using PacketResult = Result<PyRef, FailureRecord>;

// The packet functions' results, handed to the interpreter.
PyObject* to_python(PacketResult&& result);

}  // namespace fieldpack
