// Native text values passed between the text codecs and the host layer, and the small pieces of
// text handling that both directions share. No interpreter here.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace fieldpack {

// Bytes as received: a bytes object's buffer, read in place.
using ByteSpan = std::span<const std::uint8_t>;

// Text as UTF-8; where it comes from the host, always valid.
using TextView = std::string_view;

// How a text argument's characters are laid out, as the host stores them.
enum class TextStorage : std::uint8_t {
  utf8,   // valid UTF-8
  ascii,  // one byte per character, all below 0x80 (which is also valid UTF-8)
  ucs1,   // one byte per code point, 00 to FF
  ucs2,   // one 16-bit unit per code point, in the host's byte order
  ucs4,   // one 32-bit unit per code point, in the host's byte order, at most 10FFFF
};

// A text argument read in place: the host's own storage of a str, or its UTF-8 form. ucs2 and
// ucs4 data is aligned for its unit. The host layer refuses a str holding a lone surrogate
// before any encoder sees it, so the encoders may assume there is none; given one anyway, they
// write wrong bytes but stay within the sizes they report.
struct StoredText {
  const void* data = nullptr;
  std::size_t length = 0;  // in bytes for utf8, in code points otherwise
  TextStorage storage = TextStorage::utf8;
  // For ucs2 and ucs4 text, once counted (see encoder::count_and_check): the bytes UTF-8 needs
  // beyond one per code point, and the code points above FFFF. Counting them while the host layer
  // looks for surrogates spares the encoders another pass over text that is often out of cache.
  bool counted = false;
  std::uint64_t utf8_extra_bytes = 0;
  std::uint64_t astral_count = 0;

  static StoredText of_utf8(TextView text) { return {text.data(), text.size(), TextStorage::utf8}; }
  template <class Unit>
  const Unit* units() const {
    return static_cast<const Unit*>(data);
  }
  TextView utf8() const { return TextView(static_cast<const char*>(data), length); }
};

// How code units are laid out in a byte string.
enum class TextForm : std::uint8_t {
  utf8,          // also US-ASCII, which is its subset
  latin1,        // one byte per code point, U+0000 to U+00FF
  windows_1252,  // one byte per code point, through the windows-1252 index
  utf16be,
  utf16le,
  utf32be,
  utf32le,
};

// What a text decoder produces: the decoded text, described rather than copied. `units` views
// code units inside the decoder's input (any byte order mark left out), so a DecodedText must be
// used while that input lives. Building the host string needs the count and the widest code
// point before the first character is written, so decoders find both first, except as below.
struct DecodedText {
  ByteSpan units;
  TextForm form = TextForm::utf8;
  std::size_t code_point_count = 0;
  // Below 0x80, 0x100 or 0x10000 exactly when the largest code point is: those limits are all a
  // host string's storage width depends on. The bitwise OR of all code points has this property
  // and is cheaper to find than the largest; a decoder may also give a stand-in of the same class.
  std::uint32_t code_point_bits = 0;
  // False for UTF-8 holding non-ASCII bytes that is neither checked nor counted yet (the count
  // and width above are then unset): a host that can shrink a new string checks it in the one
  // pass that fills it, which costs no more than copying it, and any other caller gets it checked
  // and counted by decoder::validated first.
  bool validated = true;
};

// What a text encoder produces: the checked text and how to write it, not yet the bytes, so the
// host layer can write them straight into the final bytes object. `text` views the encoder's
// input, so EncodedBytes must be used while that input lives.
struct EncodedBytes {
  StoredText text;
  TextForm form = TextForm::utf8;
  bool with_byte_order_mark = false;  // U+FEFF in `form` before the text
  // 64 bits: four bytes per code point can pass a 32-bit size.
  std::uint64_t byte_count = 0;
  // The bytes themselves, when they are at hand: the single-byte encoders write them while they
  // check the text, and as_bytes writes them for callers that need them as one buffer. Mutable
  // because writing them out does not change which bytes they are.
  mutable std::string storage;
};

