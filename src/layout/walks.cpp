// A layout's walks on this host.
#include "layout/walks.hpp"

#include <vector>

#include "core/messages.hpp"
#include "host.hpp"
#include "values.hpp"

namespace fieldpack::layout {

namespace {

// One walk per packing, each compiled on its own.
template <core::Packing kPacking>
Result<PyRef, FailureRecord> unpack_as(const Plan& plan, ByteSpan packet,
                                       std::uint32_t offset_bits) {
  PyRef result = PyRef::steal(PyDict_Copy(plan.result_template()));
  if (!result) return FailureRecord(host_error());
  const std::vector<core::PlannedField>& fields = plan.core().fields();
  core::TextRoom room;
  core::FieldFailure failure;
  bool made = true;
  const std::size_t done = core::unpack_each_as<kPacking>(
      plan.core(), packet, offset_bits, room, failure,
      [&](std::size_t index, core::FieldValue& value) {
        PyRef object = make_value_object(fields[index].step.decoded, std::move(value));
        // The keys are plain strs, hashed once: storing runs no Python code.
        made = object && PyDict_SetItem(result.get(), plan.key(index), object.get()) == 0;
        return made;
      });
  if (done == plan.field_count()) return result;
  if (!made) return plan.record(host_error(), done, offset_bits + fields[done].start_bit);
  return plan.record(std::move(failure));
}

}  // namespace

Result<PyRef, FailureRecord> unpack(const Plan& plan, ByteSpan packet, std::uint32_t offset_bits) {
  if (plan.packing() == core::Packing::bits) {
    return unpack_as<core::Packing::bits>(plan, packet, offset_bits);
  }
  return unpack_as<core::Packing::bytes>(plan, packet, offset_bits);
}

namespace {

// The value under the field's name, owned: from `values`, else from the layout's defaults (a dict
// of plain strs, whose lookup runs no Python code); empty when neither has it. False with the
// host's error set when the lookup raises.
// Inline: called for every field of every pack.
[[gnu::always_inline]] inline bool look_up(const Plan& plan, PyObject* values, PyObject* key,
                                           PyRef& value) {
  if (!host::dict_lookup(values, key, value)) return false;
  if (value || !plan.defaults()) return true;
  value = PyRef::borrow(PyDict_GetItemWithError(plan.defaults(), key));
  return value || !PyErr_Occurred();
}

// Field `index`'s value converted, encoded and placed; the scratch room is the caller's, reused
// from field to field.
template <core::Packing kPacking>
inline bool pack_one(const Plan& plan, std::size_t index, PyObject* value, const core::Image& image,
                     const core::PackMode& mode, core::NativeValue& native, core::Encoded& encoded,
                     core::FieldFailure& failure, std::optional<FailureRecord>& failed) {
  const core::PlannedField& field = plan.core().fields()[index];
  if (!core::packable(plan.core(), index, image.offset_bits, failure)) {
    failed = plan.record(std::move(failure));
    return false;
  }
  if (!convert_value(field.step.packed, value, native)) {
    failed = plan.record(host_error(), index, image.offset_bits + field.start_bit);
    return false;
  }
  if (!core::pack_field_as<kPacking>(plan.core(), index, native, image, encoded, failure, mode)) {
    failed = plan.record(std::move(failure));
    return false;
  }
  return true;
}

}  // namespace

bool pack_value(const Plan& plan, std::size_t index, PyObject* value, const core::Image& image,
                const core::PackMode& mode, std::optional<FailureRecord>& failed) {
  core::NativeValue native;
  core::Encoded encoded;
  core::FieldFailure failure;
  if (plan.packing() == core::Packing::bits) {
    return pack_one<core::Packing::bits>(plan, index, value, image, mode, native, encoded, failure,
                                         failed);
  }
  return pack_one<core::Packing::bytes>(plan, index, value, image, mode, native, encoded, failure,
                                        failed);
}

namespace {

// One walk per packing, each compiled on its own.
template <core::Packing kPacking>
Result<std::monostate, FailureRecord> pack_as(const Plan& plan, PyObject* values,
                                              const core::Image& image) {
  const std::size_t count = plan.field_count();
  core::NativeValue native;
  core::Encoded encoded;
  core::FieldFailure failure;
  std::optional<FailureRecord> failed;
  std::vector<core::Produced> produced;
  core::PackMode mode;
  if (plan.strict()) {
    produced.resize(count);
    mode = core::PackMode{true, &produced};
  }
  for (std::size_t i = 0; i < count; ++i) {
    // Held across the conversion, which can run Python code that changes `values`.
    PyRef value;
    const bool found = look_up(plan, values, plan.key(i), value);
    if (!found || !value) {
      const std::uint64_t start = image.offset_bits + plan.core().fields()[i].start_bit;
      if (!found) return plan.record(host_error(), i, start);
      return plan.record(core::missing_value(plan.core().spec(i).name), i, start);
    }
    if (!pack_one<kPacking>(plan, i, value.get(), image, mode, native, encoded, failure, failed)) {
      return std::move(*failed);
    }
  }
  if (plan.strict() && !core::check_read_back(plan.core(), image, produced, failure)) {
    return plan.record(std::move(failure));
  }
  return std::monostate{};
}

}  // namespace

Result<std::monostate, FailureRecord> pack(const Plan& plan, PyObject* values,
                                           const core::Image& image) {
  if (plan.packing() == core::Packing::bits) {
    return pack_as<core::Packing::bits>(plan, values, image);
  }
  return pack_as<core::Packing::bytes>(plan, values, image);
}

}  // namespace fieldpack::layout
