// The US-ASCII, ISO-8859-1 and Windows-1252 encoders. Pure C++: must not include the
// interpreter.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "common/bits.hpp"
#include "encoder/codecs/text_codecs.hpp"

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

// One byte per code point, in one pass that checks and writes, into a buffer of the result's own:
// `byte_of` gives a code point's byte or -1, `refuse` the failure for the character at an index.
// Text that is all ASCII is its own encoding in every one of these sets, and is not copied.
template <class ByteOf, class Refuse>
Result<EncodedBytes> encode_one_byte_per_code_point(TextView text, TextForm form, ByteOf byte_of,
                                                    Refuse refuse) {
  const std::uint8_t* p = as_bytes_pointer(text);
  const std::size_t size = text.size();
  std::size_t i = ascii_prefix_length(p, size);
  if (i == size) return EncodedBytes{text, TextForm::utf8, false, size, {}};
  // The bytes are never more than the text's, so its length is room enough, also for the eight
  // bytes stored at a time below: the output never runs ahead of the input.
  std::string storage(size, '\0');
  auto* const begin = reinterpret_cast<std::uint8_t*>(storage.data());
  std::memcpy(begin, p, i);
  std::uint8_t* out = begin + i;
  while (i < size) {
    const CodePointAndLength sequence = decode_utf8_sequence(p + i);
    const int byte = byte_of(sequence.code_point);
    if (byte < 0) return refuse(i);
    *out++ = static_cast<std::uint8_t>(byte);
    i += sequence.byte_count;
    // The ASCII that follows, eight bytes stored at a time and only the ASCII ones kept.
    while (size - i >= 8) {
      const std::uint64_t word = load_u64(p + i);
      std::memcpy(out, &word, sizeof word);
      const std::size_t ascii_length = ascii_prefix_length(p + i, 8);
      out += ascii_length;
      i += ascii_length;
      if (ascii_length != 8) break;
    }
    while (i < size && p[i] < 0x80) *out++ = p[i++];
  }
  storage.resize(static_cast<std::size_t>(out - begin));
  const std::uint64_t byte_count = storage.size();
  return EncodedBytes{text, form, false, byte_count, std::move(storage)};
}

}  // namespace

Result<EncodedBytes> encode_us_ascii(TextView text) {
  const std::size_t ascii_length = ascii_prefix_length(as_bytes_pointer(text), text.size());
  if (ascii_length != text.size()) return no_byte_for(text, ascii_length, "US-ASCII");
  return EncodedBytes{text, TextForm::utf8, false, text.size(), {}};
}

Result<EncodedBytes> encode_iso_8859_1(TextView text) {
  return encode_one_byte_per_code_point(
      text, TextForm::latin1,
      [](std::uint32_t code_point) {
        return code_point < 0x100 ? static_cast<int>(code_point) : -1;
      },
      [text](std::size_t index) { return no_byte_for(text, index, "ISO-8859-1"); });
}

Result<EncodedBytes> encode_windows_1252(TextView text) {
  return encode_one_byte_per_code_point(
      text, TextForm::windows_1252, windows_1252_byte,
      [](std::size_t) { return value_error("Failed to encode to Windows-1252"); });
}

}  // namespace fieldpack::encoder
