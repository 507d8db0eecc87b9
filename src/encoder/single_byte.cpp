// The US-ASCII, ISO-8859-1 and Windows-1252 encoders. Pure C++: must not include the
// interpreter.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "../bits.hpp"
#include "text_codecs.hpp"

namespace fieldpack::encoder {
namespace {

// The character itself and its code point, at least four hex digits.
Failure no_byte_for(TextView text, std::size_t index, std::string_view set_name) {
  const CodePointAndLength sequence = decode_utf8_sequence(as_bytes_pointer(text) + index);
  std::string message = "Character '";
  message += text.substr(index, sequence.byte_count);
  message += "' (U+";
  append_hex(message, sequence.code_point, 4);
  message += ") is not valid ";
  message += set_name;
  return value_error(std::move(message));
}

// Text that is all ASCII is its own encoding in every one of these sets.
EncodedBytes one_byte_per_code_point(TextView text, TextForm form, std::uint64_t byte_count) {
  return EncodedBytes{
      text, byte_count == text.size() ? TextForm::utf8 : form, false, byte_count, {}};
}

}  // namespace

Result<EncodedBytes> encode_us_ascii(TextView text) {
  const std::size_t ascii_length = ascii_prefix_length(as_bytes_pointer(text), text.size());
  if (ascii_length != text.size()) return no_byte_for(text, ascii_length, "US-ASCII");
  return EncodedBytes{text, TextForm::utf8, false, text.size(), {}};
}

Result<EncodedBytes> encode_iso_8859_1(TextView text) {
  const std::uint8_t* p = as_bytes_pointer(text);
  const std::size_t size = text.size();
  std::size_t two_byte_count = 0;
  std::size_t i = 0;
  while (true) {
    i += ascii_prefix_length(p + i, size - i);
    if (i == size) break;
    // Leads C2 and C3 start U+0080 to U+00FF; every later lead starts a character past U+00FF.
    if (p[i] > 0xC3) return no_byte_for(text, i, "ISO-8859-1");
    ++two_byte_count;
    i += 2;
  }
  return one_byte_per_code_point(text, TextForm::latin1, size - two_byte_count);
}

Result<EncodedBytes> encode_windows_1252(TextView text) {
  const std::uint8_t* p = as_bytes_pointer(text);
  const std::size_t size = text.size();
  std::size_t code_point_count = 0;
  std::size_t i = 0;
  while (true) {
    const std::size_t ascii_length = ascii_prefix_length(p + i, size - i);
    code_point_count += ascii_length;
    i += ascii_length;
    if (i == size) break;
    const CodePointAndLength sequence = decode_utf8_sequence(p + i);
    if (windows_1252_byte(sequence.code_point) < 0) {
      return value_error("Failed to encode to Windows-1252");
    }
    ++code_point_count;
    i += sequence.byte_count;
  }
  return one_byte_per_code_point(text, TextForm::windows_1252, code_point_count);
}

}  // namespace fieldpack::encoder
