// The column functions: one field over many packets into typed memory. Each numeric codec has a
// loop of its own with its arithmetic inlined, instantiated for every way of reading the window
// (a load of the access width, masked or not; the general byte loop; a bit-exact field from one
// 64-bit load, or bit by bit), so that the choice is made once per run and never per value.
// What each loop gives is exactly what the field's decode step gives for the same window.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// A byte shuffle where the processor has one, chosen at run time.
#if defined(__SSE2__) && (defined(__x86_64__) || defined(__i386__)) && \
    (defined(__GNUC__) || defined(__clang__))
#define FIELDPACK_COLUMNS_SSSE3 1
#include <tmmintrin.h>
#else
#define FIELDPACK_COLUMNS_SSSE3 0
#endif

#include "common/bits.hpp"
#include "common/encodings.hpp"
#include "common/field_window.hpp"
#include "core/field_step.hpp"
#include "decoder/codecs/bcd_digits.hpp"

namespace fieldpack::core::detail {

namespace {

// ---------------------------------------------------------------------------------------------
// Reading a packet's window: the field value, or for codecs that mask what they read themselves,
// the load it comes from.

template <WindowAccess kAccess>
struct Load;
template <>
struct Load<WindowAccess::big1> {
  static constexpr std::size_t kSize = 1;
  static std::uint64_t read(const std::uint8_t* p) { return p[0]; }
};
template <>
struct Load<WindowAccess::big2> {
  static constexpr std::size_t kSize = 2;
  static std::uint64_t read(const std::uint8_t* p) { return load_ordered<std::uint16_t, false>(p); }
};
template <>
struct Load<WindowAccess::big4> {
  static constexpr std::size_t kSize = 4;
  static std::uint64_t read(const std::uint8_t* p) { return load_ordered<std::uint32_t, false>(p); }
};
template <>
struct Load<WindowAccess::big8> {
  static constexpr std::size_t kSize = 8;
  static std::uint64_t read(const std::uint8_t* p) { return load_ordered<std::uint64_t, false>(p); }
};
template <>
struct Load<WindowAccess::little2> {
  static constexpr std::size_t kSize = 2;
  static std::uint64_t read(const std::uint8_t* p) { return load_ordered<std::uint16_t, true>(p); }
};
template <>
struct Load<WindowAccess::little4> {
  static constexpr std::size_t kSize = 4;
  static std::uint64_t read(const std::uint8_t* p) { return load_ordered<std::uint32_t, true>(p); }
};
template <>
struct Load<WindowAccess::little8> {
  static constexpr std::size_t kSize = 8;
  static std::uint64_t read(const std::uint8_t* p) { return load_ordered<std::uint64_t, true>(p); }
};

template <WindowAccess kAccess, bool kMasked>
struct ByteRead {
  std::uint64_t mask;
  explicit ByteRead(const FieldStep& step) : mask(step.mask) {}
  std::uint64_t operator()(const std::uint8_t* p) const {
    const std::uint64_t value = Load<kAccess>::read(p);
    return kMasked ? value & mask : value;
  }
};

// Any other byte-granular window, as field_value forms it.
struct GeneralRead {
  const FieldStep& step;
  std::uint64_t operator()(const std::uint8_t* p) const {
    return field_value(p, step.byte_count, step.bits, step.order, step.reverse_bits);
  }
};

// A bit-exact field from the 64-bit load at its first byte, and when it reaches past that load
// (kNinth) the byte after it; the bytes must be readable. Little-endian fields are whole bytes.
template <bool kLittle, bool kNinth>
struct WordRead {
  std::uint32_t shift;
  std::uint32_t after;  // 64 - bits
  std::uint64_t operator()(const std::uint8_t* p) const {
    std::uint64_t value = load_big64(p) << shift;
    if constexpr (kNinth) value |= std::uint64_t{p[8]} >> (8 - shift);
    value >>= after;
    return kLittle ? byteswap64(value) >> after : value;
  }
};

// Any other bit-exact field, bit by bit.
struct BitRead {
  const FieldStep& step;
  std::uint32_t shift;
  std::uint64_t operator()(const std::uint8_t* p) const {
    return bit_field_value(p, shift, step.bits, step.order, step.reverse_bits);
  }
};

// ---------------------------------------------------------------------------------------------
// The codecs' arithmetic, value by value, as the decoders of decoder/codecs do it for the field
// value of a width of `bits`. kMasks: the codec ignores the bits above the width itself, so it
// may be given the whole load. kFails: a value can be invalid (decode returns false).

template <class S>
struct UnsignedCodec {
  using Storage = S;
  static constexpr bool kMasks = false;
  static constexpr bool kFails = false;
  static constexpr bool kAnyWidth = false;
  explicit UnsignedCodec(const FieldStep&) {}
  Storage operator()(std::uint64_t raw) const { return static_cast<Storage>(raw); }
#if defined(__SSE2__)
  __m128i lanes(__m128i value) const { return value; }
#endif
};

// The low `bits` bits sign-extended: two's complement within the width; from 64 bits up the
// 64-bit pattern itself. kFull: the width is the element's, and the conversion alone extends.
template <class S, bool kFull>
struct SignExtend {
  std::uint64_t mask;
  std::uint64_t sign;
  explicit SignExtend(const FieldStep& step)
      : mask(low_mask(std::min<std::uint32_t>(step.bits, 64))),
        sign(std::uint64_t{1} << (std::min<std::uint32_t>(step.bits, 64) - 1)) {}
  std::int64_t operator()(std::uint64_t raw) const {
    if constexpr (kFull) {
      return static_cast<S>(raw);
    } else {
      return static_cast<std::int64_t>(((raw & mask) ^ sign) - sign);
    }
  }
};

template <class S, bool kFull>
struct TwosComplementCodec {
  using Storage = S;
  static constexpr bool kMasks = true;
  static constexpr bool kFails = false;
  static constexpr bool kAnyWidth = false;
  SignExtend<S, kFull> extend;
  explicit TwosComplementCodec(const FieldStep& step) : extend(step) {}
  Storage operator()(std::uint64_t raw) const { return static_cast<Storage>(extend(raw)); }
#if defined(__SSE2__)
  // At the element's own width the bits are the value (lanes are taken at that width only).
  __m128i lanes(__m128i value) const requires kFull { return value; }
#endif
};

// A negative ones' complement value is one more than the two's complement of the same bits.
template <class S, bool kFull>
struct OnesComplementCodec {
  using Storage = S;
  static constexpr bool kMasks = true;
  static constexpr bool kFails = false;
  static constexpr bool kAnyWidth = false;
  SignExtend<S, kFull> extend;
  explicit OnesComplementCodec(const FieldStep& step) : extend(step) {}
  Storage operator()(std::uint64_t raw) const {
    const std::int64_t value = extend(raw);
    return static_cast<Storage>(value + (value < 0 ? 1 : 0));
  }
};

// The sign bit is bit (bits - 1) mod 64, as the decoder takes it; bits above it are ignored.
template <class S, bool kFull>
struct SignMagnitudeCodec {
  using Storage = S;
  static constexpr bool kMasks = true;
  static constexpr bool kFails = false;
  static constexpr bool kAnyWidth = false;
  std::uint64_t sign;
  std::uint64_t magnitude_mask;
  explicit SignMagnitudeCodec(const FieldStep& step)
      : sign(std::uint64_t{1} << sign_bit_index(step.bits)),
        magnitude_mask(low_mask(sign_bit_index(step.bits))) {}
  Storage operator()(std::uint64_t raw) const {
    const auto magnitude = static_cast<std::int64_t>(raw & magnitude_mask);
    const std::int64_t negative = (raw & sign) != 0 ? -1 : 0;
    return static_cast<Storage>((magnitude ^ negative) - negative);
  }
};

// Packed BCD of at least one nibble.
template <bool kSigned>
struct PackedBcdCodec {
  using Storage = std::int64_t;
  static constexpr bool kMasks = true;
  static constexpr bool kFails = true;
  static constexpr bool kAnyWidth = true;
  std::uint64_t field_mask;
  explicit PackedBcdCodec(const FieldStep& step)
      : field_mask(low_mask(4u * std::min(step.bits / 4u, 16u))) {}
  bool decode(std::uint64_t raw, Storage& out) const {
    std::uint64_t digits = raw & field_mask;
    bool negative = false;
    if constexpr (kSigned) {
      const std::uint64_t sign = digits & 0xFu;
      if (sign <= 9) return false;
      negative = sign == 0xB || sign == 0xD;
      digits >>= 4;
    }
    if (decoder::nibbles_above_nine(digits) != 0) return false;
    const auto magnitude = static_cast<std::int64_t>(decoder::packed_digits_value(digits));
    out = negative ? -magnitude : magnitude;
    return true;
  }
};

// Unpacked (zoned) BCD of at least one byte.
template <bool kSigned>
struct UnpackedBcdCodec {
  using Storage = std::int64_t;
  static constexpr bool kMasks = true;
  static constexpr bool kFails = true;
  static constexpr bool kAnyWidth = true;
  std::uint64_t field_mask;  // the bytes the 64-bit pattern holds
  std::uint64_t rest_mask;   // those after the first
  bool wide;                 // more than eight bytes: a signed field always fails
  explicit UnpackedBcdCodec(const FieldStep& step)
      : field_mask(low_mask(8u * std::min(step.bits / 8u, 8u))),
        rest_mask(field_mask >> 8),
        wide(step.bits / 8u > 8u) {}
  bool decode(std::uint64_t raw, Storage& out) const {
    const std::uint64_t field = raw & field_mask;
    constexpr std::uint64_t kLowNibbles = 0x0F0F0F0F0F0F0F0FULL;
    if constexpr (!kSigned) {
      if (decoder::bytes_above_nine(field) != 0) return false;
      out = static_cast<Storage>(decoder::byte_digits_value(field));
      return true;
    } else {
      // The first byte: a digit in zone C, D, F or 3; every other byte: a digit in zone 3 or F
      // (bits 4 and 5 set, bits 6 and 7 equal).
      const auto first = static_cast<std::uint32_t>(field & 0xFFu);
      const std::uint32_t zone = first >> 4;
      const bool first_valid =
          (first & 0xFu) <= 9 && (zone == 0xC || zone == 0xD || zone == 0xF || zone == 0x3);
      const std::uint64_t rest = (field >> 8) & rest_mask;
      const std::uint64_t zones_wrong = (((rest & 0x3030303030303030ULL) ^ 0x3030303030303030ULL) |
                                         (((rest >> 1) ^ rest) & 0x4040404040404040ULL)) &
                                        rest_mask;
      const std::uint64_t digits = field & kLowNibbles;
      if (!first_valid || wide || zones_wrong != 0 || decoder::bytes_above_nine(digits) != 0) {
        return false;
      }
      const auto magnitude = static_cast<std::int64_t>(decoder::byte_digits_value(digits));
      out = zone == 0xD ? -magnitude : magnitude;
      return true;
    }
  }
};

// Floats in their own format, bits above the format ignored; a NaN made quiet with its sign and
// payload kept, as the decoders make it when they widen it. Without a branch or a comparison: a
// magnitude above the exponent's (a NaN) carries into the top bit when kSpare is added, and that
// bit shifted down to the quiet bit's place is the quiet bit to set. The loop's four values a step
// then go through it side by side in vector registers.
template <class S, S kExponent, S kQuiet>
struct FloatCodec {
  using Storage = S;
  static constexpr bool kMasks = false;
  static constexpr bool kFails = false;
  static constexpr bool kAnyWidth = true;
  static constexpr S kMagnitude = static_cast<S>(static_cast<S>(~S{0}) >> 1);
  static constexpr S kTop = static_cast<S>(kMagnitude + 1u);
  static constexpr S kSpare = static_cast<S>(kTop - kExponent - 1u);
  static constexpr int kDown = std::countr_zero(kTop) - std::countr_zero(kQuiet);
  explicit FloatCodec(const FieldStep&) {}
  Storage operator()(std::uint64_t raw) const {
    const auto value = static_cast<S>(raw);
    const auto carried = static_cast<S>((value & kMagnitude) + kSpare);
    return static_cast<S>(value | ((carried >> kDown) & kQuiet));
  }
#if defined(__SSE2__)
  __m128i lanes(__m128i value) const {
    if constexpr (sizeof(S) == 4) {
      const __m128i carried =
          _mm_add_epi32(_mm_and_si128(value, _mm_set1_epi32(kMagnitude)), _mm_set1_epi32(kSpare));
      return _mm_or_si128(value,
                          _mm_and_si128(_mm_srli_epi32(carried, kDown), _mm_set1_epi32(kQuiet)));
    } else {
      const __m128i carried =
          _mm_add_epi16(_mm_and_si128(value, _mm_set1_epi16(static_cast<short>(kMagnitude))),
                        _mm_set1_epi16(static_cast<short>(kSpare)));
      return _mm_or_si128(value, _mm_and_si128(_mm_srli_epi16(carried, kDown),
                                               _mm_set1_epi16(static_cast<short>(kQuiet))));
    }
  }
#endif
};

using HalfCodec = FloatCodec<std::uint16_t, 0x7C00u, 0x0200u>;
using SingleCodec = FloatCodec<std::uint32_t, 0x7F800000u, 0x00400000u>;

// A double's bits are the value's, signalling NaNs included, as the decoder gives them.
struct DoubleCodec {
  using Storage = std::uint64_t;
  static constexpr bool kMasks = false;
  static constexpr bool kFails = false;
  static constexpr bool kAnyWidth = true;
  explicit DoubleCodec(const FieldStep&) {}
  Storage operator()(std::uint64_t raw) const { return raw; }
};

// ---------------------------------------------------------------------------------------------
// The loops

// A value the codec's loop finds invalid, decoded by the row's own codec for its failure (or, if
// the codec takes it after all, for its value).
template <class Storage>
bool codec_verdict(const FieldStep& step, std::uint64_t raw, Storage& out, Failure& failure) {
  FieldValue value;
  if (!number_from_value(step, raw & step.mask, value, failure)) return false;
  out = static_cast<Storage>(value.signed_value);
  return true;
}

template <class Read, class Codec>
std::uint64_t loop(const Read& read, const Codec& codec, const FieldStep& step,
                   const ColumnRun& run, std::uint64_t first, std::uint64_t end, std::uint8_t* out,
                   Failure& failure) {
  using Storage = typename Codec::Storage;
  auto* values = reinterpret_cast<Storage*>(out);
  const std::uint64_t stride = run.stride;
  const std::uint8_t* window = run.window + first * stride;
  if constexpr (Codec::kFails) {
    for (std::uint64_t i = first; i < end; ++i, window += stride) {
      const std::uint64_t raw = read(window);
      if (!codec.decode(raw, values[i])) [[unlikely]] {
        if (!codec_verdict(step, raw, values[i], failure)) return i;
      }
    }
  } else {
    // Four packets a step, each at its own distance from the step's first: the loads do not
    // wait on one another's address.
    const std::uint64_t stride2 = 2 * stride;
    const std::uint64_t stride3 = 3 * stride;
    std::uint64_t i = first;
    for (; end - i >= 4; i += 4, window += 4 * stride) {
      const Storage a = codec(read(window));
      const Storage b = codec(read(window + stride));
      const Storage c = codec(read(window + stride2));
      const Storage d = codec(read(window + stride3));
      values[i] = a;
      values[i + 1] = b;
      values[i + 2] = c;
      values[i + 3] = d;
    }
    for (; i < end; ++i, window += stride) values[i] = codec(read(window));
  }
  return end;
}

// Whether a load of `size` bytes can be a field of the codec's elements: integers' elements
// follow from the width, so only the access of their size ever reads them.
template <class Codec, std::size_t kSize>
constexpr bool kReadable = Codec::kAnyWidth || sizeof(typename Codec::Storage) == kSize;

#if defined(__SSE2__)

// Codecs with a `lanes` form of their arithmetic, applied to every lane of a vector register: the
// vector loops below take those alone.
template <class Codec>
concept LaneCodec = requires(const Codec& codec, __m128i value) {
  codec.lanes(value);
};

inline __m128i load_lane(const std::uint8_t* p) {
  std::int32_t value;
  std::memcpy(&value, p, sizeof value);
  return _mm_cvtsi32_si128(value);
}

#if FIELDPACK_COLUMNS_SSSE3
// 8-, 16- and 32-bit fields eight packets a step (sixteen for 8-bit ones) on processors with a
// byte shuffle (chosen at run time: the build's baseline is SSE2): four bytes loaded from each
// window into the lanes of a register, the shuffle picks each field's bytes in the element's
// byte order (and for narrower fields packs them into part of the register), then the codec and
// the stores. The four-byte load of a narrower field must stay inside its packet (run.readable
// of at least 4).
[[gnu::target("ssse3")]] inline __m128i four_lanes(const std::uint8_t* at, std::uint64_t stride,
                                                   __m128i order) {
  const __m128i low = _mm_unpacklo_epi32(load_lane(at), load_lane(at + stride));
  const __m128i high = _mm_unpacklo_epi32(load_lane(at + 2 * stride), load_lane(at + 3 * stride));
  return _mm_shuffle_epi8(_mm_unpacklo_epi64(low, high), order);
}

template <std::size_t kSize, bool kLittle, bool kMasked, class Codec>
[[gnu::target("ssse3")]] std::uint64_t shuffled_lanes(const Codec& codec, const FieldStep& step,
                                                      const ColumnRun& run, std::uint8_t* out,
                                                      Failure& failure) {
  const std::uint64_t stride = run.stride;
  const std::uint64_t count = run.count;
  __m128i order;
  __m128i mask;
  if constexpr (kSize == 4) {
    order = kLittle ? _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15)
                    : _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    mask = _mm_set1_epi32(static_cast<std::int32_t>(step.mask));
  } else if constexpr (kSize == 2) {
    order = kLittle ? _mm_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1)
                    : _mm_setr_epi8(1, 0, 5, 4, 9, 8, 13, 12, -1, -1, -1, -1, -1, -1, -1, -1);
    mask = _mm_set1_epi16(static_cast<std::int16_t>(step.mask));
  } else {
    order = _mm_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    mask = _mm_set1_epi8(static_cast<char>(step.mask));
  }
  const auto finish = [&](__m128i value) {
    if constexpr (kMasked) value = _mm_and_si128(value, mask);
    return codec.lanes(value);
  };
  const std::uint8_t* window = run.window;
  std::uint64_t i = 0;
  if constexpr (kSize == 1) {
    // Sixteen packets a step: each register's four bytes packed into one lane.
    for (; count - i >= 16; i += 16, window += 16 * stride) {
      const __m128i low = _mm_unpacklo_epi32(four_lanes(window, stride, order),
                                             four_lanes(window + 4 * stride, stride, order));
      const __m128i high = _mm_unpacklo_epi32(four_lanes(window + 8 * stride, stride, order),
                                              four_lanes(window + 12 * stride, stride, order));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), finish(_mm_unpacklo_epi64(low, high)));
    }
  } else {
    for (; count - i >= 8; i += 8, window += 8 * stride) {
      const __m128i first = four_lanes(window, stride, order);
      const __m128i second = four_lanes(window + 4 * stride, stride, order);
      auto* to = reinterpret_cast<__m128i*>(out + kSize * i);
      if constexpr (kSize == 4) {
        _mm_storeu_si128(to, finish(first));
        _mm_storeu_si128(to + 1, finish(second));
      } else {
        _mm_storeu_si128(to, finish(_mm_unpacklo_epi64(first, second)));
      }
    }
  }
  constexpr WindowAccess kAccess =
      kSize == 4   ? (kLittle ? WindowAccess::little4 : WindowAccess::big4)
      : kSize == 2 ? (kLittle ? WindowAccess::little2 : WindowAccess::big2)
                   : WindowAccess::big1;
  return loop(ByteRead<kAccess, kMasked>(step), codec, step, run, i, count, out, failure);
}

