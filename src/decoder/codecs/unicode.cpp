// The UTF-8, UTF-16 and UTF-32 decoders, and the writers that lay out any decoded text as code
// points. Pure C++: must not include the interpreter.
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "common/bits.hpp"
#include "decoder/codecs/text_codecs.hpp"

namespace fieldpack::decoder {
namespace {

// Units are loaded in the host's order, which lets the loops below vectorize, and swapped only
// when the form's order differs.
template <bool kLittleEndian>
std::uint32_t read_u16(const std::uint8_t* p) {
  return load_unit<std::uint16_t, kLittleEndian>(p);
}

template <bool kLittleEndian>
std::uint32_t read_u32(const std::uint8_t* p) {
  return load_unit<std::uint32_t, kLittleEndian>(p);
}

// Per lead byte: the sequence length (0 for a byte that cannot start one) and the second byte's
// range, which is what refuses overlong forms, surrogates and code points above 10FFFF.
struct LeadRule {
  std::uint8_t length;
  std::uint8_t low;
  std::uint8_t high;
};

constexpr std::array<LeadRule, 256> kLeadRules = [] {
  std::array<LeadRule, 256> rules{};
  for (std::size_t b = 0xC2; b <= 0xDF; ++b) rules[b] = {2, 0x80, 0xBF};
  for (std::size_t b = 0xE0; b <= 0xEF; ++b) rules[b] = {3, 0x80, 0xBF};
  for (std::size_t b = 0xF0; b <= 0xF4; ++b) rules[b] = {4, 0x80, 0xBF};
  rules[0xE0].low = 0xA0;
  rules[0xED].high = 0x9F;
  rules[0xF0].low = 0x90;
  rules[0xF4].high = 0x8F;
  return rules;
}();

// UTF-8 validation as a table-driven automaton. Each state is a bit offset, and a byte's entry
// holds, at each state's offset, the six-bit state that follows: one load and one shift per
// byte, with no branch for mixed-length text to mispredict. kError is 0 and absorbs.
constexpr std::uint32_t kError = 0;
constexpr std::uint32_t kAccept = 6;
constexpr std::uint32_t kNeed1 = 12;    // one more byte 80-BF
constexpr std::uint32_t kNeed2 = 18;    // two more
constexpr std::uint32_t kNeed3 = 24;    // three more
constexpr std::uint32_t kAfterE0 = 30;  // A0-BF, then one more
constexpr std::uint32_t kAfterED = 36;  // 80-9F, then one more
constexpr std::uint32_t kAfterF0 = 42;  // 90-BF, then two more
constexpr std::uint32_t kAfterF4 = 48;  // 80-8F, then two more

constexpr std::array<std::uint64_t, 256> kUtf8Transitions = [] {
  std::array<std::uint64_t, 256> rows{};
  const auto set = [&](std::size_t byte, std::uint32_t from, std::uint32_t to) {
    rows[byte] |= std::uint64_t{to} << from;
  };
  for (std::size_t b = 0; b < 256; ++b) {
    if (b < 0x80) set(b, kAccept, kAccept);
    if (b >= 0xC2 && b <= 0xDF) set(b, kAccept, kNeed1);
    if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) set(b, kAccept, kNeed2);
    if (b >= 0xF1 && b <= 0xF3) set(b, kAccept, kNeed3);
    const bool continuation = b >= 0x80 && b <= 0xBF;
    if (continuation) {
      set(b, kNeed1, kAccept);
      set(b, kNeed2, kNeed1);
      set(b, kNeed3, kNeed2);
    }
    if (b >= 0xA0 && b <= 0xBF) set(b, kAfterE0, kNeed1);
    if (b >= 0x80 && b <= 0x9F) set(b, kAfterED, kNeed1);
    if (b >= 0x90 && b <= 0xBF) set(b, kAfterF0, kNeed2);
    if (b >= 0x80 && b <= 0x8F) set(b, kAfterF4, kNeed2);
  }
  set(0xE0, kAccept, kAfterE0);
  set(0xED, kAccept, kAfterED);
  set(0xF0, kAccept, kAfterF0);
  set(0xF4, kAccept, kAfterF4);
  return rows;
}();

// A state is kept as the whole row it came from; only its low six bits count. Masking the shift
// count is what x86-64 shifts do by themselves, so the step is a load and a shift.
std::uint64_t next_state(std::uint64_t state, std::uint8_t byte) {
  return kUtf8Transitions[byte] >> (state & 63);
}

bool accepting(std::uint64_t state) { return (state & 63) == kAccept; }

// Whether [p, p + size) is valid UTF-8. The automaton's steps depend on each other, so a long
// input runs as two halves side by side, which doubles the work done per step. A byte that is
// no continuation byte starts a sequence in valid text, so the halves meet at one.
bool is_valid_utf8(const std::uint8_t* p, std::size_t size) {
  std::size_t middle = size / 2;
  for (int k = 0; k < 3 && middle > 0 && (p[middle] & 0xC0) == 0x80; ++k) --middle;
  if (size < 64 || (p[middle] & 0xC0) == 0x80) {
    std::uint64_t state = kAccept;
    for (std::size_t i = 0; i < size; ++i) state = next_state(state, p[i]);
    return accepting(state);
  }
  const std::uint8_t* second = p + middle;
  const std::size_t second_size = size - middle;
  const std::size_t common = std::min(middle, second_size);
  std::uint64_t first_state = kAccept;
  std::uint64_t second_state = kAccept;
  constexpr std::size_t kChunk = 256;
  std::size_t i = 0;
  for (; common - i >= kChunk; i += kChunk) {
    // ASCII leaves an accepting automaton where it is; when both halves are there, skip.
    if (accepting(first_state) && accepting(second_state)) {
      std::uint64_t high_bits = 0;
      for (std::size_t j = i; j < i + kChunk; j += 8) {
        high_bits |= load_u64(p + j) | load_u64(second + j);
      }
      if ((high_bits & kHighBitOfEachByte) == 0) continue;
    }
    for (std::size_t j = i; j < i + kChunk; ++j) {
      first_state = next_state(first_state, p[j]);
      second_state = next_state(second_state, second[j]);
    }
  }
  for (; i < common; ++i) {
    first_state = next_state(first_state, p[i]);
    second_state = next_state(second_state, second[i]);
  }
  for (i = common; i < middle; ++i) first_state = next_state(first_state, p[i]);
  for (i = common; i < second_size; ++i) second_state = next_state(second_state, second[i]);
  return accepting(first_state) && accepting(second_state);
}

// length 0 means the input ended inside a sequence whose bytes were all acceptable so far.
Failure utf8_failure(std::size_t index, std::uint32_t length) {
  std::string message = "Invalid UTF-8 bytes: ";
  if (length == 0) {
    message += "incomplete utf-8 byte sequence from index ";
  } else {
    message += "invalid utf-8 sequence of ";
    append_decimal(message, length);
    message += " bytes from index ";
  }
  append_decimal(message, index);
  return value_error(std::move(message));
}

// The careful check of the sequence at p[i], byte by byte, so that a sequence that is cut short
// after a wrong byte reports the wrong byte: its length, or the failure.
Result<std::uint32_t> check_utf8_sequence(const std::uint8_t* p, std::size_t size, std::size_t i) {
  const LeadRule rule = kLeadRules[p[i]];
  if (rule.length == 0) return utf8_failure(i, 1);
  const std::size_t available = size - i;
  if (available < 2) return utf8_failure(i, 0);
  if (p[i + 1] < rule.low || p[i + 1] > rule.high) return utf8_failure(i, 1);
  for (std::uint32_t k = 2; k < rule.length; ++k) {
    if (available <= k) return utf8_failure(i, 0);
    if ((p[i + k] & 0xC0) != 0x80) return utf8_failure(i, k);
  }
  return std::uint32_t{rule.length};
}

Failure lone_surrogate() {
  return value_error("Invalid UTF-16 sequence: invalid utf-16: lone surrogate found");
}

Failure invalid_utf32_unit(std::uint32_t unit) {
  std::string message = "Invalid UTF-32 codepoint: 0x";
  append_hex(message, unit, 8);
  return value_error(std::move(message));
}

constexpr std::size_t kBlockUnits = 16;

// Whether any of the kBlockUnits units at p is a surrogate, four units per 64-bit word. Units
// stay as loaded: in a unit loaded in the other byte order the high byte sits low.
template <bool kLittleEndian>
bool utf16_block_has_surrogate(const std::uint8_t* p) {
  constexpr bool kSwapped = kLittleEndian != kHostIsLittleEndian;
  constexpr std::uint64_t kMask = kSwapped ? 0x00F800F800F800F8 : 0xF800F800F800F800;
  constexpr std::uint64_t kSurrogate = kSwapped ? 0x00D800D800D800D8 : 0xD800D800D800D800;
  constexpr std::uint64_t kLaneOnes = 0x0001000100010001;
  constexpr std::uint64_t kLaneHighBits = 0x8000800080008000;
  std::uint64_t zero_lanes = 0;
  for (std::size_t j = 0; j < kBlockUnits / 4; ++j) {
    const std::uint64_t word = load_u64(p + 8 * j);
    // A lane is zero exactly where a unit is a surrogate; the classic test for a zero lane
    // never answers yes when there is none.
    const std::uint64_t x = (word & kMask) ^ kSurrogate;
    zero_lanes |= (x - kLaneOnes) & ~x & kLaneHighBits;
  }
  return zero_lanes != 0;
}

// The end of the run of whole blocks without a surrogate that starts at unit k.
template <bool kLittleEndian>
std::size_t surrogate_free_run_end(const std::uint8_t* p, std::size_t k, std::size_t unit_count) {
  while (unit_count - k >= kBlockUnits && !utf16_block_has_surrogate<kLittleEndian>(p + 2 * k)) {
    k += kBlockUnits;
  }
  return k;
}

template <bool kLittleEndian>
Result<DecodedText> scan_utf16(ByteSpan bytes) {
  const std::uint8_t* p = bytes.data();
  const std::size_t unit_count = bytes.size() / 2;
  const TextForm form = kLittleEndian ? TextForm::utf16le : TextForm::utf16be;
  if (unit_count == 0) return DecodedText{bytes, form, 0, 0};
  // Units are judged as loaded, in 16-bit lanes, so a vector holds as many as it can and no
  // bytes are swapped: in a unit loaded in the other byte order the high byte sits low.
  constexpr bool kSwapped = kLittleEndian != kHostIsLittleEndian;
  constexpr std::uint16_t kMask = kSwapped ? 0x00FC : 0xFC00;
  constexpr std::uint16_t kLeading = kSwapped ? 0x00D8 : 0xD800;
  constexpr std::uint16_t kTrailing = kSwapped ? 0x00DC : 0xDC00;
  const auto raw = [p](std::size_t k) {
    std::uint16_t unit;
    std::memcpy(&unit, p + 2 * k, sizeof unit);
    return unit;
  };
  const auto is_leading = [](std::uint16_t unit) {
    return static_cast<std::uint16_t>((unit & kMask) == kLeading);
  };
  const auto is_trailing = [](std::uint16_t unit) {
    return static_cast<std::uint16_t>((unit & kMask) == kTrailing);
  };
  // Well-formed exactly when every unit is a trailing surrogate if and only if the unit before it
  // is a leading one. Judged pairwise over neighbours, with no state carried from unit to unit,
  // the loop vectorizes; a fault has one message, so its place need not be found.
  auto bad = static_cast<std::uint16_t>(is_trailing(raw(0)) | is_leading(raw(unit_count - 1)));
  std::uint16_t raw_bits = raw(0);
  std::size_t pair_count = is_leading(raw(0));
  constexpr std::size_t kCounterBlock = 0xFFFF;  // a 16-bit counter cannot overflow in it
  for (std::size_t start = 1; start < unit_count; start += kCounterBlock) {
    const std::size_t end = unit_count - start < kCounterBlock ? unit_count : start + kCounterBlock;
    std::uint16_t block_pairs = 0;
    for (std::size_t k = start; k < end; ++k) {
      const std::uint16_t unit = raw(k);
      bad = static_cast<std::uint16_t>(bad | (is_trailing(unit) ^ is_leading(raw(k - 1))));
      raw_bits = static_cast<std::uint16_t>(raw_bits | unit);
      block_pairs = static_cast<std::uint16_t>(block_pairs + is_leading(unit));
    }
    pair_count += block_pairs;
  }
  if (bad != 0) return lone_surrogate();
  std::uint32_t bits = kSwapped ? ((raw_bits >> 8) | ((raw_bits & 0xFFu) << 8)) : raw_bits;
  if (pair_count != 0) bits |= 0x10000;
  return DecodedText{bytes, form, unit_count - pair_count, bits};
}

template <bool kLittleEndian>
Result<DecodedText> scan_utf32(ByteSpan bytes) {
  const std::uint8_t* p = bytes.data();
  const std::size_t unit_count = bytes.size() / 4;
  // Units are judged as loaded, without swapping bytes: in a unit loaded in the other byte order
  // the top byte is the lowest. A surrogate is D800-DFFF, so its top 21 bits are 0x1B; past
  // 10FFFF the top 16 bits pass 0x10. Only equality and small signed compares, which vectorize
  // everywhere.
  constexpr bool kSwapped = kLittleEndian != kHostIsLittleEndian;
  const auto invalid = [](std::uint32_t raw) {
    if constexpr (kSwapped) {
      const std::uint32_t top_half = ((raw << 8) & 0xFF00) | ((raw >> 8) & 0xFF);
      return static_cast<std::uint32_t>((raw & 0x00F8FFFF) == 0x00D80000) |
             static_cast<std::uint32_t>(static_cast<std::int32_t>(top_half) > 0x10);
    } else {
      return static_cast<std::uint32_t>((raw >> 11) == 0x1B) |
             static_cast<std::uint32_t>(static_cast<std::int32_t>(raw >> 16) > 0x10);
    }
  };
  std::uint32_t raw_bits = 0;
  for (std::size_t k = 0; k < unit_count; k += 64) {
    const std::size_t end = std::min(unit_count, k + 64);
    std::uint32_t any_invalid = 0;
    for (std::size_t j = k; j < end; ++j) {
      std::uint32_t raw;
      std::memcpy(&raw, p + 4 * j, sizeof raw);
      raw_bits |= raw;
      any_invalid |= invalid(raw);
    }
    if (any_invalid != 0) {
      for (std::size_t j = k; j < end; ++j) {
        const std::uint32_t unit = read_u32<kLittleEndian>(p + 4 * j);
        if (unit - 0xD800 < 0x800 || unit > 0x10FFFF) return invalid_utf32_unit(unit);
      }
    }
  }
  std::uint8_t raw_bytes[4];
  std::memcpy(raw_bytes, &raw_bits, 4);
  const TextForm form = kLittleEndian ? TextForm::utf32le : TextForm::utf32be;
  return DecodedText{bytes, form, unit_count, read_u32<kLittleEndian>(raw_bytes)};
}

// Writers. `Unit` is the host's code point width; they write text.code_point_count units.

// Sixteen bytes below 0x80, widened to units; for one-byte units a plain copy.
template <class Unit>
void put_ascii_block(const std::uint8_t* p, Unit* out) {
  if constexpr (sizeof(Unit) == 1) {
    std::memcpy(out, p, 16);
  } else {
    for (std::size_t j = 0; j < 16; ++j) out[j] = p[j];
  }
}

// UTF-8 whose every character is below U+0100: bytes below 0x80, and C2 or C3 each followed by a
// continuation byte. Checked while it is written, in one pass, which is the whole cost of
// decoding such text: sixteen bytes are stored before they are looked at, and the output moves
// on by the ASCII among them. False at the first byte that breaks the pattern, or if the text
// would not fill exactly `capacity` units; nothing is ever written past them.
template <class Unit>
bool write_latin_range_utf8(const std::uint8_t* p, std::size_t size, Unit* out,
                            std::size_t capacity) {
  std::size_t i = 0;
  std::size_t written = 0;
  while (i < size) {
    if (size - i >= 16 && capacity - written >= 16) {
      const std::uint64_t high_bits_0 = load_u64(p + i) & kHighBitOfEachByte;
      const std::uint64_t high_bits_1 = load_u64(p + i + 8) & kHighBitOfEachByte;
      put_ascii_block(p + i, out + written);
      if ((high_bits_0 | high_bits_1) == 0) {
        i += 16;
        written += 16;
        continue;
      }
      const std::size_t ascii_length =
          high_bits_0 != 0 ? first_marked_byte(high_bits_0) : 8 + first_marked_byte(high_bits_1);
      i += ascii_length;
      written += ascii_length;
    } else if (p[i] < 0x80) {
      if (written == capacity) return false;
      out[written++] = p[i++];
      continue;
    }
    // p[i] is not ASCII: the one sequence this text may hold.
    const std::uint32_t lead = p[i];
    if ((lead & 0xFE) != 0xC2 || size - i < 2 || (p[i + 1] & 0xC0) != 0x80 || written == capacity) {
      return false;
    }
    out[written++] = static_cast<Unit>(((lead & 0x1F) << 6) | (p[i + 1] & 0x3Fu));
    i += 2;
  }
  return written == capacity;
}

// Valid UTF-8 of any width.
template <class Unit>
void write_from_utf8(const std::uint8_t* p, std::size_t size, Unit* out) {
  std::size_t i = 0;
  while (i < size) {
    if (p[i] < 0x80) {
      // Widen ASCII runs sixteen bytes per step; the inner loop becomes vector moves.
      while (size - i >= 16 &&
             ((load_u64(p + i) | load_u64(p + i + 8)) & kHighBitOfEachByte) == 0) {
        put_ascii_block(p + i, out);
        out += 16;
        i += 16;
      }
      while (i < size && p[i] < 0x80) *out++ = p[i++];
      continue;
    }
    // Measured: plain branches on the length beat a branch-free decode here, mixed text or not.
    const CodePointAndLength sequence = decode_utf8_sequence(p + i);
    *out++ = static_cast<Unit>(sequence.code_point);
    i += sequence.byte_count;
  }
}

// Units without surrogates, one code point each; a plain loop, so it vectorizes.
template <bool kLittleEndian, class Unit>
void write_plain_utf16(const std::uint8_t* p, std::size_t unit_count, Unit* out) {
  for (std::size_t k = 0; k < unit_count; ++k) {
    out[k] = static_cast<Unit>(read_u16<kLittleEndian>(p + 2 * k));
  }
}

template <bool kLittleEndian, class Unit>
void write_from_utf16(const DecodedText& text, Unit* out) {
  const std::uint8_t* p = text.units.data();
  const std::size_t unit_count = text.units.size() / 2;
  if (text.code_point_bits < 0x10000) return write_plain_utf16<kLittleEndian>(p, unit_count, out);
  std::size_t k = 0;
  while (k < unit_count) {
    const std::size_t run_end = surrogate_free_run_end<kLittleEndian>(p, k, unit_count);
    write_plain_utf16<kLittleEndian>(p + 2 * k, run_end - k, out);
    out += run_end - k;
    k = run_end;
    const std::size_t end = std::min(unit_count, k + kBlockUnits);
    while (k < end) {
      std::uint32_t unit = read_u16<kLittleEndian>(p + 2 * k);
      ++k;
      if ((unit & 0xF800) == 0xD800) {
        const std::uint32_t trail = read_u16<kLittleEndian>(p + 2 * k);
        ++k;
        unit = 0x10000 + ((unit - 0xD800) << 10) + (trail - 0xDC00);
      }
      *out++ = static_cast<Unit>(unit);
    }
  }
}

template <bool kLittleEndian, class Unit>
void write_from_utf32(const DecodedText& text, Unit* out) {
  const std::uint8_t* p = text.units.data();
  const std::size_t unit_count = text.units.size() / 4;
  if constexpr (sizeof(Unit) == 4 && kLittleEndian == kHostIsLittleEndian) {
    if (unit_count != 0) std::memcpy(out, p, 4 * unit_count);
    return;
  }
  for (std::size_t k = 0; k < unit_count; ++k) {
    out[k] = static_cast<Unit>(read_u32<kLittleEndian>(p + 4 * k));
  }
}

template <class Unit>
void write_windows_1252(const std::uint8_t* p, std::size_t size, std::uint32_t bits, Unit* out) {
  // Without a code point past U+00FF every byte stands for itself.
  if (bits < 0x100) {
    if constexpr (sizeof(Unit) == 1) {
      if (size != 0) std::memcpy(out, p, size);
    } else {
      for (std::size_t k = 0; k < size; ++k) out[k] = p[k];
    }
    return;
  }
  for (std::size_t k = 0; k < size; ++k) {
    out[k] = static_cast<Unit>(kWindows1252CodePoints[p[k]]);
  }
}

template <class Unit>
bool write_any(const DecodedText& text, Unit* out) {
  const std::uint8_t* p = text.units.data();
  const std::size_t size = text.units.size();
  switch (text.form) {
    case TextForm::utf8:
      if (text.code_point_bits < 0x80 && text.validated) {
        // All ASCII: the bytes are the code points.
        if constexpr (sizeof(Unit) == 1) {
          if (size != 0) std::memcpy(out, p, size);
        } else {
          for (std::size_t k = 0; k < size; ++k) out[k] = p[k];
        }
        return true;
      }
      if (text.code_point_bits < 0x100) {
        return write_latin_range_utf8(p, size, out, text.code_point_count);
      }
      if (!text.validated && !is_valid_utf8(p, size)) return false;
      write_from_utf8(p, size, out);
      return true;
    case TextForm::latin1:
      if constexpr (sizeof(Unit) == 1) {
        if (size != 0) std::memcpy(out, p, size);
      } else {
        for (std::size_t k = 0; k < size; ++k) out[k] = p[k];
      }
      return true;
    case TextForm::windows_1252:
      write_windows_1252(p, size, text.code_point_bits, out);
      return true;
    case TextForm::utf16be:
      write_from_utf16<false>(text, out);
      return true;
    case TextForm::utf16le:
      write_from_utf16<true>(text, out);
      return true;
    case TextForm::utf32be:
      write_from_utf32<false>(text, out);
      return true;
    case TextForm::utf32le:
      write_from_utf32<true>(text, out);
      return true;
  }
  return false;
}

// The count and the largest byte of UTF-8 that is assumed valid: its characters are the bytes
// that are no continuation byte, and the largest byte tells the width (leads C2 and C3 alone
// start U+0080 to U+00FF, leads below F0 stay in the BMP). One branch-free pass of byte-wide
// lanes; 255 steps of a lane's counter cannot overflow it.
struct Utf8Census {
  std::size_t code_point_count;
  std::uint8_t largest_byte;
};

Utf8Census take_utf8_census(const std::uint8_t* p, std::size_t size) {
  std::size_t i = 0;
  std::size_t count = 0;
  ByteLanes largest{};
  while (size - i >= 16) {
    const std::size_t steps = std::min<std::size_t>((size - i) / 16, 255);
    ByteLanes counts{};
    for (std::size_t step = 0; step < steps; ++step, i += 16) {
      const ByteLanes lanes = load_lanes(p + i);
      // A continuation byte is 80 to BF, so as a signed byte it is below -64.
      counts -= reinterpret_cast<ByteLanes>(reinterpret_cast<SignedByteLanes>(lanes) > -65);
      largest = lanes > largest ? lanes : largest;
    }
    for (std::size_t lane = 0; lane < 16; ++lane) count += counts[lane];
  }
  std::uint8_t largest_byte = 0;
  for (std::size_t lane = 0; lane < 16; ++lane)
    largest_byte = std::max(largest_byte, largest[lane]);
  for (; i < size; ++i) {
    count += (p[i] & 0xC0) != 0x80;
    largest_byte = std::max(largest_byte, p[i]);
  }
  return Utf8Census{count, largest_byte};
}

}  // namespace

