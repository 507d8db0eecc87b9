// Text codecs: every decoder agrees with a slow, plain reference on what is valid and on the code
// points; the writers lay them out alike in every width and never past the count; UTF-8 that is
// only counted when decoded is refused by every writer exactly when it is malformed. Every
// encoder gives the same bytes from each storage a text fits (UTF-8, ASCII, one, two and four
// bytes per code point), the bytes the reference gives, and they decode back to the text.
#include <algorithm>
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
using Bytes = std::vector<std::uint8_t>;

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

Bytes utf8_of(const CodePoints& code_points) {
  Bytes out;
  for (const std::uint32_t c : code_points) {
    const auto byte = [](std::uint32_t v) { return static_cast<std::uint8_t>(v); };
    if (c < 0x80) {
      out.push_back(byte(c));
    } else if (c < 0x800) {
      out.insert(out.end(), {byte(0xC0 | (c >> 6)), byte(0x80 | (c & 0x3F))});
    } else if (c < 0x10000) {
      out.insert(out.end(),
                 {byte(0xE0 | (c >> 12)), byte(0x80 | ((c >> 6) & 0x3F)), byte(0x80 | (c & 0x3F))});
    } else {
      out.insert(out.end(), {byte(0xF0 | (c >> 18)), byte(0x80 | ((c >> 12) & 0x3F)),
                             byte(0x80 | ((c >> 6) & 0x3F)), byte(0x80 | (c & 0x3F))});
    }
  }
  return out;
}

