// The recipe walk of unpack_parameters. Python-aware.
#pragma once

#include "conversions.hpp"
#include "engine_result.hpp"

namespace fieldpack::decoder {

// Walks `recipe` over the packet from `offset_bits` and returns the new dictionary of decoded
// values, or the first failure.
PacketResult process_recipe(ByteSpan packet, std::uint32_t offset_bits,
                            const SequenceItems& recipe);

// The walk's own failures, for other walks over the same layout that must report them alike: a
// field's window reaching past the packet's end, and an f128 field wider than 64 bits.
Failure window_past_end(std::string_view field_name, std::uint64_t first_byte,
                        std::uint64_t byte_count, std::size_t packet_size);
Failure f128_too_wide();

}  // namespace fieldpack::decoder
