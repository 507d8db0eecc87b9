// Lookup of encoding names, by length first so that most names are settled by one comparison.
#include "encoding_names.hpp"

#include <array>
#include <utility>

namespace fieldpack {

namespace {

constexpr std::pair<std::string_view, Encoding> kNames[] = {
    {"unsigned", Encoding::unsigned_integer},
    {"sign_magnitude", Encoding::sign_magnitude},
    {"ones_complement", Encoding::ones_complement},
    {"twos_complement", Encoding::twos_complement},
    {"packed_bcd", Encoding::packed_bcd},
    {"packed_bcd_signed", Encoding::packed_bcd_signed},
    {"unpacked_bcd", Encoding::unpacked_bcd},
    {"unpacked_bcd_signed", Encoding::unpacked_bcd_signed},
    {"ieee754_f16", Encoding::ieee754_f16},
    {"ieee754_f32", Encoding::ieee754_f32},
    {"ieee754_f64", Encoding::ieee754_f64},
    {"ieee754_f128", Encoding::ieee754_f128},
    {"ieee754_1985_f32", Encoding::ieee754_1985_f32},
    {"ieee754_1985_f64", Encoding::ieee754_1985_f64},
    {"ieee754_1985_f80", Encoding::ieee754_1985_f80},
    {"mil_std_1750a_f32", Encoding::mil_std_1750a_f32},
    {"mil_std_1750a_f48", Encoding::mil_std_1750a_f48},
    {"dec_f32", Encoding::dec_f32},
    {"dec_f64", Encoding::dec_f64},
    {"ibm_f32", Encoding::ibm_f32},
    {"ibm_f64", Encoding::ibm_f64},
    {"ti_f32", Encoding::ti_f32},
    {"ti_f40", Encoding::ti_f40},
    {"utf8", Encoding::utf8},
    {"utf16", Encoding::utf16},
    {"utf16le", Encoding::utf16le},
    {"utf16be", Encoding::utf16be},
    {"utf32", Encoding::utf32},
    {"utf32le", Encoding::utf32le},
    {"utf32be", Encoding::utf32be},
    {"us_ascii", Encoding::us_ascii},
    {"iso_8859_1", Encoding::iso_8859_1},
    {"latin1", Encoding::iso_8859_1},
    {"windows_1252", Encoding::windows_1252},
};

// Where the names of each length start, in a table sorted by length.
struct ByLength {
  std::pair<std::string_view, Encoding> names[std::size(kNames)];
  std::size_t first[kLongestEncodingName + 2] = {};
};

constexpr ByLength kByLength = [] {
  ByLength table{};
  std::size_t at = 0;
  for (std::size_t length = 0; length <= kLongestEncodingName; ++length) {
    table.first[length] = at;
    for (const auto& entry : kNames) {
      if (entry.first.size() == length) table.names[at++] = entry;
    }
  }
  table.first[kLongestEncodingName + 1] = at;
  return table;
}();

}  // namespace

Encoding encoding_from_name(std::string_view lower) {
  if (lower.size() > kLongestEncodingName) return Encoding::unknown;
  for (std::size_t i = kByLength.first[lower.size()]; i < kByLength.first[lower.size() + 1]; ++i) {
    if (kByLength.names[i].first == lower) return kByLength.names[i].second;
  }
  return Encoding::unknown;
}

}  // namespace fieldpack
