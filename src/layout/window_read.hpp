// Reading and writing a field's window by its plan row: the common widths as one load or store
// in the field's byte order, every other window through the shared field_value and place_code.
// Touches no Python object, so the column loops can run it without the interpreter lock.
#pragma once

#include <cstdint>
#include <cstring>

#include "common/bits.hpp"
#include "common/field_window.hpp"
#include "layout/plan.hpp"

namespace fieldpack::layout {

template <class Unsigned>
Unsigned load(const std::uint8_t* p) {
  Unsigned value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

template <class Unsigned>
void store(std::uint8_t* p, Unsigned value) {
  std::memcpy(p, &value, sizeof value);
}

template <class Unsigned>
Unsigned swap_bytes(Unsigned value) {
  if constexpr (sizeof(Unsigned) == 2) return byteswap16(value);
  if constexpr (sizeof(Unsigned) == 4) return byteswap32(value);
  if constexpr (sizeof(Unsigned) == 8) return byteswap64(value);
  return value;
}

// A value stored big-endian (kLittle false) or little-endian, loaded as a number.
template <class Unsigned, bool kLittle>
Unsigned load_ordered(const std::uint8_t* p) {
  Unsigned value = load<Unsigned>(p);
  if constexpr (kLittle != kHostIsLittleEndian) value = swap_bytes(value);
  return value;
}

template <class Unsigned, bool kLittle>
void store_ordered(std::uint8_t* p, std::uint64_t code) {
  auto value = static_cast<Unsigned>(code);
  if constexpr (kLittle != kHostIsLittleEndian) value = swap_bytes(value);
  store<Unsigned>(p, value);
}

// The field value of a window, as field_value forms it; the common widths without its loop.
inline std::uint64_t value_of(const FieldPlan& field, const std::uint8_t* window) {
  switch (field.read) {
    case Read::big1:
      return window[0] & field.mask;
    case Read::big2:
      return load_ordered<std::uint16_t, false>(window) & field.mask;
    case Read::big4:
      return load_ordered<std::uint32_t, false>(window) & field.mask;
    case Read::big8:
      return load_ordered<std::uint64_t, false>(window) & field.mask;
    case Read::little2:
      return load_ordered<std::uint16_t, true>(window) & field.mask;
    case Read::little4:
      return load_ordered<std::uint32_t, true>(window) & field.mask;
    case Read::little8:
      return load_ordered<std::uint64_t, true>(window) & field.mask;
    case Read::general:
      break;
  }
  return field_value(window, field.byte_count, field.bits, field.order, field.reverse_bits);
}

}  // namespace fieldpack::layout
