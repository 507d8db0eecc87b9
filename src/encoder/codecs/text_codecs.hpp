// The text encoders: text, as the host stores it, to bytes. Pure C++, no interpreter.
// An encoder checks the text and sizes the result (EncodedBytes); write_bytes then writes the
// bytes wherever the caller wants them, so they can go straight into their final object. The
// single-byte encoders that map characters as they check them leave the bytes in `storage`.
// The result views the text: use it while the text lives.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/result.hpp"
#include "common/text.hpp"

namespace fieldpack::encoder {

// Single-byte sets: value_error at the first character the set has no byte for.
Result<EncodedBytes> encode_us_ascii(StoredText text);
Result<EncodedBytes> encode_iso_8859_1(StoredText text);
Result<EncodedBytes> encode_windows_1252(StoredText text);

// Unicode forms never fail. The plain UTF-16 and UTF-32 forms write a big-endian byte order
// mark and big-endian units; the others write no mark.
EncodedBytes encode_utf8(StoredText text);
EncodedBytes encode_utf16(StoredText text);
EncodedBytes encode_utf16le(StoredText text);
EncodedBytes encode_utf16be(StoredText text);
EncodedBytes encode_utf32(StoredText text);
EncodedBytes encode_utf32le(StoredText text);
EncodedBytes encode_utf32be(StoredText text);

// Write the encoded bytes, bytes.byte_count of them, to out.
void write_bytes(const EncodedBytes& bytes, std::uint8_t* out);

// Where the encoded bytes are already at hand, in the text itself or in the encoder's storage;
// nullptr when they are not.
const std::uint8_t* bytes_in_place(const EncodedBytes& bytes);

// The encoded bytes as one buffer, valid while `bytes` and its text live: in place, or written
// into bytes.storage. Throws std::bad_alloc when they do not fit in memory.
ByteSpan as_bytes(const EncodedBytes& bytes);

// UTF-8 of wide text not yet checked for surrogates, written in the one pass that looks for them:
// the number of bytes written, or kSurrogateFound (nothing usable written). `out` must have room
// for 3 bytes per 2-byte unit, 4 per 4-byte unit.
inline constexpr std::size_t kSurrogateFound = static_cast<std::size_t>(-1);
std::size_t write_utf8_or_find_surrogate(const std::uint16_t* units, std::size_t count,
                                         std::uint8_t* out);
std::size_t write_utf8_or_find_surrogate(const std::uint32_t* units, std::size_t count,
                                         std::uint8_t* out);

// Whether a ucs2 or ucs4 text holds a code point from D800 to DFFF, which no encoding here can
// write; the other storages never do. Counts a text without one for the encoders' sizing in the
// same pass (StoredText::counted).
bool holds_surrogate(StoredText& text);

}  // namespace fieldpack::encoder
