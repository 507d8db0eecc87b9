// A layout's walks on this host: the core's walks over the plan, with the objects made from the
// values they fill and the values to pack read from a dict, in the walk's order: a field's value
// is looked up and converted when the walk reaches it, so no hook runs past a field that fails.
// Python-aware.
#pragma once

#include "python.hpp"

#include <cstdint>
#include <optional>

#include "core/walks.hpp"
#include "engine_result.hpp"
#include "layout/plan.hpp"

namespace fieldpack::layout {

// Unpacks one packet: the dict unpack_parameters(packet, offset_bits, recipe) gives, or its
// failure and the field it arose in.
Result<PyRef, FailureRecord> unpack(const Plan& plan, ByteSpan packet, std::uint32_t offset_bits);

// Converts and encodes the value of every field, looked up in `values` (a dict) or else in the
// layout's defaults, into the image; the first failure is returned with its field. With offset 0,
// an image of the sizing walk's packet length and neither option, the image becomes
// pack_parameters(recipe, values); a strict layout refuses any value packing would lose.
Result<std::monostate, FailureRecord> pack(const Plan& plan, PyObject* values,
                                           const core::Image& image);

// Field `index`'s value converted and packed into the image, as pack packs it; false with the
// failure in `failure`, which names the field.
bool pack_value(const Plan& plan, std::size_t index, PyObject* value, const core::Image& image,
                const core::PackMode& mode, std::optional<FailureRecord>& failure);

}  // namespace fieldpack::layout
