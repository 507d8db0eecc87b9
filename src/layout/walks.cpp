// A layout's walks on this host.
#include "layout/walks.hpp"

#include "core/messages.hpp"
#include "host.hpp"
#include "values.hpp"

namespace fieldpack::layout {

Result<PyRef, FailureRecord> unpack(const Plan& plan, ByteSpan packet, std::uint32_t offset_bits) {
  PyRef result = PyRef::steal(PyDict_Copy(plan.result_template()));
  if (!result) return FailureRecord(host_error());
  const std::vector<core::PlannedField>& fields = plan.core().fields();
  core::TextRoom room;
  core::FieldFailure failure;
  bool made = true;
  const std::size_t done = core::unpack_each(
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

Result<std::monostate, FailureRecord> pack(const Plan& plan, PyObject* values,
                                           const core::Image& image) {
  const std::size_t count = plan.field_count();
  const std::vector<core::PlannedField>& fields = plan.core().fields();
  core::NativeValue native;
  core::Encoded encoded;
  core::FieldFailure failure;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t start = image.offset_bits + fields[i].start_bit;
    // Held across the conversion, which can run Python code that changes `values`.
    PyRef value;
    if (!host::dict_lookup(values, plan.key(i), value)) {
      return plan.record(host_error(), i, start);
    }
    if (!value) {
      return plan.record(core::missing_value(plan.core().spec(i).name), i, start);
    }
    if (!core::packable(plan.core(), i, image.offset_bits, failure)) {
      return plan.record(std::move(failure));
    }
    if (!convert_value(fields[i].step.packed, value.get(), native)) {
      return plan.record(host_error(), i, start);
    }
    if (!core::pack_field(plan.core(), i, native, image, encoded, failure)) {
      return plan.record(std::move(failure));
    }
  }
  return std::monostate{};
}

}  // namespace fieldpack::layout
