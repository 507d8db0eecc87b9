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
  // Rows start at 0, so every transition not set below leads to kError, and kError to itself.
  static_assert(kError == 0);
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
// input runs as four parts side by side, which keeps four steps in flight at once. A byte that is
// no continuation byte starts a sequence in valid text, so the parts meet at one.
bool is_valid_utf8(const std::uint8_t* p, std::size_t size) {
  constexpr std::size_t kParts = 4;
  std::size_t starts[kParts + 1] = {0};
  starts[kParts] = size;
  bool split = size >= 256;
  for (std::size_t part = 1; split && part < kParts; ++part) {
    std::size_t start = size / kParts * part;
    for (int k = 0; k < 3 && (p[start] & 0xC0) == 0x80; ++k) --start;
    starts[part] = start;
    // Four continuation bytes in a row are malformed anyway; one automaton says where.
    split = (p[start] & 0xC0) != 0x80;
  }
  if (!split) {
    std::uint64_t state = kAccept;
    for (std::size_t i = 0; i < size; ++i) state = next_state(state, p[i]);
    return accepting(state);
  }
  std::size_t common = size;
  for (std::size_t part = 0; part < kParts; ++part) {
    common = std::min(common, starts[part + 1] - starts[part]);
  }
  std::uint64_t states[kParts];
  for (std::uint64_t& state : states) state = kAccept;
  constexpr std::size_t kChunk = 256;
  std::size_t i = 0;
  for (; common - i >= kChunk; i += kChunk) {
    // ASCII leaves an accepting automaton where it is; when all parts are there, skip.
    bool all_accepting = true;
    for (const std::uint64_t state : states) all_accepting = all_accepting && accepting(state);
    if (all_accepting) {
      std::uint64_t high_bits = 0;
      for (std::size_t j = i; j < i + kChunk; j += 8) {
        for (std::size_t part = 0; part < kParts; ++part)
          high_bits |= load_u64(p + starts[part] + j);
      }
      if ((high_bits & kHighBitOfEachByte) == 0) continue;
    }
    for (std::size_t j = i; j < i + kChunk; ++j) {
      for (std::size_t part = 0; part < kParts; ++part) {
        states[part] = next_state(states[part], p[starts[part] + j]);
      }
    }
  }
  bool valid = true;
  for (std::size_t part = 0; part < kParts; ++part) {
    std::uint64_t state = states[part];
    for (std::size_t j = starts[part] + i; j < starts[part + 1]; ++j)
      state = next_state(state, p[j]);
    valid = valid && accepting(state);
  }
  return valid;
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

// Thirty-two bytes, widened to units; for one-byte units a plain copy.
template <class Unit>
void put_ascii_block(const std::uint8_t* p, Unit* out) {
  if constexpr (sizeof(Unit) == 1) {
    std::memcpy(out, p, 32);
  } else {
    for (std::size_t j = 0; j < 32; ++j) out[j] = p[j];
  }
}

// Valid UTF-8 of any width.
template <class Unit>
void write_from_utf8(const std::uint8_t* p, std::size_t size, Unit* out) {
  std::size_t i = 0;
  while (i < size) {
    if (p[i] < 0x80) {
      // Widen ASCII runs 32 bytes per step; the inner loop becomes vector moves.
      while (size - i >= 32 && ascii_run_in_32(p + i) == 32) {
        put_ascii_block(p + i, out);
        out += 32;
        i += 32;
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
  if constexpr (sizeof(Unit) == 4) {
    if constexpr (kLittleEndian == kHostIsLittleEndian) {
      if (unit_count != 0) std::memcpy(out, p, 4 * unit_count);
    } else {
      copy_reversing_words(p, reinterpret_cast<std::uint8_t*>(out), unit_count);
    }
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
  // Measured: a plain lookup per byte beats widening blocks and patching the few bytes of 80 to
  // 9F, and beats looking up a word's bytes at once.
  for (std::size_t k = 0; k < size; ++k) out[k] = static_cast<Unit>(kWindows1252CodePoints[p[k]]);
}

template <class Unit>
void write_any(const DecodedText& text, Unit* out) {
  const std::uint8_t* p = text.units.data();
  const std::size_t size = text.units.size();
  switch (text.form) {
    case TextForm::utf8:
      if (!text.validated) throw std::logic_error("UTF-8 written before it was checked");
      if (text.code_point_bits < 0x80) {
        // All ASCII: the bytes are the code points.
        if constexpr (sizeof(Unit) == 1) {
          if (size != 0) std::memcpy(out, p, size);
        } else {
          for (std::size_t k = 0; k < size; ++k) out[k] = p[k];
        }
        return;
      }
      return write_from_utf8(p, size, out);
    case TextForm::latin1:
      if constexpr (sizeof(Unit) == 1) {
        if (size != 0) std::memcpy(out, p, size);
      } else {
        for (std::size_t k = 0; k < size; ++k) out[k] = p[k];
      }
      return;
    case TextForm::windows_1252:
      return write_windows_1252(p, size, text.code_point_bits, out);
    case TextForm::utf16be:
      return write_from_utf16<false>(text, out);
    case TextForm::utf16le:
      return write_from_utf16<true>(text, out);
    case TextForm::utf32be:
      return write_from_utf32<false>(text, out);
    case TextForm::utf32le:
      return write_from_utf32<true>(text, out);
  }
}

// The count and the largest byte of UTF-8 that is assumed valid: its characters are the bytes
// that are no continuation byte, and the largest byte tells the width (leads C2 and C3 alone
// start U+0080 to U+00FF, leads below F0 stay in the BMP). One branch-free pass of byte-wide
// lanes, 64 bytes a step in two sets of counters, each counting at most two per lane and step:
// 127 steps cannot overflow them.
struct Utf8Census {
  std::size_t code_point_count;
  std::uint8_t largest_byte;
};

Utf8Census take_utf8_census(const std::uint8_t* p, std::size_t size) {
  // A continuation byte is 80 to BF, so as a signed byte it is below -64.
  const auto continuation = [](ByteLanes lanes) {
    return reinterpret_cast<ByteLanes>(reinterpret_cast<SignedByteLanes>(lanes) < -64);
  };
  const auto larger = [](ByteLanes a, ByteLanes b) { return a > b ? a : b; };
  std::size_t i = 0;
  std::size_t continuation_count = 0;
  ByteLanes largest{};
  while (size - i >= 64) {
    const std::size_t steps = std::min<std::size_t>((size - i) / 64, 127);
    ByteLanes negated_counts_0{};
    ByteLanes negated_counts_1{};
    for (std::size_t step = 0; step < steps; ++step, i += 64) {
      const ByteLanes a = load_lanes(p + i);
      const ByteLanes b = load_lanes(p + i + 16);
      const ByteLanes c = load_lanes(p + i + 32);
      const ByteLanes d = load_lanes(p + i + 48);
      negated_counts_0 += continuation(a) + continuation(b);
      negated_counts_1 += continuation(c) + continuation(d);
      largest = larger(largest, larger(larger(a, b), larger(c, d)));
    }
    const ByteLanes counts_0 = -negated_counts_0;
    const ByteLanes counts_1 = -negated_counts_1;
    for (std::size_t lane = 0; lane < 16; ++lane) {
      continuation_count += std::size_t{counts_0[lane]} + counts_1[lane];
    }
  }
  std::uint8_t largest_byte = 0;
  for (std::size_t lane = 0; lane < 16; ++lane) {
    largest_byte = std::max(largest_byte, largest[lane]);
  }
  for (; i < size; ++i) {
    continuation_count += (p[i] & 0xC0) == 0x80;
    largest_byte = std::max(largest_byte, p[i]);
  }
  return Utf8Census{size - continuation_count, largest_byte};
}

}  // namespace

Result<DecodedText> decode_utf8(ByteSpan bytes) {
  if (ascii_prefix_length(bytes.data(), bytes.size()) == bytes.size()) {
    return DecodedText{bytes, TextForm::utf8, bytes.size(), 0, true};
  }
  return DecodedText{bytes, TextForm::utf8, 0, 0, false};
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
  const std::uint8_t* p = text.units.data();
  const std::size_t size = text.units.size();
  const std::size_t ascii_length = ascii_prefix_length(p, size);
  if (!is_valid_utf8(p + ascii_length, size - ascii_length)) return malformed_utf8(text.units);
  const Utf8Census census = take_utf8_census(p, size);
  const std::uint32_t bits = census.largest_byte < 0x80    ? 0
                             : census.largest_byte <= 0xC3 ? 0xFF
                             : census.largest_byte < 0xF0  ? 0xFFFF
                                                           : 0x10FFFF;
  return DecodedText{text.units, TextForm::utf8, census.code_point_count, bits, true};
}

OneByteFill fill_one_byte_form(ByteSpan utf8, std::uint8_t* out, std::size_t capacity) {
  // 32 bytes are stored before they are looked at, and the output moves on by the ASCII among
  // them; a sequence costs a few compares. Checking as it writes, this is the whole cost of
  // decoding such text, about that of a copy.
  const std::uint8_t* in = utf8.data();
  const std::uint8_t* const in_end = in + utf8.size();
  std::uint8_t* const out_begin = out;
  std::uint8_t* const out_end = out + capacity;
  const auto no_fit = OneByteFill{false, 0};
  while (in != in_end) {
    if (in_end - in >= 32 && out_end - out >= 32) {
      std::memcpy(out, in, 32);
      const std::size_t ascii_length = ascii_run_in_32(in);
      if (ascii_length == 32) {
        in += 32;
        out += 32;
        continue;
      }
      in += ascii_length;
      out += ascii_length;
    } else if (*in < 0x80) {
      if (out == out_end) return no_fit;
      *out++ = *in++;
      continue;
    }
    // *in is not ASCII: the one sequence this text may hold.
    const std::uint32_t lead = in[0];
    if ((lead & 0xFE) != 0xC2 || in_end - in < 2 || (in[1] & 0xC0) != 0x80 || out == out_end) {
      return no_fit;
    }
    *out++ = static_cast<std::uint8_t>(((lead & 0x1F) << 6) | (in[1] & 0x3Fu));
    in += 2;
  }
  return OneByteFill{true, static_cast<std::size_t>(out - out_begin)};
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

void write_code_points(const DecodedText& text, std::uint8_t* out) { write_any(text, out); }
void write_code_points(const DecodedText& text, std::uint16_t* out) { write_any(text, out); }
void write_code_points(const DecodedText& text, std::uint32_t* out) { write_any(text, out); }

}  // namespace fieldpack::decoder
