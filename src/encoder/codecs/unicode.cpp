// The UTF-8, UTF-16 and UTF-32 encoders, and the writer that turns any encoder's result into
// bytes. Pure C++: must not include the interpreter.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/bits.hpp"
#include "encoder/codecs/text_codecs.hpp"

namespace fieldpack::encoder {
namespace {

// The text is valid UTF-8, so counting lead bytes counts code points, and each four-byte
// sequence needs one more UTF-16 unit.
struct TextCounts {
  std::uint64_t code_points = 0;
  std::uint64_t utf16_units = 0;
};

TextCounts count_text(TextView text) {
  const std::uint8_t* p = as_bytes_pointer(text);
  const std::size_t size = text.size();
  std::uint64_t continuation_bytes = 0;
  std::uint64_t four_byte_leads = 0;
  // Byte-wide counters over blocks of 255 bytes cannot overflow, and keep vectors full.
  for (std::size_t start = 0; start < size; start += 255) {
    const std::size_t end = size - start < 255 ? size : start + 255;
    std::uint8_t continuation = 0;
    std::uint8_t four_byte = 0;
    for (std::size_t i = start; i < end; ++i) {
      continuation = static_cast<std::uint8_t>(continuation + ((p[i] & 0xC0) == 0x80));
      four_byte = static_cast<std::uint8_t>(four_byte + (p[i] >= 0xF0));
    }
    continuation_bytes += continuation;
    four_byte_leads += four_byte;
  }
  const std::uint64_t code_points = size - continuation_bytes;
  return TextCounts{code_points, code_points + four_byte_leads};
}

// One unit, built in the host's order and stored whole, which the compiler can vectorize.
template <std::size_t kUnitSize, bool kLittleEndian>
void put_unit(std::uint8_t* q, std::uint32_t unit) {
  if constexpr (kUnitSize == 2) {
    store_unit<std::uint16_t, kLittleEndian>(q, static_cast<std::uint16_t>(unit));
  } else {
    store_unit<std::uint32_t, kLittleEndian>(q, unit);
  }
}

// UTF-8 to fixed-size code units. ASCII runs take the fast path, eight characters per step.
template <std::size_t kUnitSize, bool kLittleEndian>
void write_units(TextView text, std::uint8_t* out) {
  const std::uint8_t* p = as_bytes_pointer(text);
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    if (p[i] < 0x80) {
      while (size - i >= 8 && (load_u64(p + i) & kHighBitOfEachByte) == 0) {
        for (std::size_t j = 0; j < 8; ++j) {
          put_unit<kUnitSize, kLittleEndian>(out + kUnitSize * j, p[i + j]);
        }
        out += 8 * kUnitSize;
        i += 8;
      }
      while (i < size && p[i] < 0x80) {
        put_unit<kUnitSize, kLittleEndian>(out, p[i++]);
        out += kUnitSize;
      }
      continue;
    }
    const CodePointAndLength sequence = decode_utf8_sequence(p + i);
    i += sequence.byte_count;
    std::uint32_t code_point = sequence.code_point;
    if (kUnitSize == 2 && code_point >= 0x10000) {
      code_point -= 0x10000;
      put_unit<kUnitSize, kLittleEndian>(out, 0xD800 | (code_point >> 10));
      put_unit<kUnitSize, kLittleEndian>(out + kUnitSize, 0xDC00 | (code_point & 0x3FF));
      out += 2 * kUnitSize;
    } else {
      put_unit<kUnitSize, kLittleEndian>(out, code_point);
      out += kUnitSize;
    }
  }
}

EncodedBytes utf16(TextView text, TextForm form, bool with_byte_order_mark) {
  const std::uint64_t mark_size = with_byte_order_mark ? 2 : 0;
  return EncodedBytes{
      text, form, with_byte_order_mark, mark_size + 2 * count_text(text).utf16_units, {}};
}

EncodedBytes utf32(TextView text, TextForm form, bool with_byte_order_mark) {
  const std::uint64_t mark_size = with_byte_order_mark ? 4 : 0;
  return EncodedBytes{
      text, form, with_byte_order_mark, mark_size + 4 * count_text(text).code_points, {}};
}

}  // namespace

EncodedBytes encode_utf8(TextView text) {
  return EncodedBytes{text, TextForm::utf8, false, text.size(), {}};
}

EncodedBytes encode_utf16(TextView text) { return utf16(text, TextForm::utf16be, true); }
EncodedBytes encode_utf16le(TextView text) { return utf16(text, TextForm::utf16le, false); }
EncodedBytes encode_utf16be(TextView text) { return utf16(text, TextForm::utf16be, false); }
EncodedBytes encode_utf32(TextView text) { return utf32(text, TextForm::utf32be, true); }
EncodedBytes encode_utf32le(TextView text) { return utf32(text, TextForm::utf32le, false); }
EncodedBytes encode_utf32be(TextView text) { return utf32(text, TextForm::utf32be, false); }

void write_bytes(const EncodedBytes& bytes, std::uint8_t* out) {
  constexpr std::uint32_t kByteOrderMark = 0xFEFF;
  const TextView text = bytes.text;
  switch (bytes.form) {
    case TextForm::utf8:
      if (!text.empty()) std::memcpy(out, text.data(), text.size());
      return;
    case TextForm::latin1:
    case TextForm::windows_1252:
      // The single-byte encoders write their bytes while they check the text.
      if (!bytes.storage.empty()) std::memcpy(out, bytes.storage.data(), bytes.storage.size());
      return;
    case TextForm::utf16be:
      if (bytes.with_byte_order_mark) {
        put_unit<2, false>(out, kByteOrderMark);
        out += 2;
      }
      return write_units<2, false>(text, out);
    case TextForm::utf16le:
      if (bytes.with_byte_order_mark) {
        put_unit<2, true>(out, kByteOrderMark);
        out += 2;
      }
      return write_units<2, true>(text, out);
    case TextForm::utf32be:
      if (bytes.with_byte_order_mark) {
        put_unit<4, false>(out, kByteOrderMark);
        out += 4;
      }
      return write_units<4, false>(text, out);
    case TextForm::utf32le:
      if (bytes.with_byte_order_mark) {
        put_unit<4, true>(out, kByteOrderMark);
        out += 4;
      }
      return write_units<4, true>(text, out);
  }
}

}  // namespace fieldpack::encoder
