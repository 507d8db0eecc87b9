// A string literal usable as a template argument, for tables built at compile time. No interpreter
// here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace fieldpack {

template <std::size_t N>
struct FixedString {
  char chars[N]{};
  constexpr FixedString(const char (&text)[N]) { std::copy_n(text, N, chars); }
  constexpr std::string_view view() const { return {chars, N - 1}; }
};

}  // namespace fieldpack