Result<DecodedText> decode_utf8(ByteSpan bytes) {
  const std::uint8_t* p = bytes.data();
  const std::size_t size = bytes.size();
  const Utf8Census census = take_utf8_census(p, size);
  if (census.largest_byte < 0x80) return DecodedText{bytes, TextForm::utf8, size, 0, true};
  // Below U+0100 every character fits the narrowest host string, which the writer fills and
  // checks in one pass; validating here first would read the text twice.
  if (census.largest_byte <= 0xC3) {
    return DecodedText{bytes, TextForm::utf8, census.code_point_count, 0xFF, false};
  }
  const std::size_t ascii_length = ascii_prefix_length(p, size);
  if (!is_valid_utf8(p + ascii_length, size - ascii_length)) return malformed_utf8(bytes);
  const std::uint32_t bits = census.largest_byte < 0xF0 ? 0xFFFF : 0x10FFFF;
  return DecodedText{bytes, TextForm::utf8, census.code_point_count, bits, true};
}

Failure malformed_utf8(ByteSpan bytes) {
  const std::uint8_t* p = bytes.data();
  const std::size_t size = bytes.size();
  // Walk sequence by sequence from the first non-ASCII byte to name the first fault.
  for (std::size_t j = ascii_prefix_length(p, size); j < size;) {
    if (p[j] < 0x80) {
      ++j;
      continue;
    }
    Result<std::uint32_t> checked = check_utf8_sequence(p, size, j);
    if (!checked.ok()) return std::move(checked.failure());
    j += checked.value();
  }
  throw std::logic_error("UTF-8 called malformed is valid");
}

