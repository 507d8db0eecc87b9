// Text codecs: every decoder agrees with a slow, plain reference on what is valid and on the code
// points; the writers lay them out alike in every width; what decodes re-encodes to the same
// bytes, and every encoder's output decodes back to its text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "decoder/codecs/text_codecs.hpp"
#include "encoder/codecs/text_codecs.hpp"

namespace {

using namespace fieldpack;
using CodePoints = std::vector<std::uint32_t>;

void require(bool condition) {
  if (!condition) std::abort();
}

bool is_scalar(std::uint32_t code_point) {
  return code_point <= 0x10FFFF && (code_point < 0xD800 || code_point > 0xDFFF);
}

// UTF-8 decoded the obvious way: assemble each sequence, then refuse overlong forms, surrogates
// and values past 10FFFF. On failure, `failed_at` is the start of the faulty sequence.
std::optional<CodePoints> reference_utf8(ByteSpan bytes, std::size_t& failed_at) {
  CodePoints out;
  for (std::size_t i = 0; i < bytes.size();) {
    failed_at = i;
    const std::uint32_t lead = bytes[i];
    std::size_t length;
    std::uint32_t code_point;
    std::uint32_t smallest;
    if (lead < 0x80) {
      length = 1, code_point = lead, smallest = 0;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, code_point = lead & 0x1F, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, code_point = lead & 0x0F, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, code_point = lead & 0x07, smallest = 0x10000;
    } else {
      return std::nullopt;
    }
    if (bytes.size() - i < length) return std::nullopt;
    for (std::size_t k = 1; k < length; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) return std::nullopt;
      code_point = (code_point << 6) | (bytes[i + k] & 0x3Fu);
    }
    if (code_point < smallest || !is_scalar(code_point)) return std::nullopt;
    out.push_back(code_point);
    i += length;
  }
  return out;
}

std::optional<CodePoints> reference_utf16(ByteSpan bytes, bool little_endian) {
  if (bytes.size() % 2 != 0) return std::nullopt;
  CodePoints units;
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    const std::uint32_t first = bytes[i];
    const std::uint32_t second = bytes[i + 1];
    units.push_back(little_endian ? first | (second << 8) : (first << 8) | second);
  }
  CodePoints out;
  for (std::size_t k = 0; k < units.size(); ++k) {
    const std::uint32_t unit = units[k];
    if (unit >= 0xDC00 && unit <= 0xDFFF) return std::nullopt;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (k + 1 == units.size() || units[k + 1] < 0xDC00 || units[k + 1] > 0xDFFF) {
        return std::nullopt;
      }
      out.push_back(0x10000 + ((unit - 0xD800) << 10) + (units[++k] - 0xDC00));
    } else {
      out.push_back(unit);
    }
  }
  return out;
}

std::optional<CodePoints> reference_utf32(ByteSpan bytes, bool little_endian) {
  if (bytes.size() % 4 != 0) return std::nullopt;
  CodePoints out;
  for (std::size_t i = 0; i < bytes.size(); i += 4) {
    std::uint32_t unit = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      unit |= std::uint32_t{bytes[i + k]} << (8 * (little_endian ? k : 3 - k));
    }
    if (!is_scalar(unit)) return std::nullopt;
    out.push_back(unit);
  }
  return out;
}