// A big-endian bit-exact field of at most 32 bits that lies within the four bytes from its first
// (which must be readable in every packet), eight packets a step: each window's four bytes in a
// lane, shifted left past the bits before the field and right past those after it, the codec
// applied, and the lanes stored as the elements (their low halves, for 16-bit elements). The
// packets done: a multiple of eight.
template <std::size_t kSize, class Codec>
[[gnu::target("ssse3")]] std::uint64_t shifted_lanes(const Codec& codec, const FieldStep& step,
                                                     const ColumnRun& run, std::uint8_t* out) {
  const std::uint64_t stride = run.stride;
  const std::uint64_t count = run.count;
  const __m128i order = _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
  const __m128i halves = _mm_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i before = _mm_cvtsi32_si128(static_cast<int>(run.shift));
  const __m128i to_right = _mm_cvtsi32_si128(static_cast<int>(32 - step.bits));
  const std::uint8_t* window = run.window;
  std::uint64_t i = 0;
  for (; count - i >= 8; i += 8, window += 8 * stride) {
    __m128i first = _mm_sll_epi32(four_lanes(window, stride, order), before);
    __m128i second = _mm_sll_epi32(four_lanes(window + 4 * stride, stride, order), before);
    first = _mm_srl_epi32(first, to_right);
    second = _mm_srl_epi32(second, to_right);
    auto* to = reinterpret_cast<__m128i*>(out + kSize * i);
    if constexpr (kSize == 4) {
      _mm_storeu_si128(to, codec.lanes(first));
      _mm_storeu_si128(to + 1, codec.lanes(second));
    } else {
      const __m128i both =
          _mm_unpacklo_epi64(_mm_shuffle_epi8(first, halves), _mm_shuffle_epi8(second, halves));
      _mm_storeu_si128(to, codec.lanes(both));
    }
  }
  return i;
}

