// The recipe walk of unpack_parameters. Python-aware.
#pragma once

#include "conversions.hpp"
#include "engine_result.hpp"

namespace fieldpack::decoder {

// Walks `recipe` over the packet from `offset_bits` and returns the new dictionary of decoded
// values, or the first failure.
PacketResult process_recipe(ByteSpan packet, std::uint32_t offset_bits,
                            const SequenceItems& recipe);

}  // namespace fieldpack::decoder