Result<DecodedText> validated(DecodedText text) {
  if (text.validated) return text;
  if (!is_valid_utf8(text.units.data(), text.units.size())) return malformed_utf8(text.units);
  text.validated = true;
  return text;
}

Result<DecodedText> decode_utf16_with_endianness(ByteSpan bytes, bool little_endian) {
  if (bytes.size() % 2 != 0) return value_error("UTF-16 requires an even number of bytes");
  return little_endian ? scan_utf16<true>(bytes) : scan_utf16<false>(bytes);
}

Result<DecodedText> decode_utf32_with_endianness(ByteSpan bytes, bool little_endian) {
  if (bytes.size() % 4 != 0) return value_error("UTF-32 requires a multiple of 4 bytes");
  return little_endian ? scan_utf32<true>(bytes) : scan_utf32<false>(bytes);
}

Result<DecodedText> decode_utf16(ByteSpan bytes) {
  if (bytes.size() < 2 || bytes.size() % 2 != 0) {
    return value_error("UTF-16 requires an even number of bytes with at least 2 bytes");
  }
  if (bytes[0] == 0xFF && bytes[1] == 0xFE)
    return decode_utf16_with_endianness(bytes.subspan(2), true);
  if (bytes[0] == 0xFE && bytes[1] == 0xFF)
    return decode_utf16_with_endianness(bytes.subspan(2), false);
  return decode_utf16_with_endianness(bytes, false);
}

