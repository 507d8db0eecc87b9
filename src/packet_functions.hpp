// The argument handling of pack_parameters and unpack_parameters.
#pragma once

#include "conversions.hpp"
#include "engine_result.hpp"

namespace fieldpack {

PacketResult unpack_parameters(ByteSpan packet_bytes, std::uint32_t offset_bits,
                               const SequenceItems& recipe);
PacketResult pack_parameters(SequenceItems&& recipe, PyObject* values);

}  // namespace fieldpack
