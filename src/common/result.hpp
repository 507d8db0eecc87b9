// Failure records and Result: how codecs and engines report errors without the interpreter.
// Shared by codecs, engines and the call boundary; no interpreter here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "common/bits.hpp"

namespace fieldpack {

enum class ErrorKind { value_error, key_error, type_error, overflow_error, not_implemented };

// The message is built only on the failure path. `hint`, when not empty, is added to the
// exception as a note (PEP 678) where the exception is raised; the message stays as it is.
struct Failure {
  ErrorKind kind;
  std::string message;
  std::string hint = {};
};

template <class T, class E = Failure>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(E failure) : state_(std::in_place_index<1>, std::move(failure)) {}
  bool ok() const { return state_.index() == 0; }
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  E& failure() { return std::get<1>(state_); }

 private:
  std::variant<T, E> state_;
};

inline Failure value_error(std::string message) {
  return Failure{ErrorKind::value_error, std::move(message)};
}

// "{before}{value}{after}{bits} bits": the range messages of the integer encoders and of packing
// "unsigned" fields, which differ only in their words and in the signedness of the value.
template <class Int>
Failure too_large_for_bits(std::string_view before, Int value, std::string_view after,
                           std::uint32_t bits) {
  std::string message(before);
  append_decimal(message, value);
  message += after;
  append_decimal(message, bits);
  message += " bits";
  return value_error(std::move(message));
}

}  // namespace fieldpack
