// The text encoders: text (valid UTF-8) to bytes. Pure C++, no interpreter.
#pragma once

#include "../result.hpp"
#include "../text.hpp"

namespace fieldpack::encoder {

Result<EncodedBytes> encode_us_ascii(TextView text);
Result<EncodedBytes> encode_iso_8859_1(TextView text);
Result<EncodedBytes> encode_windows_1252(TextView text);
EncodedBytes encode_utf8(TextView text);
EncodedBytes encode_utf16(TextView text);
EncodedBytes encode_utf16le(TextView text);
EncodedBytes encode_utf16be(TextView text);
EncodedBytes encode_utf32(TextView text);
EncodedBytes encode_utf32le(TextView text);
EncodedBytes encode_utf32be(TextView text);

}  // namespace fieldpack::encoder
