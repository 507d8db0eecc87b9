// pack_parameters and unpack_parameters: converted arguments in, the engines' results out. Every
// failure inside an engine reaches the caller as one ValueError (see raise_engine_error).
#include "packet_functions.hpp"

#include "decoder/unpack_engine.hpp"
#include "encoder/pack_engine.hpp"

namespace fieldpack {

PacketResult unpack_parameters(ByteSpan packet_bytes, std::uint32_t offset_bits,
                               const SequenceItems& recipe) {
  return decoder::process_recipe(packet_bytes, offset_bits, recipe);
}

PacketResult pack_parameters(SequenceItems&& recipe, PyObject* values) {
  return encoder::build_packet(recipe, values);
}

}  // namespace fieldpack
