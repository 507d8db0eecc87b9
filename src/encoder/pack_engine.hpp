// The two recipe walks of pack_parameters. Python-aware.
#pragma once

#include "conversions.hpp"
#include "engine_result.hpp"

namespace fieldpack::encoder {

// Sizes the packet from `entries` (collected by collect or collect_later), then places every
// field's value from `values` (a dict); returns the new bytes object or the first failure.
PacketResult build_packet(SequenceItems& entries, PyObject* values);

}  // namespace fieldpack::encoder
