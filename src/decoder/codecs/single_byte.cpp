// The US-ASCII, ISO-8859-1 and Windows-1252 decoders. Pure C++: must not include the interpreter.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/bits.hpp"
#include "decoder/codecs/text_codecs.hpp"

namespace fieldpack::decoder {
namespace {

std::uint32_t or_of_bytes(ByteSpan bytes) {
  std::uint8_t bits = 0;
  for (const std::uint8_t byte : bytes) bits = static_cast<std::uint8_t>(bits | byte);
  return bits;
}

}  // namespace

Result<DecodedText> decode_us_ascii(ByteSpan bytes) {
  const std::size_t ascii_length = ascii_prefix_length(bytes.data(), bytes.size());
  if (ascii_length != bytes.size()) {
    std::string message = "Invalid US-ASCII byte: 0x";
    append_hex(message, bytes[ascii_length], 2);
    message += " (must be <= 0x7F)";
    return value_error(std::move(message));
  }
  return DecodedText{bytes, TextForm::utf8, bytes.size(), 0};
}

DecodedText decode_iso_8859_1(ByteSpan bytes) {
  return DecodedText{bytes, TextForm::latin1, bytes.size(), or_of_bytes(bytes)};
}

Result<DecodedText> decode_windows_1252(ByteSpan bytes) {
  // A byte order mark at the very start overrides the encoding; the mark itself is dropped.
  // Where another decoder would replace malformed input, this one fails instead.
  const auto sniffed = [](Result<DecodedText> text) -> Result<DecodedText> {
    if (!text.ok()) return value_error("Failed to decode Windows-1252 bytes");
    return text;
  };
  const std::size_t size = bytes.size();
  if (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
    // Checked here, so that a fault gets this decoder's message rather than the UTF-8 one.
    Result<DecodedText> text = decode_utf8(bytes.subspan(3));
    if (!text.ok()) return sniffed(std::move(text));
    return sniffed(validated(std::move(text.value())));
  }
  if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    return sniffed(decode_utf16_with_endianness(bytes.subspan(2), true));
  }
  if (size >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
    return sniffed(decode_utf16_with_endianness(bytes.subspan(2), false));
  }
  // Bytes 80 to 9F map past U+00FF, except the five that stand for themselves; all map below
  // U+10000. One pass of byte-wide compares, which vectorizes, tells the width.
  std::uint8_t byte_bits = 0;
  std::uint8_t wide = 0;
  for (const std::uint8_t byte : bytes) {
    const bool stands_for_itself = windows_1252_stands_for_itself(byte);
    byte_bits = static_cast<std::uint8_t>(byte_bits | byte);
    wide = static_cast<std::uint8_t>(wide | (((byte & 0xE0) == 0x80) & !stands_for_itself));
  }
  const std::uint32_t bits = wide != 0 ? 0xFFFF : byte_bits;
  return DecodedText{bytes, TextForm::windows_1252, size, bits};
}

}  // namespace fieldpack::decoder