inline bool has_ssse3() {
  static const bool has = __builtin_cpu_supports("ssse3");
  return has;
}
#endif

#endif

template <class Codec, WindowAccess kAccess>
std::uint64_t by_load(const Codec& codec, const FieldStep& step, const ColumnRun& run,
                      std::uint8_t* out, Failure& failure) {
#if FIELDPACK_COLUMNS_SSSE3
  constexpr std::size_t kSize = Load<kAccess>::kSize;
  if constexpr (kSize != 8 && LaneCodec<Codec> && sizeof(typename Codec::Storage) == kSize) {
    constexpr bool kLittle = kAccess == WindowAccess::little2 || kAccess == WindowAccess::little4;
    if (has_ssse3() && (kSize == 4 || run.readable >= 4)) {
      if (step.bits < 8 * kSize) {
        return shuffled_lanes<kSize, kLittle, true>(codec, step, run, out, failure);
      }
      return shuffled_lanes<kSize, kLittle, false>(codec, step, run, out, failure);
    }
  }
#endif
  if constexpr (kReadable<Codec, Load<kAccess>::kSize>) {
    // The mask only matters below the load's width, and only to codecs that keep high bits.
    if (!Codec::kMasks && step.bits < 8 * Load<kAccess>::kSize) {
      return loop(ByteRead<kAccess, true>(step), codec, step, run, 0, run.count, out, failure);
    }
    return loop(ByteRead<kAccess, false>(step), codec, step, run, 0, run.count, out, failure);
  } else {
    return loop(GeneralRead{step}, codec, step, run, 0, run.count, out, failure);
  }
}