// The windows-1252 index at pointers 0 to 31 (bytes 80 to 9F); pointers 32 to 127 (bytes A0 to
// FF) are U+00A0 to U+00FF. Bytes 81, 8D, 8F, 90 and 9D, which some vendor tables leave
// undefined, are the C1 controls of the same value here, both ways.
inline constexpr std::array<std::uint16_t, 32> kWindows1252Bytes80To9F = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  //
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  //
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  //
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// Bytes 81, 8D, 8F, 90 and 9D: the five of 80 to 9F that stand for the C1 control of the same
// value, both ways.
constexpr bool windows_1252_stands_for_itself(std::uint32_t byte) {
  return byte == 0x81 || byte == 0x8D || byte == 0x8F || byte == 0x90 || byte == 0x9D;
}

// Every byte's windows-1252 code point, for table lookups in loops.
inline constexpr std::array<std::uint16_t, 256> kWindows1252CodePoints = [] {
  std::array<std::uint16_t, 256> table{};
  for (std::size_t b = 0; b < 256; ++b) table[b] = static_cast<std::uint16_t>(b);
  for (std::size_t p = 0; p < 32; ++p) table[0x80 + p] = kWindows1252Bytes80To9F[p];
  return table;
}();

// The windows-1252 bytes of the code points past U+00FF, by the pages that hold them (U+01xx,
// U+02xx, U+20xx, U+21xx); 0 where a code point has none.
inline constexpr std::array<std::array<std::uint8_t, 256>, 4> kWindows1252BytesByPage = [] {
  std::array<std::array<std::uint8_t, 256>, 4> pages{};
  for (std::size_t p = 0; p < 32; ++p) {
    const std::uint32_t code_point = kWindows1252Bytes80To9F[p];
    const std::uint32_t page = code_point >> 8;
    if (page == 0) continue;
    const std::size_t slot = page == 0x01 ? 0 : page == 0x02 ? 1 : page == 0x20 ? 2 : 3;
    pages[slot][code_point & 0xFF] = static_cast<std::uint8_t>(0x80 + p);
  }
  return pages;
}();

// The windows-1252 byte of a code point, or -1 when it has none.
constexpr int windows_1252_byte(std::uint32_t code_point) {
  if (code_point < 0x80 || (code_point >= 0xA0 && code_point <= 0xFF)) {
    return static_cast<int>(code_point);
  }
  if (code_point <= 0xFF) {
    return windows_1252_stands_for_itself(code_point) ? static_cast<int>(code_point) : -1;
  }
  const std::uint32_t page = code_point >> 8;
  const std::size_t slot = page == 0x01   ? 0
                           : page == 0x02 ? 1
                           : page == 0x20 ? 2
                           : page == 0x21 ? 3
                                          : 4;
  if (slot == 4) return -1;
  const std::uint8_t byte = kWindows1252BytesByPage[slot][code_point & 0xFF];
  return byte == 0 ? -1 : byte;
}

inline constexpr std::uint64_t kHighBitOfEachByte = 0x8080808080808080u;

