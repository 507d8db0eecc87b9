// The argument handling of pack_parameters and unpack_parameters.
#pragma once

#include "recipe.hpp"

namespace fieldpack {

EngineResult<PyRef> unpack_parameters(ByteSpan packet_bytes, std::uint32_t offset_bits,
                                      PyRef recipe);
EngineResult<PyRef> pack_parameters(PyRef recipe, PyObject* values);

}  // namespace fieldpack