template <class Codec>
std::uint64_t column_of(const FieldStep& step, const ColumnRun& run, std::uint8_t* out,
                        Failure& failure) {
  const Codec codec(step);
  // A bit-exact field of whole bytes that starts a byte reads as a byte-granular one.
  if (!run.bit_exact || (run.shift == 0 && step.bits % 8 == 0)) {
    switch (step.access) {
      case WindowAccess::big1:
        return by_load<Codec, WindowAccess::big1>(codec, step, run, out, failure);
      case WindowAccess::big2:
        return by_load<Codec, WindowAccess::big2>(codec, step, run, out, failure);
      case WindowAccess::big4:
        return by_load<Codec, WindowAccess::big4>(codec, step, run, out, failure);
      case WindowAccess::big8:
        return by_load<Codec, WindowAccess::big8>(codec, step, run, out, failure);
      case WindowAccess::little2:
        return by_load<Codec, WindowAccess::little2>(codec, step, run, out, failure);
      case WindowAccess::little4:
        return by_load<Codec, WindowAccess::little4>(codec, step, run, out, failure);
      case WindowAccess::little8:
        return by_load<Codec, WindowAccess::little8>(codec, step, run, out, failure);
      case WindowAccess::general:
        break;
    }
    return loop(GeneralRead{step}, codec, step, run, 0, run.count, out, failure);
  }
  // Bit-exact: eight packets a step in vector registers where that can be done; then one 64-bit
  // load per packet where the load holds the field and stays inside the run (the last packets
  // may end too soon for it), bit by bit otherwise.
  std::uint64_t first = 0;
#if FIELDPACK_COLUMNS_SSSE3
  if constexpr (LaneCodec<Codec> &&
                (sizeof(typename Codec::Storage) == 2 || sizeof(typename Codec::Storage) == 4)) {
    if (step.order == ByteOrder::big && !step.reverse_bits && step.bits != 0 &&
        run.shift + step.bits <= 32 && run.readable >= 4 && has_ssse3()) {
      first = shifted_lanes<sizeof(typename Codec::Storage)>(codec, step, run, out);
    }
  }
#endif
  std::uint64_t loaded = first;
  if (step.bits - 1u < 64u && !step.reverse_bits) {
    const bool ninth = run.shift + step.bits > 64;
    const std::uint64_t needed = ninth ? 9 : 8;
    loaded = run.count;
    if (run.readable < needed) {
      const std::uint64_t short_packets = (needed - run.readable + run.stride - 1) / run.stride;
      loaded = std::max(first, run.count - std::min(run.count, short_packets));
    }
    const std::uint32_t after = 64 - step.bits;
    const bool little = step.order == ByteOrder::little;
    std::uint64_t done = 0;
    if (ninth) {
      done = little ? loop(WordRead<true, true>{run.shift, after}, codec, step, run, first, loaded,
                           out, failure)
                    : loop(WordRead<false, true>{run.shift, after}, codec, step, run, first, loaded,
                           out, failure);
    } else {
      done = little ? loop(WordRead<true, false>{run.shift, after}, codec, step, run, first, loaded,
                           out, failure)
                    : loop(WordRead<false, false>{run.shift, after}, codec, step, run, first,
                           loaded, out, failure);
    }
    if (done < loaded) return done;
  }
  return loop(BitRead{step, run.shift}, codec, step, run, loaded, run.count, out, failure);
}