inline std::uint64_t load_u64(const std::uint8_t* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// The index of the first byte in memory order whose high bit is set in `high_bits`, which must
// not be 0: the first byte is the lowest on a little-endian host, the highest otherwise.
inline std::size_t first_marked_byte(std::uint64_t high_bits) {
  const int zero_bits = std::endian::native == std::endian::little ? std::countr_zero(high_bits)
                                                                   : std::countl_zero(high_bits);
  return static_cast<std::size_t>(zero_bits / 8);
}

// Sixteen bytes as one value, for loops the compiler keeps in vector registers. Comparisons give
// 0 or all ones per lane; on a host without vectors they become plain byte loops.
using ByteLanes [[gnu::vector_size(16)]] = std::uint8_t;
using SignedByteLanes [[gnu::vector_size(16)]] = std::int8_t;

using HalfWordLanes [[gnu::vector_size(16)]] = std::uint16_t;
using WordLanes [[gnu::vector_size(16)]] = std::uint32_t;

// Each lane's bytes in reverse order: shifts and masks, which need no byte shuffle instruction.
inline HalfWordLanes reverse_lane_bytes(HalfWordLanes lanes) {
  return static_cast<HalfWordLanes>((lanes << 8) | (lanes >> 8));
}
inline WordLanes reverse_lane_bytes(WordLanes lanes) {
  return (lanes << 24) | ((lanes << 8) & 0xFF0000) | ((lanes >> 8) & 0xFF00) | (lanes >> 24);
}

// 32-bit units between two buffers, reversing the bytes of each: four a step.
inline void copy_reversing_words(const std::uint8_t* in, std::uint8_t* out, std::size_t count) {
  std::size_t k = 0;
  for (; count - k >= 4; k += 4) {
    WordLanes lanes;
    std::memcpy(&lanes, in + 4 * k, sizeof lanes);
    lanes = reverse_lane_bytes(lanes);
    std::memcpy(out + 4 * k, &lanes, sizeof lanes);
  }
  for (; k < count; ++k) {
    for (std::size_t j = 0; j < 4; ++j) out[4 * k + j] = in[4 * k + 3 - j];
  }
}

inline ByteLanes load_lanes(const std::uint8_t* p) {
  ByteLanes lanes;
  std::memcpy(&lanes, p, sizeof lanes);
  return lanes;
}

// The number of bytes below 0x80 at the start of the 32 at p: 32 when all are. Loops that copy
// ASCII ahead of checking it move on by this much.
inline std::size_t ascii_run_in_32(const std::uint8_t* p) {
#if defined(__SSE2__)
  const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
  const std::uint32_t marks = static_cast<std::uint32_t>(_mm_movemask_epi8(low)) |
                              (static_cast<std::uint32_t>(_mm_movemask_epi8(high)) << 16);
  return marks == 0 ? 32 : static_cast<std::size_t>(std::countr_zero(marks));
#else
  for (std::size_t j = 0; j < 32; j += 8) {
    const std::uint64_t high_bits = load_u64(p + j) & kHighBitOfEachByte;
    if (high_bits != 0) return j + first_marked_byte(high_bits);
  }
  return 32;
#endif
}

// The number of bytes below 0x80 at the start of [p, p + size), eight bytes at a time, and 64 at
// a time once a run proves long; the loads are unaligned-safe.
inline std::size_t ascii_prefix_length(const std::uint8_t* p, std::size_t size) {
  std::size_t i = 0;
  if (size >= 8 && (load_u64(p) & kHighBitOfEachByte) == 0) {
    i = 8;
    while (size - i >= 64) {
      std::uint64_t high_bits = 0;
      for (std::size_t j = i; j < i + 64; j += 8) high_bits |= load_u64(p + j);
      if ((high_bits & kHighBitOfEachByte) != 0) break;
      i += 64;
    }
  }
  while (size - i >= 8) {
    const std::uint64_t high_bits = load_u64(p + i) & kHighBitOfEachByte;
    if (high_bits != 0) return i + first_marked_byte(high_bits);
    i += 8;
  }
  while (i < size && p[i] < 0x80) ++i;
  return i;
}

// The code point of the valid UTF-8 sequence starting at p (which must not be ASCII) and its
// length in bytes.
struct CodePointAndLength {
  std::uint32_t code_point;
  std::uint32_t byte_count;
};

inline CodePointAndLength decode_utf8_sequence(const std::uint8_t* p) {
  const std::uint32_t b0 = p[0];
  if (b0 < 0xE0) return {((b0 & 0x1Fu) << 6) | (p[1] & 0x3Fu), 2};
  if (b0 < 0xF0) return {((b0 & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu), 3};
  return {((b0 & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu),
          4};
}

inline const std::uint8_t* as_bytes_pointer(TextView text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

}  // namespace fieldpack
