// The encodings: one row per name a recipe can give, binding the name to its family, its codecs in
// each direction and the label of its messages. The name lookup and both packet engines are driven
// from these rows, so adding an encoding is adding a row. No interpreter here.
//
// This is the one header of common/ that sees both codec halves: it is where a name meets its
// decoder and its encoder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/fixed_string.hpp"
#include "common/result.hpp"
#include "common/text.hpp"
#include "decoder/codecs/decoder.hpp"
#include "encoder/codecs/encoder.hpp"

namespace fieldpack {

enum class Family : std::uint8_t {
  unsigned_integer,  // the field value itself; packed after a range check against the width
  signed_integer,    // sign-magnitude, ones' and two's complement
  decimal,           // packed and unpacked BCD
  binary_float,      // IEEE 754 binary16/32/64
  binary_f128,       // read from packets as 0.0 (64 bits or less); never packed
  reserved,          // registered, never converted: NotImplementedError when unpacked
  text,
};

// A decoded number as a codec gives it, before it becomes a host object.
struct Number {
  enum class Kind : std::uint8_t { signed_integer, unsigned_integer, real };
  Kind kind;
  union {
    std::int64_t signed_value;
    std::uint64_t unsigned_value;
    double real_value;
  };
  static Number of(std::int64_t v) {
    Number n{Kind::signed_integer, {}};
    n.signed_value = v;
    return n;
  }
  static Number of(double v) {
    Number n{Kind::real, {}};
    n.real_value = v;
    return n;
  }
};

using NumberDecoder = Result<Number> (*)(std::uint64_t value, std::uint32_t bits);
using TextDecoder = Result<DecodedText> (*)(ByteSpan bytes);
using IntegerEncoder = Result<std::uint64_t> (*)(std::int64_t value, std::uint32_t bits);
using RealEncoder = std::uint64_t (*)(double value);
using TextEncoder = Result<EncodedBytes> (*)(TextView text);

struct EncodingRow {
  std::string_view name;  // lower case, as recipes spell it in any letter case
  Family family;
  std::string_view label;         // the format in messages: "DEC f32", "IEEE 754 f128"
  NumberDecoder decode_number;    // signed_integer, decimal, binary_float
  TextDecoder decode_text;        // text: reads the byte buffer
  IntegerEncoder encode_integer;  // signed_integer, decimal: the value as a signed 64-bit int
  RealEncoder encode_real;        // binary_float: the value as a double
  TextEncoder encode_text;        // text
};

namespace rows {

// Adapters that give every codec of a family the row's one signature.
template <std::int64_t (*Codec)(std::uint64_t, std::uint32_t)>
Result<Number> signed_number(std::uint64_t value, std::uint32_t bits) {
  return Number::of(Codec(value, bits));
}

template <Result<std::int64_t> (*Codec)(std::uint64_t, std::uint32_t, bool), bool kSigned>
Result<Number> decimal_number(std::uint64_t value, std::uint32_t bits) {
  Result<std::int64_t> decoded = Codec(value, bits, kSigned);
  if (!decoded.ok()) return std::move(decoded.failure());
  return Number::of(decoded.value());
}

template <double (*Codec)(std::uint64_t)>
Result<Number> real_number(std::uint64_t value, std::uint32_t) {
  return Number::of(Codec(value));
}

template <Result<std::uint64_t> (*Codec)(std::int64_t, std::uint32_t, bool), bool kSigned>
Result<std::uint64_t> decimal_code(std::int64_t value, std::uint32_t bits) {
  return Codec(value, bits, kSigned);
}

// The half and single encoders take the value rounded to single precision first, as the
// stand-alone functions' single conversion does.
template <std::uint64_t (*Codec)(float)>
std::uint64_t single_code(double value) {
  return Codec(encoder::round_to_single(value));
}

template <DecodedText (*Codec)(ByteSpan)>
Result<DecodedText> infallible_text(ByteSpan bytes) {
  return Codec(bytes);
}

template <EncodedBytes (*Codec)(TextView)>
Result<EncodedBytes> infallible_bytes(TextView text) {
  return Codec(text);
}

constexpr EncodingRow unsigned_integer(std::string_view name) {
  return {name, Family::unsigned_integer, {}, nullptr, nullptr, nullptr, nullptr, nullptr};
}

constexpr EncodingRow signed_integer(std::string_view name, NumberDecoder decode,
                                     IntegerEncoder encode) {
  return {name, Family::signed_integer, {}, decode, nullptr, encode, nullptr, nullptr};
}

constexpr EncodingRow decimal(std::string_view name, NumberDecoder decode, IntegerEncoder encode) {
  return {name, Family::decimal, {}, decode, nullptr, encode, nullptr, nullptr};
}

constexpr EncodingRow binary_float(std::string_view name, NumberDecoder decode,
                                   RealEncoder encode) {
  return {name, Family::binary_float, {}, decode, nullptr, nullptr, encode, nullptr};
}

constexpr EncodingRow f128(std::string_view name, std::string_view label) {
  return {name, Family::binary_f128, label, nullptr, nullptr, nullptr, nullptr, nullptr};
}

constexpr EncodingRow reserved(std::string_view name, std::string_view label) {
  return {name, Family::reserved, label, nullptr, nullptr, nullptr, nullptr, nullptr};
}

constexpr EncodingRow text(std::string_view name, TextDecoder decode, TextEncoder encode) {
  return {name, Family::text, {}, nullptr, decode, nullptr, nullptr, encode};
}

namespace d = decoder;
namespace e = encoder;

}  // namespace rows

// clang-format off
inline constexpr EncodingRow kEncodings[] = {
    rows::unsigned_integer("unsigned"),
    rows::signed_integer("sign_magnitude", rows::signed_number<rows::d::decode_sign_magnitude>, rows::e::encode_sign_magnitude),
    rows::signed_integer("ones_complement", rows::signed_number<rows::d::decode_ones_complement>, rows::e::encode_ones_complement),
    rows::signed_integer("twos_complement", rows::signed_number<rows::d::decode_twos_complement>, rows::e::encode_twos_complement),
    rows::decimal("packed_bcd", rows::decimal_number<rows::d::decode_packed_bcd, false>, rows::decimal_code<rows::e::encode_packed_bcd, false>),
    rows::decimal("packed_bcd_signed", rows::decimal_number<rows::d::decode_packed_bcd, true>, rows::decimal_code<rows::e::encode_packed_bcd, true>),
    rows::decimal("unpacked_bcd", rows::decimal_number<rows::d::decode_unpacked_bcd, false>, rows::decimal_code<rows::e::encode_unpacked_bcd, false>),
    rows::decimal("unpacked_bcd_signed", rows::decimal_number<rows::d::decode_unpacked_bcd, true>, rows::decimal_code<rows::e::encode_unpacked_bcd, true>),
    rows::binary_float("ieee754_f16", rows::real_number<rows::d::decode_ieee754_f16>, rows::single_code<rows::e::encode_ieee754_f16>),
    rows::binary_float("ieee754_f32", rows::real_number<rows::d::decode_ieee754_f32>, rows::single_code<rows::e::encode_ieee754_f32>),
    rows::binary_float("ieee754_f64", rows::real_number<rows::d::decode_ieee754_f64>, rows::e::encode_ieee754_f64),
    rows::f128("ieee754_f128", "IEEE 754 f128"),
    rows::reserved("ieee754_1985_f32", "IEEE 754-1985 f32"),
    rows::reserved("ieee754_1985_f64", "IEEE 754-1985 f64"),
    rows::reserved("ieee754_1985_f80", "IEEE 754-1985 f80"),
    rows::reserved("mil_std_1750a_f32", "MIL-STD-1750A f32"),
    rows::reserved("mil_std_1750a_f48", "MIL-STD-1750A f48"),
    rows::reserved("dec_f32", "DEC f32"),
    rows::reserved("dec_f64", "DEC f64"),
    rows::reserved("ibm_f32", "IBM f32"),
    rows::reserved("ibm_f64", "IBM f64"),
    rows::reserved("ti_f32", "TI f32"),
    rows::reserved("ti_f40", "TI f40"),
    rows::text("utf8", rows::d::decode_utf8, rows::infallible_bytes<rows::e::encode_utf8>),
    rows::text("utf16", rows::d::decode_utf16, rows::infallible_bytes<rows::e::encode_utf16>),
    rows::text("utf16le", rows::d::decode_utf16le, rows::infallible_bytes<rows::e::encode_utf16le>),
    rows::text("utf16be", rows::d::decode_utf16be, rows::infallible_bytes<rows::e::encode_utf16be>),
    rows::text("utf32", rows::d::decode_utf32, rows::infallible_bytes<rows::e::encode_utf32>),
    rows::text("utf32le", rows::d::decode_utf32le, rows::infallible_bytes<rows::e::encode_utf32le>),
    rows::text("utf32be", rows::d::decode_utf32be, rows::infallible_bytes<rows::e::encode_utf32be>),
    rows::text("us_ascii", rows::d::decode_us_ascii, rows::e::encode_us_ascii),
    rows::text("iso_8859_1", rows::infallible_text<rows::d::decode_iso_8859_1>, rows::e::encode_iso_8859_1),
    rows::text("latin1", rows::infallible_text<rows::d::decode_iso_8859_1>, rows::e::encode_iso_8859_1),  // the one alias
    rows::text("windows_1252", rows::d::decode_windows_1252, rows::e::encode_windows_1252),
};
// clang-format on

inline constexpr std::size_t kEncodingCount = std::size(kEncodings);

// The longest name in the table; anything longer is unknown without looking further.
inline constexpr std::size_t kLongestEncodingName = [] {
  std::size_t longest = 0;
  for (const EncodingRow& row : kEncodings)
    longest = row.name.size() > longest ? row.name.size() : longest;
  return longest;
}();

// The row of a lower-cased name, or nullptr for a name no packet operation knows.
const EncodingRow* encoding_named(std::string_view lower);

// "did you mean 'twos_complement'?": the names closest to a name that is not one (in edits,
// ASCII letter case ignored), among those packing can write when `packable_only`; at most three
// equally close ones; empty when none is close.
std::string closest_encoding_names(std::string_view name, bool packable_only);

// Whether packing can write values of this encoding; the others fail with "Unsupported encoding
// type" there, although unpacking recognises them.
constexpr bool packable(const EncodingRow& row) {
  return row.family != Family::binary_f128 && row.family != Family::reserved;
}

// The row of a name known at compile time.
consteval const EncodingRow& encoding_row(std::string_view name) {
  for (const EncodingRow& row : kEncodings) {
    if (row.name == name) return row;
  }
  throw "no encoding of that name";
}

// The stand-alone functions of the formats that are not implemented, one template over the name:
// they take their argument (converted by the caller, so a bad one is reported first) and fail
// with the format's message.
template <FixedString kName>
Failure decode_reserved(std::uint64_t) {
  return decoder::reserved_format(encoding_row(kName.view()).label);
}

template <FixedString kName>
Failure encode_reserved(double) {
  return encoder::reserved_encoding(encoding_row(kName.view()).label);
}

}  // namespace fieldpack
