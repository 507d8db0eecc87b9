// The walks' own failure messages.
#include "core/messages.hpp"

#include <string>

#include "common/bits.hpp"
#include "common/encodings.hpp"

namespace fieldpack::core {

Failure missing_field(RecipeKey key) {
  std::string message = "Recipe missing required field: '";
  message += name_of(key);
  message += '\'';
  return Failure{ErrorKind::key_error, std::move(message)};
}

Failure missing_value(std::string_view field_name) {
  std::string message = "Missing value for parameter: '";
  message += field_name;
  message += '\'';
  return Failure{ErrorKind::key_error, std::move(message)};
}

Failure unsupported_encoding(std::string_view spelled, bool packing) {
  std::string message = "Unsupported encoding type: ";
  message += spelled;
  Failure failure = value_error(std::move(message));
  failure.hint = closest_encoding_names(spelled, packing);
  return failure;
}

Failure invalid_byte_order(std::string_view spelled) {
  std::string message = "Invalid byte_order '";
  message += spelled;
  message += "': must be 'big' or 'little'";
  return value_error(std::move(message));
}

Failure position_out_of_range(std::string_view field_name, std::uint64_t end_bit) {
  std::string message = "Field '";
  message += field_name;
  message += "' would end at bit ";
  append_decimal(message, end_bit);
  message += ", beyond the largest bit position ";
  append_decimal(message, kLargestBitPosition);
  return value_error(std::move(message));
}

Failure window_past_end(std::string_view field_name, std::uint64_t first_byte,
                        std::uint64_t byte_count, std::uint64_t packet_size) {
  std::string message = "Field '";
  message += field_name;
  message += "' needs ";
  append_decimal(message, byte_count);
  message += byte_count == 1 ? " byte from byte " : " bytes from byte ";
  append_decimal(message, first_byte);
  message += ", but the packet is ";
  append_decimal(message, packet_size);
  message += packet_size == 1 ? " byte long" : " bytes long";
  return value_error(std::move(message));
}

Failure f128_too_wide() {
  return value_error(
      "IEEE 754 f128 requires special handling for >64 bits (not yet implemented in "
      "process_recipe)");
}

}  // namespace fieldpack::core