// Any numeric field, value by value through its decode step: the encodings that read no bits,
// and widths the codecs' loops do not take.
std::uint64_t column_by_step(const FieldStep& step, const ColumnRun& run, std::uint8_t* out,
                             Failure& failure) {
  std::uint64_t done = run.count;
  with_element(step.column_type, [&](auto* element) {
    using Element = std::remove_pointer_t<decltype(element)>;
    auto* values = reinterpret_cast<Element*>(out);
    TextRoom unused;
    FieldValue value;
    const std::uint8_t* window = run.window;
    for (std::uint64_t i = 0; i < run.count; ++i, window += run.stride) {
      const bool decoded =
          run.bit_exact
              ? decode_bits(step, window, run.shift,
                            (run.count - 1 - i) * run.stride + run.readable, unused, value, failure)
              : decode(step, window, unused, value, failure);
      if (!decoded) {
        done = i;
        return;
      }
      if constexpr (std::is_same_v<Element, Half>) {
        values[i] = Half{0};  // no encoding of a half column comes here
      } else if constexpr (std::is_floating_point_v<Element>) {
        values[i] = static_cast<Element>(value.real_value);
      } else if constexpr (std::is_signed_v<Element>) {
        values[i] = static_cast<Element>(value.signed_value);
      } else {
        values[i] = static_cast<Element>(value.unsigned_value);
      }
    }
  });
  return done;
}

