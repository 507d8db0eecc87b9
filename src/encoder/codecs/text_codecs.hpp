// The text encoders: text (valid UTF-8) to bytes. Pure C++, no interpreter.
// An encoder validates the text and sizes the result (EncodedBytes); write_bytes then writes the
// bytes wherever the caller wants them, so they can go straight into their final object. The
// single-byte encoders, whose check and writing are one loop, also leave the bytes in `storage`.
// The result views the text: use it while the text lives.
#pragma once

#include <cstdint>

#include "common/result.hpp"
#include "common/text.hpp"

namespace fieldpack::encoder {

// Single-byte sets: value_error at the first character the set has no byte for.
Result<EncodedBytes> encode_us_ascii(TextView text);
Result<EncodedBytes> encode_iso_8859_1(TextView text);
Result<EncodedBytes> encode_windows_1252(TextView text);

// Unicode forms never fail. The plain UTF-16 and UTF-32 forms write a big-endian byte order
// mark and big-endian units; the others write no mark.
EncodedBytes encode_utf8(TextView text);
EncodedBytes encode_utf16(TextView text);
EncodedBytes encode_utf16le(TextView text);
EncodedBytes encode_utf16be(TextView text);
EncodedBytes encode_utf32(TextView text);
EncodedBytes encode_utf32le(TextView text);
EncodedBytes encode_utf32be(TextView text);

// Write the encoded bytes, bytes.byte_count of them, to out.
void write_bytes(const EncodedBytes& bytes, std::uint8_t* out);

}  // namespace fieldpack::encoder
