// Lookup of encoding names, by length first so that most names are settled by one comparison.
#include "common/encodings.hpp"

#include <algorithm>
#include <array>
#include <vector>

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

namespace {

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// Edits (insertions, deletions, substitutions) between two texts, ASCII letter case ignored.
std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const bool same = ascii_lower(a[i - 1]) == ascii_lower(b[j - 1]);
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

bool contains(std::string_view text, std::string_view part) {
  if (part.size() < 3 || part.size() > text.size()) return false;
  for (std::size_t at = 0; at + part.size() <= text.size(); ++at) {
    bool same = true;
    for (std::size_t k = 0; k < part.size() && same; ++k) {
      same = ascii_lower(text[at + k]) == ascii_lower(part[k]);
    }
    if (same) return true;
  }
  return false;
}

}  // namespace

std::string closest_encoding_names(std::string_view name, bool packable_only) {
  // Far-fetched guesses help nobody: a name counts as close within a third of its length in
  // edits (at least two), or when one holds the other ("ascii" in "us_ascii").
  if (name.size() > 64) return {};
  const std::size_t limit = std::max<std::size_t>(2, name.size() / 3);
  std::vector<std::pair<std::size_t, std::string_view>> close;
  for (const EncodingRow& row : kEncodings) {
    if (packable_only && !packable(row)) continue;
    const std::size_t distance = edit_distance(name, row.name);
    if (distance <= limit || contains(row.name, name) || contains(name, row.name)) {
      close.emplace_back(distance, row.name);
    }
  }
  if (close.empty()) return {};
  // Only the closest, in table order: "utf-8" is surely "utf8", not also "utf16".
  std::size_t best = close.front().first;
  for (const auto& candidate : close) best = std::min(best, candidate.first);
  std::erase_if(close, [best](const auto& candidate) { return candidate.first != best; });
  if (close.size() > 3) close.resize(3);
  std::string hint = "did you mean ";
  for (std::size_t i = 0; i < close.size(); ++i) {
    if (i > 0) hint += i + 1 == close.size() ? " or " : ", ";
    hint += '\'';
    hint += close[i].second;
    hint += '\'';
  }
  hint += '?';
  return hint;
}

}  // namespace fieldpack
