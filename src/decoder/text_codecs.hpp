// The text decoders: bytes to text. Pure C++, no interpreter.
#pragma once

#include "../result.hpp"
#include "../text.hpp"

namespace fieldpack::decoder {

Result<DecodedText> decode_us_ascii(ByteSpan bytes);
DecodedText decode_iso_8859_1(ByteSpan bytes);
Result<DecodedText> decode_windows_1252(ByteSpan bytes);
Result<DecodedText> decode_utf8(ByteSpan bytes);
Result<DecodedText> decode_utf16(ByteSpan bytes);
Result<DecodedText> decode_utf16le(ByteSpan bytes);
Result<DecodedText> decode_utf16be(ByteSpan bytes);
Result<DecodedText> decode_utf32(ByteSpan bytes);
Result<DecodedText> decode_utf32le(ByteSpan bytes);
Result<DecodedText> decode_utf32be(ByteSpan bytes);

}  // namespace fieldpack::decoder
