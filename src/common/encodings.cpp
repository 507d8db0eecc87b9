// Lookup of encoding names, by length first so that most names are settled by one comparison.
#include "common/encodings.hpp"

#include <array>

namespace fieldpack {

namespace {

// The rows sorted by name length, and where the names of each length start.
struct ByLength {
  std::array<const EncodingRow*, kEncodingCount> rows{};
  std::array<std::size_t, kLongestEncodingName + 2> first{};
};

constexpr ByLength kByLength = [] {
  ByLength table{};
  std::size_t at = 0;
  for (std::size_t length = 0; length <= kLongestEncodingName; ++length) {
    table.first[length] = at;
    for (const EncodingRow& row : kEncodings) {
      if (row.name.size() == length) table.rows[at++] = &row;
    }
  }
  table.first[kLongestEncodingName + 1] = at;
  return table;
}();

}  // namespace

const EncodingRow* encoding_named(std::string_view lower) {
  if (lower.size() > kLongestEncodingName) return nullptr;
  for (std::size_t i = kByLength.first[lower.size()]; i < kByLength.first[lower.size() + 1]; ++i) {
    if (kByLength.rows[i]->name == lower) return kByLength.rows[i];
  }
  return nullptr;
}

}  // namespace fieldpack
