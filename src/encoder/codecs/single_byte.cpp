// The US-ASCII, ISO-8859-1 and Windows-1252 encoders. Pure C++: must not include the
// interpreter.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "common/bits.hpp"
#include "encoder/codecs/text_codecs.hpp"

namespace fieldpack::encoder {
namespace {

// The character itself and its code point, at least four hex digits.
Failure no_byte_for(std::string_view character, std::uint32_t code_point,
                    std::string_view set_name) {
  std::string message = "Character '";
  message += character;
  message += "' (U+";
  append_hex(message, code_point, 4);
  message += ") is not valid ";
  message += set_name;
  return value_error(std::move(message));
}

Failure no_byte_for(std::uint32_t code_point, std::string_view set_name) {
  const auto byte = [](std::uint32_t value) { return static_cast<char>(value); };
  char utf8[4];
  std::size_t length = 0;
  if (code_point < 0x80) {
    utf8[length++] = byte(code_point);
  } else if (code_point < 0x800) {
    utf8[length++] = byte(0xC0 | (code_point >> 6));
    utf8[length++] = byte(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    utf8[length++] = byte(0xE0 | (code_point >> 12));
    utf8[length++] = byte(0x80 | ((code_point >> 6) & 0x3F));
    utf8[length++] = byte(0x80 | (code_point & 0x3F));
  } else {
    utf8[length++] = byte(0xF0 | ((code_point >> 18) & 0x07));
    utf8[length++] = byte(0x80 | ((code_point >> 12) & 0x3F));
    utf8[length++] = byte(0x80 | ((code_point >> 6) & 0x3F));
    utf8[length++] = byte(0x80 | (code_point & 0x3F));
  }
  return no_byte_for(std::string_view(utf8, length), code_point, set_name);
}

Failure no_windows_1252_byte() { return value_error("Failed to encode to Windows-1252"); }

// --- Text given as UTF-8 ---------------------------------------------------------------------

// The character at a byte index of UTF-8 text. (Not an overload of no_byte_for: where a size
// is 32 bits its parameters would be the same.)
Failure no_byte_at(TextView text, std::size_t index, std::string_view set_name) {
  const CodePointAndLength sequence = decode_utf8_sequence(as_bytes_pointer(text) + index);
  return no_byte_for(text.substr(index, sequence.byte_count), sequence.code_point, set_name);
}

// One byte per code point, in one pass that checks and writes, into a buffer of the result's own:
// `byte_of` gives a code point's byte or -1, `refuse` the failure for the character at an index.
// Text that is all ASCII is its own encoding in every one of these sets, and is not copied.
template <class ByteOf, class Refuse>
Result<EncodedBytes> encode_utf8_one_byte_each(StoredText stored, TextForm form, ByteOf byte_of,
                                               Refuse refuse) {
  const TextView text = stored.utf8();
  const std::uint8_t* p = as_bytes_pointer(text);
  const std::size_t size = text.size();
  std::size_t i = ascii_prefix_length(p, size);
  if (i == size) return EncodedBytes{stored, TextForm::utf8, false, size, {}};
  // The bytes are never more than the text's, so its length is room enough, also for the eight
  // bytes stored at a time below: the output never runs ahead of the input.
  std::string storage(size, '\0');
  auto* const begin = reinterpret_cast<std::uint8_t*>(storage.data());
  std::memcpy(begin, p, i);
  std::uint8_t* out = begin + i;
  while (i < size) {
    const CodePointAndLength sequence = decode_utf8_sequence(p + i);
    const int byte = byte_of(sequence.code_point);
    if (byte < 0) return refuse(text, i);
    *out++ = static_cast<std::uint8_t>(byte);
    i += sequence.byte_count;
    // The ASCII that follows, eight bytes stored at a time and only the ASCII ones kept.
    while (size - i >= 8) {
      const std::uint64_t word = load_u64(p + i);
      std::memcpy(out, &word, sizeof word);
      const std::size_t ascii_length = ascii_prefix_length(p + i, 8);
      out += ascii_length;
      i += ascii_length;
      if (ascii_length != 8) break;
    }
    while (i < size && p[i] < 0x80) *out++ = p[i++];
  }
  storage.resize(static_cast<std::size_t>(out - begin));
  const std::uint64_t byte_count = storage.size();
  return EncodedBytes{stored, form, false, byte_count, std::move(storage)};
}

// --- Text given as code points ---------------------------------------------------------------

// The index of the first code point at or above `limit`, or `count`. Judged a block at a time
// with no branch inside, so the common case, none, vectorizes.
template <class Unit>
std::size_t first_reaching(const Unit* p, std::size_t count, std::uint32_t limit) {
  constexpr std::size_t kBlock = 256;
  for (std::size_t start = 0; start < count; start += kBlock) {
    const std::size_t end = std::min(count, start + kBlock);
    Unit largest = 0;
    for (std::size_t k = start; k < end; ++k) largest = std::max(largest, p[k]);
    if (largest < limit) continue;
    for (std::size_t k = start; k < end; ++k) {
      if (p[k] >= limit) return k;
    }
  }
  return count;
}

// Each code point's own value as its byte, when all are below `limit` (0x80 or 0x100); the
// failure names the first that is not. One-byte storage is its own encoding and is not copied.
Result<EncodedBytes> encode_own_values(StoredText text, std::uint32_t limit,
                                       std::string_view set_name) {
  std::size_t index = text.length;
  std::uint32_t refused = 0;
  switch (text.storage) {
    case TextStorage::ascii:
      break;
    case TextStorage::ucs1:
      index =
          limit > 0xFF ? text.length : ascii_prefix_length(text.units<std::uint8_t>(), text.length);
      if (index != text.length) refused = text.units<std::uint8_t>()[index];
      break;
    case TextStorage::ucs2:
      index = first_reaching(text.units<std::uint16_t>(), text.length, limit);
      if (index != text.length) refused = text.units<std::uint16_t>()[index];
      break;
    case TextStorage::ucs4:
      index = first_reaching(text.units<std::uint32_t>(), text.length, limit);
      if (index != text.length) refused = text.units<std::uint32_t>()[index];
      break;
    case TextStorage::utf8:
      return value_error("fieldpack: UTF-8 text has no code point storage");
  }
  if (index != text.length) return no_byte_for(refused, set_name);
  return EncodedBytes{text, TextForm::latin1, false, text.length, {}};
}

// The Windows-1252 byte of every code point below U+2200, past the last that has one, and at
// the end an entry for all code points from there on. kNoByte marks a code point without one:
// ORing the entries as they are used tells at the end whether any was.
constexpr std::uint32_t kWindows1252TableEnd = 0x2200;
constexpr std::uint16_t kNoByte = 0x100;

inline constexpr std::array<std::uint16_t, kWindows1252TableEnd + 1> kWindows1252ByteOf = [] {
  std::array<std::uint16_t, kWindows1252TableEnd + 1> table{};
  for (std::uint32_t c = 0; c <= kWindows1252TableEnd; ++c) {
    const int byte = windows_1252_byte(c);
    table[c] = byte < 0 ? kNoByte : static_cast<std::uint16_t>(byte);
  }
  return table;
}();

// Every code point mapped through the table without a branch, so that text mixing letters,
// quotes and dashes runs at one speed; a code point without a byte is reported once, at the end.
template <class Unit>
Result<EncodedBytes> encode_windows_1252_wide(StoredText text) {
  const Unit* p = text.units<Unit>();
  const std::size_t count = text.length;
  std::string storage(count, '\0');
  auto* out = reinterpret_cast<std::uint8_t*>(storage.data());
  std::uint32_t entries = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint16_t entry =
        kWindows1252ByteOf[std::min<std::uint32_t>(p[k], kWindows1252TableEnd)];
    entries |= entry;
    out[k] = static_cast<std::uint8_t>(entry);
  }
  if ((entries & kNoByte) != 0) return no_windows_1252_byte();
  return EncodedBytes{text, TextForm::windows_1252, false, count, std::move(storage)};
}

// One-byte storage is its own Windows-1252 encoding unless it holds one of the bytes 80 to 9F
// that stand for other characters there; those code points have no byte at all.
bool is_own_windows_1252(const std::uint8_t* p, std::size_t count) {
  std::size_t k = 0;
  for (; count - k >= 16; k += 16) {
    const ByteLanes lanes = load_lanes(p + k);
    const ByteLanes c1 = (lanes & 0xE0) == 0x80;
    std::uint64_t halves[2];
    std::memcpy(halves, &c1, sizeof halves);
    if ((halves[0] | halves[1]) == 0) continue;
    for (std::size_t j = k; j < k + 16; ++j) {
      if ((p[j] & 0xE0) == 0x80 && !windows_1252_stands_for_itself(p[j])) return false;
    }
  }
  for (; k < count; ++k) {
    if ((p[k] & 0xE0) == 0x80 && !windows_1252_stands_for_itself(p[k])) return false;
  }
  return true;
}

}  // namespace

Result<EncodedBytes> encode_us_ascii(StoredText text) {
  if (text.storage == TextStorage::utf8) {
    const TextView utf8 = text.utf8();
    const std::size_t ascii_length = ascii_prefix_length(as_bytes_pointer(utf8), utf8.size());
    if (ascii_length != utf8.size()) return no_byte_at(utf8, ascii_length, "US-ASCII");
    return EncodedBytes{text, TextForm::utf8, false, utf8.size(), {}};
  }
  return encode_own_values(text, 0x80, "US-ASCII");
}

Result<EncodedBytes> encode_iso_8859_1(StoredText text) {
  if (text.storage == TextStorage::utf8) {
    return encode_utf8_one_byte_each(
        text, TextForm::latin1,
        [](std::uint32_t code_point) {
          return code_point < 0x100 ? static_cast<int>(code_point) : -1;
        },
        [](TextView utf8, std::size_t index) { return no_byte_at(utf8, index, "ISO-8859-1"); });
  }
  return encode_own_values(text, 0x100, "ISO-8859-1");
}

Result<EncodedBytes> encode_windows_1252(StoredText text) {
  switch (text.storage) {
    case TextStorage::utf8:
      return encode_utf8_one_byte_each(
          text, TextForm::windows_1252, windows_1252_byte,
          [](TextView, std::size_t) { return no_windows_1252_byte(); });
    case TextStorage::ascii:
      return EncodedBytes{text, TextForm::latin1, false, text.length, {}};
    case TextStorage::ucs1:
      if (!is_own_windows_1252(text.units<std::uint8_t>(), text.length)) {
        return no_windows_1252_byte();
      }
      return EncodedBytes{text, TextForm::latin1, false, text.length, {}};
    case TextStorage::ucs2:
      return encode_windows_1252_wide<std::uint16_t>(text);
    case TextStorage::ucs4:
      return encode_windows_1252_wide<std::uint32_t>(text);
  }
  return no_windows_1252_byte();
}

}  // namespace fieldpack::encoder
