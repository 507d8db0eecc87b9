// The failures the walks over a recipe report themselves, worded once for every walk and host:
// the packet functions and every face of a layout give the same text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.hpp"

namespace fieldpack::core {

// The largest bit position a size can hold: a field that starts or ends beyond it is refused,
// never wrapped onto the wrong bytes.
inline constexpr std::uint64_t kLargestBitPosition = 0xFFFFFFFFu;

// The six keys of a field definition, in the order both packet functions read them.
enum class RecipeKey : std::uint8_t { name, encoding, bits, byte_order, reverse_bits, offset_bits };
inline constexpr std::string_view kRecipeKeyNames[] = {"name",       "encoding",     "bits",
                                                       "byte_order", "reverse_bits", "offset_bits"};
inline constexpr std::size_t kRecipeKeyCount = std::size(kRecipeKeyNames);
constexpr std::size_t slot_of(RecipeKey key) { return static_cast<std::size_t>(key); }
constexpr std::string_view name_of(RecipeKey key) { return kRecipeKeyNames[slot_of(key)]; }

// KeyError "Recipe missing required field: '{key}'".
Failure missing_field(RecipeKey key);

// KeyError "Missing value for parameter: '{name}'".
Failure missing_value(std::string_view field_name);

// "Unsupported encoding type: {encoding}", the name as spelled, with a hint naming the closest
// names that unpacking, or packing when `packing`, knows.
Failure unsupported_encoding(std::string_view spelled, bool packing);

// "Invalid byte_order '{byte_order}': must be 'big' or 'little'".
Failure invalid_byte_order(std::string_view spelled);

// A field whose start or end lies beyond the largest bit position.
Failure position_out_of_range(std::string_view field_name, std::uint64_t end_bit);

// A field's window reaching past the packet's end.
Failure window_past_end(std::string_view field_name, std::uint64_t first_byte,
                        std::uint64_t byte_count, std::uint64_t packet_size);

// An f128 field wider than 64 bits, which unpacking cannot read.
Failure f128_too_wide();

// What strict packing refuses. Text that encodes to more bytes than its window holds:
Failure text_too_long(std::uint64_t byte_count, std::uint64_t window, bool with_mark);
// A finite float that the format `format` turns into an infinity (or a nonzero one into zero):
Failure float_lost(double given, std::string_view format, double packed);
// A code whose bits do not all fit the field's width, and what unpacking would read instead:
Failure code_too_wide(std::uint64_t code, std::uint32_t bits, std::uint64_t read);
// A field whose bytes field `over` writes over (`over` the field itself when none is found):
Failure written_over(std::size_t over, bool is_text, std::uint64_t code, std::uint64_t read);

// Appends a double as Python's repr() writes it: the shortest digits that read back as the same
// double, in positional notation for exponents from -4 to 15 and in scientific notation
// otherwise, "inf", "-inf" and "nan".
void append_float(std::string& out, double value);

}  // namespace fieldpack::core
