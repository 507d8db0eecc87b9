// The table of encoding names both packet engines recognise. No interpreter here.
#pragma once

#include <cstdint>
#include <string_view>

namespace fieldpack {

enum class Encoding : std::uint8_t {
  unsigned_integer,
  sign_magnitude,
  ones_complement,
  twos_complement,
  packed_bcd,
  packed_bcd_signed,
  unpacked_bcd,
  unpacked_bcd_signed,
  ieee754_f16,
  ieee754_f32,
  ieee754_f64,
  ieee754_f128,
  ieee754_1985_f32,
  ieee754_1985_f64,
  ieee754_1985_f80,
  mil_std_1750a_f32,
  mil_std_1750a_f48,
  dec_f32,
  dec_f64,
  ibm_f32,
  ibm_f64,
  ti_f32,
  ti_f40,
  utf8,
  utf16,
  utf16le,
  utf16be,
  utf32,
  utf32le,
  utf32be,
  us_ascii,
  iso_8859_1,
  windows_1252,
  unknown,
};

// `lower` is the name after lower-casing; "latin1" is the one alias.
Encoding encoding_from_name(std::string_view lower);

// The longest name in the table; anything longer is unknown without looking further.
inline constexpr std::size_t kLongestEncodingName = 19;

}  // namespace fieldpack