Result<DecodedText> decode_utf16le(ByteSpan bytes) {
  return decode_utf16_with_endianness(bytes, true);
}

Result<DecodedText> decode_utf16be(ByteSpan bytes) {
  return decode_utf16_with_endianness(bytes, false);
}

Result<DecodedText> decode_utf32(ByteSpan bytes) {
  if (bytes.size() < 4 || bytes.size() % 4 != 0) {
    return value_error("UTF-32 requires a multiple of 4 bytes with at least 4 bytes");
  }
  const bool little_mark = bytes[0] == 0xFF && bytes[1] == 0xFE && bytes[2] == 0 && bytes[3] == 0;
  const bool big_mark = bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 0xFE && bytes[3] == 0xFF;
  if (little_mark) return decode_utf32_with_endianness(bytes.subspan(4), true);
  if (big_mark) return decode_utf32_with_endianness(bytes.subspan(4), false);
  return decode_utf32_with_endianness(bytes, false);
}

Result<DecodedText> decode_utf32le(ByteSpan bytes) {
  return decode_utf32_with_endianness(bytes, true);
}

Result<DecodedText> decode_utf32be(ByteSpan bytes) {
  return decode_utf32_with_endianness(bytes, false);
}

bool write_code_points(const DecodedText& text, std::uint8_t* out) { return write_any(text, out); }
bool write_code_points(const DecodedText& text, std::uint16_t* out) { return write_any(text, out); }
bool write_code_points(const DecodedText& text, std::uint32_t* out) { return write_any(text, out); }

}  // namespace fieldpack::decoder