std::uint64_t column_unsigned(const FieldStep& step, const ColumnRun& run, std::uint8_t* out,
                              Failure& failure) {
  switch (step.column_type) {
    case ColumnType::u8:
      return column_of<UnsignedCodec<std::uint8_t>>(step, run, out, failure);
    case ColumnType::u16:
      return column_of<UnsignedCodec<std::uint16_t>>(step, run, out, failure);
    case ColumnType::u32:
      return column_of<UnsignedCodec<std::uint32_t>>(step, run, out, failure);
    default:
      return column_of<UnsignedCodec<std::uint64_t>>(step, run, out, failure);
  }
}

// The signed integer codecs of elements S, whose width is the field's or wider.
template <template <class, bool> class Codec, class S>
std::uint64_t column_signed_of(const FieldStep& step, const ColumnRun& run, std::uint8_t* out,
                               Failure& failure) {
  if (std::min<std::uint32_t>(step.bits, 64) == 8 * sizeof(S)) {
    return column_of<Codec<S, true>>(step, run, out, failure);
  }
  return column_of<Codec<S, false>>(step, run, out, failure);
}

// The signed integer codecs; a width of 0 reads as 0 through the step.
template <template <class, bool> class Codec>
std::uint64_t column_signed(const FieldStep& step, const ColumnRun& run, std::uint8_t* out,
                            Failure& failure) {
  if (step.bits == 0) return column_by_step(step, run, out, failure);
  switch (step.column_type) {
    case ColumnType::i8:
      return column_signed_of<Codec, std::int8_t>(step, run, out, failure);
    case ColumnType::i16:
      return column_signed_of<Codec, std::int16_t>(step, run, out, failure);
    case ColumnType::i32:
      return column_signed_of<Codec, std::int32_t>(step, run, out, failure);
    default:
      return column_signed_of<Codec, std::int64_t>(step, run, out, failure);
  }
}

