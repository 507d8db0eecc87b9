// Native text values passed between the text codecs and the host layer. No interpreter here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace fieldpack {

// Bytes as received: a bytes object's buffer, read in place.
using ByteSpan = std::span<const std::uint8_t>;

// A text argument: the str's UTF-8 form as the host gives it, so always valid UTF-8.
using TextView = std::string_view;

// What a text decoder produces: valid UTF-8.
struct DecodedText {
  std::string utf8;
};

// What a text encoder produces: the encoded bytes.
struct EncodedBytes {
  std::string bytes;
};

}  // namespace fieldpack