std::string utf8_of(const CodePoints& code_points) {
  std::string out;
  for (const std::uint32_t c : code_points) {
    const auto byte = [](std::uint32_t v) { return static_cast<char>(v); };
    if (c < 0x80) {
      out += byte(c);
    } else if (c < 0x800) {
      out += byte(0xC0 | (c >> 6)), out += byte(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += byte(0xE0 | (c >> 12)), out += byte(0x80 | ((c >> 6) & 0x3F));
      out += byte(0x80 | (c & 0x3F));
    } else {
      out += byte(0xF0 | (c >> 18)), out += byte(0x80 | ((c >> 12) & 0x3F));
      out += byte(0x80 | ((c >> 6) & 0x3F)), out += byte(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// The decoded text's code points through every writer its width allows, with a guard past the
// end; also checks the count, the width class and the UTF-8 form.
CodePoints written(const DecodedText& text) {
  constexpr std::uint32_t kGuard = 0xA5A5A5A5;
  CodePoints wide(text.code_point_count + 1, kGuard);
  decoder::write_code_points(text, wide.data());
  require(wide.back() == kGuard);
  wide.pop_back();
  std::uint32_t largest = 0;
  for (const std::uint32_t c : wide) largest = c > largest ? c : largest;
  const auto width_class = [](std::uint32_t v) {
    return v < 0x80 ? 0 : v < 0x100 ? 1 : v < 0x10000 ? 2 : 3;
  };
  require(width_class(largest) == width_class(text.code_point_bits));
  if (largest < 0x10000) {
    std::vector<std::uint16_t> narrow(wide.size() + 1, 0xA5A5);
    decoder::write_code_points(text, narrow.data());
    require(narrow.back() == 0xA5A5);
    for (std::size_t k = 0; k < wide.size(); ++k) require(narrow[k] == wide[k]);
  }
  if (largest < 0x100) {
    std::vector<std::uint8_t> narrow(wide.size() + 1, 0xA5);
    decoder::write_code_points(text, narrow.data());
    require(narrow.back() == 0xA5);
    for (std::size_t k = 0; k < wide.size(); ++k) require(narrow[k] == wide[k]);
  }
  require(decoder::to_utf8(text) == utf8_of(wide));
  return wide;
}

std::vector<std::uint8_t> written(const EncodedBytes& bytes) {
  std::vector<std::uint8_t> out(static_cast<std::size_t>(bytes.byte_count) + 1, 0xA5);
  encoder::write_bytes(bytes, out.data());
  require(out.back() == 0xA5);
  out.pop_back();
  return out;
}

bool same(const std::vector<std::uint8_t>& a, ByteSpan b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// Bytes an encoder left in its result agree with those written from the text.
bool same_storage(const EncodedBytes& bytes, const std::vector<std::uint8_t>& expected) {
  if (bytes.storage.empty()) return true;
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.storage.data());
  return same(expected, ByteSpan(data, bytes.storage.size()));
}

// A decoder against its reference; when both accept, the matching encoder gives the bytes back.
template <class Decode, class Encode>
void check_decoder(Decode decode, Encode encode, ByteSpan bytes,
                   const std::optional<CodePoints>& expected) {
  auto decoded = decode(bytes);
  require(decoded.ok() == expected.has_value());
  if (!decoded.ok()) return;
  require(written(decoded.value()) == *expected);
  const std::string text = utf8_of(*expected);
  require(same(written(encode(text)), bytes));
}

// Every encoder on valid text: the Unicode forms decode back; the single-byte sets succeed
// exactly when every character has a byte, and then decode back.
void check_encoders(const CodePoints& code_points) {
  const std::string text = utf8_of(code_points);
  const auto round_trip = [&](auto encode, auto decode) {
    const std::vector<std::uint8_t> bytes = written(encode(text));
    auto decoded = decode(ByteSpan(bytes));
    require(decoded.ok() && written(decoded.value()) == code_points);
  };
  round_trip(encoder::encode_utf8, decoder::decode_utf8);
  round_trip(encoder::encode_utf16, decoder::decode_utf16);
  round_trip(encoder::encode_utf16be, decoder::decode_utf16be);
  round_trip(encoder::encode_utf16le, decoder::decode_utf16le);
  round_trip(encoder::encode_utf32, decoder::decode_utf32);
  round_trip(encoder::encode_utf32be, decoder::decode_utf32be);
  round_trip(encoder::encode_utf32le, decoder::decode_utf32le);

  bool ascii = true, latin1 = true, windows_1252 = true;
  for (const std::uint32_t c : code_points) {
    ascii = ascii && c < 0x80;
    latin1 = latin1 && c < 0x100;
    bool listed = c < 0x80;
    for (std::uint32_t b = 0x80; b < 0x100 && !listed; ++b) listed = kWindows1252CodePoints[b] == c;
    windows_1252 = windows_1252 && listed;
  }
  const auto single_byte = [&](auto encode, auto decode, bool encodable) {
    auto encoded = encode(text);
    require(encoded.ok() == encodable);
    if (!encoded.ok()) return;
    const std::vector<std::uint8_t> bytes = written(encoded.value());
    require(bytes.size() == code_points.size());
    require(same_storage(encoded.value(), bytes));
    auto decoded = decode(ByteSpan(bytes));
    require(decoded.ok() && written(decoded.value()) == code_points);
  };
  single_byte(encoder::encode_us_ascii, decoder::decode_us_ascii, ascii);
  single_byte(
      encoder::encode_iso_8859_1,
      [](ByteSpan b) { return Result<DecodedText>(decoder::decode_iso_8859_1(b)); }, latin1);
  // A leading byte order mark would be sniffed on the way back; such texts only encode.
  const auto no_mark = [](ByteSpan b) -> Result<DecodedText> {
    const bool mark =
        (b.size() >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) ||
        (b.size() >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF)));
    if (mark) return decoder::decode_iso_8859_1(b);  // compared below only when unmarked
    return decoder::decode_windows_1252(b);
  };
  auto encoded = encoder::encode_windows_1252(text);
  require(encoded.ok() == windows_1252);
  if (encoded.ok()) {
    const std::vector<std::uint8_t> bytes = written(encoded.value());
    require(bytes.size() == code_points.size());
    require(same_storage(encoded.value(), bytes));
    auto decoded = no_mark(ByteSpan(bytes));
    if (decoded.value().form == TextForm::windows_1252 || bytes.empty()) {
      require(written(decoded.value()) == code_points);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  const ByteSpan rest(data + 1, size - 1);

  if (mode % 2 == 0) {
    // The input as bytes, through every decoder.
    std::size_t failed_at = 0;
    const auto utf8 = reference_utf8(rest, failed_at);
    auto decoded = decoder::decode_utf8(rest);
    require(decoded.ok() == utf8.has_value());
    if (!decoded.ok()) {
      const std::string& message = decoded.failure().message;
      require(message.ends_with("from index " + std::to_string(failed_at)));
    }
    check_decoder(decoder::decode_utf8, encoder::encode_utf8, rest, utf8);
    check_decoder(decoder::decode_utf16be, encoder::encode_utf16be, rest,
                  reference_utf16(rest, false));
    check_decoder(decoder::decode_utf16le, encoder::encode_utf16le, rest,
                  reference_utf16(rest, true));
    check_decoder(decoder::decode_utf32be, encoder::encode_utf32be, rest,
                  reference_utf32(rest, false));
    check_decoder(decoder::decode_utf32le, encoder::encode_utf32le, rest,
                  reference_utf32(rest, true));
    CodePoints latin1(rest.begin(), rest.end());
    require(written(decoder::decode_iso_8859_1(rest)) == latin1);
    CodePoints windows_1252;
    for (const std::uint8_t b : rest) windows_1252.push_back(kWindows1252CodePoints[b]);
    auto sniffed = decoder::decode_windows_1252(rest);
    if (rest.size() >= 3 && rest[0] == 0xEF && rest[1] == 0xBB && rest[2] == 0xBF) {
      require(sniffed.ok() == reference_utf8(rest.subspan(3), failed_at).has_value());
    } else if (rest.size() >= 2 &&
               ((rest[0] == 0xFF && rest[1] == 0xFE) || (rest[0] == 0xFE && rest[1] == 0xFF))) {
      require(sniffed.ok() == reference_utf16(rest.subspan(2), rest[0] == 0xFF).has_value());
    } else {
      require(sniffed.ok() && written(sniffed.value()) == windows_1252);
      const std::string text = decoder::to_utf8(sniffed.value());  // the encoder's result views it
      auto encoded = encoder::encode_windows_1252(text);
      require(encoded.ok() && same(written(encoded.value()), rest));
    }
    if (utf8) check_encoders(*utf8);
    return 0;
  }

  // Valid text built from the input, three bytes per character, weighted towards the widths'
  // edges; then the same text with one byte changed, through the UTF-8 decoder.
  CodePoints code_points;
  for (std::size_t i = 0; i + 3 <= rest.size(); i += 3) {
    const std::uint32_t raw =
        (std::uint32_t{rest[i]} << 16) | (std::uint32_t{rest[i + 1]} << 8) | rest[i + 2];
    static constexpr std::uint32_t kLimits[] = {0x80, 0x100, 0x800, 0x10000, 0x110000};
    std::uint32_t c = raw % kLimits[rest[i] % 5];
    if (!is_scalar(c)) c = 0xFFFD;
    code_points.push_back(c);
  }
  check_encoders(code_points);
  std::string text = utf8_of(code_points);
  if (!text.empty()) {
    text[mode % text.size()] = static_cast<char>(rest.empty() ? 0 : rest.back());
    const ByteSpan changed(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    std::size_t failed_at = 0;
    check_decoder(decoder::decode_utf8, encoder::encode_utf8, changed,
                  reference_utf8(changed, failed_at));
  }
  return 0;
}