Bytes units_of(const CodePoints& code_points, std::size_t unit_size, bool little_endian) {
  Bytes out;
  const auto put = [&](std::uint32_t unit) {
    for (std::size_t k = 0; k < unit_size; ++k) {
      const std::size_t shift = 8 * (little_endian ? k : unit_size - 1 - k);
      out.push_back(static_cast<std::uint8_t>(unit >> shift));
    }
  };
  for (const std::uint32_t c : code_points) {
    if (unit_size == 2 && c >= 0x10000) {
      put(0xD800 + ((c - 0x10000) >> 10));
      put(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      put(c);
    }
  }
  return out;
}

// The decoded text through every writer its width allows, each with a guard past the count; UTF-8
// that decode_utf8 left unchecked is checked first, as the host does.
std::optional<CodePoints> written(DecodedText text) {
  if (!text.validated) {
    auto checked = decoder::validated(text);
    if (!checked.ok()) return std::nullopt;
    text = checked.value();
  }
  constexpr std::uint32_t kGuard = 0xA5A5A5A5;
  CodePoints wide(text.code_point_count + 1, kGuard);
  decoder::write_code_points(text, wide.data());
  require(wide.back() == kGuard);
  wide.pop_back();
  const std::uint32_t bits = text.code_point_bits;
  if (bits < 0x10000) {
    std::vector<std::uint16_t> narrow(wide.size() + 1, 0xA5A5);
    decoder::write_code_points(text, narrow.data());
    require(narrow.back() == 0xA5A5);
    for (std::size_t k = 0; k < wide.size(); ++k) require(narrow[k] == wide[k]);
  }
  if (bits < 0x100) {
    std::vector<std::uint8_t> narrow(wide.size() + 1, 0xA5);
    decoder::write_code_points(text, narrow.data());
    require(narrow.back() == 0xA5);
    for (std::size_t k = 0; k < wide.size(); ++k) require(narrow[k] == wide[k]);
  }
  std::uint32_t largest = 0;
  for (const std::uint32_t c : wide) largest = std::max(largest, c);
  const auto width_class = [](std::uint32_t v) {
    return v < 0x80 ? 0 : v < 0x100 ? 1 : v < 0x10000 ? 2 : 3;
  };
  require(width_class(largest) == width_class(bits));
  return wide;
}

// The one-pass fill of the one-byte form: it fits exactly when the text is valid and nothing in
// it passes U+00FF, and then gives the code points; it never writes past the room it is given,
// however little.
void check_one_byte_fill(ByteSpan bytes, const std::optional<CodePoints>& expected) {
  bool narrow = expected.has_value();
  for (std::size_t k = 0; narrow && k < expected->size(); ++k) narrow = (*expected)[k] < 0x100;
  for (const std::size_t room : {bytes.size(), expected ? expected->size() : bytes.size() / 2}) {
    Bytes out(room + 1, 0xA5);
    const decoder::OneByteFill fill = decoder::fill_one_byte_form(bytes, out.data(), room);
    require(out.back() == 0xA5);
    const bool fits = narrow && expected->size() <= room;
    require(fill.fits == fits);
    if (!fits) continue;
    require(fill.code_point_count == expected->size());
    for (std::size_t k = 0; k < expected->size(); ++k) require(out[k] == (*expected)[k]);
  }
}

// A decoder against its reference, down to the index a UTF-8 failure names.
template <class Decode>
void check_decoder(Decode decode, ByteSpan bytes, const std::optional<CodePoints>& expected,
                   std::optional<std::size_t> failed_at = std::nullopt) {
  auto decoded = decode(bytes);
  std::optional<CodePoints> code_points;
  std::string message;
  if (decoded.ok()) {
    code_points = written(decoded.value());
    if (!code_points) message = decoder::validated(decoded.value()).failure().message;
  } else {
    message = decoded.failure().message;
  }
  require(code_points == expected);
  if (!expected && failed_at)
    require(message.ends_with("from index " + std::to_string(*failed_at)));
}

// The text in every storage it fits; each vector keeps its data alive and aligned.
struct Storages {
  Bytes utf8, ones;
  std::vector<std::uint16_t> twos;
  std::vector<std::uint32_t> fours;
  std::vector<StoredText> texts;

  explicit Storages(const CodePoints& code_points) : utf8(utf8_of(code_points)) {
    std::uint32_t largest = 0;
    for (const std::uint32_t c : code_points) largest = std::max(largest, c);
    fours.assign(code_points.begin(), code_points.end());
    const std::size_t count = code_points.size();
    texts.push_back({utf8.data(), utf8.size(), TextStorage::utf8});
    texts.push_back({fours.data(), count, TextStorage::ucs4});
    if (largest < 0x10000) {
      twos.assign(code_points.begin(), code_points.end());
      texts.push_back({twos.data(), count, TextStorage::ucs2});
    }
    if (largest < 0x100) {
      ones.assign(code_points.begin(), code_points.end());
      texts.push_back({ones.data(), count, TextStorage::ucs1});
      if (largest < 0x80) texts.push_back({ones.data(), count, TextStorage::ascii});
    }
  }
};

Bytes written(const EncodedBytes& bytes) {
  Bytes out(static_cast<std::size_t>(bytes.byte_count) + 1, 0xA5);
  encoder::write_bytes(bytes, out.data());
  require(out.back() == 0xA5);
  out.pop_back();
  return out;
}

// UTF-8 of wide storage in the pass that also looks for surrogates: the reference bytes within
// the room it is promised, and with a surrogate put in, the refusal, as holds_surrogate says.
template <class Unit>
void check_one_pass_utf8(std::vector<Unit> units, const Bytes& expected) {
  const auto one_pass = [](const std::vector<Unit>& text, Bytes& out) {
    out.assign(text.size() * (sizeof(Unit) == 2 ? 3 : 4) + 1, 0xA5);
    const std::size_t size =
        encoder::write_utf8_or_find_surrogate(text.data(), text.size(), out.data());
    require(out.back() == 0xA5);
    return size;
  };
  Bytes out;
  const std::size_t size = one_pass(units, out);
  require(size == expected.size() && std::equal(expected.begin(), expected.end(), out.begin()));
  if (units.empty()) return;
  units[units.size() * 2 / 3] = static_cast<Unit>(0xD800 + units.size() % 0x800);
  StoredText stored{units.data(), units.size(),
                    sizeof(Unit) == 2 ? TextStorage::ucs2 : TextStorage::ucs4};
  require(encoder::holds_surrogate(stored));
  require(one_pass(units, out) == encoder::kSurrogateFound);
}

// Every encoder from every storage of the text against the reference bytes; then back.
void check_encoders(const CodePoints& code_points) {
  const Storages storages(code_points);
  const auto unicode = [&](auto encode, auto decode, const Bytes& expected) {
    for (const StoredText& text : storages.texts) require(written(encode(text)) == expected);
    auto decoded = decode(ByteSpan(expected));
    require(decoded.ok() && written(decoded.value()) == code_points);
  };
  const Bytes big_mark16 = {0xFE, 0xFF}, big_mark32 = {0, 0, 0xFE, 0xFF};
  const auto marked = [](const Bytes& mark, Bytes bytes) {
    bytes.insert(bytes.begin(), mark.begin(), mark.end());
    return bytes;
  };
  unicode(encoder::encode_utf8, decoder::decode_utf8, storages.utf8);
  check_one_pass_utf8(storages.fours, storages.utf8);
  if (storages.twos.size() == code_points.size()) check_one_pass_utf8(storages.twos, storages.utf8);
  unicode(encoder::encode_utf16be, decoder::decode_utf16be, units_of(code_points, 2, false));
  unicode(encoder::encode_utf16le, decoder::decode_utf16le, units_of(code_points, 2, true));
  unicode(encoder::encode_utf16, decoder::decode_utf16,
          marked(big_mark16, units_of(code_points, 2, false)));
  unicode(encoder::encode_utf32be, decoder::decode_utf32be, units_of(code_points, 4, false));
  unicode(encoder::encode_utf32le, decoder::decode_utf32le, units_of(code_points, 4, true));
  unicode(encoder::encode_utf32, decoder::decode_utf32,
          marked(big_mark32, units_of(code_points, 4, false)));

  // The single-byte sets: a byte for every character or the failure, from every storage alike.
  std::optional<Bytes> ascii = Bytes{}, latin1 = Bytes{}, windows_1252 = Bytes{};
  for (const std::uint32_t c : code_points) {
    if (ascii && c < 0x80) ascii->push_back(static_cast<std::uint8_t>(c));
    if (ascii && c >= 0x80) ascii.reset();
    if (latin1 && c < 0x100) latin1->push_back(static_cast<std::uint8_t>(c));
    if (latin1 && c >= 0x100) latin1.reset();
    std::optional<std::uint8_t> byte;
    for (std::uint32_t b = 0; b < 0x100 && !byte; ++b) {
      if (kWindows1252CodePoints[b] == c) byte = static_cast<std::uint8_t>(b);
    }
    if (windows_1252 && byte) windows_1252->push_back(*byte);
    if (!byte) windows_1252.reset();
  }
  const auto single_byte = [&](auto encode, const std::optional<Bytes>& expected) {
    std::optional<std::string> first_message;
    for (const StoredText& text : storages.texts) {
      auto encoded = encode(text);
      require(encoded.ok() == expected.has_value());
      if (encoded.ok()) {
        require(written(encoded.value()) == *expected);
      } else {
        if (!first_message) first_message = encoded.failure().message;
        require(encoded.failure().message == *first_message);
      }
    }
  };
  single_byte(encoder::encode_us_ascii, ascii);
  single_byte(encoder::encode_iso_8859_1, latin1);
  single_byte(encoder::encode_windows_1252, windows_1252);
  if (ascii) require(written(decoder::decode_us_ascii(ByteSpan(*ascii)).value()) == code_points);
  if (latin1) require(written(decoder::decode_iso_8859_1(ByteSpan(*latin1))) == code_points);
}

// The input as bytes, through every decoder.
void check_decoders(ByteSpan bytes) {
  std::size_t failed_at = 0;
  const auto utf8 = reference_utf8(bytes, failed_at);
  check_decoder(decoder::decode_utf8, bytes, utf8, failed_at);
  check_one_byte_fill(bytes, utf8);
  if (!utf8) require(decoder::malformed_utf8(bytes).message.ends_with(std::to_string(failed_at)));
  check_decoder(decoder::decode_utf16be, bytes, reference_utf16(bytes, false));
  check_decoder(decoder::decode_utf16le, bytes, reference_utf16(bytes, true));
  check_decoder(decoder::decode_utf32be, bytes, reference_utf32(bytes, false));
  check_decoder(decoder::decode_utf32le, bytes, reference_utf32(bytes, true));
  const CodePoints latin1(bytes.begin(), bytes.end());
  require(written(decoder::decode_iso_8859_1(bytes)) == latin1);
  CodePoints windows_1252;
  for (const std::uint8_t b : bytes) windows_1252.push_back(kWindows1252CodePoints[b]);
  auto sniffed = decoder::decode_windows_1252(bytes);
  const std::size_t size = bytes.size();
  if (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
    const auto expected = reference_utf8(bytes.subspan(3), failed_at);
    require(sniffed.ok() == expected.has_value());
    if (sniffed.ok()) require(written(sniffed.value()) == expected);
  } else if (size >= 2 &&
             ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF))) {
    require(sniffed.ok() == reference_utf16(bytes.subspan(2), bytes[0] == 0xFF).has_value());
  } else {
    require(sniffed.ok() && written(sniffed.value()) == windows_1252);
  }
  if (utf8) check_encoders(*utf8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  const ByteSpan rest(data + 1, size - 1);
  if (mode % 2 == 0) {
    check_decoders(rest);
    return 0;
  }

  // Valid text built from the input, weighted towards the widths' edges; in mode 3 mostly ASCII
  // with a few wider characters, as telemetry text is, in runs long enough for the block paths.
  // Then its UTF-8 with one byte changed, through the decoders.
  CodePoints code_points;
  static constexpr std::uint32_t kLimits[] = {0x80, 0x100, 0x800, 0x10000, 0x110000};
  for (std::size_t i = 0; i < rest.size();) {
    if (mode % 4 == 3 && rest[i] < 0xE0) {
      const std::uint32_t run = 1 + rest[i] % 40u;
      for (std::uint32_t k = 0; k < run; ++k) code_points.push_back(0x20 + (rest[i] + k) % 0x5F);
      ++i;
      continue;
    }
    if (rest.size() - i < 3) break;
    const std::uint32_t raw =
        (std::uint32_t{rest[i]} << 16) | (std::uint32_t{rest[i + 1]} << 8) | rest[i + 2];
    std::uint32_t c = raw % kLimits[rest[i + 1] % 5];
    if (!is_scalar(c)) c = 0xFFFD;
    code_points.push_back(c);
    i += 3;
  }
  check_encoders(code_points);
  Bytes text = utf8_of(code_points);
  if (!text.empty()) {
    text[(mode >> 2) * 7919u % text.size()] = rest.empty() ? 0 : rest.back();
    check_decoders(ByteSpan(text));
  }
  return 0;
}