// BCD of at least one digit; narrower fields read as 0 through the step.
template <class Codec, std::uint32_t kDigitBits>
std::uint64_t column_bcd(const FieldStep& step, const ColumnRun& run, std::uint8_t* out,
                         Failure& failure) {
  if (step.bits < kDigitBits) return column_by_step(step, run, out, failure);
  return column_of<Codec>(step, run, out, failure);
}

// ---------------------------------------------------------------------------------------------
// Each row's choice

// The column function and element type of a row: each numeric codec's own loop, and for the
// other numeric rows a loop through the decode step.
struct ColumnChoice {
  ColumnFunction function = nullptr;
  ColumnType type = ColumnType::text;  // floats' own; integers' follows from the width
  NumberCodec codec = NumberCodec::other;
};

consteval ColumnChoice choice_for(const EncodingRow& row) {
  const std::string_view name = row.name;
  if (row.family == Family::text) return {nullptr, ColumnType::text};
  if (name == "unsigned") return {column_unsigned, ColumnType::u8};
  if (name == "twos_complement")
    return {column_signed<TwosComplementCodec>, ColumnType::i8, NumberCodec::twos_complement};
  if (name == "ones_complement")
    return {column_signed<OnesComplementCodec>, ColumnType::i8, NumberCodec::ones_complement};
  if (name == "sign_magnitude")
    return {column_signed<SignMagnitudeCodec>, ColumnType::i8, NumberCodec::sign_magnitude};
  if (name == "packed_bcd") return {column_bcd<PackedBcdCodec<false>, 4>, ColumnType::i64};
  if (name == "packed_bcd_signed") return {column_bcd<PackedBcdCodec<true>, 4>, ColumnType::i64};
  if (name == "unpacked_bcd") return {column_bcd<UnpackedBcdCodec<false>, 8>, ColumnType::i64};
  if (name == "unpacked_bcd_signed") {
    return {column_bcd<UnpackedBcdCodec<true>, 8>, ColumnType::i64};
  }
  if (name == "ieee754_f16") return {column_of<HalfCodec>, ColumnType::f16, NumberCodec::half};
  if (name == "ieee754_f32") return {column_of<SingleCodec>, ColumnType::f32, NumberCodec::single};
  if (name == "ieee754_f64") return {column_of<DoubleCodec>, ColumnType::f64, NumberCodec::double_};
  // Every other number (f128, the reserved formats) as a double through its decode step; a row
  // of a family with no loop here must not slip by.
  if (row.family != Family::binary_f128 && row.family != Family::reserved) {
    throw "an encoding with no column function";
  }
  return {column_by_step, ColumnType::f64};
}

