// The walks' own failure messages.
#include "core/messages.hpp"

#include <charconv>
#include <cmath>
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

void append_float(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "nan";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  // The shortest digits, in scientific notation: d.ddde[+-]x.
  char buffer[32];
  const char* end =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr;
  std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
  if (text.front() == '-') {
    out += '-';
    text.remove_prefix(1);
  }
  const std::size_t e = text.find('e');
  std::string digits(text.substr(0, e));
  if (digits.size() > 1) digits.erase(1, 1);  // the point
  int exponent = 0;
  std::from_chars(text.data() + e + 1 + (text[e + 1] == '+' ? 1 : 0), text.data() + text.size(),
                  exponent);
  const int count = static_cast<int>(digits.size());
  if (exponent >= -4 && exponent < 16) {
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
    } else if (exponent + 1 >= count) {
      out += digits;
      out.append(static_cast<std::size_t>(exponent + 1 - count), '0');
      out += ".0";
    } else {
      out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
      out += '.';
      out.append(digits, static_cast<std::size_t>(exponent + 1));
    }
    return;
  }
  out += digits[0];
  if (count > 1) {
    out += '.';
    out.append(digits, 1);
  }
  out += exponent < 0 ? "e-" : "e+";
  if (std::abs(exponent) < 10) out += '0';
  append_decimal(out, std::abs(exponent));
}

Failure text_too_long(std::uint64_t byte_count, std::uint64_t window, bool with_mark) {
  std::string message = "Text encodes to ";
  append_decimal(message, byte_count);
  message += with_mark ? " bytes, its byte-order mark included, " : " bytes, ";
  message += "but the field holds ";
  append_decimal(message, window);
  message += ": packing would cut it";
  return value_error(std::move(message));
}

Failure float_lost(double given, std::string_view format, double packed) {
  std::string message = "Value ";
  append_float(message, given);
  message += packed == 0 ? " is too small for " : " is too large for ";
  message += format;
  message += ": it would pack as ";
  append_float(message, packed);
  return value_error(std::move(message));
}

Failure code_too_wide(std::uint64_t code, std::uint32_t bits, std::uint64_t read) {
  std::string message = "Code 0x";
  append_hex(message, code, 1);
  message += " does not fit the field's ";
  append_decimal(message, bits);
  message += bits == 1 ? " bit" : " bits";
  message += ": unpacking would read 0x";
  append_hex(message, read, 1);
  return value_error(std::move(message));
}

Failure written_over(std::size_t over, bool is_text, std::uint64_t code, std::uint64_t read) {
  std::string message = "Field ";
  append_decimal(message, over);
  message += " is written over this field's bytes: unpacking would read ";
  if (is_text) {
    message += "other text than was packed";
  } else {
    message += "0x";
    append_hex(message, read, 1);
    message += ", not the 0x";
    append_hex(message, code, 1);
    message += " packed";
  }
  return value_error(std::move(message));
}

}  // namespace fieldpack::core
