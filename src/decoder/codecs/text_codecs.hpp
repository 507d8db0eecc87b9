// The text decoders: bytes to text. Pure C++, no interpreter.
// A decoder sizes its whole input and describes the text (DecodedText); the writers below lay it
// out in the width the host needs. The result views the input: use it while the input lives.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/result.hpp"
#include "common/text.hpp"

namespace fieldpack::decoder {

// US-ASCII: value_error at the first byte above 7F.
Result<DecodedText> decode_us_ascii(ByteSpan bytes);
// ISO-8859-1: each byte is the code point of its value. Never fails.
DecodedText decode_iso_8859_1(ByteSpan bytes);
// Windows-1252 with UTF-8, UTF-16LE and UTF-16BE byte order mark sniffing; value_error when the
// text after a mark is malformed.
Result<DecodedText> decode_windows_1252(ByteSpan bytes);

// Strict UTF-8. Input with non-ASCII bytes comes back unvalidated (see DecodedText), so this
// never fails itself: `validated` or the host's own pass finds the faults, and malformed_utf8
// names the first.
Result<DecodedText> decode_utf8(ByteSpan bytes);
// UTF-16 and UTF-32: the plain forms honour a leading byte order mark and otherwise read
// big-endian; value_error for a length the form refuses, a lone surrogate or an invalid unit.
Result<DecodedText> decode_utf16(ByteSpan bytes);
Result<DecodedText> decode_utf16le(ByteSpan bytes);
Result<DecodedText> decode_utf16be(ByteSpan bytes);
Result<DecodedText> decode_utf32(ByteSpan bytes);
Result<DecodedText> decode_utf32le(ByteSpan bytes);
Result<DecodedText> decode_utf32be(ByteSpan bytes);

// The bodies of the fixed-order decoders, with no mark handling.
Result<DecodedText> decode_utf16_with_endianness(ByteSpan bytes, bool little_endian);
Result<DecodedText> decode_utf32_with_endianness(ByteSpan bytes, bool little_endian);

// The value_error of bytes that are not valid UTF-8, naming the first fault; bytes that are valid
// get a logic_error.
Failure malformed_utf8(ByteSpan bytes);

// The text checked and counted: value_error (as malformed_utf8) when it is not valid UTF-8.
Result<DecodedText> validated(DecodedText text);

// Write the text's code points, text.code_point_count of them, to out; the text must be
// validated (logic_error otherwise). The one-byte form needs text.code_point_bits < 0x100 and the
// two-byte form < 0x10000; the rest is cut off otherwise.
void write_code_points(const DecodedText& text, std::uint8_t* out);
void write_code_points(const DecodedText& text, std::uint16_t* out);
void write_code_points(const DecodedText& text, std::uint32_t* out);

// UTF-8 checked and written one byte per code point in a single pass, for text expected to hold
// nothing past U+00FF: ASCII, and C2 or C3 each followed by a continuation byte. `fits` is false
// at the first byte that breaks that pattern (a wider character or a fault; `validated` tells
// which) and when the code points would not fit in `capacity`; no byte is written past it.
struct OneByteFill {
  bool fits;
  std::size_t code_point_count;
};
OneByteFill fill_one_byte_form(ByteSpan utf8, std::uint8_t* out, std::size_t capacity);

}  // namespace fieldpack::decoder
