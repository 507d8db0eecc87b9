// The US-ASCII, ISO-8859-1 and Windows-1252 decoders. Pure C++: must not include the interpreter.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "common/bits.hpp"
#include "decoder/codecs/text_codecs.hpp"

namespace fieldpack::decoder {
namespace {

// The width class of bytes that stand for themselves: 0 when all are below 0x80, else 0xFF. The
// first byte from 0x80 on settles it, so text of accented letters is hardly read at all.
std::uint32_t own_value_bits(ByteSpan bytes) {
  return ascii_prefix_length(bytes.data(), bytes.size()) == bytes.size() ? 0 : 0xFF;
}

// Whether a Windows-1252 byte maps past U+00FF: bytes 80 to 9F do, except the five that stand
// for themselves.
bool maps_past_latin1(std::uint8_t byte) {
  return (byte & 0xE0) == 0x80 && !windows_1252_stands_for_itself(byte);
}

// The width class of Windows-1252 text: 0xFFFF from the first byte that maps past U+00FF, which
// ends the scan, and otherwise that of the bytes' own values. Sixteen bytes are judged at a time.
std::uint32_t windows_1252_bits(ByteSpan bytes) {
  const std::uint8_t* p = bytes.data();
  const std::size_t size = bytes.size();
  std::size_t k = 0;
  for (; size - k >= 16; k += 16) {
    const ByteLanes lanes = load_lanes(p + k);
    const ByteLanes c1_controls = (lanes & 0xE0) == 0x80;
    std::uint64_t halves[2];
    std::memcpy(halves, &c1_controls, sizeof halves);
    if ((halves[0] | halves[1]) == 0) continue;
    for (std::size_t j = k; j < k + 16; ++j) {
      if (maps_past_latin1(p[j])) return 0xFFFF;
    }
  }
  for (; k < size; ++k) {
    if (maps_past_latin1(p[k])) return 0xFFFF;
  }
  return own_value_bits(bytes);
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
  return DecodedText{bytes, TextForm::latin1, bytes.size(), own_value_bits(bytes)};
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
  return DecodedText{bytes, TextForm::windows_1252, size, windows_1252_bits(bytes)};
}

}  // namespace fieldpack::decoder