template <std::size_t... kIndex>
consteval std::array<ColumnChoice, kEncodingCount> choices(std::index_sequence<kIndex...>) {
  return {choice_for(kEncodings[kIndex])...};
}

constexpr std::array<ColumnChoice, kEncodingCount> kColumnChoices =
    choices(std::make_index_sequence<kEncodingCount>());

ColumnType integer_column(std::uint32_t bits, bool is_signed) {
  const int size = bits <= 8 ? 0 : bits <= 16 ? 1 : bits <= 32 ? 2 : 3;
  constexpr ColumnType kUnsigned[] = {ColumnType::u8, ColumnType::u16, ColumnType::u32,
                                      ColumnType::u64};
  constexpr ColumnType kSigned[] = {ColumnType::i8, ColumnType::i16, ColumnType::i32,
                                    ColumnType::i64};
  return is_signed ? kSigned[size] : kUnsigned[size];
}

}  // namespace

}  // namespace fieldpack::core::detail

namespace fieldpack::core {

void compile_layout_step(FieldStep& step) {
  // Rows are kEncodings' own: the row's index picks its column function.
  const detail::ColumnChoice& choice =
      detail::kColumnChoices[static_cast<std::size_t>(step.row - kEncodings)];
  step.column = choice.function;
  step.column_type = choice.type;
  step.codec = choice.codec;
  if (step.row->family == Family::unsigned_integer || step.row->family == Family::signed_integer) {
    step.column_type =
        detail::integer_column(step.bits, step.row->family == Family::signed_integer);
  }
  step.word_bits = step.order == ByteOrder::big && !step.reverse_bits && step.bits - 1u < 64u;
}

}  // namespace fieldpack::core
